// The mode scenarios with a multicast group: the scripted server's OACK names
// 239.1.1.1:5600 and its group datagrams go there.
#pragma once

#include "tests/modes/ModesFixture.h"

#include "driver/Zem4Driver.h"
#include "support/Globals.h"
#include "support/Zem4Assert.h"

#include <string>

namespace zem4::test {

inline constexpr host::Ipv4 kGroup{239, 1, 1, 1};
inline constexpr uint16_t kGroupPort = 5600;

// The driver's assertions behave as in the images while this lives: logged,
// and the function goes on along its error path instead of aborting. For the
// arms the flow cannot reach, which tests reach by hand.
struct AssertAsInImages {
  BOOLEAN saved = gZem4AssertRecovers;
  AssertAsInImages() { gZem4AssertRecovers = TRUE; }
  ~AssertAsInImages() { gZem4AssertRecovers = saved; }
  AssertAsInImages(const AssertAsInImages &) = delete;
  AssertAsInImages &operator=(const AssertAsInImages &) = delete;
};

class McastModeTest : public ModesFixture {
protected:
  void SetUp() override {
    ModesFixture::SetUp();
    // The multicast port's opens name the driver binding's handle as agent.
    gZem4DriverBinding.DriverBindingHandle = agent_;
  }
  void TearDown() override {
    ModesFixture::TearDown();
    gZem4DriverBinding.DriverBindingHandle = nullptr;
  }

  Bytes McastOack(int flag, const char *group = "239.1.1.1") {
    std::string value = std::string(group) + ",5600," + std::to_string(flag);
    return OackPacket({{"multicast", value}});
  }
  void FromGroup(const Bytes &bytes, host::Ipv4 group = kGroup) {
    server_->SendFrom(kDataPort, group, kGroupPort, bytes);
    Settle();
  }
  Bytes Full(uint32_t sequence, uint32_t block) {
    return Data8Packet(sequence, block, BlockOf(file_, block));
  }
  Bytes Blocks(uint32_t first, uint32_t last) {
    return Bytes(file_.begin() + (first - 1) * 1032, file_.begin() + last * 1032);
  }
  void EnterPassive() {
    FromServer(McastOack(0));
    ASSERT_EQ(Probe().State(), TransferState::Receiving);
    ASSERT_EQ(Probe().Download()->Mode, ZEM4_MODE_PASSIVE);
  }
  // A group child the driver had to leave to UDP4: nothing of ours may still
  // hold it open; the test gives it back so that the firmware ends clean.
  void ExpectOrphanedAndGiveBack(EFI_HANDLE orphan) {
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
    UINTN count = 0;
    ASSERT_EQ(gBS->OpenProtocolInformation(orphan, &gEfiUdp4ProtocolGuid, &entries, &count),
              EFI_SUCCESS);
    for (UINTN i = 0; i < count; i++) {
      EXPECT_NE(entries[i].AgentHandle, agent_) << "the driver still holds the orphan";
    }
    gBS->FreePool(entries);
    EFI_SERVICE_BINDING_PROTOCOL *sb = Controller().ServiceBinding();
    EXPECT_EQ(sb->DestroyChild(sb, orphan), EFI_SUCCESS);
  }
  Bytes file_ = MakeFile(400 * 1032);
};

} // namespace zem4::test
