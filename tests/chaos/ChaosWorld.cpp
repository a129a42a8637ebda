// The seed's world: set-up, the main loop, the checks that run after every
// step and at the end, and the watchdogs.
#include "tests/chaos/ChaosWorld.h"

#include "driver/Zem4Driver.h"
#include "host/EventCore.h"
#include "host/FaultInjector.h"

#include <chrono>
#include <cstdio>

namespace zem4::test::chaos {

World *gWorld = nullptr;

VOID EFIAPI ChaosTokenNotify(EFI_EVENT, VOID *context) {
  gWorld->OnTokenSignalled(*static_cast<TokenRec *>(context));
}

namespace {

VOID EFIAPI TimerNotifyFn(EFI_EVENT, VOID *context) {
  gWorld->OnTimer(*static_cast<Timer *>(context));
}

// Sizes on the block and window edges, kept small for a sanitizer build.
constexpr struct {
  const char *name;
  size_t size;
} kFiles[] = {
    {"empty.bin", 0},
    {"one.bin", 1},
    {"block.bin", kBlock},
    {"block1.bin", kBlock + 1},
    {"small.bin", 5000},
    {"mid.bin", 40 * kBlock + 17},
    {"window.bin", 130 * kBlock + 5},
};

constexpr host::Time100ns kMappingDelays[] = {0,           15 * kSecond / 10, 4 * kSecond,
                                              8 * kSecond, 20 * kSecond,      60 * kSecond};

} // namespace

// Names for traces and pair keys.
const char *CtxName(Ctx ctx) {
  switch (ctx) {
  case Ctx::App:
    return "App";
  case Ctx::TimerCallback:
    return "TimerCallback";
  case Ctx::TimerNotify:
    return "TimerNotify";
  case Ctx::TokenNotify:
    return "TokenNotify";
  case Ctx::CheckPacket:
    return "CheckPacket";
  case Ctx::TimeoutCallback:
    return "TimeoutCallback";
  }
  return "?";
}

const char *ActName(Act act) {
  switch (act) {
  case Act::CreateChild:
    return "CreateChild";
  case Act::DestroyChild:
    return "DestroyChild";
  case Act::DestroyForeign:
    return "DestroyForeign";
  case Act::ConfigureData:
    return "ConfigureData";
  case Act::ConfigureBad:
    return "ConfigureBad";
  case Act::ConfigureNull:
    return "ConfigureNull";
  case Act::ReadFileEvent:
    return "ReadFileEvent";
  case Act::ReadFileBlocking:
    return "ReadFileBlocking";
  case Act::GetInfo:
    return "GetInfo";
  case Act::Poll:
    return "Poll";
  case Act::GetStatus:
    return "GetStatus";
  case Act::GetModeData:
    return "GetModeData";
  case Act::Disconnect:
    return "Disconnect";
  case Act::Connect:
    return "Connect";
  case Act::Unload:
    return "Unload";
  case Act::Reload:
    return "Reload";
  case Act::InjectFault:
    return "InjectFault";
  case Act::InjectFaultTwice:
    return "InjectFaultTwice";
  }
  return "?";
}

std::string StatusText(EFI_STATUS status) {
  static const char *const kNames[] = {
      "EFI_SUCCESS",         "EFI_LOAD_ERROR",       "EFI_INVALID_PARAMETER", "EFI_UNSUPPORTED",
      "EFI_BAD_BUFFER_SIZE", "EFI_BUFFER_TOO_SMALL", "EFI_NOT_READY",         "EFI_DEVICE_ERROR",
      "EFI_WRITE_PROTECTED", "EFI_OUT_OF_RESOURCES", "EFI_VOLUME_CORRUPTED",  "EFI_VOLUME_FULL",
      "EFI_NO_MEDIA",        "EFI_MEDIA_CHANGED",    "EFI_NOT_FOUND",         "EFI_ACCESS_DENIED",
      "EFI_NO_RESPONSE",     "EFI_NO_MAPPING",       "EFI_TIMEOUT",           "EFI_NOT_STARTED",
      "EFI_ALREADY_STARTED", "EFI_ABORTED",          "EFI_ICMP_ERROR",        "EFI_TFTP_ERROR",
      "EFI_PROTOCOL_ERROR"};
  if (status == kSentinel) {
    return "(unwritten)";
  }
  const EFI_STATUS code = status & ~EFIERR(0);
  if ((status == EFI_SUCCESS || EFI_ERROR(status)) && code < sizeof(kNames) / sizeof(kNames[0])) {
    return kNames[code];
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%#llx", static_cast<unsigned long long>(status));
  return text;
}

bool ParseActs(const std::string &text, std::set<Act> &out) {
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma - start);
    bool found = false;
    for (int a = 0; a <= static_cast<int>(Act::InjectFaultTwice); a++) {
      if (name == ActName(static_cast<Act>(a))) {
        out.insert(static_cast<Act>(a));
        found = true;
      }
    }
    if (!found) {
      return false;
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  return true;
}

World::World(uint64_t seed, const RunOptions &options, SeedResult &result)
    : seed_(seed), options_(options), result_(result), rng_(seed) {
  gWorld = this;
  result_.seed = seed;
}

World::~World() {
  // A run cut short by a failure still closes what it opened.
  if (host_) {
    for (auto &t : timers_) {
      if (t->event != nullptr && host_->Fw().IsEvent(t->event)) {
        host_->Fw().CloseEvent(t->event);
      }
    }
    for (auto &rec : tokens_) {
      if (rec->event != nullptr && host_->Fw().IsEvent(rec->event)) {
        host_->Fw().CloseEvent(rec->event);
      }
    }
  }
  server_.reset();
  host_.reset();
  gWorld = nullptr;
}

void World::Setup() {
  host_ = std::make_unique<DriverHost>(seed_);
  host::FaultProfile lan;
  lan.delay = 2 * kMs / 10;
  if (rng_.Chance(30)) {
    lan.loss = 0.02;
    lan.duplicate = 0.01;
    lan.reorder = 0.02;
  }
  // A slow path keeps transfers running across their timer periods, where
  // TimeoutCallback is asked.
  if (rng_.Chance(30)) {
    lan.delay = 40 * kMs;
    lan.jitter = 10 * kMs;
  }
  host_->Net().SetDefaultProfile(lan);
  host_->Net().SetCaptureEnabled(options_.captureNet);
  server_ = std::make_unique<EngineServer>(host_->Fw(), host_->Net(), kServer);
  for (size_t i = 0; i < sizeof(kFiles) / sizeof(kFiles[0]); i++) {
    files_.emplace_back(kFiles[i].name, MakeFile(kFiles[i].size, static_cast<uint32_t>(i + 1)));
    server_->Files().Add(kFiles[i].name, files_.back().second);
    if (options_.sabotage == Sabotage::WrongFile && !files_.back().second.empty()) {
      files_.back().second.back() ^= 0x01;
    }
  }
  watchdog_ = std::make_unique<Watchdog>(*this);
  host_->Fw().AddDevice(*watchdog_);

  loaded_ = host_->Load() == EFI_SUCCESS;
  if (!loaded_) {
    Fail("the driver does not load");
    return;
  }
  // The second controller obtains its default address only after a while.
  const host::Time100ns delay =
      kMappingDelays[rng_.Below(sizeof(kMappingDelays) / sizeof(kMappingDelays[0]))];
  for (int ctl = 0; ctl < 2; ctl++) {
    const host::Time100ns d = ctl == 0 ? 0 : delay;
    controllers_[ctl] = host_->AddController(kStations[ctl], d);
    mappedAt_[ctl] = host_->Fw().Now() + d;
    connected_[ctl] = host_->Connect(controllers_[ctl]) == EFI_SUCCESS;
    if (!connected_[ctl]) {
      Fail("a controller does not start");
      return;
    }
  }
  Trace("controller 1 maps its address at " + std::to_string(mappedAt_[1] / kMs) + " ms");
  baselineEvents_ = host_->Fw().Live().events;
}

void World::Run() {
  Setup();
  const int steps = 12 + static_cast<int>(rng_.Below(36));
  for (int i = 0; i < steps && !Failed(); i++) {
    Step();
    if (!Failed()) {
      CheckState("after a step");
    }
  }
  if (!Failed()) {
    Finish();
  }
  if (Failed() && options_.captureNet && host_) {
    TraceNet();
  }
  result_.virtualMs = host_ ? host_->Fw().Now() / kMs : 0;
}

// The datagrams of the run, one line each; runs of DATA8 between two other
// datagrams are counted, not listed.
void World::TraceNet() {
  result_.trace.push_back("datagrams (DATA8 counted between the others):");
  size_t data = 0;
  auto flush = [&] {
    if (data != 0) {
      result_.trace.push_back("    ... " + std::to_string(data) + " DATA8");
      data = 0;
    }
  };
  for (const host::CaptureRecord &r : host_->Net().Capture()) {
    const host::Datagram &d = r.datagram;
    const unsigned op = d.payload.size() >= 2 ? d.payload[1] : 0;
    if (op == 8) {
      data++;
      continue;
    }
    flush();
    char line[160];
    std::snprintf(line, sizeof(line), "  %9.3f s %s:%u > %s:%u op%u len %zu%s",
                  static_cast<double>(r.time) / kSecond, d.src.ToString().c_str(), d.srcPort,
                  d.dst.ToString().c_str(), d.dstPort, op, d.payload.size(),
                  r.dropped ? " DROPPED" : "");
    result_.trace.push_back(line);
  }
  flush();
}

void World::Step() {
  const uint64_t roll = rng_.Below(100);
  if (roll < 40 || !loaded_) {
    RandomAction(Ctx::App, nullptr);
  } else if (roll < 68) {
    const uint64_t kind = rng_.Below(100);
    const Ctx ctx = kind < 55 ? Ctx::TimerCallback : kind < 80 ? Ctx::TimerNotify : Ctx::App;
    Schedule(ctx, rng_.Below(3000) * kMs, PickAction(ctx), PickChild(nullptr));
  } else {
    Advance(rng_.Below(4000) * kMs);
  }
}

void World::Schedule(Ctx ctx, host::Time100ns delay, Act act, Child *target) {
  auto timer = std::make_unique<Timer>();
  timer->ctx = ctx;
  timer->act = act;
  timer->target = target;
  host::Firmware &fw = host_->Fw();
  EFI_STATUS st;
  if (ctx == Ctx::App) {
    st = fw.CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &timer->event);
  } else {
    st = fw.CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL,
                        ctx == Ctx::TimerNotify ? TPL_NOTIFY : TPL_CALLBACK, TimerNotifyFn,
                        timer.get(), &timer->event);
  }
  if (EFI_ERROR(st)) {
    Fail("the harness cannot create a timer");
    return;
  }
  fw.Events().SetTimer(timer->event, TimerRelative, delay);
  Trace(std::string("schedule ") + ActName(act) + " from " + CtxName(ctx) + " in " +
        std::to_string(delay / kMs) + " ms" + (target ? " on c" + std::to_string(target->id) : ""));
  timers_.push_back(std::move(timer));
}

