// zem4d as a child process on loopback and clients of our own around it,
// shared by the daemon's end-to-end suites. Waiting is bounded by loop
// counts, never timed.
#pragma once

#include "net/Socket.h"
#include "server/engine/FileSource.h"
#include "tests/server/ClientModel.h"
#include "tests/server/Harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <regex>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zem4::server::testing {

namespace fs = std::filesystem;

// Where the daemon under test listens and its clients send from.
inline constexpr Ipv4 LoopbackAddress(127, 0, 0, 1);

inline Bytes RandomBytes(size_t N, uint32_t Seed) {
  std::mt19937 G(Seed);
  Bytes Out(N);
  for (auto &C : Out) {
    C = static_cast<uint8_t>(G());
  }
  return Out;
}

class DaemonProcess {
public:
  // With Stdout, what it prints there lands in Log too (--help, --version).
  // Env entries "NAME=VALUE" are set in the child; a VALUE of "{stderr}"
  // becomes "DEVICE:INODE" of the child's stderr, as systemd's
  // $JOURNAL_STREAM names a service's stream.
  explicit DaemonProcess(std::vector<std::string> Args, bool Stdout = false,
                         std::vector<std::string> Env = {}) {
    // We wait for the daemon ourselves; an inherited "ignore" would reap it unseen.
    signal(SIGCHLD, SIG_DFL);
    int Pipe[2];
    EXPECT_EQ(pipe(Pipe), 0);
    struct stat Stream {};
    fstat(Pipe[1], &Stream);
    for (auto &E : Env) {
      auto At = E.find("{stderr}");
      if (At != std::string::npos) {
        E.replace(At, 8, std::to_string(Stream.st_dev) + ":" + std::to_string(Stream.st_ino));
      }
    }
    Pid = fork();
    if (Pid == 0) {
      for (auto &E : Env) {
        putenv(E.data());
      }
      dup2(Pipe[1], 2);
      if (Stdout) {
        dup2(Pipe[1], 1);
      }
      close(Pipe[0]);
      close(Pipe[1]);
      std::vector<char *> Argv{const_cast<char *>(ZEM4D_PATH)};
      for (auto &A : Args) {
        Argv.push_back(A.data());
      }
      Argv.push_back(nullptr);
      execv(ZEM4D_PATH, Argv.data());
      _exit(127);
    }
    close(Pipe[1]);
    Err = Pipe[0];
    fcntl(Err, F_SETFL, O_NONBLOCK);
  }
  ~DaemonProcess() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    close(Err);
  }

  // Reads what the daemon has logged so far; waits up to Ms for more.
  void Drain(int Ms = 0) {
    pollfd P{Err, POLLIN, 0};
    if (Closed) {
      poll(nullptr, 0, Ms); // nothing more to read; just let the time pass
      return;
    }
    if (poll(&P, 1, Ms) <= 0) {
      return;
    }
    char Buf[4096];
    ssize_t N;
    while ((N = read(Err, Buf, sizeof Buf)) > 0) {
      Log.append(Buf, static_cast<size_t>(N));
    }
    Closed = N == 0;
  }

  // The port it listens on, from its start-up line.
  uint16_t WaitForPort() {
    std::regex Re("serving .* on 127\\.0\\.0\\.1:(\\d+)");
    for (int I = 0; I < 500; ++I) {
      Drain(20);
      std::smatch M;
      if (std::regex_search(Log, M, Re)) {
        return static_cast<uint16_t>(std::stoi(M[1]));
      }
    }
    return 0;
  }

  // Waits (bounded) until Log holds Text; false if it never came.
  bool WaitForLine(const std::string &Text) {
    for (int I = 0; I < 500 && Log.find(Text) == std::string::npos; ++I) {
      Drain(20);
    }
    return Log.find(Text) != std::string::npos;
  }

  // Stops it with SIGTERM; returns its exit status (-1 if it did not exit).
  int Terminate() {
    kill(Pid, SIGTERM);
    const int Code = WaitExit();
    if (Code != -1) {
      return Code;
    }
    std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
    std::string Line;
    while (std::getline(Status, Line)) {
      if (Line.rfind("State", 0) == 0) {
        Log += "\n[still running: " + Line + "]\n";
      }
    }
    return -1;
  }

  // Waits for it to exit by itself; its exit status, or -1 if it did not.
  int WaitExit() {
    for (int I = 0; I < 500; ++I) {
      int Status = 0;
      if (waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        Drain(0);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
      }
      Drain(20);
    }
    return -1;
  }

  pid_t Pid = -1;
  int Err = -1;
  bool Closed = false;
  std::string Log;
};

