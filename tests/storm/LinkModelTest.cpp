// The simulated network's link model on its own: when datagrams arrive for a
// given capacity, queue and delay, what a full queue drops, and how one
// uplink is shared by the flows (and the group) behind it.
#include "host/SimNetwork.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <vector>

namespace zem4::host {
namespace {

const Ipv4 kServer{10, 1, 0, 1};
const Ipv4 kB{10, 1, 0, 2};
const Ipv4 kC{10, 1, 0, 3};
const Ipv4 kGroup{239, 9, 9, 9};
constexpr uint16_t kPort = 7000;
// 972 bytes of payload are 1000 bytes on the wire: 1 ms at 8 Mbit/s.
constexpr size_t kPayload = 972;
constexpr Time100ns kMs = 10'000;

struct Arrival {
  uint32_t tag;
  Time100ns at;
  bool operator==(const Arrival &) const = default;
};
void PrintTo(const Arrival &a, std::ostream *os) {
  *os << "#" << a.tag << "@" << a.at;
}

struct LinkLan {
  Time100ns now = 0;
  SimNetwork net{[this] { return now; }, 3};
  std::vector<std::unique_ptr<NetworkPort>> ports;

  NetworkPort &Open(Ipv4 address, uint16_t port = kPort) {
    NetStatus status;
    ports.push_back(net.OpenPort({address, port}, status));
    EXPECT_EQ(status, NetStatus::Ok);
    return *ports.back();
  }
  void SendAt(Time100ns t, NetworkPort &from, Ipv4 to, uint32_t tag, size_t size = kPayload) {
    Run(t);
    std::vector<uint8_t> payload(size, 0);
    payload[0] = uint8_t(tag);
    ASSERT_EQ(from.Send({{}, 0, to, kPort, payload}), NetStatus::Ok);
  }
  void Run(Time100ns until) {
    while (auto next = net.NextDeadline()) {
      if (*next > until)
        break;
      now = std::max(now, *next);
      net.Service(now);
    }
    now = std::max(now, until);
  }
  // Everything that reached `port`: first payload byte and arrival time.
  static std::vector<Arrival> Drain(NetworkPort &port) {
    std::vector<Arrival> out;
    while (auto rx = port.Receive())
      out.push_back({rx->datagram.payload[0], rx->time});
    return out;
  }
};

struct TimingCase {
  const char *name;
  StationLink server;
  StationLink client;
  std::vector<std::pair<Time100ns, size_t>> sends; // time, payload size
  std::vector<Arrival> expected;                   // tagged by send order
  uint64_t dropped;
};

TEST(LinkModelTest, DeliveryTimesFollowCapacityQueueAndDelay) {
  const std::vector<TimingCase> cases = {
      {"uplink paces back-to-back sends, then its delay",
       {{8'000'000, 0, 5'000}, {}},
       {},
       {{0, kPayload}, {0, kPayload}, {0, kPayload}},
       {{0, 15'000}, {1, 25'000}, {2, 35'000}},
       0},
      {"an idle link starts at once; a busy one after the last",
       {{8'000'000, 0, 0}, {}},
       {},
       {{0, kPayload}, {5'000, kPayload}, {50'000, kPayload}},
       {{0, 10'000}, {1, 20'000}, {2, 60'000}},
       0},
      {"the slower downlink sets the pace after a fast uplink",
       {{16'000'000, 0, 0}, {}},
       {{}, {8'000'000, 0, 2'000}},
       {{0, kPayload}, {0, kPayload}, {0, kPayload}},
       {{0, 17'000}, {1, 27'000}, {2, 37'000}},
       0},
      {"wire time is rounded up to 100 ns (128 bytes at 1 Gbit/s: 1.024 us)",
       {{1'000'000'000, 0, 0}, {}},
       {},
       {{0, 100}, {0, 100}},
       {{0, 11}, {1, 22}},
       0},
      {"a queue of two: the third and fourth are dropped at the tail",
       {{8'000'000, 2, 0}, {}},
       {},
       {{0, kPayload}, {0, kPayload}, {0, kPayload}, {0, kPayload}, {kMs, kPayload}},
       {{0, 10'000}, {1, 20'000}, {4, 30'000}},
       2},
      {"a queue of one holds only the datagram on the wire",
       {{8'000'000, 1, 0}, {}},
       {},
       {{0, kPayload}, {9'999, kPayload}, {10'000, kPayload}},
       {{0, 10'000}, {2, 20'000}},
       1},
      {"the downlink's queue drops too",
       {},
       {{}, {8'000'000, 2, 0}},
       {{0, kPayload}, {0, kPayload}, {0, kPayload}},
       {{0, 10'000}, {1, 20'000}},
       1},
  };
  for (const TimingCase &c : cases) {
    SCOPED_TRACE(c.name);
    LinkLan lan;
    lan.net.SetLink(kServer, c.server);
    lan.net.SetLink(kB, c.client);
    NetworkPort &server = lan.Open(kServer);
    NetworkPort &client = lan.Open(kB);
    for (uint32_t i = 0; i < c.sends.size(); ++i)
      lan.SendAt(c.sends[i].first, server, kB, i, c.sends[i].second);
    lan.Run(kMs * 1000);
    EXPECT_EQ(LinkLan::Drain(client), c.expected);
    EXPECT_EQ(lan.net.Stats().linkDropped, c.dropped);
    EXPECT_EQ(lan.net.UplinkStats(kServer).dropped + lan.net.DownlinkStats(kB).dropped, c.dropped);
    EXPECT_EQ(lan.net.InFlight(), 0u);
  }
}

TEST(LinkModelTest, TailDropIsSeenInCaptureAndCounters) {
  LinkLan lan;
  lan.net.SetLink(kServer, {{8'000'000, 2, 0}, {}});
  NetworkPort &server = lan.Open(kServer);
  lan.Open(kB);
  for (uint32_t i = 0; i < 3; ++i)
    lan.SendAt(0, server, kB, i);
  const auto &capture = lan.net.Capture();
  ASSERT_EQ(capture.size(), 3u);
  EXPECT_FALSE(capture[0].dropped);
  EXPECT_FALSE(capture[1].dropped);
  EXPECT_TRUE(capture[2].dropped);
  EXPECT_EQ(capture[2].receivers, 1u);
  LinkStats up = lan.net.UplinkStats(kServer);
  EXPECT_EQ(up.datagrams, 2u);
  EXPECT_EQ(up.bytes, 2000u);
  EXPECT_EQ(up.dropped, 1u);
  EXPECT_NE(lan.net.Describe().find("link_dropped=1"), std::string::npos) << lan.net.Describe();
}

TEST(LinkModelTest, FlowsToSeveralClientsShareTheServersUplink) {
  LinkLan lan;
  lan.net.SetLink(kServer, {{8'000'000, 0, 0}, {}});
  NetworkPort &server = lan.Open(kServer);
  NetworkPort &b = lan.Open(kB);
  NetworkPort &c = lan.Open(kC);
  // Alternating sends: each client gets every other slot, half the capacity.
  for (uint32_t i = 0; i < 4; ++i) {
    lan.SendAt(0, server, kB, i);
    lan.SendAt(0, server, kC, i);
  }
  lan.Run(kMs * 100);
  EXPECT_EQ(LinkLan::Drain(b),
            (std::vector<Arrival>{{0, 10'000}, {1, 30'000}, {2, 50'000}, {3, 70'000}}));
  EXPECT_EQ(LinkLan::Drain(c),
            (std::vector<Arrival>{{0, 20'000}, {1, 40'000}, {2, 60'000}, {3, 80'000}}));
  EXPECT_EQ(lan.net.UplinkStats(kServer).bytes, 8000u);
  EXPECT_EQ(lan.net.DownlinkStats(kB).datagrams, 4u);
  EXPECT_EQ(lan.net.DownlinkStats(kC).datagrams, 4u);
}

TEST(LinkModelTest, AGroupDatagramCrossesTheUplinkOnceAndEachDownlink) {
  LinkLan lan;
  lan.net.SetDefaultLink({{}, {8'000'000, 0, 1'000}});
  lan.net.SetLink(kServer, {{8'000'000, 0, 0}, {}});
  NetworkPort &server = lan.Open(kServer);
  NetworkPort &b = lan.Open(kB);
  NetworkPort &c = lan.Open(kC);
  ASSERT_EQ(b.JoinGroup(kGroup), NetStatus::Ok);
  ASSERT_EQ(c.JoinGroup(kGroup), NetStatus::Ok);
  lan.SendAt(0, server, kGroup, 1);
  lan.SendAt(0, server, kGroup, 2);
  lan.Run(kMs * 100);
  // Uplink 1 ms each, then each downlink 1 ms (the second waits for the first) and 0.1 ms.
  const std::vector<Arrival> expected = {{1, 21'000}, {2, 31'000}};
  EXPECT_EQ(LinkLan::Drain(b), expected);
  EXPECT_EQ(LinkLan::Drain(c), expected);
  EXPECT_EQ(lan.net.UplinkStats(kServer).datagrams, 2u);
  EXPECT_EQ(lan.net.DownlinkStats(kB).datagrams, 2u);
  EXPECT_EQ(lan.net.DownlinkStats(kC).datagrams, 2u);
  EXPECT_EQ(lan.net.Capture().at(0).copies, 2u);
}

TEST(LinkModelTest, PortsOfOneStationBypassTheLinks) {
  LinkLan lan;
  lan.net.SetLink(kServer, {{8'000'000, 1, 50'000}, {8'000'000, 1, 50'000}});
  NetworkPort &from = lan.Open(kServer, kPort + 1);
  NetworkPort &to = lan.Open(kServer);
  for (uint32_t i = 0; i < 3; ++i)
    lan.SendAt(100, from, kServer, i);
  lan.Run(kMs);
  EXPECT_EQ(LinkLan::Drain(to), (std::vector<Arrival>{{0, 100}, {1, 100}, {2, 100}}));
  EXPECT_EQ(lan.net.UplinkStats(kServer).datagrams, 0u);
}

TEST(LinkModelTest, AReceiverClosedInFlightGetsNothingAndIsCounted) {
  LinkLan lan;
  lan.net.SetLink(kServer, {{8'000'000, 0, 0}, {}});
  NetworkPort &server = lan.Open(kServer);
  lan.Open(kB);
  lan.SendAt(0, server, kB, 1);
  lan.ports.pop_back();
  lan.Run(kMs * 10);
  EXPECT_EQ(lan.net.Stats().overflowed, 1u);
  EXPECT_EQ(lan.net.Stats().delivered, 0u);
  EXPECT_EQ(lan.net.InFlight(), 0u);
}

TEST(LinkModelTest, ADefaultLinkReachesStationsAlreadySeenButNotOnesWithTheirOwn) {
  LinkLan lan;
  lan.net.SetLink(kServer, {{8'000'000, 0, 0}, {}});
  lan.net.SetDefaultLink({{}, {4'000'000, 0, 0}});
  NetworkPort &server = lan.Open(kServer);
  NetworkPort &b = lan.Open(kB);
  lan.SendAt(0, server, kB, 1);
  lan.Run(kMs * 10);
  // 1 ms on the server's own uplink (the default's is unlimited), 2 ms down.
  EXPECT_EQ(LinkLan::Drain(b), (std::vector<Arrival>{{1, 30'000}}));
  lan.net.SetDefaultLink({});
  lan.SendAt(kMs * 10, server, kB, 2);
  lan.Run(kMs * 20);
  EXPECT_EQ(LinkLan::Drain(b), (std::vector<Arrival>{{2, kMs * 10 + 10'000}}));
}

} // namespace
} // namespace zem4::host
