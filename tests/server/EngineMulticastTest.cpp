// Multicast groups: one stream for every client of a file, passes, roles.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t Listen = 5568;
constexpr Endpoint Group1{Ipv4(239, 255, 0, 1), 5570};

Endpoint ClientAt(uint8_t Host, uint16_t Port = 1000) {
  return {Ipv4(127, 0, 0, Host), Port};
}

Bytes McastRrq(std::string_view Name) {
  return Cat({B({0, 1}), Str(Name), Str("multicast"), Str("1"), Str("tsize"), Str("0")});
}

// Data at once after the first list: for scripts about other things than
// the join grace (GroupPassTest has that).
EngineConfig NoGrace(EngineConfig Cfg = {}) {
  Cfg.JoinGrace = 0ms;
  return Cfg;
}

class MulticastTest : public ::testing::Test {
protected:
  void SetUp() override { Files.Add("f", Pattern(100 * 1032 + 10, 9)); } // 101 blocks
  MemoryFileSource Files;
  RecordingIo Io;

  // A asks for "f" and lists it all, then P asks too: A active, P waiting.
  void ActiveThenPassive(Engine &E, Endpoint A, Endpoint P) {
    E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
    const uint16_t Port = Io.Take()[0].From;
    E.OnDatagram(A, Port, ListAll(), 0ms);
    E.OnDatagram(P, Listen, McastRrq("f"), 0ms);
    Io.Take();
  }
};

TEST_F(MulticastTest, FirstClientActiveLaterPassiveSequenceEqualsBlockThenNextPass) {
  Engine E(NoGrace(), Files, Io);
  const Endpoint A = ClientAt(2), P = ClientAt(3);
  E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].To, A);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("multicast"), Str("239.255.0.1,5570,1"), Str("tsize"),
                              Str("103210")}));
  const uint16_t Port = Out[0].From;

  E.OnDatagram(A, Port, ListAll(), 1ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  for (auto &S : Out) {
    EXPECT_EQ(S.To, Group1);
    EXPECT_EQ(Be32At(S.Data, 2), Be32At(S.Data, 6)); // Sequence == Block in the first pass
  }
  // A client that asks while the group runs listens.
  E.OnDatagram(P, Listen, McastRrq("f"), 2ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].To, P);
  EXPECT_EQ(Out[0].From, Port);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("multicast"), Str("239.255.0.1,5570,0"), Str("tsize"),
                              Str("103210")}));
  // Its datagrams do not steer anything.
  E.OnDatagram(P, Port, BuildAck8(65), 3ms);
  EXPECT_TRUE(Io.Take().empty());

  E.OnDatagram(A, Port, BuildAck8(65), 4ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 37u);
  EXPECT_EQ(Be32At(Out.back().Data, 6), 101u);
  EXPECT_EQ(Out.back().Data.size(), 20u);
  E.OnDatagram(A, Port, BuildAck8(102), 5ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].To, Group1);
  EXPECT_EQ(Out[0].Data, B({0, 14, 0, 0, 0, 1}));

  // The passive member missed blocks 1..64 and asks again; A is done.
  E.OnDatagram(P, Listen, McastRrq("f"), 6ms);
  EXPECT_TRUE(Io.Take().empty());
  Time T = 6ms;
  std::vector<SentDatagram> Later;
  while (Later.empty() || Opcode(Later.back().Data) == ZEM4_OP_FIN) {
    T = *E.NextDeadline();
    E.OnTime(T);
    for (auto &S : Io.Take()) {
      Later.push_back(S);
    }
  }
  // The next pass begins once P's request has settled, without the rest of
  // the FIN series; A may not have heard a FIN yet, so it is decided on
  // after the next pass.
  ASSERT_EQ(Later.size(), 1u);
  EXPECT_EQ(T, 10ms);
  EXPECT_EQ(Later.back().To, P);
  EXPECT_EQ(Later.back().Data, Cat({B({0, 6}), Str("multicast"), Str("239.255.0.1,5570,1"),
                                    Str("tsize"), Str("103210")}));
  EXPECT_TRUE(Io.Reports.empty());

  // Pass 2 sends what P lists, Sequence from 1 again.
  E.OnDatagram(P, Port, BuildRpl(1, std::vector<BlockRange>{{1, 64}, {102, 0xFFFFFFFF}}), T + 1ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out[0].Data, 2), 1u);
  EXPECT_EQ(Be32At(Out[63].Data, 6), 64u);
  E.OnDatagram(P, Port, BuildAck8(65), T + 2ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, B({0, 14, 0, 0, 0, 2}));
  while (auto D = E.NextDeadline()) {
    E.OnTime(*D);
  }
  ASSERT_EQ(Io.Reports.size(), 2u);
  EXPECT_EQ(Io.Reports[0].Client, A);
  EXPECT_EQ(Io.Reports[0].Roles, "active");
  EXPECT_EQ(Io.Reports[0].Outcome, "complete");
  EXPECT_EQ(Io.Reports[1].Roles, "active+passive");
  EXPECT_EQ(Io.Reports[1].Passes, 2u);
  EXPECT_EQ(Io.Reports[1].RepairRanges, 2u);
  EXPECT_EQ(E.ActiveGroups(), 0u);
  EXPECT_TRUE(Io.Open.empty());
  EXPECT_EQ(E.Stats().GroupsCreated, 1u);
}

