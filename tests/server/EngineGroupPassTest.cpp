// When a group's pass begins and when its data starts, datagram by
// datagram: the first DATA8 waits for members asking together (bounded),
// and members asking again at a FIN start the next pass once they have
// gathered, without the rest of the FIN series.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t Listen = 5568;
constexpr Endpoint Group1{Ipv4(239, 255, 0, 1), 5570};

Endpoint ClientAt(uint8_t Host) {
  return {Ipv4(127, 0, 0, Host), 1000};
}

Bytes McastRrq() {
  return Cat({B({0, 1}), Str("f"), Str("multicast"), Str("1")});
}

Bytes Oack(bool Active) {
  return Cat(
      {B({0, 6}), Str("multicast"), Str(Active ? "239.255.0.1,5570,1" : "239.255.0.1,5570,0")});
}

struct Sent {
  Time At;
  SentDatagram D;
};

// Feeds scripted datagrams in time order and runs the engine's timers in
// between, recording when each datagram went out.
class Script {
public:
  Script(EngineConfig Cfg, MemoryFileSource &Files) : E(Cfg, Files, Io) {}

  void At(Time T, Endpoint From, uint16_t Port, Bytes D) {
    RunUntil(T);
    E.OnDatagram(From, Port == 0 ? Listen : Port, D, T);
    Collect(T);
  }
  void RunUntil(Time T) {
    for (int I = 0; I < 1000; ++I) {
      auto D = E.NextDeadline();
      if (!D || *D > T) {
        return;
      }
      E.OnTime(*D);
      Collect(*D);
    }
    ADD_FAILURE() << "the engine keeps asking for the same time";
  }
  std::vector<Sent> Of(uint16_t Op) const {
    std::vector<Sent> Out;
    for (const auto &S : Log) {
      if (Opcode(S.D.Data) == Op) {
        Out.push_back(S);
      }
    }
    return Out;
  }
  uint16_t GroupPort() const { return Log.at(0).D.From; }

  RecordingIo Io;
  Engine E;
  std::vector<Sent> Log;

private:
  void Collect(Time T) {
    for (auto &S : Io.Take()) {
      Log.push_back({T, std::move(S)});
    }
  }
};

class GroupPassTest : public ::testing::Test {
protected:
  void SetUp() override { Files.Add("f", Pattern(100 * 1032 + 10, 9)); } // 101 blocks
  MemoryFileSource Files;
};

struct GraceCase {
  const char *Name;
  std::vector<int> JoinsMs; // members after the first, which asks at 0 ms
  int ListMs;               // the first member's repair list
  int FirstDataMs;
};

TEST_F(GroupPassTest, FirstDataWaitsForMembersAskingTogetherBounded) {
  const std::vector<GraceCase> Cases{
      {"alone: 5 ms after its request", {}, 1, 5},
      {"three within the grace", {2, 4}, 1, 9},
      {"list after the quiet: at once", {}, 8, 8},
      {"members keep coming: 20 ms at most", {3, 6, 9, 12, 15, 18, 21, 24}, 1, 20},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Script S({}, Files);
    S.At(0ms, ClientAt(2), 0, McastRrq());
    const uint16_t Port = S.GroupPort();
    bool Listed = false;
    auto List = [&] {
      S.At(std::chrono::milliseconds(C.ListMs), ClientAt(2), Port, ListAll());
      Listed = true;
    };
    for (size_t I = 0; I < C.JoinsMs.size(); ++I) {
      if (!Listed && C.ListMs <= C.JoinsMs[I]) {
        List();
      }
      S.At(std::chrono::milliseconds(C.JoinsMs[I]), ClientAt(static_cast<uint8_t>(3 + I)), 0,
           McastRrq());
    }
    if (!Listed) {
      List();
    }
    S.RunUntil(100ms);
    auto Data = S.Of(ZEM4_OP_DATA8);
    ASSERT_EQ(Data.size(), 64u);
    EXPECT_EQ(Data.front().At, std::chrono::milliseconds(C.FirstDataMs));
    for (uint32_t I = 0; I < 64; ++I) {
      EXPECT_EQ(Data[I].At, Data.front().At);
      EXPECT_EQ(Data[I].D.To, Group1);
      EXPECT_EQ(Be32At(Data[I].D.Data, 2), I + 1);
      EXPECT_EQ(Be32At(Data[I].D.Data, 6), I + 1);
    }
    // Every member asking before the data got its OACK before it.
    auto Oacks = S.Of(ZEM4_OP_OACK);
    ASSERT_EQ(Oacks.size(), 1 + C.JoinsMs.size());
    EXPECT_EQ(Oacks[0].D.Data, Oack(true));
    for (size_t I = 1; I < Oacks.size(); ++I) {
      EXPECT_EQ(Oacks[I].D.Data, Oack(false));
      EXPECT_EQ(Oacks[I].At, std::chrono::milliseconds(C.JoinsMs[I - 1])); // answered at once
    }
  }
}

