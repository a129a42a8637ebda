// zem4d's version and exit codes as a service manager sees them: 0 after a
// signal, 2 for a bad command line or configuration, 1 for a failure.
#include "tests/server_e2e/DaemonHarness.h"

namespace zem4::server::testing {
namespace {

class DaemonExit : public DaemonFixture {};

// A UDP port on 127.0.0.1 held by this test, so zem4d cannot have it.
struct TakenPort {
  ~TakenPort() { close(Fd); }
  int Fd = BoundSocket();
  uint16_t Port = LocalPort(Fd);
};

// The fixture's arguments with Extra appended; an option given there twice
// takes Extra's value instead (CLI11 refuses a repeated option).
std::vector<std::string> WithOverride(std::vector<std::string> Args,
                                      const std::vector<std::string> &Extra) {
  for (size_t I = 0; I < Extra.size(); ++I) {
    auto It = std::find(Args.begin(), Args.end(), Extra[I]);
    if (It != Args.end() && I + 1 < Extra.size() && It + 1 != Args.end()) {
      *(It + 1) = Extra[++I];
    } else {
      Args.push_back(Extra[I]);
    }
  }
  return Args;
}

const std::string kVersion = R"(\d+\.\d+\.\d+ \(commit [0-9A-Za-z._-]+\))";

TEST_F(DaemonExit, CommandLinesThatEndAtOnce) {
  TakenPort Taken;
  struct Case {
    const char *What;
    std::vector<std::string> Extra; // replaces or follows the fixture's arguments
    int Code;
    std::string Said; // regex searched in stdout and stderr
  };
  const Case Cases[] = {
      {"version", {"--version"}, 0, "^zem4d " + kVersion + "\n"},
      {"help names the program and the exit codes",
       {"--help"},
       0,
       "Usage: zem4d \\[OPTIONS\\][^]*Exit codes: 0 stopped by SIGINT or SIGTERM"},
      {"unknown option", {"--bogus"}, 2, "--bogus"},
      {"value out of range", {"--window", "0"}, 2, "--window"},
      {"not a number", {"--port", "http"}, 2, "--port"},
      {"group network not multicast", {"--mcast-net", "10.0.0.0/8"}, 2, "--mcast-net"},
      {"bind address not an address", {"--bind", "localhost.x"}, 2, "--bind"},
      {"no such user", {"--user", "zem4-no-such-user"}, 2, "no such user"},
      {"port taken", {"--port", std::to_string(Taken.Port)}, 1, "cannot listen on"},
      {"root missing", {"--root", (Root / "absent").string()}, 1, "cannot open root"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    auto Args = WithOverride(this->Args(), C.Extra);
    DaemonProcess D(Args, true);
    EXPECT_EQ(D.WaitExit(), C.Code) << D.Log;
    EXPECT_TRUE(std::regex_search(D.Log, std::regex(C.Said))) << D.Log;
    EXPECT_EQ(D.Log.find("serving"), std::string::npos) << D.Log;
  }
}

TEST_F(DaemonExit, StartLineCarriesTheVersionAndSignalsExitZero) {
  for (int Signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(Signal);
    DaemonProcess D(Args());
    ASSERT_NE(D.WaitForPort(), 0) << D.Log;
    EXPECT_TRUE(std::regex_search(
        D.Log, std::regex("zem4d serving .* on 127\\.0\\.0\\.1:\\d+, .*version " + kVersion)))
        << D.Log;
    kill(D.Pid, Signal);
    EXPECT_EQ(D.WaitExit(), 0) << D.Log;
  }
}

} // namespace
} // namespace zem4::server::testing
