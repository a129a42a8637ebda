#include "tests/common/ScriptedServer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace zem4::test {

namespace {

void PutBe16(Bytes &out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void PutBe32(Bytes &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(v >> shift));
  }
}

void PutLe32(Bytes &out, uint32_t v) {
  for (int shift = 0; shift <= 24; shift += 8) {
    out.push_back(static_cast<uint8_t>(v >> shift));
  }
}

void PutString(Bytes &out, std::string_view s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

uint16_t Be16(const Bytes &b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

uint32_t Be32(const Bytes &b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

uint32_t Le32(const Bytes &b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

} // namespace

Bytes RrqPacket(std::string_view file,
                std::initializer_list<std::pair<std::string_view, std::string_view>> options) {
  Bytes out;
  PutBe16(out, 1);
  PutString(out, file);
  for (const auto &[name, value] : options) {
    PutString(out, name);
    PutString(out, value);
  }
  return out;
}

Bytes OackPacket(std::initializer_list<std::pair<std::string_view, std::string_view>> options) {
  Bytes out;
  PutBe16(out, 6);
  for (const auto &[name, value] : options) {
    PutString(out, name);
    PutString(out, value);
  }
  return out;
}

Bytes ErrorPacket(uint16_t code, std::string_view message) {
  Bytes out;
  PutBe16(out, 5);
  PutBe16(out, code);
  PutString(out, message);
  return out;
}

Bytes Data8Packet(uint32_t sequence, uint32_t block, std::span<const uint8_t> data) {
  Bytes out;
  PutBe16(out, 8);
  PutBe32(out, sequence);
  PutBe32(out, block);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Data8Packet(uint32_t sequence, uint32_t block, size_t length, uint8_t fill) {
  Bytes data(length, fill);
  return Data8Packet(sequence, block, data);
}

Bytes Ack8Packet(uint32_t sequence) {
  Bytes out;
  PutBe16(out, 9);
  PutBe32(out, sequence);
  PutBe32(out, 64);
  return out;
}

Bytes RplPacket(uint32_t sequence, const std::vector<std::pair<uint32_t, uint32_t>> &ranges) {
  Bytes out;
  PutBe16(out, 10);
  PutBe32(out, sequence);
  PutBe32(out, 0);
  for (const auto &[first, last] : ranges) {
    PutLe32(out, first);
    PutLe32(out, last);
  }
  return out;
}

Bytes RplAckPacket(uint32_t sequence) {
  Bytes out;
  PutBe16(out, 11);
  PutBe32(out, sequence);
  return out;
}

Bytes FinPacket(uint32_t value) {
  Bytes out;
  PutBe16(out, 14);
  PutBe32(out, value);
  return out;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    std::snprintf(buf, sizeof(buf), i ? " %02x" : "%02x", bytes[i]);
    out += buf;
  }
  return out;
}

ScriptedServer::ScriptedServer(host::Network &network, host::Ipv4 address, uint16_t port)
    : network_(network), address_(address), port_(port) {
  host::NetStatus status = host::NetStatus::Ok;
  main_ = network_.OpenPeerPort(
      address, port, [this](const host::Datagram &d, host::Time100ns t) { OnDatagram(d, t); },
      &status);
  if (!main_) {
    throw std::runtime_error("scripted server: cannot open " + address.ToString() + ":" +
                             std::to_string(port) + " (" + std::string(host::ToString(status)) +
                             ")");
  }
}

ScriptedServer::~ScriptedServer() = default;

ScriptedServer &ScriptedServer::Expect(Bytes bytes) {
  std::string description = "datagram " + Hex(bytes);
  return ExpectMatching(
      std::move(description),
      [bytes = std::move(bytes)](const host::Datagram &d) { return d.payload == bytes; });
}

ScriptedServer &ScriptedServer::ExpectMatching(std::string description, Matcher match) {
  steps_.push_back(Step{std::move(description), std::move(match), {}});
  return *this;
}

ScriptedServer &ScriptedServer::Reply(Bytes bytes) {
  return ReplyFrom(0, std::move(bytes));
}

ScriptedServer &ScriptedServer::ReplyFrom(uint16_t port, Bytes bytes) {
  if (steps_.empty()) {
    throw std::logic_error("scripted server: Reply before any Expect");
  }
  steps_.back().answers.push_back(Answer{port, std::move(bytes)});
  return *this;
}

host::PeerPort &ScriptedServer::PortEndpoint(uint16_t port) {
  if (port == 0 || port == port_) {
    return *main_;
  }
  auto &slot = extra_[port];
  if (!slot) {
    host::NetStatus status = host::NetStatus::Ok;
    slot = network_.OpenPeerPort(
        address_, port, [this](const host::Datagram &d, host::Time100ns t) { OnDatagram(d, t); },
        &status);
    if (!slot) {
      throw std::runtime_error("scripted server: cannot open port " + std::to_string(port));
    }
  }
  return *slot;
}

void ScriptedServer::Send(host::Ipv4 dst, uint16_t dstPort, std::span<const uint8_t> bytes) {
  SendFrom(0, dst, dstPort, bytes);
}

void ScriptedServer::SendFrom(uint16_t fromPort, host::Ipv4 dst, uint16_t dstPort,
                              std::span<const uint8_t> bytes) {
  PortEndpoint(fromPort).Send(dst, dstPort, bytes);
}

void ScriptedServer::OnDatagram(const host::Datagram &datagram, host::Time100ns time) {
  log_.push_back(Received{datagram, time});
  const Received &received = log_.back();
  if (next_ < steps_.size()) {
    Step &step = steps_[next_++];
    if (!step.match(datagram)) {
      failures_.push_back("step " + std::to_string(next_) + " expected " + step.description +
                          ", got " + Hex(datagram.payload) + " from " + datagram.src.ToString() +
                          ":" + std::to_string(datagram.srcPort));
      return;
    }
    for (const Answer &answer : step.answers) {
      SendFrom(answer.fromPort, datagram.src, datagram.srcPort, answer.bytes);
    }
    return;
  }
  if (handler_) {
    Received copy = received; // the handler may send, which may grow the log
    handler_(*this, copy);
  }
}

void FileResponder::SendWindow(ScriptedServer &server, uint32_t firstSequence) {
  uint32_t last = std::min<uint32_t>(firstSequence + 63, static_cast<uint32_t>(plan_.size()));
  for (uint32_t s = std::max(firstSequence, sentUpTo_ + 1); s <= last; s++) {
    uint32_t block = plan_[s - 1];
    size_t offset = size_t(block - 1) * 1032;
    size_t length = std::min<size_t>(1032, file_.size() - std::min(offset, file_.size()));
    Bytes packet = Data8Packet(s, block, std::span<const uint8_t>(file_.data() + offset, length));
    server.SendFrom(dataPort_, client_, clientPort_, packet);
    dataSent_++;
    sentUpTo_ = s;
  }
}

void FileResponder::operator()(ScriptedServer &server, const ScriptedServer::Received &received) {
  const Bytes &p = received.datagram.payload;
  if (p.size() < 2) {
    return;
  }
  switch (Be16(p, 0)) {
  case 1: { // request: a new pass
    client_ = received.datagram.src;
    clientPort_ = received.datagram.srcPort;
    ranges_.clear();
    plan_.clear();
    sentUpTo_ = 0;
    finSent_ = false;
    std::string size = std::to_string(file_.size());
    server.SendFrom(dataPort_, client_, clientPort_, OackPacket({{"tsize", size}}));
    break;
  }
  case 10: { // repair list
    if (p.size() < 10 || (p.size() - 10) % 8 != 0) {
      return;
    }
    size_t count = (p.size() - 10) / 8;
    for (size_t i = 0; i < count; i++) {
      ranges_.emplace_back(Le32(p, 10 + 8 * i), Le32(p, 14 + 8 * i));
    }
    if (count == 129) {
      server.SendFrom(dataPort_, client_, clientPort_, RplAckPacket(Be32(p, 2) + 1));
      return;
    }
    plan_.clear();
    for (const auto &[first, last] : ranges_) {
      for (uint64_t b = first; b <= last && b <= Blocks(); b++) {
        plan_.push_back(static_cast<uint32_t>(b));
      }
    }
    sentUpTo_ = 0;
    if (plan_.empty()) {
      server.SendFrom(dataPort_, client_, clientPort_, FinPacket(0));
      finSent_ = true;
      return;
    }
    SendWindow(server, 1);
    break;
  }
  case 9: { // ACK8
    if (p.size() < 10) {
      return;
    }
    uint32_t next = Be32(p, 2);
    if (next > plan_.size()) {
      if (!finSent_) {
        server.SendFrom(dataPort_, client_, clientPort_, FinPacket(0));
        finSent_ = true;
      }
      return;
    }
    SendWindow(server, next);
    break;
  }
  default:
    break;
  }
}

} // namespace zem4::test
