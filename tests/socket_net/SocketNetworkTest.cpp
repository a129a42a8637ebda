// The socket backend over real loopback datagrams: binding, filters, group
// membership shared by several station addresses, injected faults, UDP4 on
// top of it, and an idle firmware that blocks instead of spinning. Every
// wait is bounded by a number of rounds, never asserted in time.
#include "host/SocketNetwork.h"
#include "host/Udp4.h"
#include "tests/common/FirmwareFixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace zem4::test {
namespace {

using host::Ipv4;

const Ipv4 kServer{127, 0, 0, 1};
const Ipv4 kClientA{127, 0, 0, 2};
const Ipv4 kClientB{127, 0, 0, 3};
const Ipv4 kClientC{127, 0, 0, 4};

// A group of our own per process, so parallel test runs do not hear each other.
Ipv4 TestGroup() {
  return Ipv4(239, 255, 201, uint8_t(1 + getpid() % 250));
}

EFI_IPv4_ADDRESS Efi(Ipv4 a) {
  return EFI_IPv4_ADDRESS{{a.b[0], a.b[1], a.b[2], a.b[3]}};
}

VOID EFIAPI CountNotify(EFI_EVENT, VOID *context) {
  ++*static_cast<int *>(context);
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) {
  return std::vector<uint8_t>(b);
}

class SocketNetTest : public FirmwareFixture {
protected:
  SocketNetTest() : FirmwareFixture(host::ClockMode::Real) {}

  void SetUp() override {
    FirmwareFixture::SetUp();
    Make({});
  }
  void TearDown() override {
    endpoints_.clear();
    controllers_.clear();
    Fw().RemoveDevice(*net_);
    Fw().SetIdleWait(nullptr);
    FirmwareFixture::TearDown();
    net_.reset();
  }

  void Make(host::SocketNetworkOptions options) {
    if (net_) {
      Fw().RemoveDevice(*net_);
      Fw().SetIdleWait(nullptr);
    }
    net_ = std::make_unique<host::SocketNetwork>([this] { return Fw().Now(); }, options);
    Fw().AddDevice(*net_);
    Fw().SetIdleWait([this](host::Time100ns until) { net_->Wait(until); });
  }

  host::SocketNetwork &Net() { return *net_; }

  std::unique_ptr<host::NetworkPort> Open(Ipv4 address, uint16_t port = 0, bool duplicate = false,
                                          Ipv4 remote = {}) {
    host::PortConfig c;
    c.localAddress = address;
    c.localPort = port;
    c.allowDuplicatePort = duplicate;
    c.remoteAddress = remote;
    host::NetStatus st = host::NetStatus::Ok;
    auto p = net_->OpenPort(c, st);
    EXPECT_EQ(st, host::NetStatus::Ok) << host::ToString(st);
    return p;
  }

  // Services the network (blocking up to 100 ms per round) until `done`.
  bool ServiceUntil(const std::function<bool()> &done, int rounds = 50) {
    for (int i = 0; i < rounds; ++i) {
      net_->Service(Fw().Now());
      if (done())
        return true;
      net_->Wait(Fw().Now() + 1'000'000);
    }
    net_->Service(Fw().Now());
    return done();
  }

  static host::Datagram To(Ipv4 dst, uint16_t port, std::vector<uint8_t> payload) {
    host::Datagram d;
    d.dst = dst;
    d.dstPort = port;
    d.payload = std::move(payload);
    return d;
  }

