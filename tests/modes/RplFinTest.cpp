// RPL mode with RPLACK pacing, and FIN in every state.
#include "tests/modes/ModesFixture.h"

namespace zem4::test {
namespace {

// The ranges an RPL asks for, neighbouring ones joined.
std::vector<std::pair<uint32_t, uint32_t>> RangesOf(const Bytes &rpl) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (size_t at = 10; at + 8 <= rpl.size(); at += 8) {
    uint32_t first = rpl[at] | rpl[at + 1] << 8 | rpl[at + 2] << 16 | uint32_t(rpl[at + 3]) << 24;
    uint32_t last =
        rpl[at + 4] | rpl[at + 5] << 8 | rpl[at + 6] << 16 | uint32_t(rpl[at + 7]) << 24;
    if (!out.empty() && out.back().second + 1 == first) {
      out.back().second = last;
    } else {
      out.emplace_back(first, last);
    }
  }
  return out;
}

class RplFinTest : public ModesFixture {
protected:
  Bytes Full(uint32_t sequence, uint32_t block) {
    return Data8Packet(sequence, block, BlockOf(file_, block));
  }
  // Pass 1 hears only the even blocks 2, 4, ..., 2 * count (full ones): the
  // missing list then holds {1}, {3}, ..., {2 * count - 1}, {2 * count + 1..}.
  void EvenBlocksThenFin(uint32_t count) {
    EnterActive(Full(1, 2));
    for (uint32_t s = 2; s <= count; s++) {
      FromServer(Full(s, 2 * s));
    }
    Sent();
    FromServer(FinPacket(0));
  }
  Bytes file_ = MakeFile(400 * 1032);
};

TEST_F(RplFinTest, FinBeforeTheOackChangesNothing) {
  Start();
  FromServer(FinPacket(0));
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_TRUE(Sent().empty());
  // The unicast receive is still posted: the OACK gets through.
  Accept();
}

TEST_F(RplFinTest, FinInRplStateStartsANewPassWhileTheLastBlockIsUnknown) {
  Start();
  Accept();
  FromServer(FinPacket(0));
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(Probe().Download()->Mode, ZEM4_MODE_INIT);
  std::vector<host::Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload, RrqPacket("file.bin"));
  EXPECT_EQ(sent[0].dstPort, kServerPort); // the request goes where the first one went
  // Init's timer runs again for the request.
  RunFor(3 * kSecond);
  EXPECT_EQ(SentOne(), RrqPacket("file.bin"));
}

TEST_F(RplFinTest, FinInTimeWaitChangesNothing) {
  Start();
  Accept();
  FromServer(ErrorPacket(1, "x")); // closing now
  ASSERT_EQ(Probe().State(), TransferState::TimeWait);
  FromServer(FinPacket(0));
  EXPECT_TRUE(Sent().empty());
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
}

TEST_F(RplFinTest, FinFlushesRunsAndCompletesWhenNothingUpToTheLastBlockIsMissing) {
  // Slots 0, 1, 2 and 5 hold blocks 1, 2, 3 and 6; 4 and 5 are lost.
  Start(Caller::BufferAndCheck, 5 * 1032 + 100);
  EnterActive(Full(1, 1));
  FromServer(Full(2, 2));
  FromServer(Full(3, 3));
  FromServer(Data8Packet(6, 6, 100, 0x66));
  EXPECT_EQ(Probe().LastBlock(), 6);
  FromServer(FinPacket(0));
  ASSERT_EQ(sink_.runs.size(), 2u);
  EXPECT_EQ(sink_.runs[0].size(), 3u * 1032);
  EXPECT_EQ(sink_.runs[1], Bytes(100, 0x66));
  // 4 and 5 are missing: a new pass.
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(Probe().WindowBase(), 1u);
  EXPECT_EQ(Probe().SlotFilled(5), 0);

  Sent();
  FromServer(OackPacket());
  EXPECT_EQ(SentOne(), RplPacket(1, {{4, 5}, {7, 0xFFFFFFFFu}}));
  // The repair pass numbers its packets from 1 again.
  FromServer(Full(1, 4));
  FromServer(Full(2, 5));
  FromServer(FinPacket(0));
  ASSERT_EQ(sink_.runs.size(), 3u);
  EXPECT_EQ(sink_.runs[2].size(), 2u * 1032);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  Bytes expected(file_.begin(), file_.begin() + 5 * 1032);
  expected.insert(expected.end(), 100, 0x66);
  EXPECT_TRUE(buffer_ == expected);
}

