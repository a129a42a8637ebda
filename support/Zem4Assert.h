// ZEM4_ASSERT: an invariant of the driver's own making (a signature, a window
// bound, a mode with a row, a list in order), written as an expression that is
// TRUE when it holds:
//
//   if (!ZEM4_ASSERT(Row != NULL)) { return; }
//
// A broken invariant is logged through the diagnostic log. The host, debug and
// fuzz builds then abort, so a test or a fuzz run stops at the fault; the
// images go on with FALSE and the caller takes its error path, since a boot
// should fail its transfer rather than the machine.
#ifndef ZEM4_SUPPORT_ASSERT_H
#define ZEM4_SUPPORT_ASSERT_H

#include "efi/Uefi.h"

// TRUE in the images; a host test may set it to see what an image would do.
extern BOOLEAN gZem4AssertRecovers;

// Logs "ZEM4_ASSERT: <Condition> failed at <File>:<Line>", aborts unless
// gZem4AssertRecovers, and returns FALSE.
BOOLEAN Zem4AssertFailed(const CHAR8 *Condition, const CHAR8 *File, UINTN Line);

#define ZEM4_ASSERT(Condition)                                                                     \
  ((BOOLEAN)((Condition) ? TRUE : Zem4AssertFailed(#Condition, __FILE__, (UINTN)__LINE__)))

#endif
