// Larger and stranger groups: sixteen members joining at four points of the
// file over a lossy network, sixteen listeners driving their repairs in turn, two groups for two
// files on the same controllers at once, and two children of one controller asking for the same
// group (one port number, one address: only one can bind it).
#include "tests/multicast/McastFixture.h"

namespace zem4::test::mcast {
namespace {

TEST_F(McastFixture, SixteenMembersJoiningAtFourPointsOverALossyNetwork) {
  const size_t size = 120 * kBlock + 21;
  Bytes file = Serve("file.bin", size);
  ASSERT_TRUE(AddMembers(16, size, 2));
  host::FaultProfile profile = Lan();
  profile.loss = profile.duplicate = profile.reorder = 0.05;
  host_->Net().SetDefaultProfile(profile);
  const uint32_t blocks = BlocksOf(size);
  for (size_t wave = 0; wave < 4; wave++) {
    if (wave > 0) {
      ASSERT_TRUE(host_->RunUntil([&] { return DataSent() >= wave * blocks / 4; }, 120 * kSecond))
          << host_->Net().Describe();
    }
    for (size_t i = wave * 4; i < wave * 4 + 4; i++) {
      ASSERT_EQ(group_->Start((*group_)[i]), EFI_SUCCESS);
    }
  }
  ASSERT_TRUE(group_->RunUntilDone(3600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
}

// Sixteen members ask at once; every listener loses some of the group's
// stream and must drive a repair pass of its own, one after another. The last
// to drive waits through all the others' passes (quiet spells and passes that
// bring it nothing) and still ends with the file.
TEST_F(McastFixture, SixteenListenersDriveTheirRepairsInTurnAndTheLastStillFinishes) {
  Bytes file;
  ASSERT_NO_FATAL_FAILURE(AllExactDespiteListenerLoss(16, 60 * kBlock + 300, 3, 0.1, &file));

  // Most listeners drove a repair pass; the one that drove last finished
  // after everyone else, with the file.
  Member *last = nullptr;
  size_t drove = 0;
  for (size_t i = 1; i < 16; i++) {
    Member &m = (*group_)[i];
    auto report = ReportFor(m);
    ASSERT_TRUE(report.has_value()) << m.Name();
    if (report->Roles.find("active") != std::string::npos) {
      drove++;
      if (last == nullptr || m.doneAt > last->doneAt) {
        last = &m;
      }
    }
  }
  ASSERT_NE(last, nullptr);
  // (Listeners that hear their OACK again in a later pass take more from
  // the others' passes, so not every one has to drive.)
  EXPECT_GE(drove, 6u) << "listeners repaired by driving";
  for (auto &m : group_->Members()) {
    EXPECT_LE(m->doneAt, last->doneAt) << m->Name();
  }
  EXPECT_EQ(last->token.Status, EFI_SUCCESS);
  EXPECT_EQ(Group::Compare(*last, file), "");
}

TEST_F(McastFixture, TwoGroupsForTwoFilesOnTheSameControllers) {
  const size_t sizeA = 150 * kBlock + 1, sizeB = 90 * kBlock + 700;
  Bytes fileA = Serve("a.bin", sizeA, 1);
  Bytes fileB = Serve("b.bin", sizeB, 2);
  // Three controllers, each with one member of each group.
  std::vector<Member *> a, b;
  for (size_t i = 0; i < 3; i++) {
    a.push_back(Add(i == 1 ? Caller::Stream : Caller::Buffer, sizeA, "a.bin"));
    ASSERT_NE(a.back(), nullptr);
  }
  for (size_t i = 0; i < 3; i++) {
    b.push_back(
        group_->AddOn(*a[i], i == 2 ? Caller::Stream : Caller::Buffer, "b.bin", sizeB, true));
    ASSERT_NE(b.back(), nullptr);
  }
  for (size_t i = 0; i < 3; i++) {
    ASSERT_EQ(group_->Start(*a[i]), EFI_SUCCESS);
    ASSERT_EQ(group_->Start(*b[i]), EFI_SUCCESS);
  }
  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond)) << host_->Net().Describe();
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(a[i]->token.Status, EFI_SUCCESS) << a[i]->Name();
    EXPECT_EQ(Group::Compare(*a[i], fileA), "");
    EXPECT_EQ(b[i]->token.Status, EFI_SUCCESS) << b[i]->Name();
    EXPECT_EQ(Group::Compare(*b[i], fileB), "");
  }
  EXPECT_EQ(server_->Engine().Stats().GroupsCreated, 2u);
  // Each group streamed its file once.
  EXPECT_EQ(DataSent(), BlocksOf(sizeA) + BlocksOf(sizeB));
}

// Both children bind the group's port on the same station address; only the
// first gets it. The second ends with an error of its own, the first with
// the file, and nothing is left behind.
TEST_F(McastFixture, TwoChildrenOfOneControllerInOneGroup) {
  const size_t size = 80 * kBlock + 8;
  Bytes file = Serve("file.bin", size);
  Member *first = Add(Caller::Buffer, size);
  ASSERT_NE(first, nullptr);
  Member *second = group_->AddOn(*first, Caller::Stream, "file.bin", size, true);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(group_->Start(*first), EFI_SUCCESS);
  ASSERT_EQ(group_->Start(*second), EFI_SUCCESS);
  ASSERT_TRUE(group_->RunUntilDone(900 * kSecond)) << host_->Net().Describe();
  EXPECT_EQ(first->signalled, 1);
  EXPECT_EQ(first->token.Status, EFI_SUCCESS);
  EXPECT_EQ(Group::Compare(*first, file), "");
  EXPECT_EQ(second->signalled, 1);
  EXPECT_TRUE(EFI_ERROR(second->token.Status)) << second->token.Status;
  EXPECT_TRUE(second->streamed.empty());
  EXPECT_EQ(second->Probe().McastPort(), nullptr);
}

} // namespace
} // namespace zem4::test::mcast