TEST_F(RplFinTest, StreamGetsTheRepairedFileInOrder) {
  Bytes small(file_.begin(), file_.begin() + 6 * 1032 + 7);
  file_ = small;
  Start(Caller::Stream);
  EnterActive(Full(1, 1));
  FromServer(Full(2, 2));
  FromServer(Full(4, 4)); // 3 lost
  FromServer(Full(5, 5));
  FromServer(Full(6, 6));
  FromServer(Full(7, 7));
  FromServer(FinPacket(0));
  // Only what continues the file was handed over; 4 to 7 stay missing.
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_EQ(sink_.runs[0].size(), 2u * 1032);
  Sent();
  FromServer(OackPacket());
  // The blocks handed back to the list make it whole again from block 3 on.
  EXPECT_EQ(RangesOf(SentOne()), (std::vector<std::pair<uint32_t, uint32_t>>{{3, 0xFFFFFFFFu}}));
  for (uint32_t b = 3; b <= 7; b++) {
    FromServer(Full(b - 2, b));
  }
  FromServer(FinPacket(0));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_TRUE(sink_.All() == file_);
}

TEST_F(RplFinTest, RepairPassListsMoreThan129RangesPacedByRplAck) {
  Start(Caller::Buffer, 400 * 1032);
  EvenBlocksThenFin(140);
  ASSERT_EQ(Probe().State(), TransferState::RrqSent);
  ASSERT_EQ(SentOne(), RrqPacket("file.bin"));

  FromServer(OackPacket());
  std::vector<std::pair<uint32_t, uint32_t>> first, second;
  for (uint32_t b = 1; b <= 257; b += 2) {
    first.emplace_back(b, b);
  }
  for (uint32_t b = 259; b <= 279; b += 2) {
    second.emplace_back(b, b);
  }
  second.emplace_back(281, 0xFFFFFFFFu);
  ASSERT_EQ(first.size(), 129u);
  Bytes rpl1 = SentOne();
  EXPECT_EQ(rpl1.size(), 1042u);
  EXPECT_EQ(rpl1, RplPacket(1, first));
  EXPECT_FALSE(Probe().RplListSent());

  // Out of sequence: logged, ignored.
  FromServer(RplAckPacket(3));
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(CountLog("Zem4RrqRplRcvRplAck: ignore a unexpected data block(3/2)\n"), 1u);

  FromServer(RplAckPacket(2));
  EXPECT_EQ(SentOne(), RplPacket(2, second));
  EXPECT_TRUE(Probe().RplListSent());
  EXPECT_EQ(Probe().NextBlock(), 3u);
  // The list is out: later RPLACKs change nothing; the timer repeats RPL 2.
  FromServer(RplAckPacket(3));
  EXPECT_TRUE(Sent().empty());
  RunFor(3 * kSecond);
  EXPECT_EQ(SentOne(), RplPacket(2, second));

  // The repair data: Sequence from 1, the missing odd blocks.
  uint32_t s = 1;
  for (uint32_t b = 1; b <= 279; b += 2) {
    FromServer(Full(s++, b));
  }
  FromServer(Data8Packet(s, 281, {}));
  FromServer(FinPacket(0));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_TRUE(std::equal(file_.begin(), file_.begin() + 280 * 1032, buffer_.begin()));
}

