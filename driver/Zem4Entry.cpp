// Image entry point. For now it only records the firmware's tables; the
// driver binding and its protocols are installed here once they exist.
#include "efi/Uefi.h"
#include "support/Globals.h"

extern "C" EFI_STATUS EFIAPI Zem4DriverEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  return EFI_SUCCESS;
}
