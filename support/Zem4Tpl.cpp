#include "support/Zem4Tpl.h"

#include "support/Globals.h"

EFI_TPL Zem4RaiseTo(EFI_TPL Tpl) {
  // To the top first, which tells where we were, then down to the level we
  // want: nothing at or below it can run in between.
  EFI_TPL Current = gBS->RaiseTPL(TPL_HIGH_LEVEL);
  gBS->RestoreTPL(Current > Tpl ? Current : Tpl);
  return Current;
}

EFI_TPL Zem4RaiseToLock(VOID) {
  return Zem4RaiseTo(ZEM4_TPL_LOCK);
}

BOOLEAN Zem4CalledAbove(EFI_TPL Limit) {
  // Raising to the top is legal from any level and returns where we were.
  EFI_TPL Current = gBS->RaiseTPL(TPL_HIGH_LEVEL);
  gBS->RestoreTPL(Current);
  return (BOOLEAN)(Current > Limit);
}
