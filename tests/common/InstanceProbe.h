// The one read-only view tests have of a child's private record, for what
// the datagrams, token results, log lines and GetStatus cannot show. No
// test reads the record itself.
#pragma once

#include "efi/Udp4.h"
#include "zem4/Zem4.h"

#include <ostream>

struct LIST_ENTRY;

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

private:
  const void *instance_;
};

const char *TransferStateName(TransferState state);

inline void PrintTo(TransferState state, std::ostream *os) {
  *os << TransferStateName(state);
}

} // namespace zem4::test
