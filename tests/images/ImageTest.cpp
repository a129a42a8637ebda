// Post-link check of the IA32 and X64 driver images: what a UEFI loader reads
// from them must say "boot-service driver for this machine", the image must be
// relocatable, and nothing may be imported (an import would be a symbol that
// the firmware cannot resolve).
#include "tests/images/DriverImages.h"

#include <ostream>

namespace zem4::test {
namespace {

struct ImageKind {
  const char *name;
  const char *path;
  uint16_t machine;
  uint16_t magic;
  uint16_t relocType; // HIGHLOW on IA32, DIR64 on X64
  uint32_t pointerSize;
};

void PrintTo(const ImageKind &kind, std::ostream *os) {
  *os << kind.name;
}

const ImageKind kIa32{"IA32", kIa32ImagePath, 0x014C, 0x010B, 3, 4};
const ImageKind kX64{"X64", kX64ImagePath, 0x8664, 0x020B, 10, 8};

constexpr uint16_t kSubsystemBootServiceDriver = 11;
constexpr uint16_t kRelocAbsolute = 0;

class DriverImage : public DriverImageTest<ImageKind> {
protected:
  uint64_t ReadPointer(size_t offset) const {
    uint64_t value = 0;
    for (uint32_t i = 0; i < GetParam().pointerSize; ++i) {
      value |= uint64_t{file_[offset + i]} << (8 * i);
    }
    return value;
  }
};

TEST_P(DriverImage, HeadersDescribeABootServiceDriverForTheMachine) {
  const ImageKind &kind = GetParam();
  EXPECT_EQ(image_.machine, kind.machine);
  EXPECT_EQ(image_.magic, kind.magic);
  EXPECT_EQ(image_.subsystem, kSubsystemBootServiceDriver);
  EXPECT_NE(image_.characteristics & PeImage::kFileDll, 0) << "not marked as a DLL";
  EXPECT_NE(image_.characteristics & PeImage::kFileExecutableImage, 0);
  EXPECT_EQ(image_.characteristics & PeImage::kFileRelocsStripped, 0)
      << "relocations stripped: the image could load only at its preferred base";
  EXPECT_GT(image_.directories.size(), PeImage::kDirBaseReloc);
  EXPECT_LE(image_.sizeOfHeaders, image_.sizeOfImage);
  EXPECT_EQ(image_.sizeOfImage % image_.sectionAlignment, 0u);
}

TEST_P(DriverImage, BaseRelocationsAreNonEmptyAndEachPointsIntoTheImage) {
  const ImageKind &kind = GetParam();
  ASSERT_NE(image_.Directory(PeImage::kDirBaseReloc).size, 0u) << "no base relocations";
  const PeSection *reloc = image_.SectionHolding(image_.Directory(PeImage::kDirBaseReloc).rva);
  ASSERT_NE(reloc, nullptr);

  PeReader reader(file_);
  size_t real = 0;
  for (const PeRelocation &r : image_.relocations) {
    if (r.type == kRelocAbsolute) {
      continue; // padding that keeps blocks 4-byte aligned
    }
    ++real;
    ASSERT_EQ(r.type, kind.relocType) << "at RVA 0x" << std::hex << r.rva;
    auto at = reader.FileOffset(image_, r.rva, kind.pointerSize);
    ASSERT_TRUE(at.has_value()) << "relocated field at RVA 0x" << std::hex << r.rva
                                << " has no file data";
    // The field holds an absolute address at the preferred base: it must
    // point into the image, or the loader would patch garbage.
    uint64_t target = ReadPointer(*at);
    EXPECT_GE(target, image_.imageBase) << "field at RVA 0x" << std::hex << r.rva;
    EXPECT_LT(target, image_.imageBase + image_.sizeOfImage)
        << "field at RVA 0x" << std::hex << r.rva;
  }
  EXPECT_GT(real, 0u) << "relocation blocks hold only padding";
}

TEST_P(DriverImage, EntryPointLiesInExecutableText) {
  const PeSection *text = image_.SectionNamed(".text");
  ASSERT_NE(text, nullptr);
  EXPECT_NE(text->characteristics & PeImage::kSectionExecute, 0u);
  EXPECT_NE(image_.addressOfEntryPoint, 0u);
  EXPECT_GE(image_.addressOfEntryPoint, text->virtualAddress);
  EXPECT_LT(image_.addressOfEntryPoint, text->virtualAddress + text->virtualSize);
}

TEST_P(DriverImage, ImportsNothing) {
  EXPECT_EQ(image_.Directory(PeImage::kDirImport).rva, 0u);
  EXPECT_EQ(image_.Directory(PeImage::kDirImport).size, 0u);
  EXPECT_EQ(image_.Directory(PeImage::kDirDelayImport).size, 0u);
  EXPECT_EQ(image_.SectionNamed(".idata"), nullptr);
}

TEST_P(DriverImage, NoSectionIsBothWritableAndExecutable) {
  for (const PeSection &s : image_.sections) {
    bool exec = (s.characteristics & PeImage::kSectionExecute) != 0;
    bool write = (s.characteristics & PeImage::kSectionWrite) != 0;
    EXPECT_FALSE(exec && write) << s.name;
  }
}

// The reader itself must notice damage, or the checks above prove nothing.
TEST_P(DriverImage, ReaderRejectsDamagedCopies) {
  {
    auto copy = file_;
    copy[0] = 'X';
    PeReader r(copy);
    EXPECT_FALSE(r.Parse().has_value());
  }
  {
    auto copy = file_;
    copy[0x3C] = 0xF0;
    copy[0x3D] = 0xFF;
    copy[0x3E] = 0xFF;
    copy[0x3F] = 0x7F;
    PeReader r(copy);
    EXPECT_FALSE(r.Parse().has_value());
  }
  {
    // Every truncation inside the headers is refused without reading past the end.
    size_t headers = image_.sizeOfHeaders;
    ASSERT_LE(headers, file_.size());
    size_t sectionTableEnd = 0;
    for (size_t len = 0; len < headers; len += 7) {
      std::vector<uint8_t> cut(file_.begin(), file_.begin() + static_cast<ptrdiff_t>(len));
      PeReader r(cut);
      if (r.Parse().has_value() && sectionTableEnd == 0) {
        sectionTableEnd = len;
      }
    }
    EXPECT_EQ(sectionTableEnd, 0u)
        << "a copy cut to " << sectionTableEnd << " bytes parsed although its sections lie beyond";
  }
  {
    // A relocation block whose size runs past its directory.
    PeDirectory dir = image_.Directory(PeImage::kDirBaseReloc);
    PeReader probe(file_);
    auto at = probe.FileOffset(image_, dir.rva, 8);
    ASSERT_TRUE(at.has_value());
    auto copy = file_;
    uint32_t huge = dir.size + 8;
    for (int i = 0; i < 4; ++i) {
      copy[*at + 4 + i] = static_cast<uint8_t>(huge >> (8 * i));
    }
    PeReader r(copy);
    EXPECT_FALSE(r.Parse().has_value());
    EXPECT_NE(r.Error().find("relocation"), std::string::npos) << r.Error();
  }
}

INSTANTIATE_TEST_SUITE_P(Images, DriverImage, ::testing::Values(kIa32, kX64),
                         [](const ::testing::TestParamInfo<ImageKind> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
} // namespace zem4::test