TEST_F(GroupPassTest, ARateLimitedGroupWaitsOutTheGraceWithoutSpinning) {
  EngineConfig Cfg;
  Cfg.McastRateLimit = 1042 * 100; // 100 full DATA8 per second
  Script S(Cfg, Files);
  S.At(0ms, ClientAt(2), 0, McastRrq());
  S.At(1ms, ClientAt(2), S.GroupPort(), ListAll());
  EXPECT_EQ(S.E.NextDeadline(), std::optional<Time>(5ms));
  S.RunUntil(5ms);
  ASSERT_EQ(S.Of(ZEM4_OP_DATA8).size(), 1u);
  EXPECT_EQ(S.Of(ZEM4_OP_DATA8)[0].At, 5ms);
  EXPECT_EQ(S.E.NextDeadline(), std::optional<Time>(15ms));
}

// Pass 1 with A active and P, Q passive; A completes it (FIN 1 at 10 ms).
std::unique_ptr<Script> PassOne(MemoryFileSource &Files) {
  auto Made = std::make_unique<Script>(EngineConfig{}, Files);
  Script &S = *Made;
  S.At(0ms, ClientAt(2), 0, McastRrq());
  S.At(1ms, ClientAt(3), 0, McastRrq());
  S.At(2ms, ClientAt(4), 0, McastRrq());
  const uint16_t Port = S.GroupPort();
  S.At(3ms, ClientAt(2), Port, ListAll());
  S.At(8ms, ClientAt(2), Port, BuildAck8(65));
  S.At(10ms, ClientAt(2), Port, BuildAck8(102));
  return Made;
}

struct GatherCase {
  const char *Name;
  std::vector<std::pair<uint8_t, int>> Asks; // host, ms
  int PassAtMs;
  uint8_t Active;
};

TEST_F(GroupPassTest, NextPassBeginsOnceTheMembersAskingAgainGathered) {
  const std::vector<GatherCase> Cases{
      // 5 ms after the FIN at least (a FIN behind our OACK must find it
      // ignoring FINs), and 5 ms after the last request.
      {"one asks", {{3, 11}}, 16, 3},
      // Q joined pass 1 after P, so it lacks more of its start: Q drives.
      {"two ask", {{4, 11}, {3, 14}}, 19, 4},
      {"two ask, the other way round", {{3, 11}, {4, 14}}, 19, 4},
      // Every member asked: no reason to wait beyond the FIN's settling.
      {"all ask", {{2, 11}, {3, 11}, {4, 12}}, 15, 2},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Made = PassOne(Files);
    Script &S = *Made;
    const uint16_t Port = S.GroupPort();
    ASSERT_EQ(S.Of(ZEM4_OP_FIN).size(), 1u);
    EXPECT_EQ(S.Of(ZEM4_OP_FIN)[0].At, 10ms);
    const size_t Before = S.Of(ZEM4_OP_OACK).size();
    for (const auto &[Host, Ms] : C.Asks) {
      S.At(std::chrono::milliseconds(Ms), ClientAt(Host), 0, McastRrq());
    }
    S.RunUntil(50ms);
    EXPECT_EQ(S.Of(ZEM4_OP_FIN).size(), 1u); // no more FINs of pass 1
    auto Oacks = S.Of(ZEM4_OP_OACK);
    ASSERT_EQ(Oacks.size(), Before + C.Asks.size());
    for (size_t I = Before; I < Oacks.size(); ++I) {
      EXPECT_EQ(Oacks[I].At, std::chrono::milliseconds(C.PassAtMs));
      EXPECT_EQ(Oacks[I].D.From, Port);
      EXPECT_EQ(Oacks[I].D.Data, Oack(Oacks[I].D.To == ClientAt(C.Active)));
    }
    EXPECT_EQ(Oacks[Before].D.To, ClientAt(C.Active));
    EXPECT_TRUE(S.Io.Reports.empty()); // silent members may still be listening
  }
}

