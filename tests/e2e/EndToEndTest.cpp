// zem4 get against zem4d, both as processes over loopback: whole files
// compared byte for byte, a multicast group with a late joiner, every
// failure class with its exit code and message, and nothing left behind.
// Waits are for events (a line of output, a process ending), never timed
// assertions; a generous kill timer only keeps a broken build from hanging.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

#if defined(ZEM4_CLI) && defined(ZEM4D)
const char *const kCli = ZEM4_CLI;
const char *const kDaemon = ZEM4D;
#else
const char *const kCli = nullptr;
const char *const kDaemon = nullptr;
#endif

// Exit codes documented in `zem4 --help`.
constexpr int kOk = 0, kNotFound = 3, kAccess = 4, kBusy = 5, kTimeout = 7;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto &b : v)
    b = uint8_t(rng());
  return v;
}

void WriteFile(const fs::path &p, const std::vector<uint8_t> &data) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}

std::vector<uint8_t> ReadFile(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> Listing(const fs::path &dir) {
  std::vector<std::string> names;
  for (auto &e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(0x7F000001);
  ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  ::close(fd);
  return ntohs(sa.sin_port);
}

// A child process with its stderr (and stdout) read through a pipe.
class Process {
public:
  Process(std::vector<std::string> args, const fs::path &cwd, bool mergeStdout = true) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 2);
      ::dup2(mergeStdout ? fds[1] : ::open("/dev/null", O_WRONLY), 1);
      if (::chdir(cwd.c_str()) != 0)
        _exit(126);
      std::vector<char *> argv;
      for (auto &a : args)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      _exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (fd_ >= 0)
      ::close(fd_);
  }

  pid_t Pid() const { return pid_; }
  const std::string &Output() const { return output_; }

  // Reads output until `pattern` shows or the process ends; true if it showed.
  bool WaitFor(const std::regex &pattern, int limitSeconds = 120) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!std::regex_search(output_, pattern)) {
      if (!ReadSome(deadline))
        return std::regex_search(output_, pattern);
    }
    return true;
  }

  // Waits for the exit (killing it after `limitSeconds`); the exit code, or
  // 128 + signal.
  int Wait(int limitSeconds = 180) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (ReadSome(deadline)) {
    }
    int status = 0;
    if (std::chrono::steady_clock::now() >= deadline)
      ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

private:
  // False at end of output or at the deadline.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0)
      return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, int(left.count())) <= 0)
      return false;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    output_.append(buf, size_t(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string output_;
};

class EndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    if (!kCli || !fs::exists(kCli) || !fs::exists(kDaemon))
      GTEST_SKIP() << "zem4 or zem4d not built";
    dir_ = fs::temp_directory_path() /
           ("zem4-e2e-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(Root());
    fs::create_directories(Out());
  }
  void TearDown() override {
    server_.reset();
    if (!HasFailure())
      fs::remove_all(dir_);
  }

  fs::path Root() const { return dir_ / "root"; }
  fs::path Out() const { return dir_ / "out"; }

  // zem4d on a port of its own, with a multicast network and port of its own.
  void StartServer(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {kDaemon,
                                     "--bind",
                                     "127.0.0.1",
                                     "--port",
                                     "0",
                                     "--root",
                                     Root().string(),
                                     "--log-level",
                                     "info",
                                     "--mcast-net",
                                     "239.255." + std::to_string(100 + ::getpid() % 150) + ".0/24",
                                     "--mcast-port",
                                     std::to_string(FreePort())};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<Process>(args, dir_);
    std::regex serving("serving .* on 127\\.0\\.0\\.1:([0-9]+)");
    ASSERT_TRUE(server_->WaitFor(serving, 30)) << server_->Output();
    std::smatch m;
    std::regex_search(server_->Output(), m, serving);
    server_addr_ = "127.0.0.1:" + m[1].str();
  }

  std::unique_ptr<Process> Get(const std::string &file, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {kCli, "get", file, "--server", server_addr_};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Process>(args, Out());
  }

  struct Result {
    int code;
    std::string output;
  };
  Result RunGet(const std::string &file, std::vector<std::string> extra = {}) {
    auto p = Get(file, std::move(extra));
    int code = p->Wait();
    return {code, p->Output()};
  }

  fs::path dir_;
  std::unique_ptr<Process> server_;
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
    EXPECT_NE(r.output.find("SHA-256 verified"), std::string::npos) << r.output;
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
  EXPECT_NE(missing.output.find("zem4: server error 1: File not found"), std::string::npos)
      << missing.output;

  for (const std::string path : {"../etc/passwd", "/etc/passwd"}) {
    SCOPED_TRACE(path);
    Result refused = RunGet(path);
    EXPECT_EQ(refused.code, kAccess) << refused.output;
    EXPECT_NE(refused.output.find("zem4: server error 2: Access violation"), std::string::npos)
        << refused.output;
  }
  EXPECT_TRUE(Listing(Out()).empty());
}

