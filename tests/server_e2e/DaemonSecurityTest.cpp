// zem4d against hostile neighbours on loopback: a second process on its
// port, and clients that stop half way.
#include "tests/server_e2e/DaemonHarness.h"

namespace zem4::server::testing {
namespace {

class DaemonSecurity : public DaemonFixture {
protected:
  // A port that was free a moment ago.
  static uint16_t FreePort() {
    int Fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0);
    socklen_t Len = sizeof A;
    getsockname(Fd, reinterpret_cast<sockaddr *>(&A), &Len);
    close(Fd);
    return ntohs(A.sin_port);
  }

  std::vector<std::string> ArgsOnPort(uint16_t Port) {
    auto A = Args();
    auto It = std::find(A.begin(), A.end(), "--port");
    *(It + 1) = std::to_string(Port);
    return A;
  }
};

TEST_F(DaemonSecurity, NoOneElseCanTakeTheRequestPort) {
  const uint16_t Port = FreePort();
  DaemonProcess D(ArgsOnPort(Port));
  ASSERT_EQ(D.WaitForPort(), Port) << D.Log;
  // A local process asking to share the address, as an impostor would.
  for (int Opt : {SO_REUSEADDR, SO_REUSEPORT}) {
    int Fd = socket(AF_INET, SOCK_DGRAM, 0);
    int One = 1;
    setsockopt(Fd, SOL_SOCKET, Opt, &One, sizeof One);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    A.sin_port = htons(Port);
    EXPECT_NE(bind(Fd, reinterpret_cast<sockaddr *>(&A), sizeof A), 0) << "option " << Opt;
    EXPECT_EQ(errno, EADDRINUSE);
    close(Fd);
  }
  // A second zem4d on the same port fails at start, says why, exits 1.
  DaemonProcess Second(ArgsOnPort(Port));
  EXPECT_EQ(Second.WaitExit(), 1) << Second.Log;
  EXPECT_NE(Second.Log.find("cannot listen on 127.0.0.1:" + std::to_string(Port) +
                            ": Address already in use"),
            std::string::npos)
      << Second.Log;
  ASSERT_EQ(D.Terminate(), 0);
}

} // namespace
} // namespace zem4::server::testing
