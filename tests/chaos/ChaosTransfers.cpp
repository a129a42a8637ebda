// The caller's transfers and the calls that follow one: ReadFile (blocking
// or with an event, through the wait for an address), GetInfo, Poll,
// GetStatus and GetModeData, each with what the oracle requires of it.
#include "tests/chaos/ChaosWorld.h"

#include "host/EventCore.h"
#include "host/FaultInjector.h"
#include "tests/common/InstanceProbe.h"

namespace zem4::test::chaos {

extern World *gWorld;

namespace {

EFI_STATUS EFIAPI CheckPacketFn(Zem4 *, Zem4Token *token, UINT32 length, VOID *data) {
  return gWorld->OnCheckPacket(*static_cast<TokenRec *>(token->Context), length, data);
}

EFI_STATUS EFIAPI TimeoutFn(Zem4 *, Zem4Token *token) {
  return gWorld->OnTimeout(*static_cast<TokenRec *>(token->Context));
}

} // namespace

void World::DoReadFile(Ctx ctx, Child &c, bool blocking) {
  auto owned = std::make_unique<TokenRec>();
  TokenRec &rec = *owned;
  rec.id = static_cast<int>(tokens_.size());
  tokens_.push_back(std::move(owned));
  rec.child = &c;
  rec.blocking = blocking;
  result_.tokens++;
  const auto &file = files_[rng_.Below(files_.size())];
  rec.file = file.first;
  rec.expect = &file.second;
  const uint64_t kind = rng_.Below(3);
  rec.caller = kind == 0 ? Caller::Buffer : kind == 1 ? Caller::Stream : Caller::BufferAndCheck;
  rec.multicast = rng_.Chance(30);
  UINT32 count = 0;
  if (rng_.Chance(70)) {
    rec.options[count++] = {reinterpret_cast<CHAR8 *>(rec.optNames[0].data()),
                            reinterpret_cast<CHAR8 *>(rec.optValues[0].data())};
  }
  if (rec.multicast) {
    rec.options[count++] = {reinterpret_cast<CHAR8 *>(rec.optNames[1].data()),
                            reinterpret_cast<CHAR8 *>(rec.optValues[1].data())};
  }
  Zem4Token &token = rec.token;
  token.Status = kSentinel;
  token.Filename = reinterpret_cast<CHAR8 *>(rec.file.data());
  token.OptionCount = count;
  token.OptionList = count != 0 ? rec.options : nullptr;
  token.Context = &rec;
  if (rec.caller != Caller::Stream) {
    rec.buffer.assign(rec.expect->size() + 1, kGuard);
    token.Buffer = rec.buffer.data();
    token.BufferSize = rec.buffer.size();
  }
  if (rec.caller != Caller::Buffer) {
    token.CheckPacket = CheckPacketFn;
    if (rng_.Chance(8)) {
      rec.failAtRun = static_cast<int>(rng_.Below(4));
    }
  }
  if (rng_.Chance(50)) {
    token.TimeoutCallback = TimeoutFn;
    if (rng_.Chance(10)) {
      rec.cancelAtTimeout = static_cast<int>(rng_.Below(4));
    }
  }
  // Without override data the wait keeps the time-out the last start left.
  UINT16 timeoutValue = DriverHas(c) ? test::InstanceProbe(c.proto).RetryTimeout() : 0;
  if (rng_.Chance(20)) {
    rec.override.ServerIp = EfiIp(kServer);
    rec.override.TryCount = rng_.Chance(50) ? 0 : static_cast<UINT16>(3 + rng_.Below(8));
    timeoutValue = rng_.Chance(50) ? 0 : static_cast<UINT16>(1 + rng_.Below(4));
    rec.override.TimeoutValue = timeoutValue;
    token.OverrideData = &rec.override;
  }
  if (!blocking) {
    if (EFI_ERROR(host_->Fw().CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ChaosTokenNotify, &rec,
                                          &rec.event))) {
      Fail("the harness cannot create a token event");
      return;
    }
    token.Event = rec.event;
  }

