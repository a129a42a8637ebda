// Plain value types shared by the server engine, its I/O shells and tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zem4::server {

// The engine has no clock: callers hand it the time, in whatever epoch they
// like, as long as it never goes backwards.
using Duration = std::chrono::nanoseconds;
using Time = std::chrono::nanoseconds;

// IPv4 address in host byte order plus a UDP port.
struct Endpoint {
  uint32_t Ip = 0;
  uint16_t Port = 0;
  friend bool operator==(const Endpoint &, const Endpoint &) = default;
  friend auto operator<=>(const Endpoint &, const Endpoint &) = default;
};

constexpr uint32_t MakeIp(uint8_t A, uint8_t B, uint8_t C, uint8_t D) {
  return (uint32_t{A} << 24) | (uint32_t{B} << 16) | (uint32_t{C} << 8) | uint32_t{D};
}

inline bool IsMulticast(uint32_t Ip) {
  return (Ip >> 28) == 0xE;
}

std::string IpToString(uint32_t Ip);
std::string ToString(const Endpoint &E);
std::optional<uint32_t> ParseIp(std::string_view Text);

// An IPv4 network written as a.b.c.d/len.
struct Cidr {
  uint32_t Network = 0;
  uint8_t PrefixLength = 0;
  uint32_t Mask() const { return PrefixLength == 0 ? 0 : ~uint32_t{0} << (32 - PrefixLength); }
  bool Contains(uint32_t Ip) const { return (Ip & Mask()) == (Network & Mask()); }
  uint64_t Size() const { return uint64_t{1} << (32 - PrefixLength); }
};

std::optional<Cidr> ParseCidr(std::string_view Text);

// Text a peer sent, made safe for one log line: printable ASCII stays,
// quotes and backslashes are escaped, everything else becomes \xNN.
std::string EscapeText(std::string_view Text);
std::string ToString(const Cidr &C);

} // namespace zem4::server
