// How many datagrams per second the server engine produces: whole unicast
// passes and multicast passes driven by an instantly acknowledging client.
#include "server/engine/Engine.h"

#include <benchmark/benchmark.h>

namespace {

using namespace zem4::server;
using namespace std::chrono_literals;

class CountingIo : public EngineIo {
public:
  std::optional<uint16_t> OpenPort() override { return Next++; }
  void ClosePort(uint16_t) override {}
  void Send(uint16_t From, const Endpoint &, std::span<const uint8_t> D) override {
    ++Datagrams;
    Bytes += D.size();
    LastFrom = From;
    if (D.size() >= 6 && D[1] == 8) {
      // Sequence of the DATA8 just sent.
      LastSeq = uint32_t{D[2]} << 24 | uint32_t{D[3]} << 16 | uint32_t{D[4]} << 8 | D[5];
    } else if (D.size() == 6 && D[1] == 14) {
      Fin = true;
    }
  }
  uint16_t Next = 40000;
  uint64_t Datagrams = 0;
  uint64_t Bytes = 0;
  uint16_t LastFrom = 0;
  uint32_t LastSeq = 0;
  bool Fin = false;
};

void RunPass(benchmark::State &State, bool Multicast) {
  const size_t FileSize = static_cast<size_t>(State.range(0)) * 1032;
  MemoryFileSource Files;
  Files.Add("f", std::vector<uint8_t>(FileSize, 0x5A));
  CountingIo Io;
  Engine E({}, Files, Io);
  const Endpoint Client{Ipv4(127, 0, 0, 2), 1000};
  std::vector<std::pair<std::string, std::string>> Options{{"tsize", "0"}};
  if (Multicast) {
    Options.emplace_back("multicast", "1");
  }
  const Bytes Rrq = BuildRequest("f", Options);
  const Bytes Rpl = BuildRpl(1, std::vector<BlockRange>{{1, 0xFFFFFFFF}});
  Time Now{0};
  uint16_t Port = 1000;
  for (auto _ : State) {
    Io.Fin = false;
    Endpoint C{Client.address, Port++};
    E.OnDatagram(C, 5568, Rrq, Now);
    uint16_t Session = Io.LastFrom;
    E.OnDatagram(C, Session, Rpl, Now);
    // Acknowledge every window as soon as it is out, as a fast client would.
    while (!Io.Fin) {
      E.OnDatagram(C, Session, BuildAck8(Io.LastSeq + 1), Now);
    }
    Now += 1s;
    E.OnTime(Now); // FIN repeats and the end of the session
    while (auto D = E.NextDeadline()) {
      Now = *D;
      E.OnTime(Now);
    }
  }
  State.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(Io.Datagrams), benchmark::Counter::kIsRate);
  State.SetBytesProcessed(static_cast<int64_t>(Io.Bytes));
}

void BM_UnicastPass(benchmark::State &State) {
  RunPass(State, false);
}
void BM_MulticastPass(benchmark::State &State) {
  RunPass(State, true);
}

BENCHMARK(BM_UnicastPass)->Arg(1024)->Arg(16384);
BENCHMARK(BM_MulticastPass)->Arg(1024)->Arg(16384);

} // namespace