TEST_F(GroupPassTest, SilentMembersAreDecidedAfterTheNextPassAndLateAskersJoinIt) {
  auto Made = PassOne(Files);
  Script &S = *Made;
  const uint16_t Port = S.GroupPort();
  S.At(11ms, ClientAt(3), 0, McastRrq()); // P asks; pass 2 at 16 ms
  S.At(17ms, ClientAt(3), Port, BuildRpl(1, std::vector<BlockRange>{{1, 64}, {102, 0xFFFFFFFF}}));
  // Q heard only a later FIN: it asks after pass 2 began and listens at once.
  S.At(18ms, ClientAt(4), 0, McastRrq());
  auto Oacks = S.Of(ZEM4_OP_OACK);
  EXPECT_EQ(Oacks.back().At, 18ms);
  EXPECT_EQ(Oacks.back().D.To, ClientAt(4));
  EXPECT_EQ(Oacks.back().D.Data, Oack(false));
  S.RunUntil(23ms); // pass 2's data, held 5 ms for Q
  std::vector<Sent> Data;
  for (const auto &D : S.Of(ZEM4_OP_DATA8)) {
    if (D.At >= 16ms) {
      Data.push_back(D);
    }
  }
  ASSERT_EQ(Data.size(), 64u);
  EXPECT_EQ(Data[0].At, 23ms);
  EXPECT_EQ(Be32At(Data[63].D.Data, 6), 64u);
  S.At(24ms, ClientAt(3), Port, BuildAck8(65));
  ASSERT_EQ(S.Of(ZEM4_OP_FIN).size(), 2u);
  S.RunUntil(10s);
  EXPECT_EQ(S.Of(ZEM4_OP_FIN).size(), 5u); // pass 2's whole series: nobody asked
  ASSERT_EQ(S.Io.Reports.size(), 3u);
  EXPECT_EQ(S.Io.Reports[0].Client, ClientAt(2));
  EXPECT_EQ(S.Io.Reports[0].Outcome, "complete");
  EXPECT_EQ(S.Io.Reports[0].Passes, 1u);
  EXPECT_EQ(S.Io.Reports[1].Client, ClientAt(3));
  EXPECT_EQ(S.Io.Reports[1].Roles, "active+passive");
  EXPECT_EQ(S.Io.Reports[1].Passes, 2u);
  EXPECT_EQ(S.Io.Reports[2].Client, ClientAt(4));
  EXPECT_EQ(S.Io.Reports[2].Roles, "passive");
  EXPECT_EQ(S.Io.Reports[2].Passes, 2u); // counted once in pass 2
  EXPECT_EQ(S.E.Stats().Passes, 2u);
  EXPECT_EQ(S.E.ActiveGroups(), 0u);
}

TEST_F(GroupPassTest, GatheringIsBoundedWhenRequestsKeepComing) {
  auto Made = PassOne(Files);
  Script &S = *Made;
  // Newcomers keep asking every 4 ms after the FIN at 10 ms.
  for (int Ms = 12; Ms <= 60; Ms += 4) {
    S.At(std::chrono::milliseconds(Ms), ClientAt(static_cast<uint8_t>(10 + Ms)), 0, McastRrq());
  }
  auto Oacks = S.Of(ZEM4_OP_OACK);
  ASSERT_GT(Oacks.size(), 4u);
  EXPECT_EQ(Oacks[3].At, 32ms); // the first ask at 12 ms + 20 ms
  EXPECT_EQ(Oacks[3].D.Data, Oack(true));
}

// Pass 1 as above; Q and P ask again at 11 and 12 ms: pass 2 begins at
// 17 ms, Q (the later to join) driving, P listening.
std::unique_ptr<Script> PassTwo(MemoryFileSource &Files) {
  auto Made = PassOne(Files);
  Made->At(11ms, ClientAt(4), 0, McastRrq());
  Made->At(12ms, ClientAt(3), 0, McastRrq());
  Made->RunUntil(17ms);
  return Made;
}

std::vector<Time> TimesTo(const Script &S, uint16_t Op, Endpoint To, Time From) {
  std::vector<Time> Out;
  for (const auto &D : S.Of(Op)) {
    if (D.D.To == To && D.At >= From) {
      Out.push_back(D.At);
    }
  }
  return Out;
}

std::vector<BlockRange> FullList() {
  std::vector<BlockRange> R;
  for (uint32_t I = 0; I < ZEM4_RPL_MAX_RANGES; ++I) {
    R.push_back({2 * I + 1, 2 * I + 1});
  }
  return R;
}