  const EFI_TPL tpl = Tpl();
  const std::string where = Where(c);
  const bool needs = NeedsAddress(c);
  const bool configured = Configured(c);
  const bool busy = Busy(c);
  std::vector<std::string> q;
  if (needs) {
    q.push_back("NeedsAddress");
  }
  if (InWait(c)) {
    q.push_back("AddrWait");
  }
  if (InDestroy(c)) {
    q.push_back("InDestroy");
  }
  if (busy) {
    q.push_back("Busy");
  } else if (configured) {
    q.push_back("Idle");
  }
  if (rec.multicast) {
    q.push_back("Mcast");
  }

  std::set<EFI_STATUS> refusals;
  if (tpl > TPL_CALLBACK || (blocking && tpl >= TPL_CALLBACK)) {
    refusals.insert(EFI_INVALID_PARAMETER);
  }
  if (!configured) {
    refusals.insert(EFI_NOT_STARTED);
  }
  if (busy) {
    refusals.insert(EFI_ACCESS_DENIED);
  }
  const bool noMappingAtOnce = refusals.empty() && needs && tpl == TPL_CALLBACK;
  const bool proceed = refusals.empty() && !noMappingAtOnce;
  const host::Time100ns t0 = host_->Fw().Now();
  const uint64_t injected = Injected();
  rec.injectedAtStart = injected;
  rec.startedAt = t0;
  rec.inCall = true;
  if (proceed) {
    rec.started = true;
    c.frames++;
    c.running = &rec;
    if (needs) {
      c.waiting = &rec;
      // A caller's timer that comes due while the driver waits for the address.
      if (rng_.Chance(70)) {
        static const Act kDuringWait[] = {Act::DestroyChild,  Act::ConfigureNull,
                                          Act::ReadFileEvent, Act::ConfigureData,
                                          Act::GetStatus,     Act::Poll};
        Schedule(Ctx::TimerCallback, rng_.Below(2500) * kMs, kDuringWait[rng_.Below(6)], &c);
      }
    }
    // Accepted before a stop or a destruction on the stack has reached the
    // child: that ends it, unless its wait for an address ends first.
    if (c.stopping || c.inDestroy) {
      rec.abortCause = c.stopping ? "Stop" : "DestroyChild";
      rec.abortMaybe = true;
    }
  }
  Trace(std::string(CtxName(ctx)) + (blocking ? " ReadFile(blocking) " : " ReadFile ") + Label(&c) +
        " t" + std::to_string(rec.id) + " " + rec.file +
        (rec.caller == Caller::Stream   ? " stream"
         : rec.caller == Caller::Buffer ? " buffer"
                                        : " buffer+check") +
        (rec.multicast ? " multicast" : ""));
  const EFI_STATUS st = c.proto->ReadFile(c.proto, &token);
  rec.inCall = false;
  const bool faulted = Injected() != injected;
  rec.faulted = rec.faulted || faulted;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(blocking ? Act::ReadFileBlocking : Act::ReadFileEvent, ctx, q);
  Trace("  t" + std::to_string(rec.id) + " ReadFile -> " + StatusText(st));
  const std::string what = std::string(blocking ? "blocking " : "") + "ReadFile t" +
                           std::to_string(rec.id) + " from " + CtxName(ctx) + where;

  if (!proceed) {
    Expect(what, st, noMappingAtOnce ? std::set<EFI_STATUS>{EFI_NO_MAPPING} : refusals, faulted);
    if (noMappingAtOnce && host_->Fw().Now() != t0) {
      Fail(what + " waited for an address at TPL_CALLBACK");
    }
    if (st == EFI_SUCCESS) {
      // Only after an injected failure; follow what the driver did.
      rec.started = true;
      if (!blocking) {
        c.running = &rec;
      }
    } else {
      rec.refused = true;
      if (token.Status != kSentinel || rec.signalled != 0) {
        Fail(what + " was refused but its token was completed");
      }
    }
    return;
  }

  c.frames--;
  if (c.waiting == &rec) {
    c.waiting = nullptr;
  }
  // The wait for an address lasts three time-outs.
  const UINT16 t = timeoutValue != 0 ? timeoutValue : 3;
  const host::Time100ns bound = 3ull * t * kSecond;
  const host::Time100ns margin = kSecond / 2;
  const host::Time100ns mappedAt = mappedAt_[c.ctl];
  const bool mustMap = needs && mappedAt + margin <= t0 + bound;
  const bool mustGiveUp = needs && mappedAt >= t0 + bound + margin;

