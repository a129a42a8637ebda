// zem4 get against a server that runs inside the test process: the real
// engine over real loopback sockets, with two faults zem4d cannot be asked
// for. A file source that announces a wrong SHA-256, and a network that
// drops every datagram sent to a multicast group. The client is the built
// zem4 command; waits are for its exit, bounded by a kill timer.
#include "net/Socket.h"
#include "server/engine/Engine.h"
#include "server/engine/FileSource.h"
#include "zem4/Zem4Wire.h"

#include "tests/e2e/Cli.h"

#include <arpa/inet.h>

#include <atomic>
#include <map>
#include <thread>

using namespace zem4::server;
using namespace zem4::e2e;

namespace {

// Runs zem4 in `cwd` and collects its merged output.
struct RunResult {
  int code = -1;
  std::string output;
};
RunResult RunCommand(std::vector<std::string> args, const fs::path &cwd) {
  Process p(std::move(args), cwd);
  int code = p.Wait();
  return {code, p.Output()};
}
// Announces a digest that differs from the content in its first hex digit.
class LyingDigest final : public OpenFile {
public:
  explicit LyingDigest(std::shared_ptr<OpenFile> real) : Real(std::move(real)) {}
  uint64_t Size() const override { return Real->Size(); }
  FileId Id() const override { return Real->Id(); }
  bool ReadAt(uint64_t Offset, std::span<uint8_t> Out) override {
    return Real->ReadAt(Offset, Out);
  }
  DigestResult Digest() override {
    DigestResult d = Real->Digest();
    if (d.Status == DigestResult::State::Ready && !d.Hex.empty())
      d.Hex[0] = d.Hex[0] == '0' ? '1' : '0';
    return d;
  }

private:
  std::shared_ptr<OpenFile> Real;
};

class LyingSource final : public FileSource {
public:
  explicit LyingSource(FileSource &real) : Real(real) {}
  OpenResult Open(std::string_view Name) override {
    OpenResult r = Real.Open(Name);
    if (r.File)
      r.File = std::make_shared<LyingDigest>(r.File);
    return r;
  }

private:
  FileSource &Real;
};

// The file grows between the client's query and its download: the second
// opening finds it larger than the first announced.
class GrowingSource final : public FileSource {
public:
  GrowingSource(MemoryFileSource &real, std::vector<uint8_t> grown)
      : Real(real), Grown(std::move(grown)) {}
  OpenResult Open(std::string_view Name) override {
    if (++Opens % 2 == 0)
      Real.Replace(std::string(Name), Grown);
    return Real.Open(Name);
  }

private:
  MemoryFileSource &Real;
  std::vector<uint8_t> Grown;
  unsigned Opens = 0;
};

int BoundSocket(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in sa = zem4::net::ToSockaddr({kLoopback, port});
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    if (fd >= 0)
      ::close(fd);
    return -1;
  }
  in_addr lo = zem4::net::ToInAddr(kLoopback); // multicast, if any gets through, stays on loopback
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  return fd;
}

uint16_t PortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return zem4::net::FromSockaddr(sa).port;
}

// The engine behind loopback sockets, driven by one thread of its own.
class LoopbackServer final : public EngineIo {
public:
  LoopbackServer(FileSource &files, bool dropMulticast) : DropMulticast(dropMulticast) {
    int fd = BoundSocket(0);
    EXPECT_GE(fd, 0);
    Listen = PortOf(fd);
    Sockets[Listen] = fd;
    EngineConfig cfg;
    cfg.ListenPort = Listen;
    cfg.McastNetwork = Cidr{Ipv4(239, 255, uint8_t(100 + ::getpid() % 150), 0), 24};
    int probe = BoundSocket(0);
    cfg.McastPort = PortOf(probe);
    ::close(probe);
    cfg.IdleTimeout = std::chrono::seconds(20);
    Eng = std::make_unique<Engine>(cfg, files, *this);
    Thread = std::thread([this] { Loop(); });
  }
  ~LoopbackServer() override {
    Stopping = true;
    Thread.join();
    for (auto &[port, fd] : Sockets)
      ::close(fd);
  }

  std::string Address() const { return "127.0.0.1:" + std::to_string(Listen); }
  uint64_t MulticastDropped() const { return Dropped; }
  uint64_t UnicastDataSent() const { return UnicastData; }

  std::optional<uint16_t> OpenPort() override {
    int fd = BoundSocket(0);
    if (fd < 0)
      return std::nullopt;
    uint16_t port = PortOf(fd);
    Sockets[port] = fd;
    return port;
  }
  void ClosePort(uint16_t Port) override {
    auto it = Sockets.find(Port);
    if (it != Sockets.end()) {
      ::close(it->second);
      Sockets.erase(it);
    }
  }
  void Send(uint16_t FromPort, const Endpoint &To, std::span<const uint8_t> Datagram) override {
    if (To.address.IsMulticast() && DropMulticast) {
      ++Dropped;
      return;
    }
    if (!To.address.IsMulticast() && To.address.b[0] != 127)
      return; // never anything off this machine
    if (!To.address.IsMulticast() && Datagram.size() > ZEM4_DATA8_HEADER_SIZE && Datagram[0] == 0 &&
        Datagram[1] == ZEM4_OP_DATA8)
      ++UnicastData;
    auto it = Sockets.find(FromPort);
    if (it == Sockets.end())
      return;
    sockaddr_in sa = zem4::net::ToSockaddr(To);
    ::sendto(it->second, Datagram.data(), Datagram.size(), 0, reinterpret_cast<sockaddr *>(&sa),
             sizeof sa);
  }

private:
  static Time Now() { return std::chrono::steady_clock::now().time_since_epoch(); }

