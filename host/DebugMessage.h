// The firmware's debug-message service: a table of EFIAPI entries under
// gEfiDebugMessageProtocolGuid. Entry 2 answers whether a level is enabled,
// entry 6 records one line; the rest answer EFI_UNSUPPORTED.
#pragma once

#include "efi/Uefi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zem4::host {

class DebugMessageService {
public:
  struct Line {
    UINT32 level = 0;
    std::u16string tag;
    std::u16string text;
    // Narrow copies (characters above 0x7F become '?').
    std::string Text() const;
    std::string Tag() const;
  };

  // Longest text read from an emitter; guards against unterminated strings.
  static constexpr size_t kMaxChars = 1 << 16;

  DebugMessageService();

  EFI_DEBUG_MESSAGE_PROTOCOL *Protocol() { return &protocol_; }

  // Per-level mask for levels 0..63; every level starts enabled.
  void EnableLevel(UINT32 level, bool enabled);
  void SetMask(uint64_t mask) { mask_ = mask; }
  uint64_t Mask() const { return mask_; }
  bool IsLevelEnabled(UINT32 level) const;
  uint64_t EnabledQueries() const { return queries_; }

  EFI_STATUS Emit(UINT32 level, const CHAR16 *tag, const CHAR16 *text);
  const std::vector<Line> &Lines() const { return lines_; }
  // Narrow texts of every recorded line, in order.
  std::vector<std::string> Texts() const;
  void Clear() { lines_.clear(); }
  // Echo every emitted line to stderr as it arrives.
  void SetEcho(bool echo) { echo_ = echo; }

private:
  EFI_DEBUG_MESSAGE_PROTOCOL protocol_{};
  uint64_t mask_ = ~uint64_t(0);
  mutable uint64_t queries_ = 0;
  bool echo_ = false;
  std::vector<Line> lines_;
};

} // namespace zem4::host
