// Loaded image and driver-model protocols.
#ifndef ZEM4_EFI_DRIVER_MODEL_H
#define ZEM4_EFI_DRIVER_MODEL_H

#include "efi/UefiTables.h"

// ---- Loaded Image -----------------------------------------------------------
#define EFI_LOADED_IMAGE_PROTOCOL_REVISION 0x1000u

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
};

// ---- Driver Binding ---------------------------------------------------------
struct EFI_DRIVER_BINDING_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_DRIVER_BINDING_SUPPORTED)(
    EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
    EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
typedef EFI_STATUS(EFIAPI *EFI_DRIVER_BINDING_START)(EFI_DRIVER_BINDING_PROTOCOL *This,
                                                     EFI_HANDLE ControllerHandle,
                                                     EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath);
typedef EFI_STATUS(EFIAPI *EFI_DRIVER_BINDING_STOP)(EFI_DRIVER_BINDING_PROTOCOL *This,
                                                    EFI_HANDLE ControllerHandle,
                                                    UINTN NumberOfChildren,
                                                    EFI_HANDLE *ChildHandleBuffer);

struct EFI_DRIVER_BINDING_PROTOCOL {
  EFI_DRIVER_BINDING_SUPPORTED Supported;
  EFI_DRIVER_BINDING_START Start;
  EFI_DRIVER_BINDING_STOP Stop;
  UINT32 Version;
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DriverBindingHandle;
};

// ---- Component Name (v1: ISO 639-2 languages; v2: RFC 4646) -------------------
struct EFI_COMPONENT_NAME_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_COMPONENT_NAME_GET_DRIVER_NAME)(EFI_COMPONENT_NAME_PROTOCOL *This,
                                                               CHAR8 *Language,
                                                               CHAR16 **DriverName);
typedef EFI_STATUS(EFIAPI *EFI_COMPONENT_NAME_GET_CONTROLLER_NAME)(
    EFI_COMPONENT_NAME_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle,
    CHAR8 *Language, CHAR16 **ControllerName);

struct EFI_COMPONENT_NAME_PROTOCOL {
  EFI_COMPONENT_NAME_GET_DRIVER_NAME GetDriverName;
  EFI_COMPONENT_NAME_GET_CONTROLLER_NAME GetControllerName;
  CHAR8 *SupportedLanguages;
};

struct EFI_COMPONENT_NAME2_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_COMPONENT_NAME2_GET_DRIVER_NAME)(EFI_COMPONENT_NAME2_PROTOCOL *This,
                                                                CHAR8 *Language,
                                                                CHAR16 **DriverName);
typedef EFI_STATUS(EFIAPI *EFI_COMPONENT_NAME2_GET_CONTROLLER_NAME)(
    EFI_COMPONENT_NAME2_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle,
    CHAR8 *Language, CHAR16 **ControllerName);

struct EFI_COMPONENT_NAME2_PROTOCOL {
  EFI_COMPONENT_NAME2_GET_DRIVER_NAME GetDriverName;
  EFI_COMPONENT_NAME2_GET_CONTROLLER_NAME GetControllerName;
  CHAR8 *SupportedLanguages;
};

// ---- Driver Configuration (EFI 1.10) ------------------------------------------
enum EFI_DRIVER_CONFIGURATION_ACTION_REQUIRED : UINT32 {
  EfiDriverConfigurationActionNone = 0,
  EfiDriverConfigurationActionStopController = 1,
  EfiDriverConfigurationActionRestartController = 2,
  EfiDriverConfigurationActionRestartPlatform = 3
};

#define EFI_DRIVER_CONFIGURATION_SAFE_DEFAULTS 0u
#define EFI_DRIVER_CONFIGURATION_MANUFACTURING_DEFAULTS 1u
#define EFI_DRIVER_CONFIGURATION_CUSTOM_DEFAULTS 2u
#define EFI_DRIVER_CONFIGURATION_PERFORMANCE_DEFAULTS 3u

