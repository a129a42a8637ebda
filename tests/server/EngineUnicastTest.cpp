// The engine serving one client by unicast, datagram by datagram.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr Endpoint Client{Ipv4(127, 0, 0, 2), 1234};
constexpr uint16_t Listen = 5568;

class UnicastTest : public ::testing::Test {
protected:
  void SetUp() override {
    Files.Add("a", Pattern(3000));
    Files.Add("big", Pattern(200 * 1032 + 7, 2));
    Files.Add("even", Pattern(2064, 3));
    Files.Add("empty", {});
  }

  std::unique_ptr<Engine> Make(EngineConfig Cfg = {}) {
    return std::make_unique<Engine>(Cfg, Files, Io);
  }

  void Feed(Engine &E, const Bytes &D, uint16_t Port, std::chrono::milliseconds At) {
    E.OnDatagram(Client, Port, D, At);
  }

  static Bytes FullRpl(uint32_t Seq = 1) {
    return B(
        {0, 10, 0, 0, 0, static_cast<int>(Seq), 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
  }

  static Bytes Data8(uint32_t Seq, uint32_t Block, const Bytes &File) {
    Bytes D(10);
    PutData8Header(D, Seq, Block);
    size_t Start = (Block - 1) * 1032;
    size_t End = std::min(File.size(), Start + 1032);
    if (Start < File.size()) {
      D.insert(D.end(), File.begin() + static_cast<long>(Start),
               File.begin() + static_cast<long>(End));
    }
    return D;
  }

  MemoryFileSource Files;
  RecordingIo Io;
};

TEST_F(UnicastTest, WholeTransferByteForByte) {
  auto E = Make();
  // RRQ "a" with tsize 0.
  Feed(*E, Cat({B({0, 1}), Str("a"), Str("tsize"), Str("0")}), Listen, 0ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].From, 40000); // a port of its own
  EXPECT_EQ(Out[0].To, Client);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("tsize"), Str("3000")}));

  // The first repair list asks for everything: three DATA8, the last short.
  Feed(*E, FullRpl(), 40000, 1ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 3u);
  const Bytes File = Pattern(3000);
  for (uint32_t I = 0; I < 3; ++I) {
    EXPECT_EQ(Out[I].From, 40000);
    EXPECT_EQ(Out[I].To, Client);
    EXPECT_EQ(Out[I].Data, Data8(I + 1, I + 1, File)) << "DATA8 " << I + 1;
  }
  EXPECT_EQ(Out[2].Data.size(), 10u + 3000 - 2064);

  // The client acknowledges the pass: FIN, then repeats, then the session ends.
  Feed(*E, B({0, 9, 0, 0, 0, 4, 0, 0, 0, 0x40}), 40000, 2ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, B({0, 14, 0, 0, 0, 1}));
  int Fins = 1;
  for (int Step = 0; Step < 10 && E->NextDeadline(); ++Step) {
    E->OnTime(*E->NextDeadline());
    for (auto &S : Io.Take()) {
      EXPECT_EQ(S.Data, B({0, 14, 0, 0, 0, 1}));
      EXPECT_EQ(S.To, Client);
      ++Fins;
    }
  }
  EXPECT_EQ(Fins, 4);
  EXPECT_FALSE(E->NextDeadline());
  EXPECT_EQ(E->ActiveTransfers(), 0u);
  EXPECT_TRUE(Io.Open.empty());
  ASSERT_EQ(Io.Reports.size(), 1u);
  EXPECT_EQ(Io.Reports[0].Outcome, "complete");
  EXPECT_EQ(Io.Reports[0].Roles, "unicast");
  EXPECT_EQ(Io.Reports[0].Bytes, 3000u);
  EXPECT_EQ(Io.Reports[0].Passes, 1u);
  EXPECT_EQ(E->Stats().SessionsServed, 1u);
  EXPECT_EQ(FormatReport(Io.Reports[0])
                .rfind("client=127.0.0.2:1234 file=\"a\" roles=unicast passes=1 bytes=3000", 0),
            0u);
}