void World::OnTimer(Timer &timer) {
  if (timer.whenLastLeft && !timer.fired) {
    Child &last = *timer.target;
    EFI_SERVICE_BINDING_PROTOCOL *sb =
        loaded_ ? host_->ServiceBinding(controllers_[last.ctl]) : nullptr;
    if (sb == nullptr || !last.alive || !InDestroy(last)) {
      timer.fired = true; // its destruction is over: nothing to do
    } else if (ZEM4_SERVICE_BINDING_FROM_THIS(sb)->ChildrenNum != 0) {
      host_->Fw().Events().SetTimer(timer.event, TimerRelative, 0);
      return;
    }
  }
  if (timer.fired) {
    return;
  }
  timer.fired = true;
  if (ending_ || Failed()) {
    return;
  }
  Child *target = timer.target != nullptr && timer.target->alive ? timer.target : nullptr;
  Do(timer.act, timer.ctx, target);
}

// Runs virtual time forward; timers at TPL_APPLICATION run here, between ticks.
void World::Advance(host::Time100ns delta) {
  host::Firmware &fw = host_->Fw();
  EFI_EVENT &alarm = alarm_;
  fw.CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &alarm);
  fw.Events().SetTimer(alarm, TimerRelative, delta);
  Trace("advance " + std::to_string(delta / kMs) + " ms");
  bool alarmed = false;
  while (!alarmed && !Failed()) {
    Timer *due = nullptr;
    auto ready = [&] {
      if (fw.Events().Check(alarm) == EFI_SUCCESS) {
        alarmed = true;
      }
      for (auto &t : timers_) {
        if (t->ctx == Ctx::App && !t->fired && due == nullptr &&
            fw.Events().Check(t->event) == EFI_SUCCESS) {
          due = t.get();
        }
      }
      return alarmed || due != nullptr || Failed();
    };
    const bool ok = host_->RunUntil(ready, delta + kSecond);
    if (due != nullptr) {
      OnTimer(*due);
      if (!Failed()) {
        CheckState("after a timer at TPL_APPLICATION");
      }
    } else if (!ok) {
      break;
    }
  }
  fw.CloseEvent(alarm);
  alarm = nullptr;
}