struct EFI_DRIVER_CONFIGURATION_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_DRIVER_CONFIGURATION_SET_OPTIONS)(
    EFI_DRIVER_CONFIGURATION_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle,
    CHAR8 *Language, EFI_DRIVER_CONFIGURATION_ACTION_REQUIRED *ActionRequired);
typedef EFI_STATUS(EFIAPI *EFI_DRIVER_CONFIGURATION_OPTIONS_VALID)(
    EFI_DRIVER_CONFIGURATION_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle);
typedef EFI_STATUS(EFIAPI *EFI_DRIVER_CONFIGURATION_FORCE_DEFAULTS)(
    EFI_DRIVER_CONFIGURATION_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle,
    UINT32 DefaultType, EFI_DRIVER_CONFIGURATION_ACTION_REQUIRED *ActionRequired);

struct EFI_DRIVER_CONFIGURATION_PROTOCOL {
  EFI_DRIVER_CONFIGURATION_SET_OPTIONS SetOptions;
  EFI_DRIVER_CONFIGURATION_OPTIONS_VALID OptionsValid;
  EFI_DRIVER_CONFIGURATION_FORCE_DEFAULTS ForceDefaults;
  CHAR8 *SupportedLanguages;
};

// ---- Driver Diagnostics (v1 and v2 share the layout) ----------------------------
enum EFI_DRIVER_DIAGNOSTIC_TYPE : UINT32 {
  EfiDriverDiagnosticTypeStandard = 0,
  EfiDriverDiagnosticTypeExtended = 1,
  EfiDriverDiagnosticTypeManufacturing = 2,
  EfiDriverDiagnosticTypeCancel = 3
};

struct EFI_DRIVER_DIAGNOSTICS_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_DRIVER_DIAGNOSTICS_RUN_DIAGNOSTICS)(
    EFI_DRIVER_DIAGNOSTICS_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle,
    EFI_DRIVER_DIAGNOSTIC_TYPE DiagnosticType, CHAR8 *Language, EFI_GUID **ErrorType,
    UINTN *BufferSize, CHAR16 **Buffer);

struct EFI_DRIVER_DIAGNOSTICS_PROTOCOL {
  EFI_DRIVER_DIAGNOSTICS_RUN_DIAGNOSTICS RunDiagnostics;
  CHAR8 *SupportedLanguages;
};

struct EFI_DRIVER_DIAGNOSTICS2_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_DRIVER_DIAGNOSTICS2_RUN_DIAGNOSTICS)(
    EFI_DRIVER_DIAGNOSTICS2_PROTOCOL *This, EFI_HANDLE ControllerHandle, EFI_HANDLE ChildHandle,
    EFI_DRIVER_DIAGNOSTIC_TYPE DiagnosticType, CHAR8 *Language, EFI_GUID **ErrorType,
    UINTN *BufferSize, CHAR16 **Buffer);

struct EFI_DRIVER_DIAGNOSTICS2_PROTOCOL {
  EFI_DRIVER_DIAGNOSTICS2_RUN_DIAGNOSTICS RunDiagnostics;
  CHAR8 *SupportedLanguages;
};

// ---- Service Binding (each service names it with its own GUID) -------------------
struct EFI_SERVICE_BINDING_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SERVICE_BINDING_CREATE_CHILD)(EFI_SERVICE_BINDING_PROTOCOL *This,
                                                             EFI_HANDLE *ChildHandle);
typedef EFI_STATUS(EFIAPI *EFI_SERVICE_BINDING_DESTROY_CHILD)(EFI_SERVICE_BINDING_PROTOCOL *This,
                                                              EFI_HANDLE ChildHandle);

struct EFI_SERVICE_BINDING_PROTOCOL {
  EFI_SERVICE_BINDING_CREATE_CHILD CreateChild;
  EFI_SERVICE_BINDING_DESTROY_CHILD DestroyChild;
};