// A GetInfo that joined a running group was sent its data unasked: still a question.
TEST_F(MulticastTest, ListenerEndingAsGetInfoDoesIsAQuery) {
  Engine E(NoGrace(), Files, Io);
  ActiveThenPassive(E, ClientAt(2), ClientAt(3));
  E.OnDatagram(ClientAt(2), 40000, BuildAck8(65), 1ms);
  E.OnDatagram(ClientAt(3), 40000, Cat({B({0, 5, 0, 0}), Str("User caceled download")}), 2ms);
  ASSERT_EQ(Io.Reports.size(), 1u);
  EXPECT_EQ(Io.Reports[0].Outcome, "query");
  EXPECT_EQ(Io.Reports[0].Bytes, 36u * 1032 + 10);
  EXPECT_EQ(E.Stats().Queries, 1u);
  EXPECT_EQ(E.Stats().SessionsFailed, 0u);
}

TEST_F(MulticastTest, SilentActiveMemberMovesTheGroupOn) {
  EngineConfig Cfg;
  Cfg.MaxRetries = 3;
  Engine E(NoGrace(Cfg), Files, Io);
  const Endpoint A = ClientAt(2), P = ClientAt(3);
  ActiveThenPassive(E, A, P);
  // A says nothing more: go-backs at each time-out, then FIN to the group.
  int GoBacks = 0;
  Time T{0};
  while (true) {
    T = *E.NextDeadline();
    E.OnTime(T);
    auto Out = Io.Take();
    ASSERT_FALSE(Out.empty());
    if (Opcode(Out[0].Data) == ZEM4_OP_FIN) {
      EXPECT_EQ(Out[0].To, Group1);
      break;
    }
    ++GoBacks;
    EXPECT_EQ(Be32At(Out[0].Data, 2), 1u);
  }
  EXPECT_EQ(GoBacks, 3);
  EXPECT_EQ(T, 2000ms); // four time-outs of 500 ms, no growth for a group
  ASSERT_EQ(Io.Reports.size(), 1u);
  EXPECT_EQ(Io.Reports[0].Client, A);
  EXPECT_EQ(Io.Reports[0].Outcome, "timeout");
  // P asks again and drives the next pass.
  E.OnDatagram(P, Listen, McastRrq("f"), T + 1ms);
  while (true) {
    E.OnTime(*E.NextDeadline());
    auto Out = Io.Take();
    if (!Out.empty() && Opcode(Out.back().Data) == ZEM4_OP_OACK) {
      EXPECT_EQ(Out.back().To, P);
      EXPECT_EQ(Out.back().Data, Cat({B({0, 6}), Str("multicast"), Str("239.255.0.1,5570,1"),
                                      Str("tsize"), Str("103210")}));
      break;
    }
  }
}

