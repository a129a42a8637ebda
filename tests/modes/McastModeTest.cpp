// Multicast: Init's active and passive decisions, the multicast port across
// passes, and Passive mode's window, flushes and silence.
#include "tests/modes/McastModeFixture.h"

#include "support/Globals.h"

namespace zem4::test {
namespace {

TEST_F(McastModeTest, PassiveMemberOpensTheGroupAndSendsNothing) {
  Start(Caller::Buffer, 400 * 1032);
  EnterPassive();
  EXPECT_NE(Probe().Download()->McastUdp, nullptr);
  EXPECT_NE(Probe().McastPort(), nullptr);
  EXPECT_EQ(Controller().ChildCount(), 2u);
  EXPECT_EQ(Probe().RetryTimeout(), 1u);
  EXPECT_EQ(Probe().MaxRetry(), 300u);
  EXPECT_TRUE(Sent().empty());

  FromGroup(Full(1, 1));
  EXPECT_EQ(Probe().SlotFilled(0), 1);
  EXPECT_EQ(Probe().Download()->SlotBlock[0], 1u);

  // 300 quiet periods of one second are tolerated, the 301st is not.
  host::Time100ns last = Now();
  ASSERT_TRUE(RunToEnd(400 * kSecond));
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
  EXPECT_NEAR(double(done_.time - last), double(301 * kSecond + 500 * kMs), double(kMs));
  EXPECT_EQ(CountLog("Zem4RrqPassiveTimer: too many retries to send request\n"), 1u);
  EXPECT_TRUE(Sent().empty());
  // The port went with the transfer.
  EXPECT_EQ(Controller().ChildCount(), 1u);
}

TEST_F(McastModeTest, ActiveMemberOpensTheGroupAndDrivesTheServer) {
  Start();
  FromServer(McastOack(1));
  EXPECT_EQ(Probe().State(), TransferState::Rpl);
  EXPECT_EQ(SentOne(), RplPacket(1, {{1, 0xFFFFFFFFu}}));
  EXPECT_EQ(Controller().ChildCount(), 2u);
  // Data on the group drives Active mode like unicast data.
  FromGroup(Full(1, 1));
  EXPECT_EQ(Probe().Download()->Mode, ZEM4_MODE_ACTIVE);
  EXPECT_EQ(SentOne(), Ack8Packet(2));
}

// A passive member whose group port cannot be made, or cannot receive, ends
// with the failing step's line and Init's, sends nothing and keeps no port.
// The service binding's own status is the end's; a receive that cannot be
// posted is a device error.
struct PortFailure {
  const char *name;
  const char *fault;
  EFI_STATUS injected;
  const char *stepLine;
  const char *oackLine;
  EFI_STATUS end;
};

class PassivePortFailureTest : public McastModeTest,
                               public ::testing::WithParamInterface<PortFailure> {};

TEST_P(PassivePortFailureTest, EndsTheTransferSilently) {
  const PortFailure &c = GetParam();
  Start();
  Fw().Faults().FailNext(c.fault, c.injected);
  FromServer(McastOack(0));
  EXPECT_EQ(CountLog(c.stepLine), 1u);
  EXPECT_EQ(CountLog(c.oackLine), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, c.end);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Controller().ChildCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PassivePortFailureTest,
    ::testing::Values(
        PortFailure{"CreateChild", "Udp4Sb.CreateChild", EFI_OUT_OF_RESOURCES,
                    "Zem4RrqCreateMcastPort: UdpSb->CreateChild faild with Out of Resources.\n",
                    "Zem4RrqInitRcvOack: failed to create multicast udp port for passive\n",
                    EFI_OUT_OF_RESOURCES},
        // The controller's service binding is looked up when the port is made.
        PortFailure{"ServiceBindingLookup", "OpenProtocol", EFI_ACCESS_DENIED,
                    "Zem4RrqCreateMcastPort: failed to open UDP ServiceBinding Protocol\n",
                    "Zem4RrqInitRcvOack: failed to create multicast udp port for passive\n",
                    EFI_ACCESS_DENIED},
        PortFailure{"Receive", "Udp4.Receive", EFI_NO_MEDIA,
                    "Zem4RrqStartMcastRcv: McastUdp4Io->Receive returned with No Media.\n",
                    "Zem4RrqInitRcvOack: failed to start mcast rcv No Media\n", EFI_DEVICE_ERROR}),
    [](const ::testing::TestParamInfo<PortFailure> &info) { return std::string(info.param.name); });

TEST_F(McastModeTest, MasterWithoutAPortAnswersTheServerAndReleasesTheChild) {
  Start();
  Fw().Faults().FailNext("Udp4.Groups", EFI_DEVICE_ERROR);
  FromServer(McastOack(1));
  EXPECT_EQ(CountLog("Zem4RrqCreateMcastPort: Udp4.Configure failed with Device Error.\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqInitRcvOack: failed to create multicast udp port for active\n"), 1u);
  EXPECT_EQ(SentOne(), ErrorPacket(4, "failed to create multicast port, you pick the wrong guy"));
  EXPECT_EQ(Controller().ChildCount(), 1u);
  EXPECT_EQ(Probe().McastPort(), nullptr);
  EXPECT_EQ(Probe().Download()->McastRxContext.RxToken.Event, nullptr);
  ASSERT_TRUE(RunToEnd(5 * kSecond));
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
}

TEST_F(McastModeTest, GroupOfSixtyFourIsHandedOverAtTheNextGroupsFirstPacket) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  for (uint32_t b = 1; b <= 64; b++) {
    FromGroup(Full(b, b));
  }
  EXPECT_TRUE(sink_.runs.empty());
  FromGroup(Full(65, 65));
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_TRUE(sink_.runs[0] == Blocks(1, 64));
  EXPECT_EQ(Probe().WindowBase(), 65u);
  EXPECT_TRUE(std::equal(file_.begin(), file_.begin() + 64 * 1032, buffer_.begin()));
}

TEST_F(McastModeTest, LostBlockSplitsTheHandOverAndStaysMissing) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  for (uint32_t b = 1; b <= 64; b++) {
    if (b != 10) {
      FromGroup(Full(b, b));
    }
  }
  EXPECT_EQ(Progress().LostBlocks, 1u);
  FromGroup(Full(65, 65));
  ASSERT_EQ(sink_.runs.size(), 2u);
  EXPECT_TRUE(sink_.runs[0] == Blocks(1, 9));
  EXPECT_TRUE(sink_.runs[1] == Blocks(11, 64));
  LIST_ENTRY *first = Probe().Download()->MissingList.ForwardLink;
  EXPECT_EQ(ZEM4_CR(first, Zem4MissingRange, Link)->First, 10u);
  EXPECT_EQ(ZEM4_CR(first, Zem4MissingRange, Link)->Last, 10u);
}

