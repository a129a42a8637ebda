// A fresh host firmware per test, the driver's globals pointed at it; at the
// end of every test nothing may be live (pool, events, handles, open entries,
// host counters such as unrecycled datagrams) and no caller bug may have been
// recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "efi/Uefi.h"
#include "host/DebugMessage.h"
#include "host/FaultInjector.h"
#include "host/Firmware.h"

namespace zem4::test {

// The checks every test ends with, wherever it made its firmware: nothing
// live (pool, events, handles, open entries, unrecycled datagrams and every
// other live counter) and no recorded violation. One test failure per line
// of the firmware's findings; a test that provoked violations on purpose and
// checked them itself passes `violationsExpected`.
void ExpectCleanTeardown(const host::Firmware &fw, bool violationsExpected = false);
// The same for findings already taken (from a rig's own teardown).
void ExpectNoFindings(const std::vector<std::string> &findings);

class FirmwareFixture : public ::testing::Test {
protected:
  explicit FirmwareFixture(host::ClockMode mode = host::ClockMode::Virtual) : mode_(mode) {}

  void SetUp() override;
  void TearDown() override;

  host::Firmware &Fw() { return *fw_; }
  EFI_BOOT_SERVICES *Bs() { return fw_->BootServices(); }
  EFI_SYSTEM_TABLE *St() { return fw_->SystemTable(); }

  // A test that provokes caller bugs on purpose checks them itself.
  void ExpectViolations() { violationsExpected_ = true; }
  // Leak and violation lines, joined for a failure message.
  static std::string Join(const std::vector<std::string> &lines);

private:
  host::ClockMode mode_;
  std::unique_ptr<host::Firmware> fw_;
  bool violationsExpected_ = false;
};

} // namespace zem4::test
