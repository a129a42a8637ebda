// A child's record is freed only when nothing can reach it any more: not while
// a transfer was just restarted on it, not while UDP4 still holds its tokens,
// not through another controller's service binding, and no UDP4 child or
// image is lost or kept by a handle that only looks like ours.
#include "driver/Zem4Driver.h"
#include "host/FaultInjector.h"
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"
#include "transport/Zem4Packet.h"

namespace zem4::test {
namespace {

class ChildSafetyTest : public DriverFixture {
protected:
  Zem4ServiceBinding *Sb(EFI_HANDLE controller) {
    EFI_SERVICE_BINDING_PROTOCOL *sb = host_->ServiceBinding(controller);
    return sb == nullptr ? nullptr : ZEM4_SERVICE_BINDING_FROM_THIS(sb);
  }
  // A transfer on `instance` whose request is out and that nobody answers.
  void StartSilent(Zem4Instance *instance, Zem4Token &token, Completion &completion) {
    Zem4ConfigData config = DefaultConfig();
    ASSERT_EQ(ProtoOf(instance)->Configure(ProtoOf(instance), &config), EFI_SUCCESS);
    PrepareToken(token, completion, "boot.efi");
    token.CheckPacket = AcceptData;
    ASSERT_EQ(ProtoOf(instance)->ReadFile(ProtoOf(instance), &token), EFI_SUCCESS);
    RunFor(10 * kMs);
  }
  // The next `count` UDP4 Configure calls fail.
  void FailConfigures(int count) {
    uint64_t next = Fw().Faults().Count("Udp4.Configure");
    for (int i = 1; i <= count; i++) {
      Fw().Faults().FailNth("Udp4.Configure", next + i, EFI_DEVICE_ERROR);
    }
  }
  size_t Requests() const {
    size_t n = 0;
    for (const auto &record : ClientSends()) {
      n += record.datagram.payload.size() >= 2 && record.datagram.payload[1] == 1;
    }
    return n;
  }
};

// The token's notification runs when DestroyChild's Configure with no data
// lowers the level again, before the child is gone: it must not start
// anything on a child that is being destroyed.
TEST_F(ChildSafetyTest, ATokenEventCannotRestartAChildBeingDestroyed) {
  Completion next;
  Zem4Token nextToken;
  PrepareToken(nextToken, next, "again.efi");
  nextToken.CheckPacket = AcceptData;
  EFI_STATUS reconfigure = EFI_NOT_READY, restart = EFI_NOT_READY;
  Zem4Instance *instance = Instance();
  done_.onSignal = [&] {
    Zem4ConfigData config = DefaultConfig();
    reconfigure = ProtoOf(instance)->Configure(ProtoOf(instance), &config);
    restart = ProtoOf(instance)->ReadFile(ProtoOf(instance), &nextToken);
  };
  StartSilent(instance, token_, done_);
  ASSERT_EQ(Requests(), 1u);

  DestroyMainInstance();
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(reconfigure, EFI_ACCESS_DENIED);
  EXPECT_EQ(restart, EFI_ACCESS_DENIED);
  RunFor(30 * kSecond);
  EXPECT_EQ(Requests(), 1u) << "nothing was started on the freed child";
  EXPECT_EQ(next.count, 0);
  EXPECT_EQ(Sb(controllerHandle_)->ChildrenNum, 0);
}

// UDP4 refuses to reset the port twice when a transfer ends: it still holds
// the posted receive and the sends in flight, which live in the child.
TEST_F(ChildSafetyTest, AResetOwedIsRetriedBeforeTheNextStartAndRefusedWhileItFails) {
  Controller().SetSendCompletion(host::SendCompletion::Held);
  StartSilent(Instance(), token_, done_);
  FailConfigures(2);
  EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(CountLog("Zem4CloseUdpPort: failed to configure NULL to the Udp port\n"), 2u);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);

