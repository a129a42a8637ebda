// The missing-block list (both update forms, restore) and block saving.
#include "modes/Zem4Missing.h"
#include "transport/TransportFixture.h"
#include "zem4/Zem4Wire.h"

#include <utility>

using namespace zem4::test;
using Ranges = std::vector<std::pair<UINT32, UINT32>>;

namespace {

struct Run {
  UINT32 Length;
  std::vector<uint8_t> Data;
};
std::vector<Run> gRuns;
EFI_STATUS gCheckResult = EFI_SUCCESS;
bool gEndTransferInside = false;

EFI_STATUS EFIAPI RecordRun([[maybe_unused]] Zem4 *This, [[maybe_unused]] Zem4Token *Token,
                            UINT32 Length, VOID *Data) {
  const uint8_t *Bytes = static_cast<const uint8_t *>(Data);
  gRuns.push_back({Length, std::vector<uint8_t>(Bytes, Bytes + Length)});
  if (gEndTransferInside) {
    // What the transfer's finish does to every call-out on the stack.
    RecordRig::EndCallOuts(This);
  }
  return gCheckResult;
}

// Block b's bytes: a pattern no other block repeats.
std::vector<uint8_t> BlockBytes(UINT32 Block, UINT32 Length = ZEM4_BLOCK_SIZE) {
  std::vector<uint8_t> Bytes(Length);
  for (UINT32 Index = 0; Index < Length; Index++) {
    Bytes[Index] = static_cast<uint8_t>(Block * 31 + Index);
  }
  return Bytes;
}

// Consecutive blocks First.. laid out as the window holds them.
std::vector<uint8_t> RunBytes(UINT32 First, UINT32 Count, UINT32 LastLength = ZEM4_BLOCK_SIZE) {
  std::vector<uint8_t> All;
  for (UINT32 Index = 0; Index < Count; Index++) {
    auto Block = BlockBytes(First + Index, Index + 1 == Count ? LastLength : ZEM4_BLOCK_SIZE);
    All.insert(All.end(), Block.begin(), Block.end());
  }
  return All;
}

class MissingTest : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    MakeRrq();
    gRuns.clear();
    gCheckResult = EFI_SUCCESS;
    gEndTransferInside = false;
  }

  Ranges List() const {
    Ranges Out;
    LIST_ENTRY *Head = &Rrq->MissingList;
    for (LIST_ENTRY *Entry = Head->ForwardLink; Entry != Head; Entry = Entry->ForwardLink) {
      auto *Range = ZEM4_CR(Entry, Zem4MissingRange, Link);
      Out.emplace_back(Range->First, Range->Last);
    }
    return Out;
  }
  // The range the cursor designates; {0, 0} for the head.
  std::pair<UINT32, UINT32> CursorRange() const {
    if (Rrq->MissingCursor == &Rrq->MissingList) {
      return {0, 0};
    }
    auto *Range = ZEM4_CR(Rrq->MissingCursor, Zem4MissingRange, Link);
    return {Range->First, Range->Last};
  }
  void SetCursorOn(UINT32 First) {
    LIST_ENTRY *Head = &Rrq->MissingList;
    for (LIST_ENTRY *Entry = Head->ForwardLink; Entry != Head; Entry = Entry->ForwardLink) {
      if (ZEM4_CR(Entry, Zem4MissingRange, Link)->First == First) {
        Rrq->MissingCursor = Entry;
        return;
      }
    }
    FAIL() << "no range starts at " << First;
  }
  bool Take(UINT32 Block) {
    BOOLEAN WasMissing = FALSE;
    EXPECT_EQ(Zem4RrqSaveLostBlk(Record(), Block, &WasMissing), EFI_SUCCESS);
    return WasMissing;
  }
  bool TakeAtCursor(UINT32 Block) {
    BOOLEAN WasMissing = FALSE;
    EXPECT_EQ(Zem4RrqSaveLostBlkAtCursor(Record(), Block, &WasMissing), EFI_SUCCESS);
    return WasMissing;
  }
};

constexpr UINT32 kTop = 0xFFFFFFFFu;

} // namespace

