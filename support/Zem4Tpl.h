// Task priority for the driver: the lock level and the one way to raise to it.
#ifndef ZEM4_SUPPORT_TPL_H
#define ZEM4_SUPPORT_TPL_H

#include "efi/Uefi.h"

// The driver's lock level. It is the level of every transfer notification, so
// holding it keeps them out, and it is the highest level at which UDP4 and its
// service binding may be called: every UDP4 call the driver makes under the
// lock stays legal.
#define ZEM4_TPL_LOCK TPL_CALLBACK

// The caller's task priority, left as it is.
EFI_TPL Zem4CurrentTpl(VOID);

// Raises to Tpl, or stays where the caller already is when that is higher: a
// raise never lowers. Returns the level to hand to RestoreTPL.
EFI_TPL Zem4RaiseTo(EFI_TPL Tpl);

// Zem4RaiseTo (ZEM4_TPL_LOCK).
EFI_TPL Zem4RaiseToLock(VOID);

// The caller runs where UDP4 may be called (TPL_CALLBACK or below). A call of
// ours that would reach UDP4 from higher up is refused before it changes
// anything.
BOOLEAN Zem4UdpCallable(VOID);

#endif