bool World::AllCompleted() const {
  for (const auto &rec : tokens_) {
    if (rec->started && !rec->refused && !rec->completed) {
      return false;
    }
  }
  return true;
}

void World::Finish() {
  ending_ = true;
  host::Firmware &fw = host_->Fw();
  for (auto &t : timers_) {
    if (fw.IsEvent(t->event)) {
      fw.CloseEvent(t->event);
    }
    t->event = nullptr;
    t->fired = true;
  }
  fw.Faults().Clear();
  armed_.clear();
  // Running transfers end by themselves: by the file, or by their retry limits.
  Trace("quiet: let running transfers end");
  host_->RunUntil([&] { return AllCompleted() || Failed(); }, 1000 * kSecond);
  if (Failed()) {
    return;
  }
  for (const auto &rec : tokens_) {
    if (rec->started && !rec->refused && !rec->completed) {
      Fail("token t" + std::to_string(rec->id) + " still running after 1000 s of quiet");
      return;
    }
  }
  CheckState("at the end");
  for (auto &c : children_) {
    if (c->alive && !Failed()) {
      Do(Act::DestroyChild, Ctx::App, c.get());
    }
  }
  host_->RunUntil([&] { return AllCompleted() || Failed(); }, 10 * kSecond);
  if (Failed()) {
    return;
  }
  // With no child left the driver holds no event; ours are the token events.
  const size_t ours = HarnessEvents();
  if (loaded_ && connected_[0] && connected_[1] && fw.Live().events != baselineEvents_ + ours) {
    Fail("events live with no child left: " + std::to_string(fw.Live().events) + ", expected " +
         std::to_string(baselineEvents_ + ours));
    return;
  }
  for (auto &rec : tokens_) {
    if (rec->event != nullptr && fw.IsEvent(rec->event)) {
      fw.CloseEvent(rec->event);
    }
    rec->event = nullptr;
  }
  server_.reset();
  host_->Fw().RemoveDevice(*watchdog_);
  std::vector<std::string> leaks = host_->TearDown();
  if (!leaks.empty()) {
    std::string text = "still live after the teardown:";
    for (const auto &line : leaks) {
      text += "\n    " + line;
    }
    Fail(text);
    return;
  }
  CheckViolations("at the teardown");
}

