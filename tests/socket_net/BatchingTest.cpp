// The socket network's transmits: queued while the datagrams already read are
// handed on, then sent together (one sendmmsg per socket), in order, with an
// acknowledgement that a later one makes redundant left out. What each peer
// gets is read back exactly from plain sockets on loopback; loopback delivers
// within the send, so nothing here waits. Last, the command line's gap count.
#include "host/SocketNetwork.h"
#include "net/Socket.h"
#include "tests/common/ScriptedServer.h"
#include "tools/Acks.h"
#include "tools/Gaps.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

namespace zem4::test {
namespace {

using host::Datagram;
using host::Ipv4;
using Bytes = std::vector<uint8_t>;

const Ipv4 kSender{127, 0, 0, 2};
const Ipv4 kInbound{127, 0, 0, 3};

Bytes Ack8(uint32_t sequence, uint32_t window = ZEM4_ACK8_WINDOW) {
  Bytes b(ZEM4_ACK8_LENGTH);
  Zem4WirePutBe16(b.data(), 0, ZEM4_OP_ACK8);
  Zem4WirePutBe32(b.data(), ZEM4_ACK8_SEQUENCE_OFFSET, sequence);
  Zem4WirePutBe32(b.data(), ZEM4_ACK8_WINDOW_OFFSET, window);
  return b;
}

Datagram To(Ipv4 dst, uint16_t port, Bytes payload) {
  Datagram d;
  d.dst = dst;
  d.dstPort = port;
  d.payload = std::move(payload);
  return d;
}

// A plain socket on 127.0.0.1 that collects what reaches it.
class Peer {
public:
  Peer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa = net::ToSockaddr({Ipv4(127, 0, 0, 1), 0});
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = net::FromSockaddr(sa).port;
  }
  ~Peer() { ::close(fd_); }
  uint16_t Port() const { return port_; }
  // Every datagram waiting now, oldest first.
  std::vector<Bytes> Take() {
    std::vector<Bytes> got;
    uint8_t buf[2048];
    for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0;)
      got.emplace_back(buf, buf + n);
    return got;
  }
  void SendTo(uint16_t port, Ipv4 address, const Bytes &payload) {
    sockaddr_in sa = net::ToSockaddr({address, port});
    ASSERT_EQ(::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&sa),
                       sizeof sa),
              ssize_t(payload.size()));
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class Batching : public ::testing::Test {
protected:
  void SetUp() override {
    host::SocketNetworkOptions o;
    o.supersedes = cli::AckSupersedes;
    net_ = std::make_unique<host::SocketNetwork>(&Now, o);
    sender_ = Open(kSender);
    inbound_ = Open(kInbound);
    ASSERT_TRUE(sender_ && inbound_);
  }
  static host::Time100ns Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           100;
  }
  std::unique_ptr<host::NetworkPort> Open(Ipv4 address) {
    host::PortConfig c;
    c.localAddress = address;
    host::NetStatus st = host::NetStatus::Ok;
    return net_->OpenPort(c, st);
  }
  // `count` datagrams read into the inbound port and not yet taken.
  void Fill(unsigned count) {
    for (unsigned i = 0; i < count; ++i)
      feeder_.SendTo(inbound_->Port(), kInbound, {uint8_t(i)});
    net_->Service(Now());
    ASSERT_TRUE(inbound_->HasReceived());
  }
  void Send(host::NetworkPort &port, Ipv4 dst, uint16_t dstPort, Bytes payload) {
    ASSERT_EQ(port.Send(To(dst, dstPort, std::move(payload))), host::NetStatus::Ok);
  }

  std::unique_ptr<host::SocketNetwork> net_;
  std::unique_ptr<host::NetworkPort> sender_, inbound_;
  Peer feeder_, server_, other_;
  const Ipv4 kPeer{127, 0, 0, 1};
};

TEST_F(Batching, HeldUntilTheRoundIsOverThenSentInOrderWithoutRedundantAcks) {
  Fill(2);
  Send(*sender_, kPeer, server_.Port(), Ack8(5));
  Send(*sender_, kPeer, server_.Port(), Ack8(7)); // replaces 5
  Send(*sender_, kPeer, server_.Port(), Ack8(7)); // a repeat: both go
  Send(*sender_, kPeer, server_.Port(), {1, 2, 3});
  Send(*sender_, kPeer, server_.Port(), Ack8(9)); // the datagram between keeps 7
  Send(*sender_, kPeer, other_.Port(), Ack8(10)); // another peer's own
  Send(*sender_, kPeer, other_.Port(), Ack8(11));
  EXPECT_EQ(net_->Queued(), 5u);
  EXPECT_EQ(net_->Stats().superseded, 2u);
  net_->Service(Now());
  EXPECT_TRUE(server_.Take().empty()) << "sent while datagrams were still being handed on";

  while (inbound_->Receive()) {
  }
  net_->Service(Now());
  EXPECT_EQ(server_.Take(), (std::vector<Bytes>{Ack8(7), Ack8(7), {1, 2, 3}, Ack8(9)}));
  EXPECT_EQ(other_.Take(), std::vector<Bytes>{Ack8(11)});
  EXPECT_EQ(net_->Queued(), 0u);
  EXPECT_EQ(net_->Stats().sent, 5u);
  EXPECT_EQ(net_->Stats().sendCalls, 1u) << "one socket, one system call";
}

