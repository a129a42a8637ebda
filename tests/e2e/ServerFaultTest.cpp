// A server whose answer cannot be used is the server's fault: exit 6 with a
// message that names the bad value, whatever the driver would make of it
// (before, a malformed OACK or multicast value gave 10 or 7 and an absurd
// size 9). The server here is a script on 127.0.0.1 that answers every
// request with one fixed OACK; the command finds the fault in the GetInfo it
// asks first, with the download's own options.
#include "tests/e2e/Cli.h"

#include <arpa/inet.h>

#include <atomic>
#include <thread>

namespace {

using namespace zem4::e2e;

// Answers each read request (opcode 1) with `reply`; ignores the rest.
class ScriptedServer {
public:
  explicit ScriptedServer(std::vector<uint8_t> reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = zem4::net::ToSockaddr({kLoopback, 0});
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = zem4::net::FromSockaddr(sa).port;
    thread_ = std::thread([this] { Loop(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  unsigned Requests() const { return requests_; }

private:
  void Loop() {
    uint8_t buf[2048];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0)
        continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n < 2 || buf[0] != 0 || buf[1] != 1)
        continue;
      if (zem4::net::FromSockaddr(from).address.b[0] != 127)
        continue; // only ever answers this machine
      ++requests_;
      ::sendto(fd_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
    }
  }

  std::vector<uint8_t> reply_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> requests_{0};
  std::thread thread_;
};

std::vector<uint8_t> Oack(const std::vector<std::pair<std::string, std::string>> &pairs) {
  std::vector<uint8_t> out = {0, 6};
  for (const auto &[name, value] : pairs) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    out.insert(out.end(), value.begin(), value.end());
    out.push_back(0);
  }
  return out;
}

struct FaultCase {
  const char *name;
  std::vector<uint8_t> reply;
  bool multicast;
  std::string message;
};

void PrintTo(const FaultCase &c, std::ostream *os) {
  *os << c.name;
}

const std::string kDigest(64, 'a');

class ServerFault : public TempDirTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ServerFault, IsExitSixWithItsReason) {
  const FaultCase &c = GetParam();
  ScriptedServer server(c.reply);
  for (const char *command : {"get", "info"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {command,          "f.bin",     "--server",
                                     server.Address(), "--timeout", "20"};
    if (c.multicast)
      args.push_back("--multicast");
    Result r = Run(args);
    EXPECT_EQ(r.code, kServerFault) << r.output;
    EXPECT_NE(r.output.find("zem4: " + c.message + "\n"), std::string::npos) << r.output;
    EXPECT_TRUE(Listing(Out()).empty());
  }
  EXPECT_GE(server.Requests(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ServerFault,
    ::testing::Values(
        FaultCase{"SizeNotANumber", Oack({{"tsize", "12x"}}), false,
                  "the server gave an impossible size: \"12x\""},
        FaultCase{"SizeBeyondBlockNumbers", Oack({{"tsize", "4432406248441"}, {"sha256", kDigest}}),
                  false, "the server gave an impossible size: \"4432406248441\""},
        FaultCase{"SizeBeyond64Bits", Oack({{"tsize", "99999999999999999999999"}}), false,
                  "the server gave an impossible size: \"99999999999999999999999\""},
        FaultCase{"DigestNotHex", Oack({{"tsize", "5"}, {"sha256", std::string(64, 'z')}}), false,
                  "the server gave a malformed SHA-256: \"" + std::string(64, 'z') + "\""},
        FaultCase{"GroupNotMulticast", Oack({{"tsize", "5000"}, {"multicast", "10.1.2.3,5000,1"}}),
                  true, "the server's multicast answer cannot be used: \"10.1.2.3,5000,1\""},
        FaultCase{"GroupPortZero", Oack({{"tsize", "5000"}, {"multicast", "239.1.2.3,0,1"}}), true,
                  "the server's multicast answer cannot be used: \"239.1.2.3,0,1\""},
        FaultCase{"GroupRoleTwo", Oack({{"tsize", "5000"}, {"multicast", "239.1.2.3,5000,2"}}),
                  true, "the server's multicast answer cannot be used: \"239.1.2.3,5000,2\""},
        FaultCase{"GroupFieldMissing", Oack({{"tsize", "5000"}, {"multicast", "239.1.2.3,5000"}}),
                  true, "the server's multicast answer cannot be used: \"239.1.2.3,5000\""},
        FaultCase{"PairCutShort",
                  {0, 6, 't', 's', 'i', 'z', 'e', 0, '1'},
                  false,
                  "the server's option acknowledgement is malformed"}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

} // namespace
