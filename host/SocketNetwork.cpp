#include "host/SocketNetwork.h"
#include "net/Socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace zem4::host {
namespace {

// Datagrams read per recvmmsg call, and the most read from one socket per
// Service so that one busy socket cannot starve the others.
constexpr unsigned kBatch = 32;
constexpr unsigned kMaxPerService = 512;
constexpr size_t kSlot = 65536; // holds any UDP payload
// Datagrams per sendmmsg call, and the most the outbox holds before it is
// sent anyway; how many datagrams it lets arrive, and how many services it
// waits, at most.
constexpr unsigned kSendBatch = 64;
constexpr unsigned kHoldDatagrams = 32;
constexpr unsigned kHoldServices = 1024;

// A non-blocking UDP socket bound to address:port; -1 with errno on failure.
int BindUdp(Ipv4 address, uint16_t port, bool reuse, int receiveBuffer) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  int one = 1;
  if (reuse)
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A group member that waits for a CPU must not lose the group's datagrams
  // to a small buffer; beyond rmem_max only with CAP_NET_ADMIN.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in sa = net::ToSockaddr({address, port});
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

NetStatus FromErrno(int err) {
  switch (err) {
  case EADDRINUSE:
    return NetStatus::AddressInUse;
  case EADDRNOTAVAIL:
  case EINVAL:
    return NetStatus::InvalidArgument;
  case EMFILE:
  case ENFILE:
  case ENOBUFS:
  case ENOMEM:
    return NetStatus::NoPortsLeft;
  default:
    return NetStatus::Closed;
  }
}

ip_mreqn InterfaceRequest(unsigned index) {
  ip_mreqn r{};
  r.imr_ifindex = int(index);
  return r;
}

} // namespace

unsigned InterfaceNamed(const std::string &text) {
  if (auto address = Ipv4::Parse(text))
    return address->IsUnicast() ? net::InterfaceWithAddress(*address) : 0;
  return text.empty() || text.size() >= IF_NAMESIZE ? 0 : ::if_nametoindex(text.c_str());
}

std::string InterfaceName(unsigned index) {
  char name[IF_NAMESIZE] = {};
  return index && ::if_indextoname(index, name) ? std::string(name) : std::string();
}

class SocketNetwork::SocketPort final : public NetworkPort {
public:
  SocketPort(SocketNetwork &net, uint64_t id, const PortConfig &config, int fd, unsigned interface)
      : net_(&net), id_(id), config_(config), fd_(fd), interface_(interface) {}
  ~SocketPort() override {
    // What this port said last (a FIN, an ERROR) still goes out.
    if (net_)
      net_->Flush();
    for (auto &[group, fd] : groups_)
      ::close(fd);
    ::close(fd_);
    if (net_)
      net_->Unregister(id_);
  }

  Ipv4 Address() const override { return config_.localAddress; }
  uint16_t Port() const override { return config_.localPort; }

  NetStatus Send(const Datagram &d) override {
    if (!net_)
      return NetStatus::Closed;
    if (d.payload.size() > kMaxUdpPayload)
      return NetStatus::TooLarge;
    if (d.dst.IsZero() || d.dstPort == 0)
      return NetStatus::InvalidArgument;
    // The transmit has completed once queued: what the kernel then refuses
    // is lost, as on the wire.
    net_->Queue(id_, fd_, d);
    return NetStatus::Ok;
  }

  // Linux hands a group's datagrams only to sockets bound to the group (or to
  // any address) on the group's port: the station socket bound to 127.0.0.2
  // never sees them. So each group gets a socket of its own on group:port,
  // shared with every other member on this machine through SO_REUSEADDR.
  NetStatus JoinGroup(Ipv4 group) override {
    if (!net_)
      return NetStatus::Closed;
    if (!group.IsMulticast())
      return NetStatus::InvalidArgument;
    if (groups_.count(group))
      return NetStatus::Ok;
    int fd = BindUdp(group, config_.localPort, true, net_->options_.receiveBuffer);
    if (fd < 0)
      return FromErrno(errno);
    int zero = 0;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    // Joined where the station is: a join on another interface (loopback)
    // hears nothing of a group that lives on the LAN.
    ip_mreqn mreq = InterfaceRequest(interface_);
    mreq.imr_multiaddr = net::ToInAddr(group);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
      ::close(fd);
      return NetStatus::InvalidArgument;
    }
    groups_[group] = fd;
    return NetStatus::Ok;
  }

  NetStatus LeaveGroup(Ipv4 group) override {
    auto it = groups_.find(group);
    if (it == groups_.end())
      return NetStatus::InvalidArgument;
    ::close(it->second); // closing drops the membership
    groups_.erase(it);
    return NetStatus::Ok;
  }

  std::optional<ReceivedDatagram> Receive() override {
    if (inbox_.empty())
      return std::nullopt;
    if (net_ && !net_->outbox_.empty())
      ++net_->takenWhileHeld_;
    ReceivedDatagram rx = std::move(inbox_.front());
    inbox_.pop_front();
    return rx;
  }
  bool HasReceived() const override { return !inbox_.empty(); }

  bool Accepts(const Datagram &d) const {
    if (config_.acceptPromiscuous || config_.remoteAddress.IsZero())
      return true;
    if (d.src != config_.remoteAddress)
      return false;
    return config_.remotePort == 0 || d.srcPort == config_.remotePort;
  }

  void Detach() { net_ = nullptr; }

  SocketNetwork *net_;
  uint64_t id_;
  PortConfig config_;
  int fd_;
  unsigned interface_; // multicast goes out and is joined here (0: the kernel's choice)
  std::map<Ipv4, int> groups_;
  std::deque<ReceivedDatagram> inbox_;
};

