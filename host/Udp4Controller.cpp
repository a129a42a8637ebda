#include "host/Udp4Controller.h"

#include "host/ProtocolServices.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zem4::host {
namespace {

// The UDP4 stack's own handle carries this private protocol.
const EFI_GUID kUdp4StackGuid = {
    0x7a3e0c51, 0x2d4b, 0x4e8f, {0x9c, 0x61, 0x3b, 0x52, 0x8e, 0x07, 0xd4, 0x19}};
const char kStackMarker[] = "zem4 host UDP4 stack";

std::map<const EFI_SERVICE_BINDING_PROTOCOL *, Udp4ControllerImpl *> &Registry() {
  static std::map<const EFI_SERVICE_BINDING_PROTOCOL *, Udp4ControllerImpl *> registry;
  return registry;
}

// One accounting record per firmware, registered once as its live counter.
std::shared_ptr<Udp4Shared> SharedFor(Firmware &fw) {
  static std::map<Firmware *, std::weak_ptr<Udp4Shared>> byFirmware;
  for (auto it = byFirmware.begin(); it != byFirmware.end();)
    it = it->second.expired() ? byFirmware.erase(it) : std::next(it);
  if (auto existing = byFirmware[&fw].lock())
    return existing;
  auto shared = std::make_shared<Udp4Shared>();
  byFirmware[&fw] = shared;
  // The firmware keeps the counter (and so the record) as long as it lives.
  fw.AddLiveCounter(kUnrecycledCounter, [shared] { return shared->unrecycled; });
  return shared;
}

} // namespace

// A datagram handed to a receiver: the receive data with its fragment table
// and the separate fragment buffers, alive until RecycleSignal.
struct Udp4ControllerImpl::RxRecord {
  Udp4ControllerImpl *owner = nullptr;
  EFI_EVENT recycle = nullptr;
  std::vector<std::vector<uint8_t>> pieces;
  std::vector<uint64_t> storage; // EFI_UDP4_RECEIVE_DATA + FragmentTable[n], aligned
  EFI_UDP4_RECEIVE_DATA *Data() {
    return reinterpret_cast<EFI_UDP4_RECEIVE_DATA *>(storage.data());
  }
};

Udp4ControllerImpl::Udp4ControllerImpl(Firmware &firmware, Network &network, Ipv4 address,
                                       const Udp4ControllerOptions &options)
    : sb_(Udp4ServiceBindingTable()), fw_(firmware), net_(network), address_(address),
      options_(options), shared_(SharedFor(firmware)) {
  random_ = options_.seed;
  mappedAt_ = fw_.Now() + options_.mappingDelay;
  mapped_ = options_.mappingDelay == 0;
  Registry()[&sb_] = this;
  agent_ = fw_.InstallProtocol(nullptr, kUdp4StackGuid, const_cast<char *>(kStackMarker));
  handle_ = fw_.InstallProtocol(nullptr, gEfiUdp4ServiceBindingProtocolGuid, &sb_);
  // Where arrivals are reported, a tick services only the controllers with
  // work; elsewhere every controller has to look at its ports every tick.
  fw_.AddDevice(*this, net_.ReportsArrivals() ? DeviceWake::OnWake : DeviceWake::EveryTick);
}

Udp4ControllerImpl::~Udp4ControllerImpl() {
  fw_.RemoveDevice(*this);
  // Destroying a child may make the protocol database stop the driver that
  // holds it, which may destroy other children: look again every round.
  while (!children_.empty()) {
    Udp4Child *child = children_.back().get();
    EFI_STATUS st = DestroyChild(child->Handle());
    auto it =
        std::find_if(children_.begin(), children_.end(), [&](auto &c) { return c.get() == child; });
    if (it != children_.end()) {
      // Still installed and in use: leave it be rather than free memory the
      // protocol database still points at. The leak report will show it.
      std::fprintf(stderr, "Udp4Controller: child %p not destroyed (status %#llx)\n",
                   child->Handle(), static_cast<unsigned long long>(st));
      (*it)->Orphan();
      it->release();
      children_.erase(it);
    }
  }
  if (handle_)
    fw_.UninstallProtocol(handle_, gEfiUdp4ServiceBindingProtocolGuid, &sb_);
  if (agent_)
    fw_.UninstallProtocol(agent_, kUdp4StackGuid, const_cast<char *>(kStackMarker));
  // Datagrams never recycled: free them, but they stay counted as leaked.
  for (auto &[ptr, record] : records_)
    fw_.CloseEvent(record->recycle);
  records_.clear();
  Registry().erase(&sb_);
}

Udp4ControllerImpl *Udp4ControllerImpl::FromServiceBinding(const EFI_SERVICE_BINDING_PROTOCOL *sb) {
  auto it = Registry().find(sb);
  return it == Registry().end() ? nullptr : it->second;
}

