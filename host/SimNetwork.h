// A simulated LAN: every port of every address in one broadcast domain.
// Datagrams wait in a queue ordered by delivery time; loss, duplication,
// reordering, delay/jitter and splitting into fragments come from one seed,
// per flow or from a default profile. Every datagram sent is captured.
// An optional link model puts every station behind a link to one switch:
// capacity, a bounded queue and a delay each way, so that a server's uplink
// is shared by everything it sends. Without links nothing of it runs.
#pragma once

#include "host/Network.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace zem4::host {

// What the wire does to a flow. Probabilities are 0..1; times in 100 ns.
struct FaultProfile {
  double loss = 0.0;
  double duplicate = 0.0;
  double reorder = 0.0;            // held back by 1..reorderDelay, so later ones overtake
  double fragment = 0.0;           // handed to the receiver in 2..maxFragments pieces
  Time100ns delay = 0;             // base one-way delay
  Time100ns jitter = 0;            // plus 0..jitter
  Time100ns reorderDelay = 20'000; // 2 ms
  uint32_t maxFragments = 4;
};

// Which datagrams a profile applies to; an unset field matches anything.
// `receiver` is the address of the receiving port (one member of a group).
struct FlowMatch {
  std::optional<Ipv4> src{};
  std::optional<uint16_t> srcPort{};
  std::optional<Ipv4> dst{};
  std::optional<uint16_t> dstPort{};
  std::optional<Ipv4> receiver{};
};

// One datagram as sent, and what became of it.
struct CaptureRecord {
  Time100ns time = 0; // when it was sent
  Datagram datagram;
  unsigned receivers = 0; // ports it was addressed to at send time
  unsigned copies = 0;    // copies scheduled for delivery (duplicates included)
  bool dropped = false;   // no copy reaches anyone (lost on every path, or nobody listens)
};

// One direction of a station's link to the switch. Datagrams go out in order
// of arrival, each taking its wire size at `bitsPerSecond`; at most
// `queueLimit` of them wait or are on the wire, and one that finds the link
// full is dropped (tail drop). Then `delay` to the far end.
struct LinkConfig {
  uint64_t bitsPerSecond = 0; // 0: no serialisation, never full
  size_t queueLimit = 0;      // 0: unbounded
  Time100ns delay = 0;
};

struct StationLink {
  LinkConfig up;   // station to switch
  LinkConfig down; // switch to station
};

struct LinkStats {
  uint64_t datagrams = 0; // taken onto the link
  uint64_t bytes = 0;     // their wire bytes
  uint64_t dropped = 0;   // tail drops
};

// What a datagram occupies on a link beyond its payload: IPv4 and UDP headers.
inline constexpr uint32_t kLinkHeaderBytes = 28;

// Time on the wire of a datagram with `payload` bytes, rounded up to 100 ns.
Time100ns WireTime(size_t payload, uint64_t bitsPerSecond);

struct SimStats {
  uint64_t sent = 0;        // datagrams sent
  uint64_t delivered = 0;   // copies put into a port's queue
  uint64_t lost = 0;        // copies lost to the loss rate
  uint64_t duplicated = 0;  // extra copies
  uint64_t reordered = 0;   // copies held back
  uint64_t fragmented = 0;  // copies split into several pieces
  uint64_t unreachable = 0; // datagrams no port was listening for
  uint64_t overflowed = 0;  // copies dropped on a full receive queue or closed port
  uint64_t linkDropped = 0; // datagrams or copies dropped at a full link
};

class SimNetwork final : public Network {
public:
  using ClockFn = std::function<Time100ns()>;
  // `clock` tells the time of sends (normally the firmware's Now()).
  SimNetwork(ClockFn clock, uint64_t seed);
  ~SimNetwork() override;

  uint64_t Seed() const { return seed_; }
  // "seed=N" with the statistics, for failure messages.
  std::string Describe() const;

  void SetDefaultProfile(const FaultProfile &profile) { default_ = profile; }
  // Later rules win over earlier ones.
  void AddFlowProfile(const FlowMatch &match, const FaultProfile &profile);
  void ClearFlowProfiles() { flows_.clear(); }

  // Datagrams waiting per port before new ones are dropped.
  void SetReceiveQueueLimit(size_t limit) { queueLimit_ = limit; }
  void SetCaptureEnabled(bool on) { captureOn_ = on; }
  const std::vector<CaptureRecord> &Capture() const { return capture_; }
  void ClearCapture() { capture_.clear(); }
  const SimStats &Stats() const { return stats_; }
  size_t InFlight() const { return queue_.size() + atSwitch_.size(); }
  size_t OpenPorts() const { return ports_.size(); }