struct LostCase {
  const char *Name;
  bool ListsFull; // P's RPL 1 (129 ranges) arrives at 18 ms
  uint16_t Op;    // what goes to P again while it is silent
  std::vector<Time> Sent;
};

TEST_F(GroupPassTest, ARepairPassDriversLostOackOrRplackGoesAgainBeforeItsOwnTimer) {
  const std::vector<LostCase> Cases{
      // It asked again after pass 1: it hears us, so its OACK goes again
      // (3 in all, 0.1 s and 0.2 s apart) rather than the pass waiting 3 s for it.
      {"its OACK lost", false, ZEM4_OP_OACK, {17ms, 117ms, 317ms}},
      {"its RPLACK lost", true, ZEM4_OP_RPLACK, {18ms, 118ms, 318ms}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Made = PassTwo(Files);
    Script &S = *Made;
    const uint16_t Port = S.GroupPort();
    if (C.ListsFull) {
      S.At(18ms, ClientAt(4), Port, BuildRpl(1, FullList()));
    }
    S.RunUntil(2900ms); // the client's own timer would ask at 3 s
    EXPECT_EQ(TimesTo(S, C.Op, ClientAt(4), 17ms), C.Sent);
    for (const auto &D : S.Of(C.Op)) {
      if (D.D.To == ClientAt(4) && D.At >= 17ms) {
        EXPECT_EQ(D.D.Data, C.Op == ZEM4_OP_OACK ? Oack(true) : BuildRplAck(2));
        EXPECT_EQ(D.D.From, Port);
      }
    }
    EXPECT_TRUE(TimesTo(S, ZEM4_OP_DATA8, Group1, 11ms).empty());
    // The list, or its rest, arrives after all: the pass goes on.
    S.At(2900ms, ClientAt(4), Port,
         C.ListsFull ? BuildRpl(2, std::vector<BlockRange>{})
                     : BuildRpl(1, std::vector<BlockRange>{{1, 64}}));
    EXPECT_EQ(TimesTo(S, ZEM4_OP_DATA8, Group1, 11ms).size(), C.ListsFull ? 51u : 64u);
  }
}

TEST_F(GroupPassTest, AFreshDriversLostOackIsLeftToItsOwnTimer) {
  Script S({}, Files);
  S.At(0ms, ClientAt(2), 0, McastRrq());
  S.At(1ms, ClientAt(4), 0, McastRrq());
  S.RunUntil(2900ms);
  // Nothing shows yet that these addresses asked: one answer per request.
  EXPECT_EQ(TimesTo(S, ZEM4_OP_OACK, ClientAt(2), 0ms), std::vector<Time>{0ms});
  EXPECT_EQ(TimesTo(S, ZEM4_OP_OACK, ClientAt(4), 0ms), std::vector<Time>{1ms});
}

TEST_F(GroupPassTest, ARepairPassRepeatsItsListenersOacksAsItsDataStarts) {
  auto Made = PassTwo(Files);
  Script &S = *Made;
  S.At(18ms, ClientAt(4), S.GroupPort(), BuildRpl(1, std::vector<BlockRange>{{1, 64}}));
  S.RunUntil(30ms);
  // Pass 1's listeners were answered once each; in pass 2 P hears its OACK
  // again just before the first DATA8 (held until 22 ms), Q (driving) not.
  EXPECT_EQ(TimesTo(S, ZEM4_OP_OACK, ClientAt(3), 0ms), (std::vector<Time>{1ms, 17ms, 22ms}));
  EXPECT_EQ(TimesTo(S, ZEM4_OP_OACK, ClientAt(4), 0ms), (std::vector<Time>{2ms, 17ms}));
  size_t Repeat = 0, FirstData = 0;
  for (size_t I = 0; I < S.Log.size(); ++I) {
    const auto &L = S.Log[I];
    if (L.At == 22ms && L.D.To == ClientAt(3)) {
      EXPECT_EQ(L.D.Data, Oack(false));
      Repeat = I;
    }
    if (FirstData == 0 && L.At >= 17ms && Opcode(L.D.Data) == ZEM4_OP_DATA8) {
      FirstData = I;
    }
  }
  EXPECT_LT(Repeat, FirstData);
  // Once per pass: more ACK8s send no more OACKs.
  S.At(24ms, ClientAt(4), S.GroupPort(), BuildAck8(33));
  EXPECT_EQ(TimesTo(S, ZEM4_OP_OACK, ClientAt(3), 0ms).size(), 3u);
}

} // namespace
} // namespace zem4::server::testing
