// The command line's gap count: each block that arrived after a later one,
// once, from the transfer's unicast port and the group its OACK names only.
#include "tools/Gaps.h"

#include <gtest/gtest.h>

namespace zem4::test {
namespace {

const host::Ipv4 kStation{127, 0, 0, 2}, kOther{127, 0, 0, 3}, kGroup{239, 1, 2, 3};

host::Datagram Data8(host::Ipv4 dst, uint16_t port, uint32_t block) {
  host::Datagram d{{127, 0, 0, 1}, 5568, dst, port, std::vector<uint8_t>(ZEM4_DATA8_HEADER_SIZE)};
  Zem4WirePutBe16(d.payload.data(), 0, ZEM4_OP_DATA8);
  Zem4WirePutBe32(d.payload.data(), ZEM4_DATA8_BLOCK_OFFSET, block);
  return d;
}

TEST(Gaps, EachLateBlockOnceFromItsOwnPortsOnly) {
  const std::pair<std::vector<uint32_t>, uint32_t> rows[] = {
      {{1, 2, 2, 3, 1, 0}, 0},
      {{1, 3, 4, 5, 6, 7, 2}, 1},
      {{1, 4, 5, 3, 3, 6, 2}, 2},
      {{5, 6, 7, 1, 2, 3, 4, 8}, 4}}; // in order with repeats; lost; lost twice; joined late
  for (const auto &[blocks, gaps] : rows) {
    cli::GapTap tap;
    cli::GapCount count;
    tap.Watch(kStation, 40000, &count);
    const char oack[] = "\0\6tsize\0009\0MultiCast\0239.1.2.3,1758,0";
    tap.Deliver(kStation, {{}, 0, kStation, 40000, std::vector<uint8_t>(oack, oack + sizeof oack)});
    for (size_t i = 0; i < blocks.size(); ++i) { // by turns unicast and group; not another's
      tap.Deliver(kStation, Data8(i % 2 ? kGroup : kStation, i % 2 ? 1758 : 40000, blocks[i]));
      tap.Deliver(kOther, Data8(kGroup, 1758, 1000 - blocks[i]));
      tap.Deliver(kStation, Data8(kGroup, 1759, 1000 - blocks[i]));
    }
    EXPECT_EQ(count.Gaps(), gaps) << ::testing::PrintToString(blocks);
  }
}

} // namespace
} // namespace zem4::test