TEST_F(MulticastTest, ClientThatKeepsAskingIsServedByUnicast) {
  EngineConfig Cfg;
  Cfg.MaxActivePasses = 1;
  Engine E(NoGrace(Cfg), Files, Io);
  const Endpoint A = ClientAt(2);
  E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
  const uint16_t Port = Io.Take()[0].From;
  E.OnDatagram(A, Port, BuildRpl(1, std::vector<BlockRange>{{1, 2}}), 0ms);
  Io.Take();
  E.OnDatagram(A, Port, BuildAck8(3), 1ms);
  Io.Take();
  E.OnDatagram(A, Listen, McastRrq("f"), 2ms); // asks again after FIN
  std::vector<SentDatagram> Out;
  while (auto D = E.NextDeadline()) {
    E.OnTime(*D);
    for (auto &S : Io.Take()) {
      Out.push_back(S);
    }
    if (!Out.empty() && Opcode(Out.back().Data) == ZEM4_OP_OACK) {
      break;
    }
  }
  ASSERT_FALSE(Out.empty());
  EXPECT_EQ(Out.back().Data,
            Cat({B({0, 6}), Str("tsize"), Str("103210")})); // no "multicast": unicast
  EXPECT_NE(Out.back().From, Port);
  EXPECT_EQ(E.Stats().UnicastFallbacks, 1u);
  EXPECT_EQ(E.ActiveGroups(), 0u);
  EXPECT_EQ(E.ActiveTransfers(), 1u);
}

TEST_F(MulticastTest, DifferentFilesGetDifferentGroups) {
  Files.Add("g", Pattern(10));
  Engine E({}, Files, Io);
  E.OnDatagram(ClientAt(2), Listen, McastRrq("f"), 0ms);
  E.OnDatagram(ClientAt(3), Listen, McastRrq("g"), 0ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 2u);
  EXPECT_EQ(Out[1].Data,
            Cat({B({0, 6}), Str("multicast"), Str("239.255.0.2,5571,1"), Str("tsize"), Str("10")}));
  EXPECT_NE(Out[0].From, Out[1].From);
  EXPECT_EQ(E.ActiveGroups(), 2u);
  EXPECT_EQ(Io.Json, (std::vector<std::string>{
                         R"("event":"group_created","group":"239.255.0.1:5570","file":"f")",
                         R"("event":"group_created","group":"239.255.0.2:5571","file":"g")"}));
}

