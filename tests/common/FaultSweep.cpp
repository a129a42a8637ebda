#include "tests/common/FaultSweep.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace zem4::test {

EFI_STATUS SweepFailureFor(const std::string &call) {
  if (call == "AllocatePool" || call == "CreateEvent") {
    return EFI_OUT_OF_RESOURCES;
  }
  if (call == "SetTimer" || call == "CloseEvent" || call == "FreePool" || call == "SignalEvent" ||
      call == "CloseProtocol") {
    return EFI_INVALID_PARAMETER;
  }
  return EFI_DEVICE_ERROR;
}

bool SweepIsRelease(const std::string &call) {
  return call == "FreePool" || call == "CloseEvent" || call == "SignalEvent" ||
         call == "CloseProtocol" || call == "Udp4Sb.DestroyChild";
}

void ArmSweepFault(host::FaultInjector &faults, const std::string &call, uint64_t nth) {
  if (nth != 0) {
    faults.FailNth(call, faults.Count(call) + nth, SweepFailureFor(call));
  }
}

CallCounts CallsSince(const host::FaultInjector &faults, const CallCounts &before) {
  CallCounts calls;
  for (const auto &[name, count] : faults.Counts()) {
    auto it = before.find(name);
    uint64_t delta = count - (it == before.end() ? 0 : it->second);
    if (delta != 0) {
      calls[name] = delta;
    }
  }
  return calls;
}

CallCounts SweepPlan(const CallCounts &clean, const std::set<std::string> &failable,
                     const std::string &prefix) {
  CallCounts plan;
  for (const auto &[name, count] : clean) {
    if (failable.count(name) != 0 || name.rfind(prefix, 0) == 0) {
      plan[name] = count;
    }
  }
  return plan;
}

void ExpectCleanRun(const SweepOutcome &run) {
  ASSERT_EQ(run.readFile, EFI_SUCCESS);
  ASSERT_EQ(run.completions, 1);
  ASSERT_EQ(run.tokenStatus, EFI_SUCCESS);
  ASSERT_TRUE(run.fileComplete);
}

void ExpectSoundEnd(const std::string &call, const SweepOutcome &run) {
  if (EFI_ERROR(run.readFile)) {
    EXPECT_EQ(run.completions, 0);
    EXPECT_EQ(run.tokenStatus, SweepOutcome::kUnset);
  } else if (call == "SignalEvent") {
    // The refused signal may have been the token's own: the status is there
    // all the same.
    EXPECT_LE(run.completions, 1);
    EXPECT_NE(run.tokenStatus, SweepOutcome::kUnset);
  } else {
    EXPECT_EQ(run.completions, 1);
    EXPECT_NE(run.tokenStatus, SweepOutcome::kUnset);
    // A transfer that reports success delivered the whole file.
    if (run.tokenStatus == EFI_SUCCESS) {
      EXPECT_TRUE(run.fileComplete);
    }
  }
  EXPECT_TRUE(run.idle);
}

size_t SweepEachCall(const CallCounts &plan, uint64_t pollLimit,
                     const std::function<void(const std::string &, uint64_t)> &one,
                     const std::function<void(bool checkLeaks)> &restart) {
  size_t runs = 0;
  for (const auto &[call, count] : plan) {
    uint64_t limit = call == "Udp4.Poll" ? std::min(count, pollLimit) : count;
    for (uint64_t n = 1; n <= limit; n++) {
      // Leaks are checked by the restart, still inside this run's trace.
      SCOPED_TRACE(call + " #" + std::to_string(n));
      one(call, n);
      runs++;
      restart(!SweepIsRelease(call));
    }
  }
  return runs;
}

} // namespace zem4::test
