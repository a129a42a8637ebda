// Wide-character message formatter of the diagnostic log.
#ifndef ZEM4_SUPPORT_FORMAT_WIDE_H
#define ZEM4_SUPPORT_FORMAT_WIDE_H

#include "efi/UefiBase.h"

// Formats the wide Format into Buffer, which holds Capacity characters
// including the terminator. Output is cut to fit and always terminated
// (when Capacity > 0). Each directive reads one UINTN argument, or a UINT64
// with 'l'/'L'. Returns the characters written plus one for the terminator
// (0 when Capacity is 0).
UINTN FormatWide(CHAR16 *Buffer, UINTN Capacity, const CHAR16 *Format, va_list Args);

// The same, with the arguments given directly.
UINTN FormatWideArgs(CHAR16 *Buffer, UINTN Capacity, const CHAR16 *Format, ...);

// Status-name table: the text for Status, or NULL when the table lacks it.
const CHAR8 *StatusName(EFI_STATUS Status);

#endif
