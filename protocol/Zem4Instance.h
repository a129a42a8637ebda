// The per-child instance record, its states and the protocol operations that
// live in protocol/.
//
// One Zem4Instance exists per child of the service binding. The caller holds
// a pointer to the embedded `Protocol` table; every operation steps back from
// it to the record.
#ifndef ZEM4_INSTANCE_H_
#define ZEM4_INSTANCE_H_

#include <stddef.h>

#include "efi/Uefi.h"
#include "protocol/Zem4Options.h"
#include "support/List.h"
#include "support/Zem4Tpl.h"
#include "zem4/Zem4.h"
#include "zem4/Zem4Wire.h"

struct Zem4Packet;
struct Zem4RrqData;
struct Zem4CallGuard;

// "MTFT" in memory order.
#define ZEM4_INSTANCE_SIGNATURE 0x5446544Du
// "MTTO" in memory order: packets and receive contexts share it.
#define ZEM4_RX_CONTEXT_SIGNATURE 0x4F54544Du

// Instance states.
#define ZEM4_STATE_IDLE 1u       // no transfer; ReadFile and Configure with data only here
#define ZEM4_STATE_TIME_WAIT 2u  // closing: finishes at the next timer or last send completion
#define ZEM4_STATE_RRQ_SENT 3u   // request out, waiting for the OACK
#define ZEM4_STATE_RPL 4u        // OACK accepted, first repair list sent
#define ZEM4_STATE_RECEIVING 5u  // data phase (Active or Passive mode)
#define ZEM4_STATE_ERROR_SENT 6u // an error packet went to the server; lingers, then closes
// ReadFile waits for the default address: busy to every other call, and
// Configure with no data ends the wait.
#define ZEM4_STATE_ADDRESS_WAIT 7u

// Receive context of one UDP4 port; leads like a Zem4Packet so that both can
// be told apart by the signature. The receive event's context is the record.
typedef struct Zem4RxContext {
  UINT32 Signature; // ZEM4_RX_CONTEXT_SIGNATURE
  EFI_UDP4_COMPLETION_TOKEN RxToken;
  struct Zem4Instance *Instance;
} Zem4RxContext;

typedef struct Zem4Instance {
  UINT32 Signature;
  LIST_ENTRY Link; // in the service binding's list of children
  Zem4 Protocol;
  UINT8 InDestroy;
  EFI_HANDLE ControllerHandle;
  EFI_HANDLE ChildHandle;
  EFI_HANDLE McastChildHandle;
  Zem4Token *Token;
  Zem4ConfigData Config;
  UINT8 Configured;
  UINT8 Done;
  UINT32 MaxRetry;
  Zem4NegotiatedOptions Options;
  UINT32 State;
  EFI_STATUS Status;
  EFI_IPv4_ADDRESS ServerIp;
  UINT16 ServerPort;
  EFI_IPv4_ADDRESS RequestServerIp;
  UINT16 RequestServerPort;
  EFI_UDP4_PROTOCOL *Udp;
  Zem4RxContext RxContext;
  UINT32 RetryCount;
  struct Zem4Packet *RequestPacket;
  struct Zem4Packet *LastPacket;
  UINT32 NextBlock;
  UINT8 Complete;
  INT32 LastBlock;
  UINT32 PendingSends;
  LIST_ENTRY PendingList;
  UINT32 WindowBase;
  UINT32 FirstHalfLeft;
  UINT32 SecondHalfLeft;
  UINT8 SlotFilled[ZEM4_WINDOW_BLOCKS];
  UINT32 SlotLength[ZEM4_WINDOW_BLOCKS];
  UINT8 *WindowBuffer;
  UINT16 WindowStartSlot;
  UINT32 FirstHalfBytes;
  UINT32 SecondHalfBytes;
  EFI_EVENT TimerEvent;
  UINT16 RetryTimeout;
  EFI_EVENT MappingEvent;
  UINT8 MappingTimedOut;
  UINT8 AckPending;
  UINT8 RplListSent;
  UINT32 TotalBlocks;
  UINT32 ReceivedBlocks;
  UINT32 LostBlocks;
  struct Zem4RrqData *RrqData;
  // Call-outs to the caller that are on the stack right now; the finish of a
  // transfer marks each of them so that none touches the instance again.
  struct Zem4CallGuard *Guards;
  // UDP4 refused to reset the unicast port when a transfer ended: it still
  // holds this instance's receive token and pending sends.
  UINT8 ResetOwed;
} Zem4Instance;

