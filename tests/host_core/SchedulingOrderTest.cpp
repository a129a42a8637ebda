// Many timers and devices at once: timers that come due together notify
// highest level first and, within a level, in deadline then arming order;
// re-armed, cancelled and closed timers keep out of it; devices are serviced
// in the order they were added, and one removed mid-tick is not serviced;
// devices that sleep until woken keep that order and are left alone asleep.
#include "tests/common/FirmwareFixture.h"

#include <optional>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

constexpr UINT64 kMs = 10'000; // 100-ns units per millisecond

enum class Op { Arm, Cancel, Close, Periodic };
struct Step {
  int timer;
  Op op;
  UINT64 delayMs = 0;
};
struct OrderCase {
  const char *name;
  std::vector<EFI_TPL> levels; // one timer per entry
  std::vector<Step> steps;
  UINT64 fireAtMs;           // one jump, with the TPL raised, to this time
  std::vector<int> expected; // the timers' notifications, in order
};

class SchedulingOrder : public FirmwareFixture, public ::testing::WithParamInterface<OrderCase> {
protected:
  struct Slot {
    SchedulingOrder *self;
    int index;
  };
  static VOID EFIAPI OnTimer(EFI_EVENT, VOID *context) {
    auto *slot = static_cast<Slot *>(context);
    slot->self->order_.push_back(slot->index);
  }
  std::vector<int> order_;
};

TEST_P(SchedulingOrder, DueTimersNotifyByLevelThenDeadlineThenArming) {
  const OrderCase &c = GetParam();
  std::vector<Slot> slots;
  for (size_t i = 0; i < c.levels.size(); ++i)
    slots.push_back({this, int(i)});
  std::vector<EFI_EVENT> events(c.levels.size(), nullptr);
  for (size_t i = 0; i < c.levels.size(); ++i)
    ASSERT_EQ(Bs()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, c.levels[i], OnTimer, &slots[i],
                                &events[i]),
              EFI_SUCCESS);
  for (const Step &s : c.steps) {
    EFI_EVENT &ev = events[size_t(s.timer)];
    switch (s.op) {
    case Op::Arm:
      ASSERT_EQ(Bs()->SetTimer(ev, TimerRelative, s.delayMs * kMs), EFI_SUCCESS);
      break;
    case Op::Periodic:
      ASSERT_EQ(Bs()->SetTimer(ev, TimerPeriodic, s.delayMs * kMs), EFI_SUCCESS);
      break;
    case Op::Cancel:
      ASSERT_EQ(Bs()->SetTimer(ev, TimerCancel, 0), EFI_SUCCESS);
      break;
    case Op::Close:
      ASSERT_EQ(Bs()->CloseEvent(ev), EFI_SUCCESS);
      ev = nullptr;
      break;
    }
  }
  const EFI_TPL old = Bs()->RaiseTPL(TPL_HIGH_LEVEL);
  Fw().Clk().WaitUntil(c.fireAtMs * kMs);
  Fw().Tick();
  EXPECT_TRUE(order_.empty()) << "nothing runs while raised";
  Bs()->RestoreTPL(old);
  EXPECT_EQ(order_, c.expected);
  for (EFI_EVENT ev : events)
    if (ev != nullptr)
      Bs()->CloseEvent(ev);
}

constexpr EFI_TPL kCb = TPL_CALLBACK;
constexpr EFI_TPL kNo = TPL_NOTIFY;

const OrderCase kOrderCases[] = {
    {"SameLevelByDeadline",
     {kCb, kCb, kCb, kCb},
     {{0, Op::Arm, 40}, {1, Op::Arm, 10}, {2, Op::Arm, 30}, {3, Op::Arm, 20}},
     50,
     {1, 3, 2, 0}},
    {"EqualDeadlinesInArmingOrder",
     {kCb, kCb, kCb, kCb},
     {{2, Op::Arm, 10}, {0, Op::Arm, 10}, {3, Op::Arm, 10}, {1, Op::Arm, 10}},
     10,
     {2, 0, 3, 1}},
    {"HigherLevelFirstWhateverTheDeadline",
     {kCb, kNo, kCb, kNo},
     {{0, Op::Arm, 5}, {1, Op::Arm, 30}, {2, Op::Arm, 1}, {3, Op::Arm, 20}},
     30,
     {3, 1, 2, 0}},
    {"RearmMovesToTheBackOfItsDeadline",
     {kCb, kCb, kCb},
     {{0, Op::Arm, 10}, {1, Op::Arm, 10}, {2, Op::Arm, 10}, {0, Op::Arm, 10}},
     10,
     {1, 2, 0}},
    {"RearmLaterLeavesTheDueSet",
     {kCb, kCb, kCb},
     {{0, Op::Arm, 10}, {1, Op::Arm, 20}, {2, Op::Arm, 30}, {0, Op::Arm, 100}},
     30,
     {1, 2}},
    {"CancelledAndClosedDoNotFire",
     {kCb, kCb, kCb, kCb, kCb},
     {{0, Op::Arm, 10},
      {1, Op::Arm, 10},
      {2, Op::Arm, 10},
      {3, Op::Arm, 10},
      {4, Op::Arm, 10},
      {1, Op::Cancel},
      {3, Op::Close}},
     10,
     {0, 2, 4}},
    {"NotYetDueStaysArmed",
     {kCb, kCb, kCb},
     {{0, Op::Arm, 10}, {1, Op::Arm, 11}, {2, Op::Arm, 9}},
     10,
     {2, 0}},
    {"PeriodicBehindFiresOnceAmongOneShots",
     {kCb, kCb, kCb},
     {{0, Op::Periodic, 3}, {1, Op::Arm, 2}, {2, Op::Arm, 7}},
     10,
     {1, 0, 2}},
};