TEST_F(UnicastTest, LastBlockEmptyWhenSizeIsMultipleAndZeroByteFile) {
  auto E = Make();
  Feed(*E, Cat({B({0, 1}), Str("even")}), Listen, 0ms);
  EXPECT_EQ(Io.Take()[0].Data, B({0, 6})); // nothing asked, nothing answered
  Feed(*E, FullRpl(), 40000, 1ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 3u);
  EXPECT_EQ(Out[0].Data.size(), 1042u);
  EXPECT_EQ(Out[1].Data.size(), 1042u);
  EXPECT_EQ(Out[2].Data, B({0, 8, 0, 0, 0, 3, 0, 0, 0, 3}));

  Endpoint Other{Client.address, 999};
  E->OnDatagram(Other, Listen, Cat({B({0, 1}), Str("empty"), Str("TSIZE"), Str("0")}), 2ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("tsize"), Str("0")}));
  E->OnDatagram(Other, Out[0].From, FullRpl(), 3ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, B({0, 8, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST_F(UnicastTest, WindowOf64AndResendOfTheHoleOnRepeatedAck) {
  auto E = Make();
  const Bytes File = Pattern(200 * 1032 + 7, 2);
  Feed(*E, Cat({B({0, 1}), Str("big")}), Listen, 0ms);
  Io.Take();
  Feed(*E, FullRpl(), 40000, 1ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u); // never more than 64 beyond the last ACK8
  EXPECT_EQ(Out.back().Data, Data8(64, 64, File));

  // ACK8 carrying 33: 32 more go out, up to 96.
  Feed(*E, BuildAck8(33), 40000, 2ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 32u);
  EXPECT_EQ(Be32At(Out.front().Data, 2), 65u);
  EXPECT_EQ(Be32At(Out.back().Data, 2), 96u);

  // 40 was lost: the client repeats 40 for every DATA8 behind it. The
  // second repeat sends 40 alone; nothing goes beyond the window's edge.
  Feed(*E, BuildAck8(40), 40000, 3ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 7u); // window slid from 33 to 40: 97..103
  Feed(*E, BuildAck8(40), 40000, 3ms);
  EXPECT_TRUE(Io.Take().empty());
  Feed(*E, BuildAck8(40), 40000, 4ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out.front().Data, Data8(40, 40, File));
  Feed(*E, BuildAck8(40), 40000, 5ms);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E->Stats().Retransmissions, 1u);

  // An acknowledgement that jumps ahead skips what it already has.
  Feed(*E, BuildAck8(104), 40000, 6ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out.front().Data, 2), 104u);
}

TEST_F(UnicastTest, TimeoutGoesBackToAcknowledgedSequence) {
  EngineConfig Cfg;
  Cfg.RetransmitTimeout = 500ms;
  auto E = Make(Cfg);
  Feed(*E, Cat({B({0, 1}), Str("big")}), Listen, 0ms);
  Io.Take();
  Feed(*E, FullRpl(), 40000, 0ms);
  Io.Take();
  Feed(*E, BuildAck8(11), 40000, 10ms);
  Io.Take();
  // A stalled window: its first block alone after about a round trip, twice.
  for (int Probe = 0; Probe < 2; ++Probe) {
    auto T = E->NextDeadline();
    ASSERT_TRUE(T.has_value());
    ASSERT_LT(*T, Time(510ms));
    E->OnTime(*T);
    auto Out = Io.Take();
    ASSERT_EQ(Out.size(), 1u);
    EXPECT_EQ(Be32At(Out.front().Data, 2), 11u);
  }
  ASSERT_EQ(E->NextDeadline(), std::optional<Time>(510ms));
  E->OnTime(509ms);
  EXPECT_TRUE(Io.Take().empty());
  E->OnTime(510ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out.front().Data, 2), 11u);
  // A unicast client is given more time after each time-out.
  EXPECT_EQ(E->NextDeadline(), std::optional<Time>(510ms + 1000ms));
}

