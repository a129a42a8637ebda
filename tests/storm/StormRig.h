// A boot storm in virtual time: N clients, each a UDP4 controller with one
// child of the loaded driver, ask the server's engine for one file at once
// (some of them late) over the simulated network's link model: a shared
// server uplink, a link per client, loss on the way to each client. Every
// client streams the file through CheckPacket, which compares it with the
// original in order instead of keeping a copy.
#pragma once

#include "host/SimNetwork.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zem4::test {

struct StormConfig {
  size_t clients = 10;
  bool multicast = false;
  double loss = 0.0;      // on every datagram towards a client
  size_t lateJoiners = 0; // the last ones ask this late
  host::Time100ns lateBy = 0;
  host::StationLink serverLink;
  host::StationLink clientLink;
  uint64_t seed = 1;
  host::Time100ns limit = 3600ull * 10'000'000; // virtual
  double wallBudget = 0;                        // seconds of real time; 0: none
};

struct StormResult {
  size_t exact = 0; // clients whose token succeeded with every byte right
  size_t clients = 0;
  double seconds = 0;           // virtual, first request to the last client's end
  uint64_t serverWireBytes = 0; // the server's uplink, headers included
  uint64_t serverPayloadBytes = 0;
  double serverBytesPerFileByte = 0; // payload bytes per byte of the file
  uint64_t passes =
      0; // the engine's passes (repair passes = passes beyond one per group or session)
  uint64_t groups = 0;
  uint64_t sessions = 0;
  uint64_t retransmissions = 0;
  uint64_t fallbacks = 0;
  uint64_t linkDropped = 0;
  std::vector<std::string> findings; // the firmware's leaks and violations at teardown
  std::string failure;               // why not every client got the file
  bool overBudget = false;           // stopped at the wall-time budget
  double reachedSeconds = 0;         // virtual time when it stopped
  uint64_t deliveredBytes = 0;       // checked bytes over all clients
  std::vector<std::string> reports;  // the server's line per client
  bool Ok() const { return exact == clients && findings.empty() && failure.empty(); }
};

// The storm the benchmark measures: a 1 Gbit/s server uplink (256 datagrams
// of queue), 100 Mbit/s client links (64), 5 ms each way on every link, a
// tenth of the clients 0.1 s late.
StormConfig StandardStorm(size_t clients, bool multicast, double loss);

// The same pseudo-random bytes for a size, every time.
std::vector<uint8_t> StormFile(size_t size);

StormResult RunStorm(const StormConfig &config, const std::vector<uint8_t> &file);

} // namespace zem4::test
