// Whole unicast downloads through the real driver over a lossy network: the
// server sends again only what is missing, so a loss costs about one block,
// not the window behind it. Byte-exact copies, and a bound on the DATA8 sent
// that going back a window after every loss exceeds.
#include "tests/downloads/EngineDownloadFixture.h"

#include <cstdio>
#include <string>

namespace zem4::test {
namespace {

struct RetransmitCase {
  double loss;
  bool stream;
  uint64_t seed;
  double maxDataPerBlock; // DATA8 sent per block of the file (going back: 1.42 at 2 %, 1.95 at 5 %)
};

std::string Name(const ::testing::TestParamInfo<RetransmitCase> &info) {
  return std::string(info.param.stream ? "Stream" : "Buffer") + "Loss" +
         std::to_string(int(info.param.loss * 100)) + "Seed" + std::to_string(info.param.seed);
}

class RetransmitDownloadTest : public EngineDownloadFixture,
                               public ::testing::WithParamInterface<RetransmitCase> {};

TEST_P(RetransmitDownloadTest, ExactFileWithoutResendingWindows) {
  const RetransmitCase &c = GetParam();
  const size_t blocks = 600;
  Bytes file = MakeFile(blocks * 1032 + 100, uint32_t(c.seed));
  host::FaultProfile profile;
  profile.loss = c.loss;
  profile.delay = 5 * kMs; // a round trip of 10 ms: a window's worth in flight
  Net().SetDefaultProfile(profile);
  ASSERT_NO_FATAL_FAILURE(DownloadWhole(file, c.stream));
  EXPECT_GT(Net().Stats().lost, 0u) << "the loss was in play";
  const auto &stats = engine_->Engine().Stats();
  double perBlock = double(stats.DataDatagrams) / double(blocks + 1);
  std::printf("loss %.0f %%: %.3f DATA8 per block, %llu sent again, %.2f virtual s\n", c.loss * 100,
              perBlock, (unsigned long long)stats.Retransmissions,
              double(Fw().Now()) / double(kSecond));
  EXPECT_LE(perBlock, c.maxDataPerBlock);
}

INSTANTIATE_TEST_SUITE_P(Loss, RetransmitDownloadTest,
                         ::testing::Values(RetransmitCase{0.02, false, 11, 1.36},
                                           RetransmitCase{0.02, true, 12, 1.36},
                                           RetransmitCase{0.05, false, 13, 1.75},
                                           RetransmitCase{0.05, true, 14, 1.75}),
                         Name);

} // namespace
} // namespace zem4::test
