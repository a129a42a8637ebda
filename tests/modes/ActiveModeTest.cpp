// Active mode: the window, the ACK8 policy, half-window hand-over, retries.
#include "tests/modes/ModesFixture.h"

namespace zem4::test {
namespace {

class ActiveModeTest : public ModesFixture {
protected:
  Bytes Full(uint32_t sequence, uint32_t block) {
    return Data8Packet(sequence, block, BlockOf(file_, block));
  }
  // Active mode, then the rest of the first half window (blocks 2 to 64) in
  // order.
  void FirstHalfWindow() {
    ASSERT_NO_FATAL_FAILURE(EnterActive(Full(1, 1)));
    for (uint32_t s = 2; s <= 64; s++) {
      FromServer(Full(s, s));
    }
  }
  Bytes file_ = MakeFile(200 * 1032);
};

TEST_F(ActiveModeTest, InOrderStreamIsAcknowledgedOnEverySecondPacket) {
  Start();
  EnterActive(Full(1, 1));
  EXPECT_EQ(Hex(SentOne()), "00 09 00 00 00 02 00 00 00 40");
  FromServer(Full(2, 2));
  EXPECT_TRUE(Sent().empty());
  FromServer(Full(3, 3));
  EXPECT_EQ(SentOne(), Ack8Packet(4));
  FromServer(Full(4, 4));
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Probe().NextBlock(), 5u);
  EXPECT_EQ(Probe().RetryTimeout(), 200u);
  EXPECT_EQ(Probe().MaxRetry(), 1500u);
}

TEST_F(ActiveModeTest, OutOfOrderPacketsAreAcknowledgedAtOnce) {
  Start();
  EnterActive(Full(1, 1));
  for (uint32_t s = 2; s <= 4; s++) {
    FromServer(Full(s, s));
  }
  Sent();
  ASSERT_EQ(Probe().NextBlock(), 5u);
  UINT32 lostBefore = Progress().LostBlocks;

  FromServer(Full(7, 7)); // two ahead
  EXPECT_EQ(SentOne(), Ack8Packet(5));
  EXPECT_EQ(OutOfOrderSeen, 1);
  FromServer(Full(8, 8));
  EXPECT_EQ(SentOne(), Ack8Packet(5));
  FromServer(Full(5, 5)); // the in-order packet after the disturbance
  EXPECT_EQ(SentOne(), Ack8Packet(6));
  EXPECT_EQ(OutOfOrderSeen, 0);
  FromServer(Full(6, 6)); // jumps over 7 and 8
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Probe().NextBlock(), 9u);
  // 2 (Sequence 7) + 3 (Sequence 8) from the window, 2 from the list split at 7.
  EXPECT_EQ(Progress().LostBlocks - lostBefore, 7u);
}

TEST_F(ActiveModeTest, PacketsOutsideTheWindowAreRefusedWithAnImmediateAck) {
  Start();
  EnterActive(Full(1, 1));
  FromServer(Full(2, 2));
  Sent();
  // NextBlock 3: Sequence 3 + 63 is stored, 3 + 64 is not.
  FromServer(Full(66, 66));
  EXPECT_EQ(SentOne(), Ack8Packet(3));
  EXPECT_EQ(CountLog("Zem4RrqActiveRcvData: ignore an unexpected old data block(43/3)\n"), 0u);
  FromServer(Full(67, 67));
  EXPECT_EQ(SentOne(), Ack8Packet(3));
  EXPECT_EQ(CountLog("Zem4RrqActiveRcvData: ignore an unexpected old data block(43/3)\n"), 1u);
  FromServer(Full(2, 2)); // old
  EXPECT_EQ(SentOne(), Ack8Packet(3));
  EXPECT_EQ(CountLog("Zem4RrqActiveRcvData: ignore an unexpected old data block(2/3)\n"), 1u);
  EXPECT_EQ(Probe().NextBlock(), 3u);
}