  // A ReadFile that never got a transfer going: the wait failed or was ended.
  auto notStarted = [&] {
    rec.started = false;
    rec.refused = true;
    if (c.running == &rec) {
      c.running = nullptr;
    }
    if (rec.signalled != 0) {
      Fail(what + " returned " + StatusText(st) + " but signalled its token");
      return;
    }
    bool ok = faulted;
    if (!rec.abortCause.empty()) {
      ok = ok || st == EFI_ABORTED;
    }
    if (needs && (rec.abortCause.empty() || rec.abortMaybe)) {
      ok = ok || (st == EFI_NO_MAPPING && !mustMap);
    }
    if (!ok) {
      Fail(what + " returned " + StatusText(st) +
           (needs ? " though the address came " +
                        std::to_string(static_cast<int64_t>(mappedAt - t0) / int64_t(kMs)) +
                        " ms into a wait of " + std::to_string(bound / kMs) + " ms"
                  : "") +
           (rec.abortCause.empty() ? "" : " after " + rec.abortCause));
    }
  };

  if (blocking) {
    if (c.running == &rec) {
      c.running = nullptr;
    }
    if (st == EFI_NO_MAPPING || token.Status == kSentinel) {
      notStarted();
      return;
    }
    if (st != token.Status) {
      Fail(what + " returned " + StatusText(st) + " but its token holds " +
           StatusText(token.Status));
      return;
    }
    if (mustGiveUp && rec.abortCause.empty() && !faulted) {
      Fail(what + " did not give up waiting for an address that came only " +
           std::to_string((mappedAt - t0) / kMs) + " ms later");
      return;
    }
    CheckFinal(rec, st, "returned");
    return;
  }
  if (st != EFI_SUCCESS) {
    notStarted();
    return;
  }
  if (mustGiveUp && rec.abortCause.empty() && !faulted) {
    Fail(what + " did not give up waiting for an address that came only " +
         std::to_string((mappedAt - t0) / kMs) + " ms later");
  }
}

void World::DoGetInfo(Ctx ctx, Child &c) {
  auto owned = std::make_unique<TokenRec>();
  TokenRec &rec = *owned;
  rec.id = static_cast<int>(tokens_.size());
  tokens_.push_back(std::move(owned));
  rec.child = &c;
  rec.blocking = true;
  rec.token.Status = kSentinel;
  const auto &file = files_[rng_.Below(files_.size())];
  rec.file = file.first;
  rec.options[0] = {reinterpret_cast<CHAR8 *>(rec.optNames[0].data()),
                    reinterpret_cast<CHAR8 *>(rec.optValues[0].data())};
  const UINT8 count = rng_.Chance(50) ? 1 : 0;

  const EFI_TPL tpl = Tpl();
  const bool needs = NeedsAddress(c);
  std::vector<std::string> q;
  if (needs) {
    q.push_back("NeedsAddress");
  }
  std::set<EFI_STATUS> refusals;
  if (tpl >= TPL_CALLBACK) {
    refusals.insert(EFI_INVALID_PARAMETER);
  }
  if (!Configured(c)) {
    refusals.insert(EFI_NOT_STARTED);
  }
  if (Busy(c)) {
    refusals.insert(EFI_ACCESS_DENIED);
    q.push_back("Busy");
  }
  const bool proceed = refusals.empty();
  if (proceed) {
    c.frames++;
    c.running = &rec;
    if (needs) {
      c.waiting = &rec;
    }
    if (c.stopping) {
      rec.abortCause = "Stop";
    }
  }
  rec.inCall = true;
  const host::Time100ns t0 = host_->Fw().Now();
  const UINT16 timeout = DriverHas(c) ? test::InstanceProbe(c.proto).RetryTimeout() : 0;
  const uint64_t injected = Injected();
  UINT32 length = 0;
  VOID *packet = nullptr;
  const EFI_STATUS st =
      c.proto->GetInfo(c.proto, nullptr, reinterpret_cast<CHAR8 *>(rec.file.data()), nullptr, count,
                       count != 0 ? rec.options : nullptr, &length, &packet);
  const bool faulted = Injected() != injected;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(Act::GetInfo, ctx, q);
  Trace(std::string(CtxName(ctx)) + " GetInfo " + Label(&c) + " " + rec.file + " -> " +
        StatusText(st));
  const std::string what = std::string("GetInfo from ") + CtxName(ctx);
  rec.inCall = false;
  if (proceed) {
    c.frames--;
    if (c.running == &rec) {
      c.running = nullptr;
    }
    if (c.waiting == &rec) {
      c.waiting = nullptr;
    }
  }
  if (packet != nullptr) {
    const auto *bytes = static_cast<const uint8_t *>(packet);
    if (st == EFI_SUCCESS && (length < 2 || bytes[0] != 0 || bytes[1] != 6) && !faulted) {
      Fail(what + " captured something other than an OACK");
    }
    host_->Fw().FreePool(packet);
  } else if (st == EFI_SUCCESS && !faulted) {
    Fail(what + " returned EFI_SUCCESS without a packet");
  }
  if (!proceed) {
    Expect(what, st, refusals, faulted);
    return;
  }
  std::set<EFI_STATUS> allowed = {EFI_SUCCESS};
  if (!rec.abortCause.empty()) {
    allowed = {EFI_ABORTED};
  } else if (needs) {
    const host::Time100ns bound = 3ull * (timeout != 0 ? timeout : 3) * kSecond;
    if (mappedAt_[c.ctl] + kSecond / 2 > t0 + bound) {
      allowed.insert(EFI_NO_MAPPING);
      if (mappedAt_[c.ctl] >= t0 + bound + kSecond / 2) {
        allowed.erase(EFI_SUCCESS);
      }
    }
  }
  Expect(what, st, allowed, faulted);
}

