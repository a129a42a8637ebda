// Requests the engine refuses, limits it keeps, and input it must survive.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t Listen = 5568;
constexpr Endpoint Client{Ipv4(127, 0, 0, 2), 1234};

class RefusalTest : public ::testing::Test {
protected:
  void SetUp() override {
    Files.Add("a", Pattern(5000));
    Files.AddRefused("dev");
  }
  Bytes Ask(Engine &E, const Bytes &Rrq, Endpoint From = Client) {
    E.OnDatagram(From, Listen, Rrq, 0ms);
    auto Out = Io.Take();
    EXPECT_EQ(Out.size(), 1u);
    if (Out.empty()) {
      return {};
    }
    // Refusals come from the listening port, answers from a port of their own.
    EXPECT_EQ(Out[0].From == Listen, Opcode(Out[0].Data) == ZEM4_OP_ERROR);
    EXPECT_EQ(Out[0].To, From);
    return Out[0].Data;
  }
  MemoryFileSource Files;
  RecordingIo Io;
};

TEST_F(RefusalTest, ErrorCodesAndTextsOnTheWire) {
  Engine E({}, Files, Io);
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("missing")})),
            Cat({B({0, 5, 0, 1}), Str("File not found")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("/../etc/passwd")})),
            Cat({B({0, 5, 0, 2}), Str("Access violation")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("x/../a")})),
            Cat({B({0, 5, 0, 2}), Str("Access violation")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("..")})), Cat({B({0, 5, 0, 2}), Str("Access violation")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("dev")})), Cat({B({0, 5, 0, 2}), Str("Access violation")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("")})), Cat({B({0, 5, 0, 1}), Str("File not found")}));
  // A request that does not parse: name without NUL, a value without NUL.
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a", false)})),
            Cat({B({0, 5, 0, 4}), Str("Illegal operation")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a"), Str("tsize"), Str("0", false)})),
            Cat({B({0, 5, 0, 4}), Str("Illegal operation")}));
  EXPECT_EQ(E.ActiveTransfers(), 0u);
  EXPECT_EQ(E.Stats().Refused, 8u);
  EXPECT_TRUE(Io.Open.empty());
}

// A request becomes a session when its client lists (it has the OACK).
void Confirm(Engine &E, RecordingIo &Io, Endpoint From, uint16_t Port) {
  E.OnDatagram(From, Port, ListAll(), 0ms);
  Io.Take();
}

TEST_F(RefusalTest, SessionLimitAnswersCode9) {
  EngineConfig Cfg;
  Cfg.MaxSessions = 2;
  Engine E(Cfg, Files, Io);
  Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 1});
  Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 2});
  Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 4}); // waiting, not yet a session
  Confirm(E, Io, {Client.address, 1}, 40000);
  Confirm(E, Io, {Client.address, 2}, 40001);
  const Bytes Busy = Cat({B({0, 5, 0, 9}), Str("Server busy, try again later")});
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 3}), Busy);
  // The waiting one lists now: refused from its port, and logged alike.
  E.OnDatagram({Client.address, 4}, 40002, ListAll(), 0ms);
  EXPECT_EQ(Io.Take().at(0).Data, Busy);
  EXPECT_EQ(Io.Json.at(1), R"("event":"refused","client":"127.0.0.2:4","file":"a",)"
                           R"("code":9,"error":"Server busy, try again later",)"
                           R"("reason":"session limit")");
  // A late copy of a served client's request is not refused.
  E.OnDatagram({Client.address, 1}, Listen, Cat({B({0, 1}), Str("a")}), 1ms);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E.ActiveClients(), 2u);
}

