// Every end of a transfer releases through one routine, which may run more
// than once: whatever the transfer held goes exactly once, the caller hears of
// the end once, and the child starts the next transfer.
#include "tests/modes/McastModeFixture.h"

namespace zem4::test {
namespace {

struct ReleaseCase {
  const char *name;
  void (*reach)(McastModeTest &); // brings the transfer to the stage released
};

class ReleaseTest : public McastModeTest, public ::testing::WithParamInterface<ReleaseCase> {
public:
  using McastModeTest::Accept;
  using McastModeTest::EnterActive;
  using McastModeTest::EnterPassive;
  using McastModeTest::FromGroup;
  using McastModeTest::Full;
};

const ReleaseCase kStages[] = {
    {"RequestSent", [](McastModeTest &) {}},
    {"Rpl", [](McastModeTest &t) { static_cast<ReleaseTest &>(t).Accept(); }},
    {"Active",
     [](McastModeTest &t) {
       auto &r = static_cast<ReleaseTest &>(t);
       r.EnterActive(Data8Packet(1, 1, 1032, 0x5A));
     }},
    {"PassiveWithGroupPort",
     [](McastModeTest &t) {
       auto &r = static_cast<ReleaseTest &>(t);
       r.EnterPassive();
       r.FromGroup(r.Full(1, 1));
     }},
};

TEST_P(ReleaseTest, ReleasedTwiceThenFinishedEndsOnce) {
  Start(Caller::Stream);
  GetParam().reach(*this);
  ASSERT_FALSE(Finished());
  Sent();
  Zem4Instance *instance = Instance();
  const bool hadGroup = Probe().Download()->McastUdp != nullptr;

  Zem4RrqRelease(instance);
  EXPECT_FALSE(Probe().HoldsRequest());
  EXPECT_FALSE(Probe().HoldsWindow());
  EXPECT_EQ(Probe().RequestPacket(), nullptr);
  EXPECT_EQ(Probe().LastPacket(), nullptr);
  EXPECT_FALSE(Probe().HasTimer());
  EXPECT_FALSE(Probe().HasReceiveEvent());
  EXPECT_EQ(Probe().PendingSends(), 0u);
  EXPECT_FALSE(Probe().ResetOwed());
  if (hadGroup) {
    EXPECT_FALSE(Probe().HasMcastPort());
  }
  Zem4RrqRelease(instance); // nothing left to free twice
  EXPECT_EQ(done_.count, 0) << "releasing tells the caller nothing";

  InstanceRig(Proto()).InjectStatus(EFI_ABORTED);
  Zem4RrqFinish(instance);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  RunFor(10 * kSecond);
  EXPECT_TRUE(Sent().empty()) << "a released transfer sends nothing";
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(Controller().Unrecycled(), 0u);

  // The child is whole again: the next request goes out.
  const size_t requests = server_->Log().size();
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return server_->Log().size() > requests; }, kSecond));
  EXPECT_EQ(server_->Log().back().datagram.payload, RrqPacket("file.bin"));
}

INSTANTIATE_TEST_SUITE_P(Stages, ReleaseTest, ::testing::ValuesIn(kStages),
                         [](const ::testing::TestParamInfo<ReleaseCase> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
} // namespace zem4::test