void World::CheckViolations(const char *where) {
  const auto bugs = host_->Fw().Violations();
  if (!bugs.empty()) {
    std::string text = std::string("firmware rule broken (") + where + "):";
    for (const auto &line : bugs) {
      text += "\n    " + line;
    }
    Fail(text);
  }
}

int World::LiveChildren(int ctl) const {
  int n = 0;
  for (const auto &c : children_) {
    n += c->alive && c->ctl == ctl;
  }
  return n;
}

// Checked only at TPL_APPLICATION between steps, where no call is half done.
void World::CheckState(const char *where) {
  CheckViolations(where);
  if (Failed()) {
    return;
  }
  for (int ctl = 0; ctl < 2; ctl++) {
    EFI_SERVICE_BINDING_PROTOCOL *sb = loaded_ ? host_->ServiceBinding(controllers_[ctl]) : nullptr;
    if (!loaded_ || !connected_[ctl]) {
      if (sb != nullptr) {
        Fail("controller " + std::to_string(ctl) + " still carries the service binding " + where);
      }
      continue;
    }
    if (sb == nullptr) {
      Fail("controller " + std::to_string(ctl) + " lost its service binding " + where);
      return;
    }
    const Zem4ServiceBinding *rec = ZEM4_SERVICE_BINDING_FROM_THIS(sb);
    int listed = 0;
    for (const LIST_ENTRY *e = rec->Children.ForwardLink; e != &rec->Children && listed < 1000;
         e = e->ForwardLink) {
      listed++;
    }
    const int live = LiveChildren(ctl);
    if (rec->ChildrenNum != live || listed != live) {
      Fail("controller " + std::to_string(ctl) + ": ChildrenNum " +
           std::to_string(rec->ChildrenNum) + ", " + std::to_string(listed) + " listed, but " +
           std::to_string(live) + " children exist " + where);
      return;
    }
  }
  bool quiet = true;
  for (auto &c : children_) {
    if (c->alive && !DriverHas(*c)) {
      Fail("child c" + std::to_string(c->id) + " lost its Zem4 protocol " + where);
      return;
    }
    quiet = quiet && !(c->alive && (Running(*c) || c->frames > 0));
  }
  // With no transfer running, every datagram handed to the driver is back.
  for (int ctl = 0; ctl < 2 && quiet; ctl++) {
    const size_t held = host_->Controller(static_cast<size_t>(ctl)).Unrecycled();
    if (held != 0) {
      Fail("controller " + std::to_string(ctl) + ": " + std::to_string(held) +
           " datagrams not recycled with no transfer running " + where);
      return;
    }
  }
  // With no child at all on two started controllers the driver holds no
  // event of its own: what is live is the firmware's and ours.
  if (quiet && loaded_ && connected_[0] && connected_[1] && LiveChildren(0) == 0 &&
      LiveChildren(1) == 0) {
    const size_t ours = HarnessEvents();
    const size_t live = host_->Fw().Live().events;
    if (live != baselineEvents_ + ours) {
      Fail("events live with no child left: " + std::to_string(live) + ", expected " +
           std::to_string(baselineEvents_ + ours) + " " + where);
    }
  }
}

