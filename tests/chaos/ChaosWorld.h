// One seed's world: the driver in a host firmware with two controllers, the
// server's engine, the caller's children and tokens, and the model of what
// each call must return.
#pragma once

#include "tests/chaos/Chaos.h"
#include "tests/common/DriverHost.h"
#include "tests/common/EngineServer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zem4::test::chaos {

using Bytes = std::vector<uint8_t>;

inline constexpr host::Ipv4 kServer{127, 0, 12, 1};
inline constexpr host::Ipv4 kStations[2] = {{127, 0, 12, 2}, {127, 0, 12, 3}};
inline constexpr host::Time100ns kMs = 10'000;
inline constexpr host::Time100ns kSecond = 10'000'000;
inline constexpr size_t kBlock = 1032;
// Token.Status before the driver writes it: not a status the driver uses.
inline constexpr EFI_STATUS kSentinel = 0x5A5A5A5A;
// The byte behind the file in a Buffer caller's buffer.
inline constexpr uint8_t kGuard = 0xEE;
// Call-outs nest no deeper than this.
inline constexpr int kMaxDepth = 3;

std::string StatusText(EFI_STATUS status);

// splitmix64: small, and the same sequence on every platform.
class Rng {
public:
  // The start is the seed mixed, not a multiple of the step: otherwise seed
  // n + 1 would replay seed n's program one draw later.
  explicit Rng(uint64_t seed) : state_(Mix(seed ^ 0xD1B54A32D192ED03ull)) {}
  uint64_t Next() { return Mix(state_ += 0x9E3779B97F4A7C15ull); }
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  bool Chance(unsigned percent) { return Below(100) < percent; }

private:
  static uint64_t Mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t state_;
};

enum class Caller : uint8_t { Buffer, Stream, BufferAndCheck };

struct Child;

struct TokenRec {
  int id = 0;
  Child *child = nullptr;
  bool blocking = false;
  Caller caller = Caller::Buffer;
  bool multicast = false;
  std::string file;
  const Bytes *expect = nullptr;
  std::string optNames[2] = {"tsize", "multicast"};
  std::string optValues[2] = {"0", "1"};
  Zem4Option options[2]{};
  Zem4OverrideData override{};
  Zem4Token token{};
  EFI_EVENT event = nullptr;
  Bytes buffer;
  Bytes streamed;
  size_t checked = 0;
  // The caller's own cancellations: -1 never.
  int cancelAtTimeout = -1;
  int failAtRun = -1;
  int timeouts = 0;
  int runs = 0;
  int nested = 0; // actions started from this token's call-outs
  // What happened to it.
  bool inCall = false;    // ReadFile is on the stack
  bool started = false;   // the transfer runs (ReadFile accepted it)
  bool refused = false;   // ReadFile returned an error: the token is the caller's again
  bool completed = false; // signalled, or a blocking ReadFile returned its status
  int signalled = 0;
  bool userCancelled = false;
  std::string abortCause;  // destroy, Configure(NULL), stop, unload
  bool abortMaybe = false; // started while a stop or destruction was under way
  uint64_t injectedAtStart = 0;
  host::Time100ns startedAt = 0;
  host::Time100ns endedAt = ~host::Time100ns(0);
  bool faulted = false;
};

struct Child {
  int id = 0;
  int frames = 0;        // ReadFile or GetInfo calls on the stack
  bool stopping = false; // its controller is being stopped or the driver unloaded
  int ctl = 0;
  EFI_HANDLE handle = nullptr;
  Zem4 *proto = nullptr;
  bool alive = true;
  bool configured = false;
  bool useDefault = false;
  bool inDestroy = false;      // a DestroyChild of it is on the stack
  bool foreignDestroy = false; // a DestroyChild of it through the wrong service binding is
  TokenRec *running = nullptr;
  TokenRec *waiting = nullptr; // a ReadFile on the stack that began without an address
};

class World;

// A caller's timer: at TPL_APPLICATION it is checked by the main loop, at
// TPL_CALLBACK or TPL_NOTIFY it runs as a notification.
struct Timer {
  Ctx ctx = Ctx::App;
  Act act = Act::GetStatus;
  Child *target = nullptr;
  EFI_EVENT event = nullptr;
  bool fired = false;
  // Due again at every tick until the target, its controller's last child,
  // has left the count while its destruction is on the stack.
  bool whenLastLeft = false;
};

// Serviced at every tick: a run past its virtual-time or real-time bound
// prints the seed with its trace and ends the process.
class Watchdog final : public host::Device {
public:
  explicit Watchdog(World &world);
  void Service(host::Time100ns now) override;
  std::optional<host::Time100ns> NextDeadline() const override { return std::nullopt; }

private:
  World &world_;
  std::chrono::steady_clock::time_point start_;
};

// A failure injected on the Nth occurrence of a call, not yet delivered.
struct Armed {
  std::string call;
  uint64_t nth = 0;
};

