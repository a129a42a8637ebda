#include "host/SimNetwork.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <set>

namespace zem4::host {

class SimNetwork::SimPort final : public NetworkPort {
public:
  SimPort(SimNetwork &net, uint64_t id, const PortConfig &config)
      : net_(&net), id_(id), config_(config) {}
  ~SimPort() override {
    if (net_)
      net_->Unregister(*this);
  }

  Ipv4 Address() const override { return config_.localAddress; }
  uint16_t Port() const override { return config_.localPort; }
  NetStatus Send(const Datagram &datagram) override {
    if (!net_)
      return NetStatus::Closed;
    return net_->SendFrom(*this, datagram);
  }
  NetStatus JoinGroup(Ipv4 group) override {
    if (!group.IsMulticast())
      return NetStatus::InvalidArgument;
    if (groups_.insert(group).second && net_)
      net_->members_[group].insert(id_);
    return NetStatus::Ok;
  }
  NetStatus LeaveGroup(Ipv4 group) override {
    if (groups_.erase(group) == 0)
      return NetStatus::InvalidArgument;
    if (net_)
      net_->ForgetMember(group, id_);
    return NetStatus::Ok;
  }
  std::optional<ReceivedDatagram> Receive() override {
    if (inbox_.empty())
      return std::nullopt;
    ReceivedDatagram rx = std::move(inbox_.front());
    inbox_.pop_front();
    return rx;
  }
  bool HasReceived() const override { return !inbox_.empty(); }

  // The network went away first: the port stays an inert object.
  void Detach() { net_ = nullptr; }
  void Arrive(ReceivedDatagram &&rx) {
    inbox_.push_back(std::move(rx));
    NoteArrival();
  }