  std::vector<std::unique_ptr<host::Udp4Controller>> controllers_;
  std::vector<std::unique_ptr<host::PeerPort>> endpoints_;

private:
  std::unique_ptr<host::SocketNetwork> net_;
};

TEST_F(SocketNetTest, DatagramsCarryTheirAddressesPortsAndBytes) {
  auto a = Open(kClientA);
  auto b = Open(kClientB);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->Port(), 0);
  EXPECT_EQ(a->Address(), kClientA);
  ASSERT_EQ(a->Send(To(kClientB, b->Port(), Bytes({0, 6, 1, 2, 0xFF}))), host::NetStatus::Ok);
  ASSERT_EQ(a->Send(To(kClientB, b->Port(), {})), host::NetStatus::Ok);
  ASSERT_TRUE(ServiceUntil([&] { return b->HasReceived(); }));
  auto rx = b->Receive();
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->datagram.src, kClientA);
  EXPECT_EQ(rx->datagram.srcPort, a->Port());
  EXPECT_EQ(rx->datagram.dst, kClientB);
  EXPECT_EQ(rx->datagram.dstPort, b->Port());
  EXPECT_EQ(rx->datagram.payload, Bytes({0, 6, 1, 2, 0xFF}));
  EXPECT_EQ(rx->fragments, std::vector<uint32_t>{5});
  // The empty datagram is a datagram too, with no fragment.
  ASSERT_TRUE(ServiceUntil([&] { return b->HasReceived(); }));
  rx = b->Receive();
  ASSERT_TRUE(rx);
  EXPECT_TRUE(rx->datagram.payload.empty());
  EXPECT_TRUE(rx->fragments.empty());
  EXPECT_FALSE(a->HasReceived());
  EXPECT_EQ(Net().Stats().sent, 2u);
}

TEST_F(SocketNetTest, BindingRulesAndBadArguments) {
  auto a = Open(kClientA);
  ASSERT_TRUE(a);
  host::PortConfig c;
  c.localAddress = kClientA;
  c.localPort = a->Port();
  host::NetStatus st = host::NetStatus::Ok;
  EXPECT_EQ(Net().OpenPort(c, st), nullptr);
  EXPECT_EQ(st, host::NetStatus::AddressInUse);
  // Another station address may use the same port number.
  auto other = Open(kClientB, a->Port());
  EXPECT_TRUE(other);
  // Two ports that both allow sharing may share.
  auto s1 = Open(kClientC, 0, true);
  ASSERT_TRUE(s1);
  auto s2 = Open(kClientC, s1->Port(), true);
  EXPECT_TRUE(s2);

  c.localAddress = Ipv4(239, 1, 2, 3);
  c.localPort = 0;
  EXPECT_EQ(Net().OpenPort(c, st), nullptr);
  EXPECT_EQ(st, host::NetStatus::InvalidArgument);

  EXPECT_EQ(a->Send(To(kClientB, 0, Bytes({1}))), host::NetStatus::InvalidArgument);
  EXPECT_EQ(a->Send(To(Ipv4{}, 9, Bytes({1}))), host::NetStatus::InvalidArgument);
  std::vector<uint8_t> big(host::kMaxUdpPayload + 1, 7);
  EXPECT_EQ(a->Send(To(kClientB, 9, big)), host::NetStatus::TooLarge);
  EXPECT_EQ(a->JoinGroup(kClientB), host::NetStatus::InvalidArgument);
  EXPECT_EQ(a->LeaveGroup(TestGroup()), host::NetStatus::InvalidArgument);
}

TEST_F(SocketNetTest, RemoteAddressFiltersTheSender) {
  auto sender = Open(kClientB);
  auto stranger = Open(kClientC);
  auto port = Open(kClientA, 0, false, kClientB);
  ASSERT_TRUE(sender && stranger && port);
  ASSERT_EQ(stranger->Send(To(kClientA, port->Port(), Bytes({9}))), host::NetStatus::Ok);
  ASSERT_TRUE(ServiceUntil([&] { return Net().Stats().filtered == 1; }));
  EXPECT_FALSE(port->HasReceived());
  ASSERT_EQ(sender->Send(To(kClientA, port->Port(), Bytes({1}))), host::NetStatus::Ok);
  ASSERT_TRUE(ServiceUntil([&] { return port->HasReceived(); }));
  EXPECT_EQ(port->Receive()->datagram.payload, Bytes({1}));
}