TEST_F(RefusalTest, UnconfirmedRequestsNeverCrowdOutAConfirmedClient) {
  // Fifty requests a second from four addresses that never list: the table
  // keeps the newest, no session is taken, and a real client is served.
  // (Scaled down: 8 entries, evictable from 100 ms on.)
  EngineConfig Cfg;
  Cfg.MaxPending = 8;
  Cfg.PendingMinAge = 100ms;
  Cfg.MaxSessions = 4;
  Engine E(Cfg, Files, Io);
  Time T{0};
  for (int I = 0; I < 500; ++I, T += 20ms) {
    Endpoint Bad{Ipv4(127, 0, 1, static_cast<uint8_t>(I % 4)), static_cast<uint16_t>(1000 + I)};
    E.OnDatagram(Bad, Listen, Cat({B({0, 1}), Str("a")}), T);
    E.OnTime(T);
    ASSERT_EQ(Opcode(Io.Take().at(0).Data), ZEM4_OP_OACK);
    ASSERT_LE(E.UnconfirmedClients(), 8u);
    ASSERT_LE(Io.Open.size(), 8u); // one port each, no more
  }
  EXPECT_EQ(E.ActiveClients(), 0u);
  EXPECT_EQ(E.Stats().PendingEvicted, 492u);
  EXPECT_EQ(E.Stats().Refused, 0u);
  T += 1s; // the flood's entries are old enough to go
  // A real client in the middle of the flood: asks, lists, is served.
  E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("a")}), T);
  auto Out = Io.Take();
  ASSERT_EQ(Opcode(Out.at(0).Data), ZEM4_OP_OACK);
  const uint16_t Port = Out[0].From;
  for (int I = 0; I < 7; ++I) { // the flood goes on, short of evicting it
    E.OnDatagram({Ipv4(127, 0, 1, 9), static_cast<uint16_t>(5000 + I)}, Listen,
                 Cat({B({0, 1}), Str("a")}), T);
  }
  Io.Take();
  E.OnDatagram(Client, Port, ListAll(), T + 1ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 5u);
  EXPECT_EQ(Out[0].From, Port); // the session took over the port its OACK came from
  EXPECT_EQ(Opcode(Out[0].Data), ZEM4_OP_DATA8);
  EXPECT_EQ(E.ActiveClients(), 1u);
  // More flood evicts unconfirmed entries only.
  for (int I = 0; I < 50; ++I) {
    E.OnDatagram({Ipv4(127, 0, 1, 10), static_cast<uint16_t>(6000 + I)}, Listen,
                 Cat({B({0, 1}), Str("a")}), T + 2s);
  }
  EXPECT_EQ(E.ActiveClients(), 1u);
  // A storm: more requests at once than the table holds. None is evicted
  // before it could list; the newest are told to come back.
  EXPECT_EQ(Opcode(Io.Take().back().Data), ZEM4_OP_ERROR);
  E.OnDatagram(Client, Port, BuildAck8(6), T + 2s);
  EXPECT_EQ(Io.Take().back().Data, B({0, 14, 0, 0, 0, 1}));
}

TEST_F(RefusalTest, PerClientLimitAndNoFreePort) {
  EngineConfig Cfg;
  Cfg.MaxPerClient = 1;
  Engine E(Cfg, Files, Io);
  Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 1});
  Confirm(E, Io, {Client.address, 1}, 40000);
  EXPECT_EQ(Opcode(Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 2})), ZEM4_OP_ERROR);
  EXPECT_EQ(Opcode(Ask(E, Cat({B({0, 1}), Str("a")}), {Ipv4(127, 0, 0, 3), 2})), ZEM4_OP_OACK);
  Io.PortsLeft = 0;
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a")}), {Ipv4(127, 0, 0, 4), 2}),
            Cat({B({0, 5, 0, 9}), Str("Server busy, try again later")}));
}

TEST_F(RefusalTest, AllowList) {
  EngineConfig Cfg;
  Cfg.Allow = {*Cidr::Parse("127.0.0.0/30")};
  Engine E(Cfg, Files, Io);
  EXPECT_EQ(Opcode(Ask(E, Cat({B({0, 1}), Str("a")}), {Ipv4(127, 0, 0, 3), 9})), ZEM4_OP_OACK);
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a")}), {Ipv4(127, 0, 0, 4), 9}),
            Cat({B({0, 5, 0, 2}), Str("Access violation")}));
  ASSERT_EQ(Io.Notes.size(), 1u); // the client is told no more, the log says why
  EXPECT_EQ(Io.Notes[0], "refused client=127.0.0.4:9 file=\"a\" code=2 error=\"Access violation\" "
                         "reason=\"not allowed\"");
}

TEST_F(RefusalTest, MalformedDatagramsAreDroppedWithoutAnswer) {
  Engine E({}, Files, Io);
  // Nothing but requests is answered on the listening port.
  for (const Bytes &D :
       {B({}), B({0}), B({0, 9, 0, 0, 0, 1, 0, 0, 0, 64}), B({0, 3, 0, 1}), B({0xFF, 0xFF})}) {
    E.OnDatagram(Client, Listen, D, 0ms);
  }
  EXPECT_TRUE(Io.Take().empty());
  // A session ignores strangers and garbage from its client.
  Ask(E, Cat({B({0, 1}), Str("a")}));
  uint16_t Port = 40000;
  E.OnDatagram({Client.address, 7}, Port, BuildRpl(1, std::vector<BlockRange>{{1, 5}}), 1ms);
  EXPECT_TRUE(Io.Take().empty());
  for (const Bytes &D :
       {B({0}), B({0, 10, 0, 0, 0, 1, 0, 0, 0}), B({0, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1}),
        B({0, 9, 0, 0, 0, 1}), B({0, 5, 0}), B({0, 14, 0, 0, 0, 0}), B({0, 1, 'a', 0})}) {
    E.OnDatagram(Client, Port, D, 1ms);
  }
  EXPECT_TRUE(Io.Take().empty());
  // An RPL that is too long (130 ranges) is not one.
  Bytes TooLong(10 + 8 * 130, 0);
  TooLong[1] = ZEM4_OP_RPL;
  E.OnDatagram(Client, Port, TooLong, 1ms);
  EXPECT_TRUE(Io.Take().empty());
  // A datagram for a port no one owns.
  E.OnDatagram(Client, 12345, B({0, 9, 0, 0, 0, 1, 0, 0, 0, 64}), 1ms);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E.UnconfirmedClients(), 1u);
  // The session still works.
  E.OnDatagram(Client, Port, ListAll(), 2ms);
  EXPECT_EQ(Io.Take().size(), 5u);
}

