// The simulated LAN on its own: addressing, delivery order and time, fault
// profiles and their statistics per seed, capture, endpoints.
#include "host/SimNetwork.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

namespace zem4::host {
namespace {

const Ipv4 kA{10, 0, 0, 1};
const Ipv4 kB{10, 0, 0, 2};
const Ipv4 kC{10, 0, 0, 3};
const Ipv4 kGroup{239, 1, 2, 3};

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) {
  return b;
}
std::vector<uint8_t> Counter(uint32_t i, size_t size = 8) {
  std::vector<uint8_t> v(size);
  for (size_t k = 0; k < size; ++k)
    v[k] = uint8_t(i >> (8 * (k % 4)));
  return v;
}
uint32_t CounterOf(const std::vector<uint8_t> &v) {
  return uint32_t(v[0]) | uint32_t(v[1]) << 8 | uint32_t(v[2]) << 16 | uint32_t(v[3]) << 24;
}

PortConfig At(Ipv4 address, uint16_t port) {
  PortConfig c;
  c.localAddress = address;
  c.localPort = port;
  return c;
}

struct Lan {
  Time100ns now = 0;
  SimNetwork net;
  explicit Lan(uint64_t seed = 1) : net([this] { return now; }, seed) {}
  // Runs the network up to and including `t`, stopping at every deadline.
  void RunUntil(Time100ns t) {
    for (;;) {
      auto next = net.NextDeadline();
      if (!next || *next > t)
        break;
      now = std::max(now, *next);
      net.Service(now);
    }
    now = t;
    net.Service(now);
  }
  std::unique_ptr<NetworkPort> Open(PortConfig c) {
    NetStatus st;
    auto p = net.OpenPort(c, st);
    EXPECT_EQ(st, NetStatus::Ok) << ToString(st);
    return p;
  }
};

struct Received {
  std::vector<Datagram> got;
  std::vector<Time100ns> at;
  PeerPort::OnReceive Fn() {
    return [this](const Datagram &d, Time100ns t) {
      got.push_back(d);
      at.push_back(t);
    };
  }
};

TEST(SimNetworkTest, DeliversInOrderAfterTheDelayAndNotBefore) {
  Lan lan;
  FaultProfile p;
  p.delay = 5000;
  lan.net.SetDefaultProfile(p);
  Received rb;
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  auto b = lan.net.OpenPeerPort(kB, 2000, rb.Fn());
  ASSERT_TRUE(a && b);
  for (uint32_t i = 0; i < 5; ++i) {
    lan.now = 100 * i;
    ASSERT_EQ(a->Send(kB, 2000, Counter(i)), NetStatus::Ok);
  }
  EXPECT_EQ(lan.net.NextDeadline(), Time100ns(5000));
  lan.now = 4999;
  lan.net.Service(lan.now);
  EXPECT_TRUE(rb.got.empty());
  lan.RunUntil(6000);
  ASSERT_EQ(rb.got.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(CounterOf(rb.got[i].payload), i);
    EXPECT_EQ(rb.at[i], 5000 + 100 * i);
    EXPECT_EQ(rb.got[i].src, kA);
    EXPECT_EQ(rb.got[i].srcPort, 1000);
    EXPECT_EQ(rb.got[i].dst, kB);
    EXPECT_EQ(rb.got[i].dstPort, 2000);
  }
  EXPECT_FALSE(lan.net.NextDeadline());
}

TEST(SimNetworkTest, UnicastReachesOnlyTheBoundAddressAndPort) {
  Lan lan;
  Received rb, rc, rbOther;
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  auto b = lan.net.OpenPeerPort(kB, 2000, rb.Fn());
  auto c = lan.net.OpenPeerPort(kC, 2000, rc.Fn());
  auto b2 = lan.net.OpenPeerPort(kB, 2001, rbOther.Fn());
  a->Send(kB, 2000, Bytes({1}));
  a->Send(kB, 2002, Bytes({2})); // nobody there
  lan.RunUntil(10);
  ASSERT_EQ(rb.got.size(), 1u);
  EXPECT_TRUE(rc.got.empty());
  EXPECT_TRUE(rbOther.got.empty());
  ASSERT_EQ(lan.net.Capture().size(), 2u);
  EXPECT_FALSE(lan.net.Capture()[0].dropped);
  EXPECT_EQ(lan.net.Capture()[0].receivers, 1u);
  EXPECT_TRUE(lan.net.Capture()[1].dropped);
  EXPECT_EQ(lan.net.Capture()[1].receivers, 0u);
  EXPECT_EQ(lan.net.Stats().unreachable, 1u);
}

TEST(SimNetworkTest, RemoteFilterKeepsOtherSendersOut) {
  Lan lan;
  PortConfig c = At(kB, 2000);
  c.remoteAddress = kA;
  auto port = lan.Open(c);
  auto fromA = lan.net.OpenPeerPort(kA, 1000, nullptr);
  auto fromA2 = lan.net.OpenPeerPort(kA, 1001, nullptr);
  auto fromC = lan.net.OpenPeerPort(kC, 1000, nullptr);
  fromC->Send(kB, 2000, Bytes({3}));
  fromA->Send(kB, 2000, Bytes({1}));
  fromA2->Send(kB, 2000, Bytes({2}));
  lan.RunUntil(1);
  std::vector<uint8_t> first;
  while (auto rx = port->Receive())
    first.push_back(rx->datagram.payload[0]);
  EXPECT_EQ(first, Bytes({1, 2}));

  // With a remote port as well, only that one port of the peer gets through.
  PortConfig c2 = c;
  c2.localPort = 2001;
  c2.remotePort = 1001;
  auto strict = lan.Open(c2);
  fromA->Send(kB, 2001, Bytes({4}));
  fromA2->Send(kB, 2001, Bytes({5}));
  lan.RunUntil(2);
  auto rx = strict->Receive();
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->datagram.payload, Bytes({5}));
  EXPECT_FALSE(strict->Receive());
}

