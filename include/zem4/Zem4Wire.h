// Packet layouts of the ZEM4 protocol, shared by the driver and the server.
//
// Freestanding on purpose: only <stdint.h> and <stddef.h>, no UEFI types, no
// .cpp. Every offset, length and wire string has exactly one name here; the
// driver's builders and the server's parser both use these names.
//
// Byte order: every integer on the wire is big-endian, except the two bounds
// of each RPL range, which are little-endian.
#ifndef ZEM4_WIRE_H_
#define ZEM4_WIRE_H_

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// Opcodes (first two bytes of every datagram, big-endian).
// ---------------------------------------------------------------------------
inline constexpr uint16_t ZEM4_OP_RRQ = 1;
inline constexpr uint16_t ZEM4_OP_DATA = 3; // plain TFTP data: never sent, dropped on receipt
inline constexpr uint16_t ZEM4_OP_ACK = 4;  // plain TFTP ack: never sent, dropped on receipt
inline constexpr uint16_t ZEM4_OP_ERROR = 5;
inline constexpr uint16_t ZEM4_OP_OACK = 6;
inline constexpr uint16_t ZEM4_OP_DIR = 7; // directory request; no transfer exists for it
inline constexpr uint16_t ZEM4_OP_DATA8 = 8;
inline constexpr uint16_t ZEM4_OP_ACK8 = 9;
inline constexpr uint16_t ZEM4_OP_RPL = 10;
inline constexpr uint16_t ZEM4_OP_RPLACK = 11;
inline constexpr uint16_t ZEM4_OP_FIN = 14;

inline constexpr size_t ZEM4_OPCODE_OFFSET = 0;
inline constexpr size_t ZEM4_OPCODE_SIZE = 2;

// ---------------------------------------------------------------------------
// Fixed protocol values.
// ---------------------------------------------------------------------------
inline constexpr uint16_t ZEM4_DEFAULT_SERVER_PORT = 5568;
inline constexpr uint16_t ZEM4_DEFAULT_TIMEOUT = 3; // seconds
inline constexpr uint32_t ZEM4_BLOCK_SIZE = 1032;   // file bytes in a full DATA8
inline constexpr uint32_t ZEM4_BLOCK_NUMBER_SIZE = 4;
inline constexpr uint32_t ZEM4_WINDOW_BLOCKS = 128;
inline constexpr uint32_t ZEM4_HALF_WINDOW_BLOCKS = 64;
inline constexpr uint32_t ZEM4_WINDOW_BYTES = ZEM4_WINDOW_BLOCKS * ZEM4_BLOCK_SIZE;
inline constexpr uint64_t ZEM4_DEFAULT_TSIZE = 0xFFFFFFFFull; // 2^32 - 1, not all ones
inline constexpr uint32_t ZEM4_LAST_BLOCK_NUMBER = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// RRQ: opcode, file name NUL, then name NUL value NUL pairs. No mode string.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_RRQ_FILENAME_OFFSET = 2;

// ---------------------------------------------------------------------------
// ERROR: opcode, code, message NUL.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_ERROR_CODE_OFFSET = 2;
inline constexpr size_t ZEM4_ERROR_MESSAGE_OFFSET = 4;
inline constexpr size_t ZEM4_ERROR_MIN_LENGTH = 5; // shorter ERRORs are dropped

constexpr size_t Zem4ErrorLength(size_t MessageLength) {
  return ZEM4_ERROR_MESSAGE_OFFSET + MessageLength + 1;
}

// Error codes.
inline constexpr uint16_t ZEM4_ERR_NOT_DEFINED = 0;
inline constexpr uint16_t ZEM4_ERR_FILE_NOT_FOUND = 1;
inline constexpr uint16_t ZEM4_ERR_ACCESS_VIOLATION = 2;
inline constexpr uint16_t ZEM4_ERR_DISK_FULL = 3;
inline constexpr uint16_t ZEM4_ERR_ILLEGAL_OPERATION = 4;
inline constexpr uint16_t ZEM4_ERR_UNKNOWN_TID = 5;
inline constexpr uint16_t ZEM4_ERR_FILE_EXISTS = 6;
inline constexpr uint16_t ZEM4_ERR_NO_SUCH_USER = 7;
inline constexpr uint16_t ZEM4_ERR_OPTION_REFUSED = 8;
inline constexpr uint16_t ZEM4_ERR_NOT_READY = 9; // the client reports EFI_NOT_READY

