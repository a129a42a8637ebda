#include "support/Zem4Assert.h"

#include "support/DiagLog.h"

#ifdef ZEM4_EFI_IMAGE
BOOLEAN gZem4AssertRecovers = TRUE;
#else
BOOLEAN gZem4AssertRecovers = FALSE;
#endif

BOOLEAN Zem4AssertFailed(const CHAR8 *Condition, const CHAR8 *File, UINTN Line) {
  // The file's name only: the path depends on the tree it was built in.
  const CHAR8 *Name = File;
  for (const CHAR8 *At = File; *At != 0; At++) {
    if (*At == '/' || *At == '\\') {
      Name = At + 1;
    }
  }
  DiagLog(DIAG_ERROR, "ZEM4_ASSERT: %a failed at %a:%d\n", Condition, Name, Line);
#ifndef ZEM4_EFI_IMAGE
  if (!gZem4AssertRecovers) {
    __builtin_trap();
  }
#endif
  return FALSE;
}
