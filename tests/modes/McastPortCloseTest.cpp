// Closing the multicast port: a group datagram waiting for its notification
// is handed back, and the controller's UDP4 service binding is looked up each
// time the port needs it.
#include "tests/modes/McastModeFixture.h"

#include "support/Globals.h"

namespace zem4::test {
namespace {

// A group datagram that UDP4 completed but whose notification never ran when
// the multicast port went: the port's close hands it back, as the unicast
// port's close does.
enum class PortGoes { FinOnUnicast, ConfigureNull, Finish };

class McastRecycleTest : public McastModeTest, public ::testing::WithParamInterface<PortGoes> {};

TEST_P(McastRecycleTest, DatagramWaitingForItsNotificationIsHandedBack) {
  Start(Caller::Stream);
  EnterPassive();
  FromGroup(Full(1, 1));
  switch (GetParam()) {
  case PortGoes::FinOnUnicast:
    // Both arrive in one tick; the unicast port's notification runs first
    // and its FIN resets the group's port under the waiting datagram.
    server_->SendFrom(kDataPort, kClientIp, clientPort_, FinPacket(0));
    server_->SendFrom(kDataPort, kGroup, kGroupPort, Full(2, 2));
    Settle();
    EXPECT_EQ(Instance()->State, ZEM4_STATE_RRQ_SENT);
    EXPECT_EQ(Instance()->RrqData->McastRxContext.RxToken.Event, nullptr);
    break;
  case PortGoes::ConfigureNull: {
    // The caller cancels from TPL_CALLBACK, where the receive notification
    // waits behind it.
    EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
    server_->SendFrom(kDataPort, kGroup, kGroupPort, Full(2, 2));
    Settle();
    EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
    gBS->RestoreTPL(old);
    EXPECT_EQ(done_.status, EFI_ABORTED);
    break;
  }
  case PortGoes::Finish: {
    // The closing timer runs out in the tick the datagram arrives: the
    // timer's notification, queued first, finishes the transfer.
    FromServer(ErrorPacket(2, "gone"));
    ASSERT_EQ(Instance()->State, ZEM4_STATE_TIME_WAIT);
    EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
    RunFor(500 * kMs);
    server_->SendFrom(kDataPort, kGroup, kGroupPort, Full(2, 2));
    Settle();
    gBS->RestoreTPL(old);
    EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
    break;
  }
  }
  EXPECT_EQ(Controller().Unrecycled(), 0u);
  EXPECT_EQ(Instance()->SlotFilled[1], 0) << "the datagram was not handled";
}

INSTANTIATE_TEST_SUITE_P(Closes, McastRecycleTest,
                         ::testing::Values(PortGoes::FinOnUnicast, PortGoes::ConfigureNull,
                                           PortGoes::Finish),
                         [](const ::testing::TestParamInfo<PortGoes> &info) {
                           return std::string(info.param == PortGoes::FinOnUnicast ? "FinOnUnicast"
                                              : info.param == PortGoes::ConfigureNull
                                                  ? "ConfigureNull"
                                                  : "Finish");
                         });

} // namespace
} // namespace zem4::test

namespace zem4::test {
namespace {

// The controller's UDP4 service binding is looked up whenever the port needs
// it, never taken from a pointer kept since the port was made (the binding
// may be gone since, its memory reused).
class McastLookupTest : public McastModeTest {
protected:
  // The orphan stays with UDP4 and nothing of ours holds it; the test hands
  // it back so that the firmware ends clean.
  void ExpectOrphanedAndRelease(EFI_HANDLE orphan) {
    EXPECT_EQ(Instance()->McastChildHandle, nullptr);
    EXPECT_EQ(Controller().ChildCount(), 2u);
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
    UINTN count = 0;
    ASSERT_EQ(gBS->OpenProtocolInformation(orphan, &gEfiUdp4ProtocolGuid, &entries, &count),
              EFI_SUCCESS);
    for (UINTN i = 0; i < count; i++) {
      EXPECT_NE(entries[i].AgentHandle, agent_) << "the driver still holds the orphan";
    }
    gBS->FreePool(entries);
    EFI_SERVICE_BINDING_PROTOCOL *sb = Controller().ServiceBinding();
    EXPECT_EQ(sb->DestroyChild(sb, orphan), EFI_SUCCESS);
  }
};

TEST_F(McastLookupTest, CreationReportsTheLookupsOwnStatus) {
  Start();
  Fw().Faults().FailNext("OpenProtocol", EFI_ACCESS_DENIED);
  FromServer(McastOack(0));
  EXPECT_EQ(CountLog("Zem4RrqCreateMcastPort: failed to open UDP ServiceBinding Protocol\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqInitRcvOack: failed to create multicast udp port for passive\n"), 1u);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_ACCESS_DENIED);
  EXPECT_EQ(Controller().ChildCount(), 1u);
}

TEST_F(McastLookupTest, DestructionWithoutTheServiceBindingLeavesTheChildToUdp4) {
  Start();
  EnterPassive();
  EFI_HANDLE orphan = Instance()->McastChildHandle;
  uint64_t destroys = Fw().Faults().Count("Udp4Sb.DestroyChild");
  Fw().Faults().FailNext("OpenProtocol", EFI_NOT_FOUND);
  ASSERT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(CountLog("Zem4RrqCloseMcastPort: failed to retrieve Udp service binding protocol\n"),
            1u);
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw().Faults().Count("Udp4Sb.DestroyChild"), destroys);
  ExpectOrphanedAndRelease(orphan);
}

TEST_F(McastLookupTest, ReusedChildWithoutTheServiceBindingIsOnlyLetGo) {
  Start(Caller::Stream);
  EnterPassive();
  FromGroup(Full(1, 1));
  FromGroup(FinPacket(0)); // a new pass keeps the child
  ASSERT_EQ(Instance()->State, ZEM4_STATE_RRQ_SENT);
  EFI_HANDLE orphan = Instance()->McastChildHandle;
  uint64_t destroys = Fw().Faults().Count("Udp4Sb.DestroyChild");
  // The reused child's configuration fails, then so does the lookup that
  // would give it back.
  Fw().Faults().FailNth("Udp4.Configure", Fw().Faults().Count("Udp4.Configure") + 2,
                        EFI_DEVICE_ERROR);
  Fw().Faults().FailNext("OpenProtocol", EFI_NOT_FOUND);
  FromServer(McastOack(0));
  EXPECT_EQ(CountLog("Zem4RrqCreateMcastPort: Udp4.Configure failed with Device Error.\n"), 1u);
  EXPECT_EQ(Fw().Faults().Injected(), 2u);
  EXPECT_EQ(Fw().Faults().Count("Udp4Sb.DestroyChild"), destroys);
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  ExpectOrphanedAndRelease(orphan);
}

} // namespace
} // namespace zem4::test