SocketNetwork::SocketNetwork(ClockFn clock, SocketNetworkOptions options)
    : clock_(std::move(clock)), options_(options), rng_(options.faults.seed) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!options_.multicastInterface.empty())
    namedInterface_ = InterfaceNamed(options_.multicastInterface);
}

unsigned SocketNetwork::MulticastInterfaceFor(Ipv4 address) {
  if (namedInterface_)
    return namedInterface_;
  auto it = interfaceOf_.find(address);
  if (it == interfaceOf_.end())
    it = interfaceOf_.emplace(address, net::InterfaceWithAddress(address)).first;
  return it->second;
}

SocketNetwork::~SocketNetwork() {
  Flush();
  for (auto &[id, port] : ports_)
    port->Detach();
  if (wakeFd_ >= 0)
    ::close(wakeFd_);
}

void SocketNetwork::Unregister(uint64_t id) {
  ports_.erase(id);
  for (auto it = held_.begin(); it != held_.end();)
    it = it->second.portId == id ? held_.erase(it) : std::next(it);
}

void SocketNetwork::Queue(uint64_t portId, int fd, const Datagram &d) {
  NoteActivity();
  if (options_.supersedes) {
    // Only the last datagram queued for this peer may be replaced: an
    // earlier one with another between them keeps its place in the order.
    for (auto it = outbox_.rbegin(); it != outbox_.rend(); ++it) {
      if (it->portId != portId || it->datagram.dst != d.dst || it->datagram.dstPort != d.dstPort)
        continue;
      if (options_.supersedes(d, it->datagram)) {
        it->datagram.payload = d.payload;
        ++stats_.superseded;
        return;
      }
      break;
    }
  }
  outbox_.push_back(Outgoing{portId, fd, d});
  if (outbox_.size() >= kSendBatch)
    Flush();
}

void SocketNetwork::Flush() {
  servicesHeld_ = 0;
  takenWhileHeld_ = 0;
  if (outbox_.empty())
    return;
  std::vector<Outgoing> out;
  out.swap(outbox_);
  // By socket, each in the order its datagrams were sent.
  std::stable_sort(out.begin(), out.end(),
                   [](const Outgoing &a, const Outgoing &b) { return a.fd < b.fd; });
  mmsghdr msgs[kSendBatch];
  iovec iov[kSendBatch];
  sockaddr_in to[kSendBatch];
  size_t next = 0;
  unsigned refused = 0;
  while (next < out.size()) {
    const int fd = out[next].fd;
    unsigned n = 0;
    while (n < kSendBatch && next + n < out.size() && out[next + n].fd == fd) {
      Datagram &d = out[next + n].datagram;
      to[n] = net::ToSockaddr({d.dst, d.dstPort});
      iov[n] = {d.payload.data(), d.payload.size()};
      msgs[n] = {};
      msgs[n].msg_hdr.msg_name = &to[n];
      msgs[n].msg_hdr.msg_namelen = sizeof to[n];
      msgs[n].msg_hdr.msg_iov = &iov[n];
      msgs[n].msg_hdr.msg_iovlen = 1;
      ++n;
    }
    ++stats_.sendCalls;
    int done = ::sendmmsg(fd, msgs, n, 0);
    // ECONNREFUSED: the report of an earlier datagram, given once; its
    // record stays in the socket's error queue.
    if (done < 0 && (errno == EINTR || (errno == ECONNREFUSED && refused++ < out.size())))
      continue;
    if (done <= 0) {
      // The first one was refused (a full send buffer, an unreachable
      // peer): it is lost, as the wire would lose it; the rest go on.
      ++stats_.sendErrors;
      ++next;
      continue;
    }
    stats_.sent += unsigned(done);
    next += unsigned(done);
  }
}

