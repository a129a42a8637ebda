// A small client of our own that speaks the protocol the way the driver does
// (unicast, active and passive roles, repair lists, FIN decisions) but keeps
// the file as a map of blocks. It does no I/O: it is fed datagrams and the
// time and returns what to send, so the engine tests run it in virtual time
// and the loopback tests put sockets around it.
#pragma once

#include "server/engine/Packets.h"
#include "server/engine/Schedule.h"
#include "server/engine/Types.h"
#include "zem4/Zem4Wire.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace zem4::server::testing {

using namespace std::chrono_literals;

class ClientModel {
public:
  enum class Role { None, Unicast, Active, Passive };
  struct Outgoing {
    bool ToRequestPort = false; // the server's listening port, else its session port
    Bytes Datagram;
  };

  ClientModel(std::string File, bool Multicast, bool AskSha = false)
      : FileName(std::move(File)), Multicast(Multicast), AskSha(AskSha) {}

  // The first request.
  std::vector<Outgoing> Start(std::chrono::nanoseconds Now) {
    LastActivity = Now;
    return {SendRequest()};
  }

  std::vector<Outgoing> OnDatagram(std::span<const uint8_t> D, uint16_t FromPort, bool ViaGroup,
                                   std::chrono::nanoseconds Now) {
    std::vector<Outgoing> Out;
    uint16_t Op = 0;
    if (Done || (Deaf && CurrentRole != Role::None) ||
        !Zem4WireGetOpcode(D.data(), D.size(), &Op)) {
      return Out;
    }
    switch (Op) {
    case ZEM4_OP_OACK:
      if (!AwaitingOack) {
        return Out;
      }
      if (!ViaGroup) {
        ServerPort = FromPort;
      }
      LastActivity = Now;
      OnOack(D, Out);
      break;
    case ZEM4_OP_RPLACK: {
      uint32_t Seq = 0;
      Zem4WireGetBe32(D.data(), D.size(), ZEM4_RPLACK_SEQUENCE_OFFSET, &Seq);
      LastActivity = Now;
      if (Listing && Seq == NextRplSeq && !ListSent) {
        Out.push_back(NextRpl());
      }
      break;
    }
    case ZEM4_OP_DATA8:
      if (Zem4WireData8LengthOk(D.size())) {
        OnData(D, ViaGroup, Now, Out);
      }
      break;
    case ZEM4_OP_FIN:
      if (D.size() == ZEM4_FIN_LENGTH && !AwaitingOack) {
        uint32_t Value = 0;
        Zem4WireGetBe32(D.data(), D.size(), ZEM4_FIN_VALUE_OFFSET, &Value);
        if (!(CurrentRole == Role::Passive && Value == ZEM4_FIN_PASSIVE_HOLD)) {
          OnFin(Out, Now);
        }
      }
      break;
    case ZEM4_OP_ERROR: {
      uint16_t Code = 0;
      Zem4WireGetBe16(D.data(), D.size(), ZEM4_ERROR_CODE_OFFSET, &Code);
      ErrorCode = Code;
      Done = true;
      break;
    }
    default:
      break;
    }
    return Out;
  }

  // Retransmits what it last sent after a second of silence, as a client's
  // timers would; a passive member only waits.
  std::vector<Outgoing> OnTime(std::chrono::nanoseconds Now) {
    std::vector<Outgoing> Out;
    if (Done || Now < LastActivity + Patience) {
      return Out;
    }
    LastActivity = Now;
    if (++Silences > MaxSilences) {
      Done = true;
      TimedOut = true;
      return Out;
    }
    if (Deaf && CurrentRole != Role::None) {
      return Out; // gone quiet for good
    }
    if (AwaitingOack) {
      Out.push_back(SendRequest());
    } else if (Listing && LastRpl) {
      Out.push_back({false, *LastRpl});
    } else if (CurrentRole == Role::Unicast || CurrentRole == Role::Active) {
      Out.push_back({false, BuildAck8(NextSeq)});
    }
    return Out;
  }

  std::chrono::nanoseconds Deadline() const { return LastActivity + Patience; }

  bool Finished() const { return Done; }
  bool Complete() const { return Done && !TimedOut && ErrorCode < 0 && Total && HaveAll(); }
  bool TimedOutFlag() const { return TimedOut; }
  int Error() const { return ErrorCode; }
  Role CurrentRoleNow() const { return CurrentRole; }
  const std::vector<Role> &RoleHistory() const { return Roles; }
  std::optional<Endpoint> Group() const { return GroupAddress; }
  uint16_t SessionPort() const { return ServerPort; }
  std::optional<std::string> Sha() const { return ShaValue; }
  uint64_t Size() const { return Tsize; }
  uint32_t Passes() const { return PassCount; }
  size_t BlocksHeld() const { return Blocks.size(); }

  Bytes Content() const {
    Bytes All;
    for (const auto &[B, Data] : Blocks) {
      All.insert(All.end(), Data.begin(), Data.end());
    }
    return All;
  }

  // Test hooks.
  bool Deaf = false; // after its first answer it hears and says nothing more
  std::chrono::nanoseconds Patience = 1s;
  uint32_t MaxSilences = 400;

private:
  Outgoing SendRequest() {
    AwaitingOack = true;
    std::vector<std::pair<std::string, std::string>> Options{{"tsize", "0"}};
    if (Multicast) {
      Options.emplace_back("multicast", "1");
    }
    if (AskSha) {
      Options.emplace_back("sha256", "1");
    }
    return {true, BuildRequest(FileName, Options)};
  }

