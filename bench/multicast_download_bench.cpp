// One file to 1, 4 and 16 members of a multicast group through the loaded
// driver, from the server's engine on the simulated network, in virtual
// time. Reported per run: DATA8 datagrams the server sent per file block,
// passes the server ran, and virtual seconds to the last member's end, with
// no loss and with 5 % loss, duplication and reordering on every path.
#include "host/Network.h"
#include "support/Globals.h"
#include "tests/common/DriverHost.h"
#include "tests/common/EngineServer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

using namespace zem4;

constexpr host::Ipv4 kServer{127, 0, 6, 1};
constexpr host::Time100ns kSecond = 10'000'000;

struct Member {
  EFI_HANDLE controller = nullptr;
  EFI_HANDLE child = nullptr;
  Zem4Token token{};
  EFI_EVENT event = nullptr;
  uint64_t bytes = 0;
  bool done = false;
  Zem4Option option = {const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")};
};

VOID EFIAPI Done(EFI_EVENT, VOID *Context) {
  static_cast<Member *>(Context)->done = true;
}

EFI_STATUS EFIAPI Take(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *) {
  static_cast<Member *>(Token->Context)->bytes += Length;
  return EFI_SUCCESS;
}

struct Result {
  bool ok = false;
  double dataPerBlock = 0;
  double passes = 0;
  double seconds = 0;
};

Result Run(size_t members, double rate, const std::vector<uint8_t> &file) {
  Result result;
  test::DriverHost rig(7);
  if (EFI_ERROR(rig.Load())) {
    return result;
  }
  rig.Net().SetCaptureEnabled(false);
  host::FaultProfile profile;
  profile.loss = profile.duplicate = profile.reorder = rate;
  // A wire that takes time: every member's request reaches the server before
  // the first member's repair list starts the data.
  profile.delay = 2 * 10'000;
  rig.Net().SetDefaultProfile(profile);
  auto server = std::make_unique<test::EngineServer>(rig.Fw(), rig.Net(), kServer);
  server->Files().Add("file.bin", file);

  std::vector<std::unique_ptr<Member>> group;
  for (size_t i = 0; i < members; i++) {
    auto m = std::make_unique<Member>();
    host::Ipv4 ip(127, 0, 7, uint8_t(10 + i));
    m->controller = rig.AddController(ip);
    rig.Connect(m->controller);
    rig.CreateChild(m->controller, &m->child);
    Zem4 *proto = rig.Protocol(m->child);
    Zem4ConfigData config{};
    for (int b = 0; b < 4; b++) {
      config.StationIp.Addr[b] = ip.b[b];
      config.ServerIp.Addr[b] = kServer.b[b];
      config.SubnetMask.Addr[b] = b < 3 ? 255 : 0;
    }
    config.InitialServerPort = 5568;
    proto->Configure(proto, &config);
    gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Done, m.get(), &m->event);
    m->token.Event = m->event;
    m->token.Filename = const_cast<CHAR8 *>("file.bin");
    m->token.Context = m.get();
    m->token.CheckPacket = Take;
    m->token.OptionCount = 1;
    m->token.OptionList = &m->option;
    group.push_back(std::move(m));
  }
  // Everybody asks at once.
  for (auto &m : group) {
    Zem4 *proto = rig.Protocol(m->child);
    proto->ReadFile(proto, &m->token);
  }
  host::Time100ns start = rig.Fw().Now();
  bool finished = rig.RunUntil(
      [&] {
        for (auto &m : group) {
          if (!m->done) {
            return false;
          }
        }
        return true;
      },
      3600 * kSecond);
  result.ok = finished;
  for (auto &m : group) {
    result.ok = result.ok && m->token.Status == EFI_SUCCESS && m->bytes == file.size();
  }
  const server::EngineStats &stats = server->Engine().Stats();
  result.dataPerBlock = double(stats.DataDatagrams) / double(file.size() / 1032 + 1);
  result.passes = double(stats.Passes);
  result.seconds = double(rig.Fw().Now() - start) / double(kSecond);
  for (auto &m : group) {
    rig.DestroyChild(m->controller, m->child);
    gBS->CloseEvent(m->event);
  }
  server.reset();
  rig.TearDown();
  return result;
}

void BM_MulticastDownload(benchmark::State &state) {
  size_t members = size_t(state.range(0));
  double rate = double(state.range(1)) / 100.0;
  std::vector<uint8_t> file(1024 * 1024);
  uint32_t x = 99;
  for (auto &byte : file) {
    x = x * 1103515245u + 12345;
    byte = uint8_t(x >> 16);
  }
  Result last;
  for (auto _ : state) {
    last = Run(members, rate, file);
    if (!last.ok) {
      state.SkipWithError("a member did not get the exact file");
      return;
    }
  }
  state.counters["data_per_block"] = last.dataPerBlock;
  state.counters["passes"] = last.passes;
  state.counters["virtual_s"] = last.seconds;
}

BENCHMARK(BM_MulticastDownload)
    ->ArgsProduct({{1, 4, 16}, {0, 5}})
    ->ArgNames({"members", "loss%"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

} // namespace