// A UDP socket on a port of At that was free, and the port a socket has.
inline int BoundSocket(Ipv4 At = LoopbackAddress, int Flags = 0) {
  int Fd = socket(AF_INET, SOCK_DGRAM | Flags, 0);
  sockaddr_in A = net::ToSockaddr({At, 0});
  EXPECT_EQ(bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0);
  return Fd;
}
inline uint16_t LocalPort(int Fd) {
  sockaddr_in A{};
  socklen_t Len = sizeof A;
  getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &Len);
  return net::FromSockaddr(A).port;
}

// One client: a unicast socket, and a group socket once the OACK names one.
struct SocketClient {
  SocketClient(std::string File, bool Multicast)
      : Model(std::move(File), Multicast, true), Fd(BoundSocket(LoopbackAddress, SOCK_NONBLOCK)) {}
  ~SocketClient() {
    close(Fd);
    if (GroupFd >= 0) {
      close(GroupFd);
    }
  }

  void JoinGroup(const Endpoint &G) {
    GroupFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int One = 1;
    setsockopt(GroupFd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
    sockaddr_in A = net::ToSockaddr(G); // bound to the group: only its traffic
    ASSERT_EQ(bind(GroupFd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0) << strerror(errno);
    ip_mreq M{};
    M.imr_multiaddr = net::ToInAddr(G.address);
    M.imr_interface = net::ToInAddr(LoopbackAddress);
    ASSERT_EQ(setsockopt(GroupFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &M, sizeof M), 0)
        << strerror(errno);
  }

  void Send(uint16_t ServerListen, std::vector<ClientModel::Outgoing> Out) {
    if (Model.Group() && GroupFd < 0) {
      JoinGroup(*Model.Group());
    }
    for (auto &O : Out) {
      sockaddr_in A =
          net::ToSockaddr({LoopbackAddress, O.ToRequestPort ? ServerListen : Model.SessionPort()});
      sendto(Fd, O.Datagram.data(), O.Datagram.size(), 0, reinterpret_cast<sockaddr *>(&A),
             sizeof A);
    }
  }

  void Pump(int FdToRead, bool ViaGroup, uint16_t ServerListen) {
    uint8_t Buf[2048];
    sockaddr_in From{};
    socklen_t Len = sizeof From;
    ssize_t N;
    while ((N = recvfrom(FdToRead, Buf, sizeof Buf, 0, reinterpret_cast<sockaddr *>(&From),
                         &Len)) >= 0) {
      ++Received;
      Send(ServerListen, Model.OnDatagram(std::span<const uint8_t>(Buf, static_cast<size_t>(N)),
                                          net::FromSockaddr(From).port, ViaGroup, Now()));
      Len = sizeof From;
    }
  }

  static std::chrono::nanoseconds Now() {
    return std::chrono::steady_clock::now().time_since_epoch();
  }

  ClientModel Model;
  int Fd = -1;
  int GroupFd = -1;
  bool Started = false;
  uint64_t Received = 0;
};

// Runs the clients until all are finished or the loop count runs out.
inline void RunClients(std::vector<std::unique_ptr<SocketClient>> &Clients, uint16_t Listen,
                       DaemonProcess &D, const std::function<void()> &EachRound = {}) {
  for (int Round = 0; Round < 20000; ++Round) {
    bool AllDone = true;
    std::vector<pollfd> Fds;
    for (auto &C : Clients) {
      if (!C->Started) {
        AllDone = false;
        continue;
      }
      AllDone &= C->Model.Finished();
      Fds.push_back({C->Fd, POLLIN, 0});
      if (C->GroupFd >= 0) {
        Fds.push_back({C->GroupFd, POLLIN, 0});
      }
    }
    if (AllDone) {
      return;
    }
    poll(Fds.data(), Fds.size(), 10);
    for (auto &C : Clients) {
      if (!C->Started) {
        continue;
      }
      C->Pump(C->Fd, false, Listen);
      if (C->GroupFd >= 0) {
        C->Pump(C->GroupFd, true, Listen);
      }
      C->Send(Listen, C->Model.OnTime(SocketClient::Now()));
    }
    if (EachRound) {
      EachRound();
    }
    D.Drain(0);
  }
}

// One whole download of Name by a client of its own, to its end.
inline std::unique_ptr<SocketClient> Fetch(DaemonProcess &D, uint16_t Listen,
                                           const std::string &Name, bool Multicast = false) {
  std::vector<std::unique_ptr<SocketClient>> C;
  C.push_back(std::make_unique<SocketClient>(Name, Multicast));
  C[0]->Started = true;
  C[0]->Send(Listen, C[0]->Model.Start(SocketClient::Now()));
  RunClients(C, Listen, D);
  return std::move(C[0]);
}

// Sends one datagram to the daemon from a socket of its own and keeps the
// socket, so answers can be read (or their absence seen).
struct RawClient {
  explicit RawClient(Ipv4 From = LoopbackAddress) : Fd(BoundSocket(From, SOCK_NONBLOCK)) {}
  ~RawClient() { close(Fd); }
  void Send(uint16_t Port, const Bytes &D) {
    sockaddr_in A = net::ToSockaddr({LoopbackAddress, Port});
    sendto(Fd, D.data(), D.size(), 0, reinterpret_cast<sockaddr *>(&A), sizeof A);
  }
  // Everything that has arrived so far.
  std::vector<Bytes> Received() {
    std::vector<Bytes> Out;
    uint8_t Buf[2048];
    ssize_t N;
    while ((N = recv(Fd, Buf, sizeof Buf, 0)) >= 0) {
      Out.emplace_back(Buf, Buf + N);
    }
    return Out;
  }
  // Asks for Name with "sha256" until an OACK comes (bounded), then cancels:
  // the daemon has the digest from then on.
  bool PrimeDigest(uint16_t Listen, const std::string &Name) {
    for (int I = 0; I < 200; ++I) {
      Send(Listen, BuildRequest(Name, {{"sha256", "1"}}));
      pollfd P{Fd, POLLIN, 0};
      poll(&P, 1, 50);
      sockaddr_in From{};
      socklen_t Len = sizeof From;
      uint8_t Buf[2048];
      ssize_t N = recvfrom(Fd, Buf, sizeof Buf, 0, reinterpret_cast<sockaddr *>(&From), &Len);
      if (N >= 2 && Buf[1] == 6) {
        Send(net::FromSockaddr(From).port, Cat({B({0, 5, 0, 0}), Str("User caceled download")}));
        return true;
      }
    }
    return false;
  }
  int Fd = -1;
};

// A root directory of its own and a group network and port unlikely to meet
// another test's.
class DaemonFixture : public ::testing::Test {
protected:
  void SetUp() override {
    char Template[] = "/tmp/zem4-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Root = Template;
    std::mt19937 G(static_cast<uint32_t>(getpid()));
    Net = "239.255." + std::to_string(1 + G() % 250) + ".0/24";
    McastPort = static_cast<uint16_t>(20000 + G() % 30000);
  }
  void TearDown() override { fs::remove_all(Root); }

  // A configuration file for --config, written whole.
  void WriteConfig(const fs::path &Path, const std::string &Text) {
    fs::path Next = Path.string() + ".new";
    std::ofstream(Next) << Text;
    fs::rename(Next, Path); // a reload never reads half a file
  }

  void WriteFile(const std::string &Name, const Bytes &Data) {
    std::ofstream(Root / Name, std::ios::binary)
        .write(reinterpret_cast<const char *>(Data.data()),
               static_cast<std::streamsize>(Data.size()));
  }

  std::vector<std::string> Args() {
    return {"--root",      Root.string(), "--port",       "0",
            "--mcast-net", Net,           "--mcast-port", std::to_string(McastPort),
            "--mcast-if",  "127.0.0.1",   "--log-level",  "info"};
  }
  // A port that was free a moment ago, and the arguments with zem4d on it.
  static uint16_t FreePort() {
    const int Fd = BoundSocket();
    const uint16_t Port = LocalPort(Fd);
    close(Fd);
    return Port;
  }
  std::vector<std::string> ArgsOnPort(uint16_t Port) {
    auto A = Args();
    *(std::find(A.begin(), A.end(), "--port") + 1) = std::to_string(Port);
    return A;
  }

  fs::path Root;
  std::string Net;
  uint16_t McastPort = 0;
};

} // namespace zem4::server::testing
