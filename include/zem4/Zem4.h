// The public interface of the ZEM4 network service driver: the one header a
// client of the driver includes.
//
// A client opens the service binding below on a controller, creates a child
// and talks to the child through the `Zem4` protocol table: configure it, then
// read a file with a token. Every record here crosses the firmware boundary,
// so its layout is pinned for IA32 and X64 at the end of the file.
//
// Task priority (docs/caller-contract.md). UDP4 may be called only at
// TPL_CALLBACK or below, so every call that may reach it is refused above
// TPL_CALLBACK with EFI_INVALID_PARAMETER, at once and with nothing changed:
//   CreateChild, DestroyChild, ReadFile, ReadDirectory, Configure with no
//   data, Poll                       - TPL_APPLICATION or TPL_CALLBACK
//   ReadFile without a token event,
//   GetInfo (both block on Poll)     - below TPL_CALLBACK only
//   ParseOptions (a pool list)       - up to TPL_NOTIFY
//   GetModeData, Configure with data,
//   GetStatus                        - any level
// The driver's own notifications (receive, send, transfer and address-wait
// timers) run at TPL_CALLBACK, so a caller at TPL_CALLBACK never interrupts
// one, and the caller's routines (CheckPacket, TimeoutCallback) are called at
// TPL_CALLBACK. A token event notified above TPL_CALLBACK runs inside the end
// of the transfer and may only look (GetStatus, the token's Status); it starts
// the next transfer from a TPL_CALLBACK event or from the caller's own level.
// ReadFile that must wait for the default address (UseDefaultSetting) waits
// only below TPL_CALLBACK; from TPL_CALLBACK it returns EFI_NO_MAPPING at once.
// During the wait the child is busy: Configure with no data or DestroyChild
// ends the wait and ReadFile returns EFI_ABORTED.
#ifndef ZEM4_H_
#define ZEM4_H_

#include <stddef.h>

#include "efi/Uefi.h"

// {9BF6F297-6190-49D7-ABCB-2BC9F8040D3A}: the driver's service binding,
// installed on every controller that carries the UDP4 service binding.
#define ZEM4_SERVICE_BINDING_PROTOCOL_GUID                                                         \
  {                                                                                                \
    0x9BF6F297, 0x6190, 0x49D7, {                                                                  \
      0xAB, 0xCB, 0x2B, 0xC9, 0xF8, 0x04, 0x0D, 0x3A                                               \
    }                                                                                              \
  }

// {F8CA7246-B58C-4D50-8E2A-AAFECEE6BAD2}: the per-child transfer protocol.
#define ZEM4_PROTOCOL_GUID                                                                         \
  {                                                                                                \
    0xF8CA7246, 0xB58C, 0x4D50, {                                                                  \
      0x8E, 0x2A, 0xAA, 0xFE, 0xCE, 0xE6, 0xBA, 0xD2                                               \
    }                                                                                              \
  }

extern const EFI_GUID gZem4ServiceBindingProtocolGuid;
extern const EFI_GUID gZem4ProtocolGuid;

typedef struct Zem4 Zem4;
typedef struct Zem4Token Zem4Token;

// Station and server settings of a child. GatewayIp is checked only; no route
// is installed from it.
typedef struct Zem4ConfigData {
  BOOLEAN UseDefaultSetting; // take the address the network stack obtains by itself
  EFI_IPv4_ADDRESS StationIp;
  EFI_IPv4_ADDRESS SubnetMask;
  UINT16 LocalPort; // 0: UDP4 picks one
  EFI_IPv4_ADDRESS GatewayIp;
  EFI_IPv4_ADDRESS ServerIp;
  UINT16 InitialServerPort; // 0: the default server port
} Zem4ConfigData;

// Per-transfer replacements for the configured server and retry settings.
typedef struct Zem4OverrideData {
  EFI_IPv4_ADDRESS GatewayIp;
  EFI_IPv4_ADDRESS ServerIp;
  UINT16 ServerPort;
  UINT16 TryCount;
  UINT16 TimeoutValue; // seconds
} Zem4OverrideData;

// One option pair: NUL-terminated ASCII name and value.
typedef struct Zem4Option {
  CHAR8 *OptionStr;
  CHAR8 *ValueStr;
} Zem4Option;

// Filled by GetModeData. The name arrays are constant data of the driver; the
// caller must not free or change them.
typedef struct Zem4ModeData {
  Zem4ConfigData ConfigData;
  UINT8 SupportedOptionCount;
  CHAR8 *const *SupportedOptions;
  UINT8 UnsupportedOptionCount;
  CHAR8 *const *UnsupportedOptions;
} Zem4ModeData;

