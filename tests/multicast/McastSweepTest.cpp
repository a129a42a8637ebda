// Seeded variety: six members of mixed callers joining at staggered points,
// file sizes on the window and block edges (empty, one byte, one block, 64
// and 128 blocks), loss, duplication and reordering of 5 to 20 % and, for
// some seeds, datagrams handed over in fragments. Each seed is one fixed
// run; every member ends with EFI_SUCCESS and the exact file.
#include "tests/multicast/McastFixture.h"

namespace zem4::test::mcast {
namespace {

struct SweepCase {
  uint64_t seed;
  double rate;
  size_t size;
  bool staggered;
  double fragment;
};

std::string Name(const ::testing::TestParamInfo<SweepCase> &info) {
  const SweepCase &c = info.param;
  return "Seed" + std::to_string(c.seed) + "Size" + std::to_string(c.size) + "Rate" +
         std::to_string(int(c.rate * 100 + 0.5)) + (c.staggered ? "Staggered" : "Together") +
         (c.fragment > 0 ? "Fragments" : "");
}

class McastSweepTest : public SeededMcastTest<SweepCase> {};

TEST_P(McastSweepTest, EveryMemberEndsWithTheExactFile) {
  const SweepCase &c = GetParam();
  Bytes file = Serve("file.bin", c.size, static_cast<uint32_t>(c.seed));
  const size_t members = 6;
  ASSERT_TRUE(AddMembers(members, c.size, [&c](size_t i) {
    return (i + c.seed) % 3 == 0   ? Caller::Buffer
           : (i + c.seed) % 3 == 1 ? Caller::Stream
                                   : Caller::BufferAndCheck;
  }));
  host::FaultProfile profile = Lan();
  profile.loss = profile.duplicate = profile.reorder = c.rate;
  profile.fragment = c.fragment;
  host_->Net().SetDefaultProfile(profile);
  for (size_t i = 0; i < members; i++) {
    if (c.staggered && i > 0) {
      // Somewhere in the first two passes' worth of data.
      const uint64_t at = (c.seed * 7919 * (i + 1)) % (2 * BlocksOf(c.size) + 1);
      host_->RunUntil([&] { return DataSent() >= at; }, 30 * kSecond);
    }
    ASSERT_EQ(group_->Start((*group_)[i]), EFI_SUCCESS);
  }
  ASSERT_TRUE(group_->RunUntilDone(3600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  if (c.fragment > 0 && c.size > 0) {
    EXPECT_GT(host_->Net().Stats().fragmented, 0u);
  }
}

std::vector<SweepCase> Cases() {
  const size_t sizes[] = {
      0, 1, kBlock, 64 * kBlock, 64 * kBlock + 1, 128 * kBlock, 197 * kBlock + 5};
  std::vector<SweepCase> out;
  for (uint64_t seed = 7000; seed < 7028; seed++) {
    const double rate = seed % 3 == 0 ? 0.20 : seed % 3 == 1 ? 0.05 : 0.10;
    out.push_back({seed, rate, sizes[seed % 7], seed % 4 != 0, seed % 2 == 0 ? 0.3 : 0.0});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Seeds, McastSweepTest, ::testing::ValuesIn(Cases()), Name);

} // namespace
} // namespace zem4::test::mcast
