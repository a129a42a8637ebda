// zem4d --metrics: the Prometheus text over HTTP on loopback, its counters
// against the totals line, and a responder no client can hold or flood.
#include "server/daemon/Daemon.h"
#include "server/daemon/Metrics.h"
#include "tests/server_e2e/DaemonHarness.h"

namespace zem4::server::testing {
namespace {

struct HttpReply {
  std::string Text; // all the server sent
  bool Closed = false;
};

// Connects to 127.0.0.1:Port; -1 on failure.
int Connect(uint16_t Port) {
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A = net::ToSockaddr({LoopbackAddress, Port});
  if (connect(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A) != 0) {
    close(Fd);
    return -1;
  }
  return Fd;
}

// Reads until the server closes (or resets) the connection, for at most Ms.
HttpReply ReadToClose(int Fd, int Ms = 10000) {
  HttpReply R;
  char Buf[4096];
  for (int Waited = 0; Waited < Ms; Waited += 10) {
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, 10) <= 0) {
      continue;
    }
    ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
    if (N <= 0) {
      R.Closed = true;
      break;
    }
    R.Text.append(Buf, static_cast<size_t>(N));
  }
  close(Fd);
  return R;
}

HttpReply Exchange(uint16_t Port, const std::string &Request) {
  int Fd = Connect(Port);
  EXPECT_GE(Fd, 0);
  send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL);
  return ReadToClose(Fd);
}

std::string Body(const HttpReply &R) {
  auto At = R.Text.find("\r\n\r\n");
  return At == std::string::npos ? "" : R.Text.substr(At + 4);
}

class DaemonMetrics : public DaemonFixture {
protected:
  // Starts zem4d with --metrics on any free port; the port from its log.
  uint16_t Start(std::unique_ptr<DaemonProcess> &D) {
    auto A = Args();
    A.insert(A.end(), {"--metrics", "127.0.0.1:0"});
    D = std::make_unique<DaemonProcess>(A);
    Listen = D->WaitForPort();
    EXPECT_NE(Listen, 0) << D->Log;
    std::smatch M;
    EXPECT_TRUE(
        std::regex_search(D->Log, M, std::regex(R"(metrics on http://127\.0\.0\.1:(\d+)/metrics)")))
        << D->Log;
    return M.empty() ? 0 : static_cast<uint16_t>(std::stoi(M[1]));
  }
  uint16_t Listen = 0;
};

