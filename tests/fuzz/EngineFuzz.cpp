// Arbitrary datagrams into a running transfer, in every state of the unicast
// modes: no crash, nothing read or written out of bounds, the token completed
// exactly once, every datagram handed back, nothing leaked.
//
// Input: byte 0 picks the state the transfer is driven to first (request out,
// repair list sent, receiving data, error sent, closing); then records of
// [delay in 10 ms][source port selector][length][payload...].
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "DownloadSink.h"
#include "common/DriverHost.h"
#include "common/ScriptedServer.h"
#include "host/Network.h"
#include "support/Globals.h"
#include "zem4/Zem4.h"

namespace {

using zem4::test::Bytes;
namespace host = zem4::host;
namespace test = zem4::test;

const host::Ipv4 kClient(127, 0, 3, 2);
const host::Ipv4 kServer(127, 0, 3, 1);
const host::Time100ns kMs = 10'000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const unsigned stage = data[0] % 5;

  // The peer: drives the transfer to the chosen state, then plays the input.
  zem4::fuzz::PlayedRun run(
      "EngineFuzz", kClient, kServer, [&](host::PeerPort &port, uint16_t clientPort) {
        auto send = [&](const Bytes &bytes) { port.Send(kClient, clientPort, bytes); };
        switch (stage) {
        case 0:
          break;
        case 1:
          send(test::OackPacket({{"tsize", "100000"}}));
          break;
        case 2:
          send(test::OackPacket({{"tsize", "100000"}}));
          send(test::Data8Packet(1, 1, 1032, 0x11));
          send(test::Data8Packet(2, 2, 1032, 0x22));
          send(test::Data8Packet(4, 4, 1032, 0x44));
          break;
        case 3: {
          Bytes bad = test::OackPacket({{"tsize", "7"}});
          bad.pop_back();
          send(bad);
          break;
        }
        case 4:
          send(test::OackPacket({{"tsize", "5"}}));
          send(test::Data8Packet(1, 1, 5, 0x55));
          send(test::FinPacket(0));
          break;
        }
      });
  run.Start(50 * kMs);
  run.PlayAndEnd(data, size);
  return 0;
}
