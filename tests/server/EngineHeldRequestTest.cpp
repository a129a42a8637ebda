// Requests held while their file's digest is computed: answered in arrival
// order when it is ready, one answer per client whatever copies came, a
// bound on how many are kept (the rest counted), and nothing left behind
// by clients that moved on, went away, or a server that stops.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t Listen = 5568;

Endpoint ClientAt(uint8_t Host, uint16_t Port = 1000) {
  return {Ipv4(127, 0, 0, Host), Port};
}

Bytes ShaRrq(std::string_view Name, bool Multicast = false) {
  if (Multicast) {
    return Cat({B({0, 1}), Str(Name), Str("multicast"), Str("1"), Str("sha256"), Str("1")});
  }
  return Cat({B({0, 1}), Str(Name), Str("sha256"), Str("1")});
}

class HeldRequestTest : public ::testing::Test {
protected:
  void SetUp() override {
    Files.Add("f", Pattern(3000, 4));
    Files.Add("g", Pattern(100, 5));
    Files.HoldDigests(true);
  }
  FileId Id() { return Files.Open("f").File->Id(); }
  Bytes Oack() { return Cat({B({0, 6}), Str("sha256"), Str(Sha256Hex(Pattern(3000, 4)))}); }
  MemoryFileSource Files;
  RecordingIo Io;
};

struct Arrival {
  uint8_t Host;
  int AtMs;
};

struct OrderCase {
  const char *Name;
  uint32_t MaxPending;
  std::vector<Arrival> Arrivals;
  std::vector<uint8_t> Answered; // hosts, in the order their OACKs go out
  uint64_t Dropped;
};

TEST_F(HeldRequestTest, AnsweredInArrivalOrderOncePerClientWithinTheBound) {
  const std::vector<OrderCase> Cases{
      {"three in order", 64, {{2, 0}, {3, 1}, {4, 2}}, {2, 3, 4}, 0},
      // A copy keeps its client's place and is answered once.
      {"copies", 64, {{2, 0}, {3, 1}, {2, 3000}, {3, 3001}, {2, 6000}}, {2, 3}, 0},
      // Beyond the bound nothing is kept; a later copy finds no room either.
      {"bound", 2, {{2, 0}, {3, 1}, {4, 2}, {5, 3}, {4, 3000}}, {2, 3}, 3},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Io = RecordingIo{};
    Files.HoldDigests(true);
    Files.Replace("f", Pattern(3000, 4)); // its digest is not known again
    EngineConfig Cfg;
    Cfg.MaxPending = C.MaxPending;
    Engine E(Cfg, Files, Io);
    Time Last{0};
    for (const auto &A : C.Arrivals) {
      Last = std::chrono::milliseconds(A.AtMs);
      E.OnDatagram(ClientAt(A.Host), Listen, ShaRrq("f"), Last);
    }
    EXPECT_TRUE(Io.Take().empty());
    EXPECT_EQ(E.Stats().DigestWaits, C.Answered.size());
    EXPECT_EQ(E.Stats().DigestWaitsDropped, C.Dropped);
    Files.HoldDigests(false);
    E.OnDigestReady(Id(), Last + 1s);
    auto Out = Io.Take();
    ASSERT_EQ(Out.size(), C.Answered.size());
    for (size_t I = 0; I < Out.size(); ++I) {
      EXPECT_EQ(Out[I].To, ClientAt(C.Answered[I]));
      EXPECT_EQ(Out[I].Data, Oack());
    }
    EXPECT_EQ(E.UnconfirmedClients(), C.Answered.size());
  }
}

TEST_F(HeldRequestTest, ReadyButNeverReportedTheNextRequestReleasesThemInOrder) {
  Engine E({}, Files, Io);
  E.OnDatagram(ClientAt(2), Listen, ShaRrq("f"), 0ms);
  E.OnDatagram(ClientAt(3), Listen, ShaRrq("f"), 1ms);
  Files.HoldDigests(false); // a host that never calls OnDigestReady
  // A copy from the second: the first is answered first, the second once.
  E.OnDatagram(ClientAt(3), Listen, ShaRrq("f"), 3001ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 2u);
  EXPECT_EQ(Out[0].To, ClientAt(2));
  EXPECT_EQ(Out[1].To, ClientAt(3));
  EXPECT_EQ(Out[1].Data, Oack());
  EXPECT_EQ(E.UnconfirmedClients(), 2u);
}

