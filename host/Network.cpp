#include "host/Network.h"

#include <vector>

namespace zem4::host {

std::string_view ToString(NetStatus status) {
  switch (status) {
  case NetStatus::Ok:
    return "ok";
  case NetStatus::AddressInUse:
    return "address in use";
  case NetStatus::NoPortsLeft:
    return "no ports left";
  case NetStatus::InvalidArgument:
    return "invalid argument";
  case NetStatus::TooLarge:
    return "datagram too large";
  case NetStatus::QueueFull:
    return "queue full";
  case NetStatus::Closed:
    return "closed";
  }
  return "unknown";
}

PeerPort::~PeerPort() {
  port_->SetListener(nullptr);
  network_.Forget(id_);
}

void PeerPort::OnArrival() {
  network_.pending_.insert(id_);
}

NetStatus PeerPort::Send(Ipv4 dst, uint16_t dstPort, std::span<const uint8_t> payload) {
  Datagram d;
  d.dst = dst;
  d.dstPort = dstPort;
  d.payload.assign(payload.begin(), payload.end());
  return port_->Send(d);
}

Network::~Network() = default;

std::unique_ptr<PeerPort> Network::OpenPeerPort(Ipv4 address, uint16_t port,
                                                PeerPort::OnReceive onReceive, NetStatus *status) {
  PortConfig config;
  config.localAddress = address;
  config.localPort = port;
  NetStatus st = NetStatus::Ok;
  auto netPort = OpenPort(config, st);
  if (status)
    *status = st;
  if (!netPort)
    return nullptr;
  uint64_t id = nextPeerPortId_++;
  std::unique_ptr<PeerPort> ep(new PeerPort(*this, id, std::move(netPort), std::move(onReceive)));
  peerPorts_[id] = ep.get();
  if (ReportsArrivals()) {
    ep->port_->SetListener(ep.get());
    if (ep->port_->HasReceived())
      pending_.insert(id);
  } else {
    unannounced_.insert(id);
  }
  return ep;
}

void Network::Forget(uint64_t id) {
  peerPorts_.erase(id);
  pending_.erase(id);
  unannounced_.erase(id);
}

void Network::DispatchPeerPorts() {
  // Callbacks may open or close peer ports: look the next one up again after
  // every callback; those opened meanwhile wait for the next time.
  const uint64_t last = nextPeerPortId_ - 1;
  uint64_t cursor = 0;
  for (;;) {
    auto p = pending_.upper_bound(cursor);
    auto u = unannounced_.upper_bound(cursor);
    uint64_t id = 0;
    if (p != pending_.end())
      id = *p;
    if (u != unannounced_.end() && (id == 0 || *u < id))
      id = *u;
    if (id == 0 || id > last)
      break;
    cursor = id;
    pending_.erase(id);
    for (;;) {
      auto it = peerPorts_.find(id);
      if (it == peerPorts_.end())
        break;
      auto rx = it->second->port_->Receive();
      if (!rx)
        break;
      // Copy the callback: it may destroy its own peer port.
      auto cb = it->second->onReceive_;
      NoteActivity();
      if (cb && !rx->portUnreachable) // peers are told of datagrams only
        cb(rx->datagram, rx->time);
    }
  }
}

bool Network::PeerPortsHaveReceived() const {
  for (const std::set<uint64_t> *ids : {&pending_, &unannounced_})
    for (uint64_t id : *ids)
      if (peerPorts_.at(id)->port_->HasReceived())
        return true;
  return false;
}

} // namespace zem4::host
