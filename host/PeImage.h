// A UEFI driver image (PE32 or PE32+) read from bytes, checked, mapped into
// memory at whatever base the host gives and relocated there. Anything
// malformed is refused with a reason; nothing of it ever runs.
#pragma once

#include "efi/Uefi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace zem4::host {

inline constexpr uint16_t kMachineIa32 = 0x014C;
inline constexpr uint16_t kMachineX64 = 0x8664;
inline constexpr uint16_t kSubsystemBootServiceDriver = 11;

// The machine whose images this process can call into.
#if defined(__x86_64__)
inline constexpr uint16_t kHostMachine = kMachineX64;
#else
inline constexpr uint16_t kHostMachine = kMachineIa32;
#endif

// Why an image was refused.
enum class PeFault {
  None,
  NotAnImage,           // no MZ header or PE signature
  WrongMachine,         // built for another machine
  WrongMagic,           // optional header magic does not fit the machine
  WrongSubsystem,       // not a boot-service driver
  Truncated,            // a header or table runs past the end of the file
  BadHeader,            // sizes or counts that make no sense
  EntryOutside,         // entry point not inside an executable section
  SectionOutside,       // a section lies (partly) outside SizeOfImage or over the headers
  SectionBeyondFile,    // a section's file data runs past the end of the file
  SectionsOverlap,      // two sections share an address
  BadRelocations,       // relocation directory or block malformed
  RelocationOutOfRange, // a relocation patches bytes outside the image
  UnsupportedRelocation,
  NotRelocatable, // relocations stripped but the image cannot sit at its base
  MapFailed,
};

const char *PeFaultName(PeFault fault);

class PeImage {
public:
  ~PeImage();
  PeImage(const PeImage &) = delete;
  PeImage &operator=(const PeImage &) = delete;

  // `machine` is the one the image must be for (kHostMachine to run it). An
  // IA32 image is always mapped below 4 GiB, so that its 32-bit addresses are
  // real ones even when a 64-bit process maps it only to look at it. Null
  // with `error` (and `fault`) set when refused.
  static std::unique_ptr<PeImage> Load(std::span<const uint8_t> file, uint16_t machine,
                                       std::string &error, PeFault *fault = nullptr);
  static std::unique_ptr<PeImage> LoadFile(const std::string &path, uint16_t machine,
                                           std::string &error, PeFault *fault = nullptr);

  // The COFF machine a file says it is for, without checking anything else;
  // nullopt when it is no PE file at all.
  static std::optional<uint16_t> MachineOf(std::span<const uint8_t> file);
  static std::optional<uint16_t> MachineOfFile(const std::string &path);

  uint16_t Machine() const { return machine_; }
  void *Base() const { return base_; }
  size_t Size() const { return size_; }
  uint64_t PreferredBase() const { return preferredBase_; }
  uint32_t EntryRva() const { return entryRva_; }
  // Relocations applied (padding entries not counted).
  size_t RelocationsApplied() const { return relocations_; }
  // The entry point as the firmware calls it; meaningful only when Machine()
  // is kHostMachine.
  using EntryPoint = EFI_STATUS(EFIAPI *)(EFI_HANDLE image, EFI_SYSTEM_TABLE *systemTable);
  EntryPoint Entry() const;

private:
  PeImage() = default;

  uint16_t machine_ = 0;
  void *base_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  size_t relocations_ = 0;
};

} // namespace zem4::host