TEST_F(MissingTest, WholeListUpdates) {
  EXPECT_EQ(List(), (Ranges{{1, kTop}}));
  EXPECT_TRUE(Take(1));
  EXPECT_EQ(List(), (Ranges{{2, kTop}}));
  EXPECT_EQ(Rig->ReceivedBlocks(), 1u);
  EXPECT_EQ(Rig->LostBlocks(), 0u);

  EXPECT_TRUE(Take(5));
  EXPECT_EQ(List(), (Ranges{{2, 4}, {6, kTop}}));
  EXPECT_EQ(Rig->LostBlocks(), 3u);
  EXPECT_TRUE(Take(4));
  EXPECT_EQ(List(), (Ranges{{2, 3}, {6, kTop}}));
  EXPECT_TRUE(Take(2));
  EXPECT_TRUE(Take(3));
  EXPECT_EQ(List(), (Ranges{{6, kTop}}));
  EXPECT_EQ(Rig->ReceivedBlocks(), 5u);
  EXPECT_EQ(Rig->LostBlocks(), 3u);

  // Repeats and block 0 change nothing, counters included.
  EXPECT_FALSE(Take(3));
  EXPECT_FALSE(Take(0));
  EXPECT_EQ(Rig->ReceivedBlocks(), 5u);
  EXPECT_TRUE(Take(kTop));
  EXPECT_EQ(List(), (Ranges{{6, kTop - 1}}));
  // The cursor is neither read nor moved.
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{0, 0}));
}

TEST_F(MissingTest, EmptyListHoldsNothing) {
  Zem4RrqFreeMissing(Record());
  EXPECT_TRUE(List().empty());
  EXPECT_FALSE(Take(7));
  EXPECT_FALSE(TakeAtCursor(7));
  EXPECT_EQ(Rig->ReceivedBlocks(), 0u);
}

TEST_F(MissingTest, CursorUpdates) {
  Take(1);
  Take(5);
  Take(4); // {2..3}, {6..top}
  SetCursorOn(2);
  // The search starts after the cursor: block 2 is not seen.
  EXPECT_FALSE(TakeAtCursor(2));
  EXPECT_EQ(List(), (Ranges{{2, 3}, {6, kTop}}));
  const UINT32 Lost = Rig->LostBlocks();
  EXPECT_TRUE(TakeAtCursor(9));
  EXPECT_EQ(List(), (Ranges{{2, 3}, {6, 8}, {10, kTop}}));
  EXPECT_EQ(Rig->LostBlocks(), Lost + 3);
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{6, 8}));
}

TEST_F(MissingTest, CursorFromTheHeadSkipsEarlierRanges) {
  Take(1);
  Take(5);
  Take(4);
  Rrq->MissingCursor = &Rrq->MissingList;
  EXPECT_TRUE(TakeAtCursor(7));
  EXPECT_EQ(List(), (Ranges{{2, 3}, {6, 6}, {8, kTop}}));
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{6, 6}));
  // Below the next range: the cursor stays just before it.
  EXPECT_FALSE(TakeAtCursor(7));
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{6, 6}));
  // The single-block range goes; the cursor falls back to its predecessor.
  Rrq->MissingCursor = &Rrq->MissingList;
  SetCursorOn(2);
  EXPECT_TRUE(TakeAtCursor(6));
  EXPECT_EQ(List(), (Ranges{{2, 3}, {8, kTop}}));
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{2, 3}));
  // First of a range: the cursor sits before it; the next search starts there.
  EXPECT_TRUE(TakeAtCursor(8));
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{2, 3}));
  EXPECT_TRUE(TakeAtCursor(9));
  // Past the last range: nothing, the cursor stays.
  SetCursorOn(10);
  EXPECT_FALSE(TakeAtCursor(5));
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{10, kTop}));
}

TEST_F(MissingTest, InOrderStreamAtTheCursorTakesOneStepPerBlock) {
  for (UINT32 Block = 1; Block <= 200; Block++) {
    ASSERT_TRUE(TakeAtCursor(Block));
  }
  EXPECT_EQ(List(), (Ranges{{201, kTop}}));
  EXPECT_EQ(CursorRange(), (std::pair<UINT32, UINT32>{0, 0}));
  EXPECT_EQ(Rig->ReceivedBlocks(), 200u);
}