TEST_F(RefusalTest, Sha256AnsweredOnlyWhenAskedAndComputedOnce) {
  Engine E({}, Files, Io);
  const std::string Hex = Sha256Hex(Pattern(5000));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a"), Str("sha256"), Str("1"), Str("blksize"), Str("512")}),
                {Client.address, 1}),
            Cat({B({0, 6}), Str("sha256"), Str(Hex)}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a"), Str("SHA256"), Str(""), Str("tsize"), Str("0")}),
                {Client.address, 2}),
            Cat({B({0, 6}), Str("sha256"), Str(Hex), Str("tsize"), Str("5000")}));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a"), Str("tsize"), Str("0")}), {Client.address, 3}),
            Cat({B({0, 6}), Str("tsize"), Str("5000")}));
  EXPECT_EQ(Files.DigestComputations(), 1u);
  // A new version of the file gets a new digest.
  Files.Replace("a", Pattern(5000, 2));
  EXPECT_EQ(Ask(E, Cat({B({0, 1}), Str("a"), Str("sha256"), Str("1")}), {Client.address, 4}),
            Cat({B({0, 6}), Str("sha256"), Str(Sha256Hex(Pattern(5000, 2)))}));
  EXPECT_EQ(Files.DigestComputations(), 2u);
}

TEST_F(RefusalTest, FileShrinkingUnderATransferEndsItWithAnError) {
  Engine E({}, Files, Io);
  Ask(E, Cat({B({0, 1}), Str("a")}));
  Files.Replace("a", Pattern(100));
  E.OnDatagram(Client, 40000, ListAll(), 1ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u); // never a short block that would end the file early
  EXPECT_EQ(Out[0].Data, Cat({B({0, 5, 0, 0}), Str("File changed during transfer")}));
  EXPECT_EQ(E.ActiveTransfers(), 0u);
  EXPECT_EQ(Io.Reports.at(0).Outcome, "file changed");
}

TEST_F(RefusalTest, ShutdownReportsAndClosesEverything) {
  Engine E({}, Files, Io);
  Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 1});
  Ask(E, Cat({B({0, 1}), Str("a"), Str("multicast"), Str("0")}), {Client.address, 2});
  Ask(E, Cat({B({0, 1}), Str("a"), Str("multicast"), Str("1")}), {Client.address, 3});
  Confirm(E, Io, {Client.address, 1}, 40000);
  Ask(E, Cat({B({0, 1}), Str("a")}), {Client.address, 4}); // not confirmed: no report
  EXPECT_EQ(E.ActiveClients(), 1u);
  EXPECT_EQ(E.UnconfirmedClients(), 3u);
  EXPECT_EQ(E.ActiveGroups(), 1u);
  Io.Take();
  E.Shutdown(1ms);
  EXPECT_EQ(E.ActiveTransfers(), 0u);
  EXPECT_EQ(E.UnconfirmedClients(), 0u);
  EXPECT_TRUE(Io.Open.empty());
  // Every client, confirmed or not, gets one ERROR 9 from its own port.
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 4u);
  std::set<uint16_t> Ports;
  for (auto &S : Out) {
    EXPECT_EQ(S.Data, Cat({B({0, 5, 0, 9}), Str("server shutting down")}));
    EXPECT_NE(S.From, Listen);
    Ports.insert(S.To.port);
  }
  EXPECT_EQ(Ports, (std::set<uint16_t>{1, 2, 3, 4}));
  ASSERT_EQ(Io.Reports.size(), 3u);
  for (auto &R : Io.Reports) {
    EXPECT_EQ(R.Outcome, "stopped");
  }
}

} // namespace
} // namespace zem4::server::testing

