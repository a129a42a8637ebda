// What the command line calls a download's gaps: the blocks of the file that
// arrived after a later block of it had (lost or reordered on the way and
// sent again, or sent before this client joined its group), each counted
// once. The driver's own LostBlocks adds up something else (for every early
// block, the distance it jumped), so it is counted here, from the datagrams
// the client's ports take in: the unicast port of the transfer, and the
// group that the transfer's OACK names.
#pragma once

#include "host/Network.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace zem4::cli {

// "a.b.c.d,port,role" with a multicast group, a port other than 0 and role
// 0 or 1.
struct McastAnswer {
  net::Ipv4 group;
  uint16_t port = 0;
  bool master = false;
};
inline std::optional<McastAnswer> ParseMcastAnswer(const std::string &value) {
  unsigned field[ZEM4_MCAST_FIELDS] = {};
  const char *cursor = value.c_str();
  const char *end = cursor + value.size();
  for (uint32_t i = 0; i < ZEM4_MCAST_FIELDS; ++i) {
    auto [next, ec] = std::from_chars(cursor, end, field[i]);
    if (ec != std::errc() || next == cursor || *next != ZEM4_MCAST_SEPARATORS[i])
      return std::nullopt;
    cursor = next + 1;
  }
  if (cursor != end + 1 || field[0] < 224 || field[0] > 239 || field[4] < 1 || field[4] > 65535 ||
      field[5] > 1)
    return std::nullopt;
  for (int i = 1; i < 4; ++i)
    if (field[i] > 255)
      return std::nullopt;
  return McastAnswer{
      net::Ipv4(uint8_t(field[0]), uint8_t(field[1]), uint8_t(field[2]), uint8_t(field[3])),
      uint16_t(field[4]), field[5] == 1};
}

class GapCount {
public:
  void Arrived(uint32_t block) {
    if (block == 0)
      return;
    auto after = seen_.upper_bound(block);
    if (after != seen_.begin() && std::prev(after)->second >= block)
      return; // again
    if (block < highest_)
      ++gaps_;
    highest_ = std::max(highest_, block);
    // Kept as runs: a download's blocks mostly come in order.
    uint32_t first = block;
    if (after != seen_.begin() && std::prev(after)->second == block - 1) {
      first = std::prev(after)->first;
      seen_.erase(std::prev(after));
    }
    uint32_t last = block;
    if (after != seen_.end() && after->first == block + 1) {
      last = after->second;
      seen_.erase(after);
    }
    seen_[first] = last;
  }
  uint32_t Gaps() const { return gaps_; }

private:
  std::map<uint32_t, uint32_t> seen_; // first -> last of each run that arrived
  uint32_t highest_ = 0;
  uint32_t gaps_ = 0;
};

// Hands the datagrams of one network to the counts of the downloads on it.
class GapTap {
public:
  // Counts DATA8 for the transfer whose unicast port is station:port, and
  // those of the group its OACK names.
  void Watch(net::Ipv4 station, uint16_t port, GapCount *count) {
    routes_[{station, station, port}] = count;
  }
  void Forget(const GapCount *count) {
    std::erase_if(routes_, [count](const auto &route) { return route.second == count; });
  }
  void Deliver(net::Ipv4 portAddress, const host::Datagram &d) {
    const Key at{portAddress, d.dst, d.dstPort};
    uint16_t opcode = 0;
    uint32_t block = 0;
    if (!Zem4WireGetOpcode(d.payload.data(), d.payload.size(), &opcode))
      return;
    // Every OACK is noted, watched or not: it may come before its transfer
    // is watched, since the firmware runs inside ReadFile.
    if (opcode == ZEM4_OP_OACK) {
      if (auto group = GroupOf(d.payload))
        named_[at] = {portAddress, group->group, group->port};
    } else if (opcode == ZEM4_OP_DATA8 && Zem4WireGetBe32(d.payload.data(), d.payload.size(),
                                                          ZEM4_DATA8_BLOCK_OFFSET, &block)) {
      if (GapCount *count = CountFor(at))
        count->Arrived(block);
    }
  }

private:
  static std::optional<McastAnswer> GroupOf(const std::vector<uint8_t> &oack) {
    std::string text(oack.begin() + ZEM4_OACK_OPTIONS_OFFSET, oack.end());
    for (size_t at = 0; at < text.size();) {
      std::string name = text.c_str() + at;
      at += name.size() + 1;
      if (at >= text.size())
        break;
      std::string value = text.c_str() + at;
      at += value.size() + 1;
      for (char &c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
      if (name == ZEM4_OPT_MULTICAST)
        return ParseMcastAnswer(value);
    }
    return std::nullopt;
  }
  using Key = std::tuple<net::Ipv4, net::Ipv4, uint16_t>; // port's address, destination, port
  // The unicast port's own count, or that of a watched port whose OACK named
  // this group.
  GapCount *CountFor(const Key &at) const {
    if (auto route = routes_.find(at); route != routes_.end())
      return route->second;
    for (const auto &[unicast, group] : named_)
      if (auto route = routes_.find(unicast); group == at && route != routes_.end())
        return route->second;
    return nullptr;
  }
  std::map<Key, GapCount *> routes_;
  std::map<Key, Key> named_; // unicast port -> the group its last OACK named
};

} // namespace zem4::cli
