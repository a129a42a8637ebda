// zem4d's log targets and formats: the journal only when $JOURNAL_STREAM is
// our stderr, JSON lines with the transfer line's fields.
#include "server/daemon/Logging.h"
#include "tests/server_e2e/DaemonHarness.h"

namespace zem4::server::testing {
namespace {

class DaemonLogging : public DaemonFixture {
protected:
  static std::vector<std::string> Lines(const std::string &Log) {
    std::vector<std::string> Out;
    std::istringstream In(Log);
    for (std::string L; std::getline(In, L);) {
      Out.push_back(L);
    }
    return Out;
  }
};

TEST_F(DaemonLogging, JournalOnlyWhenJournalStreamIsOurStderr) {
  struct Case {
    const char *What;
    std::vector<std::string> Env;
    std::vector<std::string> Extra;
    std::string Serving; // how the start line begins
  };
  const std::string Text = R"(\[\d{4}-\d\d-\d\d [\d:.]+\] \[zem4d\] \[info\] zem4d serving )";
  const Case Cases[] = {
      {"our stderr", {"JOURNAL_STREAM={stderr}"}, {}, "<6>zem4d serving "},
      {"another stream (inherited)", {"JOURNAL_STREAM=1:1"}, {}, Text},
      {"not a stream", {"JOURNAL_STREAM=x"}, {}, Text},
      {"none", {"JOURNAL_STREAM="}, {}, Text},
      {"stderr asked for", {"JOURNAL_STREAM={stderr}"}, {"--log-target", "stderr"}, Text},
      {"journal asked for", {"JOURNAL_STREAM="}, {"--log-target", "journal"}, "<6>zem4d serving "},
      {"json to the journal",
       {"JOURNAL_STREAM={stderr}"},
       {"--log-format", "json"},
       R"(<6>\{"ts":"[^"]+","level":"info","msg":"zem4d serving )"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    auto A = Args();
    A.insert(A.end(), C.Extra.begin(), C.Extra.end());
    DaemonProcess D(A, false, C.Env);
    ASSERT_NE(D.WaitForPort(), 0) << D.Log;
    ASSERT_EQ(D.Terminate(), 0) << D.Log;
    const bool Journal = C.Serving[0] == '<';
    size_t Serving = 0;
    for (const auto &L : Lines(D.Log)) {
      // The journal keeps its own time: a priority and the text alone.
      EXPECT_EQ(std::regex_search(L, std::regex("^<[2-7]>")), Journal) << L;
      EXPECT_EQ(L.find("[zem4d]") == std::string::npos, Journal) << L;
      Serving += std::regex_search(L, std::regex("^" + C.Serving));
    }
    EXPECT_EQ(Serving, 1u) << D.Log;
  }
}

TEST_F(DaemonLogging, JsonLinesCarryEachFieldTyped) {
  const Bytes Data = RandomBytes(30000, 31);
  WriteFile("f.bin", Data);
  WriteFile("q\"b", Data);
  auto A = Args();
  A.insert(A.end(), {"--log-format", "json", "--allow", "127.0.0.1/32"});
  DaemonProcess D(A);
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  auto Q = [](const std::string &S) {
    return std::regex_replace(S, std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)");
  };
  // The groups of the one line of Client, which must match Pattern whole.
  auto LineOf = [&](const std::string &Client, const std::string &Pattern) {
    EXPECT_TRUE(D.WaitForLine("\"client\":\"" + Client + "\"")) << D.Log;
    std::vector<std::string> Groups;
    size_t Matches = 0;
    for (const auto &L : Lines(D.Log)) {
      std::smatch M;
      if (std::regex_match(L, M, std::regex(Pattern))) {
        ++Matches;
        Groups.assign(M.begin(), M.end());
      }
    }
    EXPECT_EQ(Matches, 1u) << Pattern << "\n" << D.Log;
    return Groups;
  };
  const std::string Head = R"(\{"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","level":"info",)";
  // Each name, and how the JSON line has it: the text line's escapes, escaped again.
  using Names = std::pair<std::string, std::string>;
  for (const auto &C : {Names{"f.bin", "f.bin"}, Names{"q\"b", R"(q\\\"b)"}}) {
    SCOPED_TRACE(C.first);
    auto Got = Fetch(D, Listen, C.first);
    ASSERT_TRUE(Got->Model.Complete()) << D.Log;
    const std::string Client = "127.0.0.1:" + std::to_string(LocalPort(Got->Fd));
    // The whole text line as "msg", then each field typed.
    auto M = LineOf(
        Client,
        Head + R"("msg":"transfer client=)" + Q(Client) + R"( file=\\")" + Q(C.second) +
            R"(\\" roles=unicast passes=1 bytes=30000 time=([\d.]+)s rate=(\d+)B/s )"
            R"(retransmissions=(\d+) repair_ranges=(\d+) outcome=\\"complete\\" served=\\")" +
            Q(C.second) + R"(\\"","event":"transfer","client":")" + Q(Client) + R"(","file":")" +
            Q(C.second) +
            R"(","roles":"unicast","passes":1,"bytes":30000,"time_s":([\d.e-]+),)"
            R"("rate_bytes_per_s":\2,"retransmissions":\3,"repair_ranges":\4,)"
            R"("outcome":"complete","served":")" +
            Q(C.second) + R"("\})");
    ASSERT_EQ(M.size(), 6u);
    EXPECT_NEAR(std::stod(M[5]), std::stod(M[1]), 0.0005); // seconds, as a number
  }
  // GetInfo's question, and a client outside --allow.
  RawClient Asking, Outsider(Ipv4(127, 0, 0, 2));
  ASSERT_TRUE(Asking.PrimeDigest(Listen, "f.bin")) << D.Log;
  const std::string Client = "127.0.0.1:" + std::to_string(LocalPort(Asking.Fd));
  LineOf(Client,
         Head + R"("msg":"transfer client=)" + Q(Client) +
             R"( file=\\"f\.bin\\" roles=unicast passes=0 bytes=0 time=[\d.]+s rate=0B/s )"
             R"(retransmissions=0 repair_ranges=0 outcome=\\"query\\" served=\\"f\.bin\\"",)"
             R"("event":"transfer","client":")" +
             Q(Client) +
             R"(","file":"f\.bin","roles":"unicast","passes":0,"bytes":0,"time_s":[\d.e-]+,)"
             R"("rate_bytes_per_s":0,"retransmissions":0,"repair_ranges":0,)"
             R"("outcome":"query","served":"f\.bin"\})");
  Outsider.Send(Listen, BuildRequest("f.bin", {}));
  const std::string Far = "127.0.0.2:" + std::to_string(LocalPort(Outsider.Fd));
  LineOf(Far,
         Head + R"("msg":"refused client=)" + Q(Far) +
             R"( file=\\"f\.bin\\" code=2 error=\\"Access violation\\" reason=\\"not allowed\\"",)"
             R"("event":"refused","client":")" +
             Q(Far) +
             R"(","file":"f\.bin","code":2,"error":"Access violation","reason":"not allowed"\})");
  EXPECT_EQ(Outsider.Received(),
            std::vector<Bytes>{Cat({B({0, 5, 0, 2}), Str("Access violation")})});
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  for (const auto &L : Lines(D.Log)) { // every line with typed fields
    EXPECT_TRUE(std::regex_match(
        L, std::regex(R"(\{"ts":"[^"]+","level":"[a-z]+","msg":".*","event":"[a-z_]+".*\})")))
        << L;
  }
  EXPECT_TRUE(std::regex_search(D.Log, std::regex(R"("event":"serving","root":"[^"]+","address":)"
                                                  R"("127\.0\.0\.1","port":)" +
                                                  std::to_string(Listen) + ",\"multicast\":")));
  EXPECT_TRUE(std::regex_search(
      D.Log, std::regex(R"(,"event":"stopping","requests":\d+,"served":2,"failed":0,"refused":1,)"
                        R"([^\n]*,"queries":1,)")))
      << D.Log;
}

TEST(DaemonJsonLine, FieldsTypedWithTheirUnitAndNothingRaw) {
  LogRecord R{"transfer", "transfer", {}};
  R.Add("client", Word{"1.2.3.4:5"})
      .Add("file", Text{std::string("a \"b\\\n\x01\xff", 8)})
      .Add("bytes", uint64_t{18446744073709551615u})
      .Add("time", Seconds{0.404})
      .Add("rate", Rate{1e6 / 0.404});
  EXPECT_EQ(R.Line(), R"(transfer client=1.2.3.4:5 file="a \"b\\\x0a\x01\xff" )"
                      R"(bytes=18446744073709551615 time=0.404s rate=2475248B/s)");
  EXPECT_EQ(JsonLogLine("T", "info", R.Line(), &R),
            R"({"ts":"T","level":"info","msg":"transfer client=1.2.3.4:5 file=\"a \\\"b\\\\\\x0a)"
            R"(\\x01\\xff\" bytes=18446744073709551615 time=0.404s rate=2475248B/s",)"
            R"("event":"transfer","client":"1.2.3.4:5","file":"a \\\"b\\\\\\x0a\\x01\\xff",)"
            R"("bytes":18446744073709551615,"time_s":0.404,"rate_bytes_per_s":2475248})");
  // A line of no record is its text alone, and no control character goes out raw.
  EXPECT_EQ(JsonLogLine("T", "warning", std::string("a\x01\nb\x7f", 5)),
            R"({"ts":"T","level":"warning","msg":"a\u0001\u000ab\u007f"})");
}

TEST_F(DaemonLogging, SyslogTargetLeavesStderrAlone) {
  // zem4d's own port, found free: the start line goes to syslog, not here.
  const uint16_t Port = FreePort();
  const Bytes Data = RandomBytes(5000, 32);
  WriteFile("f.bin", Data);
  auto A = ArgsOnPort(Port);
  A.insert(A.end(), {"--log-target", "syslog"});
  DaemonProcess D(A);
  auto Got = Fetch(D, Port, "f.bin");
  ASSERT_TRUE(Got->Model.Complete()) << D.Log;
  EXPECT_EQ(Got->Model.Content(), Data);
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  EXPECT_EQ(D.Log, "");
}

} // namespace
} // namespace zem4::server::testing
