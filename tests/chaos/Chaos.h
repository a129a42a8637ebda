// The seeded re-entrant caller: one seed drives a random program of calls on
// the driver, made the way boot managers make them (from token and timer
// notifications, from CheckPacket and TimeoutCallback, while a ReadFile waits
// for an address, at raised TPL, while controllers stop), against the
// server's engine on the simulated network, in virtual time. After every step
// an oracle checks what each call returned and how each token ended.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zem4::test::chaos {

// Where a call is made from.
enum class Ctx : uint8_t {
  App,             // the main loop: a timer at TPL_APPLICATION
  TimerCallback,   // a timer notification at TPL_CALLBACK
  TimerNotify,     // a timer notification at TPL_NOTIFY, above what UDP4 allows
  TokenNotify,     // the notification of a finished token's event
  CheckPacket,     // inside the driver's call to the caller's CheckPacket
  TimeoutCallback, // inside the driver's call to the caller's TimeoutCallback
};

enum class Act : uint8_t {
  CreateChild,
  DestroyChild,
  DestroyForeign, // DestroyChild through the other controller's service binding
  ConfigureData,
  ConfigureBad, // data that every check refuses
  ConfigureNull,
  ReadFileEvent,
  ReadFileBlocking,
  GetInfo,
  Poll,
  GetStatus,
  GetModeData,
  Disconnect,
  Connect,
  Unload,
  Reload,
  InjectFault,
  InjectFaultTwice,
};

const char *CtxName(Ctx ctx);
const char *ActName(Act act);
// Parses a comma-separated list of action names; false on an unknown name.
bool ParseActs(const std::string &text, std::set<Act> &out);

// What the seed's run found. `failure` is empty when every check held.
struct SeedResult {
  uint64_t seed = 0;
  std::string failure;
  std::vector<std::string> trace;
  // (action, calling context[, what made it special]) pairs reached.
  std::map<std::string, uint64_t> pairs;
  uint64_t actions = 0;
  uint64_t tokens = 0;
  uint64_t successes = 0; // tokens that ended with EFI_SUCCESS and the exact file
  uint64_t virtualMs = 0;
};

// Deliberate harness faults, so that a test can show the oracle is not blind.
enum class Sabotage : uint8_t {
  None,
  WrongFile,    // the caller expects a file that differs from the server's in one byte
  ForgetAborts, // the model forgets that a destroy or Configure(NULL) aborts a transfer
};

struct RunOptions {
  Sabotage sabotage = Sabotage::None;
  // Actions left out of the program (to look past a fault that stops seeds
  // early); a seed then runs a different program.
  std::set<Act> without;
  // A failing seed adds the datagrams on the wire to its trace.
  bool captureNet = false;
  // Bounds that turn a hang into a failure that names the seed.
  uint64_t virtualLimitSeconds = 3600;
  uint64_t realLimitSeconds = 60;
};

SeedResult RunSeed(uint64_t seed, const RunOptions &options = {});

// The pairs behind the driver faults that the harness exists to reach; the
// CI range must reach each of them at least once.
const std::vector<std::string> &RequiredPairs();

// Parses "FIRST:LAST" (or a single seed); false when malformed.
bool ParseSeedRange(const std::string &text, uint64_t &first, uint64_t &last);

} // namespace zem4::test::chaos
