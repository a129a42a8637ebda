// Shared by the end-to-end suites: the built zem4 and zem4d run as processes
// over loopback, their output read through a pipe or a pseudo-terminal, files
// made and compared in a temporary directory. Waits are for events (a line of
// output, a process ending); a generous kill timer only keeps a broken build
// from hanging.
#pragma once

#include "net/Socket.h"
#include "tests/common/ScriptedServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace zem4::e2e {

namespace fs = std::filesystem;

// Where the servers of these tests listen: nothing leaves this machine.
inline constexpr net::Ipv4 kLoopback(127, 0, 0, 1);

#if defined(ZEM4_CLI) && defined(ZEM4D)
inline const char *const kCli = ZEM4_CLI;
inline const char *const kDaemon = ZEM4D;
#else
inline const char *const kCli = "";
inline const char *const kDaemon = "";
#endif

inline bool ProgramsBuilt() {
  return *kCli != '\0' && fs::exists(kCli) && fs::exists(kDaemon);
}

// Exit codes documented in `zem4 --help`.
enum ExitCode : int {
  kOk = 0,
  kUsage = 2,
  kNotFound = 3,
  kAccess = 4,
  kBusy = 5,
  kServerFault = 6,
  kTimeout = 7,
  kIntegrity = 8,
  kLocalIo = 9,
  kDriver = 10,
  kHangup = 129,
  kInterrupt = 130,
  kTerminate = 143,
};

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto &b : v)
    b = uint8_t(rng());
  return v;
}

inline void WriteFile(const fs::path &p, const std::vector<uint8_t> &data) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}

