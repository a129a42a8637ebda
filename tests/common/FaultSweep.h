// One download per failing call: every Boot Services and UDP4 call a
// transfer made when nothing failed is made to fail in turn, at each of its
// uses, and every run must end the same sound way whatever failed.
#pragma once

#include "host/FaultInjector.h"
#include "zem4/Zem4.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace zem4::test {

using CallCounts = std::map<std::string, uint64_t, std::less<>>;

// What one swept download ended with.
struct SweepOutcome {
  static constexpr EFI_STATUS kUnset = 0x7777;
  EFI_STATUS readFile = kUnset;
  int completions = 0;
  EFI_STATUS tokenStatus = kUnset;
  bool idle = false;
  bool fileComplete = false;
  CallCounts calls;
};

// Which status a failing call reports.
EFI_STATUS SweepFailureFor(const std::string &call);

// Calls that only fail in a firmware that refuses a valid release: what
// they would have released stays behind, so leaks are not counted then.
bool SweepIsRelease(const std::string &call);

// Arms `call` to fail at its nth use from now (n = 0: nothing fails).
void ArmSweepFault(host::FaultInjector &faults, const std::string &call, uint64_t nth);

// The calls made since `before` was taken, with how often.
CallCounts CallsSince(const host::FaultInjector &faults, const CallCounts &before);

// The clean run's calls that the sweep fails: those in `failable` and every
// call whose name starts with `prefix`.
CallCounts SweepPlan(const CallCounts &clean, const std::set<std::string> &failable,
                     const std::string &prefix);

// The run with nothing failing: ReadFile accepted, one completion with
// EFI_SUCCESS and the whole file (a fatal failure otherwise).
void ExpectCleanRun(const SweepOutcome &run);

// The token completes exactly once when ReadFile accepted the transfer and
// never when it refused it, a success is the whole file, the instance ends idle.
void ExpectSoundEnd(const std::string &call, const SweepOutcome &run);

// Runs `one(call, n)` for each use n of each planned call (Udp4.Poll, made
// without end by a polling caller, at most `pollLimit` times), each inside
// its trace; `restart(checkLeaks)` ends the run, checking leaks unless the
// failed call was a release, and starts a fresh one. Returns the run count.
size_t SweepEachCall(const CallCounts &plan, uint64_t pollLimit,
                     const std::function<void(const std::string &, uint64_t)> &one,
                     const std::function<void(bool checkLeaks)> &restart);

// A test fixture (with a `checkLeaks_` switch) that the sweep restarts
// between runs.
template <typename Fixture> class SweptFixture : public Fixture {
protected:
  // Ends a run, its leaks checked unless `checkLeaks` is false, and starts a
  // fresh one.
  void Restart(bool checkLeaks) {
    this->checkLeaks_ = checkLeaks;
    this->TearDown();
    this->checkLeaks_ = true;
    this->SetUp();
  }
  // SweepEachCall with this fixture's Restart between runs.
  size_t SweepEachCall(const CallCounts &plan, uint64_t pollLimit,
                       const std::function<void(const std::string &, uint64_t)> &one) {
    return zem4::test::SweepEachCall(plan, pollLimit, one,
                                     [this](bool checkLeaks) { Restart(checkLeaks); });
  }
};

} // namespace zem4::test