TEST_F(ActiveModeTest, CompletedHalfWindowGoesToTheCallerInOneRun) {
  Start();
  EnterActive(Full(1, 1));
  // Block 64 comes last: the half completes only then.
  for (uint32_t s = 2; s <= 63; s++) {
    FromServer(Full(s, s));
  }
  FromServer(Full(65, 65));
  EXPECT_TRUE(sink_.runs.empty());
  FromServer(Full(64, 64));
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_EQ(sink_.runs[0].size(), 64u * 1032);
  EXPECT_TRUE(sink_.runs[0] == Bytes(file_.begin(), file_.begin() + 64 * 1032));
  EXPECT_EQ(Probe().WindowBase(), 65u);
  EXPECT_EQ(Probe().WindowStartSlot(), 64u);
  EXPECT_EQ(Probe().NextBlock(), 66u);
  EXPECT_EQ(Probe().FirstHalfLeft(), 63u);

  for (uint32_t s = 66; s <= 128; s++) {
    FromServer(Full(s, s));
  }
  ASSERT_EQ(sink_.runs.size(), 2u);
  EXPECT_TRUE(sink_.runs[1] == Bytes(file_.begin() + 64 * 1032, file_.begin() + 128 * 1032));
  EXPECT_EQ(Probe().WindowStartSlot(), 0u);
  EXPECT_EQ(Probe().WindowBase(), 129u);
}

TEST_F(ActiveModeTest, BufferCallerGetsEveryBlockAtItsOffset) {
  Start(Caller::Buffer, 200 * 1032);
  FirstHalfWindow();
  EXPECT_TRUE(std::equal(file_.begin(), file_.begin() + 64 * 1032, buffer_.begin()));
  EXPECT_EQ(buffer_[64 * 1032], 0xEE);
}

TEST_F(ActiveModeTest, TimerAcknowledgesWhatIsOwedThenGivesUpAfter1500Periods) {
  Start();
  EnterActive(Full(1, 1));
  FromServer(Full(2, 2)); // owes an ACK8 now
  Sent();
  host::Time100ns last = Now();
  RunFor(200 * kMs);
  EXPECT_EQ(SentOne(), Ack8Packet(3));
  // Nothing owed afterwards: the timer only counts.
  RunFor(10 * kSecond);
  EXPECT_TRUE(Sent().empty());

  ASSERT_TRUE(RunToEnd(400 * kSecond));
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
  std::vector<host::CaptureRecord> all = ClientSends();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(Hex(all.back().datagram.payload),
            "00 05 00 00 54 6f 6f 20 6d 61 6e 79 20 74 69 6d 65 6f 75 74 73 00");
  EXPECT_EQ(all.back().datagram.dstPort, kDataPort);
  // 1501 periods of 200 ms after the last packet, then 2 s, then 500 ms.
  EXPECT_NEAR(double(all.back().time - last), double(1501 * 200 * kMs), double(kMs));
  EXPECT_NEAR(double(done_.time - all.back().time), double(2500 * kMs), double(kMs));
  EXPECT_EQ(CountLog("Zem4RrqActiveTimer: too many retries to send request\n"), 1u);
}

TEST_F(ActiveModeTest, DataWhileTheErrorLingersHearsItAgain) {
  Start();
  EnterActive(Full(1, 1));
  RunUntil([&] { return Probe().State() == TransferState::ErrorSent; }, 400 * kSecond);
  ASSERT_EQ(Probe().State(), TransferState::ErrorSent);
  Bytes error = ErrorPacket(0, "Too many timeouts");
  Sent();
  FromServer(Full(2, 2));
  EXPECT_EQ(SentOne(), error);
  ASSERT_TRUE(RunToEnd(5 * kSecond));
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
}

TEST_F(ActiveModeTest, ShortPacketNamesTheLastBlockAndIsAcknowledged) {
  Bytes small = MakeFile(3 * 1032 + 10);
  Start();
  EnterActive(Data8Packet(1, 1, BlockOf(small, 1)));
  FromServer(Data8Packet(2, 2, BlockOf(small, 2)));
  FromServer(Data8Packet(3, 3, BlockOf(small, 3)));
  Sent();
  FromServer(Data8Packet(4, 4, BlockOf(small, 4)));
  EXPECT_EQ(Probe().LastBlock(), 4);
  EXPECT_EQ(SentOne(), Ack8Packet(5));
}