namespace zem4::server::testing {
namespace {

TEST_F(RefusalTest, RefusalsNameWhatWasAskedEscapedAndAreRateLimited) {
  Engine E({}, Files, Io);
  // A name that would forge a log line and colour the terminal.
  E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("x\n[zem4d] [info] fake\x1b[31m\"")}), 0ms);
  ASSERT_EQ(Io.Notes.size(), 1u);
  EXPECT_EQ(Io.Notes[0],
            "refused client=127.0.0.2:1234 file=\"x\\x0a[zem4d] [info] "
            "fake\\x1b[31m\\\"\" code=1 error=\"File not found\" reason=\"not found\"");
  // 20,000 junk requests in one second: a handful of lines, then a count.
  for (int I = 0; I < 20000; ++I) {
    E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("nope")}),
                 std::chrono::microseconds(10 + 49 * I));
  }
  EXPECT_EQ(Io.Notes.size(), 5u);
  EXPECT_EQ(E.Stats().Refused, 20001u);
  EXPECT_EQ(E.Stats().LogSuppressed, 19996u);
  E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("late")}), 2s);
  ASSERT_EQ(Io.Notes.size(), 7u);
  EXPECT_EQ(Io.Notes[5], "19996 similar lines suppressed");
  EXPECT_EQ(Io.Json[5], R"("event":"suppressed","lines":19996)");
  EXPECT_NE(Io.Notes[6].find("file=\"late\""), std::string::npos);
}

// What the peer sent (the name as asked, a client's error text) and the name
// as served are escaped in the transfer line, so no peer can forge a line.
TEST(ReportLine, EscapesWhatThePeerSentAndTheNameServed) {
  struct Case {
    const char *File, *Served, *Outcome;
    const char *Line;
  };
  const Case Cases[] = {
      {"\\EFI\\BOOT\\x\n.efi", "EFI/BOOT/x\n.efi", "complete",
       "client=127.0.0.2:1234 file=\"\\\\EFI\\\\BOOT\\\\x\\x0a.efi\" roles=unicast passes=0 "
       "bytes=0 time=0.000s rate=0B/s retransmissions=0 repair_ranges=0 outcome=\"complete\" "
       "served=\"EFI/BOOT/x\\x0a.efi\""},
      {"a\tb", "a\tb", "client error 0: bye\r\n2026 [info] transfer client=6.6.6.6",
       "client=127.0.0.2:1234 file=\"a\\x09b\" roles=unicast passes=0 bytes=0 time=0.000s "
       "rate=0B/s retransmissions=0 repair_ranges=0 outcome=\"client error 0: bye\\x0d\\x0a2026 "
       "[info] transfer client=6.6.6.6\" served=\"a\\x09b\""},
  };
  for (const Case &C : Cases) {
    TransferReport R;
    R.Client = Client;
    R.File = C.File;
    R.Served = C.Served;
    R.Roles = "unicast";
    R.Outcome = C.Outcome;
    EXPECT_EQ(FormatReport(R), C.Line) << C.File;
  }
}

} // namespace
} // namespace zem4::server::testing

namespace zem4::server::testing {
namespace {

// A file rewritten in place (same size) while it is sent: found at the next
// window or before the transfer would be called complete, never sent as a mix.
TEST_F(RefusalTest, FileRewrittenInPlaceEndsTheTransferWithAnError) {
  struct Case {
    const char *When;
    uint32_t AckBeforeRewrite; // acknowledged when the file changes
    size_t DataAfter;          // DATA8 that still go out after the ACK8
  };
  for (const Case &C : {Case{"mid-file", 33, 0}, Case{"last window", 65, 0}}) {
    SCOPED_TRACE(C.When);
    MemoryFileSource Local;
    RecordingIo LIo;
    Local.Add("f", Pattern(100 * 1032, 1));
    Engine E({}, Local, LIo);
    StartUnicast(E, Client, Listen, "f");
    LIo.Take();
    if (C.AckBeforeRewrite == 65) {
      // Everything has gone out before the rewrite; the pass would end at
      // the last ACK8.
      E.OnDatagram(Client, 40000, BuildAck8(65), 1ms);
      ASSERT_EQ(LIo.Take().size(), 37u);
      Local.Replace("f", Pattern(100 * 1032, 2));
      E.OnDatagram(Client, 40000, BuildAck8(102), 2ms);
    } else {
      Local.Replace("f", Pattern(100 * 1032, 2));
      E.OnDatagram(Client, 40000, BuildAck8(C.AckBeforeRewrite), 1ms);
    }
    auto Out = LIo.Take();
    ASSERT_EQ(Out.size(), C.DataAfter + 1);
    EXPECT_EQ(Out.back().Data, Cat({B({0, 5, 0, 0}), Str("File changed during transfer")}));
    ASSERT_EQ(LIo.Reports.size(), 1u);
    EXPECT_EQ(LIo.Reports[0].Outcome, "file changed");
    EXPECT_TRUE(LIo.Open.empty());
  }
}

} // namespace
} // namespace zem4::server::testing
