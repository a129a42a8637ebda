// The one read-only view tests have of a child's private record, for what
// the datagrams, token results, log lines and GetStatus cannot show. No
// test reads the record itself.
#pragma once

#include "zem4/Zem4.h"

namespace zem4::test {

enum class TransferState { Idle, TimeWait, RrqSent, Rpl, Receiving, ErrorSent, AddressWait, Other };

class InstanceProbe {
public:
  // `protocol` is the child's Zem4 protocol.
  explicit InstanceProbe(Zem4 *protocol);

  TransferState State() const;
  bool Idle() const { return State() == TransferState::Idle; }
  // Datagrams handed to UDP4 whose transmit has not completed.
  UINT32 PendingSends() const;
  // The token of the transfer in progress, if any.
  Zem4Token *Token() const;
  bool HasTimer() const;
  // A multicast port (a second UDP4 child) is open for the transfer.
  bool HasMcastPort() const;

private:
  const void *instance_;
};

const char *TransferStateName(TransferState state);

} // namespace zem4::test
