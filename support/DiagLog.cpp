#include "support/DiagLog.h"
#include "support/FormatWide.h"
#include "support/Globals.h"

namespace {

// Found on the first call and kept until DiagLogReset.
EFI_DEBUG_MESSAGE_PROTOCOL *mDebugMessage = nullptr;

CHAR16 mSourceTag[] = u"TORBELIX";

} // namespace

VOID DiagLogReset() {
  mDebugMessage = nullptr;
}

UINTN DiagLog(UINT32 Level, const CHAR8 *Format, ...) {
  if (mDebugMessage == nullptr) {
    if (gBS == nullptr) {
      return EFI_NOT_READY;
    }
    VOID *Interface = nullptr;
    EFI_STATUS Status = gBS->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, &Interface);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    if (Interface == nullptr) {
      return EFI_NOT_FOUND;
    }
    mDebugMessage = static_cast<EFI_DEBUG_MESSAGE_PROTOCOL *>(Interface);
  }

  // Asked before any formatting, so a disabled level costs one call.
  if (!mDebugMessage->IsLevelEnabled(Level, 0, 0)) {
    return 0;
  }
  if (Format == nullptr) {
    return 0;
  }

  // Widen byte by byte (zero-extended), dropping formats that do not fit.
  CHAR16 WideFormat[DIAG_LINE_CAPACITY + 1];
  UINTN Length = 0;
  for (; Format[Length] != 0; Length++) {
    if (Length == DIAG_LINE_CAPACITY) {
      return 0;
    }
    WideFormat[Length] = static_cast<CHAR16>(static_cast<UINT8>(Format[Length]));
  }
  WideFormat[Length] = 0;

  CHAR16 Line[DIAG_LINE_CAPACITY];
  va_list Args;
  va_start(Args, Format);
  UINTN Count = FormatWide(Line, DIAG_LINE_CAPACITY, WideFormat, Args);
  va_end(Args);

  mDebugMessage->Emit(Level, mSourceTag, Line);
  return Count;
}
