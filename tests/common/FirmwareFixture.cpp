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

void ExpectNoFindings(const std::vector<std::string> &findings) {
  for (const std::string &line : findings)
    ADD_FAILURE() << "at the end of the test: " << line;
}

void ExpectCleanTeardown(const host::Firmware &fw, bool violationsExpected) {
  ExpectNoFindings(violationsExpected ? fw.LeakReport() : fw.Findings());
}

void FirmwareFixture::TearDown() {
  ExpectCleanTeardown(*fw_, violationsExpected_);
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