TEST_F(McastModeTest, StreamKeepsOnlyTheBlocksThatContinueTheFile) {
  Start(Caller::Stream);
  EnterPassive();
  for (uint32_t b = 1; b <= 64; b++) {
    if (b != 10) {
      FromGroup(Full(b, b));
    }
  }
  FromGroup(Full(65, 65));
  // 11 to 65 were not kept; 1 to 9 wait in the window for the FIN.
  EXPECT_TRUE(sink_.runs.empty());
  EXPECT_EQ(Progress().ReceivedBlocks, 9u);
  FromGroup(FinPacket(0));
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_TRUE(sink_.runs[0] == Blocks(1, 9));
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  // Nothing from 10 on was taken: the next pass asks for all of it.
  LIST_ENTRY *first = Probe().Download()->MissingList.ForwardLink;
  EXPECT_EQ(ZEM4_CR(first, Zem4MissingRange, Link)->First, 10u);
  EXPECT_EQ(ZEM4_CR(first, Zem4MissingRange, Link)->Last, 0xFFFFFFFFu);
}

TEST_F(McastModeTest, LateJoinerStartsItsWindowWhereItJoins) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  for (uint32_t b = 200; b <= 257; b++) {
    FromGroup(Full(b, b));
  }
  EXPECT_EQ(Progress().LostBlocks, 199u);
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_TRUE(sink_.runs[0] == Blocks(200, 256));
  EXPECT_EQ(Probe().WindowBase(), 257u);
}

TEST_F(McastModeTest, BlockBeyondTheWindowRestartsIt) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  FromGroup(Full(2, 2)); // Sequence 2: stays in the window at 1
  FromGroup(Full(3, 3));
  EXPECT_EQ(Probe().WindowBase(), 1u);
  FromGroup(Full(4, 65)); // WindowBase + 64, mid-group
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_TRUE(sink_.runs[0] == Blocks(2, 3));
  EXPECT_EQ(Probe().WindowBase(), 65u);
}

