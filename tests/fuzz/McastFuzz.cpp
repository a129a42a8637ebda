// Arbitrary datagrams on both ports of a running multicast transfer, as a
// listener or as the master: no crash, nothing read or written out of bounds,
// the token completed exactly once, every datagram handed back, nothing leaked.
//
// Input: byte 0 picks the start (listener, master, listener with blocks in
// its window, master receiving data, listener after a FIN that starts a new
// pass); then records of [delay in 10 ms][port selector][length][payload...].
// Port selector: bit 0 sends from the server's second port, bit 1 to the
// group instead of the client's own port, bit 7 stretches the payload past a
// full DATA8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
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

const host::Ipv4 kClient(127, 0, 4, 2);
const host::Ipv4 kServer(127, 0, 4, 1);
const host::Ipv4 kGroup(239, 9, 9, 9);
const uint16_t kGroupPort = 5700;
const host::Time100ns kMs = 10'000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const unsigned stage = data[0] % 5;
  const bool master = stage == 1 || stage == 3;

  std::vector<Bytes> toGroup; // sent once the client has joined
  zem4::fuzz::PlayedRun run(
      "McastFuzz", kClient, kServer, [&](host::PeerPort &port, uint16_t clientPort) {
        std::string value = "239.9.9.9,5700," + std::string(master ? "1" : "0");
        port.Send(kClient, clientPort, test::OackPacket({{"multicast", value}, {"tsize", "9000"}}));
        switch (stage) {
        case 2:
          toGroup.push_back(test::Data8Packet(1, 1, 1032, 0x11));
          toGroup.push_back(test::Data8Packet(2, 2, 1032, 0x22));
          toGroup.push_back(test::Data8Packet(5, 5, 1032, 0x55));
          break;
        case 3:
          toGroup.push_back(test::Data8Packet(1, 1, 1032, 0x11));
          toGroup.push_back(test::Data8Packet(3, 3, 1032, 0x33));
          break;
        case 4:
          toGroup.push_back(test::Data8Packet(1, 1, 1032, 0x11));
          toGroup.push_back(test::FinPacket(0));
          break;
        default:
          break;
        }
      });
  Zem4Option option = {const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")};
  run.Token().OptionCount = 1;
  run.Token().OptionList = &option;
  run.Start(20 * kMs);
  for (const Bytes &bytes : toGroup) {
    run.Data().Send(kGroup, kGroupPort, bytes);
    run.Rig().RunUntil([] { return false; }, kMs);
  }
  run.PlayAndEnd(data, size, &kGroup, kGroupPort);
  return 0;
}
