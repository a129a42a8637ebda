// Whole life cycles with multicast downloads: load, connect, children
// downloading at once (unicast beside a group), destroy, disconnect, unload,
// nothing left live; children destroyed and stopped in the middle of a
// multicast download.
#include "tests/multicast/McastFixture.h"

#include "driver/Zem4Driver.h"

namespace zem4::test::mcast {
namespace {

class McastLifecycleTest : public McastFixture {
protected:
  // Member 0 (active) and 2 with a buffer, 1 a stream, all asking at once for
  // a file of 200 blocks and 3 bytes, until 60 DATA8 have gone out.
  ::testing::AssertionResult ThreeMembersUnderWay(Bytes *file) {
    const size_t size = 200 * kBlock + 3;
    *file = Serve("file.bin", size);
    ::testing::AssertionResult ok = AddMembers(3, size, 3);
    if (ok) {
      ok = StartAll();
    }
    if (ok && !host_->RunUntil([&] { return DataSent() >= 60; }, 60 * kSecond)) {
      ok = ::testing::AssertionFailure() << "60 DATA8 not sent in 60 s";
    }
    return ok;
  }
  size_t Children(const Member &m) { return host_->Controller(ControllerIndex(m)).ChildCount(); }
  size_t ControllerIndex(const Member &m) {
    for (size_t i = 0;; i++) {
      if (host_->Controller(i).Handle() == m.controller) {
        return i;
      }
    }
  }
};

TEST_F(McastLifecycleTest, ThreeChildrenOneUnicastTwoInAGroupThenEverythingGoes) {
  const size_t unicastSize = 90 * kBlock + 1;
  const size_t groupSize = 130 * kBlock;
  Bytes unicastFile = Serve("u.bin", unicastSize, 3);
  Bytes groupFile = Serve("m.bin", groupSize, 4);
  // Controller A carries the unicast child and one member; B the other member.
  Member *a = Add(Caller::Buffer, groupSize, "m.bin");
  Member *b = Add(Caller::Stream, groupSize, "m.bin");
  ASSERT_TRUE(a && b);
  Member *u = group_->AddOn(*a, Caller::Buffer, "u.bin", unicastSize, false);
  ASSERT_NE(u, nullptr);
  ASSERT_EQ(Children(*a), 2u);
  ASSERT_EQ(Children(*b), 1u);

  ASSERT_EQ(group_->Start(*u), EFI_SUCCESS);
  ASSERT_EQ(group_->Start(*a), EFI_SUCCESS);
  ASSERT_EQ(group_->Start(*b), EFI_SUCCESS);
  // While the group runs, each member holds a multicast port of its own.
  ASSERT_TRUE(host_->RunUntil([&] { return DataSent() > 20; }, 30 * kSecond));
  EXPECT_EQ(Children(*a), 3u);
  EXPECT_EQ(Children(*b), 2u);

  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond)) << host_->Net().Describe();
  EXPECT_EQ(u->token.Status, EFI_SUCCESS);
  EXPECT_EQ(Group::Compare(*u, unicastFile), "");
  EXPECT_EQ(a->token.Status, EFI_SUCCESS);
  EXPECT_EQ(Group::Compare(*a, groupFile), "");
  EXPECT_EQ(b->token.Status, EFI_SUCCESS);
  EXPECT_EQ(Group::Compare(*b, groupFile), "");
  EXPECT_EQ(ReportFor(*b)->Roles, "passive");
  // The ports went with the transfers; the children stay.
  EXPECT_EQ(Children(*a), 2u);
  EXPECT_EQ(Children(*b), 1u);
  EXPECT_EQ(a->Probe().McastPort(), nullptr);
  EXPECT_EQ(b->Probe().McastPort(), nullptr);

  // Destroyed in neither creation order nor its reverse.
  EXPECT_EQ(group_->Destroy(*a), EFI_SUCCESS);
  EXPECT_EQ(group_->Destroy(*b), EFI_SUCCESS);
  EXPECT_EQ(group_->Destroy(*u), EFI_SUCCESS);
  group_->Release();
  EXPECT_EQ(host_->Disconnect(a->controller), EFI_SUCCESS);
  EXPECT_EQ(host_->Disconnect(b->controller), EFI_SUCCESS);
  EXPECT_EQ(host_->ServiceBinding(a->controller), nullptr);
  EXPECT_EQ(host_->ServiceBinding(b->controller), nullptr);
  EXPECT_EQ(Children(*a), 0u);
  EXPECT_EQ(Children(*b), 0u);
  EXPECT_EQ(host_->Unload(), EFI_SUCCESS);
  for (auto &m : group_->Members()) {
    EXPECT_EQ(m->signalled, 1) << m->Name();
  }
  // Nothing live (pool, events, handles, opens, datagrams): TearDown checks.
}

class McastDestroyTest : public McastLifecycleTest, public ::testing::WithParamInterface<size_t> {};

