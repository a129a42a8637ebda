// UEFI base types, calling convention, status codes and small records.
// Freestanding: only the compiler's own headers.
#ifndef ZEM4_EFI_UEFI_BASE_H
#define ZEM4_EFI_UEFI_BASE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// Pointer width picks the IA32 or X64 layout in every static assertion.
#define EFI_IS_IA32 (sizeof(void *) == 4)
#define EFI_LAYOUT(Ia32, X64) (EFI_IS_IA32 ? (Ia32) : (X64))

// Calling convention of every firmware-visible function: Microsoft x64 on
// x86-64 (the X64 image and the Linux host alike), cdecl on IA32.
#if defined(__x86_64__) || defined(_M_X64)
#define EFIAPI __attribute__((ms_abi))
// Variable argument lists of EFIAPI functions follow the Microsoft convention.
typedef __builtin_ms_va_list EFI_VA_LIST;
#define EFI_VA_START(Ap, Last) __builtin_ms_va_start(Ap, Last)
#define EFI_VA_ARG(Ap, Type) __builtin_va_arg(Ap, Type)
#define EFI_VA_END(Ap) __builtin_ms_va_end(Ap)
#elif defined(__i386__) || defined(_M_IX86)
#define EFIAPI __attribute__((cdecl))
typedef va_list EFI_VA_LIST;
#define EFI_VA_START(Ap, Last) va_start(Ap, Last)
#define EFI_VA_ARG(Ap, Type) va_arg(Ap, Type)
#define EFI_VA_END(Ap) va_end(Ap)
#else
#error "zem4 supports only IA32 and x86-64"
#endif

typedef unsigned char BOOLEAN;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
// 64-bit members are 8-byte aligned inside records on IA32 too. The Windows
// targets and x86-64 already do so; an i386 System V build (g++ -m32) would
// give them 4, so there the typedef carries the alignment into every record.
#if defined(__i386__) && !defined(_WIN32)
typedef long long INT64 __attribute__((aligned(8)));
typedef unsigned long long UINT64 __attribute__((aligned(8)));
#else
typedef long long INT64;
typedef unsigned long long UINT64;
#endif
typedef intptr_t INTN;
typedef uintptr_t UINTN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

typedef UINTN EFI_STATUS;
typedef UINTN EFI_TPL;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;
typedef UINT64 EFI_LBA;

static_assert(sizeof(UINTN) == sizeof(void *), "UINTN is pointer-sized");
static_assert(sizeof(CHAR16) == 2, "CHAR16 is UCS-2");
static_assert(sizeof(UINT64) == 8 && alignof(UINT64) == 8, "UINT64 is 8-byte aligned");

// ---- Status codes: the error bit is the top bit of UINTN --------------------
#define EFI_ERROR_BIT ((UINTN)1 << (sizeof(UINTN) * 8 - 1))
#define EFIERR(Code) ((EFI_STATUS)(EFI_ERROR_BIT | (UINTN)(Code)))
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR EFIERR(1)
#define EFI_INVALID_PARAMETER EFIERR(2)
#define EFI_UNSUPPORTED EFIERR(3)
#define EFI_BAD_BUFFER_SIZE EFIERR(4)
#define EFI_BUFFER_TOO_SMALL EFIERR(5)
#define EFI_NOT_READY EFIERR(6)
#define EFI_DEVICE_ERROR EFIERR(7)
#define EFI_WRITE_PROTECTED EFIERR(8)
#define EFI_OUT_OF_RESOURCES EFIERR(9)
#define EFI_VOLUME_CORRUPTED EFIERR(10)
#define EFI_VOLUME_FULL EFIERR(11)
#define EFI_NO_MEDIA EFIERR(12)
#define EFI_MEDIA_CHANGED EFIERR(13)
#define EFI_NOT_FOUND EFIERR(14)
#define EFI_ACCESS_DENIED EFIERR(15)
#define EFI_NO_RESPONSE EFIERR(16)
#define EFI_NO_MAPPING EFIERR(17)
#define EFI_TIMEOUT EFIERR(18)
#define EFI_NOT_STARTED EFIERR(19)
#define EFI_ALREADY_STARTED EFIERR(20)
#define EFI_ABORTED EFIERR(21)
#define EFI_ICMP_ERROR EFIERR(22)
#define EFI_TFTP_ERROR EFIERR(23)
#define EFI_PROTOCOL_ERROR EFIERR(24)
#define EFI_INCOMPATIBLE_VERSION EFIERR(25)
#define EFI_SECURITY_VIOLATION EFIERR(26)
#define EFI_CRC_ERROR EFIERR(27)
#define EFI_END_OF_MEDIA EFIERR(28)
#define EFI_END_OF_FILE EFIERR(31)
#define EFI_INVALID_LANGUAGE EFIERR(32)
#define EFI_COMPROMISED_DATA EFIERR(33)
#define EFI_IP_ADDRESS_CONFLICT EFIERR(34)
#define EFI_HTTP_ERROR EFIERR(35)
#define EFI_NETWORK_UNREACHABLE EFIERR(100)
#define EFI_HOST_UNREACHABLE EFIERR(101)
#define EFI_PROTOCOL_UNREACHABLE EFIERR(102)
#define EFI_PORT_UNREACHABLE EFIERR(103)

