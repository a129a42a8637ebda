// Datagrams whose source cannot be a client: multicast, broadcast, "this
// network", reserved, or the server's own group network. A forged request
// "from" a running group once made the server pump another file into it.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t Listen = 5568;
constexpr Endpoint Group1{Ipv4(239, 255, 0, 1), 5570};

TEST(SourceCheckTest, RequestsFromAddressesNoClientHasAreDropped) {
  MemoryFileSource Files;
  RecordingIo Io;
  Files.Add("a", Pattern(3000));
  EngineConfig Cfg;
  Cfg.McastNetwork = *Cidr::Parse("232.1.0.0/16"); // source-specific range: a unicast check alone
  Engine E(Cfg, Files, Io);
  const Bytes Rrq = Cat({B({0, 1}), Str("a"), Str("tsize"), Str("0")});
  const std::vector<Endpoint> Forged{{Ipv4(0, 0, 0, 0), 1000},         {Ipv4(0, 1, 2, 3), 1000},
                                     {Ipv4(255, 255, 255, 255), 1000}, {Ipv4(224, 0, 0, 1), 1000},
                                     {Ipv4(239, 255, 0, 1), 5570},     {Ipv4(232, 1, 0, 1), 5570},
                                     {Ipv4(240, 0, 0, 1), 1000},       {Ipv4(127, 0, 0, 2), 0}};
  for (const auto &F : Forged) {
    E.OnDatagram(F, Listen, Rrq, 0ms);
    EXPECT_TRUE(Io.Take().empty()) << F.ToString();
  }
  EXPECT_EQ(E.ActiveTransfers(), 0u);
  EXPECT_EQ(E.Stats().BadSource, Forged.size());
  EXPECT_EQ(E.Stats().Requests, 0u);
  // A real host is still served.
  E.OnDatagram({Ipv4(10, 1, 2, 3), 1000}, Listen, Rrq, 0ms);
  EXPECT_EQ(Io.Take().size(), 1u);
}

TEST(SourceCheckTest, ForgedRequestFromTheGroupPumpsNothingIntoIt) {
  MemoryFileSource Files;
  Files.Add("f", Pattern(100 * 1032, 3));
  Files.Add("other", Pattern(50 * 1032, 4));
  VirtualNet Net({}, Files);
  auto &A = Net.Add({Ipv4(127, 0, 0, 2), 1000}, ClientModel("f", true));
  auto &P = Net.Add({Ipv4(127, 0, 0, 3), 1000}, ClientModel("f", true));
  bool Forged = false;
  Net.Watch = [&](const SentDatagram &S) {
    if (Opcode(S.Data) == ZEM4_OP_DATA8 && !Forged) {
      Forged = true;
      Net.StartClient(P);
      // The group's own address asks for another file, and lists it all.
      Net.Inject(Net.Now, Group1, 0, Cat({B({0, 1}), Str("other")}));
      Net.Inject(Net.Now + 1us, Group1, 40001, ListAll());
      Net.Inject(Net.Now + 1us, Group1, 40000, BuildAck8(2));
    }
  };
  Net.StartClient(A);
  Net.Run([&] { return A.Model.Finished() && P.Model.Finished(); });
  ASSERT_TRUE(A.Model.Complete());
  ASSERT_TRUE(P.Model.Complete());
  EXPECT_EQ(A.Model.Content(), Pattern(100 * 1032, 3));
  EXPECT_EQ(P.Model.Content(), Pattern(100 * 1032, 3));
  EXPECT_EQ(Net.Server().Stats().BadSource, 3u);
  EXPECT_EQ(Net.Server().Stats().GroupsCreated, 1u);
}

// What a forged request brings back to the address it names: one datagram
// per request, never more, and at most 33 bytes for 4 (the busy error).
TEST(AmplificationTest, OneAnswerPerRequestAndTheFactorStaysAsDocumented) {
  struct Case {
    const char *What;
    Bytes Request;
    size_t AnswerBytes;
  };
  const std::vector<Case> Cases{
      {"digest", Cat({B({0, 1}), Str("a"), Str("sha256"), Str("")}), 2 + 7 + 65},
      {"group", Cat({B({0, 1}), Str("a"), Str("multicast"), Str("")}), 2 + 10 + 19},
      {"size", Cat({B({0, 1}), Str("a"), Str("tsize"), Str("")}), 2 + 6 + 5},
      {"not found", Cat({B({0, 1}), Str("")}), 4 + 15},
      {"refused", Cat({B({0, 1}), Str("..")}), 4 + 17},
      {"busy", Cat({B({0, 1}), Str("a")}), 4 + 29},
  };
  double Worst = 0;
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.What);
    MemoryFileSource Files;
    Files.Add("a", Pattern(5000));
    RecordingIo Io;
    EngineConfig Cfg;
    Cfg.MaxSessions = std::string_view(C.What) == "busy" ? 0 : 64;
    Engine E(Cfg, Files, Io);
    const Endpoint Victim{Ipv4(192, 0, 2, 1), 1000};
    E.OnDatagram(Victim, 5568, C.Request, 0ms);
    // Left alone: nothing more goes to it (a group's FINs go to the group).
    while (auto D = E.NextDeadline()) {
      E.OnTime(*D);
    }
    auto Out = Io.Take();
    std::erase_if(Out, [&](const SentDatagram &S) { return !(S.To == Victim); });
    ASSERT_EQ(Out.size(), 1u);
    EXPECT_EQ(Out[0].Data.size(), C.AnswerBytes);
    Worst = std::max(Worst, double(Out[0].Data.size()) / double(C.Request.size()));
    EXPECT_TRUE(Io.Open.empty());
  }
  EXPECT_DOUBLE_EQ(Worst, 33.0 / 4.0);
}

} // namespace
} // namespace zem4::server::testing
