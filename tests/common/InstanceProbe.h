// The one view tests have of a child's private record, for what the
// datagrams, token results, log lines and GetStatus cannot show: reads by
// name (InstanceProbe), the few named writes no traffic can stand in for
// (InstanceRig), and the hand-made record of the transport unit tests
// (RecordRig). No other test file includes the record's header.
#pragma once

#include "efi/Udp4.h"
#include "zem4/Zem4.h"

#include <cstddef>
#include <ostream>

struct LIST_ENTRY;
struct Zem4CallGuard;
struct Zem4Instance;
struct Zem4Packet;
struct Zem4RrqData;
struct Zem4RxContext;

namespace zem4::test {

enum class TransferState { Idle, TimeWait, RrqSent, Rpl, Receiving, ErrorSent, AddressWait, Other };

class InstanceProbe {
public:
  // `protocol` is the child's Zem4 protocol.
  explicit InstanceProbe(Zem4 *protocol);

  TransferState State() const;
  bool Idle() const { return State() == TransferState::Idle; }
  bool Configured() const;
  // The configuration takes the address the network stack obtains by itself.
  bool UsesDefaultSetting() const;
  // The last transfer's token has been completed.
  bool Done() const;
  // Datagrams handed to UDP4 whose transmit has not completed.
  UINT32 PendingSends() const;
  // The token of the transfer in progress, if any.
  Zem4Token *Token() const;
  bool HasTimer() const;
  // What a transfer holds while it runs: its request record and window.
  bool HoldsRequest() const;
  bool HoldsWindow() const;
  // The server port the transfer follows (the OACK's source once it came).
  UINT16 ServerPort() const;
  // The receive window: its first block, the next block expected in order,
  // the last block as the driver records it, and whether the
  // window's slot `slot` holds its block.
  UINT32 WindowBase() const;
  UINT32 NextBlock() const;
  INT32 LastBlock() const;
  UINT8 SlotFilled(UINT32 slot) const;
  UINT32 MaxRetry() const;
  // The mode's timer period: milliseconds in Active mode, seconds elsewhere.
  UINT16 RetryTimeout() const;
  // The window's first slot and the blocks its first half still lacks.
  UINT16 WindowStartSlot() const;
  UINT32 FirstHalfLeft() const;
  // The transfer's own failure so far (reaches the token when it ends).
  EFI_STATUS Status() const;
  // The group port the last OACK named.
  UINT16 McastGroupPort() const;
  // The download record of the transfer in progress (nullptr: none), as the
  // mode handlers see it.
  Zem4RrqData *Download() const;
  // The packets kept for retransmission: the request, the last reply.
  Zem4Packet *RequestPacket() const;
  Zem4Packet *LastPacket() const;
  // The unicast port's receive event, and a port reset UDP4 still owes.
  bool HasReceiveEvent() const;
  bool ResetOwed() const;
  // Retransmissions of the datagram now awaiting an answer.
  UINT32 RetryCount() const;
  bool AckPending() const;
  bool RplListSent() const;
  // The child's handle, the UDP4 it opened and its multicast port (a second
  // UDP4 child, nullptr when none is open).
  EFI_HANDLE ChildHandle() const;
  EFI_HANDLE ControllerHandle() const;
  EFI_UDP4_PROTOCOL *Udp() const;
  EFI_HANDLE McastPort() const;
  bool HasMcastPort() const { return McastPort() != nullptr; }
  bool HasMappingEvent() const;
  bool InDestroy() const;
  bool SignatureValid() const;
  // The child's link in the service binding's list of children.
  const LIST_ENTRY *Link() const;

  // The record behind a child's protocol, and back: for the handlers and
  // routines that take it. Nothing of it is read through these.
  static Zem4Instance *RecordOf(Zem4 *protocol);
  static Zem4 *ProtocolOf(Zem4Instance *instance);
  // Where the protocol table sits in the record: what precedes a table
  // tells the driver's records from foreign ones.
  static size_t ProtocolOffset();

private:
  const void *instance_;
};

// Named writes, for states that no datagram, fault or stretch of virtual time
// can bring about.
class InstanceRig {
public:
  explicit InstanceRig(Zem4 *protocol);
  // GetStatus's counters at values beyond any test's transfer (all ones, a
  // "tsize" of 0).
  void InjectCounts(UINT32 total, UINT32 received, UINT32 lost);
  // The child's UDP4 port (nullptr: none, which no child made by the service
  // binding ever has); returns the port it had.
  EFI_UDP4_PROTOCOL *InjectPort(EFI_UDP4_PROTOCOL *udp);
  // A state the flow does not lead to from where the transfer is (Passive
  // mode with the request outstanding).
  void InjectState(TransferState state);
  // The failure a transfer's end records, for the routines that end it
  // called directly.
  void InjectStatus(EFI_STATUS status);
  // A window whose first block lies past the next block expected (a broken
  // invariant).
  void InjectWindowBase(UINT32 base);

private:
  void *instance_;
};

// A record made by hand for the unit tests of the routines that take one
// (builders, sends, the missing list, block saving), with no child or
// transfer around it: request sent, a server at 127.0.0.2:40001 that answered
// a request to 127.0.0.3:5568, the port `udp`, the caller's `token`.
class RecordRig {
public:
  RecordRig(EFI_UDP4_PROTOCOL *udp, Zem4Token *token);
  ~RecordRig();
  RecordRig(const RecordRig &) = delete;
  RecordRig &operator=(const RecordRig &) = delete;

  Zem4Instance *Record() { return instance_; }
  // The transfer's own failure, as the routines record it.
  EFI_STATUS Status() const;
  void SetStatus(EFI_STATUS status);
  EFI_IPv4_ADDRESS ServerIp() const;
  EFI_IPv4_ADDRESS RequestServerIp() const;
  // Sends handed to UDP4 whose transmit has not completed, and their list.
  UINT32 PendingSends() const;
  LIST_ENTRY *PendingList();
  // The count a transfer's end clears once the port dropped the list.
  void ForgetPendingSends();
  // The packets kept for retransmission: the request, the last reply.
  Zem4Packet *RequestPacket() const;
  Zem4Packet *LastPacket() const;
  UINT8 RplListSent() const;
  UINT32 ReceivedBlocks() const;
  UINT32 LostBlocks() const;
  Zem4RxContext *RxContext();
  // The download record the missing-list routines work on (nullptr: none).
  void AttachRrq(Zem4RrqData *rrq);
  Zem4RrqData *Rrq() const;
  // The receive window's buffer (nullptr: none) and a slot holding a block of
  // `length` bytes.
  void SetWindow(UINT8 *buffer);
  void FillSlot(UINT32 slot, UINT32 length);
  // What a transfer's finish does to the caller's call-outs on the stack of
  // the child behind `protocol`: marks each of them gone.
  static void EndCallOuts(Zem4 *protocol);
  // Forgets the call-outs (their frames are gone).
  void ForgetCallOuts();
  // What a transfer's end does with the pending list and the kept packets.
  void DropPending();

private:
  Zem4Instance *instance_;
};

// GetInfo's capture of a reply, handed `reply` directly: the dispatch passes
// it only an OACK or a well-formed ERROR, so other packets reach it only so.
struct GetInfoCapture {
  EFI_STATUS returned;
  EFI_STATUS status;
  bool captured;
};
GetInfoCapture CaptureGetInfoReply(Zem4 *protocol, const void *reply, UINT32 length,
                                   UINT32 *packetLength, VOID **packet);

const char *TransferStateName(TransferState state);

inline void PrintTo(TransferState state, std::ostream *os) {
  *os << TransferStateName(state);
}

} // namespace zem4::test
