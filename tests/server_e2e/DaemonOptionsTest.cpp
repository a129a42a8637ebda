// zem4d's command line becomes the engine's configuration.
#include "server/daemon/Daemon.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

namespace zem4::server {
namespace {

EngineConfig Parse(std::vector<std::string> Args) {
  DaemonOptions O;
  CLI::App App;
  AddDaemonOptions(App, O);
  std::reverse(Args.begin(), Args.end());
  App.parse(Args);
  return ToEngineConfig(O);
}

TEST(DaemonOptions, DefaultsAndEveryOption) {
  EngineConfig D = Parse({});
  EXPECT_EQ(D.ListenPort, 5568);
  EXPECT_EQ(D.Window, 64u);
  EXPECT_EQ(D.RetransmitTimeout, std::chrono::milliseconds(500));
  EXPECT_EQ(D.McastNetwork.ToString(), "239.255.0.0/16");
  EXPECT_EQ(D.McastPort, 5570);
  EXPECT_TRUE(D.MulticastEnabled);
  EXPECT_TRUE(D.Allow.empty());

  EngineConfig C = Parse({"--port",
                          "6000",
                          "--window",
                          "16",
                          "--timeout",
                          "250",
                          "--max-retries",
                          "3",
                          "--idle-timeout",
                          "9",
                          "--list-patience",
                          "7",
                          "--fin-count",
                          "2",
                          "--fin-interval",
                          "50",
                          "--max-sessions",
                          "5",
                          "--max-per-client",
                          "2",
                          "--max-groups",
                          "3",
                          "--max-active-passes",
                          "1",
                          "--mcast-net",
                          "239.1.2.0/24",
                          "--mcast-port",
                          "7000",
                          "--rate-limit",
                          "1000000",
                          "--allow",
                          "127.0.0.0/8",
                          "--allow",
                          "10.0.0.0/8",
                          "--no-multicast"});
  EXPECT_EQ(C.ListenPort, 6000);
  EXPECT_EQ(C.Window, 16u);
  EXPECT_EQ(C.RetransmitTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(C.MaxRetries, 3u);
  EXPECT_EQ(C.IdleTimeout, std::chrono::seconds(9));
  EXPECT_EQ(C.ListPatience, std::chrono::seconds(7));
  EXPECT_EQ(C.FinCount, 2u);
  EXPECT_EQ(C.FinInterval, std::chrono::milliseconds(50));
  EXPECT_EQ(C.MaxSessions, 5u);
  EXPECT_EQ(C.MaxPerClient, 2u);
  EXPECT_EQ(C.MaxGroups, 3u);
  EXPECT_EQ(C.MaxActivePasses, 1u);
  EXPECT_EQ(C.McastNetwork.ToString(), "239.1.2.0/24");
  EXPECT_EQ(C.McastPort, 7000);
  EXPECT_EQ(C.McastRateLimit, 1000000u);
  ASSERT_EQ(C.Allow.size(), 2u);
  EXPECT_EQ(C.Allow[1].ToString(), "10.0.0.0/8");
  EXPECT_FALSE(C.MulticastEnabled);
}

TEST(DaemonOptions, RefusesValuesThatMakeNoSense) {
  EXPECT_THROW(Parse({"--mcast-net", "10.0.0.0/8"}), std::invalid_argument); // not multicast
  EXPECT_THROW(Parse({"--mcast-net", "224.0.0.0/3"}),
               std::invalid_argument); // reaches past class D
  EXPECT_THROW(Parse({"--allow", "300.1.1.1/8"}), std::invalid_argument);
  EXPECT_THROW(Parse({"--window", "65"}), CLI::ValidationError);
  EXPECT_THROW(Parse({"--log-level", "loud"}), CLI::ValidationError);
}

} // namespace
} // namespace zem4::server