TEST_F(MissingTest, FailedSplitChangesNothing) {
  Take(1);
  FailNext("AllocatePool");
  BOOLEAN WasMissing = TRUE;
  EXPECT_EQ(Zem4RrqSaveLostBlk(Record(), 10, &WasMissing), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(List(), (Ranges{{2, kTop}}));
  EXPECT_EQ(Rig->ReceivedBlocks(), 1u);
  EXPECT_EQ(Rig->LostBlocks(), 0u);
  FailNext("AllocatePool");
  EXPECT_EQ(Zem4RrqSaveLostBlkAtCursor(Record(), 10, &WasMissing), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(List(), (Ranges{{2, kTop}}));
}

TEST_F(MissingTest, WholeListUpdateNeverLeavesTheCursorOnAFreedRange) {
  Take(3); // {1..2}, {4..top}
  Take(1); // {2..2}, {4..top}
  SetCursorOn(2);
  EXPECT_TRUE(Take(2));
  EXPECT_EQ(List(), (Ranges{{4, kTop}}));
  // Designating the head now, so the next walk starts at {4..top}.
  EXPECT_EQ(Rrq->MissingCursor, &Rrq->MissingList);
  EXPECT_TRUE(TakeAtCursor(4));
}

TEST_F(MissingTest, RestorePutsBlocksBack) {
  for (UINT32 Block = 1; Block <= 20; Block++) {
    Take(Block);
  }
  Take(30); // {21..29}, {31..top}
  EXPECT_EQ(Rig->ReceivedBlocks(), 21u);
  ASSERT_EQ(Zem4RrqRestoreMissing(Record(), 5, 8), EFI_SUCCESS);
  EXPECT_EQ(List(), (Ranges{{5, 8}, {21, 29}, {31, kTop}}));
  EXPECT_EQ(Rig->ReceivedBlocks(), 17u);
  // Touching a range below grows it; one above grows downwards.
  ASSERT_EQ(Zem4RrqRestoreMissing(Record(), 9, 10), EFI_SUCCESS);
  ASSERT_EQ(Zem4RrqRestoreMissing(Record(), 18, 20), EFI_SUCCESS);
  EXPECT_EQ(List(), (Ranges{{5, 10}, {18, 29}, {31, kTop}}));
  // Overlaps count only what was not missing.
  const UINT32 Before = Rig->ReceivedBlocks();
  ASSERT_EQ(Zem4RrqRestoreMissing(Record(), 25, 40), EFI_SUCCESS);
  EXPECT_EQ(List(), (Ranges{{5, 10}, {18, 30}, {31, kTop}}));
  EXPECT_EQ(Rig->ReceivedBlocks(), Before - 1);
  ASSERT_EQ(Zem4RrqRestoreMissing(Record(), 0, 2), EFI_SUCCESS);
  EXPECT_EQ(List().front(), (std::pair<UINT32, UINT32>{1, 2}));
}

TEST_F(MissingTest, RestoreKeepsBlocksAfterTheCursorSearchable) {
  for (UINT32 Block = 1; Block <= 10; Block++) {
    TakeAtCursor(Block);
  }
  Take(20); // {11..19}, {21..top}
  SetCursorOn(11);
  // 20 touches {11..19}, but the cursor is on it: a range of its own, after it.
  ASSERT_EQ(Zem4RrqRestoreMissing(Record(), 20, 20), EFI_SUCCESS);
  EXPECT_TRUE(TakeAtCursor(20));
}

TEST_F(MissingTest, BufferCallersGetEveryBlockAtItsPlace) {
  std::vector<uint8_t> File(5 * ZEM4_BLOCK_SIZE, 0xEE);
  Token.Buffer = File.data();
  Token.BufferSize = File.size();
  auto Run34 = RunBytes(3, 2);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 3, Run34.data(), (UINT32)Run34.size()), EFI_SUCCESS);
  auto Run1 = RunBytes(1, 1);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 1, Run1.data(), (UINT32)Run1.size()), EFI_SUCCESS);
  EXPECT_TRUE(std::equal(Run1.begin(), Run1.end(), File.begin()));
  EXPECT_TRUE(std::equal(Run34.begin(), Run34.end(), File.begin() + 2 * ZEM4_BLOCK_SIZE));
  EXPECT_EQ(File[ZEM4_BLOCK_SIZE], 0xEE); // block 2 not written
  EXPECT_TRUE(gRuns.empty());             // no CheckPacket given

  // The last block may end exactly at the buffer's end; one byte more does not fit.
  auto Last = RunBytes(5, 1);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 5, Last.data(), (UINT32)Last.size()), EFI_SUCCESS);
  EXPECT_EQ(Zem4RrqSaveBlk(Record(), 6, Last.data(), 0), EFI_SUCCESS);
  EXPECT_EQ(Zem4RrqSaveBlk(Record(), 6, Last.data(), 1), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Rig->Status(), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Logs(), std::vector<std::string>{
                        "Zem4RrqSaveBlk: block 6 does not fit in the caller's buffer\r\n"});
  // Far beyond: no wrap-around of the offset either.
  EXPECT_EQ(Zem4RrqSaveBlk(Record(), kTop, Last.data(), 1), EFI_BUFFER_TOO_SMALL);
}

