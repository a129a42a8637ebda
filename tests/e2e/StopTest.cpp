// A download stopped by SIGINT, SIGTERM or SIGHUP: the command refuses the
// next block, the driver sends its ERROR, zem4d ends the transfer on it (its
// per-transfer line says "client error 3"), nothing is left behind, and the
// next download from the same address is served, with the server allowing
// two transfers per client address (the query before a download and the
// download) and a minute of idle patience.
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;

struct StopCase {
  const char *name;
  int signo;
  int code;
  const char *message;
  bool stream;
};

void PrintTo(const StopCase &c, std::ostream *os) {
  *os << c.name;
}

class StopSignal : public TempDirTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopSignal, TellsTheServerAndLeavesNothing) {
  const StopCase &c = GetParam();
  WriteFile(Root() / "c.bin", RandomBytes(8 << 20, 6));
  WriteFile(Root() / "next.bin", RandomBytes(70000, 7));
  Daemon server(Root(), dir_, {"--max-per-client", "2", "--idle-timeout", "60"});
  std::vector<std::string> args = {"get",       "c.bin",     "--server", server.Address(),
                                   "--station", "127.0.0.51"};
  if (c.stream)
    args.push_back("--stream");
  auto client = Zem4(args);
  ASSERT_TRUE(client->WaitFor(std::regex("c\\.bin: [1-9][0-9]%"))) << client->Output();
  ASSERT_EQ(::kill(client->Pid(), c.signo), 0);
  EXPECT_EQ(client->Wait(), c.code) << client->Output();
  EXPECT_TRUE(Says(client->Output(), std::string("zem4: ") + c.message + "\n"));
  EXPECT_TRUE(Listing(Out()).empty()) << Listing(Out()).front();
  EXPECT_TRUE(server.WaitForTransfer("c.bin", "client error 3: User cancelled download"))
      << server.Proc().Output();
  EXPECT_EQ(server.ActiveClients(), 0) << server.Proc().Output();