  SimNetwork *net_;
  uint64_t id_;
  PortConfig config_;
  std::set<Ipv4> groups_;
  std::deque<ReceivedDatagram> inbox_;
};

Time100ns WireTime(size_t payload, uint64_t bitsPerSecond) {
  if (bitsPerSecond == 0)
    return 0;
  uint64_t bits = (uint64_t(payload) + kLinkHeaderBytes) * 8;
  return (bits * 10'000'000 + bitsPerSecond - 1) / bitsPerSecond;
}

SimNetwork::SimNetwork(ClockFn clock, uint64_t seed)
    : clock_(std::move(clock)), seed_(seed), rng_(seed) {}

void SimNetwork::Unregister(SimPort &port) {
  ports_.erase(port.id_);
  if (IsWild(port.config_))
    wild_.erase(port.id_);
  auto it = bound_.find({port.config_.localAddress, port.config_.localPort});
  if (it != bound_.end() && it->second.erase(port.id_) != 0 && it->second.empty())
    bound_.erase(it);
  for (Ipv4 group : port.groups_)
    ForgetMember(group, port.id_);
}

void SimNetwork::ForgetMember(Ipv4 group, uint64_t portId) {
  auto it = members_.find(group);
  if (it != members_.end() && it->second.erase(portId) != 0 && it->second.empty())
    members_.erase(it);
}

std::vector<uint64_t> SimNetwork::Candidates(const Datagram &d) const {
  std::vector<uint64_t> out;
  if (d.dst.IsBroadcast()) {
    for (auto &[id, p] : ports_)
      out.push_back(id);
    return out;
  }
  const std::set<uint64_t> *exact = nullptr;
  if (d.dst.IsMulticast()) {
    auto it = members_.find(d.dst);
    exact = it == members_.end() ? nullptr : &it->second;
  } else {
    auto it = bound_.find({d.dst, d.dstPort});
    exact = it == bound_.end() ? nullptr : &it->second;
  }
  if (exact == nullptr)
    return {wild_.begin(), wild_.end()};
  out.reserve(exact->size() + wild_.size());
  std::set_union(exact->begin(), exact->end(), wild_.begin(), wild_.end(), std::back_inserter(out));
  return out;
}

SimNetwork::~SimNetwork() {
  for (auto &[id, port] : ports_)
    port->Detach();
}

std::string SimNetwork::Describe() const {
  return "seed=" + std::to_string(seed_) + " sent=" + std::to_string(stats_.sent) +
         " delivered=" + std::to_string(stats_.delivered) + " lost=" + std::to_string(stats_.lost) +
         " duplicated=" + std::to_string(stats_.duplicated) +
         " reordered=" + std::to_string(stats_.reordered) +
         " fragmented=" + std::to_string(stats_.fragmented) +
         " unreachable=" + std::to_string(stats_.unreachable) +
         " overflowed=" + std::to_string(stats_.overflowed) +
         (linksOn_ ? " link_dropped=" + std::to_string(stats_.linkDropped) : std::string());
}

void SimNetwork::SetDefaultLink(const StationLink &link) {
  linksOn_ = true;
  defaultLink_ = link;
  for (auto &[address, station] : stations_)
    if (!station.own) {
      station.up.config = link.up;
      station.down.config = link.down;
    }
}

void SimNetwork::SetLink(Ipv4 address, const StationLink &link) {
  linksOn_ = true;
  Station &station = StationOf(address);
  station.own = true;
  station.up.config = link.up;
  station.down.config = link.down;
}

SimNetwork::Station &SimNetwork::StationOf(Ipv4 address) {
  auto it = stations_.find(address);
  if (it == stations_.end()) {
    Station station;
    station.up.config = defaultLink_.up;
    station.down.config = defaultLink_.down;
    it = stations_.emplace(address, std::move(station)).first;
  }
  return it->second;
}

LinkStats SimNetwork::UplinkStats(Ipv4 address) const {
  auto it = stations_.find(address);
  return it == stations_.end() ? LinkStats{} : it->second.up.stats;
}

LinkStats SimNetwork::DownlinkStats(Ipv4 address) const {
  auto it = stations_.find(address);
  return it == stations_.end() ? LinkStats{} : it->second.down.stats;
}

std::optional<Time100ns> SimNetwork::Cross(Link &link, size_t payload, Time100ns at) {
  while (!link.finishes.empty() && link.finishes.front() <= at)
    link.finishes.pop_front();
  if (link.config.queueLimit != 0 && link.finishes.size() >= link.config.queueLimit) {
    ++link.stats.dropped;
    return std::nullopt;
  }
  Time100ns end = std::max(at, link.busyUntil) + WireTime(payload, link.config.bitsPerSecond);
  link.busyUntil = end;
  // Without serialisation nothing waits, so such a link never fills.
  if (end > at)
    link.finishes.push_back(end);
  ++link.stats.datagrams;
  link.stats.bytes += payload + kLinkHeaderBytes;
  return end + link.config.delay;
}

unsigned SimNetwork::SendOverLinks(const Datagram &d, const std::vector<uint64_t> &receivers,
                                   Time100ns now) {
  unsigned copies = 0;
  std::vector<uint64_t> remote;
  for (uint64_t id : receivers) {
    if (ports_.at(id)->config_.localAddress != d.src) {
      remote.push_back(id);
      continue;
    }
    uint64_t before = nextSeq_;
    bool scheduled = false;
    ScheduleCopy(id, d, ProfileFor(d, d.src), now, scheduled);
    copies += unsigned(nextSeq_ - before);
  }
  if (remote.empty())
    return copies;
  // One copy on the uplink, whatever the number of receivers behind the switch.
  std::optional<Time100ns> arrival = Cross(StationOf(d.src).up, d.payload.size(), now);
  if (!arrival) {
    ++stats_.linkDropped;
    return copies;
  }
  copies += unsigned(remote.size());
  atSwitch_.emplace(std::make_pair(*arrival, nextHop_++), AtSwitch{d, std::move(remote)});
  return copies;
}

void SimNetwork::ArriveAtSwitch(AtSwitch &hop, Time100ns at) {
  for (uint64_t id : hop.portIds) {
    auto it = ports_.find(id);
    if (it == ports_.end()) {
      ++stats_.overflowed;
      continue;
    }
    Ipv4 receiver = it->second->config_.localAddress;
    bool scheduled = false;
    ScheduleCopy(id, hop.datagram, ProfileFor(hop.datagram, receiver), at, scheduled,
                 &StationOf(receiver).down);
  }
}

void SimNetwork::AddFlowProfile(const FlowMatch &match, const FaultProfile &profile) {
  flows_.emplace_back(match, profile);
}

bool SimNetwork::PortInUse(Ipv4 address, uint16_t port, bool allowDuplicate) const {
  return !allowDuplicate && bound_.count({address, port}) != 0;
}

std::unique_ptr<NetworkPort> SimNetwork::OpenPort(const PortConfig &config, NetStatus &status) {
  if (!config.localAddress.IsUnicast()) {
    status = NetStatus::InvalidArgument;
    return nullptr;
  }
  PortConfig c = config;
  if (c.localPort == 0) {
    // Ephemeral ports 49152..65535, handed out round robin.
    bool found = false;
    for (unsigned tries = 0; tries < 16384; ++tries) {
      uint16_t candidate = nextEphemeral_;
      nextEphemeral_ = nextEphemeral_ == 65535 ? 49152 : uint16_t(nextEphemeral_ + 1);
      if (!PortInUse(c.localAddress, candidate, false)) {
        c.localPort = candidate;
        found = true;
        break;
      }
    }
    if (!found) {
      status = NetStatus::NoPortsLeft;
      return nullptr;
    }
  } else if (PortInUse(c.localAddress, c.localPort, c.allowDuplicatePort)) {
    status = NetStatus::AddressInUse;
    return nullptr;
  }
  uint64_t id = nextPortId_++;
  auto port = std::make_unique<SimPort>(*this, id, c);
  ports_[id] = port.get();
  bound_[{c.localAddress, c.localPort}].insert(id);
  if (IsWild(c))
    wild_.insert(id);
  status = NetStatus::Ok;
  return port;
}

bool SimNetwork::Accepts(const SimPort &port, const Datagram &d) const {
  const PortConfig &c = port.config_;
  if (!c.acceptAnyPort && d.dstPort != c.localPort)
    return false;
  if (c.acceptPromiscuous)
    return true;
  if (d.dst.IsMulticast()) {
    if (!port.groups_.count(d.dst))
      return false;
  } else if (d.dst.IsBroadcast()) {
    if (!c.acceptBroadcast)
      return false;
  } else if (d.dst != c.localAddress) {
    return false;
  }
  if (!c.remoteAddress.IsZero()) {
    if (d.src != c.remoteAddress)
      return false;
    if (c.remotePort != 0 && d.srcPort != c.remotePort)
      return false;
  }
  return true;
}

const FaultProfile &SimNetwork::ProfileFor(const Datagram &d, Ipv4 receiver) const {
  for (auto it = flows_.rbegin(); it != flows_.rend(); ++it) {
    const FlowMatch &m = it->first;
    if (m.src && *m.src != d.src)
      continue;
    if (m.srcPort && *m.srcPort != d.srcPort)
      continue;
    if (m.dst && *m.dst != d.dst)
      continue;
    if (m.dstPort && *m.dstPort != d.dstPort)
      continue;
    if (m.receiver && *m.receiver != receiver)
      continue;
    return it->second;
  }
  return default_;
}

uint64_t SimNetwork::DrawUpTo(uint64_t max) {
  if (max == 0)
    return 0;
  return std::uniform_int_distribution<uint64_t>(0, max)(rng_);
}

std::vector<uint32_t> SimNetwork::Split(size_t size, const FaultProfile &p) {
  uint64_t most = std::min<uint64_t>(std::max<uint32_t>(p.maxFragments, 2), size);
  uint64_t pieces = 2 + DrawUpTo(most - 2);
  std::set<uint32_t> cuts;
  while (cuts.size() + 1 < pieces)
    cuts.insert(uint32_t(1 + DrawUpTo(size - 2)));
  std::vector<uint32_t> out;
  uint32_t at = 0;
  for (uint32_t cut : cuts) {
    out.push_back(cut - at);
    at = cut;
  }
  out.push_back(uint32_t(size) - at);
  return out;
}

void SimNetwork::ScheduleCopy(uint64_t portId, const Datagram &d, const FaultProfile &p,
                              Time100ns now, bool &scheduled, Link *down) {
  if (p.loss > 0 && Draw() < p.loss) {
    ++stats_.lost;
    return;
  }
  unsigned copies = 1;
  if (p.duplicate > 0 && Draw() < p.duplicate) {
    ++stats_.duplicated;
    copies = 2;
  }
  for (unsigned i = 0; i < copies; ++i) {
    Time100ns base = now;
    if (down) {
      std::optional<Time100ns> arrival = Cross(*down, d.payload.size(), now);
      if (!arrival) {
        ++stats_.linkDropped;
        continue;
      }
      base = *arrival;
    }
    Time100ns at = base + p.delay + DrawUpTo(p.jitter);
    if (p.reorder > 0 && Draw() < p.reorder) {
      ++stats_.reordered;
      at += 1 + DrawUpTo(p.reorderDelay > 1 ? p.reorderDelay - 1 : 0);
    }
    InFlightCopy copy{portId, {d, {}, at}};
    if (d.payload.size() >= 2 && p.fragment > 0 && Draw() < p.fragment) {
      ++stats_.fragmented;
      copy.rx.fragments = Split(d.payload.size(), p);
    } else if (!d.payload.empty()) {
      copy.rx.fragments = {uint32_t(d.payload.size())};
    }
    queue_.emplace(std::make_pair(at, nextSeq_++), std::move(copy));
    scheduled = true;
  }
}

NetStatus SimNetwork::SendFrom(SimPort &port, const Datagram &datagram) {
  if (datagram.payload.size() > kMaxUdpPayload)
    return NetStatus::TooLarge;
  if (datagram.dst.IsZero() || datagram.dstPort == 0)
    return NetStatus::InvalidArgument;
  Datagram d = datagram;
  d.src = port.config_.localAddress;
  d.srcPort = port.config_.localPort;
  Time100ns now = clock_();
  ++stats_.sent;

  CaptureRecord rec;
  rec.time = now;
  // Ports in order of opening, so one seed gives one outcome.
  const std::vector<uint64_t> candidates = Candidates(d);
  if (linksOn_) {
    std::vector<uint64_t> receivers;
    for (uint64_t id : candidates)
      if (SimPort *p = ports_.at(id); p != &port && Accepts(*p, d))
        receivers.push_back(id);
    rec.receivers = unsigned(receivers.size());
    rec.copies = SendOverLinks(d, receivers, now);
  } else {
    size_t queuedBefore = nextSeq_;
    for (uint64_t id : candidates) {
      SimPort *p = ports_.at(id);
      if (p == &port || !Accepts(*p, d))
        continue;
      ++rec.receivers;
      bool scheduled = false;
      ScheduleCopy(id, d, ProfileFor(d, p->config_.localAddress), now, scheduled);
    }
    rec.copies = unsigned(nextSeq_ - queuedBefore);
  }
  rec.dropped = rec.copies == 0;
  if (rec.receivers == 0)
    ++stats_.unreachable;
  if (captureOn_) {
    rec.datagram = std::move(d);
    capture_.push_back(std::move(rec));
  }
  return NetStatus::Ok;
}

void SimNetwork::Service(Time100ns now) {
  for (;;) {
    bool copyDue = !queue_.empty() && queue_.begin()->first.first <= now;
    bool hopDue = !atSwitch_.empty() && atSwitch_.begin()->first.first <= now;
    if (!copyDue && !hopDue)
      break;
    // In time order across both queues: a link's queue is only right when
    // its arrivals come in the order they happen.
    if (hopDue && (!copyDue || atSwitch_.begin()->first.first <= queue_.begin()->first.first)) {
      auto hop = atSwitch_.extract(atSwitch_.begin());
      ArriveAtSwitch(hop.mapped(), hop.key().first);
      continue;
    }
    auto node = queue_.extract(queue_.begin());
    InFlightCopy &copy = node.mapped();
    auto it = ports_.find(copy.portId);
    if (it == ports_.end() || it->second->inbox_.size() >= queueLimit_) {
      ++stats_.overflowed;
      continue;
    }
    ++stats_.delivered;
    NoteActivity();
    it->second->Arrive(std::move(copy.rx));
  }
  DispatchPeerPorts();
}

std::optional<Time100ns> SimNetwork::NextDeadline() const {
  std::optional<Time100ns> next;
  if (!queue_.empty())
    next = queue_.begin()->first.first;
  if (!atSwitch_.empty() && (!next || atSwitch_.begin()->first.first < *next))
    next = atSwitch_.begin()->first.first;
  return next;
}

} // namespace zem4::host