TEST_F(MissingTest, BufferCallersWithCheckPacketSeeEveryRun) {
  std::vector<uint8_t> File(3 * ZEM4_BLOCK_SIZE);
  Token.Buffer = File.data();
  Token.BufferSize = File.size();
  Token.CheckPacket = RecordRun;
  auto Run = RunBytes(2, 2, 7);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 2, Run.data(), (UINT32)Run.size()), EFI_SUCCESS);
  ASSERT_EQ(gRuns.size(), 1u);
  EXPECT_EQ(gRuns[0].Length, ZEM4_BLOCK_SIZE + 7);
  EXPECT_EQ(gRuns[0].Data, Run);

  gCheckResult = EFI_VOLUME_FULL;
  EXPECT_EQ(Zem4RrqSaveBlk(Record(), 1, Run.data(), ZEM4_BLOCK_SIZE), EFI_VOLUME_FULL);
  EXPECT_EQ(Rig->Status(), EFI_ABORTED);
  EXPECT_EQ(Logs(), std::vector<std::string>{
                        "Zem4RrqSaveBlk: user's check packet returns Volume Full\r\n"});
}

TEST_F(MissingTest, StreamsGetTheFileStrictlyInOrder) {
  Token.CheckPacket = RecordRun;
  for (UINT32 Block = 1; Block <= 12; Block++) {
    Take(Block);
  }
  auto Blocks1to4 = RunBytes(1, 4);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 1, Blocks1to4.data(), (UINT32)Blocks1to4.size()), EFI_SUCCESS);
  EXPECT_EQ(Zem4RrqNextSaveBlock(Record()), 5u);

  // 8..10 cannot go yet: dropped and missing again, nothing handed over.
  auto Blocks8to10 = RunBytes(8, 3);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 8, Blocks8to10.data(), (UINT32)Blocks8to10.size()),
            EFI_SUCCESS);
  EXPECT_EQ(gRuns.size(), 1u);
  EXPECT_EQ(List(), (Ranges{{8, 10}, {13, kTop}}));
  EXPECT_EQ(Rig->ReceivedBlocks(), 9u);

  // A run overlapping what went already hands over only the new part.
  auto Blocks3to6 = RunBytes(3, 4);
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 3, Blocks3to6.data(), (UINT32)Blocks3to6.size()), EFI_SUCCESS);
  ASSERT_EQ(gRuns.size(), 2u);
  EXPECT_EQ(gRuns[1].Data, RunBytes(5, 2));
  // A repeat hands over nothing.
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 2, Blocks1to4.data(), ZEM4_BLOCK_SIZE), EFI_SUCCESS);
  EXPECT_EQ(gRuns.size(), 2u);
  EXPECT_EQ(Zem4RrqNextSaveBlock(Record()), 7u);

  // The empty last block is handed over with length 0.
  ASSERT_EQ(Zem4RrqSaveBlk(Record(), 7, Blocks1to4.data(), 0), EFI_SUCCESS);
  ASSERT_EQ(gRuns.size(), 3u);
  EXPECT_EQ(gRuns[2].Length, 0u);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(MissingTest, NoSinkDropsTheData) {
  auto Run = RunBytes(1, 1);
  EXPECT_EQ(Zem4RrqSaveBlk(Record(), 1, Run.data(), (UINT32)Run.size()), EFI_SUCCESS);
  EXPECT_EQ(Zem4RrqNextSaveBlock(Record()), 1u);
}

