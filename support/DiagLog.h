// Diagnostic log: formats a narrow message and hands it, as one wide line, to
// the firmware's debug-message service under the source tag "TORBELIX".
#ifndef ZEM4_SUPPORT_DIAG_LOG_H
#define ZEM4_SUPPORT_DIAG_LOG_H

#include "efi/Uefi.h"

#define DIAG_NOTICE 2u
#define DIAG_ERROR 4u

// Line buffer size in wide characters, terminator included; longer formats
// are dropped.
#define DIAG_LINE_CAPACITY 320u

// Returns the locate status when the service is missing, 0 when the level is
// disabled or the format is too long, else the characters written including
// the terminator. Callers ignore the result.
UINTN DiagLog(UINT32 Level, const CHAR8 *Format, ...);

// Forgets the cached debug-message service (fresh firmware, new entry).
VOID DiagLogReset();

#endif
