// Download modes: the handlers that the engine's mode table points at, the
// FIN handling, the entries into each mode and the multicast port.
//
// Every handler runs inside the download's receive or timer notification at
// TPL_CALLBACK; none of them is reached by firmware directly, so none is EFIAPI.
#ifndef ZEM4_MODES_H_
#define ZEM4_MODES_H_

#include "efi/Uefi.h"

struct Zem4Instance;
struct Zem4RrqData;
struct Zem4RxContext;
struct Zem4Packet;

// ---------------------------------------------------------------------------
// Init mode: the request is out, waiting for the OACK.
// ---------------------------------------------------------------------------
EFI_STATUS Zem4RrqInitRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                              BOOLEAN FromMcast);
EFI_STATUS Zem4RrqInitRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
EFI_STATUS Zem4RrqInitRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
EFI_STATUS Zem4RrqInitRcvRplAck(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
VOID Zem4RrqInitTimer(EFI_EVENT Event, Zem4Instance *Instance);

// ---------------------------------------------------------------------------
// RPL mode: the missing-block list goes to the server, paced by RPLACK.
// ---------------------------------------------------------------------------
// Enters RPL mode and sends RPL 1 (the "ACK0"); used by Init's OACK handler.
EFI_STATUS Zem4RrqEnterRpl(Zem4Instance *Instance);
// Builds the RPL for RplSequence from the missing list's cursor, sends it and
// keeps it as LastPacket.
EFI_STATUS Zem4SendRpl(Zem4Instance *Instance, UINT32 RplSequence);
EFI_STATUS Zem4RrqRplRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                             BOOLEAN FromMcast);
EFI_STATUS Zem4RrqRplRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
EFI_STATUS Zem4RrqRplRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
EFI_STATUS Zem4RrqRplRcvRplAck(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
VOID Zem4RrqRplTimer(EFI_EVENT Event, Zem4Instance *Instance);

// ---------------------------------------------------------------------------
// FIN, whatever the mode. A server that ends pass after pass without sending
// a block would be asked again for ever: this many empty passes in a row end
// the transfer with EFI_TIMEOUT.
#define ZEM4_MAX_EMPTY_PASSES 8u

// ---------------------------------------------------------------------------
// FIN, whatever the mode. CloseFlag (set to 0 by the caller) comes back 1 when
// the multicast port is to be reset.
// ---------------------------------------------------------------------------
EFI_STATUS Zem4RrqRcvFin(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length, UINT8 *CloseFlag);

// ---------------------------------------------------------------------------
// Active mode: the acknowledged data phase.
// ---------------------------------------------------------------------------
// Shared by every instance: the last DATA8 handled by any of them was out of order.
extern UINT8 OutOfOrderSeen;

EFI_STATUS Zem4SendAck(Zem4Instance *Instance, UINT32 Number);
EFI_STATUS Zem4RrqActiveRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                                BOOLEAN FromMcast);
EFI_STATUS Zem4RrqActiveRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
// OACK and RPLACK alike.
EFI_STATUS Zem4RrqActiveRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
VOID Zem4RrqActiveTimer(EFI_EVENT Event, Zem4Instance *Instance);

// ---------------------------------------------------------------------------
// Passive mode: a multicast member that only listens.
// ---------------------------------------------------------------------------
EFI_STATUS Zem4RrqPassiveRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                                 BOOLEAN FromMcast);
EFI_STATUS Zem4RrqPassiveRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
EFI_STATUS Zem4RrqPassiveRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
EFI_STATUS Zem4RrqPassiveRcvRplAck(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length);
VOID Zem4RrqPassiveTimer(EFI_EVENT Event, Zem4Instance *Instance);

// ---------------------------------------------------------------------------
// The multicast port: a second UDP4 child bound to the group's port.
// ---------------------------------------------------------------------------
EFI_STATUS Zem4RrqCreateMcastPort(Zem4Instance *Instance, EFI_IPv4_ADDRESS McastIp,
                                  UINT16 McastPort);