TEST_F(UnicastTest, RepairListOfMoreThan129RangesWithRplAck) {
  auto E = Make();
  const Bytes File = Pattern(200 * 1032 + 7, 2);
  Feed(*E, Cat({B({0, 1}), Str("big")}), Listen, 0ms);
  Io.Take();
  // RPL 1: 129 single-block ranges 1, 3, 5, ... 257 (beyond the file's 201 blocks too).
  std::vector<BlockRange> First, Second;
  for (uint32_t I = 0; I < 129; ++I) {
    First.push_back({1 + 2 * I, 1 + 2 * I});
  }
  Bytes Rpl1 = BuildRpl(1, First);
  ASSERT_EQ(Rpl1.size(), 1042u);
  EXPECT_EQ(Bytes(Rpl1.begin() + 10, Rpl1.begin() + 26),
            B({1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0}));
  Feed(*E, Rpl1, 40000, 1ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, B({0, 11, 0, 0, 0, 2}));
  // The same RPL again (the RPLACK was lost): answered again, not counted twice.
  Feed(*E, Rpl1, 40000, 2ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, B({0, 11, 0, 0, 0, 2}));
  // RPL 2 ends the list: blocks 2 and 4, and a range past the end.
  Second = {{2, 2}, {4, 4}, {300, 0xFFFFFFFF}};
  Feed(*E, BuildRpl(2, Second), 40000, 3ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  // Blocks in ascending order: 1,2,3,4,5,7,9,... with Sequence counting from 1.
  std::vector<uint32_t> Expected{1, 2, 3, 4, 5};
  for (uint32_t Bk = 7; Expected.size() < 64; Bk += 2) {
    Expected.push_back(Bk);
  }
  for (uint32_t I = 0; I < 64; ++I) {
    EXPECT_EQ(Out[I].Data, Data8(I + 1, Expected[I], File)) << I;
  }
  // Odd blocks up to 201 (the last, short block) plus 2 and 4: 101 + 2 datagrams.
  Feed(*E, BuildAck8(65), 40000, 4ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 103u - 64u);
  EXPECT_EQ(Out.back().Data, Data8(103, 201, File));
  EXPECT_EQ(Out.back().Data.size(), 17u);
  Feed(*E, BuildAck8(104), 40000, 5ms);
  EXPECT_EQ(Io.Take()[0].Data, B({0, 14, 0, 0, 0, 1}));
}

TEST_F(UnicastTest, ListSequenceZeroOrAheadIsIgnored) {
  auto E = Make();
  Feed(*E, Cat({B({0, 1}), Str("a")}), Listen, 0ms);
  Io.Take();
  // RplSequence 0 before a first list: ignored both when the request is
  // waiting in the table and in a later pass; never an RPLACK 1.
  const Bytes Zero = B({0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
  Feed(*E, Zero, 40000, 1ms);
  Feed(*E, BuildRpl(2, std::vector<BlockRange>{{1, 5}}), 40000, 1ms);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E->Stats().Malformed, 2u);
  Feed(*E, FullRpl(), 40000, 2ms);
  EXPECT_EQ(Io.Take().size(), 3u);
  Feed(*E, BuildAck8(4), 40000, 3ms); // the whole pass: FIN
  Feed(*E, Cat({B({0, 1}), Str("a")}), Listen, 4ms);
  while (E->NextDeadline() && Io.Sent.size() < 2) {
    E->OnTime(*E->NextDeadline());
  }
  ASSERT_EQ(Opcode(Io.Take().back().Data), ZEM4_OP_OACK); // pass 2
  Feed(*E, Zero, 40000, 1s);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E->Stats().Malformed, 3u);
  Feed(*E, BuildRpl(1, std::vector<BlockRange>{{2, 2}}), 40000, 1s);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Be32At(Out[0].Data, 6), 2u);
}

TEST_F(UnicastTest, RepeatedFullListStartsThePassAfterTwoRepeats) {
  // A client that never goes on listing must not be left waiting forever.
  auto E = Make();
  Feed(*E, Cat({B({0, 1}), Str("big")}), Listen, 0ms);
  Io.Take();
  std::vector<BlockRange> Ranges;
  for (uint32_t I = 0; I < 129; ++I) {
    Ranges.push_back({1 + 2 * I, 1 + 2 * I});
  }
  Bytes Rpl1 = BuildRpl(1, Ranges);
  Feed(*E, Rpl1, 40000, 0ms);
  Feed(*E, Rpl1, 40000, 3000ms);
  ASSERT_EQ(Io.Take().size(), 2u); // two RPLACKs
  Feed(*E, Rpl1, 40000, 6000ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Opcode(Out[0].Data), ZEM4_OP_DATA8);
}

TEST_F(UnicastTest, UnconfirmedRequestGetsOneOackPerCopyFromOnePortAndExpires) {
  EngineConfig Cfg;
  Cfg.PendingLife = 7s;
  auto E = Make(Cfg);
  Bytes Rrq = Cat({B({0, 1}), Str("a"), Str("tsize"), Str("0")});
  Feed(*E, Rrq, Listen, 0ms);
  auto First = Io.Take();
  ASSERT_EQ(First.size(), 1u);
  // Nothing more unasked, however long the client stays silent...
  EXPECT_EQ(E->NextDeadline(), std::optional<Time>(7000ms));
  E->OnTime(6999ms);
  EXPECT_TRUE(Io.Take().empty());
  // ...and one OACK for each copy of the request, from the same port.
  Feed(*E, Rrq, Listen, 6999ms);
  auto Second = Io.Take();
  ASSERT_EQ(Second.size(), 1u);
  EXPECT_EQ(Second[0].From, First[0].From);
  EXPECT_EQ(Second[0].Data, First[0].Data);
  EXPECT_EQ(E->ActiveTransfers(), 0u); // a table entry, not a session
  EXPECT_EQ(E->UnconfirmedClients(), 1u);
  E->OnTime(7000ms);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E->UnconfirmedClients(), 0u);
  EXPECT_TRUE(Io.Open.empty());
  EXPECT_TRUE(Io.Reports.empty());
  EXPECT_EQ(E->Stats().PendingExpired, 1u);
  EXPECT_EQ(E->Stats().DatagramsSent, 2u);
  EXPECT_EQ(Io.Json, std::vector<std::string>{
                         R"("event":"unconfirmed_expired","client":"127.0.0.2:1234","file":"a")"});
}

