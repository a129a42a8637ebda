#include "server/engine/Packets.h"

#include "zem4/Zem4Wire.h"

#include <fmt/format.h>

namespace zem4::server {

namespace {

// Reads a NUL-terminated string starting at Pos; nullopt when no NUL follows.
std::optional<std::string_view> TakeString(std::span<const uint8_t> D, size_t &Pos) {
  for (size_t I = Pos; I < D.size(); ++I) {
    if (D[I] == 0) {
      std::string_view S(reinterpret_cast<const char *>(D.data()) + Pos, I - Pos);
      Pos = I + 1;
      return S;
    }
  }
  return std::nullopt;
}

void AppendString(Bytes &Out, std::string_view S) {
  Out.insert(Out.end(), S.begin(), S.end());
  Out.push_back(0);
}

Bytes WithOpcode(uint16_t Op, size_t Reserve) {
  Bytes Out(ZEM4_OPCODE_SIZE);
  Out.reserve(Reserve);
  Zem4WirePutBe16(Out.data(), ZEM4_OPCODE_OFFSET, Op);
  return Out;
}

} // namespace

bool OptionNameEquals(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) {
    return false;
  }
  for (size_t I = 0; I < A.size(); ++I) {
    auto Fold = [](char C) {
      return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
    };
    if (Fold(A[I]) != Fold(B[I])) {
      return false;
    }
  }
  return true;
}

std::optional<Request> ParseRequest(std::span<const uint8_t> D) {
  uint16_t Op = 0;
  if (!Zem4WireGetOpcode(D.data(), D.size(), &Op) || Op != ZEM4_OP_RRQ) {
    return std::nullopt;
  }
  size_t Pos = ZEM4_RRQ_FILENAME_OFFSET;
  auto Name = TakeString(D, Pos);
  if (!Name) {
    return std::nullopt;
  }
  Request R;
  R.FileName = std::string(*Name);
  while (Pos < D.size()) {
    auto Key = TakeString(D, Pos);
    if (!Key) {
      return std::nullopt;
    }
    auto Value = TakeString(D, Pos);
    if (!Value || R.Options.size() >= ZEM4_MAX_OPTION_PAIRS) {
      return std::nullopt;
    }
    R.Options.push_back({std::string(*Key), std::string(*Value)});
    R.Multicast |= OptionNameEquals(*Key, ZEM4_OPT_MULTICAST);
    R.Tsize |= OptionNameEquals(*Key, ZEM4_OPT_TSIZE);
    R.Sha256 |= OptionNameEquals(*Key, ZEM4_OPT_SHA256);
  }
  return R;
}

std::optional<Ack8> ParseAck8(std::span<const uint8_t> D) {
  uint16_t Op = 0;
  Ack8 A;
  if (D.size() != ZEM4_ACK8_LENGTH || !Zem4WireGetOpcode(D.data(), D.size(), &Op) ||
      Op != ZEM4_OP_ACK8 ||
      !Zem4WireGetBe32(D.data(), D.size(), ZEM4_ACK8_SEQUENCE_OFFSET, &A.NextSequence) ||
      !Zem4WireGetBe32(D.data(), D.size(), ZEM4_ACK8_WINDOW_OFFSET, &A.Window)) {
    return std::nullopt;
  }
  return A;
}

std::optional<Rpl> ParseRpl(std::span<const uint8_t> D) {
  uint16_t Op = 0;
  long Count = Zem4WireRplRangeCount(D.size());
  Rpl R;
  if (Count < 0 || Count > static_cast<long>(ZEM4_RPL_MAX_RANGES) ||
      !Zem4WireGetOpcode(D.data(), D.size(), &Op) || Op != ZEM4_OP_RPL ||
      !Zem4WireGetBe32(D.data(), D.size(), ZEM4_RPL_SEQUENCE_OFFSET, &R.Sequence)) {
    return std::nullopt;
  }
  R.Ranges.resize(static_cast<size_t>(Count));
  for (size_t K = 0; K < R.Ranges.size(); ++K) {
    size_t At = Zem4RplRangeOffset(K);
    Zem4WireGetLe32(D.data(), D.size(), At + ZEM4_RPL_RANGE_FIRST_OFFSET, &R.Ranges[K].First);
    Zem4WireGetLe32(D.data(), D.size(), At + ZEM4_RPL_RANGE_LAST_OFFSET, &R.Ranges[K].Last);
  }
  return R;
}

