// The driver images against zem4d over loopback: `zem4 get --driver IMAGE`
// runs the X64 image in the 64-bit command line and hands the IA32 image to
// the 32-bit runner (zem4-32). Whole files compared byte for byte, a
// multicast group with a late joiner, the image refused when it is damaged.
// Waits are for events (a line of output, a process ending); a generous kill
// timer only keeps a broken build from hanging.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

#if defined(ZEM4_CLI) && defined(ZEM4D)
const char *const kCli = ZEM4_CLI;
const char *const kDaemon = ZEM4D;
#else
const char *const kCli = "";
const char *const kDaemon = "";
#endif
#ifndef ZEM4_IA32_IMAGE_PATH
#define ZEM4_IA32_IMAGE_PATH ""
#endif
#ifndef ZEM4_X64_IMAGE_PATH
#define ZEM4_X64_IMAGE_PATH ""
#endif

struct ImageKind {
  const char *name;
  const char *path;
};
void PrintTo(const ImageKind &kind, std::ostream *os) {
  *os << kind.name;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 7;
  for (auto &b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
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

// A child process whose stdout and stderr are read through one pipe.
class Process {
public:
  Process(std::vector<std::string> args, const fs::path &cwd) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      if (::chdir(cwd.c_str()) != 0) {
        _exit(126);
      }
      std::vector<char *> argv;
      for (auto &a : args) {
        argv.push_back(a.data());
      }
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
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  const std::string &Output() const { return output_; }

  bool WaitFor(const std::regex &pattern, int limitSeconds = 120) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!std::regex_search(output_, pattern)) {
      if (!ReadSome(deadline)) {
        return std::regex_search(output_, pattern);
      }
    }
    return true;
  }

  int Wait(int limitSeconds = 180) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (ReadSome(deadline)) {
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

private:
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) {
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string output_;
};

class ImageEndToEnd : public ::testing::TestWithParam<ImageKind> {
protected:
  void SetUp() override {
    const bool require = std::getenv("ZEM4_REQUIRE_IMAGES") != nullptr;
    if (!fs::exists(kCli) || !fs::exists(kDaemon) || !fs::exists(GetParam().path)) {
      if (require && fs::exists(kCli)) {
        FAIL() << "missing: " << kCli << " " << kDaemon << " " << GetParam().path;
      }
      GTEST_SKIP() << "zem4, zem4d or the " << GetParam().name << " image not built";
    }
    dir_ = fs::temp_directory_path() /
           ("zem4-image-e2e-" + std::to_string(::getpid()) + "-" + GetParam().name);
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "root");
    fs::create_directories(dir_ / "out");
  }
  void TearDown() override {
    server_.reset();
    if (!HasFailure() && !dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  void StartServer() {
    std::vector<std::string> args = {kDaemon,
                                     "--bind",
                                     "127.0.0.1",
                                     "--port",
                                     "0",
                                     "--root",
                                     (dir_ / "root").string(),
                                     "--log-level",
                                     "info",
                                     "--mcast-net",
                                     "239.255." + std::to_string(10 + ::getpid() % 80) + ".0/24",
                                     "--mcast-port",
                                     std::to_string(FreePort())};
    server_ = std::make_unique<Process>(args, dir_);
    const std::regex serving("serving .* on 127\\.0\\.0\\.1:([0-9]+)");
    ASSERT_TRUE(server_->WaitFor(serving, 30)) << server_->Output();
    std::smatch m;
    std::regex_search(server_->Output(), m, serving);
    server_addr_ = "127.0.0.1:" + m[1].str();
  }

  std::unique_ptr<Process> Get(const std::string &file, std::vector<std::string> extra,
                               const std::string &image = "") {
    std::vector<std::string> args = {kCli,
                                     "get",
                                     file,
                                     "--server",
                                     server_addr_,
                                     "--driver",
                                     image.empty() ? GetParam().path : image};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Process>(args, dir_ / "out");
  }

  // The command said which image it ran, and that machine is the image's.
  void ExpectRanTheImage(const Process &p) {
    EXPECT_NE(p.Output().find(std::string("running the ") + GetParam().name + " driver image"),
              std::string::npos)
        << p.Output();
  }

  fs::path dir_;
  std::unique_ptr<Process> server_;
  std::string server_addr_;
};

TEST_P(ImageEndToEnd, UnicastFilesArriveWhole) {
  const std::vector<std::pair<std::string, size_t>> files = {
      {"empty.bin", 0}, {"odd.bin", 1033}, {"big.bin", 3 << 20}};
  for (auto &[name, size] : files) {
    WriteFile(dir_ / "root" / name, Pattern(size, static_cast<uint32_t>(size)));
  }
  StartServer();
  for (auto &[name, size] : files) {
    SCOPED_TRACE(name);
    auto p = Get(name, {"--station", "127.0.0.2"});
    ASSERT_EQ(p->Wait(), 0) << p->Output();
    ExpectRanTheImage(*p);
    EXPECT_NE(p->Output().find("SHA-256 verified"), std::string::npos) << p->Output();
    EXPECT_EQ(ReadFile(dir_ / "out" / name), ReadFile(dir_ / "root" / name));
  }
  auto s = Get("big.bin", {"--station", "127.0.0.3", "--stream", "--out", "streamed.bin"});
  ASSERT_EQ(s->Wait(), 0) << s->Output();
  EXPECT_EQ(ReadFile(dir_ / "out" / "streamed.bin"), ReadFile(dir_ / "root" / "big.bin"));
}

TEST_P(ImageEndToEnd, MulticastGroupWithALateJoiner) {
  WriteFile(dir_ / "root" / "m.bin", Pattern(4 << 20, 9));
  StartServer();
  std::vector<std::unique_ptr<Process>> clients;
  for (int i = 0; i < 2; ++i) {
    fs::create_directories(dir_ / "out" / std::to_string(i));
    clients.push_back(Get("m.bin", {"--multicast", "--station", "127.0.0." + std::to_string(21 + i),
                                    "--out", std::to_string(i) + "/m.bin"}));
  }
  ASSERT_TRUE(clients[0]->WaitFor(std::regex("m\\.bin \\(multicast\\): ([3-9][0-9]|100)%")))
      << clients[0]->Output();
  fs::create_directories(dir_ / "out" / "2");
  clients.push_back(Get("m.bin", {"--multicast", "--station", "127.0.0.23", "--out", "2/m.bin"}));
  const auto original = ReadFile(dir_ / "root" / "m.bin");
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_EQ(clients[i]->Wait(), 0) << clients[i]->Output();
    ExpectRanTheImage(*clients[i]);
    EXPECT_EQ(ReadFile(dir_ / "out" / std::to_string(i) / "m.bin"), original);
  }
}

TEST_P(ImageEndToEnd, ADamagedImageIsRefusedAndNothingIsWritten) {
  WriteFile(dir_ / "root" / "f.bin", Pattern(5000, 3));
  StartServer();
  std::vector<uint8_t> image = ReadFile(GetParam().path);
  ASSERT_GT(image.size(), 0x200u);
  image.resize(image.size() - 100); // the last section loses its end
  WriteFile(dir_ / "cut.efi", image);
  auto p = Get("f.bin", {"--station", "127.0.0.4"}, (dir_ / "cut.efi").string());
  EXPECT_EQ(p->Wait(), 10) << p->Output(); // driver or firmware failure
  EXPECT_NE(p->Output().find("beyond the file"), std::string::npos) << p->Output();
  EXPECT_FALSE(fs::exists(dir_ / "out" / "f.bin"));
}

INSTANTIATE_TEST_SUITE_P(Images, ImageEndToEnd,
                         ::testing::Values(ImageKind{"X64", ZEM4_X64_IMAGE_PATH},
                                           ImageKind{"IA32", ZEM4_IA32_IMAGE_PATH}),
                         [](const ::testing::TestParamInfo<ImageKind> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
