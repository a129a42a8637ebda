// Task priority levels and event notification: order, levels, queuing,
// closing, and stale handles.
#include "tests/common/FirmwareFixture.h"

#include "host/EventCore.h"

#include <functional>
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
    std::function<void()> body{};
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
  Probe &h1 = Make("h1", TPL_HIGH_LEVEL);
  Probe &n2 = Make("n2", TPL_NOTIFY);

  const EFI_TPL old = Bs()->RaiseTPL(TPL_HIGH_LEVEL);
  EXPECT_EQ(old, TPL_APPLICATION);
  for (Probe *p : {&c1, &n1, &c2, &h1, &n2})
    Bs()->SignalEvent(p->event);
  Fw().Tick();
  EXPECT_TRUE(log.empty()) << "nothing runs at TPL_HIGH_LEVEL";
  Bs()->RestoreTPL(old);
  EXPECT_EQ(log, (std::vector<std::string>{"h1@31", "n1@16", "n2@16", "c1@8", "c2@8"}));
}

TEST_F(TplEvents, CallbackLevelHoldsOffCallbacksButNotNotifyAndRestoresInSteps) {
  Probe &cb = Make("cb", TPL_CALLBACK);
  Probe &nt = Make("nt", TPL_NOTIFY);
  const EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(Fw().CurrentTpl(), TPL_CALLBACK);
  Bs()->SignalEvent(cb.event);
  Bs()->SignalEvent(nt.event);
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<std::string>{"nt@16"}));
  // A nested raise to the same level and its restore still hold the callback.
  const EFI_TPL mid = Bs()->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(mid, TPL_CALLBACK);
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

// Each misuse, provoked alone from TPL_APPLICATION: the exact line recorded,
// and the level it leaves (the call is survived and, where it can be, served).
struct TplMisuse {
  const char *name;
  std::function<void(EFI_BOOT_SERVICES *, std::vector<EFI_EVENT> &)> provoke;
  std::string violation;
  EFI_TPL after;
};

VOID EFIAPI Ignore(EFI_EVENT, VOID *) {}

const std::vector<TplMisuse> &TplMisuses() {
  static const std::vector<TplMisuse> cases = {
      {"RaiseToAReservedLevel", [](EFI_BOOT_SERVICES *bs, auto &) { bs->RaiseTPL(9); },
       "RaiseTPL(9): not a TPL level (4, 8, 16 or 31)", 9},
      {"RaiseAboveHighLevel", [](EFI_BOOT_SERVICES *bs, auto &) { bs->RaiseTPL(40); },
       "RaiseTPL(40): not a TPL level (4, 8, 16 or 31)", TPL_HIGH_LEVEL},
      {"RaiseBelowTheCurrentLevel",
       [](EFI_BOOT_SERVICES *bs, auto &) {
         bs->RaiseTPL(TPL_NOTIFY);
         EXPECT_EQ(bs->RaiseTPL(TPL_CALLBACK), TPL_NOTIFY);
       },
       "RaiseTPL(8) below the current TPL 16", TPL_NOTIFY},
      {"RestoreToAReservedLevel",
       [](EFI_BOOT_SERVICES *bs, auto &) {
         bs->RaiseTPL(TPL_NOTIFY);
         bs->RestoreTPL(9);
       },
       "RestoreTPL(9): not a TPL level (4, 8, 16 or 31)", 9},
      {"RestoreAboveTheCurrentLevel",
       [](EFI_BOOT_SERVICES *bs, auto &) {
         bs->RaiseTPL(TPL_NOTIFY);
         bs->RestoreTPL(TPL_HIGH_LEVEL);
       },
       "RestoreTPL(31) above the current TPL 16", TPL_NOTIFY},
      {"NotifyAtAReservedLevel",
       [](EFI_BOOT_SERVICES *bs, auto &events) {
         EFI_EVENT ev = nullptr;
         EXPECT_EQ(bs->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, 9, Ignore, nullptr, &ev),
                   EFI_SUCCESS);
         events.push_back(ev);
       },
       "CreateEvent with notify TPL 9: not a TPL level (8, 16 or 31)", TPL_APPLICATION},
      {"PoolAboveNotify",
       [](EFI_BOOT_SERVICES *bs, auto &) {
         void *p = nullptr;
         bs->RaiseTPL(TPL_HIGH_LEVEL);
         EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &p), EFI_SUCCESS);
         bs->RestoreTPL(TPL_APPLICATION);
         bs->FreePool(p);
       },
       "AllocatePool called at TPL 31 (limit <= 16)", TPL_APPLICATION},
  };
  return cases;
}

class TplMisuseTest : public FirmwareFixture, public ::testing::WithParamInterface<TplMisuse> {};

TEST_P(TplMisuseTest, IsRecordedWithItsTextAndSurvived) {
  ExpectViolations();
  std::vector<EFI_EVENT> events;
  GetParam().provoke(Bs(), events);
  EXPECT_EQ(Fw().Violations(), std::vector<std::string>{GetParam().violation});
  EXPECT_EQ(Fw().CurrentTpl(), GetParam().after);
  // Back down for the teardown, through the firmware's own core.
  Fw().Events().Restore(TPL_APPLICATION);
  for (EFI_EVENT ev : events)
    Bs()->CloseEvent(ev);
}

INSTANTIATE_TEST_SUITE_P(Tpl, TplMisuseTest, ::testing::ValuesIn(TplMisuses()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TplEvents, EveryNamedLevelIsAcceptedWithoutARecord) {
  for (EFI_TPL tpl : {TPL_APPLICATION, TPL_CALLBACK, TPL_NOTIFY, TPL_HIGH_LEVEL}) {
    const EFI_TPL old = Bs()->RaiseTPL(tpl);
    EXPECT_EQ(Fw().CurrentTpl(), tpl);
    Bs()->RestoreTPL(old);
  }
  for (EFI_TPL tpl : {TPL_CALLBACK, TPL_NOTIFY, TPL_HIGH_LEVEL})
    Make("at" + std::to_string(tpl), tpl);
  EXPECT_TRUE(Fw().Violations().empty()) << Join(Fw().Violations());
}

} // namespace
} // namespace zem4::test
