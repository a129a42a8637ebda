// zem4d's read-ahead over the engine's files: every read gives exactly the
// file's bytes, a file read in order costs one read of the file per half
// window, scattered reads go to the file one by one, and the engine's check
// for a changed file drops what was read ahead.
#include "server/daemon/ReadAhead.h"

#include <gtest/gtest.h>

#include <numeric>

namespace zem4::server {
namespace {

// Counts the reads that reach the file.
class Counting final : public FileSource {
public:
  explicit Counting(FileSource &Inner) : Inner(Inner) {}
  OpenResult Open(std::string_view Name) override {
    OpenResult R = Inner.Open(Name);
    if (R.File) {
      R.File = std::make_shared<File>(std::move(R.File), Reads);
    }
    return R;
  }
  uint64_t Reads = 0;

private:
  class File final : public OpenFile {
  public:
    File(std::shared_ptr<OpenFile> Real, uint64_t &Reads) : Real(std::move(Real)), Reads(Reads) {}
    uint64_t Size() const override { return Real->Size(); }
    FileId Id() const override { return Real->Id(); }
    DigestResult Digest() override { return Real->Digest(); }
    bool Unchanged() override { return Real->Unchanged(); }
    bool ReadAt(uint64_t Offset, std::span<uint8_t> Out) override {
      ++Reads;
      return Real->ReadAt(Offset, Out);
    }

  private:
    std::shared_ptr<OpenFile> Real;
    uint64_t &Reads;
  };
  FileSource &Inner;
};

constexpr uint64_t Block = ZEM4_BLOCK_SIZE;
constexpr uint64_t Half = ZEM4_HALF_WINDOW_BLOCKS;

std::vector<uint8_t> Content(size_t Size, uint8_t Seed) {
  std::vector<uint8_t> D(Size);
  for (size_t I = 0; I < Size; ++I) {
    D[I] = static_cast<uint8_t>(I * 131 + Seed + I / 977);
  }
  return D;
}

struct Pattern {
  const char *Name;
  uint64_t FileBlocks;          // whole blocks; the file ends with 77 bytes more
  std::vector<uint32_t> Blocks; // read in this order (1-based); 0: the whole file in order
  bool CheckEveryHalf;          // Unchanged() before each half window of new data
  uint64_t ExpectedReads;
};

class ReadAhead : public ::testing::TestWithParam<Pattern> {};

TEST_P(ReadAhead, GivesTheFilesBytesWithFewReads) {
  const Pattern &P = GetParam();
  const std::vector<uint8_t> Data = Content(P.FileBlocks * Block + 77, 5);
  MemoryFileSource Memory;
  Memory.Add("f", Data);
  Counting Count(Memory);
  ReadAheadSource Ahead(Count);
  OpenResult R = Ahead.Open("f");
  ASSERT_TRUE(R.File);
  std::vector<uint32_t> Order = P.Blocks;
  if (Order.empty()) {
    Order.resize(P.FileBlocks + 1);
    std::iota(Order.begin(), Order.end(), 1u);
  }
  for (uint32_t B : Order) {
    SCOPED_TRACE(B);
    if (P.CheckEveryHalf && (B - 1) % Half == 0) {
      ASSERT_TRUE(R.File->Unchanged());
    }
    const uint64_t Offset = (B - 1) * Block;
    std::vector<uint8_t> Got(std::min<uint64_t>(Block, Data.size() - Offset), 0xEE);
    ASSERT_TRUE(R.File->ReadAt(Offset, Got));
    EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Data.begin() + Offset));
  }
  EXPECT_EQ(Count.Reads, P.ExpectedReads);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, ReadAhead,
    ::testing::Values(
        // 200 blocks and a short one: chunks at 1, 65, 129, 193.
        Pattern{"InOrder", 200, {}, false, 4}, Pattern{"InOrderChecked", 200, {}, true, 4},
        // A go-back inside the chunk costs nothing; one before it reads alone,
        // then the run goes on in chunks from there (a first read that is not
        // at the start is read alone too).
        Pattern{"GoBackInsideTheChunk", 200, {1, 2, 3, 4, 5, 3, 4, 5, 6}, false, 1},
        Pattern{"GoBackBeforeTheChunk", 200, {65, 66, 67, 10, 11, 12}, false, 4},
        // A repair's scattered blocks: one read each.
        Pattern{"Scattered", 200, {150, 7, 99, 3, 180}, false, 5},
        // A file smaller than a chunk, and its short last block.
        Pattern{"SmallFile", 3, {}, false, 1}),
    [](const ::testing::TestParamInfo<Pattern> &I) { return std::string(I.param.Name); });

TEST(ReadAheadChecks, TheChangeCheckDropsWhatWasReadAhead) {
  MemoryFileSource Memory;
  Memory.Add("f", Content(10 * Block, 1));
  ReadAheadSource Ahead(Memory);
  OpenResult R = Ahead.Open("f");
  ASSERT_TRUE(R.File);
  std::vector<uint8_t> Got(Block);
  ASSERT_TRUE(R.File->ReadAt(0, Got));
  const std::vector<uint8_t> Changed = Content(10 * Block, 2);
  Memory.Replace("f", Changed);
  // Until the engine checks, the chunk read before the change is what it has.
  ASSERT_TRUE(R.File->ReadAt(Block, Got));
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Content(10 * Block, 1).begin() + Block));
  R.File->Unchanged();
  ASSERT_TRUE(R.File->ReadAt(2 * Block, Got));
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Changed.begin() + 2 * Block));
}

TEST(ReadAheadChecks, BeyondTheEndIsRefusedAndTheEmptyLastBlockIsThere) {
  MemoryFileSource Memory;
  Memory.Add("f", Content(2 * Block, 3));
  ReadAheadSource Ahead(Memory);
  OpenResult R = Ahead.Open("f");
  ASSERT_TRUE(R.File);
  std::vector<uint8_t> Got(Block);
  EXPECT_TRUE(R.File->ReadAt(0, Got));
  EXPECT_TRUE(R.File->ReadAt(2 * Block, std::span<uint8_t>()));
  EXPECT_FALSE(R.File->ReadAt(2 * Block, Got));
  EXPECT_FALSE(R.File->ReadAt(Block + 1, Got));
  EXPECT_EQ(Ahead.Open("missing").Error, OpenError::NotFound);
}

} // namespace
} // namespace zem4::server
