// IPv4 addresses, UDP endpoints and networks: the one set of address types
// the host firmware, the server and the tools share. Plain values, no I/O;
// the conversions to sockets and Asio are in net/Socket.h.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zem4::net {

// An IPv4 address, first dotted number first (the order of EFI_IPv4_ADDRESS
// and of the network).
struct Ipv4 {
  std::array<uint8_t, 4> b{};

  constexpr Ipv4() = default;
  constexpr Ipv4(uint8_t a, uint8_t b1, uint8_t c, uint8_t d) : b{a, b1, c, d} {}
  static constexpr Ipv4 FromBytes(const uint8_t *p) { return Ipv4(p[0], p[1], p[2], p[3]); }
  // Host-order value, 10.0.0.1 -> 0x0A000001.
  static constexpr Ipv4 FromUint(uint32_t v) {
    return Ipv4(uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v));
  }
  constexpr uint32_t ToUint() const {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  }
  // "a.b.c.d", each number 0..255 in decimal without a leading zero (an
  // "010" that one reader takes as 8 and another as 10 is refused), nothing
  // else around it; nullopt otherwise.
  static std::optional<Ipv4> Parse(std::string_view text);
  std::string ToString() const;

  constexpr bool IsZero() const { return ToUint() == 0; }
  constexpr bool IsBroadcast() const { return ToUint() == 0xFFFFFFFFu; }
  constexpr bool IsMulticast() const { return (b[0] & 0xF0) == 0xE0; }
  // Usable as a station or peer address: not 0, not class D/E, not broadcast.
  constexpr bool IsUnicast() const { return !IsZero() && b[0] < 224; }

  // Orders as the host-order value does.
  constexpr auto operator<=>(const Ipv4 &) const = default;
};

// An address and a UDP port.
struct Endpoint {
  Ipv4 address;
  uint16_t port = 0;

  // "a.b.c.d:port", the port 0..65535 in decimal without a leading zero.
  static std::optional<Endpoint> Parse(std::string_view text);
  // "a.b.c.d:port", the form every log line and label uses.
  std::string ToString() const;

  constexpr auto operator<=>(const Endpoint &) const = default;
};

// An IPv4 network written as a.b.c.d/len.
struct Cidr {
  Ipv4 network;
  uint8_t prefixLength = 0;

  // "a.b.c.d" (a /32) or "a.b.c.d/len" with len 0..32; the host bits are
  // cleared.
  static std::optional<Cidr> Parse(std::string_view text);
  std::string ToString() const;

  constexpr uint32_t Mask() const {
    return prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength);
  }
  constexpr bool Contains(Ipv4 address) const {
    return (address.ToUint() & Mask()) == (network.ToUint() & Mask());
  }
  constexpr uint64_t Size() const { return uint64_t{1} << (32 - prefixLength); }
  // The last address of the network.
  constexpr Ipv4 Last() const { return Ipv4::FromUint(network.ToUint() | ~Mask()); }

  constexpr bool operator==(const Cidr &) const = default;
};

} // namespace zem4::net
