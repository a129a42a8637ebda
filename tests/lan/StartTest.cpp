// Where multicast goes, decided before anything is sent: zem4d's interface
// from --bind or --mcast-if, and zem4's refusal of a station address or an
// interface this machine does not have. On loopback, no namespaces needed.
#ifdef ZEM4_LAN_TESTS // the debug build of zem4 and zem4d only (see extra.cmake)
#include "Bed.h"

#include "host/SocketNetwork.h"
#include "net/Socket.h"

#include <arpa/inet.h>
#include <csignal>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zem4::lan {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct DaemonStart {
  std::vector<std::string> args;
  bool starts;
  std::string line; // in the start line, or in the refusal
};

TEST(LanStart, DaemonMulticastInterface) {
  const DaemonStart cases[] = {
      {{"--bind", "127.0.0.1"}, true, "on 127.0.0.1:"},
      {{"--bind", "127.0.0.1"}, true, "multicast 239.255.0.0/16 via lo"},
      {{"--bind", "127.0.0.1", "--mcast-if", "127.0.0.1"}, true, "via lo"},
      {{"--bind", "0.0.0.0", "--mcast-if", "lo"}, true, "via lo"},
      {{"--bind", "0.0.0.0", "--no-multicast"}, true, "multicast off via none"},
      {{"--bind", "0.0.0.0"},
       false,
       "zem4d: --bind 0.0.0.0 does not say where the clients are: name the multicast interface "
       "with --mcast-if (or serve by unicast only with --no-multicast)"},
      {{"--bind", "127.0.0.1", "--mcast-if", "nosuch0"},
       false,
       "zem4d: --mcast-if: no such interface: nosuch0"},
      {{"--bind", "127.0.0.1", "--mcast-if", "192.0.2.7"},
       false,
       "zem4d: --mcast-if 192.0.2.7: no interface of this machine has that address"},
  };
  fs::path dir = TestDir();
  for (const auto &c : cases) {
    std::string label;
    for (auto &a : c.args)
      label += a + " ";
    std::vector<std::string> argv = {ZEM4D, "--port", "0", "--root", dir / "root"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p("", argv, dir / "zem4d.log");
    if (c.starts) {
      EXPECT_TRUE(p.WaitFor("zem4d serving", 30s)) << label << p.Output();
      EXPECT_NE(p.Output().find(c.line), std::string::npos) << label << p.Output();
      p.Signal(SIGTERM);
      EXPECT_EQ(p.Wait(30s), 0) << label;
    } else {
      // A configuration that names no usable interface is a bad configuration.
      EXPECT_EQ(p.Wait(30s), 2) << label << p.Output();
      EXPECT_NE(p.Output().find(c.line), std::string::npos) << label << p.Output();
      EXPECT_EQ(p.Output().find("zem4d serving"), std::string::npos) << label;
    }
  }
  fs::remove_all(dir);
}

// A UDP socket on loopback standing in for a server that must hear nothing.
class Silent {
public:
  Silent() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = net::ToSockaddr({net::Ipv4(127, 0, 0, 1), 0});
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = net::FromSockaddr(sa).port;
  }
  ~Silent() { ::close(fd_); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  bool Heard() const {
    char b[1];
    return ::recv(fd_, b, sizeof b, MSG_DONTWAIT) >= 0;
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

struct Refusal {
  std::vector<std::string> args;
  std::string message;
};

TEST(LanStart, ClientRefusesWhatIsNotHere) {
  const Refusal cases[] = {
      {{"get", "--station", "192.0.2.77", "f"},
       "zem4: --station 192.0.2.77: no interface of this machine has that address"},
      {{"get", "--multicast", "--station", "192.0.2.77", "f"},
       "zem4: --station 192.0.2.77: no interface of this machine has that address"},
      {{"info", "--station", "192.0.2.77", "f"},
       "zem4: --station 192.0.2.77: no interface of this machine has that address"},
      {{"get", "--multicast", "--mcast-if", "nosuch0", "f"},
       "zem4: --mcast-if: no such interface: nosuch0"},
      {{"get", "--multicast", "--mcast-if", "192.0.2.77", "f"},
       "zem4: --mcast-if: no such interface: 192.0.2.77"},
  };
  fs::path dir = TestDir();
  for (const auto &c : cases) {
    Silent server;
    std::vector<std::string> argv = {ZEM4_CLI};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"--server", server.Address()});
    Process p("", argv, dir / "zem4.log");
    EXPECT_EQ(p.Wait(30s), 2) << c.message << "\n" << p.Output();
    EXPECT_NE(p.Output().find(c.message + "\n"), std::string::npos) << p.Output();
    EXPECT_FALSE(server.Heard()) << c.message;
    EXPECT_FALSE(fs::exists(dir / "f")) << c.message;
  }
  fs::remove_all(dir);
}

TEST(LanStart, InterfaceLookups) {
  const unsigned lo = ::if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  const struct {
    const char *text;
    unsigned named;
  } names[] = {{"lo", lo},     {"127.0.0.1", lo}, {"127.9.8.7", lo},
               {"nosuch0", 0}, {"192.0.2.77", 0}, {"239.1.2.3", 0},
               {"", 0},        {"0.0.0.0", 0},    {"a-name-far-too-long-for-an-interface", 0}};
  for (const auto &n : names)
    EXPECT_EQ(host::InterfaceNamed(n.text), n.named) << n.text;
  EXPECT_EQ(net::InterfaceWithAddress(net::Ipv4{127, 0, 0, 1}), lo);
  EXPECT_EQ(net::InterfaceWithAddress(net::Ipv4{127, 0, 0, 9}), lo); // loopback answers for 127/8
  EXPECT_EQ(net::InterfaceWithAddress(net::Ipv4{192, 0, 2, 77}), 0u);
  EXPECT_EQ(host::InterfaceName(lo), "lo");
  EXPECT_EQ(host::InterfaceName(0), "");
}

} // namespace
} // namespace zem4::lan
#endif