// Member 0 is active, 1 and 2 are passive; the parameter says which goes.
TEST_P(McastDestroyTest, DestroyChildMidTransferAbortsOnlyThatMember) {
  Bytes file;
  ASSERT_TRUE(ThreeMembersUnderWay(&file));
  Member &gone = (*group_)[GetParam()];
  ASSERT_EQ(gone.signalled, 0);
  EFI_HANDLE port = gone.Probe().McastPort();
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(Children(gone), 2u);

  ASSERT_EQ(group_->Destroy(gone), EFI_SUCCESS);
  EXPECT_EQ(gone.signalled, 1);
  EXPECT_EQ(gone.token.Status, EFI_ABORTED);
  EXPECT_FALSE(host_->Fw().IsHandle(port));
  EXPECT_EQ(host_->Fw().GetProtocol(gone.child, gZem4ProtocolGuid), nullptr);

  ASSERT_TRUE(group_->RunUntilDone(1200 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  EXPECT_EQ(gone.signalled, 1);
}

INSTANTIATE_TEST_SUITE_P(Members, McastDestroyTest, ::testing::Values(0u, 1u, 2u));

// The firmware asked to disconnect the driver from a multicast port's UDP4
// handle mid-download: the driver opened that handle only as a child
// controller's, so it does not manage it and the download goes on.
TEST_P(McastDestroyTest, DisconnectControllerOnTheMulticastPortHandleLeavesTheDownloadAlone) {
  Bytes file;
  ASSERT_TRUE(ThreeMembersUnderWay(&file));
  Member &target = (*group_)[GetParam()];
  EFI_HANDLE port = target.Probe().McastPort();
  ASSERT_NE(port, nullptr);

  EXPECT_EQ(host_->Fw().DisconnectController(port, host_->Image()), EFI_SUCCESS);
  EXPECT_EQ(target.signalled, 0);
  EXPECT_TRUE(host_->Fw().IsHandle(port));

  ASSERT_TRUE(group_->RunUntilDone(1200 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  EXPECT_FALSE(host_->Fw().IsHandle(port)) << "the port went with the transfer";
}

// The driver binding's Stop called for a multicast port's UDP4 handle, as a
// firmware that tracks the port as the driver's own would: the child that
// owns the port is destroyed, the others carry on. (The port's UDP4 is
// opened only BY_CHILD_CONTROLLER: Stop used to find no BY_DRIVER entry, log
// "DriverBindingStop: No Parrent controller found." and return
// EFI_DEVICE_ERROR without ever reaching its branch for a child's port.)
TEST_P(McastDestroyTest, StopForTheMulticastPortHandleDestroysTheOwningChild) {
  Bytes file;
  ASSERT_TRUE(ThreeMembersUnderWay(&file));
  Member &target = (*group_)[GetParam()];
  EFI_HANDLE port = target.Probe().McastPort();
  ASSERT_NE(port, nullptr);

  auto *binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(
      host_->Fw().GetProtocol(host_->Image(), gEfiDriverBindingProtocolGuid));
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->Stop(binding, port, 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(target.signalled, 1);
  EXPECT_EQ(target.token.Status, EFI_ABORTED);
  EXPECT_FALSE(host_->Fw().IsHandle(port));
  if (host_->Fw().GetProtocol(target.child, gZem4ProtocolGuid) == nullptr) {
    target.destroyed = true;
  }

  ASSERT_TRUE(group_->RunUntilDone(1200 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
}

// The firmware takes a member's controller away mid-download: its children
// are stopped through the UDP4 handles the driver holds, the member ends
// with EFI_ABORTED and its multicast port goes; the rest of the group ends
// with the file.
TEST_P(McastDestroyTest, DisconnectingAMembersControllerMidTransfer) {
  Bytes file;
  ASSERT_TRUE(ThreeMembersUnderWay(&file));
  Member &target = (*group_)[GetParam()];
  EFI_HANDLE port = target.Probe().McastPort();
  ASSERT_NE(port, nullptr);

  EXPECT_EQ(host_->Disconnect(target.controller), EFI_SUCCESS);
  EXPECT_EQ(target.signalled, 1);
  EXPECT_EQ(target.token.Status, EFI_ABORTED);
  EXPECT_FALSE(host_->Fw().IsHandle(port));
  EXPECT_EQ(host_->ServiceBinding(target.controller), nullptr);
  EXPECT_EQ(Children(target), 0u);
  target.destroyed = true;

  ASSERT_TRUE(group_->RunUntilDone(1200 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
}

// Unloading the driver while a group downloads: every member ends once with
// EFI_ABORTED and nothing of the driver is left in the firmware.
TEST_F(McastLifecycleTest, UnloadWhileAGroupDownloads) {
  Bytes file;
  ASSERT_TRUE(ThreeMembersUnderWay(&file));
  EXPECT_EQ(host_->Unload(), EFI_SUCCESS);
  for (auto &m : group_->Members()) {
    EXPECT_EQ(m->signalled, 1) << m->Name();
    EXPECT_EQ(m->token.Status, EFI_ABORTED) << m->Name();
    EXPECT_EQ(Children(*m), 0u) << m->Name();
    m->destroyed = true;
  }
  host_->RunUntil([] { return false; }, 10 * kSecond);
  for (auto &m : group_->Members()) {
    EXPECT_EQ(m->signalled, 1) << m->Name();
  }
}

} // namespace
} // namespace zem4::test::mcast