TEST(SimNetworkTest, BroadcastReachesPortsThatAcceptItOnThatPort) {
  Lan lan;
  PortConfig c = At(kB, 67);
  c.acceptBroadcast = true;
  auto accepting = lan.Open(c);
  c.localAddress = kC;
  c.acceptBroadcast = false;
  auto refusing = lan.Open(c);
  c.localAddress = kA;
  c.localPort = 68;
  c.acceptBroadcast = true;
  auto otherPort = lan.Open(c);
  auto sender = lan.net.OpenPeerPort(Ipv4(10, 0, 0, 9), 5000, nullptr);
  sender->Send(Ipv4(255, 255, 255, 255), 67, Bytes({7}));
  lan.RunUntil(1);
  auto rx = accepting->Receive();
  ASSERT_TRUE(rx);
  EXPECT_TRUE(rx->datagram.dst.IsBroadcast());
  EXPECT_FALSE(refusing->HasReceived());
  EXPECT_FALSE(otherPort->HasReceived());
}

TEST(SimNetworkTest, MulticastReachesEveryJoinedPortOfTheGroupPortButNotTheSender) {
  Lan lan;
  std::vector<std::unique_ptr<NetworkPort>> members;
  for (uint8_t host = 2; host <= 4; ++host)
    members.push_back(lan.Open(At(Ipv4(10, 0, 0, host), 1759)));
  auto sender = lan.Open(At(kA, 1759));
  ASSERT_EQ(sender->JoinGroup(kGroup), NetStatus::Ok);
  EXPECT_EQ(members[0]->JoinGroup(kGroup), NetStatus::Ok);
  EXPECT_EQ(members[1]->JoinGroup(kGroup), NetStatus::Ok);
  // members[2] never joins.
  EXPECT_EQ(members[0]->JoinGroup(kA), NetStatus::InvalidArgument);

  Datagram d;
  d.dst = kGroup;
  d.dstPort = 1759;
  d.payload = Bytes({1, 2, 3});
  ASSERT_EQ(sender->Send(d), NetStatus::Ok);
  lan.RunUntil(1);
  EXPECT_TRUE(members[0]->HasReceived());
  EXPECT_TRUE(members[1]->HasReceived());
  EXPECT_FALSE(members[2]->HasReceived());
  EXPECT_FALSE(sender->HasReceived());
  EXPECT_EQ(lan.net.Capture().back().receivers, 2u);
  auto rx = members[0]->Receive();
  EXPECT_EQ(rx->datagram.dst, kGroup);
  EXPECT_EQ(rx->datagram.src, kA);

  // Leaving stops delivery; a datagram to another port of the group is not theirs.
  members[1]->Receive();
  EXPECT_EQ(members[1]->LeaveGroup(kGroup), NetStatus::Ok);
  sender->Send(d);
  d.dstPort = 1760;
  sender->Send(d);
  lan.RunUntil(2);
  EXPECT_TRUE(members[0]->Receive());
  EXPECT_FALSE(members[0]->Receive());
  EXPECT_FALSE(members[1]->HasReceived());
}

