// The driver's life cycle with every firmware call it makes failing once, in
// turn, and each step's return value held to what it did: a step that
// succeeds did its work, one that fails changed nothing it reports on, and
// after every step the children that carry Zem4 are exactly the ones the
// service binding counts. Once the firmware tears down what is left, nothing
// of the driver's is live.
#include "tests/failpaths/FailPaths.h"

#include "driver/Zem4Driver.h"

#include <set>
#include <utility>

namespace zem4::test::failpaths {
namespace {

constexpr host::Ipv4 kSweepStation{127, 0, 5, 3};

class Checked {
public:
  explicit Checked(DriverHost &host) : host_(host) {}

  // Load, connect, three children, destroy two, stop, unload. Only the
  // firmware's own look-ups (no Boot Services call) check the state, so
  // the checks do not move the count of any call.
  void Run() {
    EFI_STATUS status = host_.Load();
    if (!Step("Load", status, host_.Loaded())) {
      return;
    }
    controller_ = host_.AddController(kSweepStation);
    status = host_.Connect(controller_);
    if (!Step("Connect", status, Sb() != nullptr)) {
      ExpectCounted("Connect");
      // A stop after a failed start finds nothing of the driver's to undo.
      status = host_.Disconnect(controller_);
      Step("Disconnect", status, Sb() == nullptr);
      Unload();
      return;
    }
    ExpectCounted("Connect");
    EFI_HANDLE children[3] = {};
    for (EFI_HANDLE &child : children) {
      const UINTN before = Children();
      status = Sb()->CreateChild(Sb(), &child);
      if (Step("CreateChild", status, HasZem4(child))) {
        EXPECT_EQ(Children(), before + 1) << trace_;
        made_.insert(child);
      } else {
        EXPECT_EQ(Children(), before) << trace_;
        child = nullptr;
      }
      ExpectCounted("CreateChild");
    }
    for (EFI_HANDLE child : {children[1], children[0]}) {
      if (child == nullptr) {
        continue;
      }
      const UINTN before = Children();
      status = Sb()->DestroyChild(Sb(), child);
      if (Step("DestroyChild", status, !HasZem4(child))) {
        EXPECT_EQ(Children(), before - 1) << trace_;
      }
      ExpectCounted("DestroyChild");
    }
    // The host's disconnection finds the handles to stop with Boot Services
    // calls of its own, which may be the ones that fail: what it returns says
    // little, so only the state is held to account.
    status = host_.Disconnect(controller_);
    Step("Disconnect", status, true);
    if (Sb() == nullptr) {
      for (EFI_HANDLE child : made_) {
        EXPECT_FALSE(HasZem4(child)) << "a child outlived its service binding: " << trace_;
      }
    } else {
      ExpectCounted("Disconnect");
    }
    Unload();
  }

  const std::string &Trace() const { return trace_; }

private:
  void Unload() {
    EFI_STATUS status = host_.Unload();
    Step("Unload", status, !host_.Loaded());
  }
  // Records the step; a success must show its effect. True on success.
  bool Step(const char *name, EFI_STATUS status, bool effect) {
    trace_ += std::string(name) + "=" + Hex(status) + " ";
    if (!EFI_ERROR(status)) {
      EXPECT_TRUE(effect) << name << " succeeded without doing its work: " << trace_;
    }
    return !EFI_ERROR(status);
  }
  EFI_SERVICE_BINDING_PROTOCOL *Sb() const {
    return host_.Loaded() ? host_.ServiceBinding(controller_) : nullptr;
  }
  UINTN Children() const { return ZEM4_SERVICE_BINDING_FROM_THIS(Sb())->ChildrenNum; }
  bool HasZem4(EFI_HANDLE child) const {
    return child != nullptr && host_.Fw().IsHandle(child) &&
           host_.Fw().GetProtocol(child, gZem4ProtocolGuid) != nullptr;
  }
  // The service binding counts exactly the children that carry Zem4.
  void ExpectCounted(const char *after) {
    if (Sb() == nullptr) {
      return;
    }
    UINTN carrying = 0;
    for (EFI_HANDLE child : made_) {
      carrying += HasZem4(child) ? 1 : 0;
    }
    EXPECT_EQ(Children(), carrying) << "after " << after << ": " << trace_;
  }

  DriverHost &host_;
  EFI_HANDLE controller_ = nullptr;
  std::set<EFI_HANDLE> made_;
  std::string trace_;
};

TEST(LifecycleSweep, EveryFailingCallIsReportedTruthfullyAndLeavesNothing) {
  std::vector<std::pair<std::string, uint64_t>> calls;
  {
    DriverHost baseline;
    Checked run(baseline);
    run.Run();
    ASSERT_FALSE(baseline.Loaded()) << "the clean run unloads: " << run.Trace();
    for (const auto &[call, count] : baseline.Fw().Faults().Counts()) {
      calls.emplace_back(call, count);
    }
    auto leaks = baseline.TearDown();
    ASSERT_TRUE(leaks.empty());
  }
  ASSERT_FALSE(calls.empty());

  size_t runs = 0;
  for (const auto &[call, count] : calls) {
    for (uint64_t n = 1; n <= count; n++) {
      SCOPED_TRACE(call + " failing at occurrence " + std::to_string(n));
      DriverHost host;
      host.Fw().Faults().FailNth(call, n, EFI_DEVICE_ERROR);
      Checked run(host);
      run.Run();
      auto leaks = host.TearDown();
      // Memory or an event that the firmware refuses to free stays live.
      if (call == "FreePool" || call == "CloseEvent") {
        continue;
      }
      runs++;
      for (const std::string &leak : leaks) {
        ADD_FAILURE() << "leak: " << leak << " (" << run.Trace() << ")";
      }
    }
  }
  EXPECT_GT(runs, 20u) << "runs whose leaks were checked";
}

} // namespace
} // namespace zem4::test::failpaths
