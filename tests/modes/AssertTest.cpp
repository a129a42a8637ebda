// The driver's invariants: a broken one aborts a host build at once, and in
// the images (gZem4AssertRecovers) is logged while the function takes its
// error path without touching what it cannot trust.
#include "tests/modes/McastModeFixture.h"

#include "transport/Zem4Packet.h"

namespace zem4::test {
namespace {

class AssertTest : public McastModeTest {
protected:
  size_t Asserted(const std::string &condition, const std::string &file) const {
    size_t count = 0;
    const std::string prefix = "ZEM4_ASSERT: " + condition + " failed at " + file + ":";
    for (const std::string &line : Logs()) {
      count += line.rfind(prefix, 0) == 0 && line.back() == '\n';
    }
    return count;
  }
};

// Each broken invariant, reached by hand in a running transfer.
struct Broken {
  const char *name;
  void (*breakIt)(Zem4Instance *); // runs at TPL_CALLBACK
  const char *condition;
  const char *file;
  bool active = false; // the transfer is brought to Active mode first
};

const Broken kBroken[] = {
    {"ModeWithoutRow", [](Zem4Instance *i) { Zem4RrqSetMode(3, i); }, "Row != NULL", "Zem4Rrq.cpp"},
    {"ForeignReceiveContext",
     [](Zem4Instance *) {
       Zem4RxContext stranger{};
       Zem4RrqRxCallback(nullptr, &stranger);
     },
     "Port != NULL && Port->Signature == ZEM4_RX_CONTEXT_SIGNATURE", "Zem4Rrq.cpp"},
    {"ForeignTimerContext",
     [](Zem4Instance *) {
       Zem4Instance stranger{};
       Zem4RrqTimer(nullptr, &stranger);
     },
     "Instance != NULL && Instance->Signature == ZEM4_INSTANCE_SIGNATURE", "Zem4Rrq.cpp"},
    {"ForeignSendContext",
     [](Zem4Instance *) {
       Zem4Packet stranger{};
       Zem4RrqSendComplete(nullptr, &stranger);
     },
     "Packet != NULL && Packet->Signature == ZEM4_PACKET_SIGNATURE", "Zem4Rrq.cpp"},
    {"SequenceBeforeTheWindow",
     [](Zem4Instance *i) {
       // NextBlock behind WindowBase: an accepted Sequence would fall
       // outside the window.
       InstanceRig(InstanceProbe::ProtocolOf(i)).InjectWindowBase(50);
       Bytes data = Data8Packet(2, 2, 1032, 0x22);
       Zem4RrqActiveRcvData(i, data.data(), UINT32(data.size()), FALSE);
     },
     "Sequence >= Instance->WindowBase && Sequence - Instance->WindowBase < ZEM4_WINDOW_BLOCKS",
     "Zem4Active.cpp", true},
};

class BrokenInvariantTest : public AssertTest, public ::testing::WithParamInterface<Broken> {
protected:
  void Reach() {
    Start(Caller::Stream);
    if (GetParam().active) {
      EnterActive(Data8Packet(1, 1, 1032, 0x11));
    }
  }
};

TEST_P(BrokenInvariantTest, AbortsOnTheHost) {
  const Broken &b = GetParam();
  Reach();
  EXPECT_DEATH(
      {
        EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
        b.breakIt(Instance());
        gBS->RestoreTPL(old);
      },
      "");
}

TEST_P(BrokenInvariantTest, IsLoggedAndTheTransferStaysSoundInTheImages) {
  const Broken &b = GetParam();
  AssertAsInImages asInImages;
  Reach();
  const EFI_STATUS before = Probe().Status();
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  b.breakIt(Instance());
  gBS->RestoreTPL(old);
  EXPECT_EQ(Asserted(b.condition, b.file), 1u);
  // Whatever the transfer still does, it ends, and never as a success that
  // did not happen; nothing is left behind (checked at tear-down).
  EXPECT_TRUE(RunToEnd(400 * kSecond));
  EXPECT_TRUE(EFI_ERROR(done_.status)) << before;
  EXPECT_EQ(Controller().Unrecycled(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Invariants, BrokenInvariantTest, ::testing::ValuesIn(kBroken),
                         [](const ::testing::TestParamInfo<Broken> &info) {
                           return std::string(info.param.name);
                         });

// The passive arm that the flow cannot reach aborts a host build; the images
// log it and run the arm (see McastPortTest for what the arm does).
TEST_F(AssertTest, UnreachablePassiveArmAbortsOnTheHost) {
  Start(Caller::Stream);
  EnterPassive();
  InstanceRig(Proto()).InjectState(TransferState::RrqSent);
  Bytes oack = McastOack(0);
  EXPECT_DEATH(Zem4RrqPassiveRcvOack(Instance(), oack.data(), UINT32(oack.size())), "");
  InstanceRig(Proto()).InjectState(TransferState::Receiving);
}

// A mode without a row keeps the handlers it had.
TEST_F(AssertTest, ModeWithoutRowStoresOnlyTheMode) {
  AssertAsInImages asInImages;
  Start(Caller::Stream);
  Zem4RrqData *rrq = Probe().Download();
  const ZEM4_TIMER_HANDLER timer = rrq->Timer;
  const UINT32 maxRetry = Probe().MaxRetry();
  Zem4RrqSetMode(3, Instance());
  EXPECT_EQ(rrq->Mode, 3u);
  EXPECT_EQ(rrq->Timer, timer);
  EXPECT_EQ(Probe().MaxRetry(), maxRetry);
  Zem4RrqSetMode(ZEM4_MODE_INIT, Instance());
  EXPECT_EQ(Asserted("Row != NULL", "Zem4Rrq.cpp"), 1u);
}

} // namespace
} // namespace zem4::test