TEST_F(RplFinTest, ExactlyOneFullRplBringsAnEmptySecondOne) {
  Start(Caller::Buffer, 400 * 1032);
  // 128 even blocks leave 129 ranges: {1}, {3}, ..., {255}, {257..}.
  EvenBlocksThenFin(128);
  Sent();
  FromServer(OackPacket());
  Bytes rpl1 = SentOne();
  EXPECT_EQ(rpl1.size(), 1042u);
  EXPECT_FALSE(Probe().RplListSent());
  FromServer(RplAckPacket(2));
  EXPECT_EQ(Hex(SentOne()), "00 0a 00 00 00 02 00 00 00 00");
  EXPECT_TRUE(Probe().RplListSent());
}

TEST_F(RplFinTest, RplTimerGivesUpWithTooManyTimeouts) {
  Start();
  Accept();
  host::Time100ns accepted = Now();
  ASSERT_TRUE(RunUntil([&] { return Probe().State() == TransferState::ErrorSent; }, 400 * kSecond));
  std::vector<host::Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 101u); // 100 repeats of RPL 1, then the error
  EXPECT_EQ(sent.back().payload, ErrorPacket(0, "Too many timeouts"));
  EXPECT_EQ(sent.back().dstPort, kDataPort);
  EXPECT_EQ(CountLog("Zem4RrqRplTimer: too many retries to send request\n"), 1u);
  EXPECT_NEAR(double(Now() - accepted), double(303 * kSecond), double(kMs));
  // Data meanwhile hears the error again.
  FromServer(Full(1, 1));
  EXPECT_EQ(SentOne(), ErrorPacket(0, "Too many timeouts"));
  ASSERT_TRUE(RunToEnd(5 * kSecond));
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
}

TEST_F(RplFinTest, FinWhileTheErrorLingersFlushesAndMayComplete) {
  Start(Caller::Buffer, 2 * 1032);
  EnterActive(Full(1, 1));
  FromServer(Data8Packet(2, 2, 5, 0x22));
  ASSERT_TRUE(RunUntil([&] { return Probe().State() == TransferState::ErrorSent; }, 400 * kSecond));
  FromServer(FinPacket(0));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_TRUE(std::equal(file_.begin(), file_.begin() + 1032, buffer_.begin()));
  EXPECT_EQ(buffer_[1032], 0x22);
}

TEST_F(RplFinTest, RefusalAtFinEndsTheTransferWithoutAnswer) {
  sink_.refuseAt = 0;
  sink_.answer = EFI_ABORTED;
  Start();
  EnterActive(Full(1, 1));
  Sent();
  FromServer(FinPacket(0));
  EXPECT_EQ(CountLog("Zem4RrqPassiveRcvData: failed to save data\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqRxCallback: FIN packet processing returns Aborted.\n"), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_TRUE(Sent().empty());
}

class EmptyListFinTest : public ModesFixture {};

// Every block number arrived: the list has no first range at all.
TEST_F(EmptyListFinTest, EmptyListCompletesOnceTheLastBlockWasSeen) {
  Start(Caller::Stream);
  EnterActive(Data8Packet(1, 1, 7, 0x17));
  ASSERT_EQ(Probe().LastBlock(), 1);
  Zem4RrqFreeMissing(Instance());
  FromServer(FinPacket(0));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(sink_.All(), Bytes(7, 0x17));
}

TEST_F(EmptyListFinTest, EmptyListWithoutTheLastBlockAsksAgain) {
  Start(Caller::Stream);
  EnterActive(Data8Packet(1, 1, 1032, 0x17));
  ASSERT_EQ(Probe().LastBlock(), -1);
  Zem4RrqFreeMissing(Instance());
  Sent();
  FromServer(FinPacket(0));
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(SentOne(), RrqPacket("file.bin"));
}

} // namespace
} // namespace zem4::test