bool SocketNetwork::InboxesEmpty() const {
  for (auto &[id, port] : ports_)
    if (!port->inbox_.empty())
      return false;
  return true;
}

bool SocketNetwork::InUse(Ipv4 address, uint16_t port) const {
  for (auto &[id, p] : ports_)
    if (p->config_.localPort == port && p->config_.localAddress == address &&
        !p->config_.allowDuplicatePort)
      return true;
  return false;
}

std::unique_ptr<NetworkPort> SocketNetwork::OpenPort(const PortConfig &config, NetStatus &status) {
  if (!config.localAddress.IsUnicast()) {
    status = NetStatus::InvalidArgument;
    return nullptr;
  }
  // Within this firmware a fixed port is exclusive unless both sides allow
  // sharing, as UDP4 has it. Towards other processes it is shared
  // (SO_REUSEADDR): several clients on one machine use the same group port.
  if (config.localPort != 0 && !config.allowDuplicatePort &&
      InUse(config.localAddress, config.localPort)) {
    status = NetStatus::AddressInUse;
    return nullptr;
  }
  int fd = BindUdp(config.localAddress, config.localPort,
                   config.localPort != 0 || config.allowDuplicatePort, options_.receiveBuffer);
  if (fd < 0) {
    status = FromErrno(errno);
    return nullptr;
  }
  PortConfig c = config;
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  c.localPort = net::FromSockaddr(bound).port;

  unsigned interface = MulticastInterfaceFor(c.localAddress);
  if (interface) {
    ip_mreqn iface = InterfaceRequest(interface);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
  }
  int ttl = options_.multicastTtl;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  int one = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
  if (c.acceptBroadcast)
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  // An unconnected socket hears of ICMP errors only so.
  ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &one, sizeof one);

  uint64_t id = nextPortId_++;
  auto port = std::make_unique<SocketPort>(*this, id, c, fd, interface);
  ports_[id] = port.get();
  status = NetStatus::Ok;
  return port;
}

void SocketNetwork::Deliver(uint64_t portId, ReceivedDatagram &&rx) {
  auto it = ports_.find(portId);
  if (it == ports_.end())
    return;
  SocketPort &port = *it->second;
  if (port.inbox_.size() >= options_.inboxLimit) {
    ++stats_.overflowed;
    return;
  }
  NoteActivity();
  if (options_.onDeliver)
    options_.onDeliver(port.config_.localAddress, rx.datagram);
  port.inbox_.push_back(std::move(rx));
}

void SocketNetwork::Inject(uint64_t portId, ReceivedDatagram &&rx, Time100ns now) {
  const ReceiveFaults &f = options_.faults;
  if (!f.Any()) {
    Deliver(portId, std::move(rx));
    return;
  }
  if (f.loss > 0 && Draw() < f.loss) {
    ++stats_.lost;
    return;
  }
  unsigned copies = 1;
  if (f.duplicate > 0 && Draw() < f.duplicate) {
    ++stats_.duplicated;
    copies = 2;
  }
  for (unsigned i = 0; i < copies; ++i) {
    ReceivedDatagram copy = i + 1 < copies ? rx : std::move(rx);
    if (f.reorder > 0 && Draw() < f.reorder) {
      ++stats_.reordered;
      Time100ns hold = 1 + std::uniform_int_distribution<Time100ns>(
                               0, f.reorderDelay > 1 ? f.reorderDelay - 1 : 0)(rng_);
      held_.emplace(now + hold, Held{portId, std::move(copy)});
    } else {
      Deliver(portId, std::move(copy));
    }
  }
}