// ---- Layout checks ------------------------------------------------------------
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == EFI_LAYOUT(64, 96), "EFI_LOADED_IMAGE_PROTOCOL");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ParentHandle) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, SystemTable) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == EFI_LAYOUT(12, 24) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, FilePath) == EFI_LAYOUT(16, 32) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, Reserved) == EFI_LAYOUT(20, 40) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == EFI_LAYOUT(24, 48) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptions) == EFI_LAYOUT(28, 56) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == EFI_LAYOUT(32, 64) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == EFI_LAYOUT(40, 72) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == EFI_LAYOUT(48, 80) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageDataType) == EFI_LAYOUT(52, 84) &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload) == EFI_LAYOUT(56, 88),
              "EFI_LOADED_IMAGE_PROTOCOL fields");

static_assert(sizeof(EFI_DRIVER_BINDING_PROTOCOL) == EFI_LAYOUT(24, 48),
              "EFI_DRIVER_BINDING_PROTOCOL");
static_assert(offsetof(EFI_DRIVER_BINDING_PROTOCOL, Start) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_DRIVER_BINDING_PROTOCOL, Stop) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_DRIVER_BINDING_PROTOCOL, Version) == EFI_LAYOUT(12, 24) &&
                  offsetof(EFI_DRIVER_BINDING_PROTOCOL, ImageHandle) == EFI_LAYOUT(16, 32) &&
                  offsetof(EFI_DRIVER_BINDING_PROTOCOL, DriverBindingHandle) == EFI_LAYOUT(20, 40),
              "EFI_DRIVER_BINDING_PROTOCOL fields");

static_assert(sizeof(EFI_COMPONENT_NAME_PROTOCOL) == EFI_LAYOUT(12, 24) &&
                  offsetof(EFI_COMPONENT_NAME_PROTOCOL, GetControllerName) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_COMPONENT_NAME_PROTOCOL, SupportedLanguages) == EFI_LAYOUT(8, 16),
              "EFI_COMPONENT_NAME_PROTOCOL");
static_assert(sizeof(EFI_COMPONENT_NAME2_PROTOCOL) == EFI_LAYOUT(12, 24) &&
                  offsetof(EFI_COMPONENT_NAME2_PROTOCOL, GetControllerName) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_COMPONENT_NAME2_PROTOCOL, SupportedLanguages) == EFI_LAYOUT(8, 16),
              "EFI_COMPONENT_NAME2_PROTOCOL");

static_assert(sizeof(EFI_DRIVER_CONFIGURATION_PROTOCOL) == EFI_LAYOUT(16, 32) &&
                  offsetof(EFI_DRIVER_CONFIGURATION_PROTOCOL, OptionsValid) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_DRIVER_CONFIGURATION_PROTOCOL, ForceDefaults) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_DRIVER_CONFIGURATION_PROTOCOL, SupportedLanguages) ==
                      EFI_LAYOUT(12, 24),
              "EFI_DRIVER_CONFIGURATION_PROTOCOL");
static_assert(sizeof(EFI_DRIVER_CONFIGURATION_ACTION_REQUIRED) == 4 &&
                  sizeof(EFI_DRIVER_DIAGNOSTIC_TYPE) == 4,
              "enums");
static_assert(sizeof(EFI_DRIVER_DIAGNOSTICS_PROTOCOL) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_DRIVER_DIAGNOSTICS_PROTOCOL, SupportedLanguages) == EFI_LAYOUT(4, 8),
              "EFI_DRIVER_DIAGNOSTICS_PROTOCOL");
static_assert(sizeof(EFI_DRIVER_DIAGNOSTICS2_PROTOCOL) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_DRIVER_DIAGNOSTICS2_PROTOCOL, SupportedLanguages) ==
                      EFI_LAYOUT(4, 8),
              "EFI_DRIVER_DIAGNOSTICS2_PROTOCOL");

static_assert(sizeof(EFI_SERVICE_BINDING_PROTOCOL) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_SERVICE_BINDING_PROTOCOL, DestroyChild) == EFI_LAYOUT(4, 8),
              "EFI_SERVICE_BINDING_PROTOCOL");

#endif
