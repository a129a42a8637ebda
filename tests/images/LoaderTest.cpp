// The host firmware's image loader on the real IA32 and X64 driver images:
// both map with every relocation applied and each section protected as it
// asks; copies damaged byte by byte are refused with the right reason.
#include "host/PeImage.h"
#include "tests/images/DriverImages.h"

#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

using host::PeFault;

struct Kind {
  const char *name;
  const char *path;
  uint16_t machine;
  uint16_t otherMachine;
  uint16_t otherMagic;
  uint16_t relocType;
  uint16_t otherRelocType;
  uint32_t width;
};

void PrintTo(const Kind &kind, std::ostream *os) {
  *os << kind.name;
}

const Kind kIa32{"IA32", kIa32ImagePath, 0x014C, 0x8664, 0x020B, 3, 10, 4};
const Kind kX64{"X64", kX64ImagePath, 0x8664, 0x014C, 0x010B, 10, 3, 8};

class Loader : public DriverImageTest<Kind> {
protected:
  void SetUp() override {
    DriverImageTest<Kind>::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    pe_ = Get32(file_, 0x3C);
    coff_ = pe_ + 4;
    opt_ = coff_ + 20;
    const uint16_t optSize = static_cast<uint16_t>(file_[coff_ + 16] | file_[coff_ + 17] << 8);
    sections_ = opt_ + optSize;
    const bool plus = GetParam().machine == host::kMachineX64;
    directories_ = opt_ + (plus ? 112 : 96);
    const PeDirectory reloc = image_.Directory(PeImage::kDirBaseReloc);
    PeReader reader(file_);
    auto at = reader.FileOffset(image_, reloc.rva, reloc.size);
    ASSERT_TRUE(at.has_value());
    relocFile_ = *at;
  }

  // Offset of a field of section header `index`.
  size_t SectionField(size_t index, size_t field) const { return sections_ + 40 * index + field; }
  size_t SectionIndex(const std::string &name) const {
    for (size_t i = 0; i < image_.sections.size(); i++) {
      if (image_.sections[i].name == name) {
        return i;
      }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
  }

  // Loads a damaged copy: it must be refused for `fault`.
  void ExpectRefused(const std::vector<uint8_t> &copy, PeFault fault, const std::string &what,
                     uint16_t machine = 0) {
    std::string error;
    PeFault got = PeFault::None;
    auto image =
        host::PeImage::Load(copy, machine == 0 ? GetParam().machine : machine, error, &got);
    EXPECT_EQ(image, nullptr) << what << ": loaded";
    EXPECT_EQ(got, fault) << what << ": refused as \"" << host::PeFaultName(got) << "\" (" << error
                          << ")";
    EXPECT_FALSE(error.empty()) << what;
  }

  size_t pe_ = 0, coff_ = 0, opt_ = 0, sections_ = 0, directories_ = 0, relocFile_ = 0;
};

// What /proc/self/maps says about the page holding `address` ("r-xp", ...).
std::string PagePermissions(const void *address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  const auto at = reinterpret_cast<uintptr_t>(address);
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms;
    fields >> range >> perms;
    const size_t dash = range.find('-');
    const uintptr_t lo = std::stoull(range.substr(0, dash), nullptr, 16);
    const uintptr_t hi = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (at >= lo && at < hi) {
      return perms;
    }
  }
  return "unmapped";
}