// Whole downloads in virtual time: the members end with the exact file,
// late joiners included, with and without loss.
void RunGroup(MemoryFileSource &Files, uint32_t Seed, int LossPercent, bool SilentFirst) {
  SCOPED_TRACE(::testing::Message() << "seed " << Seed << " loss " << LossPercent);
  EngineConfig Cfg;
  Cfg.MaxRetries = 4;
  VirtualNet Net(Cfg, Files);
  std::vector<VirtualNet::Client *> C;
  for (uint8_t I = 0; I < 4; ++I) {
    C.push_back(&Net.Add(ClientAt(static_cast<uint8_t>(2 + I)), ClientModel("f", true)));
  }
  if (SilentFirst) {
    C[0]->Model.Deaf = true;
    C[0]->Model.MaxSilences = 3;
  }
  uint32_t X = Seed;
  auto Lose = [&] {
    X = X * 1103515245u + 12345;
    return static_cast<int>((X >> 16) % 100) < LossPercent;
  };
  if (LossPercent > 0) {
    Net.DropToClient = [&](const SentDatagram &) { return Lose(); };
    Net.DropToServer = [&](const Endpoint &, const Bytes &) { return Lose(); };
  }
  // Two clients at once, the others once the stream is well under way.
  uint32_t DataSeen = 0;
  Net.Watch = [&](const SentDatagram &S) {
    if (Opcode(S.Data) == ZEM4_OP_DATA8 && ++DataSeen == 30) {
      Net.StartClient(*C[2]);
    } else if (DataSeen == 70 && !C[3]->Started) {
      Net.StartClient(*C[3]);
    }
  };
  Net.StartClient(*C[0]);
  Net.StartClient(*C[1]);
  Net.Run([&] {
    for (auto *Cl : C) {
      if (!Cl->Started || !Cl->Model.Finished()) {
        return false;
      }
    }
    return Net.Server().ActiveTransfers() == 0;
  });
  for (size_t I = SilentFirst ? 1 : 0; I < C.size(); ++I) {
    SCOPED_TRACE(::testing::Message() << "client " << I);
    ASSERT_TRUE(C[I]->Model.Complete());
    EXPECT_EQ(C[I]->Model.Content(), Pattern(100 * 1032 + 10, 9));
  }
  if (LossPercent == 0) {
    EXPECT_EQ(C[2]->Model.RoleHistory().front(), ClientModel::Role::Passive);
    EXPECT_EQ(C[3]->Model.RoleHistory().front(), ClientModel::Role::Passive);
    EXPECT_GE(C[3]->Model.Passes(), 2u); // a late joiner needs a repair pass
  }
  if (LossPercent == 0) {
    // Under loss a member's request at a FIN can be lost: the group ends
    // without it and it comes back later to a group of its own.
    EXPECT_EQ(Net.Server().Stats().GroupsCreated, 1u);
  }
  EXPECT_TRUE(Net.Io.Open.empty());
}

TEST_F(MulticastTest, FourMembersWithLateJoinersEndWithTheWholeFile) {
  RunGroup(Files, 1, 0, false);
}

TEST_F(MulticastTest, FourMembersUnderLoss) {
  for (uint32_t Seed = 1; Seed <= 4; ++Seed) {
    RunGroup(Files, Seed, 5, false);
  }
}

TEST_F(MulticastTest, ActiveMemberGoesSilentOthersStillFinish) {
  RunGroup(Files, 7, 0, true);
}

} // namespace
} // namespace zem4::server::testing

namespace zem4::server::testing {
namespace {

TEST_F(MulticastTest, RateLimitPacesTheGroupInVirtualTime) {
  EngineConfig Cfg;
  Cfg.McastRateLimit = 1042 * 100; // 100 full DATA8 per second
  Engine E(NoGrace(Cfg), Files, Io);
  const Endpoint A = ClientAt(2);
  E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
  const uint16_t Port = Io.Take()[0].From;
  E.OnDatagram(A, Port, ListAll(), 0ms);
  EXPECT_EQ(Io.Take().size(), 1u); // one now, the next when the budget allows
  ASSERT_EQ(E.NextDeadline(), std::optional<Time>(10ms));
  E.OnTime(10ms);
  EXPECT_EQ(Io.Take().size(), 1u);
  E.OnTime(45ms);
  EXPECT_EQ(Io.Take().size(), 1u); // late ticks do not bunch up a burst
  EXPECT_EQ(E.NextDeadline(), std::optional<Time>(55ms));
}

TEST_F(MulticastTest, ActiveMemberAskingForAnotherFileHandsTheGroupOn) {
  Files.Add("g", Pattern(10));
  Engine E({}, Files, Io);
  const Endpoint A = ClientAt(2), P = ClientAt(3);
  ActiveThenPassive(E, A, P);
  E.OnDatagram(A, Listen, McastRrq("g"), 1ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 2u);
  EXPECT_EQ(Out[0].Data, B({0, 14, 0, 0, 0, 1})); // the pass of "f" ends for P
  EXPECT_EQ(Out[0].To, Group1);
  EXPECT_EQ(Out[1].To, A); // and A is answered for "g" in a group of its own
  EXPECT_EQ(Out[1].Data,
            Cat({B({0, 6}), Str("multicast"), Str("239.255.0.2,5571,1"), Str("tsize"), Str("10")}));
  ASSERT_EQ(Io.Reports.size(), 1u);
  EXPECT_EQ(Io.Reports[0].Outcome, "replaced by a new request");
}

TEST_F(MulticastTest, GroupOfOnlyListenersEndsAtItsIdleTimeout) {
  EngineConfig Cfg;
  Cfg.IdleTimeout = 20s;
  Engine E(Cfg, Files, Io);
  const Endpoint A = ClientAt(2);
  E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
  // A never sends its list; after its OACKs and the retries the group ends.
  while (auto D = E.NextDeadline()) {
    E.OnTime(*D);
  }
  EXPECT_EQ(E.ActiveGroups(), 0u);
  EXPECT_TRUE(Io.Open.empty());
  ASSERT_EQ(Io.Reports.size(), 1u);
  EXPECT_EQ(Io.Reports[0].Outcome, "timeout");
}

} // namespace
} // namespace zem4::server::testing

