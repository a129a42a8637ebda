// zem4d against hostile neighbours on loopback: a second process on its
// port, and clients that stop half way.
#include "tests/server_e2e/DaemonHarness.h"

namespace zem4::server::testing {
namespace {

class DaemonSecurity : public DaemonFixture {};

TEST_F(DaemonSecurity, NoOneElseCanTakeTheRequestPort) {
  const uint16_t Port = FreePort();
  DaemonProcess D(ArgsOnPort(Port));
  ASSERT_EQ(D.WaitForPort(), Port) << D.Log;
  // A local process asking to share the address, as an impostor would.
  for (int Opt : {SO_REUSEADDR, SO_REUSEPORT}) {
    int Fd = socket(AF_INET, SOCK_DGRAM, 0);
    int One = 1;
    setsockopt(Fd, SOL_SOCKET, Opt, &One, sizeof One);
    sockaddr_in A = net::ToSockaddr({LoopbackAddress, Port});
    EXPECT_NE(bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0) << "option " << Opt;
    EXPECT_EQ(errno, EADDRINUSE);
    close(Fd);
  }
  // A second zem4d on the same port fails at start, says why, exits 1.
  DaemonProcess Second(ArgsOnPort(Port));
  EXPECT_EQ(Second.WaitExit(), 1) << Second.Log;
  EXPECT_NE(Second.Log.find("cannot listen on 127.0.0.1:" + std::to_string(Port) +
                            ": Address already in use"),
            std::string::npos)
      << Second.Log;
  ASSERT_EQ(D.Terminate(), 0);
}

TEST_F(DaemonSecurity, DigestOfAHugeFileHoldsUpNothingAndSigtermStillStops) {
  { std::ofstream(Root / "huge"); }
  ASSERT_EQ(truncate((Root / "huge").c_str(), off_t{64} << 30), 0); // sparse
  const Bytes Small = RandomBytes(200000, 7);
  WriteFile("small.bin", Small);
  auto A = Args();
  A.insert(A.end(), {"--digest-max", std::to_string(uint64_t{1} << 40)});
  DaemonProcess D(A);
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  RawClient Asker;
  Asker.Send(Listen, BuildRequest("huge", {{"tsize", "0"}, {"sha256", "1"}}));
  // Another client downloads, digest included, while the huge one is read.
  std::vector<std::unique_ptr<SocketClient>> C;
  C.push_back(std::make_unique<SocketClient>("small.bin", false));
  C[0]->Started = true;
  C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
  RunClients(C, Listen, D);
  ASSERT_TRUE(C[0]->Model.Complete()) << D.Log;
  EXPECT_EQ(C[0]->Model.Sha(), Sha256Hex(Small));
  EXPECT_TRUE(Asker.Received().empty()); // no OACK before its digest
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  EXPECT_TRUE(std::regex_search(D.Log, std::regex("zem4d stopping: .* digest_waits=[1-9]")))
      << D.Log;
}

TEST_F(DaemonSecurity, FilesAboveDigestMaxAreServedWithoutSha256) {
  const Bytes Data = RandomBytes(5000, 8);
  WriteFile("f.bin", Data);
  auto A = Args();
  A.insert(A.end(), {"--digest-max", "4999"});
  DaemonProcess D(A);
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  std::vector<std::unique_ptr<SocketClient>> C;
  C.push_back(std::make_unique<SocketClient>("f.bin", false));
  C[0]->Started = true;
  C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
  RunClients(C, Listen, D);
  ASSERT_TRUE(C[0]->Model.Complete()) << D.Log;
  EXPECT_EQ(C[0]->Model.Content(), Data);
  EXPECT_EQ(C[0]->Model.Sha(), std::nullopt);
  ASSERT_EQ(D.Terminate(), 0);
}

TEST_F(DaemonSecurity, SigtermTellsEveryClientOnceThenExitsWithItsTotals) {
  WriteFile("f.bin", RandomBytes(500000, 9));
  DaemonProcess D(Args());
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  // One client in the middle of its transfer, one that was only answered.
  RawClient Busy, Asked;
  Busy.Send(Listen, BuildRequest("f.bin", {}));
  Asked.Send(Listen, BuildRequest("f.bin", {}));
  sockaddr_in From{};
  socklen_t Len = sizeof From;
  uint8_t Buf[2048];
  pollfd P{Busy.Fd, POLLIN, 0};
  ASSERT_EQ(poll(&P, 1, 5000), 1);
  ASSERT_GE(recvfrom(Busy.Fd, Buf, sizeof Buf, 0, reinterpret_cast<sockaddr *>(&From), &Len), 2);
  const uint16_t Session = net::FromSockaddr(From).port;
  Busy.Send(Session, ListAll());
  P = {Busy.Fd, POLLIN, 0};
  ASSERT_EQ(poll(&P, 1, 5000), 1);
  Busy.Received();
  Asked.Received();
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  const Bytes Bye = Cat({B({0, 5, 0, 9}), Str("server shutting down")});
  for (RawClient *C : {&Busy, &Asked}) {
    auto Got = C->Received();
    EXPECT_EQ(std::count(Got.begin(), Got.end(), Bye), 1) << D.Log;
  }
  EXPECT_NE(D.Log.find("zem4d stopping: requests=2 served=0 failed=1"), std::string::npos) << D.Log;
}

TEST_F(DaemonSecurity, PrivilegesAreDroppedWithUserAndWarnedAboutWithout) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to change user";
  }
  WriteFile("open.bin", RandomBytes(100, 10));
  WriteFile("secret.bin", RandomBytes(100, 11));
  ASSERT_EQ(chmod((Root / "secret.bin").c_str(), 0), 0);
  ASSERT_EQ(chmod(Root.c_str(), 0755), 0);
  {
    DaemonProcess Plain(Args());
    ASSERT_NE(Plain.WaitForPort(), 0) << Plain.Log;
    EXPECT_NE(Plain.Log.find("running as root without --user"), std::string::npos) << Plain.Log;
    ASSERT_EQ(Plain.Terminate(), 0);
  }
  auto A = Args();
  A.insert(A.end(), {"--user", "nobody"});
  DaemonProcess D(A);
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  EXPECT_EQ(D.Log.find("running as root"), std::string::npos) << D.Log;
  std::ifstream Status("/proc/" + std::to_string(D.Pid) + "/status");
  std::string Line, Uid;
  while (std::getline(Status, Line)) {
    if (Line.rfind("Uid:", 0) == 0) {
      Uid = Line;
    }
  }
  EXPECT_EQ(Uid.find("\t0\t"), std::string::npos) << Uid; // no id is root's any more
  for (const char *Name : {"open.bin", "secret.bin"}) {
    std::vector<std::unique_ptr<SocketClient>> C;
    C.push_back(std::make_unique<SocketClient>(Name, false));
    C[0]->Started = true;
    C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
    RunClients(C, Listen, D);
    if (std::string(Name) == "open.bin") {
      EXPECT_TRUE(C[0]->Model.Complete()) << D.Log;
    } else {
      EXPECT_EQ(C[0]->Model.Error(), 2) << D.Log; // mode 000: refused, even though root could
    }
  }
  ASSERT_EQ(D.Terminate(), 0);
}

} // namespace
} // namespace zem4::server::testing
