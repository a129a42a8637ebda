// Every Boot Services and UDP4 call that the driver's life cycle makes fails
// once, in turn: whatever the step returns, once the firmware tears down what
// is left, nothing of the driver's may still be live.
#include "host/FaultInjector.h"
#include "tests/common/DriverHost.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kStation{127, 0, 3, 2};

// Load, connect, three children, destroy two, stop, unload.
void RunLifeCycle(DriverHost &host) {
  if (EFI_ERROR(host.Load())) {
    return;
  }
  EFI_HANDLE controller = host.AddController(kStation);
  host.Connect(controller);
  EFI_HANDLE children[3] = {};
  for (EFI_HANDLE &child : children) {
    if (EFI_ERROR(host.CreateChild(controller, &child))) {
      child = nullptr;
    }
  }
  for (EFI_HANDLE child : {children[1], children[0]}) {
    if (child != nullptr) {
      host.DestroyChild(controller, child);
    }
  }
  host.Disconnect(controller);
  host.Unload();
}

std::string Join(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &line : lines) {
    out += "  " + line + "\n";
  }
  return out;
}

TEST(LifecycleFaultSweep, EveryFailingCallLeavesNothingBehind) {
  std::vector<std::pair<std::string, uint64_t>> calls;
  {
    DriverHost baseline;
    RunLifeCycle(baseline);
    EXPECT_FALSE(baseline.Loaded()) << "the clean run unloads";
    for (const auto &[call, count] : baseline.Fw().Faults().Counts()) {
      calls.emplace_back(call, count);
    }
    auto leaks = baseline.TearDown();
    ASSERT_TRUE(leaks.empty()) << Join(leaks);
  }
  ASSERT_FALSE(calls.empty());

  size_t runs = 0;
  for (const auto &[call, count] : calls) {
    for (uint64_t n = 1; n <= count; n++) {
      DriverHost host;
      host.Fw().Faults().FailNth(call, n, EFI_DEVICE_ERROR);
      RunLifeCycle(host);
      auto leaks = host.TearDown();
      // Memory or an event that the firmware refuses to free stays live.
      if (call == "FreePool" || call == "CloseEvent") {
        continue;
      }
      EXPECT_TRUE(leaks.empty()) << call << " failing at occurrence " << n << ":\n" << Join(leaks);
      runs++;
    }
  }
  EXPECT_GT(runs, 20u);
}

} // namespace
} // namespace zem4::test
