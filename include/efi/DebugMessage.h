// The firmware's debug-message service: a table of EFIAPI entries of which
// the driver calls two (is a level enabled; emit one line).
#ifndef ZEM4_EFI_DEBUG_MESSAGE_H
#define ZEM4_EFI_DEBUG_MESSAGE_H

#include "efi/UefiBase.h"

// Entries the driver never calls; a firmware answers them EFI_UNSUPPORTED.
typedef EFI_STATUS(EFIAPI *EFI_DEBUG_MESSAGE_OTHER)(VOID);
// Entry 2: is Level enabled (the two words are passed as 0).
typedef BOOLEAN(EFIAPI *EFI_DEBUG_MESSAGE_IS_ENABLED)(UINT32 Level, UINTN Reserved1,
                                                      UINTN Reserved2);
// Entry 6: emit one line of Text under the source Tag.
typedef EFI_STATUS(EFIAPI *EFI_DEBUG_MESSAGE_EMIT)(UINT32 Level, CHAR16 *Tag, CHAR16 *Text);

struct EFI_DEBUG_MESSAGE_PROTOCOL {
  EFI_DEBUG_MESSAGE_OTHER Entry0;
  EFI_DEBUG_MESSAGE_OTHER Entry1;
  EFI_DEBUG_MESSAGE_IS_ENABLED IsLevelEnabled;
  EFI_DEBUG_MESSAGE_OTHER Entry3;
  EFI_DEBUG_MESSAGE_OTHER Entry4;
  EFI_DEBUG_MESSAGE_OTHER Entry5;
  EFI_DEBUG_MESSAGE_EMIT Emit;
};

static_assert(offsetof(EFI_DEBUG_MESSAGE_PROTOCOL, IsLevelEnabled) == 2 * sizeof(void *) &&
                  offsetof(EFI_DEBUG_MESSAGE_PROTOCOL, Emit) == 6 * sizeof(void *) &&
                  sizeof(EFI_DEBUG_MESSAGE_PROTOCOL) == EFI_LAYOUT(28, 56),
              "EFI_DEBUG_MESSAGE_PROTOCOL");

#endif
