#include "tests/common/EngineServer.h"

#include <stdexcept>

namespace zem4::test {

namespace {

server::Time ToEngine(host::Time100ns t) {
  return server::Time(t * 100);
}
host::Time100ns FromEngine(server::Time t) {
  // Round up: a deadline must not be served before it is due.
  return static_cast<host::Time100ns>((t.count() + 99) / 100);
}

} // namespace

EngineServer::EngineServer(host::Firmware &firmware, host::Network &network, host::Ipv4 address,
                           server::EngineConfig config)
    : firmware_(firmware), network_(network), address_(address) {
  engine_ = std::make_unique<server::Engine>(config, files_, *this);
  ports_[config.ListenPort] = Open(config.ListenPort);
  // The engine runs when a datagram reaches it or its deadline comes, not at
  // every tick of every client.
  firmware_.AddDevice(*this, host::DeviceWake::OnWake);
}

EngineServer::~EngineServer() {
  firmware_.RemoveDevice(*this);
  engine_->Shutdown(ToEngine(firmware_.Now()));
  engine_.reset();
  ports_.clear();
  closed_.clear();
}

std::unique_ptr<host::PeerPort> EngineServer::Open(uint16_t port) {
  host::NetStatus status = host::NetStatus::Ok;
  auto endpoint = network_.OpenPeerPort(
      address_, port,
      [this, port](const host::Datagram &datagram, host::Time100ns time) {
        firmware_.WakeDevice(*this); // finished transfers are reaped by OnTime
        if (engine_) {
          engine_->OnDatagram({datagram.src, datagram.srcPort}, port, datagram.payload,
                              ToEngine(time));
        }
      },
      &status);
  if (!endpoint) {
    throw std::runtime_error("engine server: cannot open a port");
  }
  return endpoint;
}

void EngineServer::Service(host::Time100ns now) {
  closed_.clear();
  engine_->OnTime(ToEngine(now));
}

std::optional<host::Time100ns> EngineServer::NextDeadline() const {
  std::optional<server::Time> next = engine_->NextDeadline();
  if (!next) {
    return std::nullopt;
  }
  return FromEngine(*next);
}

std::optional<uint16_t> EngineServer::OpenPort() {
  host::NetStatus status = host::NetStatus::Ok;
  auto probe = network_.OpenPeerPort(address_, 0, nullptr, &status);
  if (!probe) {
    return std::nullopt;
  }
  uint16_t port = probe->Port();
  probe.reset();
  ports_[port] = Open(port);
  return port;
}

void EngineServer::ClosePort(uint16_t port) {
  auto it = ports_.find(port);
  if (it != ports_.end()) {
    closed_.push_back(std::move(it->second));
    ports_.erase(it);
    firmware_.WakeDevice(*this); // freed at the next service
  }
}

void EngineServer::Send(uint16_t fromPort, const server::Endpoint &to,
                        std::span<const uint8_t> datagram) {
  auto it = ports_.find(fromPort);
  if (it == ports_.end()) {
    return;
  }
  it->second->Send(to.address, to.port, datagram);
}

} // namespace zem4::test
