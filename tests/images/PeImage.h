// A small reader of PE32/PE32+ files, enough to check what the driver images
// must look like to a UEFI loader. Every offset is bounds-checked: a damaged
// file gives an error text, never a read past the buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zem4::test {

// Little-endian fields of a file being read or damaged.
inline uint32_t Get32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
inline void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16(b, at, static_cast<uint16_t>(v));
  Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
inline void Put64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

struct PeSection {
  std::string name;
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
  uint32_t characteristics = 0;
};

struct PeDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct PeRelocation {
  uint32_t rva = 0;
  uint16_t type = 0;
};

struct PeImage {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t magic = 0;
  uint32_t addressOfEntryPoint = 0;
  uint64_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint16_t subsystem = 0;
  uint16_t dllCharacteristics = 0;
  std::vector<PeDirectory> directories;
  std::vector<PeSection> sections;
  std::vector<PeRelocation> relocations; // every entry of every block, padding included

  static constexpr uint16_t kFileRelocsStripped = 0x0001;
  static constexpr uint16_t kFileExecutableImage = 0x0002;
  static constexpr uint16_t kFileDll = 0x2000;
  static constexpr uint32_t kSectionCode = 0x00000020;
  static constexpr uint32_t kSectionExecute = 0x20000000;
  static constexpr uint32_t kSectionWrite = 0x80000000;
  static constexpr size_t kDirImport = 1;
  static constexpr size_t kDirBaseReloc = 5;
  static constexpr size_t kDirDelayImport = 13;

  PeDirectory Directory(size_t index) const {
    return index < directories.size() ? directories[index] : PeDirectory{};
  }

  const PeSection *SectionNamed(const std::string &wanted) const {
    for (const auto &s : sections) {
      if (s.name == wanted) {
        return &s;
      }
    }
    return nullptr;
  }

  const PeSection *SectionHolding(uint32_t rva, uint32_t length = 1) const {
    for (const auto &s : sections) {
      uint64_t end = uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.sizeOfRawData);
      if (rva >= s.virtualAddress && uint64_t{rva} + length <= end) {
        return &s;
      }
    }
    return nullptr;
  }
};

class PeReader {
public:
  explicit PeReader(std::span<const uint8_t> file) : file_(file) {}

  // Parses the whole image; on failure returns nullopt and Error() says why.
  std::optional<PeImage> Parse() {
    PeImage img;
    if (!Has(0, 0x40) || file_[0] != 'M' || file_[1] != 'Z') {
      return Fail("no MZ header");
    }
    uint32_t pe = U32(0x3C);
    if (!Has(pe, 24) || std::memcmp(&file_[pe], "PE\0\0", 4) != 0) {
      return Fail("no PE signature at e_lfanew");
    }
    size_t coff = pe + 4;
    img.machine = U16(coff + 0);
    uint16_t sectionCount = U16(coff + 2);
    uint16_t optSize = U16(coff + 16);
    img.characteristics = U16(coff + 18);
    size_t opt = coff + 20;
    if (optSize < 2 || !Has(opt, optSize)) {
      return Fail("optional header truncated");
    }
    img.magic = U16(opt);
    size_t dirOffset = 0;
    size_t countOffset = 0;
    if (img.magic == 0x10B) {
      if (optSize < 96) {
        return Fail("PE32 optional header too short");
      }
      img.imageBase = U32(opt + 28);
      countOffset = 92;
      dirOffset = 96;
    } else if (img.magic == 0x20B) {
      if (optSize < 112) {
        return Fail("PE32+ optional header too short");
      }
      img.imageBase = U64(opt + 24);
      countOffset = 108;
      dirOffset = 112;
    } else {
      return Fail("unknown optional header magic");
    }
    img.addressOfEntryPoint = U32(opt + 16);
    img.sectionAlignment = U32(opt + 32);
    img.fileAlignment = U32(opt + 36);
    img.sizeOfImage = U32(opt + 56);
    img.sizeOfHeaders = U32(opt + 60);
    img.subsystem = U16(opt + 68);
    img.dllCharacteristics = U16(opt + 70);
    uint32_t dirCount = U32(opt + countOffset);
    if (dirCount > (optSize - dirOffset) / 8) {
      return Fail("data directories run past the optional header");
    }
    for (uint32_t i = 0; i < dirCount; ++i) {
      img.directories.push_back({U32(opt + dirOffset + 8 * i), U32(opt + dirOffset + 8 * i + 4)});
    }

    size_t sec = opt + optSize;
    if (!Has(sec, size_t{sectionCount} * 40)) {
      return Fail("section table truncated");
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
      size_t at = sec + 40 * size_t{i};
      PeSection s;
      const char *name = reinterpret_cast<const char *>(&file_[at]);
      s.name.assign(name, strnlen(name, 8));
      s.virtualSize = U32(at + 8);
      s.virtualAddress = U32(at + 12);
      s.sizeOfRawData = U32(at + 16);
      s.pointerToRawData = U32(at + 20);
      s.characteristics = U32(at + 36);
      if (s.sizeOfRawData != 0 && !Has(s.pointerToRawData, s.sizeOfRawData)) {
        return Fail("raw data of section " + s.name + " lies outside the file");
      }
      if (uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.sizeOfRawData) > img.sizeOfImage) {
        return Fail("section " + s.name + " lies outside SizeOfImage");
      }
      img.sections.push_back(s);
    }