// Several clients on one machine, each on its own station address, share one
// group port; each hears every group datagram once, addressed to the group.
TEST_F(SocketNetTest, GroupMembersOnSeveralStationAddressesShareTheGroupPort) {
  const Ipv4 group = TestGroup();
  auto first = Open(kClientA);
  ASSERT_TRUE(first);
  const uint16_t groupPort = first->Port();
  auto second = Open(kClientB, groupPort);
  auto third = Open(kClientC, groupPort);
  ASSERT_TRUE(second && third);
  for (auto *p : {first.get(), second.get(), third.get()})
    ASSERT_EQ(p->JoinGroup(group), host::NetStatus::Ok);
  EXPECT_EQ(first->JoinGroup(group), host::NetStatus::Ok); // again: no second socket

  auto server = Open(kServer);
  ASSERT_TRUE(server);
  ASSERT_EQ(server->Send(To(group, groupPort, Bytes({0, 8, 0, 1}))), host::NetStatus::Ok);
  auto all = [&] { return first->HasReceived() && second->HasReceived() && third->HasReceived(); };
  ASSERT_TRUE(ServiceUntil(all));
  for (auto *p : {first.get(), second.get(), third.get()}) {
    auto rx = p->Receive();
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->datagram.dst, group);
    EXPECT_EQ(rx->datagram.dstPort, groupPort);
    EXPECT_EQ(rx->datagram.src, kServer);
    EXPECT_EQ(rx->datagram.payload, Bytes({0, 8, 0, 1}));
    EXPECT_FALSE(p->HasReceived()) << "a second copy";
  }

  // A member that left hears nothing more; the others still do.
  ASSERT_EQ(third->LeaveGroup(group), host::NetStatus::Ok);
  ASSERT_EQ(server->Send(To(group, groupPort, Bytes({2}))), host::NetStatus::Ok);
  ASSERT_TRUE(ServiceUntil([&] { return first->HasReceived() && second->HasReceived(); }));
  Net().Service(Fw().Now());
  EXPECT_FALSE(third->HasReceived());
  // Unicast to a member's station address still reaches it.
  ASSERT_EQ(server->Send(To(kClientC, groupPort, Bytes({3}))), host::NetStatus::Ok);
  ASSERT_TRUE(ServiceUntil([&] { return third->HasReceived(); }));
  EXPECT_EQ(third->Receive()->datagram.dst, kClientC);
}

TEST_F(SocketNetTest, InjectedLossDuplicationAndReordering) {
  host::SocketNetworkOptions lossy;
  lossy.faults.loss = 1.0;
  Make(lossy);
  {
    auto a = Open(kClientA);
    auto b = Open(kClientB);
    for (uint8_t i = 0; i < 5; ++i)
      ASSERT_EQ(a->Send(To(kClientB, b->Port(), Bytes({i}))), host::NetStatus::Ok);
    ASSERT_TRUE(ServiceUntil([&] { return Net().Stats().lost == 5; }));
    EXPECT_FALSE(b->HasReceived());
  }

  host::SocketNetworkOptions dup;
  dup.faults.duplicate = 1.0;
  Make(dup);
  {
    auto a = Open(kClientA);
    auto b = Open(kClientB);
    ASSERT_EQ(a->Send(To(kClientB, b->Port(), Bytes({7}))), host::NetStatus::Ok);
    std::vector<std::vector<uint8_t>> got;
    ASSERT_TRUE(ServiceUntil([&] {
      while (auto rx = b->Receive())
        got.push_back(rx->datagram.payload);
      return got.size() >= 2;
    }));
    EXPECT_EQ(got, (std::vector<std::vector<uint8_t>>{{7}, {7}}));
    EXPECT_EQ(Net().Stats().duplicated, 1u);
  }

  // Held datagrams come out when due, behind ones that were not held.
  host::SocketNetworkOptions reorder;
  reorder.faults.reorder = 0.5;
  reorder.faults.reorderDelay = 200'000; // 20 ms
  reorder.faults.seed = 7;
  Make(reorder);
  {
    auto a = Open(kClientA);
    auto b = Open(kClientB);
    for (uint8_t i = 0; i < 40; ++i)
      ASSERT_EQ(a->Send(To(kClientB, b->Port(), Bytes({i}))), host::NetStatus::Ok);
    std::vector<uint8_t> got;
    ASSERT_TRUE(ServiceUntil([&] {
      while (auto rx = b->Receive()) {
        got.push_back(rx->datagram.payload.at(0));
      }
      if (!got.empty() && got.size() < 40) {
        EXPECT_TRUE(Net().NextDeadline().has_value());
      }
      return got.size() == 40;
    }));
    EXPECT_GT(Net().Stats().reordered, 0u);
    EXPECT_FALSE(std::is_sorted(got.begin(), got.end()));
    std::sort(got.begin(), got.end());
    for (uint8_t i = 0; i < 40; ++i)
      EXPECT_EQ(got[i], i);
    EXPECT_FALSE(Net().NextDeadline().has_value());
  }
}

