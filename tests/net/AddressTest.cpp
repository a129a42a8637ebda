// net's address types: what each parser takes and refuses, the text each
// formatter writes, and the conversions to sockets and Asio.
#include "net/Address.h"
#include "net/Socket.h"

#include <gtest/gtest.h>

namespace zem4::net {
namespace {

struct Ipv4Case {
  const char *text;
  std::optional<uint32_t> value; // nullopt: refused
};

const Ipv4Case kIpv4Cases[] = {
    {"0.0.0.0", 0},
    {"10.0.0.1", 0x0A000001},
    {"127.0.0.1", 0x7F000001},
    {"239.255.0.7", 0xEFFF0007},
    {"255.255.255.255", 0xFFFFFFFF},
    {"192.168.100.200", 0xC0A864C8},
    {"", std::nullopt},
    {"1.2.3", std::nullopt},
    {"1.2.3.4.5", std::nullopt},
    {"1.2.3.4.", std::nullopt},
    {".1.2.3.4", std::nullopt},
    {"1..2.3", std::nullopt},
    {"256.0.0.1", std::nullopt},
    {"1.2.3.256", std::nullopt},
    {"1.2.3.999", std::nullopt},
    {"01.2.3.4", std::nullopt},
    {"1.2.3.04", std::nullopt},
    {"1.2.3.00", std::nullopt},
    {"1.2.3.0004", std::nullopt},
    {" 1.2.3.4", std::nullopt},
    {"1.2.3.4 ", std::nullopt},
    {"1. 2.3.4", std::nullopt},
    {"1.2.3.-4", std::nullopt},
    {"+1.2.3.4", std::nullopt},
    {"1.2.3.4:80", std::nullopt},
    {"1.2.3.4/8", std::nullopt},
    {"a.b.c.d", std::nullopt},
    {"0x7f.0.0.1", std::nullopt},
    {"4294967297.0.0.1", std::nullopt},
};

TEST(Ipv4Test, ParsesOnlyPlainDottedDecimal) {
  for (const auto &c : kIpv4Cases) {
    auto parsed = Ipv4::Parse(c.text);
    ASSERT_EQ(parsed.has_value(), c.value.has_value()) << '"' << c.text << '"';
    if (parsed) {
      EXPECT_EQ(parsed->ToUint(), *c.value) << c.text;
      EXPECT_EQ(parsed->ToString(), c.text) << "formats back as written";
      EXPECT_EQ(Ipv4::FromUint(*c.value), *parsed) << c.text;
    }
  }
}

TEST(Ipv4Test, BytesAreInNetworkOrderAndOrderAsTheValue) {
  constexpr Ipv4 a(10, 1, 2, 3);
  EXPECT_EQ(a.b, (std::array<uint8_t, 4>{10, 1, 2, 3}));
  EXPECT_EQ(a.ToUint(), 0x0A010203u);
  const uint8_t raw[4] = {192, 168, 0, 9};
  EXPECT_EQ(Ipv4::FromBytes(raw), Ipv4(192, 168, 0, 9));
  EXPECT_LT(Ipv4(9, 255, 255, 255), Ipv4(10, 0, 0, 0));
  EXPECT_LT(Ipv4(10, 0, 0, 255), Ipv4(10, 0, 1, 0));
}

struct ClassCase {
  Ipv4 address;
  bool zero, broadcast, multicast, unicast;
};

TEST(Ipv4Test, Classifies) {
  const ClassCase cases[] = {
      {Ipv4(), true, false, false, false},
      {Ipv4(10, 0, 0, 1), false, false, false, true},
      {Ipv4(223, 255, 255, 255), false, false, false, true},
      {Ipv4(224, 0, 0, 1), false, false, true, false},
      {Ipv4(239, 255, 255, 255), false, false, true, false},
      {Ipv4(240, 0, 0, 1), false, false, false, false},
      {Ipv4(255, 255, 255, 255), false, true, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.address.ToString());
    EXPECT_EQ(c.address.IsZero(), c.zero);
    EXPECT_EQ(c.address.IsBroadcast(), c.broadcast);
    EXPECT_EQ(c.address.IsMulticast(), c.multicast);
    EXPECT_EQ(c.address.IsUnicast(), c.unicast);
  }
}

struct EndpointCase {
  const char *text;
  std::optional<Endpoint> value;
};

TEST(EndpointTest, ParsesAddressColonPort) {
  const EndpointCase cases[] = {
      {"127.0.0.1:69", Endpoint{Ipv4(127, 0, 0, 1), 69}},
      {"10.0.0.1:0", Endpoint{Ipv4(10, 0, 0, 1), 0}},
      {"239.255.0.1:65535", Endpoint{Ipv4(239, 255, 0, 1), 65535}},
      {"1.2.3.4:65536", std::nullopt},
      {"1.2.3.4:099999", std::nullopt},
      {"1.2.3.4:069", std::nullopt},
      {"1.2.3.4:", std::nullopt},
      {"1.2.3.4", std::nullopt},
      {":69", std::nullopt},
      {"1.2.3.4:69 ", std::nullopt},
      {"1.2.3.4: 69", std::nullopt},
      {"1.2.3.4:-1", std::nullopt},
      {"1.2.3.4::69", std::nullopt},
      {"01.2.3.4:69", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Endpoint::Parse(c.text), c.value) << '"' << c.text << '"';
    if (c.value) {
      EXPECT_EQ(c.value->ToString(), c.text);
    }
  }
}

TEST(EndpointTest, OrdersByAddressThenPort) {
  const Endpoint low{Ipv4(10, 0, 0, 1), 9000};
  const Endpoint samePortHigher{Ipv4(10, 0, 0, 2), 1};
  const Endpoint sameAddressHigher{Ipv4(10, 0, 0, 1), 9001};
  EXPECT_LT(low, samePortHigher);
  EXPECT_LT(low, sameAddressHigher);
  EXPECT_LT(sameAddressHigher, samePortHigher);
  EXPECT_NE(low, sameAddressHigher);
  EXPECT_EQ(low, (Endpoint{Ipv4(10, 0, 0, 1), 9000}));
  EXPECT_EQ(Endpoint{}.ToString(), "0.0.0.0:0");
}

struct CidrCase {
  const char *text;
  const char *formatted; // null: refused
  uint64_t size;
};

TEST(CidrTest, ParsesClearsHostBitsAndFormats) {
  const CidrCase cases[] = {
      {"10.1.2.3/8", "10.0.0.0/8", 1u << 24},
      {"1.2.3.4", "1.2.3.4/32", 1},
      {"0.0.0.0/0", "0.0.0.0/0", uint64_t{1} << 32},
      {"239.255.7.7/16", "239.255.0.0/16", 65536},
      {"1.2.3.4/33", nullptr, 0},
      {"1.2.3.4/", nullptr, 0},
      {"1.2.3.4/08", nullptr, 0},
      {"1.2.3.4/ 8", nullptr, 0},
      {"1.2.3.4/8/8", nullptr, 0},
      {"1.2.3/8", nullptr, 0},
      {"1.2.3.4 /8", nullptr, 0},
  };
  for (const auto &c : cases) {
    auto parsed = Cidr::Parse(c.text);
    ASSERT_EQ(parsed.has_value(), c.formatted != nullptr) << c.text;
    if (parsed) {
      EXPECT_EQ(parsed->ToString(), c.formatted);
      EXPECT_EQ(parsed->Size(), c.size) << c.text;
    }
  }
}

TEST(CidrTest, ContainsExactlyItsRange) {
  const auto net = *Cidr::Parse("239.255.0.0/16");
  EXPECT_TRUE(net.Contains(Ipv4(239, 255, 0, 0)));
  EXPECT_TRUE(net.Contains(Ipv4(239, 255, 255, 255)));
  EXPECT_FALSE(net.Contains(Ipv4(239, 254, 255, 255)));
  EXPECT_FALSE(net.Contains(Ipv4(239, 0, 0, 0)));
  EXPECT_EQ(net.Last(), Ipv4(239, 255, 255, 255));
  EXPECT_TRUE(Cidr::Parse("0.0.0.0/0")->Contains(Ipv4(8, 8, 8, 8)));
  EXPECT_FALSE(Cidr::Parse("127.0.0.0/30")->Contains(Ipv4(127, 0, 0, 4)));
}

const Endpoint kEndpoints[] = {
    {Ipv4(127, 0, 0, 1), 69},
    {Ipv4(10, 200, 3, 4), 0},
    {Ipv4(239, 255, 0, 1), 65535},
    {Ipv4(255, 255, 255, 255), 1},
    {Ipv4(), 0},
    {Ipv4(1, 2, 3, 4), 0x1234},
};

TEST(SocketTest, SockaddrIsInNetworkOrderAndRoundTrips) {
  for (const auto &e : kEndpoints) {
    SCOPED_TRACE(e.ToString());
    sockaddr_in sa = ToSockaddr(e);
    EXPECT_EQ(sa.sin_family, AF_INET);
    EXPECT_EQ(ntohl(sa.sin_addr.s_addr), e.address.ToUint());
    EXPECT_EQ(ntohs(sa.sin_port), e.port);
    EXPECT_EQ(FromSockaddr(sa), e);
    EXPECT_EQ(FromInAddr(ToInAddr(e.address)), e.address);
  }
}

TEST(SocketTest, AsioRoundTrips) {
  for (const auto &e : kEndpoints) {
    SCOPED_TRACE(e.ToString());
    auto address = ToAsio(e.address);
    EXPECT_EQ(address.to_uint(), e.address.ToUint());
    EXPECT_EQ(address.to_string(), e.address.ToString());
    EXPECT_EQ(FromAsio(address), e.address);
    auto udp = ToAsio(e);
    EXPECT_EQ(udp.port(), e.port);
    EXPECT_EQ(FromAsio(udp), e);
  }
}

TEST(SocketTest, AnIpv6EndpointIsRefused) {
  asio::ip::udp::endpoint v6(asio::ip::make_address_v6("::1"), 69);
  EXPECT_THROW(FromAsio(v6), asio::ip::bad_address_cast);
}

} // namespace
} // namespace zem4::net
