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
  static uint16_t LocalPort(int Fd) {
    sockaddr_in A{};
    socklen_t Len = sizeof A;
    getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &Len);
    return net::FromSockaddr(A).port;
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

TEST_F(DaemonLogging, JsonLinesCarryTheTransferLinesFields) {
  const Bytes Data = RandomBytes(30000, 31);
  WriteFile("f.bin", Data);
  WriteFile("q\"b", Data);
  auto A = Args();
  A.insert(A.end(), {"--log-format", "json"});
  DaemonProcess D(A);
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  struct Case {
    std::string Name;
    std::string Quoted; // the name in the JSON line: the text line's escapes, escaped again
  };
  const Case Cases[] = {{"f.bin", "f.bin"}, {"q\"b", R"(q\\\"b)"}};
  auto Q = [](const std::string &S) {
    return std::regex_replace(S, std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)");
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Got = Fetch(D, Listen, C.Name);
    ASSERT_TRUE(Got->Model.Complete()) << D.Log;
    const std::string Client = "127.0.0.1:" + std::to_string(LocalPort(Got->Fd));
    ASSERT_TRUE(D.WaitForLine("\"event\":\"transfer\",\"client\":\"" + Client)) << D.Log;
    // The whole text line as "msg", then each of its pairs as a field.
    const std::string Line =
        R"(\{"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","level":"info",)"
        R"("msg":"transfer client=)" +
        Q(Client) + R"( file=\\")" + Q(C.Quoted) +
        R"(\\" roles=unicast passes=1 bytes=30000 time=[\d.]+s rate=\d+B/s retransmissions=(\d+) )"
        R"(repair_ranges=(\d+) outcome=\\"complete\\" served=\\")" +
        Q(C.Quoted) +
        R"(\\"",)"
        R"("event":"transfer","client":")" +
        Q(Client) + R"(","file":")" + Q(C.Quoted) +
        R"(","roles":"unicast","passes":1,"bytes":30000,"time":"\d+\.\d{3}s",)"
        R"("rate":"\d+B/s","retransmissions":\1,"repair_ranges":\2,"outcome":"complete",)"
        R"("served":")" +
        Q(C.Quoted) + R"("\})";
    size_t Matches = 0;
    for (const auto &L : Lines(D.Log)) {
      Matches += std::regex_match(L, std::regex(Line));
    }
    EXPECT_EQ(Matches, 1u) << Line << "\n" << D.Log;
  }
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  for (const auto &L : Lines(D.Log)) {
    EXPECT_TRUE(std::regex_match(L, std::regex(R"(\{"ts":"[^"]+","level":"[a-z]+","msg":".*\})")))
        << L;
  }
  EXPECT_NE(D.Log.find(",\"event\":\"stopping\",\"requests\":2,\"served\":2,\"failed\":0,"),
            std::string::npos)
      << D.Log;
}

TEST(DaemonJsonLine, PairsBecomeFieldsAndAnythingElseStaysText) {
  struct Case {
    const char *Message;
    std::string Fields; // what follows "msg"
  };
  const Case Cases[] = {
      {"zem4d serving /srv on 127.0.0.1:5568", ""},
      {"stats: requests=3 bytes=0 no_port=12",
       R"(,"event":"stats","requests":3,"bytes":0,"no_port":12)"},
      {R"(transfer client=1.2.3.4:5 file="a b\"c" passes=007 time=0.5s)",
       R"(,"event":"transfer","client":"1.2.3.4:5","file":"a b\\\"c","passes":"007","time":"0.5s")"},
      {R"(transfer file="unterminated)", ""},
      {"transfer Client=1", ""},
      {"transfer a=1 b", ""},
      {"transfer a=1  b=2", ""},
      {"stats:requests=1", ""},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Message);
    std::string Msg;
    for (char Ch : std::string(C.Message)) {
      Msg += Ch == '"' || Ch == '\\' ? std::string("\\") + Ch : std::string(1, Ch);
    }
    EXPECT_EQ(JsonLogLine("T", "info", C.Message),
              R"({"ts":"T","level":"info","msg":")" + Msg + "\"" + C.Fields + "}");
  }
  // Control characters never reach the output raw.
  EXPECT_EQ(JsonLogLine("T", "warning", std::string("a\x01\nb\x7f", 5)),
            R"({"ts":"T","level":"warning","msg":"a\u0001\u000ab\u007f"})");
}

TEST_F(DaemonLogging, SyslogTargetLeavesStderrAlone) {
  // zem4d's own port, found free: the start line goes to syslog, not here.
  int Fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in At = net::ToSockaddr({LoopbackAddress, 0});
  ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr *>(&At), sizeof At), 0);
  const uint16_t Port = LocalPort(Fd);
  close(Fd);
  const Bytes Data = RandomBytes(5000, 32);
  WriteFile("f.bin", Data);
  auto A = Args();
  *(std::find(A.begin(), A.end(), "--port") + 1) = std::to_string(Port);
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