namespace zem4::server::testing {
namespace {

TEST_F(MulticastTest, ActiveMemberWhoseFirstListsAreLostIsStillServed) {
  Engine E({}, Files, Io);
  const Endpoint A = ClientAt(2);
  E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
  const uint16_t Port = Io.Take()[0].From;
  // Its RPL 1 at 0 s and 3 s are lost; the server sends nothing unasked (a
  // forged request must not bring back more than one OACK) and keeps waiting.
  while (E.NextDeadline() && *E.NextDeadline() < 6000ms) {
    E.OnTime(*E.NextDeadline());
  }
  EXPECT_TRUE(Io.Take().empty());
  E.OnDatagram(A, Port, ListAll(), 6000ms);
  EXPECT_EQ(Io.Take().size(), 64u);
  EXPECT_TRUE(Io.Reports.empty());
}

TEST_F(MulticastTest, GivingUpOnTheOnlyMemberStillTellsTheGroup) {
  EngineConfig Cfg;
  Cfg.ListPatience = 15s;
  Engine E(Cfg, Files, Io);
  const Endpoint A = ClientAt(2);
  E.OnDatagram(A, Listen, McastRrq("f"), 0ms);
  Io.Take();
  std::vector<SentDatagram> Fins;
  while (auto D = E.NextDeadline()) {
    E.OnTime(*D);
    for (auto &S : Io.Take()) {
      if (Opcode(S.Data) == ZEM4_OP_FIN) {
        EXPECT_EQ(S.To, Group1);
        EXPECT_GE(*D, 15000ms);
        Fins.push_back(S);
      }
    }
  }
  EXPECT_EQ(Fins.size(), 4u); // if it still hears the group, it asks again
  EXPECT_EQ(E.ActiveGroups(), 0u);
}

TEST_F(MulticastTest, LateCopyOfTheActiveRequestDoesNotRestartThePass) {
  Engine E(NoGrace(), Files, Io);
  const Endpoint A = ClientAt(2);
  const Bytes Rrq = McastRrq("f");
  E.OnDatagram(A, Listen, Rrq, 0ms);
  const uint16_t Port = Io.Take()[0].From;
  E.OnDatagram(A, Port, ListAll(), 1ms);
  Io.Take();
  E.OnDatagram(A, Listen, Rrq, 2ms); // duplicated on the way, arrives late
  EXPECT_TRUE(Io.Take().empty());
  E.OnDatagram(A, Port, BuildAck8(65), 3ms);
  EXPECT_EQ(Io.Take().size(), 37u); // the pass goes on
  E.OnDatagram(A, Listen, Rrq, 4ms);
  E.OnDatagram(A, Listen, Rrq, 5ms); // several copies close together are still copies
  EXPECT_TRUE(Io.Take().empty());
  // Asking again with nothing else in between is a client that started over.
  E.OnDatagram(A, Listen, Rrq, 3004ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("multicast"), Str("239.255.0.1,5570,1"), Str("tsize"),
                              Str("103210")}));
  E.OnDatagram(A, Port, ListAll(), 3005ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out[0].Data, 2), 1u);
}

} // namespace
} // namespace zem4::server::testing
