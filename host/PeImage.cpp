#include "host/PeImage.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace zem4::host {
namespace {

constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelHighLow = 3;
constexpr uint16_t kRelDir64 = 10;
constexpr uint32_t kBaseRelocDirectory = 5;
// A boot-service driver of this kind is tens of kilobytes; refuse absurd sizes.
constexpr uint32_t kMaxImageSize = 64u << 20;

// Bounds-checked little-endian reads over the file.
class Reader {
public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  uint16_t U16(uint64_t at) const { return static_cast<uint16_t>(bytes_[at] | bytes_[at + 1] << 8); }
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

std::string ToHex(uint16_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (int shift = 12; shift >= 0; shift -= 4) {
    out += digits[(value >> shift) & 0xF];
  }
  return out;
}

struct Section {
  uint32_t virtualSize, virtualAddress, rawSize, rawOffset;
};

} // namespace

PeImage::~PeImage() {
  if (base_ != nullptr) {
    munmap(base_, size_);
  }
}

std::unique_ptr<PeImage> PeImage::LoadFile(const std::string &path, uint16_t machine,
                                           std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Load(bytes, machine, error);
}

std::unique_ptr<PeImage> PeImage::Load(std::span<const uint8_t> file, uint16_t machine,
                                       std::string &error) {
  Reader r(file);
  auto refuse = [&](std::string why) {
    error = std::move(why);
    return std::unique_ptr<PeImage>();
  };

  if (!r.Has(0, 0x40) || r.U16(0) != 0x5A4D) {
    return refuse("not an image: no MZ header");
  }
  const uint32_t peOffset = r.U32(0x3C);
  if (!r.Has(peOffset, 24) || r.U32(peOffset) != 0x00004550) {
    return refuse("not an image: no PE signature");
  }
  const uint64_t coff = peOffset + 4;
  const uint16_t fileMachine = r.U16(coff);
  const uint16_t sectionCount = r.U16(coff + 2);
  const uint16_t optionalSize = r.U16(coff + 16);
  if (fileMachine != machine) {
    return refuse("wrong machine: image is for 0x" + ToHex(fileMachine) + ", this host runs 0x" +
                  ToHex(machine));
  }
  const uint64_t opt = coff + 20;
  if (!r.Has(opt, optionalSize) || optionalSize < 2) {
    return refuse("truncated optional header");
  }
  const uint16_t magic = r.U16(opt);
  const bool plus = magic == kMagicPe32Plus;
  if ((machine == kMachineX64 && magic != kMagicPe32Plus) ||
      (machine == kMachineIa32 && magic != kMagicPe32)) {
    return refuse("optional header magic does not match the machine");
  }
  const uint32_t minimumOptional = plus ? 112 : 96;
  if (optionalSize < minimumOptional) {
    return refuse("truncated optional header");
  }
  const uint32_t entryRva = r.U32(opt + 16);
  const uint64_t preferredBase = plus ? r.U64(opt + 24) : r.U32(opt + 28);
  const uint32_t imageSize = r.U32(opt + 56);
  const uint32_t headersSize = r.U32(opt + 60);
  const uint16_t subsystem = r.U16(opt + 68);
  const uint32_t directoryCount = r.U32(opt + (plus ? 108 : 92));
  const uint64_t directories = opt + (plus ? 112 : 96);
  if (subsystem != kSubsystemBootServiceDriver) {
    return refuse("subsystem " + std::to_string(subsystem) + " is not a boot-service driver");
  }
  if (imageSize == 0 || imageSize > kMaxImageSize || headersSize > imageSize ||
      headersSize > r.Size()) {
    return refuse("image size out of range");
  }
  if (entryRva == 0 || entryRva >= imageSize) {
    return refuse("entry point outside the image");
  }
  if (directoryCount > 16 || directories + 8ull * directoryCount > opt + optionalSize) {
    return refuse("bad data directory count");
  }

  // Sections: inside the file, inside the image, not overlapping one another.
  const uint64_t sectionTable = opt + optionalSize;
  if (!r.Has(sectionTable, 40ull * sectionCount)) {
    return refuse("truncated section table");
  }
  std::vector<Section> sections;
  for (uint16_t i = 0; i < sectionCount; i++) {
    const uint64_t at = sectionTable + 40ull * i;
    Section s{r.U32(at + 8), r.U32(at + 12), r.U32(at + 16), r.U32(at + 20)};
    const uint64_t span = std::max<uint64_t>(s.virtualSize, s.rawSize);
    if (s.virtualAddress < headersSize || s.virtualAddress + span > imageSize) {
      return refuse("section " + std::to_string(i) + " lies outside the image");
    }
    if (s.rawSize != 0 && !r.Has(s.rawOffset, s.rawSize)) {
      return refuse("section " + std::to_string(i) + " lies beyond the file");
    }
    for (const Section &o : sections) {
      const uint64_t oSpan = std::max<uint64_t>(o.virtualSize, o.rawSize);
      if (s.virtualAddress < o.virtualAddress + oSpan && o.virtualAddress < s.virtualAddress + span) {
        return refuse("sections overlap");
      }
    }
    sections.push_back(s);
  }

  std::unique_ptr<PeImage> image(new PeImage());
  image->machine_ = machine;
  image->size_ = imageSize;
  image->preferredBase_ = preferredBase;
  image->entryRva_ = entryRva;
  void *base = mmap(nullptr, imageSize, PROT_READ | PROT_WRITE | PROT_EXEC,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) {
    return refuse("cannot map the image");
  }
  image->base_ = base;
  auto *mem = static_cast<uint8_t *>(base);
  std::memcpy(mem, r.Data(), headersSize);
  for (const Section &s : sections) {
    std::memcpy(mem + s.virtualAddress, r.Data() + s.rawOffset,
                std::min(s.rawSize, std::max(s.virtualSize, s.rawSize)));
  }

  // Base relocations: every block and entry inside the image.
  const uint64_t delta = reinterpret_cast<uintptr_t>(base) - preferredBase;
  if (directoryCount > kBaseRelocDirectory) {
    const uint32_t relocRva = r.U32(directories + 8 * kBaseRelocDirectory);
    const uint32_t relocSize = r.U32(directories + 8 * kBaseRelocDirectory + 4);
    if (relocSize != 0) {
      if (static_cast<uint64_t>(relocRva) + relocSize > imageSize) {
        return refuse("relocations lie outside the image");
      }
      uint64_t at = relocRva;
      const uint64_t end = static_cast<uint64_t>(relocRva) + relocSize;
      Reader image_r(std::span<const uint8_t>(mem, imageSize));
      while (at + 8 <= end) {
        const uint32_t page = image_r.U32(at);
        const uint32_t blockSize = image_r.U32(at + 4);
        if (blockSize < 8 || at + blockSize > end || (blockSize & 1) != 0) {
          return refuse("malformed relocation block");
        }
        for (uint64_t e = at + 8; e < at + blockSize; e += 2) {
          const uint16_t entry = image_r.U16(e);
          const uint16_t type = entry >> 12;
          const uint64_t target = static_cast<uint64_t>(page) + (entry & 0x0FFF);
          if (type == kRelAbsolute) {
            continue;
          }
          const uint64_t width = type == kRelDir64 ? 8 : 4;
          if ((type == kRelDir64 && machine != kMachineX64) ||
              (type == kRelHighLow && machine != kMachineIa32) ||
              (type != kRelDir64 && type != kRelHighLow)) {
            return refuse("unsupported relocation type " + std::to_string(type));
          }
          if (target + width > imageSize) {
            return refuse("relocation target out of range");
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
        }
        at += blockSize;
      }
    }
  }
  return image;
}

PeImage::EntryPoint PeImage::Entry() const {
  return reinterpret_cast<EntryPoint>(static_cast<uint8_t *>(base_) + entryRva_);
}

} // namespace zem4::host
