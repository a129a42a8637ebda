// Drives the engine directly: a recording EngineIo, exact-byte helpers, and a
// virtual-time loop that connects engine and client models with optional loss.
#pragma once

#include "server/engine/Engine.h"
#include "tests/server/ClientModel.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace zem4::server::testing {

struct SentDatagram {
  uint16_t From;
  Endpoint To;
  Bytes Data;
};

class RecordingIo : public EngineIo {
public:
  std::optional<uint16_t> OpenPort() override {
    if (PortsLeft == 0) {
      return std::nullopt;
    }
    --PortsLeft;
    uint16_t P = NextPort++;
    Open.insert(P);
    return P;
  }
  void ClosePort(uint16_t Port) override {
    EXPECT_EQ(Open.erase(Port), 1u) << "port closed twice or never opened: " << Port;
  }
  void Send(uint16_t FromPort, const Endpoint &To, std::span<const uint8_t> D) override {
    Sent.push_back({FromPort, To, Bytes(D.begin(), D.end())});
  }
  void Report(const TransferReport &R) override { Reports.push_back(R); }
  void Log(NoteLevel, const LogRecord &R) override {
    Notes.push_back(R.Line());
    Json.push_back(R.Json());
  }

  std::vector<SentDatagram> Take() {
    std::vector<SentDatagram> Out;
    Out.swap(Sent);
    return Out;
  }

  std::vector<SentDatagram> Sent;
  std::vector<TransferReport> Reports;
  std::vector<std::string> Notes; // each line as text, and its JSON fields
  std::vector<std::string> Json;
  std::set<uint16_t> Open;
  uint16_t NextPort = 40000;
  uint32_t PortsLeft = 1000;
};

inline Bytes B(std::initializer_list<int> V) {
  Bytes Out;
  for (int X : V) {
    Out.push_back(static_cast<uint8_t>(X));
  }
  return Out;
}

inline Bytes Str(std::string_view S, bool Nul = true) {
  Bytes Out(S.begin(), S.end());
  if (Nul) {
    Out.push_back(0);
  }
  return Out;
}

inline Bytes Cat(std::initializer_list<Bytes> Parts) {
  Bytes Out;
  for (const auto &P : Parts) {
    Out.insert(Out.end(), P.begin(), P.end());
  }
  return Out;
}

inline Bytes Pattern(size_t N, uint32_t Seed = 1) {
  Bytes Out(N);
  uint32_t X = Seed * 2654435761u + 12345;
  for (auto &C : Out) {
    X = X * 1103515245u + 12345;
    C = static_cast<uint8_t>(X >> 16);
  }
  return Out;
}

inline uint16_t Opcode(const Bytes &D) {
  return D.size() >= 2 ? static_cast<uint16_t>(D[0] << 8 | D[1]) : 0;
}
inline uint32_t Be32At(const Bytes &D, size_t At) {
  return uint32_t{D[At]} << 24 | uint32_t{D[At + 1]} << 16 | uint32_t{D[At + 2]} << 8 | D[At + 3];
}

// The first RPL of a client that has nothing yet: every block.
inline Bytes ListAll() {
  return BuildRpl(1, std::vector<BlockRange>{{1, 0xFFFFFFFF}});
}

// A unicast RRQ for File from Client to Listen, then that client's first RPL
// to the session port (RecordingIo hands out 40000 first).
inline void StartUnicast(Engine &E, Endpoint Client, uint16_t Listen, std::string_view File,
                         Time At = Time{0}) {
  E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str(File)}), At);
  E.OnDatagram(Client, 40000, ListAll(), At);
}

// Engine plus clients in virtual time. Datagrams are delivered in order;
// Drop decides, per datagram, whether the network loses it.
class VirtualNet {
public:
  struct Client {
    Endpoint Address;
    ClientModel Model;
    bool Started = false;
  };

  VirtualNet(EngineConfig Cfg, FileSource &Files) : Config(Cfg), Engine_(Cfg, Files, Io) {}

  Client &Add(Endpoint Address, ClientModel Model) {
    Clients.push_back(std::make_unique<Client>(Client{Address, std::move(Model)}));
    return *Clients.back();
  }