TEST_P(Loader, MapsEverySectionAndAppliesEveryRelocation) {
  const Kind &kind = GetParam();
  std::string error;
  PeFault fault = PeFault::BadHeader;
  auto image = host::PeImage::Load(file_, kind.machine, error, &fault);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(fault, PeFault::None);
  EXPECT_EQ(image->Machine(), kind.machine);
  EXPECT_EQ(image->Size(), image_.sizeOfImage);
  EXPECT_EQ(image->PreferredBase(), image_.imageBase);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(image->Base()) % 4096, 0u);
  if (kind.machine == host::kMachineIa32) {
    EXPECT_LE(reinterpret_cast<uintptr_t>(image->Base()) + image->Size(), uint64_t{1} << 32)
        << "an IA32 image's addresses are 32 bits wide";
  }
  EXPECT_EQ(reinterpret_cast<uintptr_t>(image->Entry()),
            reinterpret_cast<uintptr_t>(image->Base()) + image_.addressOfEntryPoint);

  const auto *mem = static_cast<const uint8_t *>(image->Base());
  ASSERT_EQ(std::memcmp(mem, file_.data(), image_.sizeOfHeaders), 0) << "headers";

  // Relocated fields: the file's value moved by the load delta.
  const uint64_t delta = reinterpret_cast<uintptr_t>(image->Base()) - image_.imageBase;
  std::vector<bool> relocated(image_.sizeOfImage, false);
  size_t real = 0;
  for (const PeRelocation &r : image_.relocations) {
    if (r.type == 0) {
      continue;
    }
    ++real;
    uint64_t original = 0, now = 0;
    PeReader reader(file_);
    auto at = reader.FileOffset(image_, r.rva, kind.width);
    ASSERT_TRUE(at.has_value());
    std::memcpy(&original, &file_[*at], kind.width);
    std::memcpy(&now, mem + r.rva, kind.width);
    const uint64_t mask = kind.width == 8 ? ~uint64_t{0} : 0xFFFFFFFFu;
    EXPECT_EQ(now, (original + delta) & mask) << "field at RVA 0x" << std::hex << r.rva;
    for (uint32_t i = 0; i < kind.width; i++) {
      relocated[r.rva + i] = true;
    }
  }
  EXPECT_EQ(image->RelocationsApplied(), real);
  EXPECT_GT(real, 0u);

  // Every other byte is the file's, and what lies past the file data is zero.
  for (const PeSection &s : image_.sections) {
    const uint32_t memSize = s.virtualSize != 0 ? s.virtualSize : s.sizeOfRawData;
    size_t differing = 0, nonZeroTail = 0;
    for (uint32_t i = 0; i < memSize; i++) {
      const uint32_t rva = s.virtualAddress + i;
      if (i < s.sizeOfRawData) {
        if (!relocated[rva] && mem[rva] != file_[s.pointerToRawData + i]) {
          differing++;
        }
      } else if (mem[rva] != 0) {
        nonZeroTail++;
      }
    }
    EXPECT_EQ(differing, 0u) << s.name;
    EXPECT_EQ(nonZeroTail, 0u) << s.name;
  }

  // Code can run but not be written; data can be written but not run.
  for (const PeSection &s : image_.sections) {
    const std::string perms = PagePermissions(mem + s.virtualAddress);
    const bool exec = (s.characteristics & PeImage::kSectionExecute) != 0;
    const bool write = (s.characteristics & PeImage::kSectionWrite) != 0;
    EXPECT_EQ(perms.substr(0, 3), std::string("r") + (write ? "w" : "-") + (exec ? "x" : "-"))
        << s.name;
  }
  const void *base = image->Base();
  image.reset();
  EXPECT_EQ(PagePermissions(base), "unmapped") << "the mapping outlived its image";
}

TEST_P(Loader, RefusesAnImageForAnotherMachine) {
  const Kind &kind = GetParam();
  ExpectRefused(file_, PeFault::WrongMachine, "asked to load for the other machine",
                kind.otherMachine);
  auto copy = file_;
  Put16(copy, coff_, 0xAA64);
  ExpectRefused(copy, PeFault::WrongMachine, "machine AArch64");
  copy = file_;
  Put16(copy, coff_, kind.otherMachine);
  ExpectRefused(copy, PeFault::WrongMachine, "machine of the other image");
}

TEST_P(Loader, RefusesTheWrongMagicAndSubsystem) {
  const Kind &kind = GetParam();
  auto copy = file_;
  Put16(copy, opt_, kind.otherMagic);
  ExpectRefused(copy, PeFault::WrongMagic, "other magic");
  copy = file_;
  Put16(copy, opt_, 0x0107);
  ExpectRefused(copy, PeFault::WrongMagic, "ROM magic");
  for (uint16_t subsystem : {10, 12, 13, 3, 0}) {
    copy = file_;
    Put16(copy, opt_ + 68, subsystem);
    ExpectRefused(copy, PeFault::WrongSubsystem, "subsystem " + std::to_string(subsystem));
  }
}

