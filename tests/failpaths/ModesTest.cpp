// The download modes when a step fails: the first repair list, later repair
// lists, the repair and acknowledgement timers, the error answer repeated on
// data, the request sent again at a FIN, a caller that refuses a half window
// and a missing range that cannot be split. The token's status and the
// exact lines of each path.
#include "tests/failpaths/FailPaths.h"
#include "tests/modes/ModesFixture.h"

namespace zem4::test::failpaths {
namespace {

enum Stage {
  kOack,          // the OACK: RPL 1 goes out
  kRplAck,        // an RPLACK asks for the next repair list
  kRplTimer,      // RPL mode's timer repeats the repair list
  kRplGivesUp,    // RPL mode's 101st period: the "Too many timeouts" error
  kActiveTimer,   // Active mode's timer owes an ACK8
  kErrorSentData, // data while the answer to a bad OACK lingers
  kFin,           // a FIN while the last block is unknown: the request again
  kHalfWindow,    // the caller refuses the first half window
  kAhead,         // a block ahead splits the missing range
};

class ModesFailTest : public TransferFailTest<ModesFixture> {
protected:
  Bytes Full(uint32_t sequence, uint32_t block) {
    return Data8Packet(sequence, block, BlockOf(file_, block));
  }
  // Enter the next pass with more ranges missing than one RPL carries.
  void ManyRangesThenOack() {
    EnterActive(Full(1, 2));
    for (uint32_t s = 2; s <= 130; s++) {
      FromServer(Full(s, 2 * s));
    }
    FromServer(FinPacket(0));
    ASSERT_EQ(Probe().State(), TransferState::RrqSent);
    FromServer(OackPacket());
    ASSERT_EQ(Probe().State(), TransferState::Rpl);
    ASSERT_FALSE(Probe().RplListSent());
  }
  Bytes file_ = MakeFile(300 * 1032);
};

TEST_P(ModesFailTest, TheTransferEndsWithTheStatusAndLinesOfItsPath) {
  const FailCase &c = GetParam();
  if (c.variant == kHalfWindow) {
    sink_.refuseAt = 0;
    sink_.answer = EFI_ACCESS_DENIED;
  }
  Start(Caller::Stream);
  switch (c.variant) {
  case kRplAck:
    ManyRangesThenOack();
    break;
  case kRplTimer:
    Accept();
    break;
  case kRplGivesUp:
    Accept();
    RunFor(300 * kSecond + kMs); // 100 repeats of RPL 1
    ASSERT_EQ(Probe().RetryCount(), 100u);
    break;
  case kActiveTimer:
    EnterActive(Full(1, 1));
    FromServer(Full(2, 2)); // owes an ACK8 that the next one or the timer sends
    ASSERT_TRUE(Probe().AckPending());
    break;
  case kErrorSentData:
    FromServer(OackPacket({{"multicast", "nonsense"}}));
    ASSERT_EQ(Probe().State(), TransferState::ErrorSent);
    break;
  case kFin:
  case kHalfWindow:
  case kAhead:
    EnterActive(Full(1, 1));
    break;
  default:
    break;
  }
  Settle();
  ArmedCase armed = ArmTheCase();
  switch (c.variant) {
  case kOack:
    FromServer(OackPacket());
    break;
  case kRplAck:
    FromServer(RplAckPacket(2));
    break;
  case kRplTimer:
  case kRplGivesUp:
    RunFor(3 * kSecond + kMs);
    break;
  case kActiveTimer:
    RunFor(200 * kMs + kMs);
    break;
  case kErrorSentData:
    FromServer(Full(1, 1));
    break;
  case kFin:
    FromServer(FinPacket(0));
    break;
  case kHalfWindow:
    for (uint32_t b = 2; b <= 64; b++) {
      FromServer(Full(b, b));
    }
    break;
  case kAhead:
    FromServer(Full(3, 3));
    break;
  }
  ASSERT_NO_FATAL_FAILURE(EndsAsTheCaseSays(armed));
}

const char *const kTransmitFailed = "Zem4SendPacket: UdpIo->Transmit returned with Device Error.\n";
const char *const kRetransmitFailed = "Zem4ResendPacket: failed to retransmit the packet\n";
const char *const kRplNotSent = "Zem4SendAck: failed to send RPL packet\n";
const char *const kRplNotBuilt = "Zem4SendAck: failed to build RPL packet\n";
const char *const kAck0 = "Zem4RrqInitRcvOack: failed to send ACK0\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, ModesFailTest,
    ::testing::Values(
        FailCase{"FirstRplSend",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, kRplNotSent, kAck0},
                 kOack},
        FailCase{"FirstRplRecord",
                 {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4AllocPacket: failed to allocate a token for packet buffer\n",
                  "Zem4RrqBuildAck:Failed to allocate packet buffer.\n", kRplNotBuilt, kAck0},
                 kOack},
        FailCase{"FirstRplEvent",
                 {{"CreateEvent", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4RrqBuildRPL: failed to create event\n", kRplNotBuilt, kAck0},
                 kOack},
        FailCase{"NextRplSend",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, kRplNotSent, "Zem4RrqRplRcvRplAck: Send RPL Failed!"},
                 kRplAck},
        FailCase{"RplRepeat",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, kRetransmitFailed,
                  "Zem4RrqActiveTimer: failed to retransmit the request, init silent shutdown\n"},
                 kRplTimer},
        FailCase{"RplTimeoutError",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {"Zem4RrqRplTimer: too many retries to send request\n", kTransmitFailed,
                  "Zem4SendError: failed to send an error packet, double error\n",
                  "Zem4RrqRplTimer: failed to send an error packet (Timeout Too Many Times)\n"},
                 kRplGivesUp},
        FailCase{"ActiveTimerAck",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, "Zem4SendAck: failed to send ACK0\n",
                  "Zem4RrqActiveTimer: failed to send the ack, silent shutdown\n"},
                 kActiveTimer},
        FailCase{"ErrorRepeatOnData",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, kRetransmitFailed,
                  "Zem4RrqRcvAck: failed to retransmit the packet, init silent shutdown\n"},
                 kErrorSentData},
        FailCase{"RequestAgainAtFin",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, kRetransmitFailed,
                  "Zem4RrqRcvFin: failed to send RRQ, init silent shutdown\n",
                  "Zem4RrqRxCallback: FIN packet processing returns Device Error.\n"},
                 kFin},
        FailCase{"HalfWindowRefused",
                 {},
                 EFI_ABORTED,
                 {"Zem4RrqSaveBlk: user's check packet returns Access Denied\n",
                  "Zem4RrqActiveRcvData: failed to save the block\n"},
                 kHalfWindow},
        FailCase{"RangeSplit",
                 {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4RrqPassiveRcvData: failed to save lost block\n"},
                 kAhead}),
    CaseName);

} // namespace
} // namespace zem4::test::failpaths
