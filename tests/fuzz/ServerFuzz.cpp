// Arbitrary datagrams, times and digest completions into the server engine:
// it must not crash, leak, grow without bound (sessions, the table of
// unconfirmed requests, ports), or answer a datagram with a flood.
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
  Cfg.MaxPending = 4; // small, so eviction is reached
  bool Held = false;
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
      if (Kind % 8 == 0) {
        Now += std::chrono::milliseconds(Kind * 40);
        E.OnTime(Now);
      } else if (Kind % 8 == 4) {
        // Digests: hold them (requests for one wait), or finish one.
        const size_t HeldBefore = E.HeldRequests();
        if (PortPick % 2 == 0) {
          Held = !Held;
          Files.HoldDigests(Held);
        } else {
          static const char *Names[] = {"a", "b", "z"};
          auto F = Files.Open(Names[Client % 3]);
          if (F.File) {
            if (PortPick % 4 == 3) {
              Files.Replace(Names[Client % 3], std::vector<uint8_t>(F.File->Size(), Client));
            }
            E.OnDigestReady(F.File->Id(), Now);
          }
        }
        if (Io.SentNow > 3 * HeldBefore) {
          std::abort(); // a digest completing answers only the requests held for it
        }
      } else {
        uint16_t Port = 5568;
        if (PortPick % 2 == 1 && !Io.Open.empty()) {
          auto It = Io.Open.begin();
          std::advance(It, PortPick / 2 % Io.Open.size());
          Port = *It;
        }
        // Mostly loopback hosts; now and then a source no client can have.
        uint32_t Ip =
            Client >= 240 ? 0xEFFF0001u + (Client & 3) * 0x01000000u : 0x7F000000u + (Client % 16);
        Endpoint From{Ipv4::FromUint(Ip), static_cast<uint16_t>(1000 + Client / 16)};
        uint64_t BadBefore = E.Stats().BadSource;
        const size_t HeldBefore = E.HeldRequests();
        E.OnDatagram(From, Port, Datagram, Now);
        // A datagram is answered by at most a window of data (a go-back) plus a
        // FIN, and a request may release the requests held for its file's digest.
        if (Io.SentNow > 64 + 1 + 3 * HeldBefore) {
          std::abort();
        }
        if (E.Stats().BadSource != BadBefore && Io.SentNow != 0) {
          std::abort(); // a forged source is never answered
        }
      }
      if (E.ActiveClients() > Cfg.MaxSessions || E.ActiveGroups() > Cfg.MaxGroups ||
          E.UnconfirmedClients() > Cfg.MaxPending || E.HeldRequests() > Cfg.MaxPending) {
        std::abort();
      }
      // Every port belongs to a transfer or a waiting request.
      if (Io.Open.size() > E.ActiveTransfers() + Cfg.MaxPending) {
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
