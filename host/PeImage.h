// A UEFI driver image (PE32 or PE32+) read from bytes, checked, mapped into
// executable memory at whatever base the host gives and relocated there.
// Anything malformed is refused with a reason; nothing of it ever runs.
#pragma once

#include "efi/Uefi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zem4::host {

inline constexpr uint16_t kMachineIa32 = 0x014C;
inline constexpr uint16_t kMachineX64 = 0x8664;
inline constexpr uint16_t kSubsystemBootServiceDriver = 11;

class PeImage {
public:
  ~PeImage();
  PeImage(const PeImage &) = delete;
  PeImage &operator=(const PeImage &) = delete;

  // `machine` is the one this host can run (kMachineX64 on x86-64 hosts,
  // kMachineIa32 in the 32-bit runner). Null with `error` set when refused.
  static std::unique_ptr<PeImage> Load(std::span<const uint8_t> file, uint16_t machine,
                                       std::string &error);
  static std::unique_ptr<PeImage> LoadFile(const std::string &path, uint16_t machine,
                                           std::string &error);

  uint16_t Machine() const { return machine_; }
  void *Base() const { return base_; }
  size_t Size() const { return size_; }
  uint64_t PreferredBase() const { return preferredBase_; }
  // The entry point as the firmware calls it.
  using EntryPoint = EFI_STATUS(EFIAPI *)(EFI_HANDLE image, EFI_SYSTEM_TABLE *systemTable);
  EntryPoint Entry() const;

private:
  PeImage() = default;

  uint16_t machine_ = 0;
  void *base_ = nullptr;
  size_t size_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
};

} // namespace zem4::host