TEST_F(McastModeTest, LastBlockComesFromTheFirstShortPacketOnEitherPort) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  FromServer(Data8Packet(70, 70, 500, 1)); // unicast: names it, stores nothing
  EXPECT_EQ(Probe().LastBlock(), 70);
  EXPECT_EQ(Progress().ReceivedBlocks, 0u);
  FromGroup(Data8Packet(71, 71, 10, 1)); // a later short one changes nothing
  EXPECT_EQ(Probe().LastBlock(), 70);
}

TEST_F(McastModeTest, EmptyPacketNamesTheBlockBeforeAndIsNotStored) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  FromGroup(Data8Packet(70, 70, {}));
  EXPECT_EQ(Probe().LastBlock(), 69);
  EXPECT_EQ(Progress().ReceivedBlocks, 0u);
  EXPECT_EQ(Probe().SlotFilled(0), 0);
}

TEST_F(McastModeTest, RplAckCountsAsTraffic) {
  Start();
  EnterPassive();
  RunFor(100 * kSecond);
  EXPECT_EQ(Probe().RetryCount(), 100u);
  FromServer(RplAckPacket(7));
  EXPECT_EQ(Probe().RetryCount(), 0u);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(McastModeTest, FinWithAllOnesLeavesAPassiveMemberListening) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  FromGroup(Full(1, 1));
  FromGroup(FinPacket(0xFFFFFFFFu));
  EXPECT_EQ(Probe().SlotFilled(0), 1);
  EXPECT_TRUE(sink_.runs.empty());
  EXPECT_EQ(Probe().State(), TransferState::Receiving);
  // Still listening on the group after a FIN that came there.
  FromGroup(Full(2, 2));
  EXPECT_EQ(Probe().SlotFilled(1), 1);
}

TEST_F(McastModeTest, FinStartsANewPassOnTheSameChildThenCompletes) {
  Bytes small(file_.begin(), file_.begin() + 3 * 1032 + 5);
  file_ = small;
  Start(Caller::Stream);
  EnterPassive();
  EFI_HANDLE child = Probe().McastPort();
  FromGroup(Full(1, 1));
  FromGroup(Full(3, 3)); // 2 lost: 3 is not kept by a stream
  FromGroup(Full(4, 4)); // short: the last block
  EXPECT_EQ(Probe().LastBlock(), 4);
  FromGroup(FinPacket(0));
  ASSERT_EQ(sink_.runs.size(), 1u);
  // A new pass: the request goes out again, the port is reset but kept.
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(SentOne(), RrqPacket("file.bin"));
  EXPECT_EQ(Probe().McastPort(), child);
  EXPECT_EQ(Probe().Download()->McastRxContext.RxToken.Event, nullptr);
  EXPECT_EQ(Controller().ChildCount(), 2u);

  // The server makes this client the master of the next pass.
  FromServer(McastOack(1));
  EXPECT_EQ(Probe().McastPort(), child);
  EXPECT_NE(Probe().Download()->McastRxContext.RxToken.Event, nullptr);
  EXPECT_EQ(SentOne(), RplPacket(1, {{2, 0xFFFFFFFFu}}));
  FromGroup(Full(1, 2));
  FromGroup(Full(2, 3));
  FromGroup(Full(3, 4));
  FromGroup(FinPacket(0));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_TRUE(sink_.All() == file_);
  EXPECT_EQ(Controller().ChildCount(), 1u);
}

TEST_F(McastModeTest, BroadcastGroupJoinsNothing) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  uint64_t groups = Fw().Faults().Count("Udp4.Groups");
  FromServer(McastOack(0, "255.255.255.255"));
  ASSERT_EQ(Probe().State(), TransferState::Receiving);
  EXPECT_EQ(Fw().Faults().Count("Udp4.Groups"), groups);
  FromGroup(Full(1, 1), host::Ipv4(255, 255, 255, 255));
  EXPECT_EQ(Probe().SlotFilled(0), 1);
}

class McastPortTest : public McastModeTest {};

