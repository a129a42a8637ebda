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
    EXPECT_EQ(Probe().State(), TransferState::RrqSent);
    EXPECT_EQ(Probe().Download()->McastRxContext.RxToken.Event, nullptr);
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
    ASSERT_EQ(Probe().State(), TransferState::TimeWait);
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
  EXPECT_EQ(Probe().SlotFilled(1), 0) << "the datagram was not handled";
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

// The controller's UDP4 service binding is looked up whenever the port needs
// it, never taken from a pointer kept since the port was made (the binding
// may be gone since, its memory reused).
class McastLookupTest : public McastModeTest {
protected:
  void ExpectOrphanedAndRelease(EFI_HANDLE orphan) {
    EXPECT_EQ(Probe().McastPort(), nullptr);
    EXPECT_EQ(Controller().ChildCount(), 2u);
    ExpectOrphanedAndGiveBack(orphan);
  }
};

TEST_F(McastLookupTest, DestructionWithoutTheServiceBindingLeavesTheChildToUdp4) {
  Start();
  EnterPassive();
  EFI_HANDLE orphan = Probe().McastPort();
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
  ASSERT_EQ(Probe().State(), TransferState::RrqSent);
  EFI_HANDLE orphan = Probe().McastPort();
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

// UDP4 refuses to reset the group's port while it holds the posted receive:
// the port's UDP4 child must go (aborting the receive) before the receive's
// event is closed and the download record freed, whether the port was
// closing for good or only for the next pass. When UDP4 lets go of nothing,
// the record that holds the receive's token lives on until UDP4 completes it.
enum class RefusedAt { CallerCancels, ServerError, FinOnUnicast };

struct RefusedCase {
  RefusedAt at;
  bool destroyFails; // and then UDP4 will not give the child back either
  const char *name;
  bool keepsReceive = false; // nor cancel the receive, nor reset on a second try
};

void PrintTo(const RefusedCase &c, std::ostream *os) {
  *os << c.name;
}

class McastRefusedResetTest : public McastModeTest,
                              public ::testing::WithParamInterface<RefusedCase> {
protected:
  // The group port's Configure(NULL) is the next UDP4 Configure call.
  void RefuseTheGroupReset() {
    Fw().Faults().FailNext("Udp4.Configure", EFI_DEVICE_ERROR);
    if (GetParam().destroyFails) {
      Fw().Faults().FailNext("Udp4Sb.DestroyChild", EFI_DEVICE_ERROR);
    }
    if (GetParam().keepsReceive) {
      Fw().Faults().FailNext("Udp4.Cancel", EFI_DEVICE_ERROR);
      Fw().Faults().FailNth("Udp4.Configure", Fw().Faults().Count("Udp4.Configure") + 2,
                            EFI_DEVICE_ERROR);
    }
  }
  // When UDP4 would not give the child back it stays with UDP4, the receive
  // cancelled, or kept until a group datagram completes it.
  void GiveBackTheOrphan(EFI_HANDLE group) {
    if (GetParam().keepsReceive) {
      FromGroup(Full(2, 2));
      EXPECT_EQ(Controller().Unrecycled(), 0u);
    }
    if (GetParam().destroyFails) {
      ExpectOrphanedAndGiveBack(group);
    }
  }
  // A child UDP4 would not give back fails the transfer.
  EFI_STATUS Ends(EFI_STATUS status) const {
    return GetParam().destroyFails ? EFI_DEVICE_ERROR : status;
  }
  void ExpectNoViolation() {
    for (const std::string &violation : Fw().Violations()) {
      ADD_FAILURE() << "violation: " << violation;
    }
  }
};

TEST_P(McastRefusedResetTest, GroupChildGoesBeforeItsReceive) {
  Start(Caller::Stream);
  EnterPassive();
  FromGroup(Full(1, 1));
  EFI_HANDLE group = Probe().McastPort();
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(Controller().ChildCount(), 2u);
  uint64_t destroys = Fw().Faults().Count("Udp4Sb.DestroyChild");

  switch (GetParam().at) {
  case RefusedAt::CallerCancels:
    RefuseTheGroupReset();
    EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
    ASSERT_TRUE(Finished());
    GiveBackTheOrphan(group);
    EXPECT_EQ(done_.status, Ends(EFI_ABORTED));
    break;
  case RefusedAt::ServerError:
    FromServer(ErrorPacket(2, "gone"));
    ASSERT_EQ(Probe().State(), TransferState::TimeWait);
    RefuseTheGroupReset();
    ASSERT_TRUE(RunToEnd(kSecond));
    GiveBackTheOrphan(group);
    EXPECT_EQ(done_.status, Ends(EFI_TFTP_ERROR));
    break;
  case RefusedAt::FinOnUnicast: {
    // The FIN starts a new pass, which would keep the child for reuse.
    RefuseTheGroupReset();
    FromServer(FinPacket(0));
    ASSERT_EQ(Probe().State(), TransferState::RrqSent);
    GiveBackTheOrphan(group);
    EXPECT_EQ(Probe().McastPort(), nullptr);
    EXPECT_EQ(Probe().Download()->McastUdp, nullptr);
    EXPECT_EQ(Controller().ChildCount(), 1u);
    // The next pass joins through a child of its own and hears the group.
    EnterPassive();
    EXPECT_NE(Probe().McastPort(), nullptr);
    EXPECT_EQ(Controller().ChildCount(), 2u);
    FromGroup(Full(2, 2));
    EXPECT_EQ(Probe().SlotFilled(1), 1) << "the new group port hears nothing";
    EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
    EXPECT_EQ(done_.status, EFI_ABORTED); // the caller's cancel decides
    break;
  }
  }
  EXPECT_EQ(Fw().Faults().Injected(), 1u + GetParam().destroyFails + 2u * GetParam().keepsReceive);
  EXPECT_GE(Fw().Faults().Count("Udp4Sb.DestroyChild"), destroys + 1);
  EXPECT_EQ(Controller().Unrecycled(), 0u);
  std::vector<std::string> closeLines;
  for (const std::string &line : Logs()) {
    if (line.rfind("Zem4RrqCloseMcastPort:", 0) == 0) {
      closeLines.push_back(line);
    }
  }
  if (GetParam().destroyFails) {
    EXPECT_EQ(closeLines,
              std::vector<std::string>{
                  "Zem4RrqCloseMcastPort: failed to destory the udp child Device Error\n"});
  } else {
    EXPECT_TRUE(closeLines.empty()) << closeLines.front();
  }
  EXPECT_EQ(Controller().ChildCount(), 1u) << "the group's UDP4 child outlived the transfer";
  ExpectNoViolation();
}

INSTANTIATE_TEST_SUITE_P(
    Refused, McastRefusedResetTest,
    ::testing::Values(RefusedCase{RefusedAt::CallerCancels, false, "CallerCancels"},
                      RefusedCase{RefusedAt::ServerError, false, "ServerError"},
                      RefusedCase{RefusedAt::FinOnUnicast, false, "FinOnUnicast"},
                      RefusedCase{RefusedAt::CallerCancels, true, "CallerCancelsNoDestroy"},
                      RefusedCase{RefusedAt::ServerError, true, "ServerErrorNoDestroy"},
                      RefusedCase{RefusedAt::FinOnUnicast, true, "FinOnUnicastNoDestroy"},
                      RefusedCase{RefusedAt::CallerCancels, true, "CallerCancelsKept", true},
                      RefusedCase{RefusedAt::ServerError, true, "ServerErrorKept", true},
                      RefusedCase{RefusedAt::FinOnUnicast, true, "FinOnUnicastKept", true}),
    [](const ::testing::TestParamInfo<RefusedCase> &info) { return std::string(info.param.name); });

} // namespace
} // namespace zem4::test
