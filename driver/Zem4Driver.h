// The driver's face to the firmware's driver model: image entry, driver
// binding, component name, unload, and the per-controller service binding
// that creates and destroys children.
#ifndef ZEM4_DRIVER_H_
#define ZEM4_DRIVER_H_

#include <stddef.h>

#include "efi/Uefi.h"
#include "support/List.h"

// "MTSB" in memory order.
#define ZEM4_SERVICE_BINDING_SIGNATURE 0x4253544Du

#define ZEM4_DRIVER_BINDING_VERSION 0x10u

// Not recursive: a second take while held is refused, never waited for.
typedef struct Zem4Lock {
  UINT32 Tpl;
  UINT32 OldTpl;
  UINT32 Count;
} Zem4Lock;

typedef struct Zem4ServiceBinding {
  UINT32 Signature;
  EFI_SERVICE_BINDING_PROTOCOL ServiceBinding;
  EFI_HANDLE ControllerHandle;
  EFI_HANDLE UdpChildHandle; // the reserve; meaningful only while ChildrenNum is 0
  EFI_UDP4_PROTOCOL *Udp;
  UINT16 ChildrenNum;
  LIST_ENTRY Children;
  Zem4Lock Lock;
} Zem4ServiceBinding;

#define ZEM4_SERVICE_BINDING_FROM_THIS(This)                                                       \
  ((Zem4ServiceBinding *)((UINT8 *)(This)-offsetof(Zem4ServiceBinding, ServiceBinding)))

// One row of the driver-name table; the last row has a null language.
typedef struct Zem4NameTableEntry {
  const CHAR8 *Language;
  const CHAR16 *Name;
} Zem4NameTableEntry;

extern EFI_DRIVER_BINDING_PROTOCOL gZem4DriverBinding;
// The agent of every open the driver makes: its binding handle.
EFI_HANDLE AgentHandle(VOID);
extern EFI_COMPONENT_NAME_PROTOCOL gZem4ComponentName;
extern const Zem4NameTableEntry gZem4DriverNameTable[];

// Controllers that carry this driver's service binding; the packet pool is
// drained when the last one stops.
extern UINTN gZem4StartedControllers;

extern "C" EFI_STATUS EFIAPI Zem4DriverEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable);

EFI_STATUS InstallDriverProtocols(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                                  EFI_DRIVER_BINDING_PROTOCOL *DriverBinding,
                                  EFI_HANDLE DriverBindingHandle,
                                  EFI_COMPONENT_NAME_PROTOCOL *ComponentName,
                                  EFI_DRIVER_CONFIGURATION_PROTOCOL *DriverConfiguration,
                                  EFI_DRIVER_DIAGNOSTICS_PROTOCOL *DriverDiagnostics);

EFI_STATUS EFIAPI DriverBindingSupported(EFI_DRIVER_BINDING_PROTOCOL *This,
                                         EFI_HANDLE ControllerHandle,
                                         EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
EFI_STATUS EFIAPI DriverBindingStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                     EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
EFI_STATUS EFIAPI DriverBindingStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                    UINTN NumberOfChildren, EFI_HANDLE *ChildHandleBuffer);
EFI_STATUS EFIAPI DriverUnload(EFI_HANDLE ImageHandle);

EFI_STATUS EFIAPI ComponentNameGetDriverName(EFI_COMPONENT_NAME_PROTOCOL *This, CHAR8 *Language,
                                             CHAR16 **DriverName);
EFI_STATUS EFIAPI ComponentNameGetControllerName(EFI_COMPONENT_NAME_PROTOCOL *This,
                                                 EFI_HANDLE ControllerHandle,
                                                 EFI_HANDLE ChildHandle, CHAR8 *Language,
                                                 CHAR16 **ControllerName);
EFI_STATUS FindNameForLanguage(const CHAR8 *Language, const CHAR8 *SupportedLanguages,
                               const Zem4NameTableEntry *Table, CHAR16 **Name);

// Service binding.
extern const Zem4ServiceBinding gZem4ServiceBindingTemplate;
EFI_STATUS EFIAPI Zem4SBCreate(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle);
EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle);
VOID Zem4InitLock(Zem4Lock *Lock, UINT32 Tpl);
EFI_STATUS Zem4AcquireLock(Zem4Lock *Lock);
VOID Zem4ReleaseLock(Zem4Lock *Lock);
VOID EFIAPI Zem4MappingTimeoutNotify(EFI_EVENT Event, VOID *Context);

#endif // ZEM4_DRIVER_H_