TEST_F(MissingTest, ATransferEndedInsideCheckPacketIsNotTouched) {
  Token.CheckPacket = RecordRun;
  gEndTransferInside = true;
  gCheckResult = EFI_ABORTED;
  auto Run = RunBytes(1, 1);
  EXPECT_EQ(Zem4RrqSaveBlk(Record(), 1, Run.data(), (UINT32)Run.size()), ZEM4_TRANSFER_GONE);
  EXPECT_EQ(Rig->Status(), EFI_SUCCESS);
  EXPECT_TRUE(Logs().empty());
  Rig->ForgetCallOuts();
}

TEST_F(MissingTest, WindowFlushGoesInFileOrderAndSplitsAtJumps) {
  std::vector<uint8_t> Window(ZEM4_WINDOW_BYTES);
  Rig->SetWindow(Window.data());
  UINT32 SlotBlock[ZEM4_WINDOW_BLOCKS] = {};
  auto Put = [&](UINT32 Slot, UINT32 Block, UINT32 Length = ZEM4_BLOCK_SIZE) {
    auto Bytes = BlockBytes(Block, Length);
    std::copy(Bytes.begin(), Bytes.end(), Window.begin() + Slot * ZEM4_BLOCK_SIZE);
    Rig->FillSlot(Slot, Length);
    SlotBlock[Slot] = Block;
  };
  // A ring starting at slot 64: slots 126, 127 hold blocks 1, 2; slots 0, 1
  // blocks 3, 4 (wrap); slot 2 a block that was no longer missing; slots 5, 6
  // blocks 9, 10 with 10 short; slot 70 block 7; slot 71 holds block 7 again.
  Put(126, 1);
  Put(127, 2);
  Put(0, 3);
  Put(1, 4);
  Put(2, 99);
  SlotBlock[2] = 0;
  Put(5, 9);
  Put(6, 10, 100);
  Put(70, 7);
  Put(71, 7);
  std::vector<uint8_t> File(12 * ZEM4_BLOCK_SIZE);
  Token.Buffer = File.data();
  Token.BufferSize = File.size();
  Token.CheckPacket = RecordRun;

  ASSERT_EQ(Zem4RrqSaveSlots(Record(), 64, ZEM4_WINDOW_BLOCKS, SlotBlock), EFI_SUCCESS);
  ASSERT_EQ(gRuns.size(), 4u);
  EXPECT_EQ(gRuns[0].Data, RunBytes(1, 2)); // slots 126-127
  EXPECT_EQ(gRuns[1].Data, RunBytes(3, 2)); // slots 0-1, not joined across the wrap
  EXPECT_EQ(gRuns[2].Data, RunBytes(7, 1)); // once, though two slots hold it
  EXPECT_EQ(gRuns[3].Data, RunBytes(9, 2, 100));
  EXPECT_TRUE(
      std::equal(gRuns[3].Data.begin(), gRuns[3].Data.end(), File.begin() + 8 * ZEM4_BLOCK_SIZE));

  // A refusal stops the flush.
  gRuns.clear();
  gCheckResult = EFI_ABORTED;
  EXPECT_EQ(Zem4RrqSaveSlots(Record(), 0, ZEM4_WINDOW_BLOCKS, SlotBlock), EFI_ABORTED);
  EXPECT_EQ(gRuns.size(), 1u);
  Rig->SetWindow(nullptr);
}

TEST_F(MissingTest, AShortBlockEndsARun) {
  std::vector<uint8_t> Window(ZEM4_WINDOW_BYTES);
  Rig->SetWindow(Window.data());
  UINT32 SlotBlock[ZEM4_WINDOW_BLOCKS] = {};
  for (UINT32 Slot = 0; Slot < 3; Slot++) {
    Rig->FillSlot(Slot, Slot == 1 ? 10 : ZEM4_BLOCK_SIZE);
    SlotBlock[Slot] = Slot + 1;
  }
  Token.CheckPacket = RecordRun;
  ASSERT_EQ(Zem4RrqSaveSlots(Record(), 0, 64, SlotBlock), EFI_SUCCESS);
  ASSERT_EQ(gRuns.size(), 2u);
  EXPECT_EQ(gRuns[0].Length, ZEM4_BLOCK_SIZE + 10);
  EXPECT_EQ(gRuns[1].Length, ZEM4_BLOCK_SIZE);
  Rig->SetWindow(nullptr);
}