// The messages the driver sends, byte for byte (odd spellings are on the wire).
inline constexpr char ZEM4_MSG_TOO_MANY_TIMEOUTS[] = "Too many timeouts";
inline constexpr char ZEM4_MSG_USER_CACELED[] = "User caceled download";
inline constexpr char ZEM4_MSG_DISK_FULL[] = "Disk full";
inline constexpr char ZEM4_MSG_USER_CANCELLED[] = "User cancelled download";
inline constexpr char ZEM4_MSG_MALFORMED_OACK[] = "Mal-formed OACK packet";
inline constexpr char ZEM4_MSG_NO_MCAST_PORT[] =
    "failed to create multicast port, you pick the wrong guy";

// The messages the server sends with its errors.
inline constexpr char ZEM4_MSG_FILE_NOT_FOUND[] = "File not found";
inline constexpr char ZEM4_MSG_ACCESS_VIOLATION[] = "Access violation";
inline constexpr char ZEM4_MSG_ILLEGAL_OPERATION[] = "Illegal operation";
inline constexpr char ZEM4_MSG_NOT_READY[] = "Server busy, try again later";
inline constexpr char ZEM4_MSG_FILE_CHANGED[] = "File changed during transfer";
inline constexpr char ZEM4_MSG_FILE_TOO_LARGE[] = "File too large";

// ---------------------------------------------------------------------------
// OACK: opcode, then name NUL value NUL pairs up to the end of the datagram.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_OACK_OPTIONS_OFFSET = 2;
inline constexpr size_t ZEM4_OACK_MIN_LENGTH = 2;

// Option names and the separator of a "multicast" value a.b.c.d,port,flag.
inline constexpr char ZEM4_OPT_MULTICAST[] = "multicast";
inline constexpr char ZEM4_OPT_TSIZE[] = "tsize";
inline constexpr char ZEM4_OPT_RESTART[] = "restart";
inline constexpr char ZEM4_OPT_SESSION[] = "session";
// Integrity option: the server answers it with the file's SHA-256 in hex.
inline constexpr char ZEM4_OPT_SHA256[] = "sha256";
inline constexpr char ZEM4_MCAST_SEPARATORS[] = "...,,";
inline constexpr uint32_t ZEM4_MCAST_FIELDS = 6;
// Most option pairs one request or OACK may carry.
inline constexpr uint32_t ZEM4_MAX_OPTION_PAIRS = 255;

// ---------------------------------------------------------------------------
// DATA8: opcode, Sequence, Block, 0..1032 data bytes.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_DATA8_SEQUENCE_OFFSET = 2;
inline constexpr size_t ZEM4_DATA8_BLOCK_OFFSET = 6;
inline constexpr size_t ZEM4_DATA8_DATA_OFFSET = 10;
inline constexpr size_t ZEM4_DATA8_HEADER_SIZE = 2 + 2 * ZEM4_BLOCK_NUMBER_SIZE;
inline constexpr size_t ZEM4_DATA8_MIN_LENGTH = ZEM4_DATA8_HEADER_SIZE;
inline constexpr size_t ZEM4_DATA8_MAX_LENGTH = ZEM4_DATA8_HEADER_SIZE + ZEM4_BLOCK_SIZE;

// ---------------------------------------------------------------------------
// ACK8: opcode, next Sequence expected, window (always 64).
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_ACK8_SEQUENCE_OFFSET = 2;
inline constexpr size_t ZEM4_ACK8_WINDOW_OFFSET = 6;
inline constexpr size_t ZEM4_ACK8_LENGTH = 6 + ZEM4_BLOCK_NUMBER_SIZE;
inline constexpr uint32_t ZEM4_ACK8_WINDOW = ZEM4_HALF_WINDOW_BLOCKS;

// ---------------------------------------------------------------------------
// RPL: opcode, RplSequence, zero, k ranges {First, Last} (little-endian).
// A full RPL (129 ranges) tells the server that more follow.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_RPL_SEQUENCE_OFFSET = 2;
inline constexpr size_t ZEM4_RPL_ZERO_OFFSET = 6;
inline constexpr size_t ZEM4_RPL_RANGES_OFFSET = 10;
inline constexpr size_t ZEM4_RPL_RANGE_SIZE = 8;
inline constexpr size_t ZEM4_RPL_RANGE_FIRST_OFFSET = 0; // within a range
inline constexpr size_t ZEM4_RPL_RANGE_LAST_OFFSET = 4;  // within a range
inline constexpr uint32_t ZEM4_RPL_MAX_RANGES = 129;

