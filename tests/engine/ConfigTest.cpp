// Configure and GetModeData: the argument checks, in their order, and what is
// kept and reported.
#include "tests/common/DriverFixture.h"

#include <cstring>
#include <string>

namespace zem4::test {
namespace {

class ConfigTest : public DriverFixture {};

EFI_IPv4_ADDRESS Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return EfiIp(host::Ipv4(a, b, c, d));
}

TEST_F(ConfigTest, NullThisIsRefusedWithItsLogLine) {
  Zem4ConfigData config = DefaultConfig();
  EXPECT_EQ(Proto()->Configure(nullptr, &config), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem4Config: Called with invalid parameter.\n"), 1u);
  EXPECT_FALSE(Probe().Configured());
}

TEST_F(ConfigTest, ServerAddressMustBeBelowClassD) {
  Zem4ConfigData config = DefaultConfig();
  config.ServerIp = Ip(224, 0, 0, 1);
  EXPECT_EQ(Proto()->Configure(Proto(), &config), EFI_INVALID_PARAMETER);
  EXPECT_FALSE(Probe().Configured());
  config.ServerIp = Ip(255, 255, 255, 255);
  EXPECT_EQ(Proto()->Configure(Proto(), &config), EFI_INVALID_PARAMETER);
  config.ServerIp = Ip(0, 0, 0, 0);
  EXPECT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  EXPECT_TRUE(Probe().Configured());
  config.ServerIp = Ip(223, 255, 255, 255);
  EXPECT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  // Nothing of these checks is logged.
  EXPECT_TRUE(Logs().empty());
}

TEST_F(ConfigTest, StationSettingsAreCheckedOnlyWithoutDefaultSetting) {
  struct Case {
    const char *what;
    EFI_IPv4_ADDRESS station, mask, gateway;
    bool valid;
  };
  const Case cases[] = {
      {"mask /24", Ip(127, 0, 1, 2), Ip(255, 255, 255, 0), Ip(0, 0, 0, 0), true},
      {"mask 0", Ip(127, 0, 1, 2), Ip(0, 0, 0, 0), Ip(0, 0, 0, 0), true},
      {"mask /1", Ip(127, 0, 1, 2), Ip(128, 0, 0, 0), Ip(0, 0, 0, 0), true},
      {"mask /31", Ip(127, 0, 1, 2), Ip(255, 255, 255, 254), Ip(0, 0, 0, 0), true},
      {"mask /32", Ip(127, 0, 1, 2), Ip(255, 255, 255, 255), Ip(0, 0, 0, 0), false},
      {"mask with a hole", Ip(127, 0, 1, 2), Ip(255, 0, 255, 0), Ip(0, 0, 0, 0), false},
      {"mask low bits only", Ip(127, 0, 1, 2), Ip(0, 0, 0, 255), Ip(0, 0, 0, 0), false},
      {"gateway in subnet", Ip(127, 0, 1, 2), Ip(255, 255, 255, 0), Ip(127, 0, 1, 254), true},
      {"gateway outside subnet", Ip(127, 0, 1, 2), Ip(255, 255, 255, 0), Ip(127, 0, 2, 1), false},
      {"station class D", Ip(224, 0, 1, 2), Ip(0, 0, 0, 0), Ip(0, 0, 0, 0), false},
      {"gateway class E", Ip(127, 0, 1, 2), Ip(0, 0, 0, 0), Ip(240, 0, 0, 1), false},
  };
  for (const Case &c : cases) {
    for (BOOLEAN useDefault : {BOOLEAN(FALSE), BOOLEAN(TRUE)}) {
      Zem4ConfigData config = DefaultConfig();
      config.UseDefaultSetting = useDefault;
      config.StationIp = c.station;
      config.SubnetMask = c.mask;
      config.GatewayIp = c.gateway;
      EFI_STATUS expected = (c.valid || useDefault) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
      EXPECT_EQ(Proto()->Configure(Proto(), &config), expected)
          << c.what << (useDefault ? " with default setting" : "");
    }
  }
}

TEST_F(ConfigTest, RefusedConfigurationLeavesThePreviousOne) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4ConfigData bad = DefaultConfig();
  bad.SubnetMask = Ip(255, 0, 255, 0);
  bad.InitialServerPort = 99;
  EXPECT_EQ(Proto()->Configure(Proto(), &bad), EFI_INVALID_PARAMETER);
  Zem4ModeData mode{};
  ASSERT_EQ(Proto()->GetModeData(Proto(), &mode), EFI_SUCCESS);
  EXPECT_EQ(mode.ConfigData.InitialServerPort, kServerPort);
}

TEST_F(ConfigTest, ConfigureWithoutDataWhileIdleClearsTheConfiguration) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  EXPECT_FALSE(Probe().Configured());
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  Zem4ModeData mode{};
  EXPECT_EQ(Proto()->GetModeData(Proto(), &mode), EFI_NO_MAPPING);
}

TEST_F(ConfigTest, GetModeDataChecksItsArguments) {
  Zem4ModeData mode{};
  EXPECT_EQ(Proto()->GetModeData(nullptr, &mode), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetModeData(Proto(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem4GetModeData: Called with invalid parameter.\n"), 2u);
  // Unconfigured: no mapping, nothing written, not logged.
  std::memset(&mode, 0xA5, sizeof(mode));
  EXPECT_EQ(Proto()->GetModeData(Proto(), &mode), EFI_NO_MAPPING);
  EXPECT_EQ(mode.SupportedOptionCount, 0xA5);
  EXPECT_EQ(Logs().size(), 2u);
}

TEST_F(ConfigTest, GetModeDataReportsTheConfigurationAndOptionNames) {
  Zem4ConfigData config = DefaultConfig();
  config.LocalPort = 4000;
  config.GatewayIp = Ip(127, 0, 1, 1);
  ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  Zem4ModeData mode{};
  ASSERT_EQ(Proto()->GetModeData(Proto(), &mode), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(&mode.ConfigData, &config, sizeof(config)), 0);
  ASSERT_EQ(mode.SupportedOptionCount, 2);
  ASSERT_EQ(mode.UnsupportedOptionCount, 2);
  EXPECT_STREQ(mode.SupportedOptions[0], "multicast");
  EXPECT_STREQ(mode.SupportedOptions[1], "tsize");
  EXPECT_STREQ(mode.UnsupportedOptions[0], "restart");
  EXPECT_STREQ(mode.UnsupportedOptions[1], "session");
}

// The mask as Configure checks it for a fixed station address.
TEST_F(ConfigTest, NetmaskMustBeContiguousFromTheTop) {
  auto valid = [this](uint32_t mask) {
    Zem4ConfigData config = DefaultConfig();
    config.UseDefaultSetting = FALSE;
    config.GatewayIp = Ip(0, 0, 0, 0);
    config.SubnetMask = EfiIp(host::Ipv4::FromUint(mask));
    return Proto()->Configure(Proto(), &config) == EFI_SUCCESS;
  };
  for (unsigned prefix = 0; prefix < 32; prefix++) {
    uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    EXPECT_TRUE(valid(mask)) << "prefix " << prefix;
    // Any single extra bit below the prefix breaks it.
    if (prefix < 31) {
      EXPECT_FALSE(valid(mask | 1u)) << "prefix " << prefix << " plus bit 0";
    }
  }
  EXPECT_FALSE(valid(0xFFFFFFFFu));
  EXPECT_FALSE(valid(0x7FFFFFFFu));
  EXPECT_FALSE(valid(0xFF00FF00u));
}

} // namespace
} // namespace zem4::test
