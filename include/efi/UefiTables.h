// System table, Boot Services and the protocol-database records.
#ifndef ZEM4_EFI_UEFI_TABLES_H
#define ZEM4_EFI_UEFI_TABLES_H

#include "efi/UefiBase.h"

// Tables the driver never looks into; only pointers to them are carried.
struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
struct EFI_RUNTIME_SERVICES;
struct EFI_DEVICE_PATH_PROTOCOL;

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};

struct EFI_BOOT_SERVICES;

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};

// ---- Protocol database ------------------------------------------------------
enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles = 0, ByRegisterNotify = 1, ByProtocol = 2 };

#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001u
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002u
#define EFI_OPEN_PROTOCOL_TEST_PROTOCOL 0x00000004u
#define EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER 0x00000008u
#define EFI_OPEN_PROTOCOL_BY_DRIVER 0x00000010u
#define EFI_OPEN_PROTOCOL_EXCLUSIVE 0x00000020u

struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY {
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  UINT32 OpenCount;
};

// ---- Boot Services slots, in table order ----------------------------------------
// Protocol GUIDs are passed as const pointers: same ABI, and the GUID
// variables are const.
typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(EFI_TPL OldTpl);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                               UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_MAP)(UINTN *MemoryMapSize,
                                               EFI_MEMORY_DESCRIPTOR *MemoryMap, UINTN *MapKey,
                                               UINTN *DescriptorSize, UINT32 *DescriptorVersion);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl,
                                             EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
                                             EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIMER)(EFI_EVENT Event, EFI_TIMER_DELAY Type,
                                          UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT *Event,
                                               UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_SIGNAL_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CHECK_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE *Handle,
                                                           const EFI_GUID *Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType,
                                                           VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_REINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle,
                                                             const EFI_GUID *Protocol,
                                                             VOID *OldInterface,
                                                             VOID *NewInterface);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle,
                                                             const EFI_GUID *Protocol,
                                                             VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(const EFI_GUID *Protocol, EFI_EVENT Event,
                                                         VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                              const EFI_GUID *Protocol, VOID *SearchKey,
                                              UINTN *BufferSize, EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(const EFI_GUID *Protocol,
                                                   EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   EFI_HANDLE *Device);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_CONFIGURATION_TABLE)(const EFI_GUID *Guid, VOID *Table);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                            CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *EFI_EXIT)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus,
                                     UINTN ExitDataSize, CHAR16 *ExitData);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_EXIT_BOOT_SERVICES)(EFI_HANDLE ImageHandle, UINTN MapKey);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_MONOTONIC_COUNT)(UINT64 *Count);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16 *WatchdogData);
typedef EFI_STATUS(EFIAPI *EFI_CONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                   EFI_HANDLE *DriverImageHandle,
                                                   EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath,
                                                   BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI *EFI_DISCONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                      EFI_HANDLE DriverImageHandle,
                                                      EFI_HANDLE ChildHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                              VOID **Interface, EFI_HANDLE AgentHandle,
                                              EFI_HANDLE ControllerHandle, UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                               EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL_INFORMATION)(
    EFI_HANDLE Handle, const EFI_GUID *Protocol, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer,
    UINTN *EntryCount);
typedef EFI_STATUS(EFIAPI *EFI_PROTOCOLS_PER_HANDLE)(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer,
                                                     UINTN *ProtocolBufferCount);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                                     const EFI_GUID *Protocol, VOID *SearchKey,
                                                     UINTN *NoHandles, EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(const EFI_GUID *Protocol, VOID *Registration,
                                                VOID **Interface);
// (GUID pointer, interface pointer) pairs follow, ended by a NULL GUID pointer.
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE *Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
typedef VOID(EFIAPI *EFI_COPY_MEM)(VOID *Destination, const VOID *Source, UINTN Length);
typedef VOID(EFIAPI *EFI_SET_MEM)(VOID *Buffer, UINTN Size, UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(UINT32 Type, EFI_TPL NotifyTpl,
                                                EFI_EVENT_NOTIFY NotifyFunction,
                                                const VOID *NotifyContext,
                                                const EFI_GUID *EventGroup, EFI_EVENT *Event);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};

// ---- Layout checks ------------------------------------------------------------
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == EFI_LAYOUT(20, 24), "EFI_CONFIGURATION_TABLE");
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16, "EFI_CONFIGURATION_TABLE");