constexpr size_t Zem4RplLength(size_t Ranges) {
  return ZEM4_RPL_RANGES_OFFSET + ZEM4_RPL_RANGE_SIZE * Ranges;
}
inline constexpr size_t ZEM4_RPL_MAX_LENGTH = Zem4RplLength(ZEM4_RPL_MAX_RANGES);

// Offset of range k's first bound within an RPL.
constexpr size_t Zem4RplRangeOffset(size_t Index) {
  return ZEM4_RPL_RANGES_OFFSET + ZEM4_RPL_RANGE_SIZE * Index;
}

// ---------------------------------------------------------------------------
// RPLACK: opcode, RplSequence the server expects next; more bytes ignored.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_RPLACK_SEQUENCE_OFFSET = 2;
inline constexpr size_t ZEM4_RPLACK_MIN_LENGTH = 6;

// ---------------------------------------------------------------------------
// FIN: opcode, 32-bit value; exactly 6 bytes or dropped.
// ---------------------------------------------------------------------------
inline constexpr size_t ZEM4_FIN_VALUE_OFFSET = 2;
inline constexpr size_t ZEM4_FIN_LENGTH = 6;
inline constexpr uint32_t ZEM4_FIN_PASSIVE_HOLD = 0xFFFFFFFFu; // a passive client keeps its window

// ---------------------------------------------------------------------------
// Layout checks.
// ---------------------------------------------------------------------------
static_assert(ZEM4_DATA8_HEADER_SIZE == 10 && ZEM4_DATA8_DATA_OFFSET == ZEM4_DATA8_HEADER_SIZE);
static_assert(ZEM4_DATA8_MAX_LENGTH == 1042);
static_assert(ZEM4_DATA8_BLOCK_OFFSET == ZEM4_DATA8_SEQUENCE_OFFSET + ZEM4_BLOCK_NUMBER_SIZE);
static_assert(ZEM4_ACK8_LENGTH == 10 && ZEM4_ACK8_WINDOW_OFFSET + 4 == ZEM4_ACK8_LENGTH);
static_assert(ZEM4_RPL_MAX_LENGTH == 1042);
static_assert(ZEM4_RPL_RANGES_OFFSET == ZEM4_RPL_ZERO_OFFSET + 4);
static_assert(ZEM4_RPLACK_MIN_LENGTH == ZEM4_RPLACK_SEQUENCE_OFFSET + 4);
static_assert(ZEM4_FIN_LENGTH == ZEM4_FIN_VALUE_OFFSET + 4);
static_assert(ZEM4_ERROR_MIN_LENGTH == Zem4ErrorLength(0));
static_assert(Zem4ErrorLength(sizeof(ZEM4_MSG_TOO_MANY_TIMEOUTS) - 1) == 22);
static_assert(ZEM4_WINDOW_BYTES == 132096);
static_assert(sizeof(ZEM4_MCAST_SEPARATORS) == ZEM4_MCAST_FIELDS);

// ---------------------------------------------------------------------------
// Field access. Readers check the length before touching a byte and return
// false when the field does not lie wholly inside the datagram.
// ---------------------------------------------------------------------------
constexpr bool Zem4WireFits(size_t Length, size_t Offset, size_t Size) {
  return Offset <= Length && Size <= Length - Offset;
}

inline bool Zem4WireGetBe16(const void *Packet, size_t Length, size_t Offset, uint16_t *Value) {
  if (Packet == nullptr || Value == nullptr || !Zem4WireFits(Length, Offset, 2)) {
    return false;
  }
  const uint8_t *P = static_cast<const uint8_t *>(Packet) + Offset;
  *Value = static_cast<uint16_t>((static_cast<uint16_t>(P[0]) << 8) | P[1]);
  return true;
}

inline bool Zem4WireGetBe32(const void *Packet, size_t Length, size_t Offset, uint32_t *Value) {
  if (Packet == nullptr || Value == nullptr || !Zem4WireFits(Length, Offset, 4)) {
    return false;
  }
  const uint8_t *P = static_cast<const uint8_t *>(Packet) + Offset;
  *Value = (static_cast<uint32_t>(P[0]) << 24) | (static_cast<uint32_t>(P[1]) << 16) |
           (static_cast<uint32_t>(P[2]) << 8) | static_cast<uint32_t>(P[3]);
  return true;
}

