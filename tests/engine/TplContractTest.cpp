// The caller contract on task priority: the driver's lock never lowers the
// level it is taken at, and every call that would reach UDP4 above
// TPL_CALLBACK is refused at once with nothing changed, whether the caller
// raised the level itself or calls from a notification.
#include "driver/Zem4Driver.h"
#include "protocol/Zem4Rrq.h"
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"

namespace zem4::test {
namespace {

VOID EFIAPI RunClosure(EFI_EVENT, VOID *Context) {
  (*static_cast<std::function<void()> *>(Context))();
}

class TplContractTest : public DriverFixture {
protected:
  Zem4ServiceBinding *Sb() {
    return ZEM4_SERVICE_BINDING_FROM_THIS(host_->ServiceBinding(controllerHandle_));
  }
  uint64_t UdpCalls() const {
    uint64_t total = 0;
    for (const auto &[name, count] : fw_->Faults().Counts()) {
      if (name.rfind("Udp4", 0) == 0) {
        total += count;
      }
    }
    return total;
  }
  // A transfer whose request is out and that nobody answers.
  void StartSilentTransfer() {
    ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(token_, done_, "boot.efi");
    token_.CheckPacket = AcceptData;
    ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
    RunFor(10 * kMs);
    ASSERT_EQ(Probe().State(), TransferState::RrqSent);
  }
  // Runs `body` inside a timer notification at `tpl`, the way a boot manager's
  // own timers call the driver.
  void FromNotification(EFI_TPL tpl, std::function<void()> body) {
    bool ran = false;
    std::function<void()> closure = [&] {
      ran = true;
      EXPECT_EQ(fw_->CurrentTpl(), tpl);
      body();
    };
    EFI_EVENT timer = nullptr;
    ASSERT_EQ(gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, tpl, RunClosure, &closure, &timer),
              EFI_SUCCESS);
    ASSERT_EQ(gBS->SetTimer(timer, TimerRelative, 1 * kMs), EFI_SUCCESS);
    RunUntil([&] { return ran; }, 1 * kSecond);
    gBS->CloseEvent(timer);
    ASSERT_TRUE(ran);
  }
};

TEST_F(TplContractTest, TheLockIsTakenAtCallbackAndNeverLowersTheLevel) {
  const struct {
    EFI_TPL caller;
    EFI_TPL held;
  } cases[] = {
      {TPL_APPLICATION, TPL_CALLBACK},
      {TPL_CALLBACK, TPL_CALLBACK},
      {TPL_NOTIFY, TPL_NOTIFY},
      {TPL_HIGH_LEVEL, TPL_HIGH_LEVEL},
  };
  for (const auto &c : cases) {
    EFI_TPL old = gBS->RaiseTPL(c.caller);
    Zem4Lock lock;
    Zem4InitLock(&lock, ZEM4_TPL_LOCK);
    ASSERT_EQ(Zem4AcquireLock(&lock), EFI_SUCCESS);
    EXPECT_EQ(fw_->CurrentTpl(), c.held) << "lock taken at " << c.caller;
    EXPECT_EQ(Zem4AcquireLock(&lock), EFI_ACCESS_DENIED) << "not recursive";
    Zem4ReleaseLock(&lock);
    EXPECT_EQ(fw_->CurrentTpl(), c.caller);

    EFI_TPL before = Zem4RaiseToLock();
    EXPECT_EQ(before, c.caller);
    EXPECT_EQ(fw_->CurrentTpl(), c.held);
    gBS->RestoreTPL(before);
    EXPECT_EQ(fw_->CurrentTpl(), c.caller);
    gBS->RestoreTPL(old);
    EXPECT_TRUE(fw_->Violations().empty()) << "at " << c.caller << ": " << fw_->Violations()[0];
  }
  // The service binding's own lock and the address-wait timer sit at the same level.
  EXPECT_EQ(Sb()->Lock.Tpl, TPL_CALLBACK);
}

// Each call that reaches UDP4, made above TPL_CALLBACK against a child with a
// running transfer and an idle sibling.
TEST_F(TplContractTest, CallsThatWouldReachUdp4AboveCallbackAreRefusedAndChangeNothing) {
  Zem4Instance *idle = CreateInstance();
  ASSERT_NE(idle, nullptr);
  Zem4ConfigData config = DefaultConfig();
  ASSERT_EQ(ProtoOf(idle)->Configure(ProtoOf(idle), &config), EFI_SUCCESS);
  StartSilentTransfer();

  Completion other;
  Zem4Token otherToken;
  PrepareToken(otherToken, other, "other.efi");
  otherToken.CheckPacket = AcceptData;
  UINT32 length = 0;
  VOID *packet = nullptr;
  EFI_HANDLE newChild = nullptr;
  Zem4 *busy = Proto();
  Zem4 *spare = ProtoOf(idle);

  const struct {
    const char *name;
    std::function<EFI_STATUS()> call;
  } calls[] = {
      {"ReadFile on the idle child", [&] { return spare->ReadFile(spare, &otherToken); }},
      {"ReadFile on the busy child", [&] { return busy->ReadFile(busy, &otherToken); }},
      {"GetInfo",
       [&] {
         return spare->GetInfo(spare, nullptr, const_cast<CHAR8 *>("f"), nullptr, 0, nullptr,
                               &length, &packet);
       }},
      {"Configure with no data", [&] { return busy->Configure(busy, nullptr); }},
      {"Poll", [&] { return busy->Poll(busy); }},
      {"CreateChild", [&] { return host_->CreateChild(controllerHandle_, &newChild); }},
      {"DestroyChild of the busy child",
       [&] { return host_->DestroyChild(controllerHandle_, Probe().ChildHandle()); }},
      {"DestroyChild of the idle child",
       [&] {
         return host_->DestroyChild(controllerHandle_, InstanceProbe(ProtoOf(idle)).ChildHandle());
       }},
  };
  const uint64_t udpBefore = UdpCalls();
  const size_t sendsBefore = ClientSends().size();
  for (EFI_TPL tpl : {EFI_TPL(TPL_NOTIFY), EFI_TPL(TPL_HIGH_LEVEL)}) {
    for (const auto &c : calls) {
      EFI_TPL old = gBS->RaiseTPL(tpl);
      EXPECT_EQ(c.call(), EFI_INVALID_PARAMETER) << c.name << " at " << tpl;
      EXPECT_EQ(fw_->CurrentTpl(), tpl) << c.name;
      gBS->RestoreTPL(old);
      EXPECT_EQ(UdpCalls(), udpBefore) << c.name << " at " << tpl;
      EXPECT_EQ(Sb()->ChildrenNum, 2u) << c.name;
      EXPECT_EQ(Probe().State(), TransferState::RrqSent) << c.name;
      EXPECT_TRUE(Probe().Configured()) << c.name;
      EXPECT_EQ(InstanceProbe(ProtoOf(idle)).State(), TransferState::Idle) << c.name;
      EXPECT_FALSE(InstanceProbe(ProtoOf(idle)).InDestroy()) << c.name;
      EXPECT_FALSE(Probe().InDestroy()) << c.name;
      EXPECT_EQ(done_.count, 0) << c.name;
      EXPECT_EQ(other.count, 0) << c.name;
    }
  }
  EXPECT_EQ(newChild, nullptr);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(ClientSends().size(), sendsBefore);
  EXPECT_TRUE(Logs().empty()) << Logs()[0];

  // What takes no UDP4 call still answers up there.
  EFI_TPL old = gBS->RaiseTPL(TPL_NOTIFY);
  Zem4ModeData mode{};
  EXPECT_EQ(busy->GetModeData(busy, &mode), EFI_SUCCESS);
  Zem4TransferStatus status{};
  EXPECT_EQ(busy->GetStatus(busy, &status), EFI_SUCCESS);
  EXPECT_EQ(spare->Configure(spare, &config), EFI_SUCCESS);
  UINT8 oack[] = {0, 6, 't', 's', 'i', 'z', 'e', 0, '9', 0};
  UINT32 count = 0;
  Zem4Option *options = nullptr;
  EXPECT_EQ(busy->ParseOptions(busy, sizeof(oack), oack, &count, &options), EFI_SUCCESS);
  EXPECT_EQ(count, 1u);
  gBS->FreePool(options);
  gBS->RestoreTPL(old);
  // Its list is pool memory, which is not to be had at TPL_HIGH_LEVEL.
  old = gBS->RaiseTPL(TPL_HIGH_LEVEL);
  options = nullptr;
  EXPECT_EQ(busy->ParseOptions(busy, sizeof(oack), oack, &count, &options), EFI_INVALID_PARAMETER);
  EXPECT_EQ(options, nullptr);
  gBS->RestoreTPL(old);

  // The transfer was left exactly as it was: it still ends once, aborted.
  EXPECT_EQ(busy->Configure(busy, nullptr), EFI_SUCCESS);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  DestroyInstance(idle);
}

// The same contract from notifications: at TPL_CALLBACK a timer's notify
// function may end and destroy a child; above it the driver refuses.
TEST_F(TplContractTest, NotificationsAtCallbackMayCallAndThoseAboveAreRefused) {
  const struct {
    EFI_TPL tpl;
    EFI_STATUS expected;
  } cases[] = {
      {TPL_NOTIFY, EFI_INVALID_PARAMETER},
      {TPL_CALLBACK, EFI_SUCCESS},
  };
  for (const auto &c : cases) {
    Zem4Instance *child = CreateInstance();
    ASSERT_NE(child, nullptr);
    Zem4ConfigData config = DefaultConfig();
    ASSERT_EQ(ProtoOf(child)->Configure(ProtoOf(child), &config), EFI_SUCCESS);
    Completion ended;
    Zem4Token token;
    PrepareToken(token, ended, "boot.efi");
    token.CheckPacket = AcceptData;
    ASSERT_EQ(ProtoOf(child)->ReadFile(ProtoOf(child), &token), EFI_SUCCESS);
    RunFor(10 * kMs);
    const uint16_t childrenBefore = Sb()->ChildrenNum;
    EFI_HANDLE handle = InstanceProbe(ProtoOf(child)).ChildHandle();

    EFI_STATUS poll = EFI_NOT_READY, destroy = EFI_NOT_READY;
    FromNotification(c.tpl, [&] {
      poll = ProtoOf(child)->Poll(ProtoOf(child));
      destroy = host_->DestroyChild(controllerHandle_, handle);
    });
    EXPECT_EQ(poll, c.expected) << "Poll at " << c.tpl;
    EXPECT_EQ(destroy, c.expected) << "DestroyChild at " << c.tpl;
    if (c.expected == EFI_SUCCESS) {
      EXPECT_EQ(Sb()->ChildrenNum, childrenBefore - 1);
      EXPECT_EQ(host_->Protocol(handle), nullptr);
      EXPECT_EQ(ended.count, 1);
      EXPECT_EQ(ended.status, EFI_ABORTED);
    } else {
      EXPECT_EQ(Sb()->ChildrenNum, childrenBefore);
      EXPECT_EQ(InstanceProbe(ProtoOf(child)).State(), TransferState::RrqSent);
      EXPECT_EQ(ended.count, 0);
      DestroyInstance(child);
      EXPECT_EQ(ended.count, 1);
      EXPECT_EQ(ended.status, EFI_ABORTED);
    }
  }
}

} // namespace
} // namespace zem4::test
