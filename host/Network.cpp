#include "host/Network.h"

#include <charconv>
#include <vector>

namespace zem4::host {

std::optional<Ipv4> Ipv4::Parse(std::string_view text) {
  Ipv4 out;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.')
        return std::nullopt;
      text.remove_prefix(1);
    }
    // Digits only: from_chars would take a sign or leave a blank alone.
    size_t n = 0;
    while (n < text.size() && n < 4 && text[n] >= '0' && text[n] <= '9')
      ++n;
    if (n == 0 || n > 3)
      return std::nullopt;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + n, value);
    if (value > 255)
      return std::nullopt;
    out.b[i] = static_cast<uint8_t>(value);
    text.remove_prefix(n);
  }
  if (!text.empty())
    return std::nullopt;
  return out;
}

std::string Ipv4::ToString() const {
  return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
         std::to_string(b[3]);
}

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

Endpoint::~Endpoint() {
  port_->SetListener(nullptr);
  network_.Forget(id_);
}

void Endpoint::OnArrival() {
  network_.pending_.insert(id_);
}

NetStatus Endpoint::Send(Ipv4 dst, uint16_t dstPort, std::span<const uint8_t> payload) {
  Datagram d;
  d.dst = dst;
  d.dstPort = dstPort;
  d.payload.assign(payload.begin(), payload.end());
  return port_->Send(d);
}

Network::~Network() = default;

std::unique_ptr<Endpoint> Network::OpenEndpoint(Ipv4 address, uint16_t port,
                                                Endpoint::OnReceive onReceive, NetStatus *status) {
  PortConfig config;
  config.localAddress = address;
  config.localPort = port;
  NetStatus st = NetStatus::Ok;
  auto netPort = OpenPort(config, st);
  if (status)
    *status = st;
  if (!netPort)
    return nullptr;
  uint64_t id = nextEndpointId_++;
  std::unique_ptr<Endpoint> ep(new Endpoint(*this, id, std::move(netPort), std::move(onReceive)));
  endpoints_[id] = ep.get();
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
  endpoints_.erase(id);
  pending_.erase(id);
  unannounced_.erase(id);
}

void Network::DispatchEndpoints() {
  // Callbacks may open or close endpoints: look the next one up again after
  // every callback; those opened meanwhile wait for the next time.
  const uint64_t last = nextEndpointId_ - 1;
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
      auto it = endpoints_.find(id);
      if (it == endpoints_.end())
        break;
      auto rx = it->second->port_->Receive();
      if (!rx)
        break;
      // Copy the callback: it may destroy its own endpoint.
      auto cb = it->second->onReceive_;
      NoteActivity();
      if (cb)
        cb(rx->datagram, rx->time);
    }
  }
}

bool Network::EndpointsHaveReceived() const {
  for (const std::set<uint64_t> *ids : {&pending_, &unannounced_})
    for (uint64_t id : *ids)
      if (endpoints_.at(id)->port_->HasReceived())
        return true;
  return false;
}

} // namespace zem4::host