  void StartClient(Client &C) {
    C.Started = true;
    Queue(C, C.Model.Start(Now));
  }

  // A datagram a hostile peer sends at a given time, to the listening port
  // (Port 0) or to a port of the server.
  void Inject(std::chrono::nanoseconds At, Endpoint From, uint16_t Port, Bytes Datagram) {
    auto It = std::upper_bound(Scripted.begin(), Scripted.end(), At,
                               [](auto T, const auto &S) { return T < S.first; });
    Scripted.insert(It, {At, {From, Port ? Port : Config.ListenPort, std::move(Datagram)}});
  }

  // Runs until Done() or nothing is left to do; returns the steps taken.
  size_t Run(const std::function<bool()> &Done, size_t MaxSteps = 2'000'000) {
    size_t Steps = 0;
    while (!Done() && Steps++ < MaxSteps) {
      if (!ToServer.empty()) {
        auto [From, Port, D] = ToServer.front();
        ToServer.pop_front();
        Engine_.OnDatagram(From, Port, D, Now);
        DeliverServerOutput();
        continue;
      }
      if (!Scripted.empty() && Scripted.front().first <= Now) {
        ToServer.push_back(std::move(Scripted.front().second));
        Scripted.pop_front();
        continue;
      }
      // Nothing in flight: jump to the next timer, the engine's, a client's
      // or a scripted datagram's.
      std::optional<std::chrono::nanoseconds> Next = Engine_.NextDeadline();
      if (!Scripted.empty()) {
        Next = Next ? std::min(*Next, Scripted.front().first) : Scripted.front().first;
      }
      for (auto &C : Clients) {
        if (C->Started && !C->Model.Finished()) {
          auto D = C->Model.Deadline();
          Next = Next ? std::min(*Next, D) : D;
        }
      }
      if (!Next) {
        break;
      }
      Now = std::max(Now, *Next);
      Engine_.OnTime(Now);
      DeliverServerOutput();
      for (auto &C : Clients) {
        if (C->Started && !C->Model.Finished()) {
          Queue(*C, C->Model.OnTime(Now));
        }
      }
    }
    return Steps;
  }

  void AdvanceTo(std::chrono::nanoseconds T) {
    Now = T;
    Engine_.OnTime(Now);
    DeliverServerOutput();
  }

  Engine &Server() { return Engine_; }
  RecordingIo Io;
  EngineConfig Config;
  std::chrono::nanoseconds Now{0};
  std::vector<std::unique_ptr<Client>> Clients;
  std::function<bool(const SentDatagram &)> DropToClient;
  std::function<bool(const Endpoint &, const Bytes &)> DropToServer;
  // Called with each server datagram before delivery (for watching the stream).
  std::function<void(const SentDatagram &)> Watch;
  uint64_t Delivered = 0;

private:
  void Queue(Client &C, std::vector<ClientModel::Outgoing> Out) {
    for (auto &O : Out) {
      if (DropToServer && DropToServer(C.Address, O.Datagram)) {
        continue;
      }
      uint16_t Port = O.ToRequestPort ? Config.ListenPort : C.Model.SessionPort();
      ToServer.push_back({C.Address, Port, std::move(O.Datagram)});
    }
  }

  void DeliverServerOutput() {
    for (auto &S : Io.Take()) {
      if (Watch) {
        Watch(S);
      }
      if (DropToClient && DropToClient(S)) {
        continue;
      }
      ++Delivered;
      bool Group = S.To.address.IsMulticast();
      for (auto &C : Clients) {
        if (!C->Started) {
          continue;
        }
        bool ForMe = Group ? (C->Model.Group() && *C->Model.Group() == S.To) : C->Address == S.To;
        if (ForMe) {
          Queue(*C, C->Model.OnDatagram(S.Data, S.From, Group, Now));
        }
      }
    }
  }

  struct Pending {
    Endpoint From;
    uint16_t Port;
    Bytes Data;
  };
  std::deque<Pending> ToServer;
  std::deque<std::pair<std::chrono::nanoseconds, Pending>> Scripted;
  Engine Engine_;
};

} // namespace zem4::server::testing