TEST_F(EndToEnd, NoServerIsATimeOut) {
  server_addr_ = "127.0.0.1:" + std::to_string(FreePort());
  Result r = RunGet("x.bin", {"--timeout", "2"});
  EXPECT_EQ(r.code, kTimeout) << r.output;
  EXPECT_NE(r.output.find("zem4: no answer from " + server_addr_), std::string::npos) << r.output;
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
  ::kill(holder->Pid(), SIGCONT);
  EXPECT_EQ(busy.code, kBusy) << busy.output;
  EXPECT_NE(busy.output.find("server busy, trying again"), std::string::npos) << busy.output;
  EXPECT_NE(busy.output.find("zem4: server error 9: "), std::string::npos) << busy.output;
  EXPECT_FALSE(fs::exists(Out() / "b.bin"));
  // The holder carries on to the end once it runs again.
  EXPECT_EQ(holder->Wait(), kOk) << holder->Output();
  EXPECT_EQ(ReadFile(Out() / "hold.bin"), ReadFile(Root() / "hold.bin"));
}

// The server dies mid-transfer: the client gives up after --timeout seconds
// without progress, says so, and leaves no partial file.
TEST_F(EndToEnd, ServerKilledMidTransfer) {
  WriteFile(Root() / "k.bin", RandomBytes(20 << 20, 4));
  StartServer();
  auto client = Get("k.bin", {"--timeout", "5", "--station", "127.0.0.41"});
  ASSERT_TRUE(client->WaitFor(std::regex("k\\.bin: [1-9][0-9]%"))) << client->Output();
  ::kill(server_->Pid(), SIGKILL);
  EXPECT_EQ(client->Wait(), kTimeout) << client->Output();
  EXPECT_NE(client->Output().find("zem4: no progress for 5 s from " + server_addr_ + ": timed out"),
            std::string::npos)
      << client->Output();
  EXPECT_TRUE(Listing(Out()).empty()) << "left behind: " << Listing(Out()).size();
}

// Ctrl-C ends a flowing download at once: exit 130, nothing left behind.
TEST_F(EndToEnd, InterruptStopsCleanly) {
  WriteFile(Root() / "c.bin", RandomBytes(20 << 20, 6));
  StartServer();
  auto client = Get("c.bin", {"--station", "127.0.0.51"});
  ASSERT_TRUE(client->WaitFor(std::regex("c\\.bin: [1-9][0-9]%"))) << client->Output();
  ASSERT_EQ(::kill(client->Pid(), SIGINT), 0);
  EXPECT_EQ(client->Wait(), 130) << client->Output();
  EXPECT_NE(client->Output().find("zem4: interrupted"), std::string::npos) << client->Output();
  EXPECT_TRUE(Listing(Out()).empty());
}

TEST_F(EndToEnd, InfoShowsSizeAndDigest) {
  WriteFile(Root() / "i.bin", RandomBytes(5000, 2));
  StartServer();
  Process info({kCli, "info", "i.bin", "--server", server_addr_}, Out());
  EXPECT_EQ(info.Wait(), kOk) << info.Output();
  EXPECT_NE(info.Output().find("size: 5000 bytes"), std::string::npos) << info.Output();
  EXPECT_TRUE(std::regex_search(info.Output(), std::regex("sha256: [0-9a-f]{64}")))
      << info.Output();
}

TEST_F(EndToEnd, DemoRunsAndEveryCopyMatches) {
  Process demo({kCli, "demo", "--size", "1M"}, Out());
  EXPECT_EQ(demo.Wait(), kOk) << demo.Output();
  EXPECT_NE(demo.Output().find("every copy matches the file"), std::string::npos) << demo.Output();
  EXPECT_EQ(std::count(demo.Output().begin(), demo.Output().end(), '\n') > 5, true);
}

TEST_F(EndToEnd, BadArgumentsAreAUsageError) {
  Process p({kCli, "get", "f", "--server", "not-an-address"}, Out());
  EXPECT_EQ(p.Wait(), 2) << p.Output();
  Process help({kCli, "get", "--help"}, Out());
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Output().find("Exit codes:"), std::string::npos) << help.Output();
}

} // namespace
