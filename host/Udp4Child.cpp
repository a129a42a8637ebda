#include "host/Udp4Child.h"

#include "host/Udp4Controller.h"

#include "host/EventCore.h"
#include "host/FaultInjector.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

namespace zem4::host {
namespace {

// Live children by interface, so a stray This is refused instead of followed.
std::map<const EFI_UDP4_PROTOCOL *, Udp4Child *> &Registry() {
  static std::map<const EFI_UDP4_PROTOCOL *, Udp4Child *> registry;
  return registry;
}

// What IPv4 takes from the layer above in one packet: an Ethernet MTU less
// the IPv4 header.
constexpr UINT32 kIp4MaxPacketSize = 1500 - 20;

bool ContiguousMask(Ipv4 mask) {
  uint32_t inverted = ~mask.ToUint();
  return (inverted & (inverted + 1)) == 0;
}

// The fields that may change while configured; all others need a reset.
bool SameExceptTunables(const EFI_UDP4_CONFIG_DATA &a, const EFI_UDP4_CONFIG_DATA &b) {
  EFI_UDP4_CONFIG_DATA x = a, y = b;
  for (EFI_UDP4_CONFIG_DATA *c : {&x, &y}) {
    c->TypeOfService = 0;
    c->TimeToLive = 0;
    c->DoNotFragment = 0;
    c->ReceiveTimeout = 0;
    c->TransmitTimeout = 0;
  }
  auto normalise = [](EFI_UDP4_CONFIG_DATA &c) {
    c.AcceptBroadcast = c.AcceptBroadcast != 0;
    c.AcceptPromiscuous = c.AcceptPromiscuous != 0;
    c.AcceptAnyPort = c.AcceptAnyPort != 0;
    c.AllowDuplicatePort = c.AllowDuplicatePort != 0;
    c.UseDefaultAddress = c.UseDefaultAddress != 0;
    if (c.UseDefaultAddress) {
      c.StationAddress = {};
      c.SubnetMask = {};
    }
    if (ToIpv4(c.RemoteAddress).IsZero())
      c.RemotePort = 0;
  };
  normalise(x);
  normalise(y);
  return x.AcceptBroadcast == y.AcceptBroadcast && x.AcceptPromiscuous == y.AcceptPromiscuous &&
         x.AcceptAnyPort == y.AcceptAnyPort && x.AllowDuplicatePort == y.AllowDuplicatePort &&
         x.UseDefaultAddress == y.UseDefaultAddress &&
         ToIpv4(x.StationAddress) == ToIpv4(y.StationAddress) &&
         ToIpv4(x.SubnetMask) == ToIpv4(y.SubnetMask) && x.StationPort == y.StationPort &&
         ToIpv4(x.RemoteAddress) == ToIpv4(y.RemoteAddress) && x.RemotePort == y.RemotePort;
}

} // namespace

Udp4Child::Udp4Child(Udp4ControllerImpl &controller)
    : protocol_(Udp4ProtocolTable()), controller_(controller) {
  Registry()[&protocol_] = this;
}

Udp4Child::~Udp4Child() {
  Reset();
  Registry().erase(&protocol_);
}

void Udp4Child::Orphan() {
  Reset();
  Registry().erase(&protocol_);
}

Udp4Child *Udp4Child::FromProtocol(const EFI_UDP4_PROTOCOL *protocol) {
  auto it = Registry().find(protocol);
  return it == Registry().end() ? nullptr : it->second;
}

bool Udp4Child::Mapped() const {
  return !config_.UseDefaultAddress || controller_.Mapped();
}

Ipv4 Udp4Child::LocalAddress() const {
  if (config_.UseDefaultAddress)
    return controller_.Mapped() ? controller_.Address() : Ipv4{};
  Ipv4 station = ToIpv4(config_.StationAddress);
  // No station address: the controller's own.
  return station.IsZero() ? controller_.Address() : station;
}

Ipv4 Udp4Child::SubnetMask() const {
  if (config_.UseDefaultAddress)
    return controller_.Mapped() ? controller_.Options().subnetMask : Ipv4{};
  return ToIpv4(config_.SubnetMask);
}

EFI_STATUS Udp4Child::OpenPort() {
  PortConfig pc;
  pc.localAddress = LocalAddress();
  pc.localPort = config_.StationPort;
  pc.remoteAddress = ToIpv4(config_.RemoteAddress);
  pc.remotePort = pc.remoteAddress.IsZero() ? 0 : config_.RemotePort;
  pc.acceptBroadcast = config_.AcceptBroadcast;
  pc.acceptPromiscuous = config_.AcceptPromiscuous;
  pc.acceptAnyPort = config_.AcceptAnyPort;
  pc.allowDuplicatePort = config_.AllowDuplicatePort;
  NetStatus st = NetStatus::Ok;
  port_ = controller_.Net().OpenPort(pc, st);
  if (port_ && controller_.Net().ReportsArrivals()) {
    port_->SetListener(this);
    if (port_->HasReceived())
      controller_.Wake();
  }
  switch (st) {
  case NetStatus::Ok:
    return EFI_SUCCESS;
  case NetStatus::AddressInUse:
    return EFI_ACCESS_DENIED;
  case NetStatus::NoPortsLeft:
    return EFI_OUT_OF_RESOURCES;
  case NetStatus::InvalidArgument:
    return EFI_INVALID_PARAMETER;
  default:
    return EFI_DEVICE_ERROR;
  }
}

void Udp4Child::Complete(const char *call, EFI_UDP4_COMPLETION_TOKEN *token, EFI_STATUS status) {
  token->Status = status;
  ++controller_.Shared().activity;
  Firmware &fw = controller_.Fw();
  // Real firmware would signal freed memory here: the caller closed the event
  // while the token was still ours.
  if (!fw.IsEvent(token->Event)) {
    fw.AddViolation(std::string(call) + " token completed on a closed event");
    return;
  }
  fw.SignalEvent(token->Event);
}

void Udp4Child::SetSendCompletion(SendCompletion mode) {
  sendCompletion_ = mode;
  if (mode != SendCompletion::Held && !transmits_.empty())
    controller_.Wake(); // held sends are due now
}

void Udp4Child::OnArrival() {
  if (!receives_.empty())
    controller_.Wake();
}

SendCompletion Udp4Child::SendMode() const {
  return sendCompletion_.value_or(controller_.Options().sendCompletion);
}

bool Udp4Child::Queued(const EFI_UDP4_COMPLETION_TOKEN *token) const {
  for (const Pending &p : transmits_)
    if (p.token == token)
      return true;
  return std::find(receives_.begin(), receives_.end(), token) != receives_.end();
}

void Udp4Child::Reset() {
  while (!receives_.empty()) {
    EFI_UDP4_COMPLETION_TOKEN *token = receives_.front();
    receives_.pop_front();
    token->Packet.RxData = nullptr;
    Complete("Udp4.Receive", token, EFI_ABORTED);
  }
  while (!transmits_.empty()) {
    EFI_UDP4_COMPLETION_TOKEN *token = transmits_.front().token;
    transmits_.pop_front();
    Complete("Udp4.Transmit", token, EFI_ABORTED);
  }
  groups_.clear();
  groupTable_.clear();
  port_.reset();
  configured_ = false;
  config_ = {};
}

void Udp4Child::OnMapped() {
  if (configured_ && config_.UseDefaultAddress && !port_ && OpenPort() != EFI_SUCCESS) {
    // The port the configuration asks for is taken by now: the configuration
    // lapses, as if the address had never come.
    Reset();
  }
}

EFI_STATUS Udp4Child::GetModeData(EFI_UDP4_CONFIG_DATA *udp, EFI_IP4_MODE_DATA *ip4,
                                  EFI_MANAGED_NETWORK_CONFIG_DATA *mnp,
                                  EFI_SIMPLE_NETWORK_MODE *snp) {
  if (udp && !configured_)
    return EFI_NOT_STARTED;
  if (udp) {
    *udp = config_;
    if (port_)
      udp->StationPort = port_->Port();
  }
  if (ip4) {
    // Written as the layout the controller presents: a buffer sized for the
    // 2.0-era record (60/80 bytes) is overrun by the current one (64/88), as
    // it would be on current firmware.
    EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE m{};
    m.IsStarted = configured_;
    m.MaxPacketSize = kIp4MaxPacketSize;
    if (configured_) {
      EFI_IP4_CONFIG_DATA &c = m.ConfigData;
      c.DefaultProtocol = 17; // UDP
      c.AcceptBroadcast = config_.AcceptBroadcast;
      c.AcceptPromiscuous = config_.AcceptPromiscuous;
      c.UseDefaultAddress = config_.UseDefaultAddress;
      c.StationAddress = ToEfi(LocalAddress());
      c.SubnetMask = ToEfi(SubnetMask());
      c.TypeOfService = config_.TypeOfService;
      c.TimeToLive = config_.TimeToLive;
      c.DoNotFragment = config_.DoNotFragment;
      c.ReceiveTimeout = config_.ReceiveTimeout;
      c.TransmitTimeout = config_.TransmitTimeout;
      m.IsConfigured = Mapped() && port_ != nullptr;
      groupTable_.clear();
      for (Ipv4 g : groups_)
        groupTable_.push_back(ToEfi(g));
      m.GroupCount = UINT32(groupTable_.size());
      m.GroupTable = groupTable_.empty() ? nullptr : groupTable_.data();
    }
    if (controller_.Options().ip4ModeLayout == Ip4ModeLayout::Current) {
      std::memcpy(static_cast<void *>(ip4), &m, sizeof m);
    } else {
      EFI_IP4_MODE_DATA old{};
      old.IsStarted = m.IsStarted;
      old.ConfigData = m.ConfigData;
      old.IsConfigured = m.IsConfigured;
      old.GroupCount = m.GroupCount;
      old.GroupTable = m.GroupTable;
      std::memcpy(static_cast<void *>(ip4), &old, sizeof old);
    }
  }
  if (mnp) {
    *mnp = {};
    mnp->ProtocolTypeFilter = 0x0800;
    mnp->EnableUnicastReceive = TRUE;
    mnp->EnableMulticastReceive = !groups_.empty();
    mnp->EnableBroadcastReceive = configured_ && config_.AcceptBroadcast;
    mnp->EnablePromiscuousReceive = configured_ && config_.AcceptPromiscuous;
    mnp->FlushQueuesOnReset = TRUE;
  }
  if (snp) {
    *snp = {};
    snp->State = EfiSimpleNetworkInitialized;
    snp->HwAddressSize = 6;
    snp->MediaHeaderSize = 14;
    snp->MaxPacketSize = 1500;
    snp->MaxMCastFilterCount = MAX_MCAST_FILTER_CNT;
    // A made-up locally administered MAC derived from the address.
    Ipv4 a = controller_.Address();
    UINT8 mac[6] = {0x02, 0x00, a.b[0], a.b[1], a.b[2], a.b[3]};
    std::memcpy(snp->CurrentAddress.Addr, mac, 6);
    std::memcpy(snp->PermanentAddress.Addr, mac, 6);
    std::memset(snp->BroadcastAddress.Addr, 0xFF, 6);
    snp->IfType = 1;
    snp->MediaPresentSupported = TRUE;
    snp->MediaPresent = TRUE;
  }
  return EFI_SUCCESS;
}

EFI_STATUS Udp4Child::Configure(const EFI_UDP4_CONFIG_DATA *config) {
  if (!config) {
    Reset();
    return EFI_SUCCESS;
  }
  if (!config->UseDefaultAddress) {
    Ipv4 station = ToIpv4(config->StationAddress);
    if (!station.IsZero() && !station.IsUnicast())
      return EFI_INVALID_PARAMETER;
    if (!ContiguousMask(ToIpv4(config->SubnetMask)))
      return EFI_INVALID_PARAMETER;
  }
  Ipv4 remote = ToIpv4(config->RemoteAddress);
  if (!remote.IsZero() && !remote.IsUnicast())
    return EFI_INVALID_PARAMETER;

  if (configured_) {
    if (!SameExceptTunables(config_, *config))
      return EFI_ALREADY_STARTED;
    config_.TypeOfService = config->TypeOfService;
    config_.TimeToLive = config->TimeToLive;
    config_.DoNotFragment = config->DoNotFragment;
    config_.ReceiveTimeout = config->ReceiveTimeout;
    config_.TransmitTimeout = config->TransmitTimeout;
    return Mapped() ? EFI_SUCCESS : EFI_NO_MAPPING;
  }

  config_ = *config;
  configured_ = true;
  if (!Mapped()) {
    // Kept: the port binds once the default address is there.
    return EFI_NO_MAPPING;
  }
  EFI_STATUS st = OpenPort();
  if (st != EFI_SUCCESS) {
    configured_ = false;
    config_ = {};
  }
  return st;
}

EFI_STATUS Udp4Child::Groups(bool join, const EFI_IPv4_ADDRESS *group) {
  if (join && (!group || !ToIpv4(*group).IsMulticast()))
    return EFI_INVALID_PARAMETER;
  if (!configured_)
    return EFI_NOT_STARTED;
  if (!Mapped() || !port_)
    return EFI_NO_MAPPING;
  if (!join && !group) {
    for (Ipv4 g : groups_)
      port_->LeaveGroup(g);
    groups_.clear();
    return EFI_SUCCESS;
  }
  Ipv4 g = ToIpv4(*group);
  auto it = std::find(groups_.begin(), groups_.end(), g);
  if (join) {
    if (it != groups_.end())
      return EFI_ALREADY_STARTED;
    if (groups_.size() >= controller_.Options().groupLimit)
      return EFI_OUT_OF_RESOURCES;
    if (port_->JoinGroup(g) != NetStatus::Ok)
      return EFI_DEVICE_ERROR;
    groups_.push_back(g);
    return EFI_SUCCESS;
  }
  if (it == groups_.end())
    return EFI_NOT_FOUND;
  port_->LeaveGroup(g);
  groups_.erase(it);
  return EFI_SUCCESS;
}

void Udp4Child::CheckTokenEvent(const char *call, const EFI_UDP4_COMPLETION_TOKEN &token) {
  const EFI_TPL tpl = controller_.Fw().Events().NotifyTplOf(token.Event);
  if (tpl > TPL_CALLBACK)
    controller_.Fw().AddViolation(std::string(call) + " token event notifies at TPL " +
                                  std::to_string(tpl) + " (limit <= 8)");
}

EFI_STATUS Udp4Child::Transmit(EFI_UDP4_COMPLETION_TOKEN *token) {
  if (!token || !token->Event || !token->Packet.TxData)
    return EFI_INVALID_PARAMETER;
  CheckTokenEvent("Udp4.Transmit", *token);
  if (!configured_)
    return EFI_NOT_STARTED;
  if (!Mapped() || !port_)
    return EFI_NO_MAPPING;
  const EFI_UDP4_TRANSMIT_DATA &tx = *token->Packet.TxData;
  if (tx.FragmentCount == 0)
    return EFI_INVALID_PARAMETER;
  // The table runs past its declared single entry.
  const EFI_UDP4_FRAGMENT_DATA *table = tx.FragmentTable;
  uint64_t total = 0;
  for (UINT32 i = 0; i < tx.FragmentCount; ++i) {
    const EFI_UDP4_FRAGMENT_DATA &f = table[i];
    if (f.FragmentLength == 0 || !f.FragmentBuffer)
      return EFI_INVALID_PARAMETER;
    total += f.FragmentLength;
  }
  if (total != tx.DataLength)
    return EFI_INVALID_PARAMETER;
  if (tx.GatewayAddress && !ToIpv4(*tx.GatewayAddress).IsUnicast())
    return EFI_INVALID_PARAMETER;

  Ipv4 dst = ToIpv4(config_.RemoteAddress);
  uint16_t dstPort = dst.IsZero() ? 0 : config_.RemotePort;
  if (const EFI_UDP4_SESSION_DATA *s = tx.UdpSessionData) {
    Ipv4 src = ToIpv4(s->SourceAddress);
    if (!src.IsZero() && src != port_->Address())
      return EFI_INVALID_PARAMETER;
    if (!ToIpv4(s->DestinationAddress).IsZero())
      dst = ToIpv4(s->DestinationAddress);
    if (s->DestinationPort != 0)
      dstPort = s->DestinationPort;
  }
  if (dst.IsZero() || dstPort == 0)
    return EFI_INVALID_PARAMETER;
  if (total > kMaxUdpPayload)
    return EFI_BAD_BUFFER_SIZE;
  for (const Pending &p : transmits_)
    if (p.token == token || p.token->Event == token->Event)
      return EFI_ACCESS_DENIED;
  if (Queued(token))
    return EFI_ACCESS_DENIED;
  if (transmits_.size() >= controller_.Options().transmitQueueLimit)
    return EFI_NOT_READY;

  Datagram d;
  d.dst = dst;
  d.dstPort = dstPort;
  d.payload.reserve(total);
  for (UINT32 i = 0; i < tx.FragmentCount; ++i) {
    const auto *p = static_cast<const uint8_t *>(table[i].FragmentBuffer);
    d.payload.insert(d.payload.end(), p, p + table[i].FragmentLength);
  }
  switch (port_->Send(d)) {
  case NetStatus::Ok:
    break;
  case NetStatus::TooLarge:
    return EFI_BAD_BUFFER_SIZE;
  case NetStatus::InvalidArgument:
    return EFI_INVALID_PARAMETER;
  default:
    return EFI_DEVICE_ERROR;
  }
  // Sent; the token completes on a later tick, as an interrupt-driven NIC would.
  transmits_.push_back(Pending{token});
  if (SendMode() != SendCompletion::Held)
    controller_.Wake();
  return EFI_SUCCESS;
}

EFI_STATUS Udp4Child::Receive(EFI_UDP4_COMPLETION_TOKEN *token) {
  if (!token || !token->Event)
    return EFI_INVALID_PARAMETER;
  CheckTokenEvent("Udp4.Receive", *token);
  if (!configured_)
    return EFI_NOT_STARTED;
  if (!Mapped() || !port_)
    return EFI_NO_MAPPING;
  // Several may wait, in order; the same token or event twice may not.
  for (const EFI_UDP4_COMPLETION_TOKEN *t : receives_)
    if (t == token || t->Event == token->Event)
      return EFI_ACCESS_DENIED;
  if (Queued(token))
    return EFI_ACCESS_DENIED;
  if (receives_.size() >= controller_.Options().receiveQueueLimit)
    return EFI_NOT_READY;
  receives_.push_back(token);
  if (port_->HasReceived())
    controller_.Wake();
  return EFI_SUCCESS;
}

EFI_STATUS Udp4Child::Cancel(EFI_UDP4_COMPLETION_TOKEN *token) {
  if (!configured_)
    return EFI_NOT_STARTED;
  if (!Mapped() || !port_)
    return EFI_NO_MAPPING;
  bool found = false;
  for (auto it = receives_.begin(); it != receives_.end();) {
    if (!token || *it == token) {
      EFI_UDP4_COMPLETION_TOKEN *t = *it;
      it = receives_.erase(it);
      t->Packet.RxData = nullptr;
      Complete("Udp4.Receive", t, EFI_ABORTED);
      found = true;
    } else {
      ++it;
    }
  }
  for (auto it = transmits_.begin(); it != transmits_.end();) {
    if (!token || it->token == token) {
      EFI_UDP4_COMPLETION_TOKEN *t = it->token;
      it = transmits_.erase(it);
      Complete("Udp4.Transmit", t, EFI_ABORTED);
      found = true;
    } else {
      ++it;
    }
  }
  return found || !token ? EFI_SUCCESS : EFI_NOT_FOUND;
}

bool Udp4Child::HasWork() const {
  const bool sends = !transmits_.empty() && SendMode() != SendCompletion::Held;
  return sends || (!receives_.empty() && port_ && port_->HasReceived());
}

bool Udp4Child::CompleteTransmits() {
  const SendCompletion mode = SendMode();
  if (transmits_.empty() || mode == SendCompletion::Held)
    return false;
  // Everything queued is from before this tick: Transmit never ticks.
  std::vector<EFI_UDP4_COMPLETION_TOKEN *> now;
  if (mode == SendCompletion::NextTick) {
    for (const Pending &p : transmits_)
      now.push_back(p.token);
    transmits_.clear();
  } else {
    // Each send is passed over with even odds, but never more than a few
    // ticks running, so that every one still completes; then the chosen
    // ones complete in a shuffled order.
    constexpr unsigned kMaxTicksHeld = 3;
    for (auto it = transmits_.begin(); it != transmits_.end();) {
      if (it->ticksHeld >= kMaxTicksHeld || controller_.NextRandom() % 2 == 0) {
        now.push_back(it->token);
        it = transmits_.erase(it);
      } else {
        ++it->ticksHeld;
        ++it;
      }
    }
    for (size_t i = now.size(); i > 1; --i)
      std::swap(now[i - 1], now[controller_.NextRandom() % i]);
  }
  // A completion can be made to fail ("Udp4.TransmitCompletion") as a NIC
  // error or ICMP report would.
  FaultInjector &faults = controller_.Fw().Faults();
  for (EFI_UDP4_COMPLETION_TOKEN *token : now) {
    EFI_STATUS st = EFI_SUCCESS;
    faults.ShouldFail("Udp4.TransmitCompletion", st);
    Complete("Udp4.Transmit", token, st);
  }
  return !now.empty();
}

bool Udp4Child::DeliverReceives() {
  bool worked = false;
  FaultInjector &faults = controller_.Fw().Faults();
  while (!receives_.empty() && port_ && port_->HasReceived()) {
    EFI_UDP4_COMPLETION_TOKEN *token = receives_.front();
    receives_.pop_front();
    EFI_STATUS st = EFI_SUCCESS;
    if (faults.ShouldFail("Udp4.ReceiveCompletion", st)) {
      // An error completion carries no data; the datagram stays queued.
      token->Packet.RxData = nullptr;
    } else if (ReceivedDatagram rx = std::move(*port_->Receive()); rx.portUnreachable) {
      // An ICMP report ends a receive as UDP4's do: its status, no data.
      token->Packet.RxData = nullptr;
      st = EFI_PORT_UNREACHABLE;
    } else {
      st = controller_.HandOut(std::move(rx), token);
    }
    Complete("Udp4.Receive", token, st);
    worked = true;
  }
  return worked;
}

bool Udp4Child::Service() {
  const bool sent = CompleteTransmits();
  return DeliverReceives() || sent;
}

} // namespace zem4::host
