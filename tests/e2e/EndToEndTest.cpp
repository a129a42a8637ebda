// zem4 get against zem4d, both as processes over loopback: whole files
// compared byte for byte, a multicast group with a late joiner, every
// failure class with its exit code and message, and nothing left behind.
// Waits are for events (a line of output, a process ending), never timed
// assertions; a generous kill timer only keeps a broken build from hanging.
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;

class EndToEnd : public TempDirTest {
protected:
  void TearDown() override {
    server_.reset();
    TempDirTest::TearDown();
  }

  void StartServer(std::vector<std::string> extra = {}) {
    server_ = std::make_unique<Daemon>(Root(), dir_, std::move(extra));
    server_addr_ = server_->Address();
    ASSERT_FALSE(server_addr_.empty());
  }

  std::unique_ptr<Process> Get(const std::string &file, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"get", file, "--server", server_addr_};
    args.insert(args.end(), extra.begin(), extra.end());
    return Zem4(args);
  }

  Result RunGet(const std::string &file, std::vector<std::string> extra = {}) {
    auto p = Get(file, std::move(extra));
    int code = p->Wait();
    return {code, p->Output()};
  }

  std::unique_ptr<Daemon> server_;
  std::string server_addr_;
};

TEST_F(EndToEnd, UnicastFilesOfEverySizeArriveWholeAndVerified) {
  const std::vector<std::pair<std::string, size_t>> files = {
      {"empty.bin", 0}, {"one-block.bin", 1032}, {"big.bin", 10 << 20}};
  for (auto &[name, size] : files)
    WriteFile(Root() / name, RandomBytes(size, uint32_t(size)));
  StartServer();
  for (auto &[name, size] : files) {
    SCOPED_TRACE(name);
    Result r = RunGet(name, {"--station", "127.0.0.2"});
    ASSERT_EQ(r.code, kOk) << r.output;
    EXPECT_TRUE(Says(r.output, "SHA-256 verified"));
    EXPECT_EQ(ReadFile(Out() / name), ReadFile(Root() / name));
  }
  // Only the files themselves: no temporaries left over.
  EXPECT_EQ(Listing(Out()), (std::vector<std::string>{"big.bin", "empty.bin", "one-block.bin"}));
}

TEST_F(EndToEnd, StreamModeAndOutputPath) {
  WriteFile(Root() / "s.bin", RandomBytes(3 << 20, 5));
  StartServer();
  Result r = RunGet("s.bin", {"--stream", "--out", "copy.bin", "--station", "127.0.0.3"});
  ASSERT_EQ(r.code, kOk) << r.output;
  EXPECT_EQ(ReadFile(Out() / "copy.bin"), ReadFile(Root() / "s.bin"));
  EXPECT_EQ(Listing(Out()), std::vector<std::string>{"copy.bin"});
}

// Four clients in one group: three from the start, the fourth once the first
// has a third of the file. Every one ends with the exact file.
TEST_F(EndToEnd, MulticastGroupOfFourWithALateJoiner) {
  WriteFile(Root() / "m.bin", RandomBytes(4 << 20, 9));
  StartServer();
  std::vector<std::unique_ptr<Process>> clients;
  for (int i = 0; i < 3; ++i) {
    fs::create_directories(Out() / std::to_string(i));
    clients.push_back(Get("m.bin", {"--multicast", "--station", "127.0.0." + std::to_string(21 + i),
                                    "--out", std::to_string(i) + "/m.bin"}));
  }
  ASSERT_TRUE(clients[0]->WaitFor(std::regex("m\\.bin \\(multicast\\): ([3-9][0-9]|100)%")))
      << clients[0]->Output();
  fs::create_directories(Out() / "3");
  clients.push_back(Get("m.bin", {"--multicast", "--station", "127.0.0.24", "--out", "3/m.bin"}));
  const auto original = ReadFile(Root() / "m.bin");
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_EQ(clients[i]->Wait(), kOk) << clients[i]->Output();
    EXPECT_EQ(ReadFile(Out() / std::to_string(i) / "m.bin"), original);
    EXPECT_EQ(clients[i]->Output().find("falling back to unicast"), std::string::npos)
        << clients[i]->Output();
  }
  // The server served them as a group.
  server_.reset();
}

TEST_F(EndToEnd, RefusalsGiveTheirExitCodesAndMessagesAndLeaveNothing) {
  WriteFile(Root() / "present.bin", RandomBytes(100, 1));
  StartServer();
  Result missing = RunGet("absent.bin");
  EXPECT_EQ(missing.code, kNotFound) << missing.output;
  EXPECT_TRUE(Says(missing.output, "zem4: server error 1: File not found"));

  for (const std::string path : {"../etc/passwd", "/../etc/passwd", "..\\etc\\passwd"}) {
    SCOPED_TRACE(path);
    Result refused = RunGet(path);
    EXPECT_EQ(refused.code, kAccess) << refused.output;
    EXPECT_TRUE(Says(refused.output, "zem4: server error 2: Access violation"));
  }
  EXPECT_TRUE(Listing(Out()).empty());
}

