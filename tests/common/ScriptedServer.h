// A scripted peer for the driver's tests: a raw endpoint on the simulated
// network that expects datagrams in order and answers each with given bytes,
// all in virtual time. Past the script, a handler (if any) takes over.
#pragma once

#include "host/Network.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zem4::test {

using Bytes = std::vector<uint8_t>;

// Datagrams of the protocol, byte for byte.
Bytes RrqPacket(std::string_view file,
                std::initializer_list<std::pair<std::string_view, std::string_view>> options = {});
Bytes OackPacket(std::initializer_list<std::pair<std::string_view, std::string_view>> options = {});
Bytes ErrorPacket(uint16_t code, std::string_view message);
Bytes Data8Packet(uint32_t sequence, uint32_t block, std::span<const uint8_t> data);
Bytes Data8Packet(uint32_t sequence, uint32_t block, size_t length, uint8_t fill);
Bytes Ack8Packet(uint32_t sequence);
Bytes RplPacket(uint32_t sequence, const std::vector<std::pair<uint32_t, uint32_t>> &ranges);
Bytes RplAckPacket(uint32_t sequence);
Bytes FinPacket(uint32_t value);

std::string Hex(std::span<const uint8_t> bytes);

class ScriptedServer {
public:
  struct Received {
    host::Datagram datagram;
    host::Time100ns time = 0;
  };
  using Handler = std::function<void(ScriptedServer &, const Received &)>;
  using Matcher = std::function<bool(const host::Datagram &)>;

  ScriptedServer(host::Network &network, host::Ipv4 address, uint16_t port);
  ~ScriptedServer();

  host::Ipv4 Address() const { return address_; }
  uint16_t Port() const { return port_; }

  // Appends a step: the next datagram must be exactly `bytes`.
  ScriptedServer &Expect(Bytes bytes);
  // Appends a step whose datagram is checked by `match`.
  ScriptedServer &ExpectMatching(std::string description, Matcher match);
  // Adds to the last step an answer to the datagram's sender, sent from the
  // main port, or from another port of this address (opened on first use).
  ScriptedServer &Reply(Bytes bytes);
  ScriptedServer &ReplyFrom(uint16_t port, Bytes bytes);

  // Takes every datagram once the script is done.
  void SetHandler(Handler handler) { handler_ = std::move(handler); }

  // Sends from the main port (or `fromPort`) right now.
  void Send(host::Ipv4 dst, uint16_t dstPort, std::span<const uint8_t> bytes);
  void SendFrom(uint16_t fromPort, host::Ipv4 dst, uint16_t dstPort,
                std::span<const uint8_t> bytes);

  // Everything that reached the server (any of its ports), in order.
  const std::vector<Received> &Log() const { return log_; }
  // Datagrams that did not match their step, described.
  const std::vector<std::string> &Failures() const { return failures_; }
  bool ScriptDone() const { return next_ == steps_.size(); }
  size_t StepsLeft() const { return steps_.size() - next_; }

private:
  struct Answer {
    uint16_t fromPort = 0; // 0: the main port
    Bytes bytes;
  };
  struct Step {
    std::string description;
    Matcher match;
    std::vector<Answer> answers;
  };

  void OnDatagram(const host::Datagram &datagram, host::Time100ns time);
  host::PeerPort &PortEndpoint(uint16_t port);

  host::Network &network_;
  host::Ipv4 address_;
  uint16_t port_;
  std::unique_ptr<host::PeerPort> main_;
  std::map<uint16_t, std::unique_ptr<host::PeerPort>> extra_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  Handler handler_;
  std::vector<Received> log_;
  std::vector<std::string> failures_;
};

// A well-behaved unicast server for one file, built for the handler slot:
// OACK with "tsize" from `dataPort`, RPL/RPLACK pacing, DATA8 in windows of
// 64 paced by ACK8, FIN once the client has acknowledged everything. No
// retransmission: meant for loss-free runs.
class FileResponder {
public:
  FileResponder(Bytes file, uint16_t dataPort) : file_(std::move(file)), dataPort_(dataPort) {}
  void operator()(ScriptedServer &server, const ScriptedServer::Received &received);

  size_t DataSent() const { return dataSent_; }
  bool FinSent() const { return finSent_; }

private:
  void SendWindow(ScriptedServer &server, uint32_t firstSequence);
  uint32_t Blocks() const { return static_cast<uint32_t>(file_.size() / 1032 + 1); }

  Bytes file_;
  uint16_t dataPort_;
  host::Ipv4 client_;
  uint16_t clientPort_ = 0;
  std::vector<std::pair<uint32_t, uint32_t>> ranges_;
  std::vector<uint32_t> plan_; // block numbers of this pass, by Sequence - 1
  uint32_t sentUpTo_ = 0;      // highest Sequence sent
  size_t dataSent_ = 0;
  bool finSent_ = false;
};

} // namespace zem4::test
