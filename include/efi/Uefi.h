// Umbrella header: every UEFI type, table, protocol and GUID zem4 uses.
#ifndef ZEM4_EFI_UEFI_H
#define ZEM4_EFI_UEFI_H

#include "efi/UefiBase.h"
#include "efi/UefiTables.h"
#include "efi/DriverModel.h"
#include "efi/Udp4.h"
#include "efi/DebugMessage.h"
#include "efi/Guids.h"

#endif
