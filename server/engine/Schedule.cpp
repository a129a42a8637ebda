#include "server/engine/Schedule.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>

namespace zem4::server {

uint32_t BlockCount(uint64_t Size) {
  return static_cast<uint32_t>(Size / ZEM4_BLOCK_SIZE + 1);
}

uint32_t BlockLength(uint64_t Size, uint32_t Block) {
  uint64_t Start = uint64_t{Block - 1} * ZEM4_BLOCK_SIZE;
  if (Block == 0 || Start > Size) {
    return 0;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(ZEM4_BLOCK_SIZE, Size - Start));
}

PassSchedule PassSchedule::FromRanges(std::span<const BlockRange> Listed, uint32_t TotalBlocks) {
  std::vector<BlockRange> Clipped;
  Clipped.reserve(Listed.size());
  for (BlockRange R : Listed) {
    R.First = std::max<uint32_t>(R.First, 1);
    R.Last = std::min(R.Last, TotalBlocks);
    if (R.First <= R.Last) {
      Clipped.push_back(R);
    }
  }
  std::sort(Clipped.begin(), Clipped.end(),
            [](const BlockRange &A, const BlockRange &B) { return A.First < B.First; });
  PassSchedule S;
  for (const BlockRange &R : Clipped) {
    if (!S.Merged.empty() && uint64_t{R.First} <= uint64_t{S.Merged.back().Last} + 1) {
      S.Merged.back().Last = std::max(S.Merged.back().Last, R.Last);
    } else {
      S.Merged.push_back(R);
    }
  }
  if (S.Merged.empty()) {
    S.Merged.push_back({TotalBlocks, TotalBlocks});
  }
  uint64_t Next = 1;
  for (const BlockRange &R : S.Merged) {
    S.FirstSeq.push_back(static_cast<uint32_t>(Next));
    Next += uint64_t{R.Last} - R.First + 1;
  }
  S.Total = static_cast<uint32_t>(Next - 1);
  return S;
}

PassSchedule PassSchedule::WholeFile(uint32_t TotalBlocks) {
  BlockRange All{1, TotalBlocks};
  return FromRanges(std::span<const BlockRange>(&All, 1), TotalBlocks);
}

uint32_t PassSchedule::BlockAt(uint32_t Seq) const {
  auto It = std::upper_bound(FirstSeq.begin(), FirstSeq.end(), Seq);
  size_t Index = static_cast<size_t>(It - FirstSeq.begin()) - 1;
  return Merged[Index].First + (Seq - FirstSeq[Index]);
}

} // namespace zem4::server
