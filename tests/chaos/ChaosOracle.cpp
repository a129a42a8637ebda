// The oracle: the driver's call-outs to the caller (token notifications,
// CheckPacket, TimeoutCallback), the model of each child as the driver can
// see it, and the verdict on every token's end.
#include "tests/chaos/ChaosWorld.h"

#include "host/FaultInjector.h"
#include "tests/common/InstanceProbe.h"

#include <cstdio>

namespace zem4::test::chaos {

// ---------------------------------------------------------------------------
// Call-outs from the driver.
// ---------------------------------------------------------------------------

void World::OnTokenSignalled(TokenRec &rec) {
  rec.signalled++;
  Trace('t' + std::to_string(rec.id) + " signalled with " + StatusText(rec.token.Status));
  if (rec.signalled > 1) {
    Fail("token t" + std::to_string(rec.id) + " signalled twice");
    return;
  }
  CheckFinal(rec, rec.token.Status, "signalled");
  if (ending_ || Failed() || depth_ >= kMaxDepth) {
    return;
  }
  Child *c = rec.child != nullptr && rec.child->alive ? rec.child : nullptr;
  // What a boot manager does when a download ends: configure and read again
  // (the fault behind a destruction that signals the token), or go away.
  if (c != nullptr && InDestroy(*c) && LiveChildren(c->ctl) == 1 && rng_.Chance(30)) {
    // Or makes a new child as soon as the dying one is off the count.
    Schedule(Ctx::TimerCallback, 0, Act::CreateChild, c);
    timers_.back()->whenLastLeft = !Failed();
  }
  if (c != nullptr && InDestroy(*c) && rng_.Chance(60)) {
    Do(Act::ConfigureData, Ctx::TokenNotify, c);
    if (c->alive && !Failed()) {
      Do(Act::ReadFileEvent, Ctx::TokenNotify, c);
    }
    return;
  }
  if (rng_.Chance(45)) {
    RandomAction(Ctx::TokenNotify, c);
  }
}

EFI_STATUS World::OnCheckPacket(TokenRec &rec, UINT32 length, const void *data) {
  if (rec.token.Status != kSentinel) {
    Fail("CheckPacket called for t" + std::to_string(rec.id) + " after it completed");
    return EFI_ABORTED;
  }
  const auto *bytes = static_cast<const uint8_t *>(data);
  if (rec.caller == Caller::Stream) {
    rec.streamed.insert(rec.streamed.end(), bytes, bytes + length);
  } else {
    rec.checked += length;
  }
  rec.runs++;
  if (rec.failAtRun >= 0 && rec.runs > rec.failAtRun) {
    rec.userCancelled = true;
    Trace('t' + std::to_string(rec.id) + " CheckPacket refuses run " + std::to_string(rec.runs));
    return EFI_ABORTED;
  }
  if (!ending_ && !Failed() && depth_ < kMaxDepth && rec.nested < 2 && rng_.Chance(12)) {
    rec.nested++;
    RandomAction(Ctx::CheckPacket, rec.child != nullptr && rec.child->alive ? rec.child : nullptr);
  }
  return EFI_SUCCESS;
}

EFI_STATUS World::OnTimeout(TokenRec &rec) {
  if (rec.token.Status != kSentinel) {
    Fail("TimeoutCallback called for t" + std::to_string(rec.id) + " after it completed");
    return EFI_ABORTED;
  }
  rec.timeouts++;
  if (rec.cancelAtTimeout >= 0 && rec.timeouts > rec.cancelAtTimeout) {
    rec.userCancelled = true;
    Trace('t' + std::to_string(rec.id) + " TimeoutCallback cancels");
    return EFI_ABORTED;
  }
  if (!ending_ && !Failed() && depth_ < kMaxDepth && rec.nested < 3 && rng_.Chance(50)) {
    rec.nested++;
    RandomAction(Ctx::TimeoutCallback,
                 rec.child != nullptr && rec.child->alive ? rec.child : nullptr);
  }
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------------------
// The oracle's bookkeeping.
// ---------------------------------------------------------------------------

void World::Fail(const std::string &why) {
  if (result_.failure.empty()) {
    result_.failure = why;
    Trace("FAILED: " + why);
  }
}

void World::Trace(const std::string &line) {
  char prefix[48];
  const host::Time100ns now = host_ ? host_->Fw().Now() : 0;
  std::snprintf(prefix, sizeof(prefix), "%9.3f s %*s", static_cast<double>(now) / kSecond,
                depth_ * 2, "");
  result_.trace.push_back(prefix + line);
}

void World::Count(Act act, Ctx ctx, const std::vector<std::string> &qualifiers) {
  std::string key = std::string(ActName(act)) + "@" + CtxName(ctx);
  for (const auto &q : qualifiers) {
    key += "+" + q;
  }
  result_.pairs[key]++;
  result_.actions++;
}

uint64_t World::Injected() {
  return host_->Fw().Faults().Injected();
}

EFI_TPL World::Tpl() {
  return host_->Fw().CurrentTpl();
}

bool World::DriverHas(const Child &c) const {
  return loaded_ && c.alive && host_->Fw().IsHandle(c.handle) &&
         host_->Protocol(c.handle) == c.proto;
}

// The driver's own flag while the child is there; ours once it is gone.
bool World::InDestroy(const Child &c) const {
  return DriverHas(c) ? test::InstanceProbe(c.proto).InDestroy() : c.inDestroy;
}

bool World::Running(const Child &c) const {
  return c.running != nullptr && c.running->token.Status == kSentinel;
}

bool World::DriverIdle(const Child &c) const {
  return DriverHas(c) && test::InstanceProbe(c.proto).Idle();
}

// A token whose ReadFile is still on the stack while the driver is idle has
// no transfer: its wait failed and the call is about to say so (the caller's
// notifications run on the way out).
bool World::Transferring(const Child &c) const {
  return Running(c) && !(c.running->inCall && DriverIdle(c));
}

bool World::InWait(const Child &c) const {
  return c.waiting != nullptr && !host_->Controller(static_cast<size_t>(c.ctl)).Mapped() &&
         !DriverIdle(c);
}

bool World::Busy(const Child &c) const {
  return Transferring(c) || InDestroy(c);
}

// Whether ending the child's transfer now must end this token with EFI_ABORTED.
bool World::Abortable(const Child &c, const TokenRec *rec) const {
  return options_.sabotage != Sabotage::ForgetAborts && rec != nullptr &&
         rec->token.Status == kSentinel && rec->abortCause.empty() &&
         !(rec->inCall && DriverIdle(c));
}

bool World::NeedsAddress(const Child &c) const {
  return c.useDefault && !host_->Controller(static_cast<size_t>(c.ctl)).Mapped();
}

// What a stopping controller or a destruction on the stack has done to a
// child so far is read from the driver itself: where the caller's
// notifications run inside them is the firmware's choice.
bool World::Configured(const Child &c) const {
  if ((c.stopping || c.inDestroy) && DriverHas(c)) {
    return test::InstanceProbe(c.proto).Configured();
  }
  return c.configured;
}

void World::MarkAborted(Child &c, const std::string &cause) {
  if (options_.sabotage == Sabotage::ForgetAborts) {
    return;
  }
  for (TokenRec *rec : {c.running, c.waiting}) {
    if (Abortable(c, rec)) {
      rec->abortCause = cause;
    }
  }
}

void World::ChildGone(Child &c) {
  c.alive = false;
  c.inDestroy = false;
  c.stopping = false;
}

// After a call that a failure was injected into, the model takes what the
// driver holds.
void World::Resync(Child &c) {
  if (!c.alive) {
    return;
  }
  if (!DriverHas(c)) {
    Trace('c' + std::to_string(c.id) + " is gone");
    ChildGone(c);
    return;
  }
  const test::InstanceProbe probe(c.proto);
  c.configured = probe.Configured();
  c.useDefault = probe.UsesDefaultSetting();
}

std::string World::Holds(const TokenRec &rec) const {
  const Bytes &file = *rec.expect;
  const Bytes *got = &rec.streamed;
  Bytes clipped;
  if (rec.caller != Caller::Stream) {
    if (rec.caller == Caller::BufferAndCheck && rec.checked != file.size()) {
      return "CheckPacket saw " + std::to_string(rec.checked) + " bytes of " +
             std::to_string(file.size());
    }
    if (rec.buffer.back() != kGuard) {
      return "written past the end of the file";
    }
    clipped.assign(rec.buffer.begin(), rec.buffer.end() - 1);
    got = &clipped;
  }
  if (got->size() != file.size()) {
    return std::to_string(got->size()) + " bytes instead of " + std::to_string(file.size());
  }
  for (size_t i = 0; i < file.size(); i++) {
    if ((*got)[i] != file[i]) {
      return "first wrong byte at " + std::to_string(i);
    }
  }
  return {};
}

bool World::Widened(EFI_STATUS status) {
  switch (status) {
  case EFI_ABORTED:
  case EFI_DEVICE_ERROR:
  case EFI_OUT_OF_RESOURCES:
  case EFI_ICMP_ERROR:
  case EFI_TIMEOUT:
  case EFI_NO_MAPPING:
  case EFI_UNSUPPORTED:
  case EFI_NO_MEDIA:
    return true;
  default:
    return false;
  }
}

// How a started transfer ended, against what ended it.
void World::CheckFinal(TokenRec &rec, EFI_STATUS status, const char *how) {
  const std::string name = "token t" + std::to_string(rec.id) + " (" + rec.file + ")";
  if (rec.refused) {
    Fail(name + ": " + how + " although ReadFile refused it");
    return;
  }
  if (rec.completed) {
    Fail(name + ": completed twice");
    return;
  }
  rec.completed = true;
  rec.endedAt = host_->Fw().Now();
  if (rec.child != nullptr && rec.child->running == &rec) {
    rec.child->running = nullptr;
  }
  rec.faulted = rec.faulted || Injected() != rec.injectedAtStart;
  if (status == kSentinel) {
    Fail(name + ": " + how + " without a status");
    return;
  }
  const bool cancelled = !rec.abortCause.empty() || rec.userCancelled;
  const std::string cause = !rec.abortCause.empty() ? rec.abortCause
                            : rec.userCancelled     ? "the caller's cancellation"
                                                    : "nothing";
  if (status == EFI_SUCCESS) {
    const std::string diff = Holds(rec);
    if (!diff.empty()) {
      Fail(name + ": EFI_SUCCESS without the file: " + diff);
    } else if (cancelled && !rec.faulted) {
      Fail(name + ": EFI_SUCCESS after " + cause);
    } else {
      result_.successes++;
    }
    return;
  }
  if (cancelled && status == EFI_ABORTED) {
    return;
  }
  if (rec.faulted && Widened(status)) {
    return;
  }
  // The group's port is bound without duplicates allowed: a second child of
  // the same controller in the same group cannot open it.
  if (status == EFI_ACCESS_DENIED && SharesGroupPort(rec)) {
    return;
  }
  Fail(name + ": " + how + " with " + StatusText(status) + " after " + cause +
       (rec.faulted ? " and an injected failure" : ""));
}

bool World::SharesGroupPort(const TokenRec &rec) const {
  if (!rec.multicast || rec.child == nullptr) {
    return false;
  }
  for (const auto &other : tokens_) {
    if (other.get() != &rec && other->multicast && other->started && other->child != nullptr &&
        other->child != rec.child && other->child->ctl == rec.child->ctl &&
        other->file == rec.file && other->startedAt <= rec.endedAt &&
        other->endedAt >= rec.startedAt) {
      return true;
    }
  }
  return false;
}

void World::Expect(const std::string &what, EFI_STATUS got, const std::set<EFI_STATUS> &allowed,
                   bool faulted) {
  if (faulted || allowed.count(got) != 0) {
    return;
  }
  std::string text = what + " returned " + StatusText(got) + ", expected";
  for (EFI_STATUS s : allowed) {
    text += ' ' + StatusText(s);
  }
  Fail(text);
}

} // namespace zem4::test::chaos
