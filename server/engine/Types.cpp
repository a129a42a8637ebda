#include "server/engine/Types.h"

#include <charconv>
#include <fmt/format.h>

namespace zem4::server {

std::string IpToString(uint32_t Ip) {
  return fmt::format("{}.{}.{}.{}", Ip >> 24, (Ip >> 16) & 0xFF, (Ip >> 8) & 0xFF, Ip & 0xFF);
}

std::string ToString(const Endpoint &E) {
  return fmt::format("{}:{}", IpToString(E.Ip), E.Port);
}

std::optional<uint32_t> ParseIp(std::string_view Text) {
  uint32_t Ip = 0;
  const char *P = Text.data();
  const char *End = Text.data() + Text.size();
  for (int I = 0; I < 4; ++I) {
    unsigned Part = 0;
    auto [Next, Ec] = std::from_chars(P, End, Part);
    if (Ec != std::errc{} || Part > 255 || Next == P || Next - P > 3) {
      return std::nullopt;
    }
    Ip = (Ip << 8) | Part;
    P = Next;
    if (I < 3) {
      if (P == End || *P != '.') {
        return std::nullopt;
      }
      ++P;
    }
  }
  if (P != End) {
    return std::nullopt;
  }
  return Ip;
}

std::optional<Cidr> ParseCidr(std::string_view Text) {
  auto Slash = Text.find('/');
  auto Ip = ParseIp(Text.substr(0, Slash));
  if (!Ip) {
    return std::nullopt;
  }
  unsigned Length = 32;
  if (Slash != std::string_view::npos) {
    auto Rest = Text.substr(Slash + 1);
    auto [Next, Ec] = std::from_chars(Rest.data(), Rest.data() + Rest.size(), Length);
    if (Ec != std::errc{} || Next != Rest.data() + Rest.size() || Rest.empty() || Length > 32) {
      return std::nullopt;
    }
  }
  Cidr C{*Ip, static_cast<uint8_t>(Length)};
  C.Network &= C.Mask();
  return C;
}

std::string EscapeText(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out.push_back('\\');
      Out.push_back(static_cast<char>(C));
    } else if (C >= 0x20 && C < 0x7F) {
      Out.push_back(static_cast<char>(C));
    } else {
      Out += fmt::format("\\x{:02x}", C);
    }
  }
  return Out;
}

std::string ToString(const Cidr &C) {
  return fmt::format("{}/{}", IpToString(C.Network), C.PrefixLength);
}

} // namespace zem4::server
