// Task priority levels and event notification: order, levels, queuing,
// closing, and stale handles.
#include "tests/common/FirmwareFixture.h"

#include <string>
#include <vector>

namespace zem4::test {
namespace {

class TplEvents : public FirmwareFixture {
protected:
  struct Probe {
    TplEvents *self;
    std::string name;
    EFI_EVENT event = nullptr;
    std::function<void()> body;
  };

  static VOID EFIAPI Record(EFI_EVENT, VOID *context) {
    auto *p = static_cast<Probe *>(context);
    p->self->log.push_back(p->name + "@" + std::to_string(p->self->Fw().CurrentTpl()));
    if (p->body)
      p->body();
  }

  Probe &Make(const std::string &name, EFI_TPL tpl, UINT32 type = EVT_NOTIFY_SIGNAL) {
    probes.push_back(std::make_unique<Probe>(Probe{this, name}));
    Probe &p = *probes.back();
    EXPECT_EQ(Bs()->CreateEvent(type, tpl, Record, &p, &p.event), EFI_SUCCESS);
    return p;
  }

  void TearDown() override {
    for (auto &p : probes)
      if (p->event && Fw().IsEvent(p->event))
        Bs()->CloseEvent(p->event);
    FirmwareFixture::TearDown();
  }

  std::vector<std::unique_ptr<Probe>> probes;
  std::vector<std::string> log;
};

TEST_F(TplEvents, SignalAtApplicationLevelRunsAtTheEventsLevel) {
  Probe &a = Make("a", TPL_CALLBACK);
  // Queued, and run on the way out of the call since the TPL is below its level.
  EXPECT_EQ(Bs()->SignalEvent(a.event), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"a@8"}));
  // A host component's signal only queues; the next tick runs it.
  EXPECT_EQ(Fw().SignalEvent(a.event), EFI_SUCCESS);
  EXPECT_EQ(log.size(), 1u);
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<std::string>{"a@8", "a@8"}));
  EXPECT_EQ(Fw().CurrentTpl(), TPL_APPLICATION);
}

TEST_F(TplEvents, RaisedTplHoldsNotificationsUntilRestoreThenHigherLevelsFirstFifoWithin) {
  Probe &c1 = Make("c1", TPL_CALLBACK);
  Probe &n1 = Make("n1", TPL_NOTIFY);
  Probe &c2 = Make("c2", TPL_CALLBACK);
  Probe &lock = Make("lock9", 9);
  Probe &n2 = Make("n2", TPL_NOTIFY);

  const EFI_TPL old = Bs()->RaiseTPL(TPL_HIGH_LEVEL);
  EXPECT_EQ(old, TPL_APPLICATION);
  for (Probe *p : {&c1, &n1, &c2, &lock, &n2})
    Bs()->SignalEvent(p->event);
  Fw().Tick();
  EXPECT_TRUE(log.empty()) << "nothing runs at TPL_HIGH_LEVEL";
  Bs()->RestoreTPL(old);
  EXPECT_EQ(log, (std::vector<std::string>{"n1@16", "n2@16", "lock9@9", "c1@8", "c2@8"}));
}

TEST_F(TplEvents, DriverLockLevelNineHoldsOffCallbacksButNotNotify) {
  Probe &cb = Make("cb", TPL_CALLBACK);
  Probe &nt = Make("nt", TPL_NOTIFY);
  const EFI_TPL old = Bs()->RaiseTPL(9);
  EXPECT_EQ(Fw().CurrentTpl(), 9u);
  Bs()->SignalEvent(cb.event);
  Bs()->SignalEvent(nt.event);
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<std::string>{"nt@16"}));
  // Restoring part of the way (to 8) still holds the callback.
  const EFI_TPL mid = Bs()->RaiseTPL(9);
  EXPECT_EQ(mid, 9u);
  Bs()->RestoreTPL(mid);
  EXPECT_EQ(log.size(), 1u);
  Bs()->RestoreTPL(old);
  EXPECT_EQ(log, (std::vector<std::string>{"nt@16", "cb@8"}));
}

TEST_F(TplEvents, NotificationsAtOneLevelDoNotInterruptEachOther) {
  Probe &second = Make("second", TPL_CALLBACK);
  Probe &first = Make("first", TPL_CALLBACK);
  first.body = [&] {
    Bs()->SignalEvent(second.event);
    Fw().Tick(); // a Boot Services call inside the notification
    log.push_back("first-done");
  };
  Bs()->SignalEvent(first.event);
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<std::string>{"first@8", "first-done", "second@8"}));
}

TEST_F(TplEvents, HigherLevelInterruptsLowerNotificationAtItsNextCall) {
  Probe &high = Make("high", TPL_NOTIFY);
  Probe &low = Make("low", TPL_CALLBACK);
  low.body = [&] {
    Bs()->SignalEvent(high.event); // runs before the call returns
    log.push_back("low-done");
  };
  Bs()->SignalEvent(low.event);
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<std::string>{"low@8", "high@16", "low-done"}));
}

TEST_F(TplEvents, SignalOfAPendingEventQueuesOnceAndCanBeSignalledAgainFromItsNotification) {
  Probe &a = Make("a", TPL_CALLBACK);
  int runs = 0;
  a.body = [&] {
    if (++runs == 1)
      Bs()->SignalEvent(a.event);
  };
  const EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  Bs()->SignalEvent(a.event);
  Bs()->SignalEvent(a.event);
  Bs()->RestoreTPL(old);
  EXPECT_EQ(runs, 2) << "one run for the two signals, one for the re-signal inside";
}

