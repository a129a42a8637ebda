// Many timers and devices at once: timers that come due together notify
// highest level first and, within a level, in deadline then arming order;
// re-armed, cancelled and closed timers keep out of it; devices are serviced
// in the order they were added, and one removed mid-tick is not serviced.
#include "tests/common/FirmwareFixture.h"

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

} // namespace
} // namespace zem4::test
