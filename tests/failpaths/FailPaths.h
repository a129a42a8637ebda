// Failure paths that print: each case injects firmware failures, then checks
// the status the driver returns (or completes the token with) and the exact
// diagnostic lines it writes, in order and each once.
#pragma once

#include "host/FaultInjector.h"
#include "tests/common/DriverFixture.h"
#include "tests/common/DriverHost.h"
#include "zem4/Zem4.h"

#include "support/Globals.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace zem4::test::failpaths {

// The Nth occurrence of `call`, counted from when the case arms it.
struct Fault {
  std::string call;
  uint64_t nth = 1;
  EFI_STATUS status = EFI_DEVICE_ERROR;
};

struct FailCase {
  std::string name;
  std::vector<Fault> faults;
  EFI_STATUS expected = EFI_SUCCESS;
  std::vector<std::string> lines;
  int variant = 0; // what the area's test does before and around the failure
};

inline void PrintTo(const FailCase &c, std::ostream *os) {
  *os << c.name;
}

inline std::string CaseName(const ::testing::TestParamInfo<FailCase> &info) {
  return info.param.name;
}

inline std::string Hex(EFI_STATUS status) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(status));
  return text;
}

inline void Arm(host::FaultInjector &faults, const std::vector<Fault> &list) {
  for (const Fault &f : list) {
    faults.FailNth(f.call, faults.Count(f.call) + f.nth, f.status);
  }
}

// Each expected line appears exactly once among `logs[from..]`, in the
// order given.
inline void ExpectLines(const std::vector<std::string> &logs, const std::vector<std::string> &lines,
                        size_t from = 0) {
  if (lines.empty()) {
    EXPECT_EQ(logs.size(), from) << "a path without a message wrote: " << logs.back();
    return;
  }
  size_t last = from;
  bool ordered = true;
  for (const std::string &line : lines) {
    size_t count = 0, at = logs.size();
    for (size_t i = from; i < logs.size(); i++) {
      if (logs[i] == line) {
        count++;
        if (at == logs.size()) {
          at = i;
        }
      }
    }
    EXPECT_EQ(count, 1u) << "line: " << line;
    if (count == 1) {
      ordered = ordered && at >= last;
      last = at;
    }
  }
  if (!ordered || ::testing::Test::HasFailure()) {
    std::string all;
    for (size_t i = from; i < logs.size(); i++) {
      all += "  " + logs[i];
    }
    EXPECT_TRUE(ordered) << "lines out of order";
    ADD_FAILURE() << "the log was:\n" << all;
  }
}

// Every planned failure happened.
inline void ExpectInjected(const host::FaultInjector &faults, uint64_t before,
                           const std::vector<Fault> &list) {
  EXPECT_EQ(faults.Injected() - before, list.size()) << "a planned failure never came";
}

// A case's faults, armed when this is made, with what was injected and
// logged (from `logsBefore` on) until then.
class ArmedCase {
public:
  ArmedCase(host::FaultInjector &faults, const FailCase &c, size_t logsBefore)
      : faults_(faults), case_(c), injectedBefore_(faults.Injected()), logsBefore_(logsBefore) {
    Arm(faults, c.faults);
  }
  // Every planned failure happened (nothing more is armed after this) and
  // the case's lines (or `lines`) were written since, each once, in order.
  void ExpectFaultsAndLines(const std::vector<std::string> &logs) {
    ExpectFaultsAndLines(logs, case_.lines);
  }
  void ExpectFaultsAndLines(const std::vector<std::string> &logs,
                            const std::vector<std::string> &lines) {
    ExpectInjected(faults_, injectedBefore_, case_.faults);
    faults_.Clear();
    ExpectLines(logs, lines, logsBefore_);
  }

private:
  host::FaultInjector &faults_;
  const FailCase &case_;
  const uint64_t injectedBefore_;
  const size_t logsBefore_;
};

inline constexpr host::Ipv4 kStation{127, 0, 5, 2};

// A transfer case on a fixture with a running child (`Base`): the end every
// case shares is that the transfer ends, each planned fault was injected, and
// the token completed once with the case's status after the case's lines.
template <class Base>
class TransferFailTest : public Base, public ::testing::WithParamInterface<FailCase> {
protected:
  ArmedCase ArmTheCase() {
    return ArmedCase(this->Fw().Faults(), this->GetParam(), this->Logs().size());
  }
  void EndsAsTheCaseSays(ArmedCase &armed) {
    const FailCase &c = this->GetParam();
    ASSERT_TRUE(this->RunToEnd(10 * kSecond));
    EXPECT_EQ(this->done_.status, c.expected) << Hex(this->done_.status);
    EXPECT_EQ(this->done_.count, 1);
    armed.ExpectFaultsAndLines(this->Logs());
  }
};

// The driver loaded into a fresh firmware with one UDP4 controller, not yet
// connected; at the end nothing may be live and no firmware rule broken.
class HostFailTest : public ::testing::TestWithParam<FailCase> {
protected:
  void SetUp() override {
    host_ = std::make_unique<DriverHost>(1);
    ASSERT_EQ(host_->Load(), EFI_SUCCESS);
    controller_ = host_->AddController(kStation);
    binding_ = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(
        host_->Fw().GetProtocol(host_->Image(), gEfiDriverBindingProtocolGuid));
    ASSERT_NE(binding_, nullptr);
  }
  void TearDown() override {
    std::vector<std::string> leaks = host_->TearDown();
    for (const std::string &leak : leaks) {
      ADD_FAILURE() << "leak: " << leak;
    }
    for (const std::string &violation : host_->Fw().Violations()) {
      ADD_FAILURE() << "firmware violation: " << violation;
    }
  }

  host::Udp4Controller &Udp() { return host_->Controller(0); }

  // The UDP4 child that the driver holds in reserve for the controller.
  EFI_HANDLE Reserve() {
    EFI_BOOT_SERVICES *bs = host_->Fw().BootServices();
    UINTN count = 0;
    EFI_HANDLE *handles = nullptr;
    EFI_HANDLE found = nullptr;
    if (EFI_ERROR(
            bs->LocateHandleBuffer(ByProtocol, &gEfiUdp4ProtocolGuid, nullptr, &count, &handles))) {
      return nullptr;
    }
    for (UINTN i = 0; i < count; i++) {
      EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
      UINTN n = 0;
      if (EFI_ERROR(bs->OpenProtocolInformation(handles[i], &gEfiUdp4ProtocolGuid, &entries, &n))) {
        continue;
      }
      for (UINTN e = 0; e < n; e++) {
        if ((entries[e].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0 &&
            entries[e].AgentHandle == host_->Image() &&
            entries[e].ControllerHandle == controller_) {
          found = handles[i];
        }
      }
      bs->FreePool(entries);
    }
    bs->FreePool(handles);
    return found;
  }

  std::unique_ptr<DriverHost> host_;
  EFI_HANDLE controller_ = nullptr;
  EFI_DRIVER_BINDING_PROTOCOL *binding_ = nullptr;
};

} // namespace zem4::test::failpaths
