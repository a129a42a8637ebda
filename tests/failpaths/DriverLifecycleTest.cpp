// The driver binding's Start and Stop when the firmware refuses a step: the
// status each returns, the line each writes, and a controller left as it was.
#include "tests/failpaths/FailPaths.h"

namespace zem4::test::failpaths {
namespace {

// Start: every step that can fail undoes what came before it.
class StartFailTest : public HostFailTest {};

TEST_P(StartFailTest, ReturnsTheFailureAndLeavesTheControllerAsItWas) {
  const FailCase &c = GetParam();
  ArmedCase armed(host_->Fw().Faults(), c, 0); // every line since the load
  EXPECT_EQ(binding_->Start(binding_, controller_, nullptr), c.expected) << Hex(c.expected);
  armed.ExpectFaultsAndLines(host_->LogTexts());
  EXPECT_EQ(host_->ServiceBinding(controller_), nullptr);
  EXPECT_EQ(Udp().ChildCount(), 0u);
  // The controller can still be started once the firmware behaves.
  EXPECT_EQ(host_->Connect(controller_), EFI_SUCCESS);
  EXPECT_NE(host_->ServiceBinding(controller_), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartFailTest,
    ::testing::Values(
        FailCase{"Record",
                 {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"DriverBindingStart: Allocate service binding buffer failed.\n"}},
        FailCase{"Udp4ServiceBinding",
                 {{"OpenProtocol", 2, EFI_UNSUPPORTED}},
                 EFI_UNSUPPORTED,
                 {"DriverBindingStart: Get Udp4SB failed with Unsupported.\n"}},
        FailCase{"ReserveChild",
                 {{"Udp4Sb.CreateChild", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"DriverBindingStart:Udp4SB->CreateChild failed Out of Resources.\n"}},
        FailCase{"ReserveOpen",
                 {{"OpenProtocol", 3, EFI_ACCESS_DENIED}},
                 EFI_ACCESS_DENIED,
                 {"DriverBindingStart: OpenProtocol Udp4 failed Access Denied.\n"}},
        FailCase{"InstallServiceBinding",
                 {{"InstallMultipleProtocolInterfaces", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"DriverBindingStart: Install Zem4ServiceBinding failed Out of Resources.\n"}}),
    CaseName);

// Stop of the reserve's handle with no children: what it refuses leaves the
// service binding in place, so a later Stop can still take the controller down.
class StopFailTest : public HostFailTest {};

TEST_P(StopFailTest, ReturnsTheFailureAndAStopLaterStillSucceeds) {
  const FailCase &c = GetParam();
  ASSERT_EQ(host_->Connect(controller_), EFI_SUCCESS);
  EFI_HANDLE reserve = Reserve();
  ASSERT_NE(reserve, nullptr);
  ArmedCase armed(host_->Fw().Faults(), c, host_->LogTexts().size());
  EXPECT_EQ(binding_->Stop(binding_, reserve, 0, nullptr), c.expected);
  armed.ExpectFaultsAndLines(host_->LogTexts());
  EXPECT_NE(host_->ServiceBinding(controller_), nullptr);
  EXPECT_EQ(Udp().ChildCount(), 1u);
  EXPECT_EQ(binding_->Stop(binding_, reserve, 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(host_->ServiceBinding(controller_), nullptr);
  EXPECT_EQ(Udp().ChildCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StopFailTest,
    ::testing::Values(
        FailCase{"OpenInformation",
                 {{"OpenProtocolInformation", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"DriverBindingStop: Get Udp Protocol failed Out of Resources.\n"}},
        FailCase{"NeitherProtocolOnTheParent",
                 {{"OpenProtocol", 1, EFI_UNSUPPORTED}, {"OpenProtocol", 2, EFI_NOT_FOUND}},
                 EFI_DEVICE_ERROR,
                 {"DriverBindingStop: Get Zem4SB or ZEM4 failed Not Found.\n"}},
        FailCase{"Udp4ServiceBinding",
                 {{"OpenProtocol", 2, EFI_NOT_FOUND}},
                 EFI_NOT_FOUND,
                 {"DriverBindingStop: ChildrenNum is 0 and begin destroy the conjuction UDP "
                  "child.\n",
                  "DriverBindingStop: Get Udp4SB failed Not Found on Parent controller.\n"}},
        FailCase{"UninstallServiceBinding",
                 {{"UninstallMultipleProtocolInterfaces", 1, EFI_ACCESS_DENIED}},
                 EFI_ACCESS_DENIED,
                 {"DriverBindingStop: ChildrenNum is 0 and begin destroy the conjuction UDP "
                  "child.\n"}}),
    CaseName);

// A UDP4 handle that no driver has opened has no parent to stop.
TEST_F(HostFailTest, StopOfAHandleNoDriverOpenedFindsNoParent) {
  ASSERT_EQ(host_->Connect(controller_), EFI_SUCCESS);
  EFI_SERVICE_BINDING_PROTOCOL *sb = Udp().ServiceBinding();
  EFI_HANDLE stray = nullptr;
  ASSERT_EQ(sb->CreateChild(sb, &stray), EFI_SUCCESS);
  EXPECT_EQ(binding_->Stop(binding_, stray, 0, nullptr), EFI_DEVICE_ERROR);
  ExpectLines(host_->LogTexts(), {"DriverBindingStop: No Parrent controller found.\n"});
  EXPECT_NE(host_->ServiceBinding(controller_), nullptr);
  EXPECT_EQ(sb->DestroyChild(sb, stray), EFI_SUCCESS);
}

} // namespace
} // namespace zem4::test::failpaths
