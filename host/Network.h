// The network the host firmware's UDP4 stands on: ports bound to an address
// and a UDP port, datagrams in and out, multicast membership. Backends: the
// simulated LAN (SimNetwork) and, later, Linux sockets. A backend is a Device:
// the firmware's tick lets it move datagrams and run peer-port callbacks.
#pragma once

#include "host/Firmware.h"
#include "net/Address.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zem4::host {

// The host firmware's addresses are net's, named here as the rest of the
// host's vocabulary is.
using net::Ipv4;

struct Datagram {
  Ipv4 src;
  uint16_t srcPort = 0;
  Ipv4 dst;
  uint16_t dstPort = 0;
  std::vector<uint8_t> payload;
};

// A datagram as it reaches a port: `fragments` are the lengths of the pieces
// the stack hands it out in (empty payload: no fragment), summing to the size.
// Or, with `portUnreachable`, an ICMP report in its place, as UDP4 gives one
// to the next receive: a datagram this port sent found nothing listening at
// `datagram.src`:`srcPort`; there is no payload.
struct ReceivedDatagram {
  Datagram datagram;
  std::vector<uint32_t> fragments;
  Time100ns time = 0;
  bool portUnreachable = false;
};

enum class NetStatus {
  Ok,
  AddressInUse, // the port is bound and neither side allows sharing
  NoPortsLeft,  // no ephemeral port free
  InvalidArgument,
  TooLarge, // payload over the UDP maximum
  QueueFull,
  Closed,
};
std::string_view ToString(NetStatus status);

// Largest UDP payload over IPv4 (65535 - 20 - 8).
inline constexpr size_t kMaxUdpPayload = 65507;

// What a port binds and filters on, in UDP4's terms.
struct PortConfig {
  Ipv4 localAddress{};     // the station address
  uint16_t localPort = 0;  // 0: the network picks a free ephemeral port
  Ipv4 remoteAddress{};    // non-zero: only datagrams from this address
  uint16_t remotePort = 0; // non-zero (with a remote address): only from this port
  bool acceptBroadcast = false;
  bool acceptPromiscuous = false; // any destination address (and remote filter off)
  bool acceptAnyPort = false;     // any destination port
  bool allowDuplicatePort = false;
};

// Told when a datagram reaches a port (see Network::ReportsArrivals).
class PortListener {
public:
  virtual void OnArrival() = 0;

protected:
  ~PortListener() = default;
};

// One bound UDP port. Closing is destroying it.
class NetworkPort {
public:
  virtual ~NetworkPort() = default;
  virtual Ipv4 Address() const = 0;
  virtual uint16_t Port() const = 0;
  // Sends from this port's address and port (datagram.src/srcPort are ignored).
  virtual NetStatus Send(const Datagram &datagram) = 0;
  virtual NetStatus JoinGroup(Ipv4 group) = 0;
  virtual NetStatus LeaveGroup(Ipv4 group) = 0;
  // The oldest datagram that has arrived and not been taken, if any.
  virtual std::optional<ReceivedDatagram> Receive() = 0;
  virtual bool HasReceived() const = 0;
  // Null to stop listening. Only networks that report arrivals call it.
  void SetListener(PortListener *listener) { listener_ = listener; }

protected:
  // Backends that report arrivals call it for every datagram queued here.
  void NoteArrival() {
    if (listener_ != nullptr)
      listener_->OnArrival();
  }

private:
  PortListener *listener_ = nullptr;
};

class Network;

// A bound port for peers that are not UEFI (scripted test servers, the
// server engine): received datagrams are handed to a callback from the
// network's tick. Destroying it closes the port.
class PeerPort final : private PortListener {
public:
  using OnReceive = std::function<void(const Datagram &, Time100ns)>;
  ~PeerPort();
  PeerPort(const PeerPort &) = delete;
  PeerPort &operator=(const PeerPort &) = delete;

  Ipv4 Address() const { return port_->Address(); }
  uint16_t Port() const { return port_->Port(); }
  // Source fields are this port's, whatever the datagram says.
  NetStatus Send(const Datagram &datagram) { return port_->Send(datagram); }
  NetStatus Send(Ipv4 dst, uint16_t dstPort, std::span<const uint8_t> payload);
  NetStatus JoinGroup(Ipv4 group) { return port_->JoinGroup(group); }
  NetStatus LeaveGroup(Ipv4 group) { return port_->LeaveGroup(group); }

private:
  friend class Network;
  void OnArrival() override;
  PeerPort(Network &network, uint64_t id, std::unique_ptr<NetworkPort> port, OnReceive onReceive)
      : network_(network), id_(id), port_(std::move(port)), onReceive_(std::move(onReceive)) {}
  Network &network_;
  uint64_t id_;
  std::unique_ptr<NetworkPort> port_;
  OnReceive onReceive_;
};

class Network : public Device {
public:
  ~Network() override;

  // Binds a port; nullptr with `status` saying why when it cannot.
  virtual std::unique_ptr<NetworkPort> OpenPort(const PortConfig &config, NetStatus &status) = 0;

  // A port at address:port (port 0 picks one) whose datagrams go to
  // `onReceive` from this network's tick. Null with `status` on failure.
  std::unique_ptr<PeerPort> OpenPeerPort(Ipv4 address, uint16_t port, PeerPort::OnReceive onReceive,
                                         NetStatus *status = nullptr);

  // Grows with every datagram moved or handed to a peer port: lets a poller
  // tell an idle tick from a busy one.
  uint64_t Activity() const { return activity_; }
  // True when every datagram that reaches a port is announced to the port's
  // listener, so that its owner need not look at idle ports every tick.
  virtual bool ReportsArrivals() const { return false; }

protected:
  void NoteActivity() { ++activity_; }
  // Hands every waiting datagram of every peer port to its callback, port by
  // port in opening order. Backends call it from Service. Callbacks may send,
  // open or close peer ports.
  void DispatchPeerPorts();
  bool PeerPortsHaveReceived() const;

private:
  friend class PeerPort;
  void Forget(uint64_t id);
  std::map<uint64_t, PeerPort *> peerPorts_;
  // What DispatchPeerPorts looks at: peer ports with an announced arrival,
  // and those whose network announces none (looked at every time).
  std::set<uint64_t> pending_;
  std::set<uint64_t> unannounced_;
  uint64_t nextPeerPortId_ = 1;
  uint64_t activity_ = 0;
};

} // namespace zem4::host