// The seed, its failure, its trace and how to run it again, on stderr.
void PrintFailure(const SeedResult &result);
void PrintAndExit(const SeedResult &result, int code);
// The notification of every event token.
VOID EFIAPI ChaosTokenNotify(EFI_EVENT event, VOID *context);
// The seed running now, for the sanitizer's death report.
void SetCurrentResult(const SeedResult *result);

class World {
public:
  World(uint64_t seed, const RunOptions &options, SeedResult &result);
  ~World();
  World(const World &) = delete;
  World &operator=(const World &) = delete;

  void Run();

  // Call-outs from the driver and the firmware.
  void OnTokenSignalled(TokenRec &rec);
  EFI_STATUS OnCheckPacket(TokenRec &rec, UINT32 length, const void *data);
  EFI_STATUS OnTimeout(TokenRec &rec);
  void OnTimer(Timer &timer);

  // Stops the run at the first broken rule.
  void Fail(const std::string &why);
  bool Failed() const { return !result_.failure.empty(); }

private:
  friend class Watchdog;
  void Setup();
  bool AllCompleted() const;
  void CheckViolations(const char *where);
  void TraceNet();
  void Finish();
  void Step();
  void Advance(host::Time100ns delta);
  void CheckState(const char *where);

  // One action in a context, with the oracle's expectations around it.
  void Do(Act act, Ctx ctx, Child *target);
  void RandomAction(Ctx ctx, Child *prefer);
  Act PickAction(Ctx ctx);
  Child *PickChild(Child *prefer);
  void Schedule(Ctx ctx, host::Time100ns delay, Act act, Child *target);

  void DoCreate(Ctx ctx, int ctl);
  void DoDestroy(Ctx ctx, Child &c, bool foreign);
  void DoConfigure(Ctx ctx, Child &c, bool bad);
  void DoConfigureNull(Ctx ctx, Child &c);
  void DoReadFile(Ctx ctx, Child &c, bool blocking);
  void DoGetInfo(Ctx ctx, Child &c);
  void DoPoll(Ctx ctx, Child &c);
  void DoGetStatus(Ctx ctx, Child &c);
  void DoGetModeData(Ctx ctx, Child &c);
  void DoDisconnect(Ctx ctx, int ctl);
  void DoConnect(Ctx ctx, int ctl);
  void DoUnload(Ctx ctx);
  void DoReload(Ctx ctx);
  void DoInject(Ctx ctx, bool twice);

  // Model helpers.
  bool DriverHas(const Child &c) const;
  bool InDestroy(const Child &c) const;
  bool Running(const Child &c) const;
  bool DriverIdle(const Child &c) const;
  bool Transferring(const Child &c) const;
  bool InWait(const Child &c) const;
  bool Busy(const Child &c) const;
  bool Abortable(const Child &c, const TokenRec *rec) const;
  bool Configured(const Child &c) const;
  bool NeedsAddress(const Child &c) const;
  void MarkAborted(Child &c, const std::string &cause);
  void ChildGone(Child &c);
  void Resync(Child &c);
  void CheckFinal(TokenRec &rec, EFI_STATUS status, const char *how);
  bool SharesGroupPort(const TokenRec &rec) const;
  std::string Holds(const TokenRec &rec) const;
  static bool Widened(EFI_STATUS status);
  void Expect(const std::string &what, EFI_STATUS got, const std::set<EFI_STATUS> &allowed,
              bool faulted);
  void Count(Act act, Ctx ctx, const std::vector<std::string> &qualifiers = {});
  std::vector<std::string> Delivered();
  std::string Label(const Child *c) const;
  std::string Where(const Child &c) const;
  void Trace(const std::string &line);
  uint64_t Injected();
  EFI_TPL Tpl();
  int LiveChildren(int ctl) const;
  size_t HarnessEvents() const;

  uint64_t seed_;
  RunOptions options_;
  SeedResult &result_;
  Rng rng_;
  std::unique_ptr<DriverHost> host_;
  std::unique_ptr<EngineServer> server_;
  std::vector<std::pair<std::string, Bytes>> files_;
  EFI_HANDLE controllers_[2] = {};
  host::Time100ns mappedAt_[2] = {};
  bool connected_[2] = {};
  bool stoppingCtl_[2] = {};
  bool loaded_ = false;
  std::vector<std::unique_ptr<Child>> children_;
  std::vector<std::unique_ptr<TokenRec>> tokens_;
  std::vector<std::unique_ptr<Timer>> timers_;
  std::unique_ptr<Watchdog> watchdog_;
  EFI_EVENT alarm_ = nullptr; // the end of the main loop's current advance
  std::vector<Armed> armed_;
  int depth_ = 0;
  size_t baselineEvents_ = 0;
  bool ending_ = false;
};

} // namespace zem4::test::chaos
