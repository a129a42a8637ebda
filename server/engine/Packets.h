// The server's side of the wire: parsing what clients send and building what
// the server sends. Offsets, opcodes and texts come from include/zem4/Zem4Wire.h.
#pragma once

#include "server/engine/Types.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zem4::server {

using Bytes = std::vector<uint8_t>;

struct RequestOption {
  std::string Name;
  std::string Value;
};

struct Request {
  std::string FileName; // as the client asked
  std::string Served;   // the path opened below the root (set by the engine)
  std::vector<RequestOption> Options;
  // Options the server knows, by first occurrence (names compare without case).
  bool Multicast = false;
  bool Tsize = false;
  bool Sha256 = false;
};

// A read request: opcode 1, file name NUL, then name NUL value NUL pairs that
// end exactly at the end of the datagram. nullopt for anything else.
std::optional<Request> ParseRequest(std::span<const uint8_t> Datagram);

struct Ack8 {
  uint32_t NextSequence = 0;
  uint32_t Window = 0;
};
// Exactly the 10-byte ACK8, or nullopt.
std::optional<Ack8> ParseAck8(std::span<const uint8_t> Datagram);

struct BlockRange {
  uint32_t First = 0;
  uint32_t Last = 0;
  friend bool operator==(const BlockRange &, const BlockRange &) = default;
};

struct Rpl {
  uint32_t Sequence = 0;
  std::vector<BlockRange> Ranges; // as sent, bounds already in host order
};
// 10 + 8k bytes with k <= 129, or nullopt.
std::optional<Rpl> ParseRpl(std::span<const uint8_t> Datagram);

// Case-insensitive ASCII equality, as option names are compared.
bool OptionNameEquals(std::string_view A, std::string_view B);

// "a.b.c.d,port,flag", the value of the "multicast" option in an OACK.
std::string FormatMulticastValue(const Endpoint &Group, bool Active);

// ERROR 9 text when zem4d stops: the client reports "not ready" and may ask
// again once the server is back.
inline constexpr char ShuttingDownMessage[] = "server shutting down";

Bytes BuildOack(const std::vector<std::pair<std::string, std::string>> &Options);
Bytes BuildError(uint16_t Code, std::string_view Message);
Bytes BuildFin(uint32_t Value);
Bytes BuildRplAck(uint32_t NextSequence);
// Writes the 10-byte DATA8 header into Out (which must hold at least 10 bytes).
void PutData8Header(std::span<uint8_t> Out, uint32_t Sequence, uint32_t Block);
// For tests and clients of our own: the packets a client sends.
Bytes BuildRequest(std::string_view FileName,
                   const std::vector<std::pair<std::string, std::string>> &Options);
Bytes BuildAck8(uint32_t NextSequence, uint32_t Window = 64);
Bytes BuildRpl(uint32_t Sequence, std::span<const BlockRange> Ranges);

} // namespace zem4::server
