// The image loader on damaged images: it refuses or maps, never reads or
// writes outside the file or the mapping, and what it maps is whole.
//
// The first byte picks the machine and the mode. In raw mode the rest is the
// file. In patch mode the rest is a list of (offset, byte) pokes into a small
// valid driver image made here, so that the fuzzer starts deep inside the
// loader instead of at the MZ check.
#include "host/PeImage.h"
#include "tests/images/PeImage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using zem4::host::kMachineIa32;
using zem4::host::kMachineX64;

using zem4::test::Put16;
using zem4::test::Put32;
using zem4::test::Put64;

// Headers at 0, .text at RVA 0x1000, .data at 0x2000 holding two absolute
// addresses, .reloc at 0x3000 with one block fixing them.
std::vector<uint8_t> MakeImage(uint16_t machine) {
  const bool plus = machine == kMachineX64;
  const uint64_t base = plus ? 0x180000000ull : 0x10000000ull;
  std::vector<uint8_t> f(0x800, 0);
  f[0] = 'M';
  f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  std::memcpy(&f[0x40], "PE\0\0", 4);
  const size_t coff = 0x44;
  const uint16_t optSize = plus ? 0xF0 : 0xE0;
  Put16(f, coff, machine);
  Put16(f, coff + 2, 3);
  Put16(f, coff + 16, optSize);
  Put16(f, coff + 18, 0x2022);
  const size_t opt = coff + 20;
  Put16(f, opt, plus ? 0x020B : 0x010B);
  Put32(f, opt + 16, 0x1000);
  if (plus) {
    Put64(f, opt + 24, base);
  } else {
    Put32(f, opt + 28, static_cast<uint32_t>(base));
  }
  Put32(f, opt + 32, 0x1000);
  Put32(f, opt + 36, 0x200);
  Put32(f, opt + 56, 0x4000);
  Put32(f, opt + 60, 0x200);
  Put16(f, opt + 68, zem4::host::kSubsystemBootServiceDriver);
  const size_t dirs = opt + (plus ? 112 : 96);
  Put32(f, opt + (plus ? 108 : 92), 16);
  Put32(f, dirs + 8 * 5, 0x3000);
  Put32(f, dirs + 8 * 5 + 4, 12);
  struct S {
    const char *name;
    uint32_t rva, raw, characteristics;
  };
  const S sections[] = {{".text", 0x1000, 0x200, 0x60000020},
                        {".data", 0x2000, 0x400, 0xC0000040},
                        {".reloc", 0x3000, 0x600, 0x42000040}};
  size_t at = opt + optSize;
  for (const S &s : sections) {
    std::memcpy(&f[at], s.name, std::strlen(s.name));
    Put32(f, at + 8, 0x100);
    Put32(f, at + 12, s.rva);
    Put32(f, at + 16, 0x200);
    Put32(f, at + 20, s.raw);
    Put32(f, at + 36, s.characteristics);
    at += 40;
  }
  f[0x200] = 0xC3; // ret
  const uint16_t type = plus ? 10 : 3;
  if (plus) {
    Put64(f, 0x400 + 0x10, base + 0x1000);
    Put64(f, 0x400 + 0x18, base + 0x2000);
  } else {
    Put32(f, 0x400 + 0x10, static_cast<uint32_t>(base + 0x1000));
    Put32(f, 0x400 + 0x18, static_cast<uint32_t>(base + 0x2000));
  }
  Put32(f, 0x600, 0x2000);
  Put32(f, 0x604, 12);
  Put16(f, 0x608, static_cast<uint16_t>(type << 12 | 0x10));
  Put16(f, 0x60A, static_cast<uint16_t>(type << 12 | 0x18));
  return f;
}

} // namespace

// The untouched templates must load, or the pokes would explore only refusals.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  for (uint16_t machine : {kMachineIa32, kMachineX64}) {
    std::string error;
    if (zem4::host::PeImage::Load(MakeImage(machine), machine, error) == nullptr) {
      std::fprintf(stderr, "template image refused: %s\n", error.c_str());
      std::abort();
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size == 0) {
    return 0;
  }
  const uint16_t machine = (Data[0] & 1) != 0 ? kMachineIa32 : kMachineX64;
  std::vector<uint8_t> file;
  if ((Data[0] & 2) != 0) {
    file.assign(Data + 1, Data + Size);
  } else {
    file = MakeImage(machine);
    for (size_t i = 1; i + 3 <= Size; i += 3) {
      const size_t offset = (Data[i] | Data[i + 1] << 8) % file.size();
      file[offset] = Data[i + 2];
    }
    if ((Data[0] & 4) != 0) {
      file.resize(Data[Size - 1] * file.size() / 256); // a cut somewhere
    }
  }
  // An exact-size heap copy: any read past the end trips the sanitizer.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size() + 1]);
  if (!file.empty()) {
    std::memcpy(exact.get(), file.data(), file.size());
  }

  std::string error;
  zem4::host::PeFault fault = zem4::host::PeFault::None;
  auto image = zem4::host::PeImage::Load(std::span<const uint8_t>(exact.get(), file.size()),
                                         machine, error, &fault);
  if (image == nullptr) {
    if (fault == zem4::host::PeFault::None || error.empty()) {
      std::abort(); // refused without a reason
    }
    return 0;
  }
  if (fault != zem4::host::PeFault::None || image->Size() == 0 || image->Size() > (64u << 20) ||
      image->EntryRva() >= image->Size()) {
    std::abort();
  }
  const auto base = reinterpret_cast<uintptr_t>(image->Base());
  if (machine == kMachineIa32 && base + image->Size() > (uint64_t{1} << 32)) {
    std::abort();
  }
  // Every byte of the image is mapped and readable.
  volatile uint8_t sink = 0;
  const auto *mem = static_cast<const uint8_t *>(image->Base());
  for (size_t i = 0; i < image->Size(); i += 512) {
    sink = sink + mem[i];
  }
  sink = sink + mem[image->Size() - 1];
  (void)sink;
  return 0;
}
