// Umbrella header: every UEFI type, table, protocol and GUID zem4 uses.
#ifndef ZEM4_EFI_UEFI_H
#define ZEM4_EFI_UEFI_H

#include "efi/DebugMessage.h"
#include "efi/DriverModel.h"
#include "efi/Guids.h"
#include "efi/Udp4.h"
#include "efi/UefiBase.h"
#include "efi/UefiTables.h"

#endif