#define EFI_WARN_UNKNOWN_GLYPH ((EFI_STATUS)1)
#define EFI_WARN_DELETE_FAILURE ((EFI_STATUS)2)
#define EFI_WARN_WRITE_FAILURE ((EFI_STATUS)3)
#define EFI_WARN_BUFFER_TOO_SMALL ((EFI_STATUS)4)
#define EFI_WARN_STALE_DATA ((EFI_STATUS)5)
#define EFI_WARN_FILE_SYSTEM ((EFI_STATUS)6)
#define EFI_WARN_RESET_REQUIRED ((EFI_STATUS)7)

// ---- Task priority levels ---------------------------------------------------
#define TPL_APPLICATION ((EFI_TPL)4)
#define TPL_CALLBACK ((EFI_TPL)8)
#define TPL_NOTIFY ((EFI_TPL)16)
#define TPL_HIGH_LEVEL ((EFI_TPL)31)

// ---- Events and timers ------------------------------------------------------
#define EVT_TIMER 0x80000000u
#define EVT_RUNTIME 0x40000000u
#define EVT_NOTIFY_WAIT 0x00000100u
#define EVT_NOTIFY_SIGNAL 0x00000200u
#define EVT_SIGNAL_EXIT_BOOT_SERVICES 0x00000201u
#define EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE 0x60000202u

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);

enum EFI_TIMER_DELAY : UINT32 { TimerCancel = 0, TimerPeriodic = 1, TimerRelative = 2 };

// ---- Memory -----------------------------------------------------------------
enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
  EfiConventionalMemory = 7,
  EfiUnusableMemory = 8,
  EfiACPIReclaimMemory = 9,
  EfiACPIMemoryNVS = 10,
  EfiMemoryMappedIO = 11,
  EfiMemoryMappedIOPortSpace = 12,
  EfiPalCode = 13,
  EfiPersistentMemory = 14,
  EfiUnacceptedMemoryType = 15,
  EfiMaxMemoryType = 16
};

enum EFI_ALLOCATE_TYPE : UINT32 {
  AllocateAnyPages = 0,
  AllocateMaxAddress = 1,
  AllocateAddress = 2,
  MaxAllocateType = 3
};

#define EFI_PAGE_SIZE 4096u
#define EFI_MEMORY_DESCRIPTOR_VERSION 1u

struct EFI_MEMORY_DESCRIPTOR {
  UINT32 Type;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
};

// ---- Small records -----------------------------------------------------------
struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};

struct EFI_IPv4_ADDRESS {
  UINT8 Addr[4];
};

struct EFI_IPv6_ADDRESS {
  UINT8 Addr[16];
};

union EFI_IP_ADDRESS {
  UINT32 Addr[4];
  EFI_IPv4_ADDRESS v4;
  EFI_IPv6_ADDRESS v6;
};

struct EFI_MAC_ADDRESS {
  UINT8 Addr[32];
};

#define EFI_UNSPECIFIED_TIMEZONE 0x07FF
#define EFI_TIME_ADJUST_DAYLIGHT 0x01
#define EFI_TIME_IN_DAYLIGHT 0x02

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};

// ---- Table header --------------------------------------------------------------
struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};