inline std::vector<uint8_t> ReadFile(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline std::vector<std::string> Listing(const fs::path &dir) {
  std::vector<std::string> names;
  for (auto &e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

inline uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = net::ToSockaddr({kLoopback, 0});
  ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  ::close(fd);
  return net::FromSockaddr(sa).port;
}

// Whether `text` holds `what`; the whole text when it does not.
inline ::testing::AssertionResult Says(const std::string &text, const std::string &what) {
  if (text.find(what) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << what << "\" in:\n" << text;
}

inline size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

struct ProcessOptions {
  // Standard output joins standard error in Output() unless it goes to a
  // file (stdoutPath) or to a descriptor the test made (stdoutFd).
  fs::path stdoutPath{};
  int stdoutFd = -1;
  // Runs on a pseudo-terminal this many columns wide (all three streams).
  unsigned ptyColumns = 0;
  std::vector<std::string> env{}; // NAME=value, added
  std::optional<rlim_t> fileSizeLimit{};
};

// A child process whose output is read as it comes.
class Process {
public:
  Process(std::vector<std::string> args, const fs::path &cwd, ProcessOptions options = {}) {
    int readFd = -1;
    if (options.ptyColumns) {
      int master = -1, slave = -1;
      winsize ws{};
      ws.ws_col = static_cast<unsigned short>(options.ptyColumns);
      ws.ws_row = 24;
      EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, &ws), 0);
      pid_ = ::fork();
      if (pid_ == 0) {
        ::close(master);
        if (::login_tty(slave) != 0)
          _exit(125);
        Exec(args, cwd, options);
      }
      ::close(slave);
      readFd = master;
    } else {
      int fds[2];
      EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
      pid_ = ::fork();
      if (pid_ == 0) {
        ::dup2(fds[1], 2);
        if (!options.stdoutPath.empty()) {
          int out = ::open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          ::dup2(out, 1);
        } else if (options.stdoutFd >= 0) {
          ::dup2(options.stdoutFd, 1);
        } else {
          ::dup2(fds[1], 1);
        }
        Exec(args, cwd, options);
      }
      ::close(fds[1]);
      readFd = fds[0];
    }
    fd_ = readFd;
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (fd_ >= 0)
      ::close(fd_);
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t Pid() const { return pid_; }
  const std::string &Output() const { return output_; }

  // Reads output until `pattern` shows or the process ends; true if it showed.
  bool WaitFor(const std::regex &pattern, int limitSeconds = 120) {
    return WaitUntil([&](const std::string &out) { return std::regex_search(out, pattern); },
                     limitSeconds);
  }
  // Reads output until `done` holds for it or the process ends.
  bool WaitUntil(const std::function<bool(const std::string &)> &done, int limitSeconds = 120) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!done(output_)) {
      if (!ReadSome(deadline))
        return done(output_);
    }
    return true;
  }

  // Waits for the exit (killing it after `limitSeconds`); the exit code, or
  // 128 + signal.
  int Wait(int limitSeconds = 180) {
    if (exited_)
      return code_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (ReadSome(deadline)) {
    }
    int status = 0;
    if (std::chrono::steady_clock::now() >= deadline)
      ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return code_;
  }

private:
  [[noreturn]] static void Exec(std::vector<std::string> &args, const fs::path &cwd,
                                const ProcessOptions &options) {
    if (::chdir(cwd.c_str()) != 0)
      _exit(126);
    for (const std::string &e : options.env)
      ::putenv(const_cast<char *>(e.c_str()));
    if (options.fileSizeLimit) {
      rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    // A test runner may have ignored these; the program must see defaults.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
  }

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
    if (n <= 0) { // a pseudo-terminal ends with EIO once the child is gone
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
  int code_ = -1;
  std::string output_;
};

// zem4d on a port of its own over 127.0.0.1, with a multicast network and
// port of its own.
class Daemon {
public:
  Daemon(const fs::path &root, const fs::path &cwd, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {kDaemon,
                                     "--bind",
                                     "127.0.0.1",
                                     "--port",
                                     "0",
                                     "--root",
                                     root.string(),
                                     "--log-level",
                                     "info",
                                     "--mcast-net",
                                     "239.255." + std::to_string(100 + ::getpid() % 150) + ".0/24",
                                     "--mcast-port",
                                     std::to_string(FreePort())};
    args.insert(args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<Process>(args, cwd);
    std::regex serving("serving .* on 127\\.0\\.0\\.1:([0-9]+)");
    if (!process_->WaitFor(serving, 30)) {
      ADD_FAILURE() << "zem4d did not start: " << process_->Output();
      return;
    }
    std::smatch m;
    std::regex_search(process_->Output(), m, serving);
    address_ = "127.0.0.1:" + m[1].str();
  }
  const std::string &Address() const { return address_; }
  Process &Proc() { return *process_; }
  // The transfers it still holds, from the totals it logs on SIGUSR1; -1
  // when it does not say.
  int ActiveClients() {
    const size_t before = Count(process_->Output(), "stats: ");
    ::kill(process_->Pid(), SIGUSR1);
    if (!process_->WaitUntil([&](const std::string &out) {
          return Count(out, "stats: ") > before &&
                 out.find('\n', out.rfind("stats: ")) != std::string::npos;
        }))
      return -1;
    const std::string &out = process_->Output();
    std::smatch m;
    std::string last = out.substr(out.rfind("stats: "));
    if (!std::regex_search(last, m, std::regex("active_clients=([0-9]+)")))
      return -1;
    return std::stoi(m[1].str());
  }
  // Waits for the per-transfer line of `file` whose outcome matches.
  bool WaitForTransfer(const std::string &file, const std::string &outcome, int limitSeconds = 60) {
    return process_->WaitFor(
        std::regex("transfer client=[0-9.:]+ file=\"" + file + "\" [^\n]*outcome=\"" + outcome),
        limitSeconds);
  }

private:
  std::unique_ptr<Process> process_;
  std::string address_;
};

// A server written here, not ours, on 127.0.0.1 and answering from the port
// it listens on: each read request gets `reply` (nothing when it is empty).
// With a `pace`, a repair list starts 1032-byte DATA8s, one per pace and at
// most 64 beyond the last ACK8; after it each client address's ACK8s are
// counted and its ERROR kept.
class ScriptedServer {
public:
  explicit ScriptedServer(std::vector<uint8_t> reply, std::chrono::milliseconds pace = {})
      : reply_(std::move(reply)), pace_(pace) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = net::ToSockaddr({kLoopback, 0});
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = net::FromSockaddr(sa).port;
    thread_ = std::thread([this] { Loop(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  unsigned Requests() const { return requests_; }
  bool WaitForAcks(net::Ipv4 client, unsigned count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return clients_[client].acks >= count; });
  }
  std::vector<uint8_t> ErrorFrom(net::Ipv4 client) {
    std::lock_guard lock(mutex_);
    return clients_[client].error;
  }

private:
  struct Client {
    sockaddr_in from{};
    bool sending = false;
    uint32_t sent = 0, acked = 1;
    unsigned acks = 0;
    std::chrono::steady_clock::time_point due = std::chrono::steady_clock::now();
    std::vector<uint8_t> error;
  };
  void Loop() {
    uint8_t buf[2048];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::poll(&p, 1, 1) > 0 ? ::recvfrom(fd_, buf, sizeof buf, 0,
                                                    reinterpret_cast<sockaddr *>(&from), &len)
                                       : 0;
      std::lock_guard lock(mutex_);
      if (n >= 2)
        Take(buf, size_t(n), from);
      for (auto &[address, c] : clients_)
        if (c.sending && std::chrono::steady_clock::now() >= c.due && c.sent + 1 < c.acked + 64) {
          test::Bytes d = test::Data8Packet(c.sent + 1, c.sent + 1, 1032, uint8_t(c.sent));
          ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&c.from),
                   sizeof c.from);
          ++c.sent;
          c.due += pace_;
        }
    }
  }
  void Take(const uint8_t *d, size_t n, const sockaddr_in &from) {
    Client &c = clients_[net::FromSockaddr(from).address];
    if (d[1] == 1 && ++requests_ && !reply_.empty())
      ::sendto(fd_, reply_.data(), reply_.size(), 0, reinterpret_cast<const sockaddr *>(&from),
               sizeof from);
    else if (d[1] == 10) {
      c = Client{};
      c.from = from;
      c.sending = pace_.count() > 0;
    } else if (d[1] == 9 && n == 10 && c.sending && ++c.acks)
      c.acked = std::max(c.acked, uint32_t(d[2] << 24 | d[3] << 16 | d[4] << 8 | d[5]));
    else if (d[1] == 5 && c.sending) {
      c.error.assign(d, d + n);
      c.sending = false;
    }
    changed_.notify_all();
  }

  std::vector<uint8_t> reply_;
  std::chrono::milliseconds pace_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> requests_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<net::Ipv4, Client> clients_;
  std::thread thread_;
};

// A temporary directory per test, removed unless the test failed; root/ for
// the server, out/ for the client.
class TempDirTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!ProgramsBuilt())
      GTEST_SKIP() << "zem4 or zem4d not built";
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir_ = fs::temp_directory_path() / ("zem4-e2e-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(Root());
    fs::create_directories(Out());
  }
  void TearDown() override {
    if (!HasFailure() && !dir_.empty())
      fs::remove_all(dir_);
  }
  fs::path Root() const { return dir_ / "root"; }
  fs::path Out() const { return dir_ / "out"; }

  // zem4 with these arguments, run in out/.
  std::unique_ptr<Process> Zem4(std::vector<std::string> args, ProcessOptions options = {}) {
    args.insert(args.begin(), kCli);
    return std::make_unique<Process>(args, Out(), std::move(options));
  }
  struct Result {
    int code;
    std::string output;
  };
  Result Run(std::vector<std::string> args, ProcessOptions options = {}) {
    auto p = Zem4(std::move(args), std::move(options));
    int code = p->Wait();
    return {code, p->Output()};
  }

  fs::path dir_;
};

} // namespace zem4::e2e