void SocketNetwork::Drain(uint64_t portId, int fd, Ipv4 dst, Time100ns now) {
  if (rxBuffers_.empty())
    rxBuffers_.resize(kBatch * kSlot);
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  sockaddr_in from[kBatch];
  unsigned total = 0;
  while (total < kMaxPerService) {
    for (unsigned i = 0; i < kBatch; ++i) {
      iov[i] = {rxBuffers_.data() + i * kSlot, kSlot};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    int n = ::recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0)
      return; // EAGAIN: drained; any other error: nothing to read now
    total += unsigned(n);
    for (int i = 0; i < n; ++i) {
      ++stats_.received;
      // The port may have gone while an earlier datagram was delivered.
      auto it = ports_.find(portId);
      if (it == ports_.end())
        return;
      ReceivedDatagram rx;
      rx.time = now;
      Datagram &d = rx.datagram;
      net::Endpoint source = net::FromSockaddr(from[i]);
      d.src = source.address;
      d.srcPort = source.port;
      d.dst = dst;
      d.dstPort = it->second->config_.localPort;
      const uint8_t *data = rxBuffers_.data() + size_t(i) * kSlot;
      d.payload.assign(data, data + msgs[i].msg_len);
      if (!it->second->Accepts(d)) {
        ++stats_.filtered;
        continue;
      }
      if (!d.payload.empty())
        rx.fragments = {uint32_t(d.payload.size())};
      Inject(portId, std::move(rx), now);
    }
    if (unsigned(n) < kBatch)
      return;
  }
}

void SocketNetwork::DrainReports(SocketPort &port, Time100ns now) {
  for (;;) {
    sockaddr_in to{};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(port.fd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
      return; // EAGAIN: none left
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      sock_extended_err e{};
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
        continue;
      std::memcpy(&e, CMSG_DATA(c), sizeof e);
      if (e.ee_origin != SO_EE_ORIGIN_ICMP || e.ee_type != ICMP_DEST_UNREACH ||
          e.ee_code != ICMP_PORT_UNREACH)
        continue;
      // msg_name: where the datagram that was refused went.
      ReceivedDatagram rx;
      rx.time = now;
      rx.portUnreachable = true;
      net::Endpoint from = net::FromSockaddr(to);
      rx.datagram = {
          from.address, from.port, port.config_.localAddress, port.config_.localPort, {}};
      ++stats_.unreachable;
      if (port.Accepts(rx.datagram))
        Deliver(port.id_, std::move(rx));
    }
  }
}

void SocketNetwork::Service(Time100ns now) {
  const uint64_t before = stats_.received;
  // Reading calls nobody back, so no port comes or goes meanwhile.
  for (auto &[id, port] : ports_) {
    // Always: a report left queued keeps poll() awake.
    DrainReports(*port, now);
    // A port with datagrams still waiting is not read again yet: the kernel
    // keeps what comes meanwhile, and one recvmmsg then takes it all at
    // once instead of a call per tick that finds one datagram or none.
    if (!port->inbox_.empty())
      continue;
    Drain(id, port->fd_, port->config_.localAddress, now);
    for (auto &[group, fd] : port->groups_)
      Drain(id, fd, group, now);
  }
  while (!held_.empty() && held_.begin()->first <= now) {
    auto node = held_.extract(held_.begin());
    Deliver(node.mapped().portId, std::move(node.mapped().rx));
  }
  // Transmits wait while the datagrams read are being handed on: the answers
  // to a run of them (cumulative acknowledgements) leave together at the end
  // of the round (all handed on, nothing new to read), or after half a
  // window's worth. A port whose datagrams nobody takes holds them up for a
  // bounded number of services only.
  if (!outbox_.empty()) {
    const bool roundOver = stats_.received == before && InboxesEmpty();
    if (roundOver || takenWhileHeld_ >= kHoldDatagrams || ++servicesHeld_ >= kHoldServices)
      Flush();
  }
  DispatchPeerPorts();
}

std::optional<Time100ns> SocketNetwork::NextDeadline() const {
  if (PeerPortsHaveReceived())
    return clock_();
  if (held_.empty())
    return std::nullopt;
  return held_.begin()->first;
}

bool SocketNetwork::Poll(Time100ns wait) {
  std::vector<pollfd> fds;
  fds.reserve(ports_.size() * 2 + 1);
  if (wakeFd_ >= 0)
    fds.push_back({wakeFd_, POLLIN, 0});
  for (auto &[id, port] : ports_) {
    fds.push_back({port->fd_, POLLIN, 0});
    for (auto &[group, fd] : port->groups_)
      fds.push_back({fd, POLLIN, 0});
  }
  timespec ts{time_t(wait / 10'000'000), long(wait % 10'000'000) * 100};
  ++stats_.waits;
  int n = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
  if (n > 0 && wakeFd_ >= 0 && (fds[0].revents & POLLIN)) {
    uint64_t count;
    [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
  }
  return n > 0;
}

void SocketNetwork::Wait(Time100ns until) {
  Time100ns now = clock_();
  // Not idle at all: something is due now, and the next service comes soon.
  if (until <= now)
    return;
  Flush();
  Poll(until - now);
}

void SocketNetwork::Wake() {
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
  }
}

} // namespace zem4::host