// The same seed gives the same losses for the same traffic.
TEST_F(SocketNetTest, LossFollowsTheSeed) {
  auto run = [&](uint64_t seed) {
    host::SocketNetworkOptions o;
    o.faults.loss = 0.3;
    o.faults.seed = seed;
    Make(o);
    auto a = Open(kClientA);
    auto b = Open(kClientB);
    for (uint8_t i = 0; i < 60; ++i)
      EXPECT_EQ(a->Send(To(kClientB, b->Port(), Bytes({i}))), host::NetStatus::Ok);
    std::vector<uint8_t> got;
    EXPECT_TRUE(ServiceUntil([&] {
      while (auto rx = b->Receive())
        got.push_back(rx->datagram.payload.at(0));
      return got.size() + Net().Stats().lost == 60;
    }));
    return got;
  };
  auto first = run(11);
  EXPECT_EQ(run(11), first);
  EXPECT_LT(first.size(), 60u);
  EXPECT_GT(first.size(), 0u);
}

// UDP4 children on two controllers talk through the kernel: transmit
// completes through its token, receive hands out the datagram until it is
// recycled, and an endpoint answers from its own port.
TEST_F(SocketNetTest, Udp4OverSockets) {
  std::vector<host::Datagram> heard;
  host::PeerPort *echo = nullptr;
  endpoints_.push_back(
      Net().OpenPeerPort(kServer, 0, [&](const host::Datagram &d, host::Time100ns) {
        heard.push_back(d);
        std::vector<uint8_t> reply = d.payload;
        reply.push_back(0xEE);
        echo->Send(d.src, d.srcPort, reply);
      }));
  echo = endpoints_.back().get();
  ASSERT_NE(echo, nullptr);

  controllers_.push_back(
      std::make_unique<host::Udp4Controller>(host::MakeController(Fw(), Net(), kClientA)));
  host::Udp4Controller &ctl = *controllers_.back();
  EFI_HANDLE child = nullptr;
  ASSERT_EQ(ctl.ServiceBinding()->CreateChild(ctl.ServiceBinding(), &child), EFI_SUCCESS);
  auto *udp = static_cast<EFI_UDP4_PROTOCOL *>(Fw().GetProtocol(child, gEfiUdp4ProtocolGuid));
  ASSERT_NE(udp, nullptr);

  EFI_UDP4_CONFIG_DATA cfg{};
  cfg.TimeToLive = 64;
  cfg.StationAddress = Efi(kClientA);
  cfg.SubnetMask = Efi(Ipv4(255, 0, 0, 0));
  cfg.RemoteAddress = Efi(kServer);
  cfg.RemotePort = echo->Port();
  ASSERT_EQ(udp->Configure(udp, &cfg), EFI_SUCCESS);

  int txDone = 0, rxDone = 0;
  EFI_UDP4_COMPLETION_TOKEN tx{}, rx{};
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountNotify, &txDone, &tx.Event),
            EFI_SUCCESS);
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountNotify, &rxDone, &rx.Event),
            EFI_SUCCESS);
  uint8_t payload[3] = {0, 1, 'x'};
  EFI_UDP4_TRANSMIT_DATA txData{};
  txData.DataLength = sizeof payload;
  txData.FragmentCount = 1;
  txData.FragmentTable[0].FragmentLength = sizeof payload;
  txData.FragmentTable[0].FragmentBuffer = payload;
  tx.Packet.TxData = &txData;
  ASSERT_EQ(udp->Receive(udp, &rx), EFI_SUCCESS);
  ASSERT_EQ(udp->Transmit(udp, &tx), EFI_SUCCESS);

  for (int i = 0; i < 50 && (rxDone == 0 || txDone == 0); ++i)
    ASSERT_EQ(udp->Poll(udp), EFI_SUCCESS);
  ASSERT_EQ(txDone, 1);
  ASSERT_EQ(rxDone, 1);
  EXPECT_EQ(tx.Status, EFI_SUCCESS);
  ASSERT_EQ(rx.Status, EFI_SUCCESS);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].src, kClientA);
  EXPECT_EQ(heard[0].payload, Bytes({0, 1, 'x'}));

  EFI_UDP4_RECEIVE_DATA *data = rx.Packet.RxData;
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(Ipv4::FromBytes(data->UdpSession.SourceAddress.Addr), kServer);
  EXPECT_EQ(data->UdpSession.SourcePort, echo->Port());
  EXPECT_EQ(Ipv4::FromBytes(data->UdpSession.DestinationAddress.Addr), kClientA);
  ASSERT_EQ(data->DataLength, 4u);
  ASSERT_EQ(data->FragmentCount, 1u);
  auto *bytes = static_cast<const uint8_t *>(data->FragmentTable[0].FragmentBuffer);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), Bytes({0, 1, 'x', 0xEE}));
  EXPECT_EQ(ctl.Unrecycled(), 1u);
  ASSERT_EQ(Bs()->SignalEvent(data->RecycleSignal), EFI_SUCCESS);
  EXPECT_EQ(ctl.Unrecycled(), 0u);

  ASSERT_EQ(udp->Configure(udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CloseEvent(tx.Event), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CloseEvent(rx.Event), EFI_SUCCESS);
  ASSERT_EQ(ctl.ServiceBinding()->DestroyChild(ctl.ServiceBinding(), child), EFI_SUCCESS);
  EXPECT_EQ(Net().OpenPorts(), 1u); // the endpoint's
}

