// zem4d as a process on loopback, downloaded from by clients of our own: one
// by unicast, then four in one multicast group (pinned to 127.0.0.1), every
// file checked with SHA-256. Waiting is bounded by loop counts, never timed.
#include "tests/server_e2e/DaemonHarness.h"

namespace zem4::server::testing {
namespace {

class DaemonLoopback : public DaemonFixture {};

TEST_F(DaemonLoopback, UnicastThenFourClientsInOneMulticastGroup) {
  const Bytes Uni = RandomBytes(300000, 1);
  const Bytes Multi = RandomBytes(1500 * 1032 + 77, 2);
  WriteFile("uni.bin", Uni);
  WriteFile("multi.bin", Multi);
  DaemonProcess D(Args());
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;

  // One file by unicast.
  {
    std::vector<std::unique_ptr<SocketClient>> C;
    C.push_back(std::make_unique<SocketClient>("uni.bin", false));
    C[0]->Started = true;
    C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
    RunClients(C, Listen, D);
    ASSERT_TRUE(C[0]->Model.Complete()) << D.Log;
    EXPECT_EQ(C[0]->Model.RoleHistory(),
              std::vector<ClientModel::Role>{ClientModel::Role::Unicast});
    EXPECT_EQ(Sha256Hex(C[0]->Model.Content()), Sha256Hex(Uni));
    EXPECT_EQ(C[0]->Model.Sha(), Sha256Hex(Uni)); // the digest the server announced
  }

  // Four clients of one file: three at once, a fourth well into the stream.
  // The digest is known before, so no client waits for it and all join.
  ASSERT_TRUE(RawClient().PrimeDigest(Listen, "multi.bin")) << D.Log;
  std::vector<std::unique_ptr<SocketClient>> C;
  for (int I = 0; I < 4; ++I) {
    C.push_back(std::make_unique<SocketClient>("multi.bin", true));
  }
  for (int I = 0; I < 3; ++I) {
    C[I]->Started = true;
    C[I]->Send(Listen, C[I]->Model.Start(SocketClient::Now()));
  }
  RunClients(C, Listen, D, [&] {
    if (!C[3]->Started && C[0]->Model.BlocksHeld() >= 300) {
      C[3]->Started = true;
      C[3]->Send(Listen, C[3]->Model.Start(SocketClient::Now()));
    }
  });
  int FirstActive = 0;
  for (int I = 0; I < 4; ++I) {
    SCOPED_TRACE(::testing::Message() << "client " << I);
    ASSERT_TRUE(C[I]->Model.Complete()) << D.Log;
    EXPECT_EQ(Sha256Hex(C[I]->Model.Content()), Sha256Hex(Multi));
    EXPECT_EQ(C[I]->Model.Sha(), Sha256Hex(Multi));
    ASSERT_TRUE(C[I]->Model.Group());
    EXPECT_EQ(*C[I]->Model.Group(), *C[0]->Model.Group()); // one group for them all
    FirstActive += C[I]->Model.RoleHistory().front() == ClientModel::Role::Active;
  }
  EXPECT_EQ(FirstActive, 1) << D.Log;
  EXPECT_EQ(C[3]->Model.RoleHistory().front(), ClientModel::Role::Passive);
  EXPECT_GE(C[3]->Model.Passes(), 2u); // the late joiner got its start in a repair pass

  // Let the last pass's FIN repeats run out, so every client has its log line.
  for (int I = 0; I < 100; ++I) {
    D.Drain(20);
    if (D.Log.find("multi.bin") != std::string::npos &&
        std::regex_search(D.Log, std::regex("(file=\"multi\\.bin\"[^\\n]*\\n[^\\n]*){4}"))) {
      break;
    }
  }
  ASSERT_EQ(D.Terminate(), 0) << D.Log;
  EXPECT_TRUE(std::regex_search(
      D.Log, std::regex("transfer client=127\\.0\\.0\\.1:\\d+ file=\"uni\\.bin\" "
                        "roles=unicast passes=1 bytes=300000 time=[0-9.]+s rate=\\d+B/s "
                        "retransmissions=\\d+ repair_ranges=0 outcome=\"complete\"")))
      << D.Log;
  std::regex MultiLine(
      "file=\"multi\\.bin\" roles=[a-z+]+ passes=\\d+ [^\\n]* outcome=\"complete\"");
  auto Lines = std::distance(std::sregex_iterator(D.Log.begin(), D.Log.end(), MultiLine),
                             std::sregex_iterator());
  EXPECT_EQ(Lines, 4) << D.Log;
  EXPECT_TRUE(std::regex_search(
      D.Log, std::regex("zem4d stopping: requests=\\d+ served=5 failed=0 refused=0 "
                        "malformed=0 groups=1 .* queries=1 ")))
      << D.Log;
}

TEST_F(DaemonLoopback, RefusesWhatIsNotUnderTheRootReportsOnSigusr1StopsOnSigterm) {
  WriteFile("ok", RandomBytes(10, 3));
  DaemonProcess D(Args());
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  for (const char *Name : {"../etc/passwd", "/../etc/passwd", "nope"}) {
    std::vector<std::unique_ptr<SocketClient>> C;
    C.push_back(std::make_unique<SocketClient>(Name, false));
    C[0]->Started = true;
    C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
    RunClients(C, Listen, D);
    EXPECT_EQ(C[0]->Model.Error(), std::string(Name) == "nope" ? 1 : 2) << Name;
  }
  // SIGUSR1 asks for the totals without stopping anything.
  kill(D.Pid, SIGUSR1);
  for (int I = 0; I < 500 && D.Log.find("stats: ") == std::string::npos; ++I) {
    D.Drain(20);
  }
  EXPECT_NE(D.Log.find("stats: requests=3 served=0 failed=0 refused=3"), std::string::npos)
      << D.Log;
  ASSERT_EQ(D.Terminate(), 0);
  EXPECT_NE(D.Log.find("zem4d stopping: requests=3 served=0 failed=0 refused=3"), std::string::npos)
      << D.Log;
}

} // namespace
} // namespace zem4::server::testing