TEST(SimNetworkTest, PromiscuousAndAnyPortWidenTheFilter) {
  Lan lan;
  PortConfig c = At(kC, 9);
  c.acceptPromiscuous = true;
  c.remoteAddress = kB; // ignored when promiscuous
  auto promiscuous = lan.Open(c);
  PortConfig any = At(kB, 1);
  any.acceptAnyPort = true;
  auto anyPort = lan.Open(any);
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  a->Send(kB, 9, Bytes({1}));    // to B: the promiscuous port on C hears it too
  a->Send(kB, 4444, Bytes({2})); // any port of B
  a->Send(kC, 10, Bytes({3}));   // another port of C: nobody
  lan.RunUntil(1);
  EXPECT_EQ(promiscuous->Receive()->datagram.payload, Bytes({1}));
  EXPECT_FALSE(promiscuous->Receive());
  EXPECT_EQ(anyPort->Receive()->datagram.payload, Bytes({1}));
  EXPECT_EQ(anyPort->Receive()->datagram.payload, Bytes({2}));
  EXPECT_FALSE(anyPort->Receive());
}

TEST(SimNetworkTest, PortsAreExclusiveUnlessDuplicatesAreAllowed) {
  Lan lan;
  NetStatus st;
  PortConfig c = At(kA, 69);
  auto first = lan.net.OpenPort(c, st);
  ASSERT_TRUE(first);
  EXPECT_FALSE(lan.net.OpenPort(c, st));
  EXPECT_EQ(st, NetStatus::AddressInUse);
  c.allowDuplicatePort = true;
  auto shared = lan.net.OpenPort(c, st);
  EXPECT_TRUE(shared);
  c.allowDuplicatePort = false;
  c.localAddress = kB; // same port elsewhere is fine
  EXPECT_TRUE(lan.net.OpenPort(c, st));
  first.reset();
  shared.reset();
  c.localAddress = kA;
  EXPECT_TRUE(lan.net.OpenPort(c, st)) << "closing frees the port";

  c.localAddress = kGroup;
  EXPECT_FALSE(lan.net.OpenPort(c, st));
  EXPECT_EQ(st, NetStatus::InvalidArgument);

  // Ephemeral ports are distinct and in the dynamic range.
  c.localAddress = kC;
  c.localPort = 0;
  auto e1 = lan.net.OpenPort(c, st);
  auto e2 = lan.net.OpenPort(c, st);
  ASSERT_TRUE(e1 && e2);
  EXPECT_GE(e1->Port(), 49152);
  EXPECT_NE(e1->Port(), e2->Port());
}

