// Scenarios for the download modes: the driver on the simulated network with
// a scripted peer that the test drives datagram by datagram, in virtual time.
#pragma once

#include "tests/common/DriverFixture.h"

#include "modes/Zem4Missing.h"
#include "modes/Zem4Modes.h"
#include "protocol/Zem4Rrq.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zem4::test {

// The server answers the request from a port of its own.
inline constexpr uint16_t kDataPort = 6000;

// What the caller's CheckPacket was handed, run by run.
struct Sink {
  std::vector<Bytes> runs;
  EFI_STATUS answer = EFI_SUCCESS; // returned for every run
  size_t refuseAt = SIZE_MAX;      // index of the first run refused with `answer`
  std::function<void()> inside;    // runs inside CheckPacket
  Bytes All() const {
    Bytes out;
    for (const Bytes &run : runs) {
      out.insert(out.end(), run.begin(), run.end());
    }
    return out;
  }
};

// A CheckPacket that hands each run to the Sink the token's Context points at.
EFI_STATUS EFIAPI CheckPacketSink(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Data);

class ModesFixture : public DriverFixture {
protected:
  void SetUp() override;
  void TearDown() override;

  enum class Caller { Stream, Buffer, BufferAndCheck };

  // Configures the child, starts ReadFile with an event and runs until the
  // request reached the server. The caller gets `bufferSize` bytes of buffer
  // when it is not a stream.
  void Start(Caller caller = Caller::Stream, size_t bufferSize = 0,
             std::vector<Zem4Option> options = {});

  // Sends from the server's data port (or `fromPort`) and lets it arrive.
  void FromServer(const Bytes &bytes, uint16_t fromPort = kDataPort);
  // The server sends the OACK and the client answers with RPL 1.
  void Accept(const Bytes &oack = OackPacket());
  // Accept, then DATA8 with Sequence 1 moves the client to Active mode.
  void EnterActive(const Bytes &firstData);

  // Datagrams the client sent since the last call.
  std::vector<host::Datagram> Sent();
  // Exactly one datagram since the last call, and its bytes.
  Bytes SentOne();

  bool Finished() const { return done_.count > 0; }
  bool RunToEnd(host::Time100ns limit = 600 * kSecond) {
    return RunUntil([&] { return Finished(); }, limit);
  }
  // Lets what is on the wire arrive without letting any timer run out.
  void Settle() { RunFor(1000); }

  std::unique_ptr<ScriptedServer> server_;
  Zem4Token token_{};
  Completion done_;
  Sink sink_;
  std::vector<uint8_t> buffer_;
  std::vector<Zem4Option> options_;
  uint16_t clientPort_ = 0;
  size_t seen_ = 0;
};

// Block `block` (from 1) of `file`: 1032 bytes or the short rest.
Bytes BlockOf(const Bytes &file, uint32_t block);

} // namespace zem4::test