TEST_P(Loader, RefusesWhatIsNoImage) {
  auto copy = file_;
  copy[1] = 'X';
  ExpectRefused(copy, PeFault::NotAnImage, "no MZ");
  copy = file_;
  Put32(copy, 0x3C, static_cast<uint32_t>(copy.size()) - 2);
  ExpectRefused(copy, PeFault::NotAnImage, "e_lfanew at the end");
  copy = file_;
  Put32(copy, 0x3C, 0xFFFFFFF0u);
  ExpectRefused(copy, PeFault::NotAnImage, "e_lfanew far beyond");
  copy = file_;
  copy[pe_ + 1] = 'F';
  ExpectRefused(copy, PeFault::NotAnImage, "no PE signature");
  ExpectRefused({}, PeFault::NotAnImage, "empty file");
}

TEST_P(Loader, RefusesEveryTruncation) {
  // The file ends with the relocation section, so every cut loses something.
  size_t loaded = 0;
  for (size_t length = 0; length < file_.size(); length += 61) {
    std::vector<uint8_t> cut(file_.begin(), file_.begin() + static_cast<ptrdiff_t>(length));
    std::string error;
    PeFault fault = PeFault::None;
    if (host::PeImage::Load(cut, GetParam().machine, error, &fault) != nullptr) {
      loaded++;
    }
    EXPECT_NE(fault, PeFault::None) << "cut to " << length;
  }
  EXPECT_EQ(loaded, 0u);
  // Each part of the file named by what cutting there breaks.
  auto cutAt = [&](size_t length) {
    return std::vector<uint8_t>(file_.begin(), file_.begin() + static_cast<ptrdiff_t>(length));
  };
  ExpectRefused(cutAt(0x30), PeFault::NotAnImage, "inside the DOS header");
  ExpectRefused(cutAt(coff_ + 10), PeFault::Truncated, "inside the COFF header");
  ExpectRefused(cutAt(opt_ + 40), PeFault::Truncated, "inside the optional header");
  ExpectRefused(cutAt(sections_ + 50), PeFault::Truncated, "inside the section table");
  const PeSection &last = image_.sections.back();
  ExpectRefused(cutAt(last.pointerToRawData + 1), PeFault::SectionBeyondFile,
                "inside the last section");
  ExpectRefused(cutAt(file_.size() - 1), PeFault::SectionBeyondFile, "one byte short");
}

TEST_P(Loader, RefusesBadSizesAndDirectories) {
  const bool plus = GetParam().machine == host::kMachineX64;
  auto copy = file_;
  Put32(copy, opt_ + 56, 0);
  ExpectRefused(copy, PeFault::BadHeader, "SizeOfImage 0");
  copy = file_;
  Put32(copy, opt_ + 56, 0x7FFFFFFF);
  ExpectRefused(copy, PeFault::BadHeader, "SizeOfImage 2 GiB");
  copy = file_;
  Put32(copy, opt_ + 60, image_.sizeOfImage + 1);
  ExpectRefused(copy, PeFault::BadHeader, "headers larger than the image");
  copy = file_;
  Put32(copy, opt_ + (plus ? 108 : 92), 17);
  ExpectRefused(copy, PeFault::BadHeader, "17 data directories");
  copy = file_;
  Put16(copy, coff_ + 2, 200); // more section headers than the headers hold
  ExpectRefused(copy, PeFault::BadHeader, "200 sections");
  copy = file_;
  Put16(copy, coff_ + 16, plus ? 100 : 80);
  ExpectRefused(copy, PeFault::Truncated, "optional header too short for its magic");
}

TEST_P(Loader, RefusesSectionsOutsideOverlappingOrBeyondTheFile) {
  const size_t text = SectionIndex(".text");
  const size_t data = SectionIndex(".data");
  auto copy = file_;
  Put32(copy, SectionField(data, 12), image_.sections[text].virtualAddress);
  ExpectRefused(copy, PeFault::SectionsOverlap, ".data placed on .text");
  copy = file_;
  Put32(copy, SectionField(data, 12), image_.sections[text].virtualAddress + 0x800);
  ExpectRefused(copy, PeFault::SectionsOverlap, ".data inside .text");
  copy = file_;
  Put32(copy, SectionField(text, 8), image_.sections[text].virtualSize + 0x10000);
  ExpectRefused(copy, PeFault::SectionOutside, ".text grown past the image");
  copy = file_;
  Put32(copy, SectionField(data, 12), image_.sizeOfImage - 0x10);
  ExpectRefused(copy, PeFault::SectionOutside, ".data at the image's end");
  copy = file_;
  Put32(copy, SectionField(text, 12), 0);
  ExpectRefused(copy, PeFault::SectionOutside, ".text over the headers");
  copy = file_;
  Put32(copy, SectionField(data, 20), static_cast<uint32_t>(file_.size()) - 16);
  ExpectRefused(copy, PeFault::SectionBeyondFile, ".data's file data past the end");
  copy = file_;
  Put32(copy, SectionField(data, 20), 0xFFFFFF00u);
  ExpectRefused(copy, PeFault::SectionBeyondFile, ".data's file data at 4 GiB");
  copy = file_;
  Put32(copy, SectionField(text, 16), 0x7FFFFFFF);
  ExpectRefused(copy, PeFault::SectionBeyondFile, ".text's file data 2 GiB long");
}