TEST(SimNetworkTest, RefusesOversizedAndUnaddressedDatagrams) {
  Lan lan;
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  std::vector<uint8_t> big(kMaxUdpPayload + 1);
  EXPECT_EQ(a->Send(kB, 1, big), NetStatus::TooLarge);
  big.pop_back();
  EXPECT_EQ(a->Send(kB, 1, big), NetStatus::Ok);
  EXPECT_EQ(a->Send(kB, 0, Bytes({1})), NetStatus::InvalidArgument);
  EXPECT_EQ(a->Send(Ipv4(), 1, Bytes({1})), NetStatus::InvalidArgument);
}

TEST(SimNetworkTest, FullReceiveQueueDropsAndCounts) {
  Lan lan;
  lan.net.SetReceiveQueueLimit(3);
  auto port = lan.Open(At(kB, 2000));
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  for (uint32_t i = 0; i < 5; ++i)
    a->Send(kB, 2000, Counter(i));
  lan.RunUntil(1);
  EXPECT_EQ(lan.net.Stats().overflowed, 2u);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(CounterOf(port->Receive()->datagram.payload), i);
  EXPECT_FALSE(port->Receive());
}

TEST(SimNetworkTest, EndpointCallbacksMayAnswerAndCloseThemselves) {
  Lan lan;
  Received ra;
  std::unique_ptr<PeerPort> echo;
  echo = lan.net.OpenPeerPort(kB, 7, [&](const Datagram &d, Time100ns) {
    echo->Send(d.src, d.srcPort, d.payload);
    echo.reset(); // one answer, then gone
  });
  auto a = lan.net.OpenPeerPort(kA, 1000, ra.Fn());
  a->Send(kB, 7, Bytes({9}));
  a->Send(kB, 7, Bytes({8}));
  lan.RunUntil(10);
  EXPECT_FALSE(echo);
  ASSERT_EQ(ra.got.size(), 1u);
  EXPECT_EQ(ra.got[0].payload, Bytes({9}));
  EXPECT_EQ(ra.got[0].src, kB);
  EXPECT_EQ(ra.got[0].srcPort, 7);
  // Both reached the echo port's queue; the second went with the port.
  EXPECT_EQ(lan.net.Stats().delivered, 3u);
  a->Send(kB, 7, Bytes({7}));
  EXPECT_TRUE(lan.net.Capture().back().dropped);
  EXPECT_EQ(lan.net.Stats().unreachable, 1u);
}

// Sends `n` numbered datagrams A->B through `profile` and returns, per
// datagram number, how many copies arrived, in arrival order.
struct Outcome {
  std::vector<uint32_t> order;
  std::map<uint32_t, int> copies;
  std::vector<std::vector<uint32_t>> fragments;
  std::vector<bool> dropped;
  SimStats stats;
};
Outcome RunFlow(uint64_t seed, const FaultProfile &profile, uint32_t n, size_t size = 64) {
  Lan lan(seed);
  lan.net.SetDefaultProfile(profile);
  auto port = lan.Open(At(kB, 2000));
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  Outcome out;
  for (uint32_t i = 0; i < n; ++i) {
    lan.now = Time100ns(i) * 100;
    a->Send(kB, 2000, Counter(i, size));
    lan.RunUntil(lan.now);
    while (auto rx = port->Receive()) {
      uint32_t k = CounterOf(rx->datagram.payload);
      EXPECT_EQ(rx->datagram.payload, Counter(k, size)) << "payload intact";
      out.order.push_back(k);
      ++out.copies[k];
      out.fragments.push_back(rx->fragments);
    }
  }
  lan.RunUntil(lan.now + 10'000'000);
  while (auto rx = port->Receive()) {
    uint32_t k = CounterOf(rx->datagram.payload);
    out.order.push_back(k);
    ++out.copies[k];
    out.fragments.push_back(rx->fragments);
  }
  for (auto &rec : lan.net.Capture())
    out.dropped.push_back(rec.dropped);
  out.stats = lan.net.Stats();
  return out;
}