#define EFI_SYSTEM_TABLE_SIGNATURE 0x5453595320494249ull
#define EFI_BOOT_SERVICES_SIGNATURE 0x56524553544F4F42ull
#define EFI_RUNTIME_SERVICES_SIGNATURE 0x56524553544E5552ull
#define EFI_SPECIFICATION_REVISION(Major, Minor) ((UINT32)(((Major) << 16) | (Minor)))
#define EFI_1_10_SYSTEM_TABLE_REVISION EFI_SPECIFICATION_REVISION(1, 10)
#define EFI_2_00_SYSTEM_TABLE_REVISION EFI_SPECIFICATION_REVISION(2, 0)
#define EFI_2_10_SYSTEM_TABLE_REVISION EFI_SPECIFICATION_REVISION(2, 100)

// ---- Layout checks (same numbers as the firmware's IA32 and X64 builds) ------
static_assert(sizeof(BOOLEAN) == 1 && sizeof(EFI_STATUS) == sizeof(void *), "base sizes");
static_assert(sizeof(EFI_TIMER_DELAY) == 4 && sizeof(EFI_MEMORY_TYPE) == 4 &&
                  sizeof(EFI_ALLOCATE_TYPE) == 4,
              "enums are 32 bits");
static_assert(sizeof(EFI_GUID) == 16 && alignof(EFI_GUID) == 4, "EFI_GUID");
static_assert(offsetof(EFI_GUID, Data2) == 4 && offsetof(EFI_GUID, Data3) == 6 &&
                  offsetof(EFI_GUID, Data4) == 8,
              "EFI_GUID fields");
static_assert(sizeof(EFI_IPv4_ADDRESS) == 4 && alignof(EFI_IPv4_ADDRESS) == 1, "EFI_IPv4_ADDRESS");
static_assert(sizeof(EFI_IPv6_ADDRESS) == 16 && alignof(EFI_IPv6_ADDRESS) == 1, "EFI_IPv6_ADDRESS");
static_assert(sizeof(EFI_IP_ADDRESS) == 16 && alignof(EFI_IP_ADDRESS) == 4, "EFI_IP_ADDRESS");
static_assert(sizeof(EFI_MAC_ADDRESS) == 32 && alignof(EFI_MAC_ADDRESS) == 1, "EFI_MAC_ADDRESS");
static_assert(sizeof(EFI_TIME) == 16 && alignof(EFI_TIME) == 4, "EFI_TIME");
static_assert(offsetof(EFI_TIME, Month) == 2 && offsetof(EFI_TIME, Day) == 3 &&
                  offsetof(EFI_TIME, Hour) == 4 && offsetof(EFI_TIME, Minute) == 5 &&
                  offsetof(EFI_TIME, Second) == 6 && offsetof(EFI_TIME, Pad1) == 7 &&
                  offsetof(EFI_TIME, Nanosecond) == 8 && offsetof(EFI_TIME, TimeZone) == 12 &&
                  offsetof(EFI_TIME, Daylight) == 14 && offsetof(EFI_TIME, Pad2) == 15,
              "EFI_TIME fields");
static_assert(sizeof(EFI_TABLE_HEADER) == 24 && alignof(EFI_TABLE_HEADER) == 8, "EFI_TABLE_HEADER");
static_assert(offsetof(EFI_TABLE_HEADER, Revision) == 8 &&
                  offsetof(EFI_TABLE_HEADER, HeaderSize) == 12 &&
                  offsetof(EFI_TABLE_HEADER, CRC32) == 16 &&
                  offsetof(EFI_TABLE_HEADER, Reserved) == 20,
              "EFI_TABLE_HEADER fields");
static_assert(sizeof(EFI_MEMORY_DESCRIPTOR) == 40, "EFI_MEMORY_DESCRIPTOR");
static_assert(offsetof(EFI_MEMORY_DESCRIPTOR, PhysicalStart) == 8 &&
                  offsetof(EFI_MEMORY_DESCRIPTOR, VirtualStart) == 16 &&
                  offsetof(EFI_MEMORY_DESCRIPTOR, NumberOfPages) == 24 &&
                  offsetof(EFI_MEMORY_DESCRIPTOR, Attribute) == 32,
              "EFI_MEMORY_DESCRIPTOR fields");

#endif
