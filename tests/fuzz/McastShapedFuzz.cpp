// A running multicast transfer, active or passive, fed datagrams shaped from
// the input on its unicast port and on its group port, in virtual time: beside
// McastFuzz's raw bytes, this one builds DATA8 near the window, FINs, RPLACKs,
// OACKs and ERRORs so that the handlers past the length checks see traffic,
// and it fills a Buffer caller's buffer as well as a stream. Each input runs on
// a fresh host firmware with the driver loaded as firmware loads it. Nothing
// may crash or read out of bounds, the token completes exactly once, nothing
// is written past the caller's buffer, the multicast port goes with the
// transfer and nothing is left live afterwards.
//
// Input: byte 0 picks the role (bit 0: active), the caller (bit 1: stream),
// how the transfer ends (bit 2: run to its own end, else abort) and the group
// address (bit 3: broadcast). Then records: a control byte, a length byte and
// that many payload bytes. Control bits 0-1: where it goes (unicast port,
// group port, group address on another port, unicast from another server
// port); bits 2-3: virtual time to let pass first (none, 1 ms, 300 ms, 3 s);
// bits 4-6: raw bytes or a packet shaped from them (DATA8, FIN, RPLACK,
// OACK, ERROR, short DATA8, ACK8).
#include "tests/common/DriverHost.h"
#include "tests/common/InstanceProbe.h"
#include "tests/common/ScriptedServer.h"
#include "tests/fuzz/DownloadSink.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace zem4;
using zem4::test::Bytes;

constexpr host::Ipv4 kClient{127, 0, 7, 2};
constexpr host::Ipv4 kServer{127, 0, 7, 1};
constexpr host::Ipv4 kGroup{239, 7, 7, 7};
constexpr host::Ipv4 kBroadcast{255, 255, 255, 255};
constexpr uint16_t kGroupPort = 5601;
constexpr uint16_t kDataPort = 6001;
constexpr host::Time100ns kMs = 10'000;
constexpr size_t kBufferSize = 40 * 1032;
constexpr size_t kGuard = 64;

[[noreturn]] void Fail(const std::string &what) {
  fuzz::Fail("McastShapedFuzz", what);
}

uint32_t Be32(const uint8_t *p, size_t n, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; i++) {
    v = v << 8 | (at + i < n ? p[at + i] : 0);
  }
  return v;
}

// A packet shaped from the record's bytes, so that the handlers past the
// opcode and length checks see plenty of traffic.
Bytes Shape(unsigned kind, const uint8_t *p, size_t n) {
  auto small = [&](size_t at) { return (at < n ? p[at] : 0) % 160; };
  switch (kind) {
  case 1: { // DATA8 near the window, full or short
    uint32_t seq = small(0), block = small(1);
    size_t length = n > 2 && (p[2] & 0x80) ? (p[2] & 0x7F) * 9 : 1032;
    return test::Data8Packet(seq, block, length, static_cast<uint8_t>(block));
  }
  case 2: { // FIN: all ones or a small value
    return test::FinPacket(n > 0 && (p[0] & 1) ? 0xFFFFFFFFu : Be32(p, n, 1) % 8);
  }
  case 3:
    return test::RplAckPacket(small(0) % 4);
  case 4: {
    std::string value =
        "239.7.7.7," + std::to_string(kGroupPort) + "," + std::to_string(n > 0 ? p[0] & 1 : 0);
    return test::OackPacket(
        {{"multicast", value}, {"tsize", std::to_string(Be32(p, n, 1) % 50000)}});
  }
  case 5:
    return test::ErrorPacket(static_cast<uint16_t>(small(0) % 10), "fuzz");
  case 6: // the last block: empty or short
    return test::Data8Packet(small(0), small(1), n > 2 ? p[2] % 3 : 0, 0x5A);
  case 7:
    return test::Ack8Packet(small(0));
  default:
    return Bytes(p, p + n);
  }
}

void RunOne(const uint8_t *data, size_t size) {
  if (size == 0) {
    return;
  }
  const uint8_t mode = data[0];
  const bool active = mode & 1;
  const bool stream = mode & 2;
  const bool runToEnd = mode & 4;
  const host::Ipv4 group = (mode & 8) ? kBroadcast : kGroup;

  test::DriverHost host(1);
  if (EFI_ERROR(host.Load())) {
    Fail("load");
  }
  host.Net().SetCaptureEnabled(false);
  const fuzz::Child child = fuzz::ConfiguredChild("McastShapedFuzz", host, kClient, kServer);
  Zem4 *proto = child.proto;
  test::ScriptedServer server(host.Net(), kServer, 5568);

  fuzz::Sink sink;
  EFI_EVENT event = fuzz::Arm(sink, host, stream);
  std::vector<uint8_t> buffer(kBufferSize + kGuard, 0xEE);
  char name[] = "file.bin", mcName[] = "multicast", mcValue[] = "1";
  Zem4Option option{reinterpret_cast<CHAR8 *>(mcName), reinterpret_cast<CHAR8 *>(mcValue)};
  Zem4Token &token = sink.token;
  token.Filename = reinterpret_cast<CHAR8 *>(name);
  token.OptionCount = 1;
  token.OptionList = &option;
  if (!stream) {
    token.Buffer = buffer.data();
    token.BufferSize = kBufferSize;
  }
  if (EFI_ERROR(proto->ReadFile(proto, &token))) {
    Fail("ReadFile");
  }
  if (!host.RunUntil([&] { return !server.Log().empty(); }, 100 * kMs)) {
    Fail("no request");
  }
  const uint16_t clientPort = server.Log().front().datagram.srcPort;
  std::string value =
      group.ToString() + "," + std::to_string(kGroupPort) + "," + (active ? "1" : "0");
  server.SendFrom(kDataPort, kClient, clientPort, test::OackPacket({{"multicast", value}}));
  host.RunUntil([] { return false; }, kMs);

  size_t at = 1;
  while (at + 2 <= size && sink.completions == 0) {
    const uint8_t control = data[at];
    const size_t length = data[at + 1];
    at += 2;
    const size_t n = std::min(length, size - at);
    Bytes packet = Shape((control >> 4) & 7, data + at, n);
    at += n;
    static const host::Time100ns kWaits[] = {0, kMs, 300 * kMs, 3000 * kMs};
    if (host::Time100ns wait = kWaits[(control >> 2) & 3]) {
      host.RunUntil([] { return false; }, wait);
    }
    switch (control & 3) {
    case 0:
      server.SendFrom(kDataPort, kClient, clientPort, packet);
      break;
    case 1:
      server.SendFrom(kDataPort, group, kGroupPort, packet);
      break;
    case 2:
      server.SendFrom(kDataPort, group, static_cast<uint16_t>(kGroupPort + 1), packet);
      break;
    default:
      server.SendFrom(static_cast<uint16_t>(kDataPort + 1), kClient, clientPort, packet);
      break;
    }
    host.RunUntil([] { return false; }, kMs / 10);
  }

  // Long enough for retransmissions and a pass's end, short of the
  // 300-second give-up (the abort covers what is still running).
  fuzz::EndTransfer(host, proto, sink, runToEnd ? 20 * 10'000'000ull : 0, 10 * kMs);
  for (size_t i = kBufferSize; i < buffer.size(); i++) {
    if (buffer[i] != 0xEE) {
      Fail("written past the caller's buffer");
    }
  }
  if (test::InstanceProbe(proto).HasMcastPort()) {
    Fail("multicast port left after the transfer");
  }
  fuzz::TearDownClean("McastShapedFuzz", host, child.controller, child.handle, event, sink);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  RunOne(data, size);
  return 0;
}