    PeDirectory rel = img.Directory(PeImage::kDirBaseReloc);
    if (rel.size != 0 && !ReadRelocations(img, rel)) {
      return std::nullopt;
    }
    return img;
  }

  const std::string &Error() const { return error_; }

  // Maps an RVA range to a file offset through the section whose file data holds it.
  std::optional<size_t> FileOffset(const PeImage &img, uint32_t rva, uint32_t length) const {
    for (const auto &s : img.sections) {
      if (rva >= s.virtualAddress &&
          uint64_t{rva} + length <= uint64_t{s.virtualAddress} + s.sizeOfRawData) {
        return size_t{s.pointerToRawData} + (rva - s.virtualAddress);
      }
    }
    return std::nullopt;
  }

private:
  bool Has(size_t offset, size_t length) const {
    return offset <= file_.size() && length <= file_.size() - offset;
  }
  uint16_t U16(size_t o) const { return static_cast<uint16_t>(file_[o] | file_[o + 1] << 8); }
  uint32_t U32(size_t o) const { return U16(o) | static_cast<uint32_t>(U16(o + 2)) << 16; }
  uint64_t U64(size_t o) const { return U32(o) | static_cast<uint64_t>(U32(o + 4)) << 32; }

  std::nullopt_t Fail(std::string why) {
    error_ = std::move(why);
    return std::nullopt;
  }

  bool ReadRelocations(PeImage &img, PeDirectory dir) {
    auto base = FileOffset(img, dir.rva, dir.size);
    if (!base) {
      Fail("base relocation directory is not backed by file data");
      return false;
    }
    size_t pos = 0;
    while (pos < dir.size) {
      if (dir.size - pos < 8) {
        Fail("base relocation block header truncated");
        return false;
      }
      uint32_t page = U32(*base + pos);
      uint32_t blockSize = U32(*base + pos + 4);
      if (blockSize < 8 || blockSize % 2 != 0 || blockSize > dir.size - pos) {
        Fail("base relocation block has a bad size");
        return false;
      }
      for (size_t e = 8; e < blockSize; e += 2) {
        uint16_t entry = U16(*base + pos + e);
        img.relocations.push_back({page + (entry & 0xFFFu), static_cast<uint16_t>(entry >> 12)});
      }
      pos += blockSize;
    }
    return true;
  }

  std::span<const uint8_t> file_;
  std::string error_;
};

} // namespace zem4::test
