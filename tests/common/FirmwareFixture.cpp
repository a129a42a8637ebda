#include "tests/common/FirmwareFixture.h"

#include "support/DiagLog.h"
#include "support/Globals.h"

namespace zem4::test {

void FirmwareFixture::SetUp() {
  fw_ = std::make_unique<host::Firmware>(mode_);
  gST = fw_->SystemTable();
  gBS = fw_->BootServices();
  DiagLogReset();
}

void FirmwareFixture::TearDown() {
  const auto leaks = fw_->LeakReport();
  EXPECT_TRUE(leaks.empty()) << "still live at the end of the test:\n" << Join(leaks);
  if (!violationsExpected_) {
    const auto bugs = fw_->Violations();
    EXPECT_TRUE(bugs.empty()) << "firmware misuse:\n" << Join(bugs);
  }
  DiagLogReset();
  gST = nullptr;
  gBS = nullptr;
  fw_.reset();
}

std::string FirmwareFixture::Join(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &l : lines)
    out += "  " + l + "\n";
  return out;
}

} // namespace zem4::test
