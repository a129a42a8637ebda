// The host firmware's network over Linux UDP sockets: every port is a real
// socket, so the driver talks to real servers (on loopback in tests, demos
// and benchmarks). Multicast goes out through, and is joined on, the
// interface that owns each port's address, or one interface named for all.
// Loss, duplication and reordering can be injected on receive, from a seed.
// Transmits are queued and leave in batches (sendmmsg) once the datagrams
// already read have been handed on, or before the network waits. The
// kernel's ICMP port-unreachable reports (IP_RECVERR) reach the port that
// sent, in its receive queue.
#pragma once

#include "host/Network.h"

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace zem4::host {

// What happens to received datagrams before a port sees them; 0..1 each.
struct ReceiveFaults {
  double loss = 0.0;
  double duplicate = 0.0;
  double reorder = 0.0;            // held back by up to reorderDelay
  Time100ns reorderDelay = 20'000; // 2 ms
  uint64_t seed = 1;
  bool Any() const { return loss > 0 || duplicate > 0 || reorder > 0; }
};

struct SocketNetworkOptions {
  // Interface for multicast, by name or one of its IPv4 addresses; empty:
  // the interface that owns each port's address.
  std::string multicastInterface;
  uint8_t multicastTtl = 1;
  ReceiveFaults faults;
  // Kernel receive buffer asked for per socket (the kernel may grant less).
  int receiveBuffer = 4 << 20;
  // Datagrams waiting per port before more are dropped.
  size_t inboxLimit = 16384;
  // Whether `later` says everything `earlier` says (both queued from one port
  // to one peer, nothing else between them for that peer): `earlier` is then
  // not sent. For cumulative acknowledgements; unset: everything is sent.
  std::function<bool(const Datagram &later, const Datagram &earlier)> supersedes;
  // Sees every datagram a port takes in (after the injected faults), with
  // the address that port is bound to: counts of the port's owner.
  std::function<void(Ipv4 portAddress, const Datagram &)> onDeliver;
};

struct SocketStats {
  uint64_t sent = 0;       // handed to the kernel
  uint64_t sendErrors = 0; // the kernel refused or had no room; the datagram is gone
  uint64_t superseded = 0; // replaced in the queue by a later datagram
  uint64_t sendCalls = 0;  // sendmmsg calls
  uint64_t received = 0;   // datagrams read from sockets
  uint64_t filtered = 0;   // from a sender the port does not take
  uint64_t lost = 0;       // dropped by the injected loss
  uint64_t duplicated = 0;
  uint64_t reordered = 0;
  uint64_t overflowed = 0;  // dropped on a full inbox
  uint64_t waits = 0;       // idle waits that blocked
  uint64_t unreachable = 0; // ICMP port-unreachable reports
};

// This machine's interfaces, as the kernel sees them now (the one that has
// an address: net::InterfaceWithAddress). Index 0: none.
// The interface `text` names: its name, or one of its IPv4 addresses.
unsigned InterfaceNamed(const std::string &text);
std::string InterfaceName(unsigned index);

class SocketNetwork final : public Network {
public:
  using ClockFn = std::function<Time100ns()>;
  explicit SocketNetwork(ClockFn clock, SocketNetworkOptions options = {});
  ~SocketNetwork() override;
  SocketNetwork(const SocketNetwork &) = delete;
  SocketNetwork &operator=(const SocketNetwork &) = delete;

  std::unique_ptr<NetworkPort> OpenPort(const PortConfig &config, NetStatus &status) override;

  // Reads what the kernel has for every port, releases held datagrams that
  // are due, and hands peer ports' datagrams to their callbacks.
  void Service(Time100ns now) override;
  std::optional<Time100ns> NextDeadline() const override;

  // Blocks until a socket is readable, Wake is called, or the clock reaches
  // `until`. Never spins: an idle client sleeps in poll(). Queued transmits
  // leave first.
  void Wait(Time100ns until);
  // Ends a Wait from anywhere, a signal handler included.
  void Wake();
  // Sends every queued datagram now.
  void Flush();
  size_t Queued() const { return outbox_.size(); }

  const SocketStats &Stats() const { return stats_; }
  // The interface a port on `address` sends and joins multicast on; 0 when
  // no interface has it (the kernel then picks by its routes).
  unsigned MulticastInterfaceFor(Ipv4 address);
  size_t OpenPorts() const { return ports_.size(); }

private:
  class SocketPort;
  friend class SocketPort;
  struct Held {
    uint64_t portId;
    ReceivedDatagram rx;
  };
  struct Outgoing {
    uint64_t portId;
    int fd;
    Datagram datagram;
  };

  void Unregister(uint64_t id);
  void Queue(uint64_t portId, int fd, const Datagram &d);
  // Blocks in ppoll for at most `wait`; true when something woke it.
  bool Poll(Time100ns wait);
  bool InboxesEmpty() const;
  bool InUse(Ipv4 address, uint16_t port) const;
  void Drain(uint64_t portId, int fd, Ipv4 dst, Time100ns now);
  void DrainReports(SocketPort &port, Time100ns now);
  void Deliver(uint64_t portId, ReceivedDatagram &&rx);
  void Inject(uint64_t portId, ReceivedDatagram &&rx, Time100ns now);
  double Draw() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }

  ClockFn clock_;
  SocketNetworkOptions options_;
  SocketStats stats_;
  std::mt19937_64 rng_;
  std::map<uint64_t, SocketPort *> ports_;
  uint64_t nextPortId_ = 1;
  std::multimap<Time100ns, Held> held_; // reordered datagrams by release time
  std::vector<Outgoing> outbox_;        // in the order the ports sent them
  unsigned servicesHeld_ = 0;           // services the outbox has waited
  unsigned takenWhileHeld_ = 0;         // datagrams handed on meanwhile
  std::vector<uint8_t> rxBuffers_;
  int wakeFd_ = -1;
  unsigned namedInterface_ = 0;          // from options_.multicastInterface
  std::map<Ipv4, unsigned> interfaceOf_; // looked up once per address
};

} // namespace zem4::host