TEST_F(McastPortTest, ReusedChildThatCannotBeConfiguredIsReleased) {
  Start(Caller::Stream);
  EnterPassive();
  FromGroup(Full(1, 1));
  FromGroup(FinPacket(0)); // LastBlock unknown: a new pass
  ASSERT_EQ(Probe().State(), TransferState::RrqSent);
  ASSERT_NE(Probe().McastPort(), nullptr);
  Sent();
  // The reset before the configuration is not looked at; the configuration fails.
  Fw().Faults().FailNth("Udp4.Configure", Fw().Faults().Count("Udp4.Configure") + 2,
                        EFI_DEVICE_ERROR);
  FromServer(McastOack(0));
  EXPECT_EQ(CountLog("Zem4RrqCreateMcastPort: Udp4.Configure failed with Device Error.\n"), 1u);
  EXPECT_EQ(Probe().McastPort(), nullptr);
  EXPECT_EQ(Probe().Download()->McastUdp, nullptr);
  EXPECT_EQ(Probe().Download()->McastRxContext.RxToken.Event, nullptr);
  EXPECT_EQ(Controller().ChildCount(), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(McastPortTest, ChildThatCannotBeDestroyedIsNotReusedByTheNextTransfer) {
  Start();
  EnterPassive();
  EFI_HANDLE orphan = Probe().McastPort();
  Fw().Faults().FailNext("Udp4Sb.DestroyChild", EFI_DEVICE_ERROR);
  ASSERT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  EXPECT_EQ(CountLog("Zem4RrqCloseMcastPort: failed to destory the udp child Device Error\n"), 1u);
  EXPECT_EQ(Probe().McastPort(), nullptr);

  // The next transfer makes a child of its own.
  done_ = Completion{};
  server_.reset();
  server_ = std::make_unique<ScriptedServer>(Net(), kServerIp, kServerPort);
  seen_ = ClientSends().size();
  Start();
  EnterPassive();
  EXPECT_NE(Probe().McastPort(), nullptr);
  EXPECT_NE(Probe().McastPort(), orphan);
  FromGroup(Full(1, 1));
  EXPECT_EQ(Probe().SlotFilled(0), 1);
  // What the firmware refused earlier it accepts now.
  EFI_SERVICE_BINDING_PROTOCOL *sb = Controller().ServiceBinding();
  EXPECT_EQ(sb->DestroyChild(sb, orphan), EFI_SUCCESS);
}

TEST_F(McastPortTest, FinWithAllOnesFlushesAMaster) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  FromServer(McastOack(1));
  FromGroup(Full(1, 1));
  Sent();
  FromGroup(FinPacket(0xFFFFFFFFu));
  // Only a passive member ignores it.
  ASSERT_EQ(sink_.runs.size(), 1u);
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(SentOne(), RrqPacket("file.bin"));
}

TEST_F(McastPortTest, NewOackForAnOutstandingRequestFollowsTheGroupItNames) {
  // Passive mode never runs with the request out; its OACK handler still
  // knows what to do if it ever does, after its assertion in the images.
  AssertAsInImages asInImages;
  Start();
  EnterPassive();
  EFI_HANDLE child = Probe().McastPort();
  InstanceRig(Proto()).InjectState(TransferState::RrqSent);
  Bytes sameGroup = McastOack(0);
  EXPECT_EQ(Zem4RrqPassiveRcvOack(Instance(), sameGroup.data(), UINT32(sameGroup.size())),
            EFI_SUCCESS);
  EXPECT_EQ(Probe().State(), TransferState::Receiving);
  EXPECT_EQ(Probe().McastPort(), child);

  InstanceRig(Proto()).InjectState(TransferState::RrqSent);
  Bytes otherGroup = OackPacket({{"multicast", "239.1.1.2,5601,0"}});
  EXPECT_EQ(Zem4RrqPassiveRcvOack(Instance(), otherGroup.data(), UINT32(otherGroup.size())),
            EFI_SUCCESS);
  EXPECT_EQ(Probe().McastPort(), child); // reset and configured again
  EXPECT_EQ(Probe().McastGroupPort(), 5601u);
  server_->SendFrom(kDataPort, host::Ipv4(239, 1, 1, 2), 5601, Full(1, 1));
  Settle();
  EXPECT_EQ(Probe().SlotFilled(0), 1);

  InstanceRig(Proto()).InjectState(TransferState::RrqSent);
  Bytes unicast = OackPacket();
  EXPECT_EQ(Zem4RrqPassiveRcvOack(Instance(), unicast.data(), UINT32(unicast.size())), EFI_SUCCESS);
  EXPECT_EQ(Probe().McastPort(), nullptr);
  EXPECT_EQ(Controller().ChildCount(), 1u);

  InstanceRig(Proto()).InjectState(TransferState::RrqSent);
  Bytes bad = OackPacket({{"multicast", "nonsense"}});
  EXPECT_EQ(Zem4RrqPassiveRcvOack(Instance(), bad.data(), UINT32(bad.size())), EFI_DEVICE_ERROR);
  EXPECT_EQ(CountLog("Zem4RrqPassiveRcvOack: failed to parse the OACK packet\n"), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  size_t asserted = 0;
  for (const std::string &line : Logs()) {
    asserted += line.rfind("ZEM4_ASSERT: !\"a listener with its request outstanding\" failed at "
                           "Zem4Passive.cpp:",
                           0) == 0;
  }
  EXPECT_EQ(asserted, 4u);
}

VOID EFIAPI CountRecycle(EFI_EVENT, VOID *Context) {
  ++*static_cast<int *>(Context);
}

class McastOtherPortTest : public McastModeTest {};

// A group datagram for another port (as a stack that delivers by address only
// would hand it over): dropped, handed back, and the group's receive goes on.
TEST_F(McastOtherPortTest, DatagramForAnotherPortIsDroppedAndListeningGoesOn) {
  Start(Caller::BufferAndCheck, 400 * 1032);
  EnterPassive();
  Zem4RxContext *rx = &Probe().Download()->McastRxContext;

  int recycled = 0;
  EFI_EVENT recycle = nullptr;
  ASSERT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountRecycle, &recycled, &recycle),
            EFI_SUCCESS);
  Bytes data = Full(1, 1);
  EFI_UDP4_RECEIVE_DATA fake{};
  fake.RecycleSignal = recycle;
  fake.UdpSession.SourceAddress = EfiIp(kServerIp);
  fake.UdpSession.SourcePort = kDataPort;
  fake.UdpSession.DestinationAddress = EfiIp(kGroup);
  fake.UdpSession.DestinationPort = kGroupPort + 1;
  fake.DataLength = UINT32(data.size());
  fake.FragmentCount = 1;
  fake.FragmentTable[0].FragmentLength = UINT32(data.size());
  fake.FragmentTable[0].FragmentBuffer = data.data();

  // Deliver it through the port's own receive context, as UDP4 would.
  EFI_UDP4_COMPLETION_TOKEN saved = rx->RxToken;
  rx->RxToken.Status = EFI_SUCCESS;
  rx->RxToken.Packet.RxData = &fake;
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  Zem4RrqRxCallback(rx->RxToken.Event, rx);
  gBS->RestoreTPL(old);
  rx->RxToken = saved;
  Settle();

  EXPECT_EQ(CountLog("Ignore the useless packet"), 1u);
  EXPECT_EQ(recycled, 1);
  EXPECT_EQ(Probe().SlotFilled(0), 0);
  gBS->CloseEvent(recycle);

  FromGroup(Full(1, 1));
  EXPECT_EQ(Probe().SlotFilled(0), 1);
}

