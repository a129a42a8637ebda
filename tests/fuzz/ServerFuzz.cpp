// Arbitrary datagrams and times into the server engine: it must not crash,
// leak, grow without bound, or answer a datagram with a flood.
#include "server/engine/Engine.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

namespace {

using namespace zem4::server;

class FuzzIo : public EngineIo {
public:
  std::optional<uint16_t> OpenPort() override {
    if (Open.size() >= 200) {
      return std::nullopt;
    }
    uint16_t P = Next++;
    Open.insert(P);
    return P;
  }
  void ClosePort(uint16_t Port) override {
    if (Open.erase(Port) != 1) {
      std::abort(); // closed twice or never opened
    }
  }
  void Send(uint16_t From, const Endpoint &, std::span<const uint8_t> D) override {
    if (D.size() < 2 || D.size() > 1042 || (From != 5568 && !Open.count(From))) {
      std::abort(); // malformed or from a port the engine does not own
    }
    ++SentNow;
  }
  std::set<uint16_t> Open;
  uint16_t Next = 40000;
  size_t SentNow = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  MemoryFileSource Files;
  Files.Add("a", std::vector<uint8_t>(5000, 0xAB));
  Files.Add("b", std::vector<uint8_t>(1032, 0xCD));
  Files.Add("z", {});
  Files.AddRefused("dev");
  EngineConfig Cfg;
  Cfg.MaxSessions = 8;
  Cfg.MaxGroups = 2;
  FuzzIo Io;
  Time Now{0};
  {
    Engine E(Cfg, Files, Io);
    size_t Pos = 0;
    // Each event: kind, client, port choice, 16-bit length, bytes.
    while (Pos + 5 <= Size) {
      uint8_t Kind = Data[Pos];
      uint8_t Client = Data[Pos + 1];
      uint8_t PortPick = Data[Pos + 2];
      size_t Length = std::min<size_t>(size_t{Data[Pos + 3]} << 8 | Data[Pos + 4], Size - Pos - 5);
      Pos += 5;
      std::span<const uint8_t> Datagram(Data + Pos, Length);
      Pos += Length;
      Io.SentNow = 0;
      if (Kind % 4 == 0) {
        Now += std::chrono::milliseconds(Kind * 40);
        E.OnTime(Now);
      } else {
        uint16_t Port = 5568;
        if (PortPick % 2 == 1 && !Io.Open.empty()) {
          auto It = Io.Open.begin();
          std::advance(It, PortPick / 2 % Io.Open.size());
          Port = *It;
        }
        Endpoint From{0x7F000000u + (Client % 16), static_cast<uint16_t>(1000 + Client / 16)};
        E.OnDatagram(From, Port, Datagram, Now);
        // A datagram is answered by at most a window of data (a go-back) plus a FIN.
        if (Io.SentNow > 64 + 1) {
          std::abort();
        }
      }
      if (E.ActiveClients() > Cfg.MaxSessions || E.ActiveGroups() > Cfg.MaxGroups) {
        std::abort();
      }
      if (auto D = E.NextDeadline(); D && *D < Now - std::chrono::hours(1)) {
        std::abort();
      }
    }
    E.Shutdown(Now);
    if (!Io.Open.empty() || E.ActiveTransfers() != 0) {
      std::abort();
    }
  }
  return 0;
}