  // Still refused (a retry and its second attempt): the start does not go
  // ahead over the old tokens.
  FailConfigures(2);
  Completion second;
  Zem4Token secondToken;
  PrepareToken(secondToken, second, "second.efi");
  secondToken.CheckPacket = AcceptData;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &secondToken), EFI_DEVICE_ERROR);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_EQ(Requests(), 1u);

  // Once UDP4 lets go, the old receive and send are dropped and the next
  // transfer runs on a clean port.
  Controller().SetSendCompletion(host::SendCompletion::NextTick);
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("second.efi")).Reply(ErrorPacket(1, "File not found"));
  ASSERT_EQ(Proto()->ReadFile(Proto(), &secondToken), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return second.count > 0; }, 10 * kSecond));
  EXPECT_EQ(second.status, EFI_TFTP_ERROR);
  EXPECT_TRUE(server.Failures().empty());
  EXPECT_EQ(done_.count, 1);
}

// DestroyChild of a child whose port could not be reset, as the last child
// (its UDP4 child would become the reserve) and as one of two.
TEST_F(ChildSafetyTest, DestroyingAChildWithAResetOwedGivesUpItsUdpChildFirst) {
  for (bool last : {true, false}) {
    SCOPED_TRACE(last ? "last child" : "one of two");
    Zem4Instance *victim = CreateInstance();
    if (last) {
      DestroyMainInstance();
    }
    ASSERT_NE(victim, nullptr);
    Controller().SetSendCompletion(host::SendCompletion::Held);
    Completion ended;
    Zem4Token token;
    StartSilent(victim, token, ended);
    const size_t udpChildren = Controller().ChildCount();
    FailConfigures(4); // the reset at the abort and DestroyChild's retry, two tries each
    EXPECT_EQ(host_->DestroyChild(controllerHandle_, InstanceProbe(ProtoOf(victim)).ChildHandle()),
              EFI_SUCCESS);
    EXPECT_EQ(ended.count, 1);
    EXPECT_EQ(ended.status, EFI_ABORTED);
    EXPECT_EQ(Sb(controllerHandle_)->ChildrenNum, last ? 0 : 1);
    // The stuck UDP4 child went; a last child leaves a fresh reserve behind.
    EXPECT_EQ(Controller().ChildCount(), udpChildren - (last ? 0 : 1));
    Controller().SetSendCompletion(host::SendCompletion::NextTick);
    RunFor(5 * kSecond);
    if (last) {
      // The new reserve serves the next first child.
      instance_ = CreateInstance();
      ASSERT_NE(instance_, nullptr);
      Completion again;
      Zem4Token againToken;
      StartSilent(instance_, againToken, again);
      EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
      EXPECT_EQ(again.status, EFI_ABORTED);
    }
  }
}

// Neither a reset nor the UDP4 child's destruction can be had: the child's
// memory stays (a leak the firmware reports) rather than be freed under the
// receive UDP4 still holds.
TEST_F(ChildSafetyTest, WithoutUdp4sServiceBindingAChildWithAResetOwedIsKept) {
  Zem4Instance *victim = CreateInstance();
  ASSERT_NE(victim, nullptr);
  Completion ended;
  Zem4Token token;
  StartSilent(victim, token, ended);
  const uint16_t port = ClientSends().back().datagram.srcPort;
  FailConfigures(4);
  // DestroyChild's second open is the one of UDP4's service binding.
  Fw().Faults().FailNth("OpenProtocol", Fw().Faults().Count("OpenProtocol") + 2, EFI_NOT_FOUND);
  EXPECT_EQ(host_->DestroyChild(controllerHandle_, InstanceProbe(ProtoOf(victim)).ChildHandle()),
            EFI_NOT_FOUND);
  EXPECT_EQ(CountLog("DestroyChild: Get Udp4SB failed with Not Found.\n"), 1u);
  EXPECT_EQ(ended.status, EFI_ABORTED);
  // A datagram for the port still completes the receive into live memory.
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Send(kClientIp, port, Bytes{0, 6});
  RunFor(1 * kSecond);
  checkLeaks_ = false; // the kept child, by design
}