TEST_P(Loader, RefusesAnEntryPointOutsideCode) {
  const size_t data = SectionIndex(".data");
  auto copy = file_;
  Put32(copy, opt_ + 16, image_.sizeOfImage + 0x10);
  ExpectRefused(copy, PeFault::EntryOutside, "entry past the image");
  copy = file_;
  Put32(copy, opt_ + 16, 0);
  ExpectRefused(copy, PeFault::EntryOutside, "entry in the headers");
  copy = file_;
  Put32(copy, opt_ + 16, image_.sections[data].virtualAddress);
  ExpectRefused(copy, PeFault::EntryOutside, "entry in .data");
  copy = file_;
  Put32(copy, opt_ + 16, 0xFFFFFFFFu);
  ExpectRefused(copy, PeFault::EntryOutside, "entry at 4 GiB");
}

TEST_P(Loader, RefusesRelocationsOutOfRangeOrMalformed) {
  const Kind &kind = GetParam();
  const PeDirectory dir = image_.Directory(PeImage::kDirBaseReloc);
  const size_t dirField = directories_ + 8 * PeImage::kDirBaseReloc;
  auto copy = file_;
  Put32(copy, relocFile_, image_.sizeOfImage); // first block's page just past the end
  ExpectRefused(copy, PeFault::RelocationOutOfRange, "block page at the image's end");
  copy = file_;
  Put32(copy, relocFile_, 0x7FFFF000);
  ExpectRefused(copy, PeFault::RelocationOutOfRange, "block page at 2 GiB");
  copy = file_;
  Put16(copy, relocFile_ + 8, static_cast<uint16_t>(kind.otherRelocType << 12));
  ExpectRefused(copy, PeFault::UnsupportedRelocation, "the other machine's relocation");
  copy = file_;
  Put16(copy, relocFile_ + 8, static_cast<uint16_t>(5 << 12));
  ExpectRefused(copy, PeFault::UnsupportedRelocation, "relocation type 5");
  copy = file_;
  Put32(copy, relocFile_ + 4, 4);
  ExpectRefused(copy, PeFault::BadRelocations, "block smaller than its header");
  copy = file_;
  Put32(copy, relocFile_ + 4, Get32(file_, relocFile_ + 4) + 1);
  ExpectRefused(copy, PeFault::BadRelocations, "odd block size");
  copy = file_;
  Put32(copy, relocFile_ + 4, dir.size + 8);
  ExpectRefused(copy, PeFault::BadRelocations, "block past the directory");
  copy = file_;
  Put32(copy, dirField, image_.sizeOfImage - 4);
  ExpectRefused(copy, PeFault::BadRelocations, "directory past the image");
  copy = file_;
  Put32(copy, dirField + 4, dir.size + 4); // a 4-byte tail no block header fits in
  Put32(copy, relocFile_ + dir.size, 0);
  ExpectRefused(copy, PeFault::BadRelocations, "directory ends inside a block header");
}

TEST_P(Loader, RefusesStrippedRelocationsAwayFromThePreferredBase) {
  auto copy = file_;
  Put16(copy, coff_ + 18, static_cast<uint16_t>(image_.characteristics | 0x0001));
  std::string error;
  PeFault fault = PeFault::None;
  auto image = host::PeImage::Load(copy, GetParam().machine, error, &fault);
  if (image != nullptr) {
    // Only acceptable where the host happened to give the preferred base.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(image->Base()), image_.imageBase);
  } else {
    EXPECT_EQ(fault, PeFault::NotRelocatable) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(Images, Loader, ::testing::Values(kIa32, kX64),
                         [](const ::testing::TestParamInfo<Kind> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
} // namespace zem4::test
