// The one place net's addresses meet the socket layer: sockaddr_in and
// Asio's addresses and UDP endpoints. Only code that opens sockets includes
// it, so the server's engine and the value types stay free of both.
#pragma once

#include "net/Address.h"

#include <asio/ip/address_v4.hpp>
#include <asio/ip/udp.hpp>
#include <cstring>
#include <netinet/in.h>

namespace zem4::net {

// in_addr holds the address in network order, which is Ipv4's byte order.
inline in_addr ToInAddr(Ipv4 address) {
  in_addr in{};
  std::memcpy(&in.s_addr, address.b.data(), sizeof in.s_addr);
  return in;
}

inline Ipv4 FromInAddr(in_addr in) {
  Ipv4 address;
  std::memcpy(address.b.data(), &in.s_addr, sizeof in.s_addr);
  return address;
}

inline sockaddr_in ToSockaddr(Endpoint endpoint) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(endpoint.port);
  sa.sin_addr = ToInAddr(endpoint.address);
  return sa;
}

inline Endpoint FromSockaddr(const sockaddr_in &sa) {
  return Endpoint{FromInAddr(sa.sin_addr), ntohs(sa.sin_port)};
}

inline asio::ip::address_v4 ToAsio(Ipv4 address) {
  return asio::ip::address_v4(asio::ip::address_v4::bytes_type{address.b});
}

inline Ipv4 FromAsio(const asio::ip::address_v4 &address) {
  auto bytes = address.to_bytes();
  return Ipv4(bytes[0], bytes[1], bytes[2], bytes[3]);
}

inline asio::ip::udp::endpoint ToAsio(Endpoint endpoint) {
  return asio::ip::udp::endpoint(ToAsio(endpoint.address), endpoint.port);
}

// The sockets that hand these over are IPv4 ones; an IPv6 endpoint is a
// programming error and throws (asio::ip::bad_address_cast).
inline Endpoint FromAsio(const asio::ip::udp::endpoint &endpoint) {
  return Endpoint{FromAsio(endpoint.address().to_v4()), endpoint.port()};
}

// The index of the interface that has `address`; a loopback interface
// answers for its whole network (127/8), as the kernel does. 0: none.
unsigned InterfaceWithAddress(Ipv4 address);

} // namespace zem4::net