TEST_F(ActiveModeTest, EmptyPacketEndsTheFileWithTheBlockBefore) {
  Start();
  EnterActive(Full(1, 1));
  FromServer(Data8Packet(2, 2, {}));
  EXPECT_EQ(Probe().LastBlock(), 1);
  EXPECT_EQ(Sent().back().payload, Ack8Packet(3));
}

// A window slot holds one block: more data is refused before anything is
// copied, whatever length the dispatch let through.
TEST(ModeHelpers, Data8LongerThanASlotIsRefused) {
  Bytes data = Data8Packet(1, 1, 1033, 0x11);
  Zem4Data8Fields fields{};
  EXPECT_FALSE(Zem4RrqReadData8(data.data(), UINT32(data.size()), &fields));
  EXPECT_TRUE(Zem4RrqReadData8(data.data(), UINT32(data.size()) - 1, &fields));
  EXPECT_EQ(fields.DataLength, 1032u);
}

TEST_F(ActiveModeTest, RefusedHalfWindowSendsUserCancelled) {
  sink_.refuseAt = 0;
  sink_.answer = EFI_ACCESS_DENIED;
  Start();
  FirstHalfWindow();
  std::vector<host::Datagram> sent = Sent();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().payload, ErrorPacket(3, "User cancelled download"));
  EXPECT_EQ(CountLog("Zem4RrqSaveBlk: user's check packet returns Access Denied\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqActiveRcvData: failed to save the block\n"), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_ABORTED);
}

TEST_F(ActiveModeTest, BlockBeyondTheBufferSendsDiskFull) {
  Start(Caller::Buffer, 63 * 1032);
  FirstHalfWindow();
  EXPECT_EQ(Sent().back().payload, ErrorPacket(3, "Disk full"));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_BUFFER_TOO_SMALL);
}

TEST_F(ActiveModeTest, DuplicateIsStoredOnceAndHandedOverOnce) {
  Start(Caller::BufferAndCheck, 200 * 1032);
  EnterActive(Full(1, 1));
  for (uint32_t s = 2; s <= 64; s++) {
    FromServer(Full(s, s));
    if (s == 10) {
      FromServer(Full(s, s));
    }
  }
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_EQ(sink_.runs[0].size(), 64u * 1032);
  EXPECT_EQ(Progress().ReceivedBlocks, 64u);
}

// The caller's CheckPacket ends the transfer from inside: nothing touches the
// instance (or what it held) afterwards.
class CallerEndsTest : public ActiveModeTest {};

TEST_F(CallerEndsTest, ConfigureWithoutDataInsideTheHalfWindowHandOver) {
  sink_.inside = [&] { Proto()->Configure(Proto(), nullptr); };
  Start();
  FirstHalfWindow();
  EXPECT_EQ(sink_.runs.size(), 1u);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  // Later packets find no transfer.
  FromServer(Full(65, 65));
  RunFor(kSecond);
  EXPECT_EQ(done_.count, 1);
}

TEST_F(CallerEndsTest, ChildDestroyedInsideTheFinFlush) {
  sink_.inside = [&] { DestroyMainInstance(); };
  Start();
  EnterActive(Full(1, 1));
  FromServer(Full(2, 2));
  FromServer(FinPacket(0));
  EXPECT_EQ(sink_.runs.size(), 1u);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  RunFor(kSecond);
  EXPECT_EQ(done_.count, 1);
}

TEST_F(CallerEndsTest, NewTransferStartedInsideTheHandOver) {
  Zem4Token second{};
  Completion secondDone;
  bool restarted = false;
  sink_.inside = [&] {
    if (restarted) {
      return;
    }
    restarted = true;
    Proto()->Configure(Proto(), nullptr);
    ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(second, secondDone, "next.bin");
    second.Context = &sink_;
    second.CheckPacket = CheckPacketSink;
    EXPECT_EQ(Proto()->ReadFile(Proto(), &second), EFI_SUCCESS);
  };
  Start();
  FirstHalfWindow();
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  // The second transfer runs on: its request is out and it is waiting.
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(Sent().back().payload, RrqPacket("next.bin"));
  ASSERT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(secondDone.count, 1);
}

} // namespace
} // namespace zem4::test
