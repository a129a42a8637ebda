// Task priority for the driver: the lock level and the one way to raise to it.
#ifndef ZEM4_SUPPORT_TPL_H
#define ZEM4_SUPPORT_TPL_H

#include "efi/Uefi.h"

// The driver's lock level. It is the level of every transfer notification, so
// holding it keeps them out, and it is the highest level at which UDP4 and its
// service binding may be called: every UDP4 call the driver makes under the
// lock stays legal.
#define ZEM4_TPL_LOCK TPL_CALLBACK

// Raises to Tpl, or stays where the caller already is when that is higher: a
// raise never lowers. Returns the level to hand to RestoreTPL.
EFI_TPL Zem4RaiseTo(EFI_TPL Tpl);

// Zem4RaiseTo (ZEM4_TPL_LOCK).
EFI_TPL Zem4RaiseToLock(VOID);

// The one level rule of the entry points: a call made above Limit is refused
// before it changes anything. Limit is TPL_CALLBACK for a call that may reach
// UDP4 (which may not be called from higher up), TPL_NOTIFY for one that only
// takes pool memory. The level is found out, not changed.
BOOLEAN Zem4CalledAbove(EFI_TPL Limit);

#endif