class PassiveFailureTest : public McastModeTest {};

TEST_F(PassiveFailureTest, RefusedRunEndsAListenerSilently) {
  sink_.refuseAt = 0;
  sink_.answer = EFI_ACCESS_DENIED;
  Start(Caller::Stream);
  EnterPassive();
  FromGroup(Full(1, 1));
  FromGroup(Full(65, 2)); // a new group: the window goes to the caller
  EXPECT_EQ(CountLog("Zem4RrqSaveBlk: user's check packet returns Access Denied\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqPassiveRcvData: failed to save data\n"), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(PassiveFailureTest, BlockBeyondTheBufferEndsAListenerWithBufferTooSmall) {
  Start(Caller::Buffer, 1032);
  EnterPassive();
  FromGroup(Full(1, 1));
  FromGroup(Full(2, 2));
  FromGroup(Full(65, 65)); // flushes blocks 1 and 2; 2 does not fit
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(PassiveFailureTest, NoMemoryToSplitARangeEndsAListener) {
  Start(Caller::Buffer, 400 * 1032);
  EnterPassive();
  FromGroup(Full(1, 1));
  Fw().Faults().FailNext("AllocatePool", EFI_OUT_OF_RESOURCES);
  FromGroup(Full(3, 3)); // splits {2..}: needs a new range
  EXPECT_EQ(CountLog("Zem4RrqPassiveRcvData: failed to save lost block\n"), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_OUT_OF_RESOURCES);
}

} // namespace
} // namespace zem4::test