inline bool Zem4WireGetLe32(const void *Packet, size_t Length, size_t Offset, uint32_t *Value) {
  if (Packet == nullptr || Value == nullptr || !Zem4WireFits(Length, Offset, 4)) {
    return false;
  }
  const uint8_t *P = static_cast<const uint8_t *>(Packet) + Offset;
  *Value = (static_cast<uint32_t>(P[3]) << 24) | (static_cast<uint32_t>(P[2]) << 16) |
           (static_cast<uint32_t>(P[1]) << 8) | static_cast<uint32_t>(P[0]);
  return true;
}

inline bool Zem4WireGetOpcode(const void *Packet, size_t Length, uint16_t *Opcode) {
  return Zem4WireGetBe16(Packet, Length, ZEM4_OPCODE_OFFSET, Opcode);
}

// Writers: the caller sized the buffer from the lengths above; the checked
// forms return false instead of writing past Capacity.
inline void Zem4WirePutBe16(void *Buffer, size_t Offset, uint16_t Value) {
  uint8_t *P = static_cast<uint8_t *>(Buffer) + Offset;
  P[0] = static_cast<uint8_t>(Value >> 8);
  P[1] = static_cast<uint8_t>(Value);
}

inline void Zem4WirePutBe32(void *Buffer, size_t Offset, uint32_t Value) {
  uint8_t *P = static_cast<uint8_t *>(Buffer) + Offset;
  P[0] = static_cast<uint8_t>(Value >> 24);
  P[1] = static_cast<uint8_t>(Value >> 16);
  P[2] = static_cast<uint8_t>(Value >> 8);
  P[3] = static_cast<uint8_t>(Value);
}

inline void Zem4WirePutLe32(void *Buffer, size_t Offset, uint32_t Value) {
  uint8_t *P = static_cast<uint8_t *>(Buffer) + Offset;
  P[0] = static_cast<uint8_t>(Value);
  P[1] = static_cast<uint8_t>(Value >> 8);
  P[2] = static_cast<uint8_t>(Value >> 16);
  P[3] = static_cast<uint8_t>(Value >> 24);
}

inline bool Zem4WireSetBe16(void *Buffer, size_t Capacity, size_t Offset, uint16_t Value) {
  if (Buffer == nullptr || !Zem4WireFits(Capacity, Offset, 2)) {
    return false;
  }
  Zem4WirePutBe16(Buffer, Offset, Value);
  return true;
}

inline bool Zem4WireSetBe32(void *Buffer, size_t Capacity, size_t Offset, uint32_t Value) {
  if (Buffer == nullptr || !Zem4WireFits(Capacity, Offset, 4)) {
    return false;
  }
  Zem4WirePutBe32(Buffer, Offset, Value);
  return true;
}

inline bool Zem4WireSetLe32(void *Buffer, size_t Capacity, size_t Offset, uint32_t Value) {
  if (Buffer == nullptr || !Zem4WireFits(Capacity, Offset, 4)) {
    return false;
  }
  Zem4WirePutLe32(Buffer, Offset, Value);
  return true;
}

// ---------------------------------------------------------------------------
// Length rules of the client's receive dispatch, per opcode.
// ---------------------------------------------------------------------------
constexpr bool Zem4WireErrorLengthOk(size_t Length) {
  return Length >= ZEM4_ERROR_MIN_LENGTH;
}
constexpr bool Zem4WireOackLengthOk(size_t Length) {
  return Length >= ZEM4_OACK_MIN_LENGTH;
}
constexpr bool Zem4WireData8LengthOk(size_t Length) {
  return Length >= ZEM4_DATA8_MIN_LENGTH && Length <= ZEM4_DATA8_MAX_LENGTH;
}
constexpr bool Zem4WireRplAckLengthOk(size_t Length) {
  return Length >= ZEM4_RPLACK_MIN_LENGTH;
}
constexpr bool Zem4WireFinLengthOk(size_t Length) {
  return Length == ZEM4_FIN_LENGTH;
}

// Number of ranges an RPL of this length carries, or -1 when the length is
// not 10 + 8k.
constexpr long Zem4WireRplRangeCount(size_t Length) {
  if (Length < ZEM4_RPL_RANGES_OFFSET || (Length - ZEM4_RPL_RANGES_OFFSET) % ZEM4_RPL_RANGE_SIZE) {
    return -1;
  }
  return static_cast<long>((Length - ZEM4_RPL_RANGES_OFFSET) / ZEM4_RPL_RANGE_SIZE);
}

#endif // ZEM4_WIRE_H_
