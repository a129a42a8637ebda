// One file to a group of 1, 4 or 16 members on the simulated network, from
// the server's real engine, in virtual time, without and with loss. What it
// reports as counters is what multicast buys: datagrams the server sent per
// file block (DATA8 alone and everything), and the passes the members
// needed. Real time per iteration is the cost of simulating it.
//
// Arguments: members, loss in percent, late (1: half the members ask once a
// third of the file has gone out).
#include "tests/common/EngineServer.h"
#include "tests/multicast/McastGroup.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace {

using namespace zem4;
using namespace zem4::test::mcast;

constexpr size_t kFileBlocks = 256;
constexpr size_t kFileSize = kFileBlocks * kBlock + 100;

struct Result {
  bool ok = false;
  std::string error;
  uint64_t data = 0;
  uint64_t datagrams = 0;
  uint64_t clientDatagrams = 0;
  uint32_t maxPasses = 0;
  double meanPasses = 0;
  uint64_t virtualMs = 0;
};

Result RunOnce(size_t members, double loss, bool late, uint64_t seed) {
  Result result;
  test::DriverHost host(seed);
  if (EFI_ERROR(host.Load())) {
    result.error = "driver not loaded";
    return result;
  }
  host.Net().SetCaptureEnabled(false);
  host::FaultProfile profile;
  profile.delay = 2'000; // 200 us
  profile.loss = loss;
  host.Net().SetDefaultProfile(profile);
  auto server = std::make_unique<test::EngineServer>(host.Fw(), host.Net(), kServer);
  Bytes file = test::MakeFile(kFileSize, 11);
  server->Files().Add("file.bin", file);
  uint64_t clientSent = 0;
  {
    Group group(host);
    for (size_t i = 0; i < members; i++) {
      if (group.Add(i % 2 == 0 ? Caller::Buffer : Caller::Stream, "file.bin", kFileSize) ==
          nullptr) {
        result.error = "member not made";
        return result;
      }
    }
    const size_t early = late ? std::max<size_t>(1, members / 2) : members;
    for (size_t i = 0; i < early; i++) {
      group.Start(group[i]);
    }
    if (early < members) {
      host.RunUntil([&] { return server->Engine().Stats().DataDatagrams >= kFileBlocks / 3; },
                    60 * kSecond);
      for (size_t i = early; i < members; i++) {
        group.Start(group[i]);
      }
    }
    const host::Time100ns start = host.Fw().Now();
    if (!group.RunUntilDone(7200 * kSecond)) {
      result.error = "members not done";
      return result;
    }
    result.virtualMs = (host.Fw().Now() - start) / kMs;
    for (auto &m : group.Members()) {
      if (m->token.Status != EFI_SUCCESS || !Group::Compare(*m, file).empty()) {
        result.error = m->Name() + " did not end with the file";
        return result;
      }
    }
    group.Release();
    const server::EngineStats &stats = server->Engine().Stats();
    result.data = stats.DataDatagrams;
    result.datagrams = stats.DatagramsSent;
    clientSent = host.Net().Stats().sent - stats.DatagramsSent;
    uint64_t passes = 0;
    for (const server::TransferReport &r : server->Reports()) {
      result.maxPasses = std::max(result.maxPasses, r.Passes);
      passes += r.Passes;
    }
    result.meanPasses = server->Reports().empty() ? 0 : double(passes) / server->Reports().size();
  }
  result.clientDatagrams = clientSent;
  server.reset();
  if (!host.TearDown().empty()) {
    result.error = "left live";
    return result;
  }
  result.ok = true;
  return result;
}

void BM_MulticastFile(benchmark::State &state) {
  const size_t members = static_cast<size_t>(state.range(0));
  const double loss = double(state.range(1)) / 100.0;
  const bool late = state.range(2) != 0;
  Result last;
  uint64_t seed = 1;
  double data = 0, datagrams = 0, client = 0, maxPasses = 0, meanPasses = 0, virtualMs = 0;
  for (auto _ : state) {
    last = RunOnce(members, loss, late, seed++);
    if (!last.ok) {
      state.SkipWithError(last.error.c_str());
      return;
    }
    data += double(last.data);
    datagrams += double(last.datagrams);
    client += double(last.clientDatagrams);
    maxPasses += last.maxPasses;
    meanPasses += last.meanPasses;
    virtualMs += double(last.virtualMs);
  }
  const double runs = double(state.iterations());
  const double blocks = double(kFileBlocks + 1);
  state.counters["data_per_block"] = data / runs / blocks;
  state.counters["server_dgrams_per_block"] = datagrams / runs / blocks;
  state.counters["client_dgrams_per_block"] = client / runs / blocks;
  state.counters["passes_max"] = maxPasses / runs;
  state.counters["passes_mean"] = meanPasses / runs;
  state.counters["virtual_ms"] = virtualMs / runs;
  state.SetItemsProcessed(int64_t(runs * blocks * double(members)));
}

BENCHMARK(BM_MulticastFile)
    ->ArgNames({"members", "loss_pct", "late"})
    ->ArgsProduct({{1, 4, 16}, {0, 1, 5}, {0}})
    ->Args({4, 0, 1})
    ->Args({16, 0, 1})
    ->Args({16, 5, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace
