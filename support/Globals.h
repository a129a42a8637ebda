// Module-wide firmware pointers, set by the driver's entry point (or a test
// fixture) each time it runs.
#ifndef ZEM4_SUPPORT_GLOBALS_H
#define ZEM4_SUPPORT_GLOBALS_H

#include "efi/Uefi.h"

extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;

#endif
