// zem4d as a process on loopback, downloaded from by clients of our own: one
// by unicast, then four in one multicast group (pinned to 127.0.0.1), every
// file checked with SHA-256. Waiting is bounded by loop counts, never timed.
#include "server/engine/FileSource.h"
#include "tests/server/ClientModel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <regex>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zem4::server::testing {
namespace {

namespace fs = std::filesystem;

Bytes RandomBytes(size_t N, uint32_t Seed) {
  std::mt19937 G(Seed);
  Bytes Out(N);
  for (auto &C : Out) {
    C = static_cast<uint8_t>(G());
  }
  return Out;
}

class DaemonProcess {
public:
  explicit DaemonProcess(std::vector<std::string> Args) {
    // We wait for the daemon ourselves; an inherited "ignore" would reap it unseen.
    signal(SIGCHLD, SIG_DFL);
    int Pipe[2];
    EXPECT_EQ(pipe(Pipe), 0);
    Pid = fork();
    if (Pid == 0) {
      dup2(Pipe[1], 2);
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

  // Stops it with SIGTERM; returns its exit status (-1 if it did not exit).
  int Terminate() {
    kill(Pid, SIGTERM);
    for (int I = 0; I < 500; ++I) {
      int Status = 0;
      if (waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        Drain(0);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
      }
      Drain(20);
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

  pid_t Pid = -1;
  int Err = -1;
  bool Closed = false;
  std::string Log;
};

// One client: a unicast socket, and a group socket once the OACK names one.
struct SocketClient {
  SocketClient(std::string File, bool Multicast) : Model(std::move(File), Multicast, true) {
    Fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0);
  }
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
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(G.Ip); // bound to the group: only its traffic
    A.sin_port = htons(G.Port);
    ASSERT_EQ(bind(GroupFd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0) << strerror(errno);
    ip_mreq M{};
    M.imr_multiaddr.s_addr = htonl(G.Ip);
    M.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(setsockopt(GroupFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &M, sizeof M), 0)
        << strerror(errno);
  }

  void Send(uint16_t ServerListen, std::vector<ClientModel::Outgoing> Out) {
    if (Model.Group() && GroupFd < 0) {
      JoinGroup(*Model.Group());
    }
    for (auto &O : Out) {
      sockaddr_in A{};
      A.sin_family = AF_INET;
      A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      A.sin_port = htons(O.ToRequestPort ? ServerListen : Model.SessionPort());
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
                                          ntohs(From.sin_port), ViaGroup, Now()));
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
void RunClients(std::vector<std::unique_ptr<SocketClient>> &Clients, uint16_t Listen,
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

class DaemonLoopback : public ::testing::Test {
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

  fs::path Root;
  std::string Net;
  uint16_t McastPort = 0;
};

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
  EXPECT_EQ(FirstActive, 1);
  EXPECT_EQ(C[3]->Model.RoleHistory().front(), ClientModel::Role::Passive);
  EXPECT_GE(C[3]->Model.Passes(), 2u); // the late joiner got its start in a repair pass

  // Let the last pass's FIN repeats run out, so every client has its log line.
  for (int I = 0; I < 100 && std::count(D.Log.begin(), D.Log.end(), '\n') < 7; ++I) {
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
                        "malformed=0 groups=1 ")))
      << D.Log;
}

TEST_F(DaemonLoopback, RefusesWhatIsNotUnderTheRootReportsOnSigusr1StopsOnSigterm) {
  WriteFile("ok", RandomBytes(10, 3));
  DaemonProcess D(Args());
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  for (const char *Name : {"../etc/passwd", "/etc/passwd", "nope"}) {
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
