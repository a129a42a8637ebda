// Events, timers and task priority levels. Notifications wait in one FIFO per
// level and run, highest level first, only while the current TPL is below
// theirs; each runs with the TPL raised to its own level.
#pragma once

#include "efi/Uefi.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace zem4::host {

class Clock;

class EventCore {
public:
  // What "every tick" means for a periodic timer of 0 in the virtual clock.
  static constexpr uint64_t kTickPeriod = 100'000; // 10 ms
  static constexpr EFI_TPL kMaxTpl = TPL_HIGH_LEVEL;

  using HostNotify = std::function<void(EFI_EVENT)>;
  using ViolationSink = std::function<void(std::string)>;

  EventCore(Clock &clock, ViolationSink violations);
  ~EventCore();

  EFI_STATUS Create(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void *context,
                    EFI_EVENT *event);
  // Same, with a C++ notification (host components).
  EFI_STATUS CreateHost(UINT32 type, EFI_TPL notifyTpl, HostNotify notify, EFI_EVENT *event);
  EFI_STATUS Close(EFI_EVENT event);
  EFI_STATUS Signal(EFI_EVENT event);
  EFI_STATUS Check(EFI_EVENT event);
  EFI_STATUS SetTimer(EFI_EVENT event, UINT32 type, uint64_t triggerTime);
  bool IsEvent(EFI_EVENT event) const;
  bool IsNotifySignal(EFI_EVENT event) const;
  // The level an event notifies at (0 for none or no such event).
  EFI_TPL NotifyTplOf(EFI_EVENT event) const;

  // One of the four levels RaiseTPL and RestoreTPL accept; the rest are reserved.
  static bool IsTplLevel(EFI_TPL tpl);
  EFI_TPL Raise(EFI_TPL newTpl);
  void Restore(EFI_TPL oldTpl);
  EFI_TPL Current() const { return current_; }

  // Signals every armed timer whose deadline has come (earliest first).
  void FireDueTimers(uint64_t now);
  std::optional<uint64_t> NextTimerDeadline() const;
  // Runs the queued notifications that the current TPL lets through.
  void Dispatch();
  size_t QueuedCount() const;

  size_t LiveCount() const { return events_.size(); }
  std::vector<std::string> Report() const;

private:
  struct Event {
    uint64_t id = 0;
    UINT32 type = 0;
    EFI_TPL notifyTpl = 0;
    EFI_EVENT_NOTIFY notify = nullptr;
    void *context = nullptr;
    HostNotify hostNotify;
    bool signalled = false;
    bool queued = false;
    bool armed = false;
    bool periodic = false;
    uint64_t deadline = 0;
    uint64_t period = 0;
    uint64_t armSequence = 0;
  };

  Event *Find(EFI_EVENT event) const;
  static EFI_EVENT HandleOf(uint64_t id);
  EFI_STATUS Validate(UINT32 type, EFI_TPL notifyTpl, bool hasNotify) const;
  EFI_STATUS Insert(std::unique_ptr<Event> ev, EFI_EVENT *out);
  void Enqueue(Event &ev);
  void Unqueue(Event &ev);
  void Violation(std::string text) const;
  using TimerKey = std::tuple<uint64_t, uint64_t, uint64_t>; // deadline, arm sequence, id
  static TimerKey KeyOf(const Event &ev) { return {ev.deadline, ev.armSequence, ev.id}; }
  void Disarm(Event &ev);

  Clock &clock_;
  ViolationSink violations_;
  std::map<uint64_t, std::unique_ptr<Event>> events_;
  // Armed timers in firing order, so a tick costs what is due, not what exists.
  std::set<TimerKey> timers_;
  std::array<std::deque<uint64_t>, kMaxTpl + 1> queues_;
  EFI_TPL current_ = TPL_APPLICATION;
  uint64_t nextId_ = 1;
  uint64_t armSequence_ = 0;
};

} // namespace zem4::host
