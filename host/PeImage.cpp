#include "host/PeImage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace zem4::host {
namespace {

constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelHighLow = 3;
constexpr uint16_t kRelDir64 = 10;
constexpr uint32_t kBaseRelocDirectory = 5;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kSectionHeaderSize = 40;
// A boot-service driver of this kind is tens of kilobytes; refuse absurd sizes.
constexpr uint32_t kMaxImageSize = 64u << 20;

// Bounds-checked little-endian reads.
class Reader {
public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  uint16_t U16(uint64_t at) const {
    return static_cast<uint16_t>(bytes_[at] | bytes_[at + 1] << 8);
  }
  uint32_t U32(uint64_t at) const {
    return static_cast<uint32_t>(U16(at)) | static_cast<uint32_t>(U16(at + 2)) << 16;
  }
  uint64_t U64(uint64_t at) const {
    return static_cast<uint64_t>(U32(at)) | static_cast<uint64_t>(U32(at + 4)) << 32;
  }
  size_t Size() const { return bytes_.size(); }
  const uint8_t *Data() const { return bytes_.data(); }

private:
  std::span<const uint8_t> bytes_;
};

std::string ToHex(uint64_t value, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out = "0x";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out += kDigits[(value >> shift) & 0xF];
  }
  return out;
}

struct Section {
  uint32_t memorySize; // bytes the section occupies once mapped
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawOffset;
  uint32_t characteristics;
};

// Owns a mapping until it is handed to a PeImage.
struct Mapping {
  void *base = MAP_FAILED;
  size_t length = 0;
  ~Mapping() {
    if (base != MAP_FAILED) {
      munmap(base, length);
    }
  }
};

size_t PageSize() {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

} // namespace

const char *PeFaultName(PeFault fault) {
  switch (fault) {
  case PeFault::None:
    return "none";
  case PeFault::NotAnImage:
    return "not an image";
  case PeFault::WrongMachine:
    return "wrong machine";
  case PeFault::WrongMagic:
    return "wrong magic";
  case PeFault::WrongSubsystem:
    return "wrong subsystem";
  case PeFault::Truncated:
    return "truncated";
  case PeFault::BadHeader:
    return "bad header";
  case PeFault::EntryOutside:
    return "entry outside";
  case PeFault::SectionOutside:
    return "section outside the image";
  case PeFault::SectionBeyondFile:
    return "section beyond the file";
  case PeFault::SectionsOverlap:
    return "sections overlap";
  case PeFault::BadRelocations:
    return "bad relocations";
  case PeFault::RelocationOutOfRange:
    return "relocation out of range";
  case PeFault::UnsupportedRelocation:
    return "unsupported relocation";
  case PeFault::NotRelocatable:
    return "not relocatable";
  case PeFault::MapFailed:
    return "map failed";
  }
  return "?";
}

std::optional<uint16_t> PeImage::MachineOf(std::span<const uint8_t> file) {
  Reader r(file);
  if (!r.Has(0, 0x40) || r.U16(0) != 0x5A4D) {
    return std::nullopt;
  }
  const uint32_t peOffset = r.U32(0x3C);
  if (!r.Has(peOffset, 6) || r.U32(peOffset) != 0x00004550) {
    return std::nullopt;
  }
  return r.U16(uint64_t{peOffset} + 4);
}

std::optional<uint16_t> PeImage::MachineOfFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> head(4096);
  in.read(reinterpret_cast<char *>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  return MachineOf(head);
}

PeImage::~PeImage() {
  if (base_ != nullptr) {
    munmap(base_, mapped_);
  }
}

std::unique_ptr<PeImage> PeImage::LoadFile(const std::string &path, uint16_t machine,
                                           std::string &error, PeFault *fault) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    if (fault != nullptr) {
      *fault = PeFault::NotAnImage;
    }
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return Load(bytes, machine, error, fault);
}

