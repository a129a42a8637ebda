// Timers in virtual time: relative, periodic, cancel, re-arm, close while
// armed, and a long retry sequence that must run without real waiting.
#include "tests/common/FirmwareFixture.h"

#include <chrono>
#include <vector>

namespace zem4::test {
namespace {

constexpr UINT64 kMs = 10'000; // 100-ns units per millisecond

class Timers : public FirmwareFixture {
protected:
  struct Hits {
    Timers *self;
    std::vector<host::Time100ns> at{};
    std::function<void()> body{};
  };
  static VOID EFIAPI OnTimer(EFI_EVENT, VOID *context) {
    auto *h = static_cast<Hits *>(context);
    h->at.push_back(h->self->Fw().Now());
    if (h->body)
      h->body();
  }
  EFI_EVENT MakeTimer(Hits &hits, EFI_TPL tpl = TPL_CALLBACK) {
    EFI_EVENT ev = nullptr;
    EXPECT_EQ(Bs()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, tpl, OnTimer, &hits, &ev),
              EFI_SUCCESS);
    return ev;
  }
  // Runs the virtual clock until nothing is scheduled or `limit` is reached.
  void RunUntil(host::Time100ns limit) {
    while (Fw().Now() < limit && Fw().AdvanceIdle()) {
    }
  }
};

TEST_F(Timers, RelativeTimerFiresOnceAtItsDeadline) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  ASSERT_EQ(Bs()->SetTimer(t, TimerRelative, 250 * kMs), EFI_SUCCESS);
  Fw().AdvanceBy(249 * kMs);
  EXPECT_TRUE(hits.at.empty());
  EXPECT_TRUE(Fw().AdvanceIdle());
  EXPECT_EQ(hits.at, (std::vector<host::Time100ns>{250 * kMs}));
  EXPECT_FALSE(Fw().AdvanceIdle()) << "one-shot: nothing left to wait for";
  Bs()->CloseEvent(t);
}

TEST_F(Timers, PeriodicTimerFiresEveryPeriodUntilCancelled) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  ASSERT_EQ(Bs()->SetTimer(t, TimerPeriodic, 100 * kMs), EFI_SUCCESS);
  RunUntil(450 * kMs);
  EXPECT_EQ(hits.at,
            (std::vector<host::Time100ns>{100 * kMs, 200 * kMs, 300 * kMs, 400 * kMs, 500 * kMs}));
  ASSERT_EQ(Bs()->SetTimer(t, TimerCancel, 0), EFI_SUCCESS);
  EXPECT_FALSE(Fw().AdvanceIdle());
  EXPECT_EQ(hits.at.size(), 5u);
  Bs()->CloseEvent(t);
}

TEST_F(Timers, SetTimerReplacesThePreviousSettingAndZeroMeansNextTick) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  ASSERT_EQ(Bs()->SetTimer(t, TimerRelative, 500 * kMs), EFI_SUCCESS);
  ASSERT_EQ(Bs()->SetTimer(t, TimerRelative, 30 * kMs), EFI_SUCCESS);
  RunUntil(1000 * kMs);
  EXPECT_EQ(hits.at, (std::vector<host::Time100ns>{30 * kMs}));
  ASSERT_EQ(Bs()->SetTimer(t, TimerRelative, 0), EFI_SUCCESS);
  Fw().Tick();
  EXPECT_EQ(hits.at.size(), 2u);
  EXPECT_EQ(hits.at[1], 30 * kMs) << "no time passes for a zero delay";
  Bs()->CloseEvent(t);
}

TEST_F(Timers, TimerRearmedFromItsOwnNotification) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  hits.body = [&] {
    if (hits.at.size() < 3)
      Bs()->SetTimer(t, TimerRelative, 70 * kMs);
  };
  Bs()->SetTimer(t, TimerRelative, 70 * kMs);
  RunUntil(10'000 * kMs);
  EXPECT_EQ(hits.at, (std::vector<host::Time100ns>{70 * kMs, 140 * kMs, 210 * kMs}));
  Bs()->CloseEvent(t);
}

TEST_F(Timers, ClosingAnArmedTimerCancelsIt) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  Bs()->SetTimer(t, TimerRelative, 10 * kMs);
  ASSERT_EQ(Bs()->CloseEvent(t), EFI_SUCCESS);
  EXPECT_FALSE(Fw().AdvanceIdle());
  EXPECT_TRUE(hits.at.empty());
}

TEST_F(Timers, DueTimerWhileRaisedFiresButItsNotificationWaitsForRestore) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  Bs()->SetTimer(t, TimerRelative, 10 * kMs);
  const EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  Fw().AdvanceBy(20 * kMs);
  EXPECT_TRUE(hits.at.empty());
  Bs()->RestoreTPL(old);
  EXPECT_EQ(hits.at, (std::vector<host::Time100ns>{20 * kMs}));
  Bs()->CloseEvent(t);
}