// Progress of the running (or last) transfer, filled by GetStatus.
typedef struct Zem4TransferStatus {
  UINT32 Percent;
  UINT32 ReceivedBlocks;
  UINT32 LostBlocks;
  UINT32 Reserved;
  UINT32 TotalBlocks; // all ones until the server's OACK has been accepted
} Zem4TransferStatus;

// The data sink: handed each run of file data (bare data, no header) in order
// of block numbers. An error return ends the transfer with EFI_ABORTED.
typedef EFI_STATUS(EFIAPI *ZEM4_CHECK_PACKET)(Zem4 *This, Zem4Token *Token, UINT32 PacketLength,
                                              VOID *Packet);

// Asked at every timer period of a transfer; an error return cancels it.
typedef EFI_STATUS(EFIAPI *ZEM4_TIMEOUT_CALLBACK)(Zem4 *This, Zem4Token *Token);

// Reserved; the driver never calls it.
typedef EFI_STATUS(EFIAPI *ZEM4_PACKET_NEEDED)(Zem4 *This, Zem4Token *Token, UINT16 *Length,
                                               VOID **Buffer);

struct Zem4Token {
  EFI_STATUS Status; // written when the transfer finishes
  EFI_EVENT Event;   // may be NULL (ReadFile then blocks); signalled when the transfer finishes
  Zem4OverrideData *OverrideData; // may be NULL
  CHAR8 *Filename;                // required
  CHAR8 *ModeStr;                 // not used
  UINT32 OptionCount;
  Zem4Option *OptionList;
  UINT64 BufferSize;
  VOID *Buffer;  // filled at offset (block - 1) * 1032 when given
  VOID *Context; // for the caller's routines
  ZEM4_CHECK_PACKET CheckPacket;
  ZEM4_TIMEOUT_CALLBACK TimeoutCallback;
  ZEM4_PACKET_NEEDED PacketNeeded; // not used
};

typedef EFI_STATUS(EFIAPI *ZEM4_GET_MODE_DATA)(Zem4 *This, Zem4ModeData *ModeData);
typedef EFI_STATUS(EFIAPI *ZEM4_CONFIGURE)(Zem4 *This, Zem4ConfigData *ConfigData);
typedef EFI_STATUS(EFIAPI *ZEM4_GET_INFO)(Zem4 *This, Zem4OverrideData *OverrideData,
                                          CHAR8 *Filename, CHAR8 *ModeStr, UINT8 OptionCount,
                                          Zem4Option *OptionList, UINT32 *PacketLength,
                                          VOID **Packet);
typedef EFI_STATUS(EFIAPI *ZEM4_PARSE_OPTIONS)(Zem4 *This, UINT32 PacketLen, VOID *Packet,
                                               UINT32 *OptionCount, Zem4Option **OptionList);
typedef EFI_STATUS(EFIAPI *ZEM4_READ_FILE)(Zem4 *This, Zem4Token *Token);
typedef EFI_STATUS(EFIAPI *ZEM4_READ_DIRECTORY)(Zem4 *This, Zem4Token *Token);
typedef EFI_STATUS(EFIAPI *ZEM4_POLL)(Zem4 *This);
typedef EFI_STATUS(EFIAPI *ZEM4_GET_STATUS)(Zem4 *This, Zem4TransferStatus *Status);

// The protocol table, in slot order.
struct Zem4 {
  ZEM4_GET_MODE_DATA GetModeData;
  ZEM4_CONFIGURE Configure;
  ZEM4_GET_INFO GetInfo;
  ZEM4_PARSE_OPTIONS ParseOptions;
  ZEM4_READ_FILE ReadFile;
  ZEM4_READ_DIRECTORY ReadDirectory;
  ZEM4_POLL Poll;
  ZEM4_GET_STATUS GetStatus;
};