std::unique_ptr<PeImage> PeImage::Load(std::span<const uint8_t> file, uint16_t machine,
                                       std::string &error, PeFault *fault) {
  Reader r(file);
  if (fault != nullptr) {
    *fault = PeFault::None;
  }
  auto refuse = [&](PeFault kind, std::string why) {
    error = std::move(why);
    if (fault != nullptr) {
      *fault = kind;
    }
    return std::unique_ptr<PeImage>();
  };

  if (!r.Has(0, 0x40) || r.U16(0) != 0x5A4D) {
    return refuse(PeFault::NotAnImage, "not an image: no MZ header");
  }
  const uint32_t peOffset = r.U32(0x3C);
  if (!r.Has(peOffset, 4) || r.U32(peOffset) != 0x00004550) {
    return refuse(PeFault::NotAnImage, "not an image: no PE signature");
  }
  const uint64_t coff = uint64_t{peOffset} + 4;
  if (!r.Has(coff, 20)) {
    return refuse(PeFault::Truncated, "truncated COFF header");
  }
  const uint16_t fileMachine = r.U16(coff);
  const uint16_t sectionCount = r.U16(coff + 2);
  const uint16_t optionalSize = r.U16(coff + 16);
  const uint16_t fileCharacteristics = r.U16(coff + 18);
  if (fileMachine != machine) {
    return refuse(PeFault::WrongMachine, "wrong machine: image is for " + ToHex(fileMachine, 4) +
                                             ", wanted " + ToHex(machine, 4));
  }
  const uint64_t opt = coff + 20;
  if (optionalSize < 2 || !r.Has(opt, optionalSize)) {
    return refuse(PeFault::Truncated, "truncated optional header");
  }
  const uint16_t magic = r.U16(opt);
  const uint16_t wantedMagic = machine == kMachineX64 ? kMagicPe32Plus : kMagicPe32;
  if (magic != wantedMagic) {
    return refuse(PeFault::WrongMagic,
                  "optional header magic " + ToHex(magic, 4) + " does not fit the machine");
  }
  const bool plus = magic == kMagicPe32Plus;
  const uint32_t minimumOptional = plus ? 112 : 96;
  if (optionalSize < minimumOptional) {
    return refuse(PeFault::Truncated, "optional header too short");
  }
  const uint32_t entryRva = r.U32(opt + 16);
  const uint64_t preferredBase = plus ? r.U64(opt + 24) : r.U32(opt + 28);
  const uint32_t imageSize = r.U32(opt + 56);
  const uint32_t headersSize = r.U32(opt + 60);
  const uint16_t subsystem = r.U16(opt + 68);
  const uint32_t directoryCount = r.U32(opt + (plus ? 108 : 92));
  const uint64_t directories = opt + (plus ? 112 : 96);
  if (subsystem != kSubsystemBootServiceDriver) {
    return refuse(PeFault::WrongSubsystem,
                  "subsystem " + std::to_string(subsystem) + " is not a boot-service driver");
  }
  if (imageSize == 0 || imageSize > kMaxImageSize || headersSize == 0 || headersSize > imageSize) {
    return refuse(PeFault::BadHeader, "image size out of range");
  }
  if (headersSize > r.Size()) {
    return refuse(PeFault::Truncated, "headers run past the end of the file");
  }
  if (directoryCount > kMaxDirectories ||
      directories + 8ull * directoryCount > opt + optionalSize) {
    return refuse(PeFault::BadHeader, "bad data directory count");
  }

  // Sections: inside the file, inside the image past the headers, apart.
  const uint64_t sectionTable = opt + optionalSize;
  if (!r.Has(sectionTable, uint64_t{kSectionHeaderSize} * sectionCount)) {
    return refuse(PeFault::Truncated, "truncated section table");
  }
  if (sectionTable + uint64_t{kSectionHeaderSize} * sectionCount > headersSize) {
    return refuse(PeFault::BadHeader, "section table lies beyond the headers");
  }
  std::vector<Section> sections;
  for (uint16_t i = 0; i < sectionCount; i++) {
    const uint64_t at = sectionTable + uint64_t{kSectionHeaderSize} * i;
    const uint32_t virtualSize = r.U32(at + 8);
    Section s{virtualSize, r.U32(at + 12), r.U32(at + 16), r.U32(at + 20), r.U32(at + 36)};
    if (s.memorySize == 0) {
      s.memorySize = s.rawSize;
    }
    const std::string name = "section " + std::to_string(i);
    if (s.virtualAddress < headersSize || uint64_t{s.virtualAddress} + s.memorySize > imageSize) {
      return refuse(PeFault::SectionOutside, name + " lies outside the image");
    }
    if (s.rawSize != 0 && !r.Has(s.rawOffset, s.rawSize)) {
      return refuse(PeFault::SectionBeyondFile, name + " lies beyond the file");
    }
    for (const Section &o : sections) {
      if (s.virtualAddress < uint64_t{o.virtualAddress} + o.memorySize &&
          o.virtualAddress < uint64_t{s.virtualAddress} + s.memorySize) {
        return refuse(PeFault::SectionsOverlap, name + " overlaps an earlier section");
      }
    }
    sections.push_back(s);
  }

  // The entry point must be code the image says it runs.
  const bool entryInCode = std::any_of(sections.begin(), sections.end(), [&](const Section &s) {
    return (s.characteristics & (kSectionExecute | kSectionCode)) != 0 &&
           entryRva >= s.virtualAddress && entryRva < uint64_t{s.virtualAddress} + s.memorySize;
  });
  if (!entryInCode) {
    return refuse(PeFault::EntryOutside,
                  "entry point " + ToHex(entryRva, 8) + " is not inside an executable section");
  }

  uint32_t relocRva = 0;
  uint32_t relocSize = 0;
  if (directoryCount > kBaseRelocDirectory) {
    relocRva = r.U32(directories + 8 * kBaseRelocDirectory);
    relocSize = r.U32(directories + 8 * kBaseRelocDirectory + 4);
  }
  if (relocSize != 0 && uint64_t{relocRva} + relocSize > imageSize) {
    return refuse(PeFault::BadRelocations, "relocations lie outside the image");
  }

  // Map writable for copying and relocating; the protections come last.
  const size_t page = PageSize();
  Mapping map;
  map.length = (size_t{imageSize} + page - 1) / page * page;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
  if (machine == kMachineIa32) {
    flags |= MAP_32BIT;
  }
#endif
  map.base = mmap(nullptr, map.length, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (map.base == MAP_FAILED) {
    return refuse(PeFault::MapFailed, "cannot map " + std::to_string(imageSize) + " bytes");
  }
  const uint64_t actualBase = reinterpret_cast<uintptr_t>(map.base);
  if (machine == kMachineIa32 && actualBase + imageSize > (uint64_t{1} << 32)) {
    return refuse(PeFault::MapFailed, "cannot map the image below 4 GiB");
  }
  auto *mem = static_cast<uint8_t *>(map.base);
  std::memcpy(mem, r.Data(), headersSize);
  for (const Section &s : sections) {
    std::memcpy(mem + s.virtualAddress, r.Data() + s.rawOffset, std::min(s.rawSize, s.memorySize));
  }

  // Base relocations: every block inside the directory, every target inside
  // the image.
  const uint64_t delta = actualBase - preferredBase;
  if (delta != 0 && (fileCharacteristics & kFileRelocsStripped) != 0) {
    return refuse(PeFault::NotRelocatable,
                  "relocations stripped and the image cannot be placed at its preferred base");
  }
  size_t applied = 0;
  if (relocSize != 0) {
    Reader image(std::span<const uint8_t>(mem, imageSize));
    uint64_t at = relocRva;
    const uint64_t end = uint64_t{relocRva} + relocSize;
    while (at < end) {
      if (end - at < 8) {
        return refuse(PeFault::BadRelocations, "truncated relocation block");
      }
      const uint32_t pageRva = image.U32(at);
      const uint32_t blockSize = image.U32(at + 4);
      if (blockSize < 8 || blockSize > end - at || (blockSize & 1) != 0) {
        return refuse(PeFault::BadRelocations, "malformed relocation block at " + ToHex(at, 8));
      }
      for (uint64_t e = at + 8; e < at + blockSize; e += 2) {
        const uint16_t entry = image.U16(e);
        const uint16_t type = entry >> 12;
        const uint64_t target = uint64_t{pageRva} + (entry & 0x0FFF);
        if (type == kRelAbsolute) {
          continue;
        }
        const bool fits = (type == kRelDir64 && machine == kMachineX64) ||
                          (type == kRelHighLow && machine == kMachineIa32);
        if (!fits) {
          return refuse(PeFault::UnsupportedRelocation,
                        "relocation type " + std::to_string(type) + " at " + ToHex(target, 8));
        }
        const uint64_t width = type == kRelDir64 ? 8 : 4;
        if (target + width > imageSize) {
          return refuse(PeFault::RelocationOutOfRange,
                        "relocation target " + ToHex(target, 8) + " outside the image");
        }
        if (type == kRelDir64) {
          uint64_t value;
          std::memcpy(&value, mem + target, 8);
          value += delta;
          std::memcpy(mem + target, &value, 8);
        } else {
          uint32_t value;
          std::memcpy(&value, mem + target, 4);
          value += static_cast<uint32_t>(delta);
          std::memcpy(mem + target, &value, 4);
        }
        applied++;
      }
      at += blockSize;
    }
  }

  // Page protections as the sections ask, when they sit on page boundaries:
  // a stray write into code then faults instead of going unnoticed.
  const bool pageAligned = std::all_of(sections.begin(), sections.end(), [&](const Section &s) {
    return s.virtualAddress % page == 0;
  });
  if (pageAligned) {
    mprotect(mem, std::min<size_t>(map.length, (headersSize + page - 1) / page * page), PROT_READ);
    for (const Section &s : sections) {
      const size_t length = (size_t{s.memorySize} + page - 1) / page * page;
      int prot = PROT_READ;
      if ((s.characteristics & kSectionWrite) != 0) {
        prot |= PROT_WRITE;
      }
      if ((s.characteristics & (kSectionExecute | kSectionCode)) != 0) {
        prot |= PROT_EXEC;
      }
      if (length != 0) {
        mprotect(mem + s.virtualAddress, length, prot);
      }
    }
  } else {
    mprotect(mem, map.length, PROT_READ | PROT_WRITE | PROT_EXEC);
  }

  std::unique_ptr<PeImage> result(new PeImage());
  result->machine_ = machine;
  result->base_ = map.base;
  result->size_ = imageSize;
  result->mapped_ = map.length;
  result->preferredBase_ = preferredBase;
  result->entryRva_ = entryRva;
  result->relocations_ = applied;
  map.base = MAP_FAILED;
  return result;
}

PeImage::EntryPoint PeImage::Entry() const {
  return reinterpret_cast<EntryPoint>(static_cast<uint8_t *>(base_) + entryRva_);
}

} // namespace zem4::host