Udp4Child *Udp4ControllerImpl::FindChild(EFI_HANDLE handle) const {
  for (auto &c : children_)
    if (c->Handle() == handle)
      return c.get();
  return nullptr;
}

uint64_t Udp4ControllerImpl::NextRandom() {
  uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

EFI_STATUS Udp4ControllerImpl::CreateChild(EFI_HANDLE *childHandle) {
  if (!childHandle)
    return EFI_INVALID_PARAMETER;
  if (*childHandle && !fw_.IsHandle(*childHandle))
    return EFI_INVALID_PARAMETER;
  auto child = std::make_unique<Udp4Child>(*this);
  EFI_STATUS st = EFI_SUCCESS;
  EFI_HANDLE handle =
      fw_.InstallProtocol(*childHandle, gEfiUdp4ProtocolGuid, child->Protocol(), &st);
  if (!handle || EFI_ERROR(st))
    return EFI_ERROR(st) ? st : EFI_OUT_OF_RESOURCES;
  child->SetHandle(handle);
  // The child's record in the protocol database: the stack holds the
  // controller's service binding on the child's behalf.
  void *iface = nullptr;
  st = fw_.Protocols().Open(handle_, &gEfiUdp4ServiceBindingProtocolGuid, &iface, agent_, handle,
                            EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  if (EFI_ERROR(st)) {
    fw_.UninstallProtocol(handle, gEfiUdp4ProtocolGuid, child->Protocol());
    return st;
  }
  *childHandle = handle;
  children_.push_back(std::move(child));
  return EFI_SUCCESS;
}

EFI_STATUS Udp4ControllerImpl::DestroyChild(EFI_HANDLE childHandle) {
  if (!childHandle)
    return EFI_INVALID_PARAMETER;
  auto it = std::find_if(children_.begin(), children_.end(),
                         [&](auto &c) { return c->Handle() == childHandle; });
  if (it == children_.end()) {
    if (!fw_.IsHandle(childHandle))
      return EFI_INVALID_PARAMETER;
    // Someone else's UDP4 child, or a handle without UDP4 at all.
    return fw_.GetProtocol(childHandle, gEfiUdp4ProtocolGuid) ? EFI_INVALID_PARAMETER
                                                              : EFI_UNSUPPORTED;
  }
  Udp4Child *child = it->get();
  if (child->destroying)
    return EFI_SUCCESS; // re-entered from the Stop that uninstalling triggers
  child->destroying = true;
  fw_.Protocols().Close(handle_, &gEfiUdp4ServiceBindingProtocolGuid, agent_, childHandle);
  // A driver holding the protocol BY_DRIVER is stopped by the database; if
  // it cannot be, the uninstall is refused and the child stays.
  EFI_STATUS st = fw_.UninstallProtocol(childHandle, gEfiUdp4ProtocolGuid, child->Protocol());
  if (EFI_ERROR(st)) {
    void *iface = nullptr;
    fw_.Protocols().Open(handle_, &gEfiUdp4ServiceBindingProtocolGuid, &iface, agent_, childHandle,
                         EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
    child->destroying = false;
    return st;
  }
  // The uninstall may have run driver code that changed the list.
  it = std::find_if(children_.begin(), children_.end(), [&](auto &c) { return c.get() == child; });
  std::unique_ptr<Udp4Child> owned = std::move(*it);
  children_.erase(it);
  owned.reset(); // aborts its tokens
  return EFI_SUCCESS;
}

EFI_STATUS Udp4ControllerImpl::Poll() {
  uint64_t before = shared_->activity + net_.Activity();
  fw_.Tick();
  if (shared_->activity + net_.Activity() == before)
    fw_.AdvanceIdle();
  return EFI_SUCCESS;
}

EFI_STATUS Udp4ControllerImpl::HandOut(ReceivedDatagram &&rx, EFI_UDP4_COMPLETION_TOKEN *token) {
  auto record = std::make_unique<RxRecord>();
  record->owner = this;
  const std::vector<uint8_t> &payload = rx.datagram.payload;
  size_t count = rx.fragments.size();
  size_t bytes =
      offsetof(EFI_UDP4_RECEIVE_DATA, FragmentTable) + count * sizeof(EFI_UDP4_FRAGMENT_DATA);
  bytes = std::max(bytes, sizeof(EFI_UDP4_RECEIVE_DATA));
  record->storage.assign((bytes + 7) / 8, 0);
  // Each fragment in a buffer of its own: a reader that runs past one fragment
  // into the next is caught.
  size_t at = 0;
  record->pieces.reserve(count);
  for (uint32_t len : rx.fragments) {
    record->pieces.emplace_back(payload.begin() + at, payload.begin() + at + len);
    at += len;
  }
  EFI_UDP4_RECEIVE_DATA *data = record->Data();
  data->UdpSession.SourceAddress = ToEfi(rx.datagram.src);
  data->UdpSession.SourcePort = rx.datagram.srcPort;
  data->UdpSession.DestinationAddress = ToEfi(rx.datagram.dst);
  data->UdpSession.DestinationPort = rx.datagram.dstPort;
  data->DataLength = UINT32(payload.size());
  data->FragmentCount = UINT32(count);
  EFI_UDP4_FRAGMENT_DATA *table = data->FragmentTable; // sized for `count` above
  for (size_t i = 0; i < count; ++i) {
    table[i].FragmentLength = UINT32(record->pieces[i].size());
    table[i].FragmentBuffer = record->pieces[i].data();
  }
  EFI_STATUS st =
      fw_.CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, &OnRecycle, record.get(), &record->recycle);
  if (EFI_ERROR(st)) {
    token->Packet.RxData = nullptr;
    return EFI_OUT_OF_RESOURCES;
  }
  data->RecycleSignal = record->recycle;
  token->Packet.RxData = data;
  RxRecord *key = record.get();
  records_[key] = std::move(record);
  ++shared_->unrecycled;
  return EFI_SUCCESS;
}

void EFIAPI Udp4ControllerImpl::OnRecycle(EFI_EVENT, void *context) {
  auto *record = static_cast<RxRecord *>(context);
  record->owner->Recycle(record);
}

void Udp4ControllerImpl::Recycle(RxRecord *record) {
  auto it = records_.find(record);
  if (it == records_.end())
    return;
  EFI_EVENT ev = record->recycle;
  records_.erase(it);
  --shared_->unrecycled;
  fw_.CloseEvent(ev);
}

void Udp4ControllerImpl::Service(Time100ns now) {
  if (inService_)
    return;
  inService_ = true;
  if (!mapped_ && now >= mappedAt_) {
    mapped_ = true;
    ++shared_->activity;
    for (auto &child : children_)
      child->OnMapped();
  }
  // By index: a signalled notification cannot run here (the tick dispatches
  // afterwards), but stay safe should that change.
  for (size_t i = 0; i < children_.size(); ++i)
    children_[i]->Service();
  inService_ = false;
}

std::optional<Time100ns> Udp4ControllerImpl::NextDeadline() const {
  std::optional<Time100ns> next;
  if (!mapped_)
    next = mappedAt_;
  for (auto &child : children_)
    if (child->HasWork())
      return fw_.Now();
  return next;
}

// ---- Public face ------------------------------------------------------------

Udp4Controller::Udp4Controller(Firmware &firmware, Network &network, Ipv4 address,
                               const Udp4ControllerOptions &options)
    : impl_(std::make_unique<Udp4ControllerImpl>(firmware, network, address, options)) {}
Udp4Controller::~Udp4Controller() = default;
Udp4Controller::Udp4Controller(Udp4Controller &&) noexcept = default;
Udp4Controller &Udp4Controller::operator=(Udp4Controller &&) noexcept = default;

EFI_HANDLE Udp4Controller::Handle() const {
  return impl_->Handle();
}
EFI_SERVICE_BINDING_PROTOCOL *Udp4Controller::ServiceBinding() const {
  return impl_->ServiceBinding();
}
Ipv4 Udp4Controller::Address() const {
  return impl_->Address();
}
bool Udp4Controller::Mapped() const {
  return impl_->Mapped();
}
size_t Udp4Controller::ChildCount() const {
  return impl_->ChildCount();
}
size_t Udp4Controller::Unrecycled() const {
  return impl_->Unrecycled();
}

void Udp4Controller::SetSendCompletion(SendCompletion mode) {
  impl_->MutableOptions().sendCompletion = mode;
  if (mode != SendCompletion::Held)
    impl_->Wake(); // sends held so far are due now
}
bool Udp4Controller::SetSendCompletion(EFI_HANDLE child, SendCompletion mode) {
  Udp4Child *c = impl_->FindChild(child);
  if (c == nullptr)
    return false;
  c->SetSendCompletion(mode);
  return true;
}
void Udp4Controller::SetIp4ModeLayout(Ip4ModeLayout layout) {
  impl_->MutableOptions().ip4ModeLayout = layout;
}

Udp4Controller MakeController(Firmware &firmware, Network &network, Ipv4 address,
                              Time100ns mappingDelay) {
  Udp4ControllerOptions options;
  options.mappingDelay = mappingDelay;
  return Udp4Controller(firmware, network, address, options);
}

} // namespace zem4::host
