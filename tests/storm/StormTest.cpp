// Ten clients at once through the link model, by unicast and as one
// multicast group, one of them late, with and without loss: every client gets
// the exact file, the firmware ends clean, and the server's uplink carries a
// copy per client for unicast but, without loss, about two for the group (the
// second pass is the late joiner's). The benchmark runs the same at 4 MiB
// and up to a thousand clients; a megabyte keeps the sanitizer build quick.
#include "tests/storm/StormRig.h"

#include <gtest/gtest.h>

namespace zem4::test {
namespace {

constexpr size_t kFileSize = 1024 * 1024;
constexpr size_t kClients = 10;

struct StormCase {
  const char *name;
  bool multicast;
  double loss;
  size_t late;
};

class StormTest : public ::testing::TestWithParam<StormCase> {};

TEST_P(StormTest, EveryClientGetsTheExactFile) {
  const StormCase &c = GetParam();
  static const std::vector<uint8_t> file = StormFile(kFileSize);
  StormConfig config = StandardStorm(kClients, c.multicast, c.loss);
  config.lateJoiners = c.late;
  StormResult r = RunStorm(config, file);
  EXPECT_EQ(r.exact, kClients) << r.failure;
  EXPECT_EQ(r.failure, "");
  EXPECT_TRUE(r.findings.empty()) << ::testing::PrintToString(r.findings);
  const double copies = double(r.serverWireBytes) / double(file.size());
  if (c.multicast) {
    EXPECT_GE(r.groups, 1u);
    EXPECT_EQ(r.fallbacks, 0u);
    if (c.loss == 0) {
      // The group's pass and the late joiner's repair pass, headers included.
      EXPECT_EQ(r.passes, 2u);
      EXPECT_LT(copies, 2.2);
    }
  } else {
    EXPECT_EQ(r.groups, 0u);
    // Every client's copy crossed the server's uplink.
    EXPECT_GE(copies, double(kClients));
  }
}

INSTANTIATE_TEST_SUITE_P(TenClients, StormTest,
                         ::testing::Values(StormCase{"UnicastLate", false, 0.0, 1},
                                           StormCase{"UnicastLossyLate", false, 0.01, 1},
                                           StormCase{"MulticastLate", true, 0.0, 1},
                                           StormCase{"MulticastLossyLate", true, 0.01, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace zem4::test
