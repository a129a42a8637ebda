#include "tests/common/InstanceProbe.h"

#include "protocol/Zem4Instance.h"

namespace zem4::test {
namespace {

const Zem4Instance *Of(const void *instance) {
  return static_cast<const Zem4Instance *>(instance);
}

} // namespace

InstanceProbe::InstanceProbe(Zem4 *protocol) : instance_(ZEM4_INSTANCE_FROM_PROTOCOL(protocol)) {}

TransferState InstanceProbe::State() const {
  switch (Of(instance_)->State) {
  case ZEM4_STATE_IDLE:
    return TransferState::Idle;
  case ZEM4_STATE_TIME_WAIT:
    return TransferState::TimeWait;
  case ZEM4_STATE_RRQ_SENT:
    return TransferState::RrqSent;
  case ZEM4_STATE_RPL:
    return TransferState::Rpl;
  case ZEM4_STATE_RECEIVING:
    return TransferState::Receiving;
  case ZEM4_STATE_ERROR_SENT:
    return TransferState::ErrorSent;
  case ZEM4_STATE_ADDRESS_WAIT:
    return TransferState::AddressWait;
  default:
    return TransferState::Other;
  }
}

UINT32 InstanceProbe::PendingSends() const {
  return Of(instance_)->PendingSends;
}

Zem4Token *InstanceProbe::Token() const {
  return Of(instance_)->Token;
}

bool InstanceProbe::HasTimer() const {
  return Of(instance_)->TimerEvent != nullptr;
}

bool InstanceProbe::HasMcastPort() const {
  return Of(instance_)->McastChildHandle != nullptr;
}

const char *TransferStateName(TransferState state) {
  switch (state) {
  case TransferState::Idle:
    return "Idle";
  case TransferState::TimeWait:
    return "TimeWait";
  case TransferState::RrqSent:
    return "RrqSent";
  case TransferState::Rpl:
    return "Rpl";
  case TransferState::Receiving:
    return "Receiving";
  case TransferState::ErrorSent:
    return "ErrorSent";
  case TransferState::AddressWait:
    return "AddressWait";
  case TransferState::Other:
    break;
  }
  return "Other";
}

} // namespace zem4::test