void World::DoPoll(Ctx ctx, Child &c) {
  const EFI_TPL tpl = Tpl();
  const uint64_t injected = Injected();
  const EFI_STATUS st = c.proto->Poll(c.proto);
  const bool faulted = Injected() != injected;
  std::vector<std::string> q = Delivered();
  if (Running(c)) {
    q.insert(q.begin(), "Running");
  }
  Count(Act::Poll, ctx, q);
  Trace(std::string(CtxName(ctx)) + " Poll " + Label(&c) + " -> " + StatusText(st));
  if (tpl > TPL_CALLBACK) {
    Expect(std::string("Poll from ") + CtxName(ctx), st, {EFI_INVALID_PARAMETER}, faulted);
  } else {
    Expect(std::string("Poll from ") + CtxName(ctx), st,
           {EFI_SUCCESS, EFI_NOT_READY, EFI_TIMEOUT, EFI_NOT_STARTED}, faulted);
  }
}

void World::DoGetStatus(Ctx ctx, Child &c) {
  Zem4TransferStatus status{};
  const EFI_STATUS st = c.proto->GetStatus(c.proto, &status);
  Count(Act::GetStatus, ctx);
  Trace(std::string(CtxName(ctx)) + " GetStatus " + Label(&c) + " -> " + StatusText(st) + " " +
        std::to_string(status.ReceivedBlocks) + "/" + std::to_string(status.TotalBlocks));
  Expect(std::string("GetStatus from ") + CtxName(ctx), st, {EFI_SUCCESS}, false);
  // A file whose size is a multiple of the block size ends with an empty
  // block that "tsize" does not count: one over is what the driver reports.
  if (status.TotalBlocks != 0xFFFFFFFFu && status.TotalBlocks != 0 &&
      status.ReceivedBlocks > status.TotalBlocks + 1) {
    Fail("GetStatus reports more blocks received than the file has");
  }
}

void World::DoGetModeData(Ctx ctx, Child &c) {
  Zem4ModeData mode{};
  const EFI_STATUS st = c.proto->GetModeData(c.proto, &mode);
  Count(Act::GetModeData, ctx);
  Trace(std::string(CtxName(ctx)) + " GetModeData " + Label(&c) + " -> " + StatusText(st));
  Expect(std::string("GetModeData from ") + CtxName(ctx), st,
         {Configured(c) ? EFI_SUCCESS : EFI_NO_MAPPING}, false);
}

} // namespace zem4::test::chaos
