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
const uint16_t kPort = 5568;
const host::Time100ns kMs = 10'000;

using zem4::fuzz::Sink;

[[noreturn]] void Fail(const char *what) {
  zem4::fuzz::Fail("McastFuzz", what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const unsigned stage = data[0] % 5;
  const bool master = stage == 1 || stage == 3;

  auto rig = std::make_unique<test::DriverHost>(1);
  if (EFI_ERROR(rig->Load())) {
    Fail("driver did not load");
  }
  rig->Net().SetCaptureEnabled(false);
  const zem4::fuzz::Child child = zem4::fuzz::ConfiguredChild("McastFuzz", *rig, kClient, kServer);
  Zem4 *proto = child.proto;

  uint16_t clientPort = 0;
  std::unique_ptr<host::PeerPort> other;
  std::vector<Bytes> toGroup; // sent once the client has joined
  auto server =
      rig->Net().OpenPeerPort(kServer, kPort, [&](const host::Datagram &d, host::Time100ns) {
        if (d.payload.size() < 2 || d.payload[1] != 1 || clientPort != 0) {
          return;
        }
        clientPort = d.srcPort;
        std::string value = "239.9.9.9,5700," + std::string(master ? "1" : "0");
        other->Send(kClient, clientPort,
                    test::OackPacket({{"multicast", value}, {"tsize", "9000"}}));
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
  other = rig->Net().OpenPeerPort(kServer, 6001, [](const host::Datagram &, host::Time100ns) {});
  if (!server || !other) {
    Fail("peer ports");
  }

  Sink sink;
  sink.token.Filename = const_cast<CHAR8 *>("fuzz.bin");
  Zem4Option option = {const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")};
  sink.token.OptionCount = 1;
  sink.token.OptionList = &option;
  EFI_EVENT event = zem4::fuzz::Arm(sink, *rig, true);
  if (proto->ReadFile(proto, &sink.token) != EFI_SUCCESS) {
    Fail("ReadFile refused");
  }
  rig->RunUntil([&] { return clientPort != 0; }, 100 * kMs);
  rig->RunUntil([] { return false; }, 20 * kMs);
  for (const Bytes &bytes : toGroup) {
    other->Send(kGroup, kGroupPort, bytes);
    rig->RunUntil([] { return false; }, kMs);
  }

  if (clientPort != 0) {
    zem4::fuzz::PlayRecords(*rig, data, size, 1, *server, *other, kClient, clientPort, &kGroup,
                            kGroupPort);
  }

  zem4::fuzz::EndTransfer(*rig, proto, sink, 5 * 10'000'000ull, 5 * 10'000'000ull);
  server.reset();
  other.reset();
  zem4::fuzz::TearDownClean("McastFuzz", *rig, child.controller, child.handle, event, sink);
  return 0;
}