TEST(SimNetworkFaultsTest, LossRateIsHonouredAndReproducibleFromTheSeed) {
  FaultProfile p;
  p.loss = 0.1;
  const uint64_t seed = 20261207;
  Outcome one = RunFlow(seed, p, 5000);
  Outcome two = RunFlow(seed, p, 5000);
  Outcome other = RunFlow(seed + 1, p, 5000);
  SCOPED_TRACE("seed=" + std::to_string(seed));
  EXPECT_EQ(one.dropped, two.dropped);
  EXPECT_EQ(one.order, two.order);
  EXPECT_NE(one.dropped, other.dropped);
  EXPECT_GT(one.stats.lost, 400u);
  EXPECT_LT(one.stats.lost, 600u);
  EXPECT_EQ(one.stats.lost + one.order.size(), 5000u);
  EXPECT_EQ(size_t(std::count(one.dropped.begin(), one.dropped.end(), true)), one.stats.lost);
  // Without reordering, what survives keeps its order.
  EXPECT_TRUE(std::is_sorted(one.order.begin(), one.order.end()));
}

TEST(SimNetworkFaultsTest, DuplicatesArriveTwiceAndNothingElseChanges) {
  FaultProfile p;
  p.duplicate = 0.2;
  Outcome o = RunFlow(7, p, 2000);
  EXPECT_GT(o.stats.duplicated, 300u);
  EXPECT_LT(o.stats.duplicated, 500u);
  size_t twice = 0;
  for (uint32_t i = 0; i < 2000; ++i) {
    ASSERT_TRUE(o.copies[i] == 1 || o.copies[i] == 2) << i;
    twice += o.copies[i] == 2;
  }
  EXPECT_EQ(twice, o.stats.duplicated);
}

TEST(SimNetworkFaultsTest, ReorderingLetsLaterDatagramsOvertakeWithoutLosingAny) {
  FaultProfile p;
  p.reorder = 0.1;
  p.reorderDelay = 1000; // ten send intervals
  Outcome o = RunFlow(11, p, 2000);
  EXPECT_GT(o.stats.reordered, 140u);
  EXPECT_LT(o.stats.reordered, 260u);
  EXPECT_FALSE(std::is_sorted(o.order.begin(), o.order.end()));
  std::vector<uint32_t> sorted = o.order;
  std::sort(sorted.begin(), sorted.end());
  std::vector<uint32_t> all(2000);
  std::iota(all.begin(), all.end(), 0u);
  EXPECT_EQ(sorted, all);
}