std::string FormatMulticastValue(const Endpoint &Group, bool Active) {
  return fmt::format("{},{},{}", Group.address.ToString(), Group.port, Active ? 1 : 0);
}

Bytes BuildOack(const std::vector<std::pair<std::string, std::string>> &Options) {
  Bytes Out = WithOpcode(ZEM4_OP_OACK, 64);
  for (const auto &[Name, Value] : Options) {
    AppendString(Out, Name);
    AppendString(Out, Value);
  }
  return Out;
}

Bytes BuildError(uint16_t Code, std::string_view Message) {
  Bytes Out = WithOpcode(ZEM4_OP_ERROR, Zem4ErrorLength(Message.size()));
  Out.resize(ZEM4_ERROR_MESSAGE_OFFSET);
  Zem4WirePutBe16(Out.data(), ZEM4_ERROR_CODE_OFFSET, Code);
  AppendString(Out, Message);
  return Out;
}

Bytes BuildFin(uint32_t Value) {
  Bytes Out = WithOpcode(ZEM4_OP_FIN, ZEM4_FIN_LENGTH);
  Out.resize(ZEM4_FIN_LENGTH);
  Zem4WirePutBe32(Out.data(), ZEM4_FIN_VALUE_OFFSET, Value);
  return Out;
}

Bytes BuildRplAck(uint32_t NextSequence) {
  Bytes Out = WithOpcode(ZEM4_OP_RPLACK, ZEM4_RPLACK_MIN_LENGTH);
  Out.resize(ZEM4_RPLACK_MIN_LENGTH);
  Zem4WirePutBe32(Out.data(), ZEM4_RPLACK_SEQUENCE_OFFSET, NextSequence);
  return Out;
}

void PutData8Header(std::span<uint8_t> Out, uint32_t Sequence, uint32_t Block) {
  Zem4WirePutBe16(Out.data(), ZEM4_OPCODE_OFFSET, ZEM4_OP_DATA8);
  Zem4WirePutBe32(Out.data(), ZEM4_DATA8_SEQUENCE_OFFSET, Sequence);
  Zem4WirePutBe32(Out.data(), ZEM4_DATA8_BLOCK_OFFSET, Block);
}

Bytes BuildRequest(std::string_view FileName,
                   const std::vector<std::pair<std::string, std::string>> &Options) {
  Bytes Out = WithOpcode(ZEM4_OP_RRQ, 64);
  AppendString(Out, FileName);
  for (const auto &[Name, Value] : Options) {
    AppendString(Out, Name);
    AppendString(Out, Value);
  }
  return Out;
}

Bytes BuildAck8(uint32_t NextSequence, uint32_t Window) {
  Bytes Out = WithOpcode(ZEM4_OP_ACK8, ZEM4_ACK8_LENGTH);
  Out.resize(ZEM4_ACK8_LENGTH);
  Zem4WirePutBe32(Out.data(), ZEM4_ACK8_SEQUENCE_OFFSET, NextSequence);
  Zem4WirePutBe32(Out.data(), ZEM4_ACK8_WINDOW_OFFSET, Window);
  return Out;
}

Bytes BuildRpl(uint32_t Sequence, std::span<const BlockRange> Ranges) {
  Bytes Out = WithOpcode(ZEM4_OP_RPL, Zem4RplLength(Ranges.size()));
  Out.resize(Zem4RplLength(Ranges.size()));
  Zem4WirePutBe32(Out.data(), ZEM4_RPL_SEQUENCE_OFFSET, Sequence);
  Zem4WirePutBe32(Out.data(), ZEM4_RPL_ZERO_OFFSET, 0);
  for (size_t K = 0; K < Ranges.size(); ++K) {
    Zem4WirePutLe32(Out.data(), Zem4RplRangeOffset(K) + ZEM4_RPL_RANGE_FIRST_OFFSET,
                    Ranges[K].First);
    Zem4WirePutLe32(Out.data(), Zem4RplRangeOffset(K) + ZEM4_RPL_RANGE_LAST_OFFSET, Ranges[K].Last);
  }
  return Out;
}

} // namespace zem4::server