// Nothing listens at the server's port: the wait is announced (on a pipe
// too) and ends with the kernel's report, before the 2-s time-out whose
// message would be "no answer".
TEST_F(EndToEnd, NoServerEndsAtOnce) {
  server_addr_ = "127.0.0.1:" + std::to_string(FreePort());
  Result r = RunGet("x.bin", {"--timeout", "2"});
  EXPECT_EQ(r.code, kTimeout) << r.output;
  EXPECT_EQ(r.output, "zem4: waiting for " + server_addr_ + "\u2026\nzem4: nothing listens at " +
                          server_addr_ + "\n");
  Result info = Run({"info", "x.bin", "--server", server_addr_, "--timeout", "2"});
  EXPECT_EQ(info.code, kTimeout) << info.output;
  EXPECT_EQ(info.output, "zem4: nothing listens at " + server_addr_ + "\n");
  EXPECT_TRUE(Listing(Out()).empty());
}

// One session at a time: while a stopped client holds it, another is told
// the server is busy, tries again, and gives up with the busy exit code.
TEST_F(EndToEnd, ServerAtItsSessionLimit) {
  WriteFile(Root() / "hold.bin", RandomBytes(6 << 20, 3));
  StartServer({"--max-sessions", "1", "--max-retries", "200", "--idle-timeout", "120"});
  auto holder = Get("hold.bin", {"--station", "127.0.0.31"});
  ASSERT_TRUE(holder->WaitFor(std::regex("hold\\.bin: [1-9][0-9]%"))) << holder->Output();
  ASSERT_EQ(::kill(holder->Pid(), SIGSTOP), 0);
  Result busy = RunGet("hold.bin", {"--station", "127.0.0.32", "--retries", "2", "--out", "b.bin"});
  EXPECT_EQ(busy.code, kBusy) << busy.output;
  EXPECT_TRUE(Says(busy.output, "server busy, trying again"));
  EXPECT_TRUE(Says(busy.output, "zem4: server error 9: "));
  EXPECT_FALSE(fs::exists(Out() / "b.bin"));
  // A stop signal ends the wait between tries at once.
  auto waiter = Get("hold.bin", {"--station", "127.0.0.33", "--retries", "50", "--out", "w.bin"});
  ASSERT_TRUE(waiter->WaitFor(std::regex("server busy, trying again"))) << waiter->Output();
  ASSERT_EQ(::kill(waiter->Pid(), SIGTERM), 0);
  EXPECT_EQ(waiter->Wait(), kTerminate) << waiter->Output();
  EXPECT_FALSE(fs::exists(Out() / "w.bin"));
  // The holder carries on to the end once it runs again.
  ::kill(holder->Pid(), SIGCONT);
  EXPECT_EQ(holder->Wait(), kOk) << holder->Output();
  EXPECT_EQ(ReadFile(Out() / "hold.bin"), ReadFile(Root() / "hold.bin"));
}

TEST_F(EndToEnd, InfoShowsSizeAndDigest) {
  WriteFile(Root() / "i.bin", RandomBytes(5000, 2));
  StartServer();
  Process info({kCli, "info", "i.bin", "--server", server_addr_}, Out());
  EXPECT_EQ(info.Wait(), kOk) << info.Output();
  EXPECT_TRUE(Says(info.Output(), "size: 5000 bytes"));
  EXPECT_TRUE(std::regex_search(info.Output(), std::regex("sha256: [0-9a-f]{64}")))
      << info.Output();
}

TEST_F(EndToEnd, DemoRunsAndEveryCopyMatches) {
  Process demo({kCli, "demo", "--size", "1M"}, Out());
  EXPECT_EQ(demo.Wait(), kOk) << demo.Output();
  const std::string &out = demo.Output();
  EXPECT_TRUE(Says(out, "every copy matches the file"));
  // A row's gaps are the file's blocks that came late, each once: never more than the file has.
  const std::regex row("[0-9.]+s +[0-9.]+ +([0-9]+)  ");
  int rows = 0;
  for (std::sregex_iterator it(out.begin(), out.end(), row), end; it != end; ++it, ++rows)
    EXPECT_LE(std::stoul((*it)[1]), (1u << 20) / 1032 + 1) << out;
  EXPECT_EQ(rows, 5) << out;
}

TEST_F(EndToEnd, BadArgumentsAreAUsageError) {
  Process p({kCli, "get", "f", "--server", "not-an-address"}, Out());
  EXPECT_EQ(p.Wait(), 2) << p.Output();
  Process help({kCli, "get", "--help"}, Out());
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_TRUE(Says(help.Output(), "Exit codes:"));
  // serve ends as zem4d does, not with the download's codes.
  Process serveHelp({kCli, "serve", "--help"}, Out());
  EXPECT_EQ(serveHelp.Wait(), 0);
  EXPECT_TRUE(Says(serveHelp.Output(), "Exit codes: 0 stopped by SIGINT"));
  EXPECT_EQ(serveHelp.Output().find("SHA-256 mismatch"), std::string::npos) << serveHelp.Output();
}

} // namespace
