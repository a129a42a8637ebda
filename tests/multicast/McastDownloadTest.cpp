// Whole multicast downloads from the server's real engine: one stream to
// several members, late joiners repaired in later passes, an active member
// that vanishes. Every member ends with EFI_SUCCESS and the exact file.
#include "tests/common/ScriptedServer.h"
#include "tests/multicast/McastFixture.h"

namespace zem4::test::mcast {
namespace {

enum class Mix { Buffer, Stream, Mixed };

Caller CallerFor(Mix mix, size_t index) {
  switch (mix) {
  case Mix::Buffer:
    return Caller::Buffer;
  case Mix::Stream:
    return Caller::Stream;
  default:
    return index % 3 == 0   ? Caller::Buffer
           : index % 3 == 1 ? Caller::Stream
                            : Caller::BufferAndCheck;
  }
}

std::string MixName(const ::testing::TestParamInfo<Mix> &info) {
  switch (info.param) {
  case Mix::Buffer:
    return "Buffer";
  case Mix::Stream:
    return "Stream";
  default:
    return "Mixed";
  }
}

class McastDownloadTest : public McastFixture, public ::testing::WithParamInterface<Mix> {
protected:
  // Four members for a file of `size` bytes, as the parameter mixes them.
  ::testing::AssertionResult AddFour(size_t size) {
    return AddMembers(4, size, [](size_t i) { return CallerFor(GetParam(), i); });
  }
};

TEST_P(McastDownloadTest, OneActiveThreePassiveShareOneStream) {
  const size_t size = 100 * kBlock + 77;
  Bytes file = Serve("file.bin", size);
  ASSERT_TRUE(AddFour(size));
  // All four ask in the same instant: the first is active, the rest listen.
  ASSERT_TRUE(StartAll());
  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);

  // One stream served everyone: each block went out once, in one pass.
  EXPECT_EQ(DataSent(), BlocksOf(size));
  for (auto &m : group_->Members()) {
    auto report = ReportFor(*m);
    ASSERT_TRUE(report.has_value()) << m->Name();
    EXPECT_EQ(report->Passes, 1u) << m->Name();
    EXPECT_TRUE(report->Success) << m->Name();
    EXPECT_EQ(report->Roles, m->index == 0 ? "active" : "passive") << m->Name();
  }
  // A passive member says nothing after its request.
  for (size_t i = 1; i < 4; i++) {
    EXPECT_EQ(SentBy((*group_)[i]), 1u) << (*group_)[i].Name();
  }
  // Streams get the file in order, in more than one run, none of them empty.
  for (auto &m : group_->Members()) {
    if (m->caller == Caller::Stream) {
      EXPECT_GT(m->runs, 1u);
    }
  }
}

TEST_P(McastDownloadTest, LateJoinerRepairsWhatItMissedInALaterPass) {
  const size_t size = 300 * kBlock + 5;
  Bytes file = Serve("file.bin", size);
  ASSERT_TRUE(AddFour(size));
  ASSERT_EQ(group_->Start((*group_)[0]), EFI_SUCCESS);
  ASSERT_EQ(group_->Start((*group_)[1]), EFI_SUCCESS);
  ASSERT_TRUE(host_->RunUntil([&] { return DataSent() >= BlocksOf(size) / 3; }, 60 * kSecond));
  // Two more join a third of the way in.
  ASSERT_EQ(group_->Start((*group_)[2]), EFI_SUCCESS);
  ASSERT_EQ(group_->Start((*group_)[3]), EFI_SUCCESS);
  ASSERT_TRUE(group_->RunUntilDone(1200 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);

  for (size_t i = 0; i < 4; i++) {
    auto report = ReportFor((*group_)[i]);
    ASSERT_TRUE(report.has_value());
    EXPECT_TRUE(report->Success) << (*group_)[i].Name();
    if (i < 2) {
      EXPECT_EQ(report->Passes, 1u) << (*group_)[i].Name();
    } else {
      EXPECT_GE(report->Passes, 2u) << (*group_)[i].Name() << " joined late";
    }
  }
  // The late joiners were passive when they joined, so they saw a missing
  // head of the file.
  for (size_t i = 2; i < 4; i++) {
    Zem4TransferStatus status{};
    Member &m = (*group_)[i];
    ASSERT_EQ(m.proto->GetStatus(m.proto, &status), EFI_SUCCESS);
    EXPECT_EQ(status.Percent, 100u) << m.Name();
  }
}

TEST_P(McastDownloadTest, ActiveMemberVanishingMidTransferLeavesTheOthersTheWholeFile) {
  const size_t size = 240 * kBlock + 900;
  Bytes file = Serve("file.bin", size);
  ASSERT_TRUE(AddFour(size));
  ASSERT_TRUE(StartAll());
  ASSERT_TRUE(host_->RunUntil([&] { return DataSent() >= BlocksOf(size) / 3; }, 60 * kSecond));
  Member &active = (*group_)[0];
  ASSERT_EQ(active.signalled, 0);
  EFI_HANDLE mcastChild = active.Probe().McastPort();
  ASSERT_NE(mcastChild, nullptr);

  ASSERT_EQ(group_->Destroy(active), EFI_SUCCESS);
  EXPECT_EQ(active.signalled, 1);
  EXPECT_EQ(active.token.Status, EFI_ABORTED);
  EXPECT_FALSE(host_->Fw().IsHandle(mcastChild)) << "the multicast port went with the child";
  size_t heard = SentBy(active);

  ASSERT_TRUE(group_->RunUntilDone(1200 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  EXPECT_EQ(SentBy(active), heard) << "a destroyed member sends nothing more";
  EXPECT_EQ(active.signalled, 1);
  for (size_t i = 1; i < 4; i++) {
    auto report = ReportFor((*group_)[i]);
    ASSERT_TRUE(report.has_value());
    EXPECT_GE(report->Passes, 2u) << (*group_)[i].Name();
  }
}

INSTANTIATE_TEST_SUITE_P(Callers, McastDownloadTest,
                         ::testing::Values(Mix::Buffer, Mix::Stream, Mix::Mixed), MixName);

// A member that asks for multicast beside one that does not: the unicast
// client is served on its own and both end with their files.
TEST_F(McastFixture, UnicastAndMulticastClientsOfOneFileBothEndWithIt) {
  const size_t size = 70 * kBlock;
  Bytes file = Serve("file.bin", size);
  ASSERT_NE(Add(Caller::Buffer, size), nullptr);
  ASSERT_NE(Add(Caller::Stream, size, "file.bin", false), nullptr);
  ASSERT_NE(Add(Caller::Stream, size), nullptr);
  ASSERT_TRUE(StartAll());
  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  auto report = ReportFor((*group_)[1]);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->Roles, "unicast");
}

} // namespace
} // namespace zem4::test::mcast
