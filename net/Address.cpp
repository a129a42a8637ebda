#include "net/Address.h"

namespace zem4::net {
namespace {

// A decimal number of at most `maxDigits` digits and no leading zero, taken
// off the front of `text`; nullopt (and `text` as it was) if there is none.
std::optional<uint32_t> TakeNumber(std::string_view &text, size_t maxDigits) {
  size_t n = 0;
  uint32_t value = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
    if (n == maxDigits)
      return std::nullopt;
    value = value * 10 + uint32_t(text[n] - '0');
    ++n;
  }
  if (n == 0 || (n > 1 && text[0] == '0'))
    return std::nullopt;
  text.remove_prefix(n);
  return value;
}

// The address at the front of `text`, taken off it.
std::optional<Ipv4> TakeIpv4(std::string_view &text) {
  Ipv4 out;
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.')
        return std::nullopt;
      text.remove_prefix(1);
    }
    auto value = TakeNumber(text, 3);
    if (!value || *value > 255)
      return std::nullopt;
    out.b[i] = uint8_t(*value);
  }
  return out;
}

} // namespace

std::optional<Ipv4> Ipv4::Parse(std::string_view text) {
  auto address = TakeIpv4(text);
  if (!address || !text.empty())
    return std::nullopt;
  return address;
}

std::string Ipv4::ToString() const {
  return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
         std::to_string(b[3]);
}

std::optional<Endpoint> Endpoint::Parse(std::string_view text) {
  auto address = TakeIpv4(text);
  if (!address || text.empty() || text.front() != ':')
    return std::nullopt;
  text.remove_prefix(1);
  auto port = TakeNumber(text, 5);
  if (!port || *port > 0xFFFF || !text.empty())
    return std::nullopt;
  return Endpoint{*address, uint16_t(*port)};
}

std::string Endpoint::ToString() const {
  return address.ToString() + ':' + std::to_string(port);
}

std::optional<Cidr> Cidr::Parse(std::string_view text) {
  auto address = TakeIpv4(text);
  if (!address)
    return std::nullopt;
  uint32_t length = 32;
  if (!text.empty()) {
    if (text.front() != '/')
      return std::nullopt;
    text.remove_prefix(1);
    auto taken = TakeNumber(text, 2);
    if (!taken || *taken > 32 || !text.empty())
      return std::nullopt;
    length = *taken;
  }
  Cidr out{*address, uint8_t(length)};
  out.network = Ipv4::FromUint(address->ToUint() & out.Mask());
  return out;
}

std::string Cidr::ToString() const {
  return network.ToString() + '/' + std::to_string(prefixLength);
}

} // namespace zem4::net
