#include "host/EventCore.h"
#include "host/Clock.h"

#include <algorithm>
#include <cstdio>

namespace zem4::host {

namespace {

// Event handles are tokens, not pointers: never reused, and an address no
// code can dereference, so a stale or forged handle is caught by lookup.
// (In the 32-bit runner the top byte of a 32-bit address serves as the tag.)
constexpr uintptr_t kEventHandleBase =
    static_cast<uintptr_t>(sizeof(uintptr_t) == 8 ? uint64_t{0xE7} << 48 : uint64_t{0xE7} << 24);

constexpr UINT32 kKnownTypeBits = EVT_TIMER | EVT_RUNTIME | EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL;

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

} // namespace

EventCore::EventCore(Clock &clock, ViolationSink violations)
    : clock_(clock), violations_(std::move(violations)) {}

EventCore::~EventCore() = default;

EFI_EVENT EventCore::HandleOf(uint64_t id) {
  return reinterpret_cast<EFI_EVENT>(kEventHandleBase + id * 16);
}

EventCore::Event *EventCore::Find(EFI_EVENT event) const {
  const auto raw = reinterpret_cast<uintptr_t>(event);
  if (raw < kEventHandleBase || (raw - kEventHandleBase) % 16 != 0)
    return nullptr;
  auto it = events_.find((raw - kEventHandleBase) / 16);
  return it == events_.end() ? nullptr : it->second.get();
}

bool EventCore::IsEvent(EFI_EVENT event) const {
  return Find(event) != nullptr;
}

bool EventCore::IsNotifySignal(EFI_EVENT event) const {
  const Event *ev = Find(event);
  return ev && (ev->type & EVT_NOTIFY_SIGNAL);
}

EFI_TPL EventCore::NotifyTplOf(EFI_EVENT event) const {
  const Event *ev = Find(event);
  return ev ? ev->notifyTpl : 0;
}

void EventCore::Violation(std::string text) const {
  if (violations_)
    violations_(std::move(text));
}

EFI_STATUS EventCore::Validate(UINT32 type, EFI_TPL notifyTpl, bool hasNotify) const {
  const bool special =
      type == EVT_SIGNAL_EXIT_BOOT_SERVICES || type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE;
  if (!special && (type & ~kKnownTypeBits) != 0)
    return EFI_INVALID_PARAMETER;
  const bool wait = (type & EVT_NOTIFY_WAIT) != 0;
  const bool signal = (type & EVT_NOTIFY_SIGNAL) != 0;
  if (wait && signal)
    return EFI_INVALID_PARAMETER;
  if (wait || signal) {
    if (!hasNotify || notifyTpl <= TPL_APPLICATION || notifyTpl > TPL_HIGH_LEVEL)
      return EFI_INVALID_PARAMETER;
    // A notification runs at its level: one between the named ones is a
    // level nobody may raise to.
    if (!IsTplLevel(notifyTpl))
      Violation("CreateEvent with notify TPL " + std::to_string(notifyTpl) +
                ": not a TPL level (8, 16 or 31)");
  }
  return EFI_SUCCESS;
}

EFI_STATUS EventCore::Insert(std::unique_ptr<Event> ev, EFI_EVENT *out) {
  ev->id = nextId_++;
  *out = HandleOf(ev->id);
  events_.emplace(ev->id, std::move(ev));
  return EFI_SUCCESS;
}

EFI_STATUS EventCore::Create(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void *context,
                             EFI_EVENT *event) {
  if (event == nullptr)
    return EFI_INVALID_PARAMETER;
  if (EFI_STATUS st = Validate(type, notifyTpl, notify != nullptr); EFI_ERROR(st))
    return st;
  auto ev = std::make_unique<Event>();
  ev->type = type;
  const bool notifies = (type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) != 0;
  if (notifies) {
    ev->notifyTpl = notifyTpl;
    ev->notify = notify;
    ev->context = context;
  }
  return Insert(std::move(ev), event);
}

EFI_STATUS EventCore::CreateHost(UINT32 type, EFI_TPL notifyTpl, HostNotify notify,
                                 EFI_EVENT *event) {
  if (event == nullptr)
    return EFI_INVALID_PARAMETER;
  if (EFI_STATUS st = Validate(type, notifyTpl, static_cast<bool>(notify)); EFI_ERROR(st))
    return st;
  auto ev = std::make_unique<Event>();
  ev->type = type;
  if (type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) {
    ev->notifyTpl = notifyTpl;
    ev->hostNotify = std::move(notify);
  }
  return Insert(std::move(ev), event);
}

void EventCore::Enqueue(Event &ev) {
  if (ev.queued)
    return;
  ev.queued = true;
  queues_[ev.notifyTpl].push_back(ev.id);
}

void EventCore::Unqueue(Event &ev) {
  if (!ev.queued)
    return;
  auto &q = queues_[ev.notifyTpl];
  q.erase(std::remove(q.begin(), q.end(), ev.id), q.end());
  ev.queued = false;
}

EFI_STATUS EventCore::Close(EFI_EVENT event) {
  Event *ev = Find(event);
  if (ev == nullptr)
    return EFI_INVALID_PARAMETER;
  // Closing drops a queued notification and disarms the timer with it.
  Unqueue(*ev);
  Disarm(*ev);
  events_.erase(ev->id);
  return EFI_SUCCESS;
}

EFI_STATUS EventCore::Signal(EFI_EVENT event) {
  Event *ev = Find(event);
  if (ev == nullptr)
    return EFI_INVALID_PARAMETER;
  if (ev->signalled)
    return EFI_SUCCESS;
  ev->signalled = true;
  if (ev->type & EVT_NOTIFY_SIGNAL)
    Enqueue(*ev);
  return EFI_SUCCESS;
}

EFI_STATUS EventCore::Check(EFI_EVENT event) {
  Event *ev = Find(event);
  if (ev == nullptr || (ev->type & EVT_NOTIFY_SIGNAL))
    return EFI_INVALID_PARAMETER;
  if (!ev->signalled && (ev->type & EVT_NOTIFY_WAIT)) {
    const uint64_t id = ev->id;
    Enqueue(*ev);
    Dispatch();
    auto it = events_.find(id); // the notification may have closed it
    if (it == events_.end())
      return EFI_NOT_READY;
    ev = it->second.get();
  }
  if (ev->signalled) {
    ev->signalled = false;
    return EFI_SUCCESS;
  }
  return EFI_NOT_READY;
}

EFI_STATUS EventCore::SetTimer(EFI_EVENT event, UINT32 type, uint64_t triggerTime) {
  Event *ev = Find(event);
  if (ev == nullptr || !(ev->type & EVT_TIMER) || type > TimerRelative)
    return EFI_INVALID_PARAMETER;
  Disarm(*ev);
  if (type == TimerCancel)
    return EFI_SUCCESS;
  const uint64_t now = clock_.Now();
  ev->armed = true;
  ev->armSequence = ++armSequence_;
  if (type == TimerPeriodic) {
    ev->periodic = true;
    ev->period = triggerTime == 0 ? kTickPeriod : triggerTime;
    ev->deadline = now + triggerTime; // 0: every tick, starting with the next one
  } else {
    ev->deadline = now + triggerTime; // 0: the next tick
  }
  timers_.insert(KeyOf(*ev));
  return EFI_SUCCESS;
}

void EventCore::Disarm(Event &ev) {
  if (ev.armed)
    timers_.erase(KeyOf(ev));
  ev.armed = false;
  ev.periodic = false;
}

bool EventCore::IsTplLevel(EFI_TPL tpl) {
  return tpl == TPL_APPLICATION || tpl == TPL_CALLBACK || tpl == TPL_NOTIFY ||
         tpl == TPL_HIGH_LEVEL;
}

EFI_TPL EventCore::Raise(EFI_TPL newTpl) {
  const EFI_TPL old = current_;
  if (!IsTplLevel(newTpl)) {
    // Served anyway (clamped to the top) so that the caller's run goes on.
    Violation("RaiseTPL(" + std::to_string(newTpl) + "): not a TPL level (4, 8, 16 or 31)");
    newTpl = std::min<EFI_TPL>(newTpl, kMaxTpl);
  }
  if (newTpl < old) {
    Violation("RaiseTPL(" + std::to_string(newTpl) + ") below the current TPL " +
              std::to_string(old));
    return old;
  }
  current_ = newTpl;
  return old;
}

void EventCore::Restore(EFI_TPL oldTpl) {
  if (!IsTplLevel(oldTpl))
    Violation("RestoreTPL(" + std::to_string(oldTpl) + "): not a TPL level (4, 8, 16 or 31)");
  if (oldTpl > current_) {
    Violation("RestoreTPL(" + std::to_string(oldTpl) + ") above the current TPL " +
              std::to_string(current_));
    return;
  }
  current_ = oldTpl;
  Dispatch();
}

void EventCore::FireDueTimers(uint64_t now) {
  // Signalling only queues notifications, so nothing re-arms a timer in this
  // loop but the periodic step, which always lands after `now`.
  while (!timers_.empty() && std::get<0>(*timers_.begin()) <= now) {
    const uint64_t id = std::get<2>(*timers_.begin());
    timers_.erase(timers_.begin());
    Event &ev = *events_.at(id);
    if (ev.periodic) {
      ev.deadline += ev.period;
      if (ev.deadline <= now) // fell behind (real clock): skip missed periods
        ev.deadline = now + ev.period - (now - ev.deadline) % ev.period;
      timers_.insert(KeyOf(ev));
    } else {
      ev.armed = false;
    }
    Signal(HandleOf(id));
  }
}

std::optional<uint64_t> EventCore::NextTimerDeadline() const {
  if (timers_.empty())
    return std::nullopt;
  return std::get<0>(*timers_.begin());
}

void EventCore::Dispatch() {
  for (;;) {
    EFI_TPL level = kMaxTpl;
    while (level > current_ && queues_[level].empty())
      --level;
    if (level <= current_)
      return;
    const uint64_t id = queues_[level].front();
    queues_[level].pop_front();
    auto it = events_.find(id);
    if (it == events_.end())
      continue;
    Event &ev = *it->second;
    ev.queued = false;
    // A signal-type event leaves the signalled state as its notification runs,
    // so that it can be signalled again from inside.
    if (ev.type & EVT_NOTIFY_SIGNAL)
      ev.signalled = false;
    const EFI_EVENT_NOTIFY notify = ev.notify;
    void *const context = ev.context;
    const HostNotify hostNotify = ev.hostNotify; // the event may be closed inside
    const EFI_TPL saved = current_;
    current_ = level;
    if (notify)
      notify(HandleOf(id), context);
    else if (hostNotify)
      hostNotify(HandleOf(id));
    if (current_ != level)
      Violation("notification at TPL " + std::to_string(level) + " returned at TPL " +
                std::to_string(current_));
    current_ = saved;
  }
}

size_t EventCore::QueuedCount() const {
  size_t n = 0;
  for (const auto &q : queues_)
    n += q.size();
  return n;
}

std::vector<std::string> EventCore::Report() const {
  std::vector<std::string> lines;
  for (const auto &[id, ev] : events_) {
    std::string line = "event #" + std::to_string(id) + ": type " + Hex(ev->type);
    if (ev->type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT))
      line += ", notify TPL " + std::to_string(ev->notifyTpl);
    if (ev->armed)
      line += std::string(ev->periodic ? ", periodic" : ", armed") + " deadline " +
              std::to_string(ev->deadline);
    if (ev->queued)
      line += ", notification queued";
    lines.push_back(std::move(line));
  }
  return lines;
}

} // namespace zem4::host