TEST_F(Timers, SetTimerOnANonTimerEventOrWithABadTypeIsRefused) {
  Hits hits{this};
  EFI_EVENT plain = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnTimer, &hits, &plain),
            EFI_SUCCESS);
  EXPECT_EQ(Bs()->SetTimer(plain, TimerRelative, 1), EFI_INVALID_PARAMETER);
  EFI_EVENT t = MakeTimer(hits);
  EXPECT_EQ(Bs()->SetTimer(t, static_cast<EFI_TIMER_DELAY>(3), 1), EFI_INVALID_PARAMETER);
  Bs()->CloseEvent(plain);
  Bs()->CloseEvent(t);
}

TEST_F(Timers, ThreeHundredSecondRetrySequenceRunsInVirtualTime) {
  // A transfer's pattern: a 1-second periodic tick counting retries, and a
  // 3-second time-out re-armed on every retry, for 300 seconds.
  Hits tick{this};
  Hits timeout{this};
  EFI_EVENT periodic = MakeTimer(tick);
  EFI_EVENT oneShot = MakeTimer(timeout);
  timeout.body = [&] {
    if (Fw().Now() < 300 * 1000 * kMs)
      Bs()->SetTimer(oneShot, TimerRelative, 3000 * kMs);
  };
  Bs()->SetTimer(periodic, TimerPeriodic, 1000 * kMs);
  Bs()->SetTimer(oneShot, TimerRelative, 3000 * kMs);
  const auto started = std::chrono::steady_clock::now();
  RunUntil(300 * 1000 * kMs);
  const auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  EXPECT_EQ(Fw().Now(), 300 * 1000 * kMs);
  EXPECT_EQ(tick.at.size(), 300u);
  EXPECT_EQ(timeout.at.size(), 100u);
  EXPECT_EQ(timeout.at.back(), 300 * 1000 * kMs);
  EXPECT_LT(realMs, 5000) << "virtual time must not wait for real time";
  Bs()->CloseEvent(periodic);
  Bs()->CloseEvent(oneShot);
}

TEST_F(Timers, RunUntilStopsWhenDoneAtTheTimeoutOrWhenNothingIsLeft) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  Bs()->SetTimer(t, TimerPeriodic, 100 * kMs);
  EXPECT_TRUE(Fw().RunUntil([&] { return hits.at.size() == 3; }, 1000 * kMs));
  EXPECT_EQ(Fw().Now(), 300 * kMs);
  EXPECT_FALSE(Fw().RunUntil([] { return false; }, 250 * kMs));
  EXPECT_GE(Fw().Now(), 550 * kMs);
  EXPECT_LE(Fw().Now(), 700 * kMs);
  Bs()->SetTimer(t, TimerCancel, 0);
  const host::Time100ns before = Fw().Now();
  EXPECT_FALSE(Fw().RunUntil([] { return false; }, 1000 * kMs));
  EXPECT_EQ(Fw().Now(), before) << "nothing scheduled: no time passes, no spinning";
  Bs()->CloseEvent(t);
}

TEST_F(Timers, StallMovesVirtualTimeAndLetsTimersFire) {
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  Bs()->SetTimer(t, TimerRelative, 5 * kMs);
  EXPECT_EQ(Bs()->Stall(20'000), EFI_SUCCESS); // 20 ms
  EXPECT_EQ(Fw().Now(), 20 * kMs);
  EXPECT_EQ(hits.at, (std::vector<host::Time100ns>{5 * kMs}));
  Bs()->CloseEvent(t);
}

// A device is serviced at every tick and its deadline counts for idling.
struct FakeDevice : host::Device {
  std::optional<host::Time100ns> next;
  std::vector<host::Time100ns> serviced;
  void Service(host::Time100ns now) override {
    serviced.push_back(now);
    if (next && *next <= now)
      next.reset();
  }
  std::optional<host::Time100ns> NextDeadline() const override { return next; }
};

TEST_F(Timers, IdleJumpsToTheEarlierOfTimerAndDeviceDeadlines) {
  FakeDevice dev;
  dev.next = 40 * kMs;
  Fw().AddDevice(dev);
  Hits hits{this};
  EFI_EVENT t = MakeTimer(hits);
  Bs()->SetTimer(t, TimerRelative, 100 * kMs);
  ASSERT_TRUE(Fw().AdvanceIdle());
  EXPECT_EQ(Fw().Now(), 40 * kMs);
  EXPECT_EQ(dev.serviced.back(), 40 * kMs);
  ASSERT_TRUE(Fw().AdvanceIdle());
  EXPECT_EQ(Fw().Now(), 100 * kMs);
  EXPECT_EQ(hits.at.size(), 1u);
  EXPECT_FALSE(Fw().AdvanceIdle());
  Fw().RemoveDevice(dev);
  const size_t n = dev.serviced.size();
  Fw().Tick();
  EXPECT_EQ(dev.serviced.size(), n);
  Bs()->CloseEvent(t);
}

} // namespace
} // namespace zem4::test