TEST_F(ChildSafetyTest, DestroyChildThroughAnotherControllersServiceBindingIsRefused) {
  EFI_HANDLE controllerB = host_->AddController(host::Ipv4(127, 0, 1, 7));
  ASSERT_EQ(host_->Connect(controllerB), EFI_SUCCESS);
  EFI_HANDLE child = Probe().ChildHandle();
  EXPECT_EQ(host_->DestroyChild(controllerB, child), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sb(controllerB)->ChildrenNum, 0);
  EXPECT_EQ(Sb(controllerHandle_)->ChildrenNum, 1);
  EXPECT_EQ(host_->Protocol(child), Proto()) << "the child lives on";
  EXPECT_FALSE(Probe().InDestroy());

  // Both controllers still stop cleanly.
  DestroyMainInstance();
  EXPECT_EQ(host_->Disconnect(controllerB), EFI_SUCCESS);
  EXPECT_EQ(host_->ServiceBinding(controllerB), nullptr);
  EXPECT_EQ(host_->Disconnect(controllerHandle_), EFI_SUCCESS);
  EXPECT_EQ(host_->ServiceBinding(controllerHandle_), nullptr);
}

// Handle values come back after a handle is freed. The UDP4 child a failed
// CreateChild made must go even when its handle equals the stale reserve.
EFI_SERVICE_BINDING_CREATE_CHILD gRealUdpCreateChild;
Zem4ServiceBinding *gStaleReserveOf;

EFI_STATUS EFIAPI CreateChildReusingTheStaleHandle(EFI_SERVICE_BINDING_PROTOCOL *This,
                                                   EFI_HANDLE *ChildHandle) {
  EFI_STATUS status = gRealUdpCreateChild(This, ChildHandle);
  if (!EFI_ERROR(status)) {
    gStaleReserveOf->UdpChildHandle = *ChildHandle;
  }
  return status;
}

TEST_F(ChildSafetyTest, AFailedCreateChildGivesBackItsUdpChildWhateverItsHandle) {
  auto *udpSb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(
      Fw().GetProtocol(controllerHandle_, gEfiUdp4ServiceBindingProtocolGuid));
  ASSERT_NE(udpSb, nullptr);
  const size_t udpChildren = Controller().ChildCount();
  gRealUdpCreateChild = udpSb->CreateChild;
  gStaleReserveOf = Sb(controllerHandle_);
  udpSb->CreateChild = CreateChildReusingTheStaleHandle;
  Fw().Faults().FailNext("InstallMultipleProtocolInterfaces", EFI_OUT_OF_RESOURCES);
  EFI_HANDLE child = nullptr;
  const EFI_HANDLE reserve = gStaleReserveOf->UdpChildHandle;
  EXPECT_EQ(host_->CreateChild(controllerHandle_, &child), EFI_OUT_OF_RESOURCES);
  udpSb->CreateChild = gRealUdpCreateChild;
  gStaleReserveOf->UdpChildHandle = reserve; // none is held while a child exists
  EXPECT_EQ(Controller().ChildCount(), udpChildren) << "the new UDP4 child was destroyed";
  EXPECT_EQ(Sb(controllerHandle_)->ChildrenNum, 1);
  EXPECT_EQ(CountLog("Zem4ServiceBindingCreateChild: Install Zem4 on child faild with Out of "
                     "Resources.\n"),
            1u);
}

// Another loaded copy of this driver (another image) has a service binding
// under the same GUID; it is not ours and does not keep this image loaded.
EFI_STATUS EFIAPI OtherCopyCreateChild(EFI_SERVICE_BINDING_PROTOCOL *, EFI_HANDLE *) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI OtherCopyDestroyChild(EFI_SERVICE_BINDING_PROTOCOL *, EFI_HANDLE) {
  return EFI_UNSUPPORTED;
}

TEST_F(ChildSafetyTest, UnloadIgnoresAnotherCopysServiceBinding) {
  EFI_SERVICE_BINDING_PROTOCOL otherCopy = {OtherCopyCreateChild, OtherCopyDestroyChild};
  EFI_HANDLE otherController =
      Fw().InstallProtocol(nullptr, gZem4ServiceBindingProtocolGuid, &otherCopy);
  ASSERT_NE(otherController, nullptr);

  DestroyMainInstance();
  EXPECT_EQ(host_->Disconnect(controllerHandle_), EFI_SUCCESS);
  EXPECT_EQ(host_->Unload(), EFI_SUCCESS);
  EXPECT_FALSE(host_->Loaded());
  Fw().UninstallProtocol(otherController, gZem4ServiceBindingProtocolGuid, &otherCopy);
}

} // namespace
} // namespace zem4::test
