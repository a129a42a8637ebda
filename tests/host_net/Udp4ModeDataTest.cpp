// GetModeData's IPv4 record in both published layouts, byte by byte at the
// offsets each gives: the current one (MaxPacketSize, IsConfigured at 36) by
// default, the 2.0-era one (IsConfigured at 32) when the controller is set so.
#include "tests/host_net/Udp4Fixture.h"

#include <cstring>

namespace zem4::test {
namespace {

constexpr bool k64 = sizeof(void *) == 8;

struct LayoutCase {
  const char *name;
  host::Ip4ModeLayout layout;
  size_t size;
  size_t maxPacketSize; // 0: absent
  size_t configData;
  size_t isConfigured;
  size_t groupCount;
  size_t groupTable;
};

const LayoutCase kLayouts[] = {
    {"Current", host::Ip4ModeLayout::Current, k64 ? 88u : 64u, 4, 8, 36, 40, k64 ? 48u : 44u},
    {"Uefi20", host::Ip4ModeLayout::Uefi20, k64 ? 80u : 60u, 0, 4, 32, 36, 40},
};

class Udp4ModeDataTest : public Udp4Fixture, public ::testing::WithParamInterface<LayoutCase> {
protected:
  // GetModeData into a buffer larger than either layout, filled with 0xCC.
  std::vector<uint8_t> Read(EFI_UDP4_PROTOCOL *udp) {
    alignas(8) uint8_t raw[128];
    std::memset(raw, 0xCC, sizeof raw);
    EXPECT_EQ(udp->GetModeData(udp, nullptr, reinterpret_cast<EFI_IP4_MODE_DATA *>(raw), nullptr,
                               nullptr),
              EFI_SUCCESS);
    return std::vector<uint8_t>(raw, raw + sizeof raw);
  }
  static uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
  }
};

TEST_P(Udp4ModeDataTest, FieldsSitAtTheLayoutsOffsetsAndNothingPastItIsWritten) {
  const LayoutCase &l = GetParam();
  host::Udp4ControllerOptions options;
  options.mappingDelay = 10'000'000; // 1 s
  if (l.layout != host::Ip4ModeLayout::Current)
    options.ip4ModeLayout = l.layout;
  auto &ctl = Controller(kClientIp, options);
  Child c = CreateChild(ctl);

  std::vector<uint8_t> b = Read(c.udp);
  EXPECT_EQ(b[0], 0) << "IsStarted";
  EXPECT_EQ(b[l.isConfigured], 0);

  EFI_UDP4_CONFIG_DATA cfg{};
  cfg.UseDefaultAddress = TRUE;
  cfg.StationPort = 1759;
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_NO_MAPPING);
  b = Read(c.udp);
  EXPECT_EQ(b[0], 1) << "started while waiting for the address";
  EXPECT_EQ(b[l.isConfigured], 0) << "no address yet";

  Fw().AdvanceBy(10'000'000);
  ASSERT_TRUE(ctl.Mapped());
  EFI_IPv4_ADDRESS g = Efi(kGroupIp);
  ASSERT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_SUCCESS);
  b = Read(c.udp);
  EXPECT_EQ(b[0], 1);
  if (l.maxPacketSize != 0) {
    EXPECT_EQ(U32(b, l.maxPacketSize), 1480u);
  }
  EXPECT_EQ(b[l.configData], 17) << "DefaultProtocol: UDP";
  EXPECT_EQ(b[l.configData + 5], 1) << "UseDefaultAddress";
  EXPECT_EQ(std::memcmp(&b[l.configData + 6], kClientIp.b.data(), 4), 0) << "StationAddress";
  EXPECT_EQ(b[l.isConfigured], 1) << "IsConfigured";
  EXPECT_EQ(U32(b, l.groupCount), 1u);
  EFI_IPv4_ADDRESS *table = nullptr;
  std::memcpy(&table, &b[l.groupTable], sizeof table);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(std::memcmp(table, &g, 4), 0);
  for (size_t i = l.size; i < b.size(); ++i)
    ASSERT_EQ(b[i], 0xCC) << "byte " << i << " is past the record";
  EXPECT_NE(b[l.size - 1], 0xCC) << "the record's last byte is written";

  // The setting can be flipped on a live controller.
  const auto other = l.layout == host::Ip4ModeLayout::Current ? host::Ip4ModeLayout::Uefi20
                                                              : host::Ip4ModeLayout::Current;
  ctl.SetIp4ModeLayout(other);
  b = Read(c.udp);
  const size_t otherIsConfigured = l.isConfigured == 36 ? 32 : 36;
  EXPECT_EQ(b[otherIsConfigured], 1);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Udp4, Udp4ModeDataTest, ::testing::ValuesIn(kLayouts),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace zem4::test