TEST_F(DaemonMetrics, AfterADownloadEveryCounterMatchesTheTotalsLine) {
  const Bytes Data = RandomBytes(30000, 41);
  WriteFile("f.bin", Data);
  std::unique_ptr<DaemonProcess> D;
  const uint16_t Port = Start(D);
  ASSERT_NE(Port, 0);
  auto Got = Fetch(*D, Listen, "f.bin");
  ASSERT_TRUE(Got->Model.Complete()) << D->Log;
  ASSERT_TRUE(D->WaitForLine("outcome=\"complete\"")) << D->Log;

  HttpReply R = Exchange(Port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(R.Closed);
  const std::string B = Body(R);
  EXPECT_EQ(R.Text.substr(0, R.Text.size() - B.size()),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: " +
                std::to_string(B.size()) + "\r\nConnection: close\r\n\r\n");
  EXPECT_NE(B.find("# HELP zem4d_requests_total Requests received on the request port.\n"
                   "# TYPE zem4d_requests_total counter\nzem4d_requests_total 1\n"),
            std::string::npos)
      << B;
  for (const char *Line : {"zem4d_served_total 1\n", "zem4d_failed_total 0\n",
                           "zem4d_refused_total 0\n", "# TYPE zem4d_active_clients gauge\n",
                           "zem4d_active_clients 0\n", "zem4d_active_groups 0\n",
                           "zem4d_unconfirmed_clients 0\n", "# TYPE zem4d_group_members gauge\n"}) {
    EXPECT_NE(B.find(Line), std::string::npos) << Line << B;
  }
  // 30 blocks of 1024 bytes, each sent once more for every retransmission.
  std::smatch M;
  ASSERT_TRUE(std::regex_search(B, M, std::regex("zem4d_retransmissions_total (\\d+)\n")));
  EXPECT_NE(B.find("zem4d_data_datagrams_total " + std::to_string(30 + std::stoul(M[1])) + "\n"),
            std::string::npos)
      << B;

  // Every pair of the totals line is a metric of the same value.
  kill(D->Pid, SIGUSR1);
  ASSERT_TRUE(D->WaitForLine(" no_port=")) << D->Log;
  ASSERT_TRUE(std::regex_search(D->Log, M, std::regex("stats: ([^\n]*)\n")));
  const std::string Totals = M[1];
  size_t Pairs = 0;
  const std::regex Pair("(\\w+)=(\\d+)");
  for (std::sregex_iterator It(Totals.begin(), Totals.end(), Pair), End; It != End; ++It, ++Pairs) {
    const std::string Name = (*It)[1], Value = (*It)[2];
    const bool Gauge = Name.rfind("active_", 0) == 0;
    const std::string Metric = "zem4d_" + Name + (Gauge ? "" : "_total");
    EXPECT_NE(B.find("\n" + Metric + " " + Value + "\n"), std::string::npos) << Metric << "\n" << B;
    EXPECT_NE(B.find("# TYPE " + Metric + (Gauge ? " gauge\n" : " counter\n")), std::string::npos);
  }
  EXPECT_EQ(Pairs, 23u) << Totals;
  EXPECT_EQ(D->Terminate(), 0) << D->Log; // the metrics listener does not keep it alive
}

TEST_F(DaemonMetrics, EachGroupHasAGaugeOfItsMembers) {
  WriteFile("f.bin", RandomBytes(300000, 42));
  std::unique_ptr<DaemonProcess> D;
  const uint16_t Port = Start(D);
  ASSERT_NE(Port, 0);
  // Two members that ask and then say nothing more: their group stays.
  RawClient A, B;
  for (RawClient *C : {&A, &B}) {
    C->Send(Listen, BuildRequest("f.bin", {{"multicast", "1"}}));
    pollfd P{C->Fd, POLLIN, 0};
    ASSERT_EQ(poll(&P, 1, 5000), 1) << D->Log; // the OACK: it is a member now
  }
  const std::string Group = Net.substr(0, Net.size() - 4) + "1:" + std::to_string(McastPort);
  const std::string B1 = Body(Exchange(Port, "GET /metrics HTTP/1.1\r\n\r\n"));
  EXPECT_NE(B1.find("zem4d_active_groups 1\n"), std::string::npos) << B1;
  EXPECT_NE(
      B1.find("# TYPE zem4d_group_members gauge\nzem4d_group_members{group=\"" + Group + "\"} 2\n"),
      std::string::npos)
      << B1;
  EXPECT_EQ(D->Terminate(), 0) << D->Log;
}

TEST_F(DaemonMetrics, OnlyGetMetricsIsAnsweredAndOversizedRequestsAreCut) {
  std::unique_ptr<DaemonProcess> D;
  const uint16_t Port = Start(D);
  ASSERT_NE(Port, 0);
  struct Case {
    const char *What;
    std::string Request;
    std::string Status; // "": closed without an answer
  };
  const Case Cases[] = {
      {"another path", "GET /other HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"a prefix of the path", "GET /metricsx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"another method", "POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"not a request line", "hello\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"a query, HTTP/1.0", "GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"headers beyond 4 KiB", "GET /metrics HTTP/1.1\r\nX: " + std::string(5000, 'a') + "\r\n\r\n",
       ""},
      {"a request that never ends", "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a'), ""},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    HttpReply R = Exchange(Port, C.Request);
    EXPECT_TRUE(R.Closed);
    EXPECT_EQ(R.Text.substr(0, C.Status.size()), C.Status) << R.Text;
    if (C.Status.empty()) {
      EXPECT_EQ(R.Text, "");
    }
  }
  EXPECT_EQ(D->Terminate(), 0) << D->Log;
}

TEST_F(DaemonMetrics, SlowClientsAreBoundedInNumberAndTime) {
  std::unique_ptr<DaemonProcess> D;
  const uint16_t Port = Start(D);
  ASSERT_NE(Port, 0);
  // Sixteen that send half a request line and wait: the most held at once.
  std::vector<int> Slow;
  for (int I = 0; I < 16; ++I) {
    Slow.push_back(Connect(Port));
    ASSERT_GE(Slow.back(), 0);
    send(Slow.back(), "GET /met", 8, MSG_NOSIGNAL);
  }
  // A seventeenth is closed at once, unanswered.
  HttpReply Over = Exchange(Port, "GET /metrics HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(Over.Closed);
  EXPECT_EQ(Over.Text, "");
  // The deadline closes each slow one, and the responder answers again.
  for (int Fd : Slow) {
    HttpReply R = ReadToClose(Fd);
    EXPECT_TRUE(R.Closed);
    EXPECT_EQ(R.Text, "");
  }
  HttpReply After = Exchange(Port, "GET /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(After.Text.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(D->Terminate(), 0) << D->Log;
}

TEST_F(DaemonMetrics, AddressesParseOrAreRefused) {
  struct Case {
    const char *Text;
    std::string Address; // "": refused
    uint16_t Port;
  };
  const Case Cases[] = {
      {"9568", "127.0.0.1", 9568},
      {"0.0.0.0:80", "0.0.0.0", 80},
      {"127.0.0.2:0", "127.0.0.2", 0},
      {"localhost:9568", "", 0},
      {"1.2.3.4:", "", 0},
      {"65536", "", 0},
      {":9568", "", 0},
      {"9568x", "", 0},
      {"1.2.3.4:+5", "", 0},
      {"127.0.0.01:9568", "", 0}, // leading zeros: octal to some readers
      {"09568", "", 0},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Text);
    if (C.Address.empty()) {
      EXPECT_THROW(ParseMetricsAddress(C.Text), ConfigError);
    } else {
      EXPECT_EQ(ParseMetricsAddress(C.Text), (Endpoint{*Ipv4::Parse(C.Address), C.Port}));
    }
  }
}

} // namespace
} // namespace zem4::server::testing
