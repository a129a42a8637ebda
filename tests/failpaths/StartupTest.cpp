// ReadFile's start-up when the firmware refuses a step: ReadFile returns the
// failure and writes its lines, the token is never signalled, the child is
// idle again and the next ReadFile starts a transfer.
#include "tests/failpaths/FailPaths.h"
#include "tests/modes/ModesFixture.h"

#include <cinttypes>

namespace zem4::test::failpaths {
namespace {

class StartupFailTest : public ModesFixture, public ::testing::WithParamInterface<FailCase> {
protected:
  // "{UDP}" in a line stands for the child's UDP4 interface, as %x prints it.
  std::vector<std::string> Expected(const std::vector<std::string> &lines) {
    char udp[32];
    std::snprintf(udp, sizeof(udp), "%" PRIXPTR, reinterpret_cast<uintptr_t>(Probe().Udp()));
    std::vector<std::string> out;
    for (std::string line : lines) {
      size_t at = line.find("{UDP}");
      if (at != std::string::npos) {
        line.replace(at, 5, udp);
      }
      out.push_back(line);
    }
    return out;
  }
};

TEST_P(StartupFailTest, ReadFileReturnsTheFailureAndLeavesTheChildIdle) {
  const FailCase &c = GetParam();
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  PrepareToken(token_, done_, "file.bin");
  token_.Context = &sink_;
  token_.CheckPacket = CheckPacketSink;
  ArmedCase armed(Fw().Faults(), c, Logs().size());
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token_), c.expected) << Hex(c.expected);
  armed.ExpectFaultsAndLines(Logs(), Expected(c.lines));
  RunFor(5 * kSecond);
  EXPECT_EQ(done_.count, 0) << "a refused ReadFile signals nothing";
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_FALSE(Probe().HoldsRequest());
  EXPECT_FALSE(Probe().HoldsWindow());
  // The same call goes through once the firmware behaves.
  size_t requests = server_->Log().size();
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return server_->Log().size() > requests; }, kSecond));
  EXPECT_EQ(server_->Log().back().datagram.payload, RrqPacket("file.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartupFailTest,
    ::testing::Values(
        FailCase{"PortReset",
                 {{"Udp4.Configure", 1, EFI_DEVICE_ERROR}},
                 EFI_DEVICE_ERROR,
                 {"Zem4ReadFile: failed to clean the UdpIo's configuration\n"}},
        FailCase{"PortConfiguration",
                 {{"Udp4.Configure", 2, EFI_INVALID_PARAMETER}},
                 EFI_INVALID_PARAMETER,
                 {"Udp->Configure return Invalid Parameter,UdpIo={UDP}\n"}},
        FailCase{
            "DownloadRecord",
            {{"AllocatePool", 2, EFI_OUT_OF_RESOURCES}},
            EFI_OUT_OF_RESOURCES,
            {"Zem4InitRrqState: failed to create RRQ data\n", "Zem.ReadFile out of resource.\n"}},
        FailCase{"ReceiveEvent",
                 {{"CreateEvent", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4ReadFile: Failed to create  returned Out of Resources\n"}},
        FailCase{"TimerEvent",
                 {{"CreateEvent", 2, EFI_INVALID_PARAMETER}},
                 EFI_INVALID_PARAMETER,
                 {"Zem4ReadFile: Create timeout event faile with return Invalid Parameter\n"}},
        FailCase{"RequestEvent",
                 {{"CreateEvent", 3, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4BuildRequest: failed to create event for the packet buffer\n",
                  "ReadFile: failed to build a request packetOut of Resources.\n"}},
        FailCase{"RequestSend",
                 {{"Udp4.Transmit", 1, EFI_NOT_STARTED}},
                 EFI_NOT_STARTED,
                 {"Zem4SendPacket: UdpIo->Transmit returned with Not started.\n",
                  "ZEM.ReadFile send packet failed with Not started.\n"}},
        FailCase{"FirstReceive",
                 {{"Udp4.Receive", 1, EFI_NO_MEDIA}},
                 EFI_NO_MEDIA,
                 {"Zem4StartRcv: Udp4Io->Receive returned with No Media.\n",
                  "Zem4InitPrivate: failed to start receive on unicast port No Media.\n"}}),
    CaseName);

// GetInfo runs a transfer only as far as the server's answer, then cancels
// it with an error packet to the server.
class GetInfoFailTest : public ModesFixture, public ::testing::WithParamInterface<FailCase> {};

TEST_P(GetInfoFailTest, GetInfoReturnsTheStatusOfItsPath) {
  const FailCase &c = GetParam();
  const Bytes oack = OackPacket({{"tsize", "123456"}});
  server_->Expect(RrqPacket("boot.efi")).ReplyFrom(kDataPort, oack);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  ArmedCase armed(Fw().Faults(), c, Logs().size());
  UINT32 length = 0;
  VOID *packet = nullptr;
  EXPECT_EQ(Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>("boot.efi"), nullptr, 0, nullptr,
                             &length, &packet),
            c.expected)
      << Hex(c.expected);
  armed.ExpectFaultsAndLines(Logs());
  if (packet != nullptr) {
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(packet), static_cast<uint8_t *>(packet) + length), oack);
    gBS->FreePool(packet);
  }
  RunFor(5 * kSecond);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, GetInfoFailTest,
    ::testing::Values(
        FailCase{"CancellationNotSent",
                 {{"Udp4.Transmit", 2, EFI_DEVICE_ERROR}},
                 EFI_SUCCESS,
                 {"Zem4SendPacket: UdpIo->Transmit returned with Device Error.\n",
                  "Zem4SendError: failed to send an error packet, double error\n",
                  "Zem4RrqRxCallback: double error occured when deal with user cancellation\n"}},
        FailCase{"NoCopy", {{"AllocatePool", 6, EFI_OUT_OF_RESOURCES}}, EFI_OUT_OF_RESOURCES, {}}),
    CaseName);

} // namespace
} // namespace zem4::test::failpaths