TEST_F(Batching, HalfAWindowTakenSendsWhatWasHeld) {
  Fill(40);
  Send(*sender_, kPeer, server_.Port(), Ack8(1));
  for (int i = 0; i < 31; ++i)
    ASSERT_TRUE(inbound_->Receive());
  net_->Service(Now());
  EXPECT_TRUE(server_.Take().empty());
  ASSERT_TRUE(inbound_->Receive());
  net_->Service(Now());
  EXPECT_EQ(server_.Take(), std::vector<Bytes>{Ack8(1)});
}

TEST_F(Batching, DatagramsNobodyTakesHoldTransmitsBackOnlyForAWhile) {
  Fill(1);
  Send(*sender_, kPeer, server_.Port(), {7});
  // An idle wait sends first.
  net_->Wait(Now() + 10'000);
  EXPECT_EQ(server_.Take(), std::vector<Bytes>{{7}});
  // So does a long run of busy services.
  Send(*sender_, kPeer, server_.Port(), {8});
  int services = 0;
  while (server_.Take().empty() && services < 5000) {
    net_->Service(Now());
    ++services;
  }
  EXPECT_EQ(services, 1024);
  EXPECT_TRUE(inbound_->HasReceived());
}

TEST_F(Batching, AClosingPortSendsWhatItQueuedFirst) {
  Fill(1);
  Send(*sender_, kPeer, server_.Port(), {1});
  Send(*sender_, kPeer, server_.Port(), {2});
  sender_.reset();
  EXPECT_EQ(server_.Take(), (std::vector<Bytes>{{1}, {2}}));
}

TEST_F(Batching, ADatagramTheKernelRefusesIsLostAloneAndCounted) {
  Fill(1);
  Send(*sender_, kPeer, server_.Port(), {1});
  // The loopback network's broadcast address, from a port that may not
  // broadcast: refused by the kernel, sent nowhere.
  Send(*sender_, Ipv4(127, 255, 255, 255), server_.Port(), {9});
  Send(*sender_, kPeer, server_.Port(), {2});
  net_->Flush();
  EXPECT_EQ(server_.Take(), (std::vector<Bytes>{{1}, {2}}));
  EXPECT_EQ(net_->Stats().sendErrors, 1u);
  EXPECT_EQ(net_->Stats().sent, 2u);
}

struct SupersedeCase {
  const char *name;
  Bytes later, earlier;
  bool supersedes;
};

TEST(AckSupersedes, OnlyALaterAck8WithTheSameWindow) {
  Bytes truncated = Ack8(9);
  truncated.pop_back();
  Bytes ack = Ack8(9);
  Zem4WirePutBe16(ack.data(), 0, ZEM4_OP_ACK);
  const SupersedeCase cases[] = {
      {"later", Ack8(9), Ack8(8), true},
      {"far later", Ack8(0x80000000u), Ack8(2), true},
      {"equal: a repeat", Ack8(9), Ack8(9), false},
      {"earlier", Ack8(8), Ack8(9), false},
      {"another window", Ack8(9, 32), Ack8(8), false},
      {"later is short", truncated, Ack8(8), false},
      {"earlier is short", Ack8(10), truncated, false},
      {"plain ACK", ack, Ack8(8), false},
      {"over a plain ACK", Ack8(10), ack, false},
      {"empty", {}, Ack8(8), false},
  };
  for (const SupersedeCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cli::AckSupersedes(To(kSender, 1, c.later), To(kSender, 1, c.earlier)), c.supersedes);
  }
}

// Each block that arrived after a later one, once, from the transfer's
// unicast port and the group its OACK names only.
TEST(Gaps, EachLateBlockOnceFromItsOwnPortsOnly) {
  const Ipv4 group{239, 1, 2, 3};
  // In order with repeats; one lost; two lost; joined late.
  const std::pair<std::vector<uint32_t>, uint32_t> rows[] = {{{1, 2, 2, 3, 1, 0}, 0},
                                                             {{1, 3, 4, 5, 6, 7, 2}, 1},
                                                             {{1, 4, 5, 3, 3, 6, 2}, 2},
                                                             {{5, 6, 7, 1, 2, 3, 4, 8}, 4}};
  for (const auto &[blocks, gaps] : rows) {
    cli::GapTap tap;
    cli::GapCount count;
    tap.Deliver(kSender, To(kSender, 40000, // inside ReadFile
                            OackPacket({{"tsize", "9"}, {"MultiCast", "239.1.2.3,1758,0"}})));
    tap.Watch(kSender, 40000, &count);
    for (size_t i = 0; i < blocks.size(); ++i) { // by turns unicast and group; not another's
      tap.Deliver(kSender, i % 2 ? To(group, 1758, Data8Packet(0, blocks[i], 0, 0))
                                 : To(kSender, 40000, Data8Packet(0, blocks[i], 0, 0)));
      tap.Deliver(kInbound, To(group, 1758, Data8Packet(0, 1000 - blocks[i], 0, 0)));
    }
    EXPECT_EQ(count.Gaps(), gaps) << ::testing::PrintToString(blocks);
  }
}

} // namespace
} // namespace zem4::test