size_t World::HarnessEvents() const {
  size_t n = 0;
  for (const auto &rec : tokens_) {
    n += rec->event != nullptr && host_->Fw().IsEvent(rec->event);
  }
  for (const auto &t : timers_) {
    n += t->event != nullptr && host_->Fw().IsEvent(t->event);
  }
  n += alarm_ != nullptr && host_->Fw().IsEvent(alarm_);
  return n;
}

// ---------------------------------------------------------------------------
// Watchdogs: a seed that runs past its bounds fails with its trace.
// ---------------------------------------------------------------------------

Watchdog::Watchdog(World &world) : world_(world), start_(std::chrono::steady_clock::now()) {}

void Watchdog::Service(host::Time100ns now) {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  const bool virtualOver = now > world_.options_.virtualLimitSeconds * kSecond;
  const bool realOver = elapsed > std::chrono::seconds(world_.options_.realLimitSeconds);
  if (virtualOver || realOver) {
    world_.Fail(virtualOver ? "hang: past the virtual-time bound"
                            : "hang: past the real-time bound");
    PrintAndExit(world_.result_, 3);
  }
}

void PrintFailure(const SeedResult &result) {
  std::fprintf(stderr, "chaos seed %llu FAILED: %s\n", static_cast<unsigned long long>(result.seed),
               result.failure.c_str());
  for (const auto &line : result.trace) {
    std::fprintf(stderr, "  %s\n", line.c_str());
  }
  std::fprintf(stderr, "reproduce with: test_chaos --seeds %llu\n",
               static_cast<unsigned long long>(result.seed));
}

void PrintAndExit(const SeedResult &result, int code) {
  PrintFailure(result);
  std::fflush(stderr);
  std::_Exit(code);
}

SeedResult RunSeed(uint64_t seed, const RunOptions &options) {
  SeedResult result;
  {
    World world(seed, options, result);
    SetCurrentResult(&result);
    world.Run();
  }
  SetCurrentResult(nullptr);
  return result;
}

} // namespace zem4::test::chaos
