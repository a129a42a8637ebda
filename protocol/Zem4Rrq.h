// The download engine: the per-download record, the mode table with its five
// handler slots, the receive and timer dispatch, the silent shutdown and the
// finish of a transfer.
#ifndef ZEM4_RRQ_H_
#define ZEM4_RRQ_H_

#include "efi/Uefi.h"
#include "protocol/Zem4Instance.h"
#include "support/List.h"
#include "support/Zem4Tpl.h"

// Download modes; 3 is not used.
#define ZEM4_MODE_INIT 0u
#define ZEM4_MODE_ACTIVE 1u
#define ZEM4_MODE_PASSIVE 2u
#define ZEM4_MODE_RPL 4u

// Handler slots. Packet is the linear datagram from its opcode on, Length its
// size. An error result means the transfer is closing: the dispatch then posts
// no further receive on that port.
typedef EFI_STATUS (*ZEM4_RCV_DATA_HANDLER)(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                                            BOOLEAN FromMcast);
typedef EFI_STATUS (*ZEM4_RCV_ERROR_HANDLER)(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
typedef EFI_STATUS (*ZEM4_RCV_OACK_HANDLER)(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
typedef EFI_STATUS (*ZEM4_RCV_RPLACK_HANDLER)(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
typedef VOID (*ZEM4_TIMER_HANDLER)(EFI_EVENT Event, Zem4Instance *Instance);

// One download, from its start to Zem4RrqFinish.
typedef struct Zem4RrqData {
  EFI_UDP4_PROTOCOL *McastUdp; // NULL while there is no multicast port
  Zem4RxContext McastRxContext;
  LIST_ENTRY MissingList;    // Zem4MissingRange entries, ascending
  LIST_ENTRY *MissingCursor; // where the next repair list continues
  UINT32 Mode;
  ZEM4_RCV_DATA_HANDLER RcvData;
  ZEM4_RCV_ERROR_HANDLER RcvError;
  ZEM4_RCV_OACK_HANDLER RcvOack;
  ZEM4_RCV_RPLACK_HANDLER RcvRplAck;
  ZEM4_TIMER_HANDLER Timer;
  UINT32 NextSaveBlock; // block saving: the next block a streaming caller takes (1 at start)
  UINT32 SlotBlock[ZEM4_WINDOW_BLOCKS]; // block number in each window slot; 0: nothing to hand over
  UINT8 DataThisPass; // a DATA8 came, on either port, since the request last went out
  UINT8 EmptyPasses;  // passes in a row that a FIN ended without any DATA8
  // UDP4 would not let go of the group port's posted receive (reset, cancel
  // and the child's destruction refused): the token and its event's context
  // stay in this record until UDP4 completes the receive.
  UINT8 McastHeld;
} Zem4RrqData;

// Loads the mode table row: Mode, the five handlers, RetryTimeout, MaxRetry.
// A mode without a row stores only Mode.
VOID Zem4RrqSetMode(UINT32 Mode, Zem4Instance *Instance);

// Re-arms Event once for Seconds s + Milliseconds ms (cancelling it first).
VOID Zem4SetTimer(UINT32 Seconds, EFI_EVENT Event, UINT32 Milliseconds);

// Silent shutdown: the transfer stops answering the server and closes at the
// 500 ms timer or when its last pending send completes. Returns EFI_ABORTED,
// a handler's result for a closing transfer: the dispatch posts no further
// receive on the port.
EFI_STATUS Zem4RrqSilentShutdown(Zem4Instance *Instance);

// Ends the transfer: frees the download, closes the ports and events, marks the
// instance done and idle, stores Status in the token and signals its event.
// The caller must not touch the instance (or the download) afterwards: when it
// runs inside a call-out of the caller's (CheckPacket, TimeoutCallback), the
// caller may go on to start another transfer or destroy the child.
VOID Zem4RrqFinish(Zem4Instance *Instance);

// Releases everything a transfer holds: the download (missing list, group
// port), the window, the kept packets, the unicast port (reset) and the
// timer. Each is released once and its field cleared, so a second call does
// nothing but the port reset, which a refused reset leaves owed. Every end of a
// transfer goes through here: Zem4RrqFinish, a start that fails half-way, and
// the end of a wait for an address. It signals nothing.
VOID Zem4RrqRelease(Zem4Instance *Instance);

// Resets the unicast port and drops what was pending on it, with one more
// attempt when UDP4 refuses. If both are refused the reset stays owed
// (ResetOwed): nothing is released, and the next start or the child's
// destruction deals with it.
EFI_STATUS Zem4ResetUnicastPort(Zem4Instance *Instance);
// TRUE when no reset is owed any more (none was, or it succeeded now).
BOOLEAN Zem4SettleOwedReset(Zem4Instance *Instance);

// Creates the download in Init mode and sends the request; called by the
// transfer start-up under the driver lock. Everything it made is undone by the
// start-up on failure.
EFI_STATUS Zem4InitRrqState(Zem4Instance *Instance, UINT16 Opcode);

// Notifications (TPL_CALLBACK). Contexts: the Zem4RxContext of the port, the
// instance, the packet that was sent.
VOID EFIAPI Zem4RrqRxCallback(EFI_EVENT Event, VOID *Context);
VOID EFIAPI Zem4RrqTimer(EFI_EVENT Event, VOID *Context);
VOID EFIAPI Zem4RrqSendComplete(EFI_EVENT Event, VOID *Context);

// ---------------------------------------------------------------------------
// Calling out to the caller. The caller's routines may end the transfer from
// inside (Configure with no data, DestroyChild, a new ReadFile from a token
// event); after such a call the instance must not be touched any more.
// ---------------------------------------------------------------------------

// Returned up the stack by whoever learns that the transfer ended inside a
// call-out. Never reaches a caller of the protocol.
#define ZEM4_TRANSFER_GONE EFIERR(0x5A4D)

// A call-out in progress; lives on the stack of the code that calls out.
typedef struct Zem4CallGuard {
  struct Zem4CallGuard *Next;
  BOOLEAN Gone; // set by Zem4RrqFinish
} Zem4CallGuard;

VOID Zem4GuardEnter(Zem4Instance *Instance, Zem4CallGuard *Guard);
// Marks every guard on the instance's stack gone (the transfer, or the wait
// for an address, ended under them).
VOID Zem4GuardsGone(Zem4Instance *Instance);
// TRUE when the transfer is still there (the guard is unlinked); FALSE when it
// ended meanwhile (the instance must not be touched).
BOOLEAN Zem4GuardLeave(Zem4Instance *Instance, Zem4CallGuard *Guard);

// Hands Length bytes at Data to the token's CheckPacket. Returns its status,
// or ZEM4_TRANSFER_GONE when the transfer ended inside the call.
EFI_STATUS Zem4CallCheckPacket(Zem4Instance *Instance, UINT32 Length, VOID *Data);

#endif // ZEM4_RRQ_H_
