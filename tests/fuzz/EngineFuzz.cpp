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
const uint16_t kPort = 5568;
const host::Time100ns kMs = 10'000;

using zem4::fuzz::Sink;

[[noreturn]] void Fail(const char *what) {
  zem4::fuzz::Fail("EngineFuzz", what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const unsigned stage = data[0] % 5;

  auto rig = std::make_unique<test::DriverHost>(1);
  if (EFI_ERROR(rig->Load())) {
    Fail("driver did not load");
  }
  rig->Net().SetCaptureEnabled(false);
  const zem4::fuzz::Child child = zem4::fuzz::ConfiguredChild("EngineFuzz", *rig, kClient, kServer);
  Zem4 *proto = child.proto;

  // The peer: drives the transfer to the chosen state, then plays the input.
  uint16_t clientPort = 0;
  std::unique_ptr<host::PeerPort> other;
  auto server =
      rig->Net().OpenPeerPort(kServer, kPort, [&](const host::Datagram &d, host::Time100ns) {
        if (d.payload.size() < 2 || d.payload[1] != 1 || clientPort != 0) {
          return;
        }
        clientPort = d.srcPort;
        auto send = [&](const Bytes &bytes) { other->Send(kClient, clientPort, bytes); };
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
  other = rig->Net().OpenPeerPort(kServer, 6001, [](const host::Datagram &, host::Time100ns) {});
  if (!server || !other) {
    Fail("peer ports");
  }

  Sink sink;
  sink.token.Filename = const_cast<CHAR8 *>("fuzz.bin");
  EFI_EVENT event = zem4::fuzz::Arm(sink, *rig, true);
  if (proto->ReadFile(proto, &sink.token) != EFI_SUCCESS) {
    Fail("ReadFile refused");
  }
  rig->RunUntil([&] { return clientPort != 0; }, 100 * kMs);
  rig->RunUntil([] { return false; }, 50 * kMs);

  if (clientPort != 0) {
    zem4::fuzz::PlayRecords(*rig, data, size, 1, *server, *other, kClient, clientPort);
  }

  // Whatever the input did, the transfer ends and the token completes once:
  // by itself within a few seconds, or through Configure with no data.
  zem4::fuzz::EndTransfer(*rig, proto, sink, 5 * 10'000'000ull, 5 * 10'000'000ull);
  server.reset();
  other.reset();
  zem4::fuzz::TearDownClean("EngineFuzz", *rig, child.controller, child.handle, event, sink);
  return 0;
}