EFI_STATUS Zem4RrqStartMcastRcv(Zem4RrqData *RrqData);
// Destroy FALSE resets the port and keeps the child for the next pass. A
// port UDP4 will not let go of is given up and its receive left to UDP4
// (McastHeld): until UDP4 completes it, no new port is made.
EFI_STATUS Zem4RrqCloseMcastPort(Zem4Instance *Instance, BOOLEAN Destroy);
// At the end of a transfer: TRUE when UDP4 still holds the group receive,
// whose completion then frees the record (which no longer names the instance).
BOOLEAN Zem4RrqLeaveToHeldRx(Zem4RrqData *RrqData);
// The completion of a group receive held that way: the datagram goes back,
// the hold ends, a record left to it is freed. FALSE: a port in use.
BOOLEAN Zem4RrqEndHeldRx(Zem4RxContext *Port);

// ---------------------------------------------------------------------------
// Helpers shared by the modes.
// ---------------------------------------------------------------------------
// Kept packets (Zem4Kept.cpp).
//
// Sends a packet just built (NULL: the build failed) and keeps it as
// LastPacket in place of the one before. The mode's own texts name the
// failure: BuildFailed (EFI_OUT_OF_RESOURCES) or SendFailed (EFI_DEVICE_ERROR),
// either one also left in Status.
EFI_STATUS Zem4RrqSendAndKeep(Zem4Instance *Instance, Zem4Packet *Packet, const CHAR8 *BuildFailed,
                              const CHAR8 *SendFailed);
// Sends a kept packet (RequestPacket, LastPacket) again; as a copy while an
// earlier send of it is still pending, so it is never on the pending list twice.
EFI_STATUS Zem4RrqResendKept(Zem4Instance *Instance, Zem4Packet *Packet);

// The receive window and what fills it (Zem4Window.cpp).
//
// A DATA8's fields, read once at the top of a mode's data handler.
struct Zem4Data8Fields {
  UINT32 Sequence;
  UINT32 Block;
  const UINT8 *Data;
  UINT32 DataLength; // at most one block (ZEM4_BLOCK_SIZE)
};
// FALSE: not a DATA8 whose header can be read, or one whose data would not
// fit a window slot (the handler ignores it).
BOOLEAN Zem4RrqReadData8(const UINT8 *Packet, UINT32 Length, Zem4Data8Fields *Fields);
// Every mode's DATA8 handler notes that the current pass carried data.
VOID Zem4RrqNoteData(Zem4Instance *Instance);
// Empties the receive window: no slot filled, WindowBase 1, fresh halves.
VOID Zem4RrqResetWindow(Zem4Instance *Instance);
// The caller takes the file as a stream through CheckPacket only (no buffer):
// it gets the file strictly in order.
BOOLEAN Zem4RrqIsStream(const Zem4Instance *Instance);

// Ends of a transfer (Zem4ModeEnd.cpp); the silent shutdown itself is the
// engine's (Zem4RrqSilentShutdown).
//
// Answers the server with an error packet and lingers 2 s in ERROR_SENT to
// repeat it (EFI_SUCCESS); one that cannot go is logged under SendFailed and
// the transfer shuts down silently (EFI_ABORTED).
EFI_STATUS Zem4RrqAnswerWithError(Zem4Instance *Instance, UINT16 Code, const CHAR8 *Message,
                                  const CHAR8 *SendFailed);
// A timer that drives the server has had too many periods without an answer:
// TooMany logged, EFI_TIMEOUT, and ERROR 0 "Too many timeouts" answered as above.
VOID Zem4RrqGiveUp(Zem4Instance *Instance, const CHAR8 *TooMany, const CHAR8 *SendFailed);
// A server ERROR in one of the two states the mode takes one in: a notice
// under the mode's own text (one %d, the error code), EFI_TFTP_ERROR, and the
// silent shutdown. In any other state it is ignored.
EFI_STATUS Zem4RrqEndOnServerError(Zem4Instance *Instance, const UINT8 *Packet, UINT32 Length,
                                   UINT32 AcceptedIn, UINT32 AlsoAcceptedIn, const CHAR8 *Notice);

#endif // ZEM4_MODES_H_