  // The link model: once a link is set, a datagram between two stations
  // crosses the sender's uplink once (one copy for all of a group) and then
  // each receiver's downlink; ports of the same station bypass both. The
  // fault profile applies per receiver at the switch, its delay after the
  // downlink. Stations without a link of their own get the default one.
  void SetDefaultLink(const StationLink &link);
  void SetLink(Ipv4 station, const StationLink &link);
  bool LinksOn() const { return linksOn_; }
  LinkStats UplinkStats(Ipv4 station) const;
  LinkStats DownlinkStats(Ipv4 station) const;

  std::unique_ptr<NetworkPort> OpenPort(const PortConfig &config, NetStatus &status) override;
  bool ReportsArrivals() const override { return true; }

  void Service(Time100ns now) override;
  std::optional<Time100ns> NextDeadline() const override;

private:
  class SimPort;
  struct InFlightCopy {
    uint64_t portId;
    ReceivedDatagram rx;
  };
  // A datagram that has crossed its sender's uplink, due at the switch.
  struct AtSwitch {
    Datagram datagram;
    std::vector<uint64_t> portIds; // the receivers at send time
  };
  struct Link {
    LinkConfig config;
    std::deque<Time100ns> finishes; // ends of the datagrams waiting or on the wire
    Time100ns busyUntil = 0;
    LinkStats stats;
  };
  struct Station {
    Link up;
    Link down;
    bool own = false; // set by SetLink, not from the default
  };
  friend class SimPort;

  NetStatus SendFrom(SimPort &port, const Datagram &datagram);
  bool Accepts(const SimPort &port, const Datagram &d) const;
  const FaultProfile &ProfileFor(const Datagram &d, Ipv4 receiver) const;
  // `down`: the receiver's downlink the copy crosses first (link model).
  void ScheduleCopy(uint64_t portId, const Datagram &d, const FaultProfile &p, Time100ns now,
                    bool &scheduled, Link *down = nullptr);
  Station &StationOf(Ipv4 address);
  // When a datagram taken onto `link` at `at` reaches the far end; nullopt
  // when the link is full.
  std::optional<Time100ns> Cross(Link &link, size_t payload, Time100ns at);
  unsigned SendOverLinks(const Datagram &d, const std::vector<uint64_t> &receivers, Time100ns now);
  void ArriveAtSwitch(AtSwitch &hop, Time100ns at);
  std::vector<uint32_t> Split(size_t size, const FaultProfile &p);
  double Draw() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }
  uint64_t DrawUpTo(uint64_t max); // 0..max
  bool PortInUse(Ipv4 address, uint16_t port, bool allowDuplicate) const;
  void Unregister(SimPort &port);
  void ForgetMember(Ipv4 group, uint64_t portId);
  // Ports that take datagrams for any destination port or address.
  static bool IsWild(const PortConfig &c) { return c.acceptAnyPort || c.acceptPromiscuous; }
  // The ports that may accept `d`, in order of opening: a superset of the
  // receivers, without looking at every port for every datagram.
  std::vector<uint64_t> Candidates(const Datagram &d) const;

  ClockFn clock_;
  uint64_t seed_;
  std::mt19937_64 rng_;
  FaultProfile default_;
  std::vector<std::pair<FlowMatch, FaultProfile>> flows_;
  std::map<uint64_t, SimPort *> ports_;
  // Indexes of `ports_`: by bound address and port, by group joined, and
  // the wild ones.
  std::map<std::pair<Ipv4, uint16_t>, std::set<uint64_t>> bound_;
  std::map<Ipv4, std::set<uint64_t>> members_;
  std::set<uint64_t> wild_;
  uint64_t nextPortId_ = 1;
  uint16_t nextEphemeral_ = 49152;
  // Ordered by (delivery time, order of scheduling).
  std::map<std::pair<Time100ns, uint64_t>, InFlightCopy> queue_;
  uint64_t nextSeq_ = 0;
  size_t queueLimit_ = 4096;
  bool linksOn_ = false;
  StationLink defaultLink_;
  std::map<Ipv4, Station> stations_;
  std::map<std::pair<Time100ns, uint64_t>, AtSwitch> atSwitch_;
  uint64_t nextHop_ = 0;
  bool captureOn_ = true;
  std::vector<CaptureRecord> capture_;
  SimStats stats_;
};

} // namespace zem4::host
