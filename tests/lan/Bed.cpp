#ifdef ZEM4_LAN_TESTS // the debug build of zem4 and zem4d only (see extra.cmake)
#include "Bed.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zem4::lan {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Process::Process(const std::string &ns, const std::vector<std::string> &argv, fs::path log,
                 const std::vector<std::string> &env)
    : log_(std::move(log)) {
  std::vector<std::string> all = {"env"};
  if (!ns.empty())
    all = {"ip", "netns", "exec", ns, "env"};
  all.insert(all.end(), env.begin(), env.end());
  all.insert(all.end(), argv.begin(), argv.end());
  // Emptied here, before the child runs: a wait for its words must not read
  // those of an earlier process.
  int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    ADD_FAILURE() << "cannot write " << log_;
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    std::vector<char *> args;
    for (auto &a : all)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fd);
}

Process::~Process() {
  if (Running()) {
    ::kill(pid_, SIGKILL);
    Wait(10s);
  }
}

bool Process::Running() {
  return pid_ > 0 && Wait(0ms) == -1;
}

int Process::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0)
    return 127;
  if (status_ != -1)
    return status_;
  auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= until)
      return -1;
    std::this_thread::sleep_for(10ms);
  }
}

void Process::Signal(int sig) {
  if (Running())
    ::kill(pid_, sig);
}

std::string Process::Output() const {
  return ReadFile(log_);
}

bool Process::WaitFor(const std::regex &pattern, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    bool running = Running(); // before the read: its last words count too
    if (std::regex_search(Output(), pattern))
      return true;
    if (!running || std::chrono::steady_clock::now() >= until)
      return false;
    std::this_thread::sleep_for(20ms);
  }
}

bool Process::WaitFor(const std::string &text, std::chrono::milliseconds limit) {
  std::string escaped;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
      escaped += '\\';
    escaped += c;
  }
  return WaitFor(std::regex(escaped), limit);
}

fs::path TestDir() {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path dir =
      fs::temp_directory_path() / ("zem4-lan-" + std::to_string(::getpid()) + "-" + info->name());
  fs::remove_all(dir);
  fs::create_directories(dir / "root");
  return dir;
}

std::string MakeRandomFile(const fs::path &path, uint64_t size, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string data(size, '\0');
  for (auto &c : data)
    c = static_cast<char>(rng() >> 56);
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
  return data;
}

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {

// The bed of the running test, for a signal that ends the binary (Ctrl-C):
// it is taken down before the signal's own end. Only what is safe in a
// handler: fork, exec, wait.
char gDownTag[32];

void DownOnSignal(int sig) {
  if (gDownTag[0] != '\0') {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/bash", "bash", ZEM4_LAN_SCRIPT, "down", gDownTag, static_cast<char *>(nullptr));
      ::_exit(127);
    }
    if (pid > 0)
      ::waitpid(pid, nullptr, 0);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

} // namespace

bool LanBed::Script(const std::vector<std::string> &args, std::string *output) {
  std::string cmd = "bash '" ZEM4_LAN_SCRIPT "'";
  for (auto &a : args)
    cmd += " '" + a + "'";
  cmd += " 2>&1";
  FILE *p = ::popen(cmd.c_str(), "r");
  if (!p)
    return false;
  std::string out;
  char buf[512];
  while (size_t n = std::fread(buf, 1, sizeof buf, p))
    out.append(buf, n);
  int st = ::pclose(p);
  if (output)
    *output = out;
  return st == 0;
}

void LanBed::Build(BedShape shape) {
  dir_ = TestDir();
  tag_ = std::to_string(::getpid());
  std::string reason;
  if (::geteuid() != 0)
    reason = "needs root with CAP_NET_ADMIN to make network namespaces";
  else if (!Script({"up", tag_, std::to_string(shape.clients), std::to_string(shape.uplinkMbit)},
                   &reason))
    reason = "scripts/lan.sh could not build the bed: " + reason;
  else {
    built_ = true;
    std::snprintf(gDownTag, sizeof gDownTag, "%s", tag_.c_str());
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
      ::signal(sig, DownOnSignal);
    return;
  }
  // CI has the rights: a bed that cannot be built there is a failure.
  const char *ci = std::getenv("CI");
  if (ci && std::string(ci) == "true")
    FAIL() << reason;
  GTEST_SKIP() << reason;
}

void LanBed::TearDown() {
  if (!tag_.empty()) {
    gDownTag[0] = '\0';
    Script({"down", tag_});
  }
  if (!dir_.empty()) {
    if (HasFailure())
      std::fprintf(stderr, "lan: logs kept in %s\n", dir_.c_str());
    else
      fs::remove_all(dir_);
  }
}

std::string LanBed::ServerNs() const {
  return "zl" + tag_ + "-s";
}
std::string LanBed::ClientNs(unsigned i) const {
  return "zl" + tag_ + "-c" + std::to_string(i);
}

std::unique_ptr<Process> LanBed::StartServer(const std::vector<std::string> &extra) {
  std::vector<std::string> argv = {ZEM4D,    "--bind",         Server(),
                                   "--root", dir_ / "root",    "--log-level",
                                   "info",   "--idle-timeout", "20"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto p = std::make_unique<Process>(ServerNs(), argv, dir_ / "server.log");
  EXPECT_TRUE(p->WaitFor("zem4d serving", 30s)) << p->Output();
  return p;
}

std::unique_ptr<Process> LanBed::StartGet(unsigned i, const std::vector<std::string> &args) {
  std::vector<std::string> argv = {ZEM4_CLI, "get", "--server",
                                   Server(), "-o",  dir_ / ("c" + std::to_string(i) + ".out")};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Process>(ClientNs(i), argv, dir_ / ("c" + std::to_string(i) + ".log"));
}

std::string LanBed::StopServer(Process &server) {
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(30s), 0) << server.Output();
  return server.Output();
}

void LanBed::Loss(unsigned client, unsigned permille) {
  std::string out;
  ASSERT_TRUE(Script({"loss", tag_, std::to_string(client), std::to_string(permille)}, &out))
      << out;
}

void LanBed::Cut(unsigned client) {
  std::string out;
  ASSERT_TRUE(Script({"cut", tag_, std::to_string(client)}, &out)) << out;
}

std::vector<TransferLine> TransferLines(const std::string &log) {
  std::vector<TransferLine> lines;
  std::istringstream in(log);
  std::string line;
  auto field = [&line](const std::string &key) {
    auto at = line.find(" " + key + "=");
    if (at == std::string::npos)
      return std::string();
    at += key.size() + 2;
    if (line[at] == '"')
      return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find(' ', at) - at);
  };
  while (std::getline(in, line)) {
    if (line.find("] transfer client=") == std::string::npos)
      continue;
    std::string client = field("client");
    lines.push_back({client.substr(0, client.find(':')), field("roles"), field("outcome")});
  }
  return lines;
}

} // namespace zem4::lan
#endif