TEST(SimNetworkFaultsTest, JitterDelaysWithinItsBound) {
  Lan lan(3);
  FaultProfile p;
  p.delay = 1000;
  p.jitter = 500;
  lan.net.SetDefaultProfile(p);
  Received rb;
  auto b = lan.net.OpenPeerPort(kB, 2000, rb.Fn());
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  for (uint32_t i = 0; i < 200; ++i)
    a->Send(kB, 2000, Counter(i));
  lan.RunUntil(10'000);
  ASSERT_EQ(rb.at.size(), 200u);
  EXPECT_GE(*std::min_element(rb.at.begin(), rb.at.end()), 1000u);
  EXPECT_LE(*std::max_element(rb.at.begin(), rb.at.end()), 1500u);
  EXPECT_GT(*std::max_element(rb.at.begin(), rb.at.end()) -
                *std::min_element(rb.at.begin(), rb.at.end()),
            100u);
}

TEST(SimNetworkFaultsTest, FragmentationSplitsDeliveryIntoPiecesThatAddUp) {
  FaultProfile p;
  p.fragment = 0.5;
  p.maxFragments = 5;
  Outcome o = RunFlow(5, p, 1000, 100);
  EXPECT_GT(o.stats.fragmented, 400u);
  EXPECT_LT(o.stats.fragmented, 600u);
  size_t split = 0;
  for (auto &f : o.fragments) {
    ASSERT_GE(f.size(), 1u);
    ASSERT_LE(f.size(), 5u);
    EXPECT_EQ(std::accumulate(f.begin(), f.end(), 0u), 100u);
    for (uint32_t len : f)
      EXPECT_GT(len, 0u);
    split += f.size() > 1;
  }
  EXPECT_EQ(split, o.stats.fragmented);
}

TEST(SimNetworkFaultsTest, FlowProfilesOverrideTheDefaultAndLaterRulesWin) {
  Lan lan(9);
  FaultProfile lossy;
  lossy.loss = 1.0;
  FaultProfile clean;
  lan.net.AddFlowProfile(FlowMatch{.src = kA}, lossy);
  lan.net.AddFlowProfile(FlowMatch{.src = kA, .dstPort = 2001}, clean);
  Received r1, r2, rc;
  auto b1 = lan.net.OpenPeerPort(kB, 2000, r1.Fn());
  auto b2 = lan.net.OpenPeerPort(kB, 2001, r2.Fn());
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  auto c = lan.net.OpenPeerPort(kC, 1000, nullptr);
  a->Send(kB, 2000, Bytes({1}));
  a->Send(kB, 2001, Bytes({2}));
  c->Send(kB, 2000, Bytes({3}));
  lan.RunUntil(1);
  ASSERT_EQ(r1.got.size(), 1u);
  EXPECT_EQ(r1.got[0].payload, Bytes({3}));
  EXPECT_EQ(r2.got.size(), 1u);
}

TEST(SimNetworkFaultsTest, ReceiverMatchLosesOneGroupMemberOnly) {
  Lan lan(2);
  FaultProfile lossy;
  lossy.loss = 1.0;
  lan.net.AddFlowProfile(FlowMatch{.receiver = kC}, lossy);
  PortConfig c = At(kB, 1759);
  auto mb = lan.Open(c);
  c.localAddress = kC;
  auto mc = lan.Open(c);
  mb->JoinGroup(kGroup);
  mc->JoinGroup(kGroup);
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  a->Send(kGroup, 1759, Bytes({1}));
  lan.RunUntil(1);
  EXPECT_TRUE(mb->HasReceived());
  EXPECT_FALSE(mc->HasReceived());
  const CaptureRecord &rec = lan.net.Capture().back();
  EXPECT_EQ(rec.receivers, 2u);
  EXPECT_EQ(rec.copies, 1u);
  EXPECT_FALSE(rec.dropped);
}

TEST(SimNetworkTest, CaptureRecordsEveryDatagramWithTimeAndBytes) {
  Lan lan;
  FaultProfile lossy;
  lossy.loss = 1.0;
  lan.net.AddFlowProfile(FlowMatch{.dstPort = 2001}, lossy);
  auto a = lan.net.OpenPeerPort(kA, 1000, nullptr);
  auto b = lan.net.OpenPeerPort(kB, 2000, nullptr);
  auto b2 = lan.net.OpenPeerPort(kB, 2001, nullptr);
  lan.now = 42;
  a->Send(kB, 2000, Bytes({0, 1, 2}));
  lan.now = 43;
  a->Send(kB, 2001, Bytes({4}));
  const auto &cap = lan.net.Capture();
  ASSERT_EQ(cap.size(), 2u);
  EXPECT_EQ(cap[0].time, 42u);
  EXPECT_EQ(cap[0].datagram.src, kA);
  EXPECT_EQ(cap[0].datagram.srcPort, 1000);
  EXPECT_EQ(cap[0].datagram.dst, kB);
  EXPECT_EQ(cap[0].datagram.payload, Bytes({0, 1, 2}));
  EXPECT_FALSE(cap[0].dropped);
  EXPECT_EQ(cap[1].time, 43u);
  EXPECT_TRUE(cap[1].dropped);
  EXPECT_EQ(cap[1].receivers, 1u);
  lan.net.SetCaptureEnabled(false);
  a->Send(kB, 2000, Bytes({5}));
  EXPECT_EQ(cap.size(), 2u);
  lan.net.ClearCapture();
  EXPECT_TRUE(lan.net.Capture().empty());
  EXPECT_NE(lan.net.Describe().find("seed=1 "), std::string::npos);
}

} // namespace
} // namespace zem4::host
