// Packet buffers, the module-wide packet pool, and the thin layer over an
// instance's unicast UDP4 port (send, receive, retransmit, error, close).
//
// Every packet the driver sends is a Zem4Packet: it embeds what UDP4 needs
// for one asynchronous transmission and points at a separately allocated
// data buffer. Packets are reference counted; the last release returns them
// to the pool (or frees them once the pool holds 2 MiB of buffers).
#ifndef ZEM4_PACKET_H_
#define ZEM4_PACKET_H_

#include "efi/Uefi.h"
#include "support/List.h"

struct Zem4Instance;
struct Zem4RxContext;

// "MTTO" in memory order: shared by packets and receive contexts.
#define ZEM4_PACKET_SIGNATURE 0x4F54544Du

// Smallest buffer a new packet gets (small sends recycle one size).
#define ZEM4_PACKET_MIN_CAPACITY 256u
// Packets below this capacity live on the small free list.
#define ZEM4_PACKET_LARGE_CAPACITY 2048u
// Once the packets in existence hold this many buffer bytes, released
// packets are freed instead of pooled.
#define ZEM4_PACKET_POOL_LIMIT 0x200000u

struct Zem4Packet {
  UINT32 Signature;
  EFI_UDP4_COMPLETION_TOKEN TxToken;
  Zem4Instance *Instance;
  // One fragment always; the record owns room for exactly that one.
  EFI_UDP4_TRANSMIT_DATA TxData;
  EFI_UDP4_SESSION_DATA Endpoints;
  UINT8 *Buffer;
  UINT32 Capacity;
  UINT32 Length;
  UINT32 RefCount;
  LIST_ENTRY Link;
};

// The error description handed to Zem4SendError (built on the caller's stack).
struct Zem4ErrorInfo {
  UINT16 ErrorCode; // host order
  const CHAR8 *ErrorMessage;
};

// The pool: shared by every instance of every controller, no lock of its own
// (all users run at TPL_CALLBACK or hold the driver lock).
struct Zem4PacketPool {
  LIST_ENTRY SmallFreeList;
  LIST_ENTRY LargeFreeList;
  UINT32 PacketBytes; // sum of Capacity over every packet that exists
};

extern Zem4PacketPool gZem4PacketPool;

// Called once at driver entry (and by test fixtures): both lists empty,
// PacketBytes 0. Packets still alive are not touched.
VOID Zem4InitPacketPool(VOID);
// Frees every pooled packet (small list, then large). Called when the last
// controller stops.
VOID Zem4DrainPacketPool(VOID);

Zem4Packet *Zem4AllocPacket(UINT32 Size);
Zem4Packet *Zem4GetPacket(UINT32 Size);
VOID Zem4FreePacket(Zem4Packet *Packet);
VOID Zem4ReleasePacket(Zem4Packet *Packet);
Zem4Packet *Zm4CopyPacket(Zem4Packet *Packet);

// Fills TxData/fragment/Length for a packet of Length bytes going to Ip:Port
// from Instance. Used by every builder.
VOID Zem4SetPacketDestination(Zem4Packet *Packet, Zem4Instance *Instance, UINT32 Length,
                              const EFI_IPv4_ADDRESS *Ip, UINT16 Port);

// Creates the packet's send-completion event (EVT_NOTIFY_SIGNAL,
// TPL_CALLBACK, context the packet) into TxToken.Event.
EFI_STATUS Zem4CreatePacketEvent(Zem4Packet *Packet, EFI_EVENT_NOTIFY Notify);

// A packet whose earlier send is still pending is sent as a copy (with
// Zem4RrqSendComplete as its notify), never linked twice.
EFI_STATUS Zem4SendPacket(Zem4Instance *Instance, Zem4Packet *Packet);
EFI_STATUS Zem4StartRcv(Zem4Instance *Instance);
// Resets the port (UDP4 Configure with no data), then drops what was pending
// on it (Zem4ForgetUdpPort). A refused reset releases nothing: UDP4 still
// holds the tokens.
EFI_STATUS Zem4CloseUdpPort(EFI_UDP4_PROTOCOL *Udp, Zem4RxContext *RxContext,
                            LIST_ENTRY *PendingList);
// Drops a port's receive event and pending sends once UDP4 no longer holds
// them (after a reset, or once the UDP4 child is destroyed): a datagram that
// completed unseen is handed back, the events are closed, the packets released.
VOID Zem4ForgetUdpPort(Zem4RxContext *RxContext, LIST_ENTRY *PendingList);
// Its receive part, for any port: the unseen datagram handed back, the event closed.
VOID Zem4ForgetRx(Zem4RxContext *RxContext);
EFI_STATUS Zem4SendError(Zem4Instance *Instance, Zem4ErrorInfo *Info, EFI_EVENT_NOTIFY Notify);
EFI_STATUS Zem4ResendPacket(Zem4Packet *Packet, Zem4Instance *Instance, BOOLEAN Copy,
                            EFI_EVENT_NOTIFY Notify);

// True while an earlier transmission of Packet is still pending, i.e. the
// value every caller of Zem4ResendPacket passes as Copy. A packet kept for
// retransmission must never be handed to Zem4SendPacket itself while this
// holds (it would sit on the pending list twice).
static inline BOOLEAN Zem4PacketInFlight(const Zem4Packet *Packet) {
  return (BOOLEAN)(Packet->RefCount > 1);
}

#endif // ZEM4_PACKET_H_
