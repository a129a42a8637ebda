// What one pass sends: the blocks a client listed, in ascending order, and the
// mapping from a pass's Sequence (1, 2, ...) to the file block it carries.
#pragma once

#include "server/engine/Packets.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zem4::server {

// Blocks of a file of Size bytes: every full block, then one short block,
// which is empty when the size is a multiple of the block size (so a 0-byte
// file is one empty block).
uint32_t BlockCount(uint64_t Size);
// Data bytes carried by Block (1-based) of a file of Size bytes.
uint32_t BlockLength(uint64_t Size, uint32_t Block);

class PassSchedule {
public:
  PassSchedule() = default;
  // Sorts, merges and clips the listed ranges to 1..TotalBlocks. A list that
  // names no existing block becomes the last block alone, so the client
  // still learns where the file ends.
  static PassSchedule FromRanges(std::span<const BlockRange> Listed, uint32_t TotalBlocks);
  // The whole file, Sequence == Block.
  static PassSchedule WholeFile(uint32_t TotalBlocks);

  uint32_t Count() const { return Total; }
  // Block sent with Sequence Seq (1 <= Seq <= Count()).
  uint32_t BlockAt(uint32_t Seq) const;
  const std::vector<BlockRange> &Ranges() const { return Merged; }

private:
  std::vector<BlockRange> Merged;
  std::vector<uint32_t> FirstSeq; // Sequence of each range's first block
  uint32_t Total = 0;
};

} // namespace zem4::server