  // Two transfers per address: the query that precedes a download may still
  // be ending when the download's request arrives. A transfer still held for
  // the stopped client makes that three, and keeps the address busy past the
  // one try more for the whole minute.
  Result next = Run({"get", "next.bin", "--server", server.Address(), "--station", "127.0.0.51",
                     "--retries", "1"});
  EXPECT_EQ(next.code, kOk) << next.output << server.Proc().Output();
  EXPECT_EQ(ReadFile(Out() / "next.bin"), ReadFile(Root() / "next.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopSignal,
    ::testing::Values(StopCase{"SIGINT", SIGINT, kInterrupt, "interrupted", false},
                      StopCase{"SIGTERM", SIGTERM, kTerminate, "interrupted by SIGTERM", true},
                      StopCase{"SIGHUP", SIGHUP, kHangup, "interrupted by SIGHUP", false}),
    [](const ::testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });

class Stop : public TempDirTest {};

// The server stops answering mid-transfer (SIGSTOP). A client stopped then
// refuses whatever data is still queued, and when none comes ends without
// the server's help: 130. One left alone gives up after --timeout seconds
// without progress and says so (a killed server may refuse its next ACK8 at
// once instead). Neither leaves anything.
TEST_F(Stop, AFrozenServerDoesNotHoldTheCommand) {
  WriteFile(Root() / "f.bin", RandomBytes(20 << 20, 8));
  Daemon server(Root(), dir_);
  auto stopped = Zem4({"get", "f.bin", "--server", server.Address(), "--station", "127.0.0.52",
                       "--timeout", "600", "-o", "s.bin"});
  auto stalled = Zem4({"get", "f.bin", "--server", server.Address(), "--station", "127.0.0.41",
                       "--timeout", "5", "-o", "t.bin"});
  for (Process *client : {stopped.get(), stalled.get()})
    ASSERT_TRUE(client->WaitFor(std::regex("f\\.bin: [1-9][0-9]%"))) << client->Output();
  ASSERT_EQ(::kill(server.Proc().Pid(), SIGSTOP), 0);
  ASSERT_EQ(::kill(stopped->Pid(), SIGINT), 0);
  EXPECT_EQ(stopped->Wait(), kInterrupt) << stopped->Output();
  EXPECT_EQ(stalled->Wait(), kTimeout) << stalled->Output();
  EXPECT_TRUE(Says(stalled->Output(),
                   "zem4: no progress for 5 s from " + server.Address() + ": timed out"));
  ::kill(server.Proc().Pid(), SIGCONT);
  EXPECT_TRUE(Listing(Out()).empty());
}

// Ctrl-C reaches a server that is not ours every time, also when the half
// window whose refusal tells it is done more than half a second after the
// stop (a DATA8 every 10 ms): twenty clients, five at a time, each stopped
// after its third ACK8, end with 130 and their ERROR at the server.
TEST_F(Stop, CtrlCReachesAScriptedServerEveryTime) {
  ScriptedServer server(zem4::test::OackPacket({{"tsize", "3407872"}}),
                        std::chrono::milliseconds(10));
  for (uint8_t batch = 0; batch < 20; batch += 5) {
    std::vector<std::pair<zem4::net::Ipv4, std::unique_ptr<Process>>> clients;
    for (uint8_t i = batch; i < batch + 5; ++i) {
      zem4::net::Ipv4 station(127, 0, 0, uint8_t(60 + i));
      clients.emplace_back(station, Zem4({"get", "f.bin", "--server", server.Address(), "--station",
                                          station.ToString(), "-o", station.ToString()}));
    }
    for (auto &[station, client] : clients) {
      ASSERT_TRUE(server.WaitForAcks(station, 3)) << client->Output();
      ASSERT_EQ(::kill(client->Pid(), SIGINT), 0);
    }
    for (auto &[station, client] : clients) {
      EXPECT_EQ(client->Wait(), kInterrupt) << client->Output();
      EXPECT_EQ(server.ErrorFrom(station), zem4::test::ErrorPacket(3, "User cancelled download"))
          << station.ToString();
    }
  }
  EXPECT_TRUE(Listing(Out()).empty());
}

// The member that drives a multicast group is stopped: it tells the server,
// and the member that only listened ends with the whole file.
TEST_F(Stop, TheDrivingMemberOfAGroupTellsTheServer) {
  WriteFile(Root() / "g.bin", RandomBytes(8 << 20, 10));
  Daemon server(Root(), dir_);
  fs::create_directories(Out() / "1");
  fs::create_directories(Out() / "2");
  auto driver = Zem4({"get", "g.bin", "--server", server.Address(), "--multicast", "--station",
                      "127.0.0.55", "-o", "1/g.bin"});
  ASSERT_TRUE(driver->WaitFor(std::regex("g\\.bin \\(multicast\\): [1-9][0-9]%")))
      << driver->Output();
  auto listener = Zem4({"get", "g.bin", "--server", server.Address(), "--multicast", "--station",
                        "127.0.0.56", "-o", "2/g.bin"});
  ASSERT_TRUE(listener->WaitFor(std::regex("g\\.bin \\(multicast\\): [1-9]")))
      << listener->Output();
  ASSERT_EQ(::kill(driver->Pid(), SIGINT), 0);
  EXPECT_EQ(driver->Wait(), kInterrupt) << driver->Output();
  EXPECT_TRUE(Listing(Out() / "1").empty());
  EXPECT_TRUE(server.Proc().WaitFor(std::regex("client=127\\.0\\.0\\.55:[0-9]+ file=\"g\\.bin\" "
                                               "[^\n]*outcome=\"client error 3: User cancelled")))
      << server.Proc().Output();
  EXPECT_EQ(listener->Wait(), kOk) << listener->Output();
  EXPECT_EQ(ReadFile(Out() / "2" / "g.bin"), ReadFile(Root() / "g.bin"));
}

} // namespace
