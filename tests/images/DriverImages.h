// The driver images the cross presets build, and a fixture that reads and
// parses one of them for a test.
#pragma once

#include "tests/images/PeImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The build names the images; a tree configured without them has none.
#ifndef ZEM4_IA32_IMAGE_PATH
#define ZEM4_IA32_IMAGE_PATH ""
#endif
#ifndef ZEM4_X64_IMAGE_PATH
#define ZEM4_X64_IMAGE_PATH ""
#endif

namespace zem4::test {

inline constexpr const char *kIa32ImagePath = ZEM4_IA32_IMAGE_PATH;
inline constexpr const char *kX64ImagePath = ZEM4_X64_IMAGE_PATH;

// The whole file, or nothing when it cannot be read.
inline std::vector<uint8_t> ReadImageFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return {};
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads and parses the image a `Kind` (with a `name` and a `path`) names, or
// skips the test when it was not built; CI sets ZEM4_REQUIRE_IMAGES so that a
// missing image fails there instead.
template <typename Kind> class DriverImageTest : public ::testing::TestWithParam<Kind> {
protected:
  void SetUp() override {
    const Kind &kind = this->GetParam();
    file_ = ReadImageFile(kind.path);
    if (file_.empty()) {
      if (std::getenv("ZEM4_REQUIRE_IMAGES") != nullptr) {
        FAIL() << kind.name << " image missing: " << kind.path;
      }
      GTEST_SKIP() << kind.name << " image not built (" << kind.path << "); build the " << kind.name
                   << " preset first";
    }
    PeReader reader(file_);
    auto parsed = reader.Parse();
    ASSERT_TRUE(parsed.has_value()) << kind.path << ": " << reader.Error();
    image_ = std::move(*parsed);
  }

  std::vector<uint8_t> file_;
  PeImage image_;
};

} // namespace zem4::test