static_assert(sizeof(EFI_SYSTEM_TABLE) == EFI_LAYOUT(72, 120), "EFI_SYSTEM_TABLE");
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareVendor) == 24 &&
                  offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == EFI_LAYOUT(28, 32) &&
                  offsetof(EFI_SYSTEM_TABLE, ConsoleInHandle) == EFI_LAYOUT(32, 40) &&
                  offsetof(EFI_SYSTEM_TABLE, ConIn) == EFI_LAYOUT(36, 48) &&
                  offsetof(EFI_SYSTEM_TABLE, ConsoleOutHandle) == EFI_LAYOUT(40, 56) &&
                  offsetof(EFI_SYSTEM_TABLE, ConOut) == EFI_LAYOUT(44, 64) &&
                  offsetof(EFI_SYSTEM_TABLE, StandardErrorHandle) == EFI_LAYOUT(48, 72) &&
                  offsetof(EFI_SYSTEM_TABLE, StdErr) == EFI_LAYOUT(52, 80) &&
                  offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == EFI_LAYOUT(56, 88) &&
                  offsetof(EFI_SYSTEM_TABLE, BootServices) == EFI_LAYOUT(60, 96) &&
                  offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == EFI_LAYOUT(64, 104) &&
                  offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == EFI_LAYOUT(68, 112),
              "EFI_SYSTEM_TABLE fields");

static_assert(sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) == EFI_LAYOUT(16, 24),
              "EFI_OPEN_PROTOCOL_INFORMATION_ENTRY");
static_assert(offsetof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY, ControllerHandle) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY, Attributes) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY, OpenCount) == EFI_LAYOUT(12, 20),
              "EFI_OPEN_PROTOCOL_INFORMATION_ENTRY fields");
static_assert(sizeof(EFI_INTERFACE_TYPE) == 4 && sizeof(EFI_LOCATE_SEARCH_TYPE) == 4, "enums");

// Slot i of Boot Services sits at 24 + i * pointer size.
#define EFI_BS_SLOT(Field, Index)                                                                  \
  static_assert(offsetof(EFI_BOOT_SERVICES, Field) == 24 + (Index) * sizeof(void *), #Field)
EFI_BS_SLOT(RaiseTPL, 0);
EFI_BS_SLOT(RestoreTPL, 1);
EFI_BS_SLOT(AllocatePages, 2);
EFI_BS_SLOT(FreePages, 3);
EFI_BS_SLOT(GetMemoryMap, 4);
EFI_BS_SLOT(AllocatePool, 5);
EFI_BS_SLOT(FreePool, 6);
EFI_BS_SLOT(CreateEvent, 7);
EFI_BS_SLOT(SetTimer, 8);
EFI_BS_SLOT(WaitForEvent, 9);
EFI_BS_SLOT(SignalEvent, 10);
EFI_BS_SLOT(CloseEvent, 11);
EFI_BS_SLOT(CheckEvent, 12);
EFI_BS_SLOT(InstallProtocolInterface, 13);
EFI_BS_SLOT(ReinstallProtocolInterface, 14);
EFI_BS_SLOT(UninstallProtocolInterface, 15);
EFI_BS_SLOT(HandleProtocol, 16);
EFI_BS_SLOT(Reserved, 17);
EFI_BS_SLOT(RegisterProtocolNotify, 18);
EFI_BS_SLOT(LocateHandle, 19);
EFI_BS_SLOT(LocateDevicePath, 20);
EFI_BS_SLOT(InstallConfigurationTable, 21);
EFI_BS_SLOT(LoadImage, 22);
EFI_BS_SLOT(StartImage, 23);
EFI_BS_SLOT(Exit, 24);
EFI_BS_SLOT(UnloadImage, 25);
EFI_BS_SLOT(ExitBootServices, 26);
EFI_BS_SLOT(GetNextMonotonicCount, 27);
EFI_BS_SLOT(Stall, 28);
EFI_BS_SLOT(SetWatchdogTimer, 29);
EFI_BS_SLOT(ConnectController, 30);
EFI_BS_SLOT(DisconnectController, 31);
EFI_BS_SLOT(OpenProtocol, 32);
EFI_BS_SLOT(CloseProtocol, 33);
EFI_BS_SLOT(OpenProtocolInformation, 34);
EFI_BS_SLOT(ProtocolsPerHandle, 35);
EFI_BS_SLOT(LocateHandleBuffer, 36);
EFI_BS_SLOT(LocateProtocol, 37);
EFI_BS_SLOT(InstallMultipleProtocolInterfaces, 38);
EFI_BS_SLOT(UninstallMultipleProtocolInterfaces, 39);
EFI_BS_SLOT(CalculateCrc32, 40);
EFI_BS_SLOT(CopyMem, 41);
EFI_BS_SLOT(SetMem, 42);
EFI_BS_SLOT(CreateEventEx, 43);
#undef EFI_BS_SLOT
static_assert(sizeof(EFI_BOOT_SERVICES) == EFI_LAYOUT(200, 376), "EFI_BOOT_SERVICES");

#endif