INSTANTIATE_TEST_SUITE_P(Timers, SchedulingOrder, ::testing::ValuesIn(kOrderCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A device that records its turn and may remove or add devices while serviced.
struct OrderDevice : host::Device {
  int id = 0;
  std::vector<int> *log = nullptr;
  std::function<void()> onService;
  void Service(host::Time100ns) override {
    log->push_back(id);
    if (onService)
      onService();
  }
  std::optional<host::Time100ns> NextDeadline() const override { return std::nullopt; }
};

class DeviceOrder : public FirmwareFixture {};

TEST_F(DeviceOrder, ServicedInAddingOrderSkippingThoseRemovedMidTick) {
  std::vector<int> log;
  std::vector<OrderDevice> devs(6);
  for (int i = 0; i < 6; ++i) {
    devs[size_t(i)].id = i;
    devs[size_t(i)].log = &log;
  }
  for (int i : {3, 0, 5, 1, 4})
    Fw().AddDevice(devs[size_t(i)]);
  Fw().AddDevice(devs[0]); // twice: still once
  // 0 removes 1 (later in the order) and adds 2, which waits for the next tick.
  devs[0].onService = [&] {
    Fw().RemoveDevice(devs[1]);
    Fw().AddDevice(devs[2]);
  };
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<int>{3, 0, 5, 4}));
  devs[0].onService = nullptr;
  log.clear();
  Fw().Tick();
  EXPECT_EQ(log, (std::vector<int>{3, 0, 5, 4, 2}));
  for (auto &d : devs)
    Fw().RemoveDevice(d);
  log.clear();
  Fw().Tick();
  EXPECT_TRUE(log.empty());
}

// A device that sleeps until woken: serviced only after a wake or when the
// deadline it gave comes, in adding order among the others.
struct WakeDevice : OrderDevice {
  std::optional<host::Time100ns> deadline;
  std::optional<host::Time100ns> NextDeadline() const override { return deadline; }
};

TEST_F(DeviceOrder, WokenDevicesAreServicedInAddingOrderOthersSleep) {
  std::vector<int> log;
  OrderDevice every;
  std::vector<WakeDevice> wake(4);
  every.id = 9;
  every.log = &log;
  for (int i = 0; i < 4; ++i) {
    wake[size_t(i)].id = i;
    wake[size_t(i)].log = &log;
  }
  Fw().AddDevice(wake[0], host::DeviceWake::OnWake);
  Fw().AddDevice(every);
  for (int i = 1; i < 4; ++i)
    Fw().AddDevice(wake[size_t(i)], host::DeviceWake::OnWake);
  Fw().Tick(); // a new device is serviced once and tells its deadline
  EXPECT_EQ(log, (std::vector<int>{0, 9, 1, 2, 3}));

  struct Round {
    std::vector<int> woken;
    std::vector<int> serviced;
  };
  // 2 wakes 0 (behind it: next tick) and 3 (ahead: this tick).
  wake[2].onService = [&] {
    Fw().WakeDevice(wake[0]);
    Fw().WakeDevice(wake[3]);
  };
  const Round rounds[] = {
      {{}, {9}}, {{3, 1}, {9, 1, 3}}, {{2}, {9, 2, 3}}, {{}, {0, 9}}, {{1, 1}, {9, 1}},
  };
  for (const Round &r : rounds) {
    log.clear();
    for (int i : r.woken)
      Fw().WakeDevice(wake[size_t(i)]);
    Fw().Tick();
    EXPECT_EQ(log, r.serviced);
  }
  for (auto &d : wake)
    Fw().RemoveDevice(d);
  Fw().RemoveDevice(every);
}

TEST_F(DeviceOrder, ASleepingDeviceIsServicedWhenItsDeadlineComes) {
  std::vector<int> log;
  WakeDevice a, b;
  a.id = 1;
  b.id = 2;
  a.log = b.log = &log;
  a.deadline = 30 * kMs;
  b.deadline = 20 * kMs;
  b.onService = [&] {
    if (Fw().Now() >= 20 * kMs)
      b.deadline.reset();
  };
  Fw().AddDevice(a, host::DeviceWake::OnWake);
  Fw().AddDevice(b, host::DeviceWake::OnWake);
  Fw().Tick();
  log.clear();
  ASSERT_TRUE(Fw().AdvanceIdle()); // to the earlier sleeper's deadline
  EXPECT_EQ(Fw().Now(), 20 * kMs);
  EXPECT_EQ(log, (std::vector<int>{2}));
  Fw().RemoveDevice(a); // asleep: its deadline goes with it
  EXPECT_FALSE(Fw().AdvanceIdle());
  EXPECT_EQ(Fw().Now(), 20 * kMs);
  Fw().RemoveDevice(b);
}

} // namespace
} // namespace zem4::test