// An idle firmware waits in poll() for its timer instead of waking every
// millisecond: a timer 50 ms ahead is reached in a handful of idle rounds.
TEST_F(SocketNetTest, IdleFirmwareBlocksUntilTheTimerOrADatagram) {
  auto port = Open(kClientA); // something to poll on
  int fired = 0;
  EFI_EVENT timer = nullptr;
  ASSERT_EQ(
      Bs()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountNotify, &fired, &timer),
      EFI_SUCCESS);
  ASSERT_EQ(Bs()->SetTimer(timer, TimerRelative, 500'000), EFI_SUCCESS);
  int rounds = 0;
  while (fired == 0 && rounds < 1000) {
    Fw().AdvanceIdle();
    ++rounds;
  }
  EXPECT_EQ(fired, 1);
  EXPECT_LE(rounds, 5) << "the idle firmware spun";
  EXPECT_EQ(Bs()->CloseEvent(timer), EFI_SUCCESS);

  // A datagram ends the wait long before a far deadline: a 60 s wait that
  // returned in one round can only have been woken by the socket.
  auto sender = Open(kClientB);
  ASSERT_EQ(sender->Send(To(kClientA, port->Port(), Bytes({1}))), host::NetStatus::Ok);
  Net().Wait(Fw().Now() + 600'000'000);
  Net().Service(Fw().Now());
  EXPECT_TRUE(port->HasReceived());
  // So does Wake.
  Net().Wake();
  Net().Wait(Fw().Now() + 600'000'000);
  SUCCEED();
}

} // namespace
} // namespace zem4::test