TEST_F(TplEvents, CloseEventDropsTheQueuedNotification) {
  Probe &a = Make("a", TPL_CALLBACK);
  Probe &b = Make("b", TPL_CALLBACK);
  const EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  Bs()->SignalEvent(a.event);
  Bs()->SignalEvent(b.event);
  EXPECT_EQ(Bs()->CloseEvent(a.event), EFI_SUCCESS);
  Bs()->RestoreTPL(old);
  EXPECT_EQ(log, (std::vector<std::string>{"b@8"}));
}

TEST_F(TplEvents, AnEventMayCloseItselfAndAnotherQueuedOneInsideItsNotification) {
  Probe &b = Make("b", TPL_CALLBACK);
  Probe &a = Make("a", TPL_CALLBACK);
  a.body = [&] {
    EXPECT_EQ(Bs()->CloseEvent(a.event), EFI_SUCCESS);
    EXPECT_EQ(Bs()->CloseEvent(b.event), EFI_SUCCESS);
  };
  const EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  Bs()->SignalEvent(a.event);
  Bs()->SignalEvent(b.event);
  Bs()->RestoreTPL(old);
  EXPECT_EQ(log, (std::vector<std::string>{"a@8"}));
  EXPECT_EQ(Fw().Live().events, 0u);
}

TEST_F(TplEvents, StaleAndForgedEventHandlesAreRefused) {
  Probe &a = Make("a", TPL_CALLBACK);
  EFI_EVENT stale = a.event;
  ASSERT_EQ(Bs()->CloseEvent(stale), EFI_SUCCESS);
  EXPECT_EQ(Bs()->SignalEvent(stale), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CloseEvent(stale), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->SetTimer(stale, TimerRelative, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CheckEvent(stale), EFI_INVALID_PARAMETER);
  int local = 0;
  EXPECT_EQ(Bs()->SignalEvent(&local), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CloseEvent(nullptr), EFI_INVALID_PARAMETER);
  // A new event never reuses the old handle.
  Probe &b = Make("b", TPL_CALLBACK);
  EXPECT_NE(b.event, stale);
}

TEST_F(TplEvents, CreateEventValidatesItsArguments) {
  EFI_EVENT ev = nullptr;
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Record, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &ev),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(
      Bs()->CreateEvent(EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, Record, nullptr, &ev),
      EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_APPLICATION, Record, nullptr, &ev),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, 32, Record, nullptr, &ev), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CreateEvent(0x00000400, TPL_CALLBACK, Record, nullptr, &ev),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw().Live().events, 0u);
  // Without a notify flag the notification arguments are ignored.
  ASSERT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &ev), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CloseEvent(ev), EFI_SUCCESS);
}

TEST_F(TplEvents, CheckEventReportsAndClearsTheSignalledState) {
  EFI_EVENT plain = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(0, 0, nullptr, nullptr, &plain), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CheckEvent(plain), EFI_NOT_READY);
  Bs()->SignalEvent(plain);
  EXPECT_EQ(Bs()->CheckEvent(plain), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CheckEvent(plain), EFI_NOT_READY);
  Probe &sig = Make("sig", TPL_CALLBACK);
  EXPECT_EQ(Bs()->CheckEvent(sig.event), EFI_INVALID_PARAMETER);
  Bs()->CloseEvent(plain);
}

TEST_F(TplEvents, WaitForEventAdvancesVirtualTimeToTheTimer) {
  EFI_EVENT timer = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &timer), EFI_SUCCESS);
  ASSERT_EQ(Bs()->SetTimer(timer, TimerRelative, 5'000'000), EFI_SUCCESS);
  UINTN index = 99;
  EXPECT_EQ(Bs()->WaitForEvent(1, &timer, &index), EFI_SUCCESS);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(Fw().Now(), 5'000'000u);
  Probe &sig = Make("sig", TPL_CALLBACK);
  EFI_EVENT both[] = {timer, sig.event};
  EXPECT_EQ(Bs()->WaitForEvent(2, both, &index), EFI_INVALID_PARAMETER);
  EXPECT_EQ(index, 1u);
  const EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(Bs()->WaitForEvent(1, &timer, &index), EFI_UNSUPPORTED);
  Bs()->RestoreTPL(old);
  Bs()->CloseEvent(timer);
}

TEST_F(TplEvents, TplMisuseIsSurvivedAndRecorded) {
  ExpectViolations();
  const EFI_TPL old = Bs()->RaiseTPL(TPL_NOTIFY);
  // Raising below the current level: the old level comes back, nothing changes.
  EXPECT_EQ(Bs()->RaiseTPL(TPL_CALLBACK), TPL_NOTIFY);
  EXPECT_EQ(Fw().CurrentTpl(), TPL_NOTIFY);
  Bs()->RestoreTPL(TPL_HIGH_LEVEL); // above the current one: ignored
  EXPECT_EQ(Fw().CurrentTpl(), TPL_NOTIFY);
  void *p = nullptr;
  Bs()->RaiseTPL(TPL_HIGH_LEVEL);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, &p), EFI_SUCCESS); // served, recorded
  Bs()->RestoreTPL(old);
  Bs()->FreePool(p);
  EXPECT_EQ(Fw().CurrentTpl(), TPL_APPLICATION);
  const auto v = Fw().Violations();
  ASSERT_EQ(v.size(), 3u) << Join(v);
  EXPECT_NE(v[0].find("RaiseTPL(8)"), std::string::npos);
  EXPECT_NE(v[1].find("RestoreTPL(31)"), std::string::npos);
  EXPECT_NE(v[2].find("AllocatePool"), std::string::npos);
}

} // namespace
} // namespace zem4::test