// ---------------------------------------------------------------------------
// Layouts, for the two firmware targets. The host build of x86-64 lays records
// out exactly as X64 does.
// ---------------------------------------------------------------------------
#define ZEM4_LAYOUT(Type, Field, Ia32, X64)                                                        \
  static_assert(offsetof(Type, Field) == (sizeof(VOID *) == 4 ? (Ia32) : (X64)),                   \
                #Type "." #Field " offset")
#define ZEM4_SIZE(Type, Ia32, X64)                                                                 \
  static_assert(sizeof(Type) == (sizeof(VOID *) == 4 ? (Ia32) : (X64)), #Type " size")

static_assert(sizeof(VOID *) == 4 || sizeof(VOID *) == 8, "IA32 or X64 only");

ZEM4_LAYOUT(Zem4ConfigData, UseDefaultSetting, 0, 0);
ZEM4_LAYOUT(Zem4ConfigData, StationIp, 1, 1);
ZEM4_LAYOUT(Zem4ConfigData, SubnetMask, 5, 5);
ZEM4_LAYOUT(Zem4ConfigData, LocalPort, 10, 10);
ZEM4_LAYOUT(Zem4ConfigData, GatewayIp, 12, 12);
ZEM4_LAYOUT(Zem4ConfigData, ServerIp, 16, 16);
ZEM4_LAYOUT(Zem4ConfigData, InitialServerPort, 20, 20);
ZEM4_SIZE(Zem4ConfigData, 22, 22);

ZEM4_LAYOUT(Zem4OverrideData, GatewayIp, 0, 0);
ZEM4_LAYOUT(Zem4OverrideData, ServerIp, 4, 4);
ZEM4_LAYOUT(Zem4OverrideData, ServerPort, 8, 8);
ZEM4_LAYOUT(Zem4OverrideData, TryCount, 10, 10);
ZEM4_LAYOUT(Zem4OverrideData, TimeoutValue, 12, 12);
ZEM4_SIZE(Zem4OverrideData, 14, 14);

ZEM4_LAYOUT(Zem4Option, OptionStr, 0, 0);
ZEM4_LAYOUT(Zem4Option, ValueStr, 4, 8);
ZEM4_SIZE(Zem4Option, 8, 16);

ZEM4_LAYOUT(Zem4ModeData, ConfigData, 0, 0);
ZEM4_LAYOUT(Zem4ModeData, SupportedOptionCount, 22, 22);
ZEM4_LAYOUT(Zem4ModeData, SupportedOptions, 24, 24);
ZEM4_LAYOUT(Zem4ModeData, UnsupportedOptionCount, 28, 32);
ZEM4_LAYOUT(Zem4ModeData, UnsupportedOptions, 32, 40);
ZEM4_SIZE(Zem4ModeData, 36, 48);

ZEM4_LAYOUT(Zem4TransferStatus, Percent, 0, 0);
ZEM4_LAYOUT(Zem4TransferStatus, ReceivedBlocks, 4, 4);
ZEM4_LAYOUT(Zem4TransferStatus, LostBlocks, 8, 8);
ZEM4_LAYOUT(Zem4TransferStatus, Reserved, 12, 12);
ZEM4_LAYOUT(Zem4TransferStatus, TotalBlocks, 16, 16);
ZEM4_SIZE(Zem4TransferStatus, 20, 20);

ZEM4_LAYOUT(Zem4Token, Status, 0, 0);
ZEM4_LAYOUT(Zem4Token, Event, 4, 8);
ZEM4_LAYOUT(Zem4Token, OverrideData, 8, 16);
ZEM4_LAYOUT(Zem4Token, Filename, 12, 24);
ZEM4_LAYOUT(Zem4Token, ModeStr, 16, 32);
ZEM4_LAYOUT(Zem4Token, OptionCount, 20, 40);
ZEM4_LAYOUT(Zem4Token, OptionList, 24, 48);
ZEM4_LAYOUT(Zem4Token, BufferSize, 32, 56); // UINT64 is 8-aligned on IA32 firmware too
ZEM4_LAYOUT(Zem4Token, Buffer, 40, 64);
ZEM4_LAYOUT(Zem4Token, Context, 44, 72);
ZEM4_LAYOUT(Zem4Token, CheckPacket, 48, 80);
ZEM4_LAYOUT(Zem4Token, TimeoutCallback, 52, 88);
ZEM4_LAYOUT(Zem4Token, PacketNeeded, 56, 96);
ZEM4_SIZE(Zem4Token, 64, 104);

ZEM4_LAYOUT(Zem4, GetModeData, 0, 0);
ZEM4_LAYOUT(Zem4, Configure, 4, 8);
ZEM4_LAYOUT(Zem4, GetInfo, 8, 16);
ZEM4_LAYOUT(Zem4, ParseOptions, 12, 24);
ZEM4_LAYOUT(Zem4, ReadFile, 16, 32);
ZEM4_LAYOUT(Zem4, ReadDirectory, 20, 40);
ZEM4_LAYOUT(Zem4, Poll, 24, 48);
ZEM4_LAYOUT(Zem4, GetStatus, 28, 56);
ZEM4_SIZE(Zem4, 32, 64);

#undef ZEM4_LAYOUT
#undef ZEM4_SIZE

#endif // ZEM4_H_
