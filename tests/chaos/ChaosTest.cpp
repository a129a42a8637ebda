// The CI run of the seeded re-entrant caller, and the checks that keep the
// harness honest: one seed reproduces its run, and a harness that expects the
// wrong thing is caught by its own oracle.
#include "tests/chaos/ChaosRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zem4::test::chaos {
namespace {

// The fixed range CI runs; ZEM4_CHAOS_SEEDS=FIRST:LAST replaces it.
constexpr uint64_t kCiFirst = 1;
constexpr uint64_t kCiLast = 600;

TEST(Chaos, CiSeedRange) {
  uint64_t first = kCiFirst, last = kCiLast;
  if (const char *env = std::getenv("ZEM4_CHAOS_SEEDS"); env != nullptr && *env != '\0') {
    ASSERT_TRUE(ParseSeedRange(env, first, last)) << "ZEM4_CHAOS_SEEDS=" << env;
  }
  RangeOptions options;
  const RangeReport report = RunRange(first, last, options);
  std::printf("%s\n", Summary(report).c_str());
  for (const auto &[seed, why] : report.failures) {
    ADD_FAILURE() << "seed " << seed << ": " << why << "\n  reproduce: test_chaos --seeds " << seed;
  }
  // Only the fixed range must reach every pair; a chosen range may be small.
  const bool ciRange = first == kCiFirst && last == kCiLast;
  for (const auto &missing : report.missing) {
    if (ciRange) {
      ADD_FAILURE() << "no seed of the CI range reached " << missing;
    } else {
      std::printf("not reached: %s\n", missing.c_str());
    }
  }
  EXPECT_GT(report.successes, report.seeds) << "downloads that ended with the exact file";
}

TEST(Chaos, OneSeedReproducesItsRun) {
  for (uint64_t seed : {3u, 11u, 29u}) {
    const SeedResult a = RunSeed(seed);
    const SeedResult b = RunSeed(seed);
    EXPECT_GT(a.trace.size(), 5u) << "seed " << seed;
    EXPECT_EQ(a.trace, b.trace) << "seed " << seed;
    EXPECT_EQ(a.failure, b.failure) << "seed " << seed;
    EXPECT_EQ(a.pairs, b.pairs) << "seed " << seed;
  }
}

TEST(Chaos, SeedRangeText) {
  struct Case {
    const char *text;
    bool ok;
    uint64_t first, last;
  };
  const Case cases[] = {
      {"1:20000", true, 1, 20000}, {"7", true, 7, 7},
      {"5:5", true, 5, 5},         {"9:3", false, 0, 0},
      {"", false, 0, 0},           {"1:", false, 0, 0},
      {":4", false, 0, 0},         {"1-4", false, 0, 0},
      {"x:2", false, 0, 0},        {"99999999999999999999:1", false, 0, 0},
  };
  for (const Case &c : cases) {
    uint64_t first = 0, last = 0;
    EXPECT_EQ(ParseSeedRange(c.text, first, last), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(first, c.first) << c.text;
      EXPECT_EQ(last, c.last) << c.text;
    }
  }
}

TEST(Chaos, RequiredPairsMatchByQualifiers) {
  const std::map<std::string, uint64_t> pairs = {
      {"DestroyChild@TimerCallback+AddrWait+Running", 2},
      {"ReadFileEvent@TokenNotify+NeedsAddress+Busy", 1},
      {"Poll@TimerNotify", 0},
  };
  EXPECT_TRUE(Reached("DestroyChild@TimerCallback+AddrWait", pairs));
  EXPECT_TRUE(Reached("DestroyChild@TimerCallback", pairs));
  EXPECT_FALSE(Reached("DestroyChild@TimerNotify+AddrWait", pairs));
  EXPECT_FALSE(Reached("ReadFileEvent@TokenNotify+NeedsAddress+Idle", pairs));
  EXPECT_FALSE(Reached("Poll@TimerNotify", pairs)) << "a count of zero is not reached";
}

// A harness that expects the wrong file, or forgets what aborts a transfer,
// must see its seeds fail with the matching complaint.
TEST(Chaos, OracleCatchesAWrongExpectation) {
  struct Case {
    Sabotage sabotage;
    const char *complaint;
  };
  const Case cases[] = {
      {Sabotage::WrongFile, "EFI_SUCCESS without the file"},
      {Sabotage::ForgetAborts, "EFI_ABORTED after nothing"},
  };
  for (const Case &c : cases) {
    RunOptions options;
    options.sabotage = c.sabotage;
    int caught = 0;
    for (uint64_t seed = 1; seed <= 40 && caught == 0; seed++) {
      const SeedResult result = RunSeed(seed, options);
      caught += result.failure.find(c.complaint) != std::string::npos;
    }
    EXPECT_GT(caught, 0) << "no seed complained: " << c.complaint;
  }
}

} // namespace
} // namespace zem4::test::chaos