  void Loop() {
    std::vector<uint8_t> buf(65536);
    while (!Stopping) {
      std::vector<pollfd> fds;
      std::vector<uint16_t> ports;
      for (auto &[port, fd] : Sockets) {
        fds.push_back({fd, POLLIN, 0});
        ports.push_back(port);
      }
      int wait = 20; // short, so a stop request is seen quickly
      if (auto next = Eng->NextDeadline()) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Now()).count();
        wait = int(std::clamp<int64_t>(ms, 0, wait));
      }
      ::poll(fds.data(), fds.size(), wait);
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN) || !Sockets.count(ports[i]))
          continue;
        for (;;) {
          sockaddr_in from{};
          socklen_t len = sizeof from;
          ssize_t n = ::recvfrom(fds[i].fd, buf.data(), buf.size(), 0,
                                 reinterpret_cast<sockaddr *>(&from), &len);
          if (n < 0)
            break;
          Eng->OnDatagram(zem4::net::FromSockaddr(from), ports[i],
                          std::span<const uint8_t>(buf.data(), size_t(n)), Now());
          if (!Sockets.count(ports[i]))
            break;
        }
      }
      Eng->OnTime(Now());
    }
    Eng->Shutdown(Now());
  }

  bool DropMulticast;
  uint16_t Listen = 0;
  std::map<uint16_t, int> Sockets;
  std::unique_ptr<Engine> Eng;
  std::atomic<bool> Stopping{false};
  std::atomic<uint64_t> Dropped{0}, UnicastData{0};
  std::thread Thread;
};

class InProcessServer : public TempDirTest {
protected:
  // `zem4 get File` from server as Station (with --stream if Stream), into Out().
  RunResult Get(const LoopbackServer &server, const std::string &file, const char *station,
                bool stream) {
    std::vector<std::string> args = {
        kCli, "get", file, "--server", server.Address(), "--station", station, "--timeout", "20"};
    if (stream)
      args.push_back("--stream");
    return RunCommand(args, Out());
  }
};

// The server's answer carries a digest that is not the file's: the download
// completes, the check fails, exit 8 with the message, and neither the file
// nor its temporary is left.
TEST_F(InProcessServer, WrongDigestIsAMismatchAndNothingIsKept) {
  const auto data = RandomBytes(300 * 1024 + 17, 71);
  MemoryFileSource memory;
  memory.Add("d.bin", data);
  const std::string real = Sha256Hex(data);
  std::string wrong = real;
  wrong[0] = wrong[0] == '0' ? '1' : '0';
  LyingSource lying(memory);
  LoopbackServer server(lying, false);

  for (const bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "stream" : "mapped");
    RunResult r = Get(server, "d.bin", "127.0.0.61", stream);
    EXPECT_EQ(r.code, kIntegrity) << r.output;
    EXPECT_TRUE(Says(r.output, "zem4: SHA-256 mismatch for d.bin: the server says " + wrong +
                                   ", the copy has " + real + "; not kept"));
    EXPECT_EQ(r.output.find("SHA-256 verified"), std::string::npos) << r.output;
    EXPECT_TRUE(Listing(Out()).empty()) << "left behind: " << Listing(Out()).front();
  }
  EXPECT_GT(server.UnicastDataSent(), 0u);
}

// More data than the size the server announced is refused, not written: the
// server is told, the command ends with exit 6 and keeps nothing.
TEST_F(InProcessServer, AFileLargerThanAnnouncedIsRefused) {
  const auto small = RandomBytes(64 * 1024 + 3, 73);
  const auto grown = RandomBytes(3 * 1024 * 1024, 74);
  for (const bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "--stream" : "unicast");
    MemoryFileSource memory;
    memory.Add("grow.bin", small);
    GrowingSource growing(memory, grown);
    LoopbackServer server(growing, false);
    RunResult r = Get(server, "grow.bin", "127.0.0.63", stream);
    EXPECT_EQ(r.code, kServerFault) << r.output;
    EXPECT_TRUE(Says(r.output, "zem4: the file on the server is larger than it said (changed?)"));
    EXPECT_TRUE(Listing(Out()).empty()) << "left behind: " << Listing(Out()).front();
    // Far less than the grown file went out before the refusal stopped it.
    EXPECT_LT(server.UnicastDataSent(), grown.size() / 1032 / 2);
  }
}

// The group's datagrams never reach anyone: the client waits --mcast-wait
// seconds, says it falls back, and ends with the exact file by unicast.
TEST_F(InProcessServer, SilentGroupFallsBackToUnicast) {
  const auto data = RandomBytes(2 * 1024 * 1024 + 5, 72);
  MemoryFileSource memory;
  memory.Add("g.bin", data);
  LoopbackServer server(memory, true);

  RunResult r = RunCommand({kCli, "get", "g.bin", "--server", server.Address(), "--multicast",
                            "--mcast-wait", "1", "--station", "127.0.0.62", "--timeout", "30"},
                           Out());
  EXPECT_EQ(r.code, kOk) << r.output;
  EXPECT_TRUE(Says(r.output, "zem4: no multicast data within 1 s; falling back to unicast"));
  EXPECT_TRUE(Says(r.output, "SHA-256 verified"));
  EXPECT_EQ(ReadFile(Out() / "g.bin"), data);
  EXPECT_EQ(Listing(Out()), std::vector<std::string>{"g.bin"});
  // The server did send to a group, and the file came by unicast.
  EXPECT_GT(server.MulticastDropped(), 0u);
  EXPECT_GT(server.UnicastDataSent(), 0u);
}

} // namespace
