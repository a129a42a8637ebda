// GUIDs of the protocols zem4 meets; the variables live in support/Guids.cpp.
#ifndef ZEM4_EFI_GUIDS_H
#define ZEM4_EFI_GUIDS_H

#include "efi/UefiBase.h"

#define EFI_LOADED_IMAGE_PROTOCOL_GUID                                                             \
  {                                                                                                \
    0x5B1B31A1, 0x9562, 0x11D2, {                                                                  \
      0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B                                               \
    }                                                                                              \
  }
#define EFI_LOADED_IMAGE_DEVICE_PATH_PROTOCOL_GUID                                                 \
  {                                                                                                \
    0xBC62157E, 0x3E33, 0x4FEC, {                                                                  \
      0x99, 0x20, 0x2D, 0x3B, 0x36, 0xD7, 0x50, 0xDF                                               \
    }                                                                                              \
  }
#define EFI_DRIVER_BINDING_PROTOCOL_GUID                                                           \
  {                                                                                                \
    0x18A031AB, 0xB443, 0x4D1A, {                                                                  \
      0xA5, 0xC0, 0x0C, 0x09, 0x26, 0x1E, 0x9F, 0x71                                               \
    }                                                                                              \
  }
#define EFI_COMPONENT_NAME_PROTOCOL_GUID                                                           \
  {                                                                                                \
    0x107A772C, 0xD5E1, 0x11D4, {                                                                  \
      0x9A, 0x46, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D                                               \
    }                                                                                              \
  }
#define EFI_COMPONENT_NAME2_PROTOCOL_GUID                                                          \
  {                                                                                                \
    0x6A7A5CFF, 0xE8D9, 0x4F70, {                                                                  \
      0xBA, 0xDA, 0x75, 0xAB, 0x30, 0x25, 0xCE, 0x14                                               \
    }                                                                                              \
  }
#define EFI_DRIVER_CONFIGURATION_PROTOCOL_GUID                                                     \
  {                                                                                                \
    0x107A772B, 0xD5E1, 0x11D4, {                                                                  \
      0x9A, 0x46, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D                                               \
    }                                                                                              \
  }
#define EFI_DRIVER_DIAGNOSTICS_PROTOCOL_GUID                                                       \
  {                                                                                                \
    0x0784924F, 0xE296, 0x11D4, {                                                                  \
      0x9A, 0x49, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D                                               \
    }                                                                                              \
  }
#define EFI_DRIVER_DIAGNOSTICS2_PROTOCOL_GUID                                                      \
  {                                                                                                \
    0x4D330321, 0x025F, 0x4AAC, {                                                                  \
      0x90, 0xD8, 0x5E, 0xD9, 0x00, 0x17, 0x3B, 0x63                                               \
    }                                                                                              \
  }
#define EFI_UDP4_SERVICE_BINDING_PROTOCOL_GUID                                                     \
  {                                                                                                \
    0x83F01464, 0x99BD, 0x45E5, {                                                                  \
      0xB3, 0x83, 0xAF, 0x63, 0x05, 0xD8, 0xE9, 0xE6                                               \
    }                                                                                              \
  }
#define EFI_UDP4_PROTOCOL_GUID                                                                     \
  {                                                                                                \
    0x3AD9DF29, 0x4501, 0x478D, {                                                                  \
      0xB1, 0xF8, 0x7F, 0x7F, 0xE7, 0x0E, 0x50, 0xF3                                               \
    }                                                                                              \
  }
#define EFI_IP4_SERVICE_BINDING_PROTOCOL_GUID                                                      \
  {                                                                                                \
    0xC51711E7, 0xB4BF, 0x404A, {                                                                  \
      0xBF, 0xB8, 0x0A, 0x04, 0x8E, 0xF1, 0xFF, 0xE4                                               \
    }                                                                                              \
  }
#define EFI_IP4_PROTOCOL_GUID                                                                      \
  {                                                                                                \
    0x41D94CD2, 0x35B6, 0x455A, {                                                                  \
      0x82, 0x58, 0xD4, 0xE5, 0x13, 0x34, 0xAA, 0xDD                                               \
    }                                                                                              \
  }
#define EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID                                          \
  {                                                                                                \
    0xF36FF770, 0xA7E1, 0x42CF, {                                                                  \
      0x9E, 0xD2, 0x56, 0xF0, 0xF2, 0x71, 0xF4, 0x4C                                               \
    }                                                                                              \
  }
#define EFI_MANAGED_NETWORK_PROTOCOL_GUID                                                          \
  {                                                                                                \
    0x7AB33A91, 0xACE5, 0x4326, {                                                                  \
      0xB5, 0x72, 0xE7, 0xEE, 0x33, 0xD3, 0x9F, 0x16                                               \
    }                                                                                              \
  }
#define EFI_SIMPLE_NETWORK_PROTOCOL_GUID                                                           \
  {                                                                                                \
    0xA19832B9, 0xAC25, 0x11D3, {                                                                  \
      0x9A, 0x2D, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D                                               \
    }                                                                                              \
  }
#define EFI_DEBUG_MESSAGE_PROTOCOL_GUID                                                            \
  {                                                                                                \
    0x5B1B31A2, 0x9563, 0x11D3, {                                                                  \
      0x8F, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3C                                               \
    }                                                                                              \
  }

extern const EFI_GUID gEfiLoadedImageProtocolGuid;
extern const EFI_GUID gEfiLoadedImageDevicePathProtocolGuid;
extern const EFI_GUID gEfiDriverBindingProtocolGuid;
extern const EFI_GUID gEfiComponentNameProtocolGuid;
extern const EFI_GUID gEfiComponentName2ProtocolGuid;
extern const EFI_GUID gEfiDriverConfigurationProtocolGuid;
extern const EFI_GUID gEfiDriverDiagnosticsProtocolGuid;
extern const EFI_GUID gEfiDriverDiagnostics2ProtocolGuid;
extern const EFI_GUID gEfiUdp4ServiceBindingProtocolGuid;
extern const EFI_GUID gEfiUdp4ProtocolGuid;
extern const EFI_GUID gEfiIp4ServiceBindingProtocolGuid;
extern const EFI_GUID gEfiIp4ProtocolGuid;
extern const EFI_GUID gEfiManagedNetworkServiceBindingProtocolGuid;
extern const EFI_GUID gEfiManagedNetworkProtocolGuid;
extern const EFI_GUID gEfiSimpleNetworkProtocolGuid;
extern const EFI_GUID gEfiDebugMessageProtocolGuid;

// Byte-wise equality; freestanding code has no memcmp.
inline BOOLEAN EfiGuidEqual(const EFI_GUID *A, const EFI_GUID *B) {
  const UINT8 *Pa = reinterpret_cast<const UINT8 *>(A);
  const UINT8 *Pb = reinterpret_cast<const UINT8 *>(B);
  for (UINTN Index = 0; Index < sizeof(EFI_GUID); Index++) {
    if (Pa[Index] != Pb[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

#endif
