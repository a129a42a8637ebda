#include "tests/common/InstanceProbe.h"

#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "transport/Zem4Packet.h"

#include <cstring>

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
UINT16 InstanceProbe::RetryTimeout() const {
  return Of(instance_)->RetryTimeout;
}
UINT16 InstanceProbe::WindowStartSlot() const {
  return Of(instance_)->WindowStartSlot;
}
UINT32 InstanceProbe::FirstHalfLeft() const {
  return Of(instance_)->FirstHalfLeft;
}
EFI_STATUS InstanceProbe::Status() const {
  return Of(instance_)->Status;
}
UINT16 InstanceProbe::McastGroupPort() const {
  return Of(instance_)->Options.McastPort;
}
Zem4RrqData *InstanceProbe::Download() const {
  return Of(instance_)->RrqData;
}
Zem4Packet *InstanceProbe::RequestPacket() const {
  return Of(instance_)->RequestPacket;
}
Zem4Packet *InstanceProbe::LastPacket() const {
  return Of(instance_)->LastPacket;
}
bool InstanceProbe::HasReceiveEvent() const {
  return Of(instance_)->RxContext.RxToken.Event != nullptr;
}
bool InstanceProbe::ResetOwed() const {
  return Of(instance_)->ResetOwed != 0;
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

Zem4Instance *InstanceProbe::RecordOf(Zem4 *protocol) {
  return ZEM4_INSTANCE_FROM_PROTOCOL(protocol);
}
Zem4 *InstanceProbe::ProtocolOf(Zem4Instance *instance) {
  return &instance->Protocol;
}
size_t InstanceProbe::ProtocolOffset() {
  return offsetof(Zem4Instance, Protocol);
}

InstanceRig::InstanceRig(Zem4 *protocol) : instance_(ZEM4_INSTANCE_FROM_PROTOCOL(protocol)) {}

void InstanceRig::InjectCounts(UINT32 total, UINT32 received, UINT32 lost) {
  auto *instance = static_cast<Zem4Instance *>(instance_);
  instance->TotalBlocks = total;
  instance->ReceivedBlocks = received;
  instance->LostBlocks = lost;
}

EFI_UDP4_PROTOCOL *InstanceRig::InjectPort(EFI_UDP4_PROTOCOL *udp) {
  auto *instance = static_cast<Zem4Instance *>(instance_);
  EFI_UDP4_PROTOCOL *had = instance->Udp;
  instance->Udp = udp;
  return had;
}

RecordRig::RecordRig(EFI_UDP4_PROTOCOL *udp, Zem4Token *token) : instance_(new Zem4Instance) {
  std::memset(instance_, 0, sizeof(Zem4Instance));
  instance_->Signature = ZEM4_INSTANCE_SIGNATURE;
  instance_->Udp = udp;
  instance_->State = ZEM4_STATE_RRQ_SENT;
  InitializeListHead(&instance_->PendingList);
  instance_->ServerIp = {{127, 0, 0, 2}};
  instance_->ServerPort = 40001;
  instance_->RequestServerIp = {{127, 0, 0, 3}};
  instance_->RequestServerPort = 5568;
  instance_->Token = token;
}
RecordRig::~RecordRig() {
  delete instance_;
}
EFI_STATUS RecordRig::Status() const {
  return instance_->Status;
}
void RecordRig::SetStatus(EFI_STATUS status) {
  instance_->Status = status;
}
EFI_IPv4_ADDRESS RecordRig::ServerIp() const {
  return instance_->ServerIp;
}
EFI_IPv4_ADDRESS RecordRig::RequestServerIp() const {
  return instance_->RequestServerIp;
}
UINT32 RecordRig::PendingSends() const {
  return instance_->PendingSends;
}
LIST_ENTRY *RecordRig::PendingList() {
  return &instance_->PendingList;
}
void RecordRig::ForgetPendingSends() {
  instance_->PendingSends = 0;
}
Zem4Packet *RecordRig::RequestPacket() const {
  return instance_->RequestPacket;
}
Zem4Packet *RecordRig::LastPacket() const {
  return instance_->LastPacket;
}
UINT8 RecordRig::RplListSent() const {
  return instance_->RplListSent;
}
UINT32 RecordRig::ReceivedBlocks() const {
  return instance_->ReceivedBlocks;
}
UINT32 RecordRig::LostBlocks() const {
  return instance_->LostBlocks;
}
Zem4RxContext *RecordRig::RxContext() {
  return &instance_->RxContext;
}
void RecordRig::AttachRrq(Zem4RrqData *rrq) {
  instance_->RrqData = rrq;
}
Zem4RrqData *RecordRig::Rrq() const {
  return instance_->RrqData;
}
void RecordRig::SetWindow(UINT8 *buffer) {
  instance_->WindowBuffer = buffer;
}
void RecordRig::FillSlot(UINT32 slot, UINT32 length) {
  if (slot < ZEM4_WINDOW_BLOCKS) {
    instance_->SlotFilled[slot] = 1;
    instance_->SlotLength[slot] = length;
  }
}
void RecordRig::EndCallOuts(Zem4 *protocol) {
  for (Zem4CallGuard *guard = ZEM4_INSTANCE_FROM_PROTOCOL(protocol)->Guards; guard != nullptr;
       guard = guard->Next) {
    guard->Gone = TRUE;
  }
}
void RecordRig::ForgetCallOuts() {
  instance_->Guards = nullptr;
}
void RecordRig::DropPending() {
  while (!IsListEmpty(&instance_->PendingList)) {
    Zem4Packet *packet = ZEM4_CR(instance_->PendingList.ForwardLink, Zem4Packet, Link);
    RemoveEntryList(&packet->Link);
    instance_->PendingSends--;
    Zem4ReleasePacket(packet);
  }
  for (Zem4Packet **kept : {&instance_->RequestPacket, &instance_->LastPacket}) {
    if (*kept != nullptr) {
      Zem4ReleasePacket(*kept);
      *kept = nullptr;
    }
  }
}

void InstanceRig::InjectState(TransferState state) {
  static const UINT32 kStates[] = {
      ZEM4_STATE_IDLE,      ZEM4_STATE_TIME_WAIT,  ZEM4_STATE_RRQ_SENT,    ZEM4_STATE_RPL,
      ZEM4_STATE_RECEIVING, ZEM4_STATE_ERROR_SENT, ZEM4_STATE_ADDRESS_WAIT};
  const auto index = static_cast<size_t>(state);
  static_cast<Zem4Instance *>(instance_)->State =
      index < sizeof(kStates) / sizeof(kStates[0]) ? kStates[index] : 0;
}
void InstanceRig::InjectStatus(EFI_STATUS status) {
  static_cast<Zem4Instance *>(instance_)->Status = status;
}
void InstanceRig::InjectWindowBase(UINT32 base) {
  static_cast<Zem4Instance *>(instance_)->WindowBase = base;
}

GetInfoCapture CaptureGetInfoReply(Zem4 *protocol, const void *reply, UINT32 length,
                                   UINT32 *packetLength, VOID **packet) {
  Zem4GetInfoContext context{packetLength, packet, EFI_SUCCESS, FALSE};
  Zem4Token token{};
  token.Context = &context;
  EFI_STATUS returned = Zem4GetInfoCheck(protocol, &token, length, const_cast<void *>(reply));
  return {returned, context.Status, context.Captured != FALSE};
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
