#include "tests/modes/ModesFixture.h"

#include <algorithm>

namespace zem4::test {

void ModesFixture::SetUp() {
  DriverFixture::SetUp();
  server_ = std::make_unique<ScriptedServer>(Net(), kServerIp, kServerPort);
}

void ModesFixture::TearDown() {
  // The server's ports go before the network; a transfer still running is
  // aborted by the child's destruction.
  server_.reset();
  DriverFixture::TearDown();
}

EFI_STATUS EFIAPI CheckPacketSink([[maybe_unused]] Zem4 *This, Zem4Token *Token, UINT32 Length,
                                  VOID *Data) {
  auto *sink = static_cast<Sink *>(Token->Context);
  const auto *bytes = static_cast<const uint8_t *>(Data);
  sink->runs.emplace_back(bytes, bytes + Length);
  if (sink->inside) {
    sink->inside();
  }
  if (sink->runs.size() - 1 >= sink->refuseAt) {
    return sink->answer;
  }
  return EFI_SUCCESS;
}

void ModesFixture::Start(Caller caller, size_t bufferSize, std::vector<Zem4Option> options) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  PrepareToken(token_, done_, "file.bin");
  token_.Context = &sink_;
  if (caller != Caller::Buffer) {
    token_.CheckPacket = CheckPacketSink;
  }
  if (caller != Caller::Stream) {
    buffer_.assign(bufferSize, 0xEE);
    token_.Buffer = buffer_.data();
    token_.BufferSize = buffer_.size();
  }
  options_ = std::move(options);
  token_.OptionCount = static_cast<UINT32>(options_.size());
  token_.OptionList = options_.empty() ? nullptr : options_.data();
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return !server_->Log().empty(); }, kSecond));
  clientPort_ = server_->Log().front().datagram.srcPort;
  Sent(); // the request
}

void ModesFixture::FromServer(const Bytes &bytes, uint16_t fromPort) {
  server_->SendFrom(fromPort, kClientIp, clientPort_, bytes);
  Settle();
}

void ModesFixture::Accept(const Bytes &oack) {
  FromServer(oack);
  ASSERT_EQ(Probe().State(), TransferState::Rpl);
  ASSERT_EQ(SentOne(), RplPacket(1, {{1, 0xFFFFFFFFu}}));
}

void ModesFixture::EnterActive(const Bytes &firstData) {
  Accept();
  FromServer(firstData);
  ASSERT_EQ(Probe().State(), TransferState::Receiving);
  ASSERT_EQ(Probe().Download()->Mode, ZEM4_MODE_ACTIVE);
}

std::vector<host::Datagram> ModesFixture::Sent() {
  std::vector<host::CaptureRecord> all = ClientSends();
  std::vector<host::Datagram> out;
  for (size_t i = seen_; i < all.size(); i++) {
    out.push_back(all[i].datagram);
  }
  seen_ = all.size();
  return out;
}

Bytes ModesFixture::SentOne() {
  std::vector<host::Datagram> sent = Sent();
  EXPECT_EQ(sent.size(), 1u);
  if (sent.size() != 1) {
    return {};
  }
  EXPECT_EQ(sent[0].dst, kServerIp);
  return sent[0].payload;
}

Bytes BlockOf(const Bytes &file, uint32_t block) {
  size_t offset = size_t(block - 1) * 1032;
  if (offset >= file.size()) {
    return {};
  }
  size_t length = std::min<size_t>(1032, file.size() - offset);
  return Bytes(file.begin() + offset, file.begin() + offset + length);
}

} // namespace zem4::test
