// Starting the image file can fail in two places: the loader refuses the file
// (no image handle is ever made), or the image's own entry point fails (the
// firmware drops the image). Either way nothing of it stays live.
#include "tests/image_run/ImageRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

class ImageLoadFailure : public ::testing::Test {
protected:
  void SetUp() override { ImageBuilt(); }
};

TEST_F(ImageLoadFailure, ARefusedFileMakesNoImageHandle) {
  std::ifstream in(RunnableImagePath(), std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 0x100u);
  bytes.resize(bytes.size() / 2);
  DriverHost host;
  std::string error;
  EFI_STATUS status = EFI_SUCCESS;
  auto image = host::LoadedDriverImage::Load(host.Fw(), bytes, error, &status);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(status, EFI_LOAD_ERROR);
  EXPECT_NE(error.find("beyond the file"), std::string::npos) << error;
  EXPECT_EQ(host.Fw().Live().handles, 0u);
  EXPECT_EQ(host.LoadImageFile("/nonexistent/zem4.efi", &error), EFI_NOT_FOUND);
  auto leaks = host.TearDown();
  EXPECT_TRUE(leaks.empty()) << Join(leaks);
}

// Every Boot Services call the entry point makes fails once in turn: the
// load either succeeds (and the image unloads cleanly) or reports the
// failure, and the firmware ends with nothing live.
TEST_F(ImageLoadFailure, EveryFailingCallOfTheEntryPointLeavesNothing) {
  std::map<std::string, uint64_t, std::less<>> counts;
  {
    DriverHost clean;
    ASSERT_EQ(LoadDriver(clean, DriverKind::Image), EFI_SUCCESS);
    counts = clean.Fw().Faults().Counts();
    auto leaks = clean.TearDown();
    ASSERT_TRUE(leaks.empty()) << Join(leaks);
  }
  size_t failedLoads = 0;
  for (const auto &[call, count] : counts) {
    for (uint64_t n = 1; n <= count; n++) {
      SCOPED_TRACE(call + " #" + std::to_string(n));
      DriverHost host;
      host.Fw().Faults().FailNth(call, n, EFI_OUT_OF_RESOURCES);
      std::string why;
      const EFI_STATUS status = host.LoadImageFile(RunnableImagePath(), &why);
      if (EFI_ERROR(status)) {
        failedLoads++;
        EXPECT_EQ(status, EFI_OUT_OF_RESOURCES) << why;
        EXPECT_FALSE(host.Loaded());
      } else {
        EXPECT_EQ(host.Unload(), EFI_SUCCESS);
      }
      auto leaks = host.TearDown();
      EXPECT_TRUE(leaks.empty()) << Join(leaks);
    }
  }
  EXPECT_GT(failedLoads, 0u) << "no call of the entry point could fail";
}

} // namespace
} // namespace zem4::test