  void OnOack(std::span<const uint8_t> D, std::vector<Outgoing> &Out) {
    // name NUL value NUL pairs after the opcode
    std::map<std::string, std::string> Options;
    size_t Pos = ZEM4_OACK_OPTIONS_OFFSET;
    auto Take = [&](std::string &S) {
      while (Pos < D.size() && D[Pos] != 0) {
        S.push_back(static_cast<char>(D[Pos++]));
      }
      return Pos++ < D.size();
    };
    while (Pos < D.size()) {
      std::string Name, Value;
      if (!Take(Name) || !Take(Value)) {
        break;
      }
      Options[Name] = Value;
    }
    AwaitingOack = false;
    ++PassCount;
    if (Options.count("tsize")) {
      Tsize = std::stoull(Options["tsize"]);
      Total = BlockCount(Tsize);
    }
    if (Options.count("sha256")) {
      ShaValue = Options["sha256"];
    }
    CurrentRole = Role::Unicast;
    if (auto It = Options.find("multicast"); It != Options.end()) {
      unsigned A, B, C, E, Port, Flag;
      if (sscanf(It->second.c_str(), "%u.%u.%u.%u,%u,%u", &A, &B, &C, &E, &Port, &Flag) == 6) {
        GroupAddress = Endpoint{Ipv4(A, B, C, E), static_cast<uint16_t>(Port)};
        CurrentRole = Flag ? Role::Active : Role::Passive;
      }
    }
    Roles.push_back(CurrentRole);
    NextSeq = 1;
    Received.clear();
    if (CurrentRole == Role::Passive) {
      return;
    }
    // Missing ranges, from 1 up to "forever" as the driver lists them.
    Missing.clear();
    uint32_t First = 0;
    for (uint32_t B = 1; B <= (Total ? Total : 0); ++B) {
      bool Have = Blocks.count(B) != 0;
      if (!Have && First == 0) {
        First = B;
      } else if (Have && First != 0) {
        Missing.push_back({First, B - 1});
        First = 0;
      }
    }
    Missing.push_back({First ? First : (Total ? Total + 1 : 1), ZEM4_LAST_BLOCK_NUMBER});
    Listing = true;
    ListSent = false;
    NextRplSeq = 1;
    Cursor = 0;
    Out.push_back(NextRpl());
  }

  Outgoing NextRpl() {
    size_t Count = std::min<size_t>(ZEM4_RPL_MAX_RANGES, Missing.size() - Cursor);
    std::span<const BlockRange> Part(Missing.data() + Cursor, Count);
    Cursor += Count;
    if (Count < ZEM4_RPL_MAX_RANGES) {
      ListSent = true;
    }
    LastRpl = BuildRpl(NextRplSeq, Part);
    ++NextRplSeq;
    return {false, *LastRpl};
  }

  void OnData(std::span<const uint8_t> D, bool ViaGroup, std::chrono::nanoseconds Now,
              std::vector<Outgoing> &Out) {
    if (AwaitingOack) {
      return;
    }
    uint32_t Seq = 0, Block = 0;
    Zem4WireGetBe32(D.data(), D.size(), ZEM4_DATA8_SEQUENCE_OFFSET, &Seq);
    Zem4WireGetBe32(D.data(), D.size(), ZEM4_DATA8_BLOCK_OFFSET, &Block);
    LastActivity = Now;
    Silences = 0;
    auto Store = [&] {
      if (Block >= 1 && (!Total || Block <= Total) && !Blocks.count(Block)) {
        Blocks[Block] = Bytes(D.begin() + ZEM4_DATA8_DATA_OFFSET, D.end());
      }
    };
    if (CurrentRole == Role::Passive) {
      if (ViaGroup) {
        Store();
      }
      return;
    }
    Listing = false;
    if (Seq < NextSeq || Seq - NextSeq >= ZEM4_ACK8_WINDOW) {
      Out.push_back({false, BuildAck8(NextSeq)});
      return;
    }
    Store();
    bool InOrder = Seq == NextSeq;
    Received.insert(Seq);
    while (Received.count(NextSeq)) {
      Received.erase(NextSeq);
      ++NextSeq;
    }
    if (!InOrder || ++Unacked >= 2 || D.size() < ZEM4_DATA8_MAX_LENGTH) {
      Unacked = 0;
      Out.push_back({false, BuildAck8(NextSeq)});
    }
  }

  void OnFin(std::vector<Outgoing> &Out, std::chrono::nanoseconds Now) {
    LastActivity = Now;
    Listing = false;
    if (Total && HaveAll()) {
      Done = true;
      return;
    }
    Out.push_back(SendRequest());
  }

  bool HaveAll() const {
    for (uint32_t B = 1; B <= Total; ++B) {
      if (!Blocks.count(B)) {
        return false;
      }
    }
    return true;
  }

  std::string FileName;
  bool Multicast;
  bool AskSha;
  bool Done = false;
  bool TimedOut = false;
  int ErrorCode = -1;
  bool AwaitingOack = false;
  Role CurrentRole = Role::None;
  std::vector<Role> Roles;
  std::optional<Endpoint> GroupAddress;
  uint16_t ServerPort = 0;
  std::optional<std::string> ShaValue;
  uint64_t Tsize = 0;
  uint32_t Total = 0;
  uint32_t PassCount = 0;
  std::map<uint32_t, Bytes> Blocks;
  // Active side
  std::vector<BlockRange> Missing;
  size_t Cursor = 0;
  bool Listing = false;
  bool ListSent = false;
  uint32_t NextRplSeq = 1;
  std::optional<Bytes> LastRpl;
  uint32_t NextSeq = 1;
  std::set<uint32_t> Received;
  uint32_t Unacked = 0;
  std::chrono::nanoseconds LastActivity{0};
  uint32_t Silences = 0;
};

} // namespace zem4::server::testing
