// The caller's life-cycle actions (children, configuration, stops, unloads and
// injected failures), how one is picked, and what the oracle requires of each:
// the statuses a call may return in the state the model knows, and what a
// refused call must leave untouched.
#include "tests/chaos/ChaosWorld.h"

#include "driver/Zem4Driver.h"
#include "host/EventCore.h"
#include "host/FaultInjector.h"
#include "tests/common/InstanceProbe.h"

namespace zem4::test::chaos {

extern World *gWorld;

namespace {

// The calls a failure is injected into, with the status and the caller's
// action most likely to reach them next.
struct FaultCall {
  const char *call;
  EFI_STATUS status;
  Act follow;
};
const FaultCall kFaultCalls[] = {
    {"AllocatePool", EFI_OUT_OF_RESOURCES, Act::ReadFileEvent},
    {"CreateEvent", EFI_OUT_OF_RESOURCES, Act::ReadFileEvent},
    {"OpenProtocol", EFI_UNSUPPORTED, Act::CreateChild},
    {"InstallMultipleProtocolInterfaces", EFI_OUT_OF_RESOURCES, Act::CreateChild},
    {"UninstallMultipleProtocolInterfaces", EFI_ACCESS_DENIED, Act::DestroyChild},
    {"Udp4.Configure", EFI_DEVICE_ERROR, Act::ConfigureNull},
    {"Udp4.Cancel", EFI_DEVICE_ERROR, Act::ConfigureNull},
    {"Udp4.Transmit", EFI_DEVICE_ERROR, Act::ReadFileEvent},
    {"Udp4.Receive", EFI_DEVICE_ERROR, Act::ReadFileEvent},
    {"Udp4.Groups", EFI_DEVICE_ERROR, Act::ReadFileEvent},
    {"Udp4.GetModeData", EFI_DEVICE_ERROR, Act::ReadFileEvent},
    {"Udp4.TransmitCompletion", EFI_DEVICE_ERROR, Act::ReadFileEvent},
    {"Udp4.ReceiveCompletion", EFI_ICMP_ERROR, Act::ReadFileEvent},
    {"Udp4Sb.CreateChild", EFI_OUT_OF_RESOURCES, Act::CreateChild},
    {"Udp4Sb.DestroyChild", EFI_DEVICE_ERROR, Act::DestroyChild},
};

const FaultCall &FaultCallNamed(const char *call) {
  for (const FaultCall &f : kFaultCalls) {
    if (std::string(f.call) == call) {
      return f;
    }
  }
  return kFaultCalls[0];
}

bool NeedsChild(Act act) {
  switch (act) {
  case Act::DestroyChild:
  case Act::DestroyForeign:
  case Act::ConfigureData:
  case Act::ConfigureBad:
  case Act::ConfigureNull:
  case Act::ReadFileEvent:
  case Act::ReadFileBlocking:
  case Act::GetInfo:
  case Act::Poll:
  case Act::GetStatus:
  case Act::GetModeData:
    return true;
  default:
    return false;
  }
}

struct Weighted {
  Act act;
  unsigned weight;
};

} // namespace

std::string World::Label(const Child *c) const {
  return c == nullptr ? std::string("-")
                      : 'c' + std::to_string(c->id) + "/ctl" + std::to_string(c->ctl);
}

// Where a call on the child lands, for the failure's first line.
std::string World::Where(const Child &c) const {
  if (c.foreignDestroy) {
    return " during a DestroyChild of " + Label(&c) + " through the other controller";
  }
  if (InDestroy(c)) {
    return " during DestroyChild of " + Label(&c);
  }
  if (InWait(c)) {
    return " while ReadFile t" + std::to_string(c.waiting->id) + " of " + Label(&c) +
           " waits for an address";
  }
  if (c.frames > 0) {
    return " inside a ReadFile of " + Label(&c);
  }
  if (c.stopping) {
    return " while " + Label(&c) + "'s controller stops";
  }
  return "";
}

std::vector<std::string> World::Delivered() {
  std::vector<std::string> out;
  host::FaultInjector &faults = host_->Fw().Faults();
  for (auto it = armed_.begin(); it != armed_.end();) {
    if (faults.Count(it->call) >= it->nth) {
      out.push_back("fault:" + it->call);
      it = armed_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

Act World::PickAction(Ctx ctx) {
  if (ctx == Ctx::App && !loaded_) {
    return Act::Reload;
  }
  const bool anyDown = loaded_ && (!connected_[0] || !connected_[1]);
  std::vector<Weighted> table;
  if (ctx == Ctx::App) {
    table = {{Act::CreateChild, 10},    {Act::DestroyChild, 6},
             {Act::DestroyForeign, 2},  {Act::ConfigureData, 10},
             {Act::ConfigureBad, 1},    {Act::ConfigureNull, 4},
             {Act::ReadFileEvent, 16},  {Act::ReadFileBlocking, 5},
             {Act::GetInfo, 2},         {Act::Poll, 2},
             {Act::GetStatus, 2},       {Act::GetModeData, 1},
             {Act::Disconnect, 1},      {Act::Connect, anyDown ? 8u : 0u},
             {Act::Unload, 2},          {Act::InjectFault, 3},
             {Act::InjectFaultTwice, 2}};
  } else if (ctx == Ctx::CheckPacket || ctx == Ctx::TimeoutCallback) {
    // From inside the driver's call-outs: mostly the calls that end the
    // transfer under the driver's feet.
    // TimeoutCallback is asked only when a transfer stalls: rare enough that
    // it mostly ends the transfer.
    table = {{Act::DestroyChild, ctx == Ctx::TimeoutCallback ? 20u : 10u},
             {Act::ConfigureNull, 8},
             {Act::ReadFileEvent, 8},
             {Act::ConfigureData, 4},
             {Act::GetStatus, 4},
             {Act::Poll, 4},
             {Act::CreateChild, 2},
             {Act::ReadFileBlocking, 1},
             {Act::GetInfo, 1},
             {Act::InjectFault, 1}};
  } else {
    table = {{Act::CreateChild, 6},
             {Act::DestroyChild, 8},
             {Act::DestroyForeign, 1},
             {Act::ConfigureData, 8},
             {Act::ConfigureNull, 6},
             {Act::ReadFileEvent, 14},
             {Act::ReadFileBlocking, 2},
             {Act::GetInfo, 1},
             {Act::Poll, 3},
             {Act::GetStatus, 3},
             {Act::GetModeData, 1},
             {Act::InjectFault, 2},
             {Act::InjectFaultTwice, 1},
             {Act::Disconnect, ctx == Ctx::TimerCallback ? 3u : 0u}};
  }
  for (auto &w : table) {
    if (options_.without.count(w.act) != 0) {
      w.weight = 0;
    }
  }
  unsigned total = 0;
  for (const auto &w : table) {
    total += w.weight;
  }
  uint64_t roll = rng_.Below(total);
  for (const auto &w : table) {
    if (roll < w.weight) {
      return w.act;
    }
    roll -= w.weight;
  }
  return Act::GetStatus;
}

Child *World::PickChild(Child *prefer) {
  if (prefer != nullptr && prefer->alive && rng_.Chance(65)) {
    return prefer;
  }
  std::vector<Child *> alive;
  for (auto &c : children_) {
    if (c->alive) {
      alive.push_back(c.get());
    }
  }
  return alive.empty() ? nullptr : alive[rng_.Below(alive.size())];
}

void World::RandomAction(Ctx ctx, Child *prefer) {
  const Act act = PickAction(ctx);
  Do(act, ctx, NeedsChild(act) ? PickChild(prefer) : prefer);
}

void World::Do(Act act, Ctx ctx, Child *target) {
  if (Failed()) {
    return;
  }
  if (!loaded_ && act != Act::Reload) {
    return;
  }
  depth_++;
  if (NeedsChild(act)) {
    if (target == nullptr || !target->alive) {
      target = PickChild(nullptr);
    }
    if (target == nullptr) {
      act = Act::CreateChild;
    } else if (!DriverHas(*target)) {
      // A stop on the stack has taken it already.
      Trace(std::string(ActName(act)) + " skipped: " + Label(target) + " is being stopped");
      depth_--;
      return;
    }
  }
  switch (act) {
  case Act::CreateChild: {
    int ctl = target != nullptr ? target->ctl : static_cast<int>(rng_.Below(2));
    if (!connected_[ctl]) {
      ctl = 1 - ctl;
    }
    DoCreate(ctx, ctl);
    break;
  }
  case Act::DestroyChild:
    DoDestroy(ctx, *target, false);
    break;
  case Act::DestroyForeign:
    DoDestroy(ctx, *target, true);
    break;
  case Act::ConfigureData:
    DoConfigure(ctx, *target, false);
    break;
  case Act::ConfigureBad:
    DoConfigure(ctx, *target, true);
    break;
  case Act::ConfigureNull:
    DoConfigureNull(ctx, *target);
    break;
  case Act::ReadFileEvent:
    DoReadFile(ctx, *target, false);
    break;
  case Act::ReadFileBlocking:
    DoReadFile(ctx, *target, true);
    break;
  case Act::GetInfo:
    DoGetInfo(ctx, *target);
    break;
  case Act::Poll:
    DoPoll(ctx, *target);
    break;
  case Act::GetStatus:
    DoGetStatus(ctx, *target);
    break;
  case Act::GetModeData:
    DoGetModeData(ctx, *target);
    break;
  case Act::Disconnect:
    if (ctx == Ctx::App || ctx == Ctx::TimerCallback) {
      DoDisconnect(ctx, static_cast<int>(rng_.Below(2)));
    }
    break;
  case Act::Connect:
    if (ctx == Ctx::App) {
      DoConnect(ctx, connected_[0] ? 1 : 0);
    }
    break;
  case Act::Unload:
    if (ctx == Ctx::App) {
      DoUnload(ctx);
    }
    break;
  case Act::Reload:
    if (ctx == Ctx::App) {
      DoReload(ctx);
    }
    break;
  case Act::InjectFault:
  case Act::InjectFaultTwice:
    DoInject(ctx, act == Act::InjectFaultTwice);
    break;
  }
  depth_--;
}

void World::DoCreate(Ctx ctx, int ctl) {
  if (!connected_[ctl] || stoppingCtl_[ctl]) {
    return;
  }
  EFI_SERVICE_BINDING_PROTOCOL *sb = host_->ServiceBinding(controllers_[ctl]);
  if (sb == nullptr) {
    Fail("controller " + std::to_string(ctl) + " has no service binding");
    return;
  }
  const Zem4ServiceBinding *record = ZEM4_SERVICE_BINDING_FROM_THIS(sb);
  const bool lockHeld = record->Lock.Count != 0;
  const int before = record->ChildrenNum;
  const EFI_TPL tpl = Tpl();
  const uint64_t injected = Injected();
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS st = sb->CreateChild(sb, &handle);
  const bool faulted = Injected() != injected;

  std::vector<std::string> q = Delivered();
  if (before > 0) {
    // Not the first: a UDP4 child of its own is made for it.
    q.insert(q.begin(), "Later");
  } else if (LiveChildren(ctl) > 0) {
    // The last child is being destroyed and has left the count.
    q.insert(q.begin(), "LastLeaving");
  }
  if (lockHeld) {
    q.insert(q.begin(), "LockHeld");
  }
  Count(Act::CreateChild, ctx, q);
  std::set<EFI_STATUS> allowed;
  if (tpl > TPL_CALLBACK) {
    // The first child takes the reserve and calls no UDP4 service.
    allowed = {EFI_INVALID_PARAMETER};
    if (before == 0 && !lockHeld) {
      allowed.insert(EFI_SUCCESS);
    }
  } else {
    allowed = {EFI_SUCCESS};
  }
  if (lockHeld) {
    allowed.insert(EFI_ACCESS_DENIED);
  }
  Trace(std::string(CtxName(ctx)) + " CreateChild on ctl" + std::to_string(ctl) + " -> " +
        StatusText(st) + (faulted ? " (injected failure)" : ""));
  Expect("CreateChild from " + std::string(CtxName(ctx)), st, allowed, faulted);
  if (st != EFI_SUCCESS) {
    return;
  }
  Zem4 *proto = host_->Protocol(handle);
  if (proto == nullptr) {
    Fail("CreateChild returned EFI_SUCCESS without a Zem4 protocol on the handle");
    return;
  }
  auto c = std::make_unique<Child>();
  c->id = static_cast<int>(children_.size());
  c->ctl = ctl;
  c->handle = handle;
  c->proto = proto;
  Trace("  = " + Label(c.get()));
  children_.push_back(std::move(c));
  // Most callers configure a child as soon as they have it.
  if (rng_.Chance(75)) {
    Do(Act::ConfigureData, ctx, children_.back().get());
  }
}

void World::DoDestroy(Ctx ctx, Child &c, bool foreign) {
  const int ctl = foreign ? 1 - c.ctl : c.ctl;
  if (!connected_[ctl] || stoppingCtl_[ctl]) {
    return;
  }
  EFI_SERVICE_BINDING_PROTOCOL *sb = host_->ServiceBinding(controllers_[ctl]);
  if (sb == nullptr) {
    return;
  }
  const EFI_TPL tpl = Tpl();
  std::vector<std::string> q;
  const bool nested = InDestroy(c);
  if (nested) {
    q.push_back("InDestroy");
  }
  if (InWait(c)) {
    q.push_back("AddrWait");
  }
  if (Running(c)) {
    q.push_back("Running");
    if (c.running->multicast) {
      q.push_back("Mcast");
    }
  }
  const bool lockHeld = ZEM4_SERVICE_BINDING_FROM_THIS(sb)->Lock.Count != 0;
  std::set<EFI_STATUS> allowed;
  bool expectGone = false;
  // Marked before the call, whatever is expected: the token's notification
  // may run inside it, and a destruction that should have been refused is
  // then reported as what it is rather than as an unexplained abort.
  std::vector<TokenRec *> marked;
  if (!nested) {
    for (TokenRec *rec : {c.running, c.waiting}) {
      if (Abortable(c, rec)) {
        rec->abortCause = foreign ? "DestroyChild via the other controller" : "DestroyChild";
        marked.push_back(rec);
      }
    }
  }
  if (foreign) {
    allowed = {EFI_INVALID_PARAMETER};
  } else if (tpl > TPL_CALLBACK) {
    allowed = {EFI_INVALID_PARAMETER};
    if (lockHeld) {
      allowed.insert(EFI_ACCESS_DENIED);
    }
  } else if (nested) {
    // A destruction of it is under way: nothing more to do.
    allowed = {EFI_SUCCESS};
  } else {
    allowed = {EFI_SUCCESS};
    expectGone = true;
    c.inDestroy = true;
    c.configured = false;
  }
  const TokenRec *running = Running(c) ? c.running : nullptr;
  const uint64_t injected = Injected();
  c.foreignDestroy = foreign;
  const EFI_STATUS st = sb->DestroyChild(sb, c.handle);
  c.foreignDestroy = false;
  const bool faulted = Injected() != injected;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(foreign ? Act::DestroyForeign : Act::DestroyChild, ctx, q);
  Trace(std::string(CtxName(ctx)) +
        (foreign ? " DestroyChild via the other controller " : " DestroyChild ") + Label(&c) +
        " -> " + StatusText(st) + (faulted ? " (injected failure)" : ""));
  if (expectGone) {
    c.inDestroy = false;
  }
  if (!c.alive) {
    // A notification inside this call destroyed it first.
    return;
  }
  Expect(std::string(foreign ? "DestroyChild of another controller's child" : "DestroyChild") +
             " from " + CtxName(ctx) + Where(c),
         st, allowed, faulted);
  if (st != EFI_SUCCESS && !faulted) {
    for (TokenRec *rec : marked) {
      if (rec->token.Status == kSentinel) {
        rec->abortCause.clear();
      }
    }
  }
  if (Failed() || !c.alive) {
    return;
  }
  if (st == EFI_SUCCESS && expectGone) {
    if (DriverHas(c)) {
      if (!faulted) {
        Fail("DestroyChild returned EFI_SUCCESS but " + Label(&c) + " still has its protocol");
      }
      Resync(c);
      return;
    }
    ChildGone(c);
    return;
  }
  if (faulted) {
    Resync(c);
    return;
  }
  // Refused, or a destruction already under way: nothing may have changed.
  if (!DriverHas(c)) {
    Fail("DestroyChild returned " + StatusText(st) + " yet " + Label(&c) + " is gone");
  } else if (running != nullptr && running->token.Status != kSentinel && !nested) {
    Fail("a refused DestroyChild ended t" + std::to_string(running->id));
  }
}

void World::DoConfigure(Ctx ctx, Child &c, bool bad) {
  Zem4ConfigData config{};
  bool useDefault = c.ctl == 1 && rng_.Chance(60);
  if (c.frames > 0) {
    // A call on the stack decided by the current setting.
    useDefault = c.useDefault;
  }
  config.UseDefaultSetting = useDefault;
  if (!useDefault) {
    config.StationIp = EfiIp(kStations[c.ctl]);
    config.SubnetMask = {{255, 0, 0, 0}};
  }
  config.ServerIp = EfiIp(kServer);
  config.InitialServerPort = rng_.Chance(50) ? 0 : 5568;
  if (bad) {
    config.ServerIp = {{224, 0, 0, 1}};
  }
  const EFI_TPL tpl = Tpl();
  std::vector<std::string> q;
  if (InDestroy(c)) {
    q.push_back("InDestroy");
  }
  const bool busy = Busy(c);
  if (busy) {
    q.push_back("Busy");
  }
  std::set<EFI_STATUS> allowed;
  if (bad) {
    allowed = {EFI_INVALID_PARAMETER};
  } else if (busy) {
    allowed = {EFI_ACCESS_DENIED};
  } else {
    allowed = {EFI_SUCCESS};
  }
  if (tpl > TPL_CALLBACK) {
    allowed.insert(EFI_INVALID_PARAMETER);
  }
  const uint64_t injected = Injected();
  const EFI_STATUS st = c.proto->Configure(c.proto, &config);
  const bool faulted = Injected() != injected;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(bad ? Act::ConfigureBad : Act::ConfigureData, ctx, q);
  Trace(std::string(CtxName(ctx)) + " Configure " + Label(&c) +
        (bad          ? " bad"
         : useDefault ? " default-address"
                      : " static") +
        " -> " + StatusText(st));
  Expect(std::string("Configure with data from ") + CtxName(ctx) + Where(c), st, allowed, faulted);
  if (st == EFI_SUCCESS && !bad) {
    c.configured = true;
    c.useDefault = useDefault;
  }
  if (faulted) {
    Resync(c);
  } else if (st != EFI_SUCCESS && DriverHas(c) &&
             test::InstanceProbe(c.proto).Configured() != Configured(c)) {
    Fail("a refused Configure changed whether " + Label(&c) + " is configured");
  }
}

void World::DoConfigureNull(Ctx ctx, Child &c) {
  const EFI_TPL tpl = Tpl();
  std::vector<std::string> q;
  const bool inWait = InWait(c);
  if (inWait) {
    q.push_back("AddrWait");
  }
  if (InDestroy(c)) {
    q.push_back("InDestroy");
  }
  const bool transfer = Transferring(c);
  if (Running(c)) {
    q.push_back("Running");
    if (c.running->multicast) {
      q.push_back("Mcast");
    }
  }
  std::set<EFI_STATUS> allowed = {EFI_SUCCESS};
  if (tpl > TPL_CALLBACK) {
    // Ending a transfer calls UDP4, which is not allowed up here.
    allowed = transfer ? std::set<EFI_STATUS>{EFI_INVALID_PARAMETER}
                       : std::set<EFI_STATUS>{EFI_SUCCESS, EFI_INVALID_PARAMETER};
  }
  // Marked before the call: the token's notification may run inside it.
  std::vector<TokenRec *> marked;
  for (TokenRec *rec : {c.running, c.waiting}) {
    if (Abortable(c, rec)) {
      rec->abortCause = "Configure(NULL)";
      marked.push_back(rec);
    }
  }
  const bool wasConfigured = c.configured;
  c.configured = false;
  const uint64_t injected = Injected();
  const EFI_STATUS st = c.proto->Configure(c.proto, nullptr);
  const bool faulted = Injected() != injected;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(Act::ConfigureNull, ctx, q);
  Trace(std::string(CtxName(ctx)) + " Configure(NULL) " + Label(&c) + " -> " + StatusText(st));
  Expect(std::string("Configure(NULL) from ") + CtxName(ctx) + Where(c), st, allowed, faulted);
  if (st != EFI_SUCCESS && !faulted) {
    c.configured = wasConfigured;
    for (TokenRec *rec : marked) {
      if (rec->token.Status != kSentinel) {
        Fail("a refused Configure(NULL) ended t" + std::to_string(rec->id));
        return;
      }
      rec->abortCause.clear();
    }
  }
  if (faulted) {
    Resync(c);
  }
}

void World::DoDisconnect(Ctx ctx, int ctl) {
  if (!connected_[ctl] || stoppingCtl_[ctl]) {
    return;
  }
  std::vector<std::string> q;
  bool destroying = false;
  for (auto &c : children_) {
    if (c->alive && c->ctl == ctl) {
      if (Running(*c) && q.empty()) {
        q.push_back("Running");
      }
      destroying = destroying || InDestroy(*c);
      c->stopping = true;
      MarkAborted(*c, "Stop");
    }
  }
  stoppingCtl_[ctl] = true;
  const uint64_t injected = Injected();
  Trace(std::string(CtxName(ctx)) + " DisconnectController ctl" + std::to_string(ctl));
  const EFI_STATUS st = host_->Disconnect(controllers_[ctl]);
  const bool faulted = Injected() != injected;
  stoppingCtl_[ctl] = false;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(Act::Disconnect, ctx, q);
  Trace("  ctl" + std::to_string(ctl) + " stopped -> " + StatusText(st));
  // A destruction on the stack keeps its child until it returns.
  Expect(std::string("DisconnectController from ") + CtxName(ctx), st, {EFI_SUCCESS},
         faulted || destroying);
  const bool gone = host_->ServiceBinding(controllers_[ctl]) == nullptr;
  connected_[ctl] = !gone;
  for (auto &c : children_) {
    if (!c->alive || c->ctl != ctl) {
      continue;
    }
    c->stopping = false;
    if (!DriverHas(*c)) {
      ChildGone(*c);
    } else if (gone) {
      Fail(Label(c.get()) + " outlived its controller's stop");
    } else if (faulted || destroying) {
      Resync(*c);
    }
  }
}

void World::DoConnect(Ctx ctx, int ctl) {
  if (connected_[ctl]) {
    return;
  }
  const uint64_t injected = Injected();
  const EFI_STATUS st = host_->Connect(controllers_[ctl]);
  const bool faulted = Injected() != injected;
  Count(Act::Connect, ctx, Delivered());
  Trace(std::string(CtxName(ctx)) + " ConnectController ctl" + std::to_string(ctl) + " -> " +
        StatusText(st));
  Expect("ConnectController", st, {EFI_SUCCESS}, faulted);
  connected_[ctl] = host_->ServiceBinding(controllers_[ctl]) != nullptr;
}

void World::DoUnload(Ctx ctx) {
  std::vector<std::string> q;
  for (auto &c : children_) {
    if (c->alive) {
      if (Running(*c) && q.empty()) {
        q.push_back("Running");
      }
      c->stopping = true;
      MarkAborted(*c, "Unload");
    }
  }
  stoppingCtl_[0] = stoppingCtl_[1] = true;
  const uint64_t injected = Injected();
  Trace(std::string(CtxName(ctx)) + " Unload");
  const EFI_STATUS st = host_->Unload();
  const bool faulted = Injected() != injected;
  stoppingCtl_[0] = stoppingCtl_[1] = false;
  for (auto &d : Delivered()) {
    q.push_back(d);
  }
  Count(Act::Unload, ctx, q);
  Trace("  unloaded -> " + StatusText(st));
  Expect("Unload", st, {EFI_SUCCESS}, faulted);
  for (auto &c : children_) {
    if (!c->alive) {
      continue;
    }
    c->stopping = false;
    if (!DriverHas(*c)) {
      ChildGone(*c);
    } else if (st == EFI_SUCCESS) {
      Fail(Label(c.get()) + " outlived the driver's unload");
      return;
    } else if (faulted) {
      Resync(*c);
    }
  }
  if (st == EFI_SUCCESS) {
    loaded_ = false;
    connected_[0] = connected_[1] = false;
  } else {
    // An unload that failed half way may have stopped controllers already.
    for (int ctl = 0; ctl < 2; ctl++) {
      connected_[ctl] = host_->ServiceBinding(controllers_[ctl]) != nullptr;
    }
  }
}

void World::DoReload(Ctx ctx) {
  const EFI_STATUS st = host_->Load();
  Count(Act::Reload, ctx);
  Trace(std::string(CtxName(ctx)) + " load the driver again -> " + StatusText(st));
  Expect("loading the driver", st, {EFI_SUCCESS}, false);
  loaded_ = st == EFI_SUCCESS;
  if (loaded_) {
    DoConnect(ctx, 0);
    DoConnect(ctx, 1);
  }
}

void World::DoInject(Ctx ctx, bool twice) {
  Child *running = nullptr;
  for (auto &c : children_) {
    if (c->alive && Running(*c) && running == nullptr) {
      running = c.get();
    }
  }
  // A UDP4 reset refused while a transfer runs is the path most worth a
  // second failure in a row.
  const FaultCall &f = running != nullptr && rng_.Chance(25)
                           ? FaultCallNamed("Udp4.Configure")
                           : kFaultCalls[rng_.Below(sizeof(kFaultCalls) / sizeof(kFaultCalls[0]))];
  host::FaultInjector &faults = host_->Fw().Faults();
  const uint64_t nth = faults.Count(f.call) + 1;
  faults.FailNth(f.call, nth, f.status);
  armed_.push_back({f.call, nth});
  if (twice) {
    faults.FailNth(f.call, nth + 1, f.status);
    armed_.push_back({f.call, nth + 1});
  }
  // A group port whose reset is refused has its receive cancelled.
  if (running != nullptr && running->running->multicast &&
      std::string(f.call) == "Udp4.Configure" && rng_.Chance(50)) {
    faults.FailNext("Udp4.Cancel", EFI_DEVICE_ERROR);
    armed_.push_back({"Udp4.Cancel", faults.Count("Udp4.Cancel") + 1});
  }
  std::vector<std::string> q = {f.call};
  if (running != nullptr) {
    q.push_back("Running");
  }
  Count(twice ? Act::InjectFaultTwice : Act::InjectFault, ctx, q);
  Trace(std::string(CtxName(ctx)) + " fail " + f.call + (twice ? " twice" : " once") + " with " +
        StatusText(f.status));
  // Steer towards the path that makes the call.
  if (ctx == Ctx::App && rng_.Chance(60)) {
    Do(f.follow, ctx, f.follow == Act::ConfigureNull ? running : nullptr);
  }
}

} // namespace zem4::test::chaos
