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

bool InstanceProbe::Configured() const {
  return Of(instance_)->Configured != 0;
}
bool InstanceProbe::UsesDefaultSetting() const {
  return Of(instance_)->Config.UseDefaultSetting != 0;
}

bool InstanceProbe::Done() const {
  return Of(instance_)->Done != 0;
}
bool InstanceProbe::HoldsRequest() const {
  return Of(instance_)->RrqData != nullptr;
}
bool InstanceProbe::HoldsWindow() const {
  return Of(instance_)->WindowBuffer != nullptr;
}
UINT16 InstanceProbe::ServerPort() const {
  return Of(instance_)->ServerPort;
}
UINT32 InstanceProbe::WindowBase() const {
  return Of(instance_)->WindowBase;
}
UINT32 InstanceProbe::NextBlock() const {
  return Of(instance_)->NextBlock;
}
INT32 InstanceProbe::LastBlock() const {
  return Of(instance_)->LastBlock;
}
UINT8 InstanceProbe::SlotFilled(UINT32 slot) const {
  return slot < ZEM4_WINDOW_BLOCKS ? Of(instance_)->SlotFilled[slot] : 0;
}
UINT32 InstanceProbe::MaxRetry() const {
  return Of(instance_)->MaxRetry;
}
UINT32 InstanceProbe::RetryCount() const {
  return Of(instance_)->RetryCount;
}
bool InstanceProbe::AckPending() const {
  return Of(instance_)->AckPending != 0;
}
bool InstanceProbe::RplListSent() const {
  return Of(instance_)->RplListSent != 0;
}
EFI_HANDLE InstanceProbe::ChildHandle() const {
  return Of(instance_)->ChildHandle;
}
EFI_HANDLE InstanceProbe::ControllerHandle() const {
  return Of(instance_)->ControllerHandle;
}
EFI_UDP4_PROTOCOL *InstanceProbe::Udp() const {
  return Of(instance_)->Udp;
}
EFI_HANDLE InstanceProbe::McastPort() const {
  return Of(instance_)->McastChildHandle;
}
bool InstanceProbe::HasMappingEvent() const {
  return Of(instance_)->MappingEvent != nullptr;
}
bool InstanceProbe::InDestroy() const {
  return Of(instance_)->InDestroy != 0;
}
bool InstanceProbe::SignatureValid() const {
  return Of(instance_)->Signature == ZEM4_INSTANCE_SIGNATURE;
}
const LIST_ENTRY *InstanceProbe::Link() const {
  return &Of(instance_)->Link;
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
