// The EFIAPI entry points of the Boot Services table; each serves
// Firmware::Current().
#pragma once

#include "efi/Uefi.h"

namespace zem4::host {

// Fills all 44 slots and the header (CRC included).
void FillBootServices(EFI_BOOT_SERVICES &bs);
// CRC-32 (polynomial 0x04C11DB7, reflected) as the table headers use it.
UINT32 Crc32(const void *data, size_t size);

} // namespace zem4::host