// The record from the caller's protocol pointer.
#define ZEM4_INSTANCE_FROM_PROTOCOL(This)                                                          \
  ((Zem4Instance *)((UINT8 *)(This)-offsetof(Zem4Instance, Protocol)))

// The eight operations, in slot order; CreateChild copies this table.
extern const Zem4 gZem4ProtocolTemplate;

// Protocol operations.
EFI_STATUS EFIAPI Zem4GetModeData(Zem4 *This, Zem4ModeData *ModeData);
EFI_STATUS EFIAPI Zem4Config(Zem4 *This, Zem4ConfigData *ConfigData);
EFI_STATUS EFIAPI Zem4GetInfo(Zem4 *This, Zem4OverrideData *OverrideData, CHAR8 *Filename,
                              CHAR8 *ModeStr, UINT8 OptionCount, Zem4Option *OptionList,
                              UINT32 *PacketLength, VOID **Packet);
EFI_STATUS EFIAPI Zem4ReadFile(Zem4 *This, Zem4Token *Token);
EFI_STATUS EFIAPI Zem4ReadDirectory(Zem4 *This, Zem4Token *Token);
EFI_STATUS EFIAPI Zem4Poll(Zem4 *This);
// Poll for a blocking call that holds Guard on its transfer: once the level is
// checked, the instance is read only while the guard says the transfer (and so
// the child) is there; ZEM4_TRANSFER_GONE otherwise.
EFI_STATUS Zem4Poll(Zem4 *This, const struct Zem4CallGuard *Guard);
EFI_STATUS EFIAPI Zem4GetStatus(Zem4 *This, Zem4TransferStatus *Status);

// GetInfo's capture record, on GetInfo's stack.
typedef struct {
  UINT32 *PacketLength;
  VOID **Packet;
  EFI_STATUS Status;
  BOOLEAN Captured; // the server's reply was seen (Status is meaningful)
} Zem4GetInfoContext;

// GetInfo's capture routine, handed the server's reply to the request (OACK or
// ERROR), never file data. Its presence in a token marks a GetInfo transfer.
EFI_STATUS EFIAPI Zem4GetInfoCheck(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Data);

// Common body of ReadFile (opcode 1) and ReadDirectory (opcode 7).
EFI_STATUS Zem4InitPrivate(Zem4Token *Token, Zem4 *This, UINT16 Opcode);
EFI_STATUS Zem4CheckOverride(Zem4Instance *Instance, Zem4OverrideData *OverrideData);
BOOLEAN Zem4IsValidNetmask(const EFI_IPv4_ADDRESS *Netmask);
BOOLEAN Zem4IsValidClassIp(const EFI_IPv4_ADDRESS *Ip);
// Waits, under the driver lock taken from CallerTpl, until UDP4 takes
// UdpConfig. EFI_SUCCESS: configured. EFI_NO_MAPPING: the wait ran out or
// cannot be had at CallerTpl. EFI_ABORTED: Configure with no data or
// DestroyChild ended it; the instance must not be touched any more.
EFI_STATUS Zem4WaitForMapping(Zem4Instance *Instance, EFI_UDP4_CONFIG_DATA *UdpConfig,
                              EFI_TPL CallerTpl);
// Configure with no data during the wait: ends it with EFI_ABORTED.
VOID Zem4AbortAddressWait(Zem4Instance *Instance);

#endif // ZEM4_INSTANCE_H_