TEST_F(UnicastTest, GetInfosEndBeforeAnyListIsAQueryAnyOtherClientErrorAFailure) {
  struct Case {
    bool Listed;
    uint16_t Code;
    const char *Text, *Outcome;
  };
  for (const Case C :
       {Case{false, 0, "User caceled download", "query"},
        Case{true, 0, "User caceled download", "client error 0: User caceled download"},
        Case{false, 4, "Mal-formed OACK packet", "client error 4: Mal-formed OACK packet"}}) {
    SCOPED_TRACE(C.Outcome);
    const bool Query = std::string(C.Outcome) == "query";
    RecordingIo Local;
    Engine E({}, Files, Local);
    E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("big"), Str("tsize"), Str("0")}), 0ms);
    if (C.Listed) {
      E.OnDatagram(Client, 40000, FullRpl(), 0ms);
    }
    Local.Take();
    E.OnDatagram(Client, 40000, Cat({B({0, 5, 0, static_cast<int>(C.Code)}), Str(C.Text)}), 1ms);
    EXPECT_TRUE(Local.Take().empty());
    EXPECT_EQ(E.ActiveTransfers(), 0u);
    EXPECT_EQ(E.UnconfirmedClients(), 0u);
    EXPECT_TRUE(Local.Open.empty());
    ASSERT_EQ(Local.Reports.size(), 1u);
    EXPECT_EQ(Local.Reports[0].Outcome, C.Outcome);
    EXPECT_FALSE(Local.Reports[0].Success);
    EXPECT_EQ(Local.Reports[0].Query, Query);
    EXPECT_EQ(E.Stats().Queries, Query ? 1u : 0u);
    EXPECT_EQ(E.Stats().SessionsFailed, Query ? 0u : 1u);
  }
}

TEST_F(UnicastTest, ReRequestAfterFinStartsTheNextPassWithoutTheRestOfTheSeries) {
  auto E = Make();
  Bytes Rrq = Cat({B({0, 1}), Str("a")});
  Feed(*E, Rrq, Listen, 0ms);
  Io.Take();
  Feed(*E, FullRpl(), 40000, 0ms);
  Io.Take();
  Feed(*E, BuildAck8(4), 40000, 1ms);
  ASSERT_EQ(Io.Take().size(), 1u); // FIN
  Feed(*E, Rrq, Listen, 2ms);      // the client still lacks something
  EXPECT_TRUE(Io.Take().empty());  // not while the FIN may still be in flight
  // It ignores FINs now: the next pass begins a moment after the FIN, and
  // no more FINs of the old pass go out.
  EXPECT_EQ(E->NextDeadline(), std::optional<Time>(6ms));
  E->OnTime(6ms);
  auto Later = Io.Take();
  ASSERT_EQ(Later.size(), 1u);
  EXPECT_EQ(Later[0].Data, B({0, 6}));
  EXPECT_EQ(Later[0].From, 40000);
  Feed(*E, BuildRpl(1, std::vector<BlockRange>{{2, 2}, {4, 0xFFFFFFFF}}), 40000, 500ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Be32At(Out[0].Data, 2), 1u);
  EXPECT_EQ(Be32At(Out[0].Data, 6), 2u);
  Feed(*E, BuildAck8(2), 40000, 501ms);
  EXPECT_EQ(Io.Take()[0].Data, B({0, 14, 0, 0, 0, 2}));
}

TEST_F(UnicastTest, WholeDownloadsUnderLossInVirtualTime) {
  for (uint32_t Seed = 1; Seed <= 6; ++Seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << Seed);
    EngineConfig Cfg;
    VirtualNet Net(Cfg, Files);
    auto &C = Net.Add(Client, ClientModel("big", false));
    uint32_t X = Seed;
    auto Lose = [&X] {
      X = X * 1103515245u + 12345;
      return (X >> 16) % 100 < 7; // 7 % each way
    };
    Net.DropToClient = [&](const SentDatagram &) { return Lose(); };
    Net.DropToServer = [&](const Endpoint &, const Bytes &) { return Lose(); };
    Net.StartClient(C);
    Net.Run([&] { return C.Model.Finished() && Net.Server().ActiveTransfers() == 0; });
    ASSERT_TRUE(C.Model.Complete());
    EXPECT_EQ(C.Model.Content(), Pattern(200 * 1032 + 7, 2));
    EXPECT_TRUE(Net.Io.Open.empty());
  }
}

} // namespace
} // namespace zem4::server::testing
