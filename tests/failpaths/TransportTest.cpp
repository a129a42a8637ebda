// Packets and the unicast port in a running transfer when the firmware
// refuses a step: building, sending, copying for a retransmission, posting
// the receive, linearising, closing the port. The token's status and the
// exact lines, from the transport up to the mode that gives up.
#include "tests/failpaths/FailPaths.h"
#include "tests/modes/ModesFixture.h"

namespace zem4::test::failpaths {
namespace {

enum Stage {
  kFirstData,      // the first DATA8 after the OACK: its ACK8
  kAfterOack,      // the OACK: the receive posted after it
  kInitTimer,      // Init's timer repeats the request
  kInitTimerHeld,  // the same while the first send has not completed: a copy
  kCancel,         // Configure with no data during the transfer
  kMalformedOack,  // the error answer to an OACK that does not parse
  kFragmentedOack, // an OACK in fragments, linearised
};

class TransportFailTest : public TransferFailTest<ModesFixture> {};

TEST_P(TransportFailTest, TheTransferEndsWithTheStatusAndLinesOfItsPath) {
  const FailCase &c = GetParam();
  const Bytes file = MakeFile(10 * 1032);
  if (c.variant == kInitTimerHeld) {
    Controller().SetSendCompletion(host::SendCompletion::Held);
  }
  Start(Caller::Stream);
  if (c.variant == kFirstData || c.variant == kCancel) {
    Accept();
  }
  if (c.variant == kFragmentedOack) {
    host::FaultProfile pieces;
    pieces.fragment = 1.0;
    host::FlowMatch fromServer;
    fromServer.src = kServerIp;
    Net().AddFlowProfile(fromServer, pieces);
  }
  ArmedCase armed = ArmTheCase();
  switch (c.variant) {
  case kFirstData:
    FromServer(Data8Packet(1, 1, BlockOf(file, 1)));
    break;
  case kAfterOack:
  case kFragmentedOack:
    FromServer(OackPacket({{"tsize", "10320"}}));
    break;
  case kInitTimer:
  case kInitTimerHeld:
    RunFor(3 * kSecond + kMs);
    break;
  case kCancel:
    EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
    break;
  case kMalformedOack:
    FromServer(OackPacket({{"multicast", "nonsense"}}));
    break;
  }
  ASSERT_NO_FATAL_FAILURE(EndsAsTheCaseSays(armed));
}

const char *const kTransmitFailed = "Zem4SendPacket: UdpIo->Transmit returned with Device Error.\n";
const char *const kNoRecord = "Zem4AllocPacket: failed to allocate a token for packet buffer\n";
const char *const kNoBuffer = "Zem4AllocPacket: failed to allocate data memory for packet buffer\n";
const char *const kAckGivesUp = "Zem4RrqActiveRcvData: failed to send the ack, silent shutdown\n";
const char *const kInitGivesUp =
    "Zem4RrqInitTimer: failed to retransmit the request, init silent shutdown\n";
const char *const kOackAnswerFailed =
    "Zem4RrqInitRcvOack: failed to send an error packet (OACK malformed)\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, TransportFailTest,
    ::testing::Values(
        FailCase{"AckTransmit",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, "Zem4SendAck: failed to send ACK0\n", kAckGivesUp},
                 kFirstData},
        FailCase{"AckRecord",
                 {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {kNoRecord, "Zem4RrqBuildAck:Failed to allocate packet buffer.\n",
                  "Zem4SendAck: failed to build ACK0\n", kAckGivesUp},
                 kFirstData},
        FailCase{"AckBuffer",
                 {{"AllocatePool", 2, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {kNoBuffer, "Zem4RrqBuildAck:Failed to allocate packet buffer.\n",
                  "Zem4SendAck: failed to build ACK0\n", kAckGivesUp},
                 kFirstData},
        FailCase{"AckEvent",
                 {{"CreateEvent", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4RrqBuildAck: failed to create event\n",
                  "Zem4SendAck: failed to build ACK0\n", kAckGivesUp},
                 kFirstData},
        FailCase{"ReceiveRepost",
                 {{"Udp4.Receive", 1, EFI_NO_MEDIA}},
                 EFI_DEVICE_ERROR,
                 {"Zem4StartRcv: Udp4Io->Receive returned with No Media.\n",
                  "Zem4RrqRxCallback: failed to restart the receive, status is No Media.\n"},
                 kAfterOack},
        FailCase{
            "Retransmit",
            {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
            EFI_DEVICE_ERROR,
            {kTransmitFailed, "Zem4ResendPacket: failed to retransmit the packet\n", kInitGivesUp},
            kInitTimer},
        FailCase{"CopyRecord",
                 {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {kNoRecord, "Zm4CopyPacket: failed to allocate a new packet buffer\n",
                  "Zem4ResendPacket: faile to copy the buffer\n", kInitGivesUp},
                 kInitTimerHeld},
        FailCase{"CopyEvent",
                 {{"CreateEvent", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4BuildRequest: failed to create event for the packet buffer\n", kInitGivesUp},
                 kInitTimerHeld},
        FailCase{"CopySend",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {kTransmitFailed, "Zem4ResendPacket: faile to send the copy of  the buffer\n",
                  kInitGivesUp},
                 kInitTimerHeld},
        FailCase{"PortClose",
                 {{"Udp4.Configure", 1, EFI_DEVICE_ERROR}},
                 EFI_ABORTED,
                 {"Zem4CloseUdpPort: failed to configure NULL to the Udp port\n"},
                 kCancel},
        FailCase{"ErrorRecord",
                 // The first allocation is the parse's own list of pairs.
                 {{"AllocatePool", 2, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES, // the builder's word over the parse's
                 {"Zem4RrqInitRcvOack: failed to parse the OACK packet\n", kNoRecord,
                  "Zem4BuildErrorPacket: Failed to allocate a packet buffer.\n",
                  "Zem4SendError: failed to build an error packet, double error\n",
                  kOackAnswerFailed},
                 kMalformedOack},
        FailCase{"ErrorSend",
                 {{"Udp4.Transmit", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {"Zem4RrqInitRcvOack: failed to parse the OACK packet\n", kTransmitFailed,
                  "Zem4SendError: failed to send an error packet, double error\n",
                  kOackAnswerFailed},
                 kMalformedOack},
        FailCase{
            "Linearise",
            {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}},
            EFI_OUT_OF_RESOURCES,
            {kNoRecord, "Zem4RrqRxCallback:failed to allocate buffer to linearize the packets.\n"},
            kFragmentedOack}),
    CaseName);

} // namespace
} // namespace zem4::test::failpaths