TEST_F(HeldRequestTest, ClientsThatMovedOnOrWentAwayAreNotAnsweredLater) {
  Engine E({}, Files, Io);
  E.OnDatagram(ClientAt(2), Listen, ShaRrq("f"), 0ms);
  E.OnDatagram(ClientAt(3), Listen, ShaRrq("f"), 0ms);
  E.OnDatagram(ClientAt(4), Listen, ShaRrq("f"), 0ms);
  // 2 asks for another file from the same port: served, and no longer held.
  E.OnDatagram(ClientAt(2), Listen, Cat({B({0, 1}), Str("g")}), 1s);
  EXPECT_EQ(Io.Take().size(), 1u);
  // 3 keeps asking; 4 said nothing more and is given up after 10 s.
  E.OnDatagram(ClientAt(3), Listen, ShaRrq("f"), 6s);
  EXPECT_EQ(E.NextDeadline(), std::optional<Time>(10s));
  E.OnTime(10s);
  EXPECT_EQ(E.NextDeadline(), std::optional<Time>(11s)); // 2's OACK waits for a list
  Files.HoldDigests(false);
  E.OnDigestReady(Id(), 12s);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].To, ClientAt(3));
  EXPECT_EQ(E.Stats().DigestWaits, 3u);
  EXPECT_EQ(Io.Json,
            (std::vector<std::string>{R"("event":"digest_wait_expired","client":"127.0.0.4:1000")",
                                      R"("event":"digest_ready","device":0,"inode":)" +
                                          std::to_string(Id().Inode)}));
}

TEST_F(HeldRequestTest, StoppingTellsHeldClientsOnceFromTheRequestPort) {
  Engine E({}, Files, Io);
  E.OnDatagram(ClientAt(2), Listen, ShaRrq("f"), 0ms);
  E.OnDatagram(ClientAt(2), Listen, ShaRrq("f"), 3s);
  E.Shutdown(4s);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].From, Listen);
  EXPECT_EQ(Out[0].To, ClientAt(2));
  EXPECT_EQ(Out[0].Data, Cat({B({0, 5, 0, 9}), Str("server shutting down")}));
  EXPECT_FALSE(E.NextDeadline());
}

// Three members of a storm on a fresh server ask while the file is hashed:
// when it is ready they form one group, the first active, the others
// passive, and the first pass carries the whole file to all of them.
TEST_F(HeldRequestTest, AStormHeldForTheDigestBecomesOneGroup) {
  EngineConfig Cfg;
  VirtualNet Net(Cfg, Files);
  std::vector<VirtualNet::Client *> C;
  for (uint8_t I = 0; I < 3; ++I) {
    C.push_back(&Net.Add(ClientAt(2 + I), ClientModel("f", true, true)));
    Net.StartClient(*C.back());
  }
  Net.Run([&] { return Net.Server().Stats().DigestWaits == 3; });
  ASSERT_EQ(Net.Server().Stats().DigestWaits, 3u);
  Files.HoldDigests(false);
  Net.Server().OnDigestReady(Id(), Net.Now);
  Net.AdvanceTo(Net.Now); // hands the answers to the clients
  Net.Run([&] { return Net.Server().ActiveTransfers() == 0; });
  for (auto *M : C) {
    ASSERT_TRUE(M->Model.Complete());
    EXPECT_EQ(M->Model.Content(), Pattern(3000, 4));
    EXPECT_EQ(M->Model.Sha(), Sha256Hex(Pattern(3000, 4)));
    EXPECT_EQ(M->Model.Passes(), 1u);
  }
  EXPECT_EQ(Net.Server().Stats().GroupsCreated, 1u);
  EXPECT_EQ(Net.Server().Stats().Passes, 1u);
  EXPECT_LT(Net.Now, 1s); // nobody waited for its 3 s request timer
}

} // namespace
} // namespace zem4::server::testing
