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

// One file, "f", in memory and read through the read-ahead; Count sees the
// reads that reach the file.
class AheadOfFile : public ::testing::Test {
protected:
  std::shared_ptr<OpenFile> Open(const std::vector<uint8_t> &Data) {
    Memory.Add("f", Data);
    OpenResult R = Ahead.Open("f");
    EXPECT_TRUE(R.File);
    return R.File;
  }
  // Reads `Size` bytes at `Offset` and says whether they are `Expected`'s.
  static bool ReadsAs(OpenFile &File, uint64_t Offset, size_t Size,
                      const std::vector<uint8_t> &Expected) {
    std::vector<uint8_t> Got(Size, 0xEE);
    return File.ReadAt(Offset, Got) &&
           std::equal(Got.begin(), Got.end(), Expected.begin() + static_cast<long>(Offset));
  }
  MemoryFileSource Memory;
  Counting Count{Memory};
  ReadAheadSource Ahead{Count};
};

class ReadAhead : public AheadOfFile, public ::testing::WithParamInterface<Pattern> {};

TEST_P(ReadAhead, GivesTheFilesBytesWithFewReads) {
  const Pattern &P = GetParam();
  const std::vector<uint8_t> Data = Content(P.FileBlocks * Block + 77, 5);
  auto File = Open(Data);
  ASSERT_TRUE(File);
  std::vector<uint32_t> Order = P.Blocks;
  if (Order.empty()) {
    Order.resize(P.FileBlocks + 1);
    std::iota(Order.begin(), Order.end(), 1u);
  }
  for (uint32_t B : Order) {
    SCOPED_TRACE(B);
    if (P.CheckEveryHalf && (B - 1) % Half == 0) {
      ASSERT_TRUE(File->Unchanged());
    }
    const uint64_t Offset = (B - 1) * Block;
    EXPECT_TRUE(ReadsAs(*File, Offset, std::min<uint64_t>(Block, Data.size() - Offset), Data));
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

using ReadAheadChecks = AheadOfFile;

TEST_F(ReadAheadChecks, TheChangeCheckDropsWhatWasReadAhead) {
  const std::vector<uint8_t> Before = Content(10 * Block, 1);
  auto File = Open(Before);
  ASSERT_TRUE(File);
  ASSERT_TRUE(ReadsAs(*File, 0, Block, Before));
  const std::vector<uint8_t> Changed = Content(10 * Block, 2);
  Memory.Replace("f", Changed);
  // Until the engine checks, the chunk read before the change is what it has.
  EXPECT_TRUE(ReadsAs(*File, Block, Block, Before));
  File->Unchanged();
  EXPECT_TRUE(ReadsAs(*File, 2 * Block, Block, Changed));
}

TEST_F(ReadAheadChecks, BeyondTheEndIsRefusedAndTheEmptyLastBlockIsThere) {
  auto File = Open(Content(2 * Block, 3));
  ASSERT_TRUE(File);
  std::vector<uint8_t> Got(Block);
  EXPECT_TRUE(File->ReadAt(0, Got));
  EXPECT_TRUE(File->ReadAt(2 * Block, std::span<uint8_t>()));
  EXPECT_FALSE(File->ReadAt(2 * Block, Got));
  EXPECT_FALSE(File->ReadAt(Block + 1, Got));
  EXPECT_EQ(Ahead.Open("missing").Error, OpenError::NotFound);
}

} // namespace
} // namespace zem4::server
