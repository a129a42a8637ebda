#include "host/DebugMessage.h"
#include "host/Firmware.h"

#include <cstdio>
#include <cstdlib>

namespace zem4::host {

namespace {

// The entries get no This pointer: they serve the current firmware's service.
DebugMessageService *Service() {
  Firmware *fw = Firmware::Current();
  return fw ? &fw->Debug() : nullptr;
}

EFI_STATUS EFIAPI Unsupported() {
  return EFI_UNSUPPORTED;
}

BOOLEAN EFIAPI IsLevelEnabledEntry(UINT32 level, UINTN, UINTN) {
  DebugMessageService *s = Service();
  return s && s->IsLevelEnabled(level) ? TRUE : FALSE;
}

EFI_STATUS EFIAPI EmitEntry(UINT32 level, CHAR16 *tag, CHAR16 *text) {
  DebugMessageService *s = Service();
  return s ? s->Emit(level, tag, text) : EFI_NOT_READY;
}

std::u16string Copy(const CHAR16 *s) {
  std::u16string out;
  for (size_t i = 0; i < DebugMessageService::kMaxChars && s[i] != 0; ++i)
    out.push_back(s[i]);
  return out;
}

std::string Narrow(const std::u16string &s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s)
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

} // namespace

std::string DebugMessageService::Line::Text() const {
  return Narrow(text);
}
std::string DebugMessageService::Line::Tag() const {
  return Narrow(tag);
}

DebugMessageService::DebugMessageService() {
  // ZEM4_DEBUG_ECHO=1 in the environment shows every line while debugging.
  if (const char *echo = std::getenv("ZEM4_DEBUG_ECHO"))
    echo_ = echo[0] != '\0' && echo[0] != '0';
  protocol_.Entry0 = Unsupported;
  protocol_.Entry1 = Unsupported;
  protocol_.IsLevelEnabled = IsLevelEnabledEntry;
  protocol_.Entry3 = Unsupported;
  protocol_.Entry4 = Unsupported;
  protocol_.Entry5 = Unsupported;
  protocol_.Emit = EmitEntry;
}

void DebugMessageService::EnableLevel(UINT32 level, bool enabled) {
  if (level >= 64)
    return;
  if (enabled)
    mask_ |= uint64_t(1) << level;
  else
    mask_ &= ~(uint64_t(1) << level);
}

bool DebugMessageService::IsLevelEnabled(UINT32 level) const {
  ++queries_;
  return level < 64 ? (mask_ >> level) & 1 : mask_ == ~uint64_t(0);
}

EFI_STATUS DebugMessageService::Emit(UINT32 level, const CHAR16 *tag, const CHAR16 *text) {
  if (tag == nullptr || text == nullptr)
    return EFI_INVALID_PARAMETER;
  Line line{level, Copy(tag), Copy(text)};
  if (echo_)
    std::fprintf(stderr, "[%s:%u] %s", line.Tag().c_str(), static_cast<unsigned>(level),
                 line.Text().c_str());
  lines_.push_back(std::move(line));
  return EFI_SUCCESS;
}

std::vector<std::string> DebugMessageService::Texts() const {
  std::vector<std::string> out;
  for (const auto &l : lines_)
    out.push_back(l.Text());
  return out;
}

} // namespace zem4::host
