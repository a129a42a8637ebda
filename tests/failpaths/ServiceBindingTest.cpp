// The driver's service binding when the firmware refuses a step of
// CreateChild or DestroyChild: the status, the line, and the child count.
#include "tests/failpaths/FailPaths.h"

#include "driver/Zem4Driver.h"

namespace zem4::test::failpaths {
namespace {

enum Variant { kFirstChild, kSecondChild, kLastChild };

class ServiceBindingFailTest : public HostFailTest {
protected:
  void SetUp() override {
    HostFailTest::SetUp();
    ASSERT_EQ(host_->Connect(controller_), EFI_SUCCESS);
    sb_ = host_->ServiceBinding(controller_);
    ASSERT_NE(sb_, nullptr);
  }
  UINTN Children() { return ZEM4_SERVICE_BINDING_FROM_THIS(sb_)->ChildrenNum; }
  EFI_SERVICE_BINDING_PROTOCOL *sb_ = nullptr;
};

class CreateChildFailTest : public ServiceBindingFailTest {};

TEST_P(CreateChildFailTest, ReturnsTheFailureAndMakesNoChild) {
  const FailCase &c = GetParam();
  EFI_HANDLE first = nullptr;
  if (c.variant == kSecondChild) {
    ASSERT_EQ(sb_->CreateChild(sb_, &first), EFI_SUCCESS);
  }
  const UINTN children = Children();
  const size_t udpChildren = Udp().ChildCount();
  ArmedCase armed(host_->Fw().Faults(), c, host_->LogTexts().size());
  EFI_HANDLE child = nullptr;
  EXPECT_EQ(sb_->CreateChild(sb_, &child), c.expected) << Hex(c.expected);
  armed.ExpectFaultsAndLines(host_->LogTexts());
  EXPECT_EQ(Children(), children);
  EXPECT_EQ(Udp().ChildCount(), udpChildren);
  // Once the firmware behaves the same call makes the child.
  child = nullptr;
  EXPECT_EQ(sb_->CreateChild(sb_, &child), EFI_SUCCESS);
  EXPECT_EQ(Children(), children + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CreateChildFailTest,
    ::testing::Values(
        FailCase{"Instance", {{"AllocatePool", 1, EFI_OUT_OF_RESOURCES}}, EFI_OUT_OF_RESOURCES, {}},
        FailCase{"MappingEvent",
                 {{"CreateEvent", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4SBCreate: Create mapping timeout event return Out of Resources\n"}},
        FailCase{"ReserveOpen",
                 {{"OpenProtocol", 1, EFI_ACCESS_DENIED}},
                 EFI_ACCESS_DENIED,
                 {"Zem4SBCreate: Open Udp protocol on child handler failed.\n"},
                 kFirstChild},
        FailCase{"Udp4ServiceBinding",
                 {{"OpenProtocol", 1, EFI_NOT_FOUND}},
                 EFI_NOT_FOUND,
                 {"Zem4SBCreate: Get UdpSb faild with Not Found.\n"},
                 kSecondChild},
        FailCase{"Udp4Child",
                 {{"Udp4Sb.CreateChild", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4SBCreate: UdpSb->CreateChild faild with Out of Resources.\n"},
                 kSecondChild},
        FailCase{"Udp4Open",
                 {{"OpenProtocol", 2, EFI_ACCESS_DENIED}},
                 EFI_ACCESS_DENIED,
                 {"Zem4SBCreate: Open Udp4 protocol failed with Access Denied.\n"},
                 kSecondChild},
        FailCase{"InstallOnTheReserve",
                 {{"InstallMultipleProtocolInterfaces", 1, EFI_OUT_OF_RESOURCES}},
                 EFI_OUT_OF_RESOURCES,
                 {"Zem4ServiceBindingCreateChild: Install Zem4 on child faild with Out of "
                  "Resources.\n"},
                 kFirstChild},
        FailCase{"InstallOnANewChild",
                 {{"InstallMultipleProtocolInterfaces", 1, EFI_INVALID_PARAMETER}},
                 EFI_INVALID_PARAMETER,
                 {"Zem4ServiceBindingCreateChild: Install Zem4 on child faild with Invalid "
                  "Parameter.\n"},
                 kSecondChild}),
    CaseName);

class DestroyChildFailTest : public ServiceBindingFailTest {};

TEST_P(DestroyChildFailTest, ReturnsTheFailure) {
  const FailCase &c = GetParam();
  EFI_HANDLE children[2] = {};
  ASSERT_EQ(sb_->CreateChild(sb_, &children[0]), EFI_SUCCESS);
  ASSERT_EQ(sb_->CreateChild(sb_, &children[1]), EFI_SUCCESS);
  if (c.variant == kLastChild) {
    ASSERT_EQ(sb_->DestroyChild(sb_, children[0]), EFI_SUCCESS);
  }
  EFI_HANDLE target = children[1];
  const UINTN count = Children();
  ArmedCase armed(host_->Fw().Faults(), c, host_->LogTexts().size());
  EXPECT_EQ(sb_->DestroyChild(sb_, target), c.expected) << Hex(c.expected);
  armed.ExpectFaultsAndLines(host_->LogTexts());
  if (host_->Protocol(target) != nullptr) {
    // Refused before anything changed: the child is still there and goes now.
    EXPECT_EQ(Children(), count);
    EXPECT_EQ(sb_->DestroyChild(sb_, target), EFI_SUCCESS);
  } else if (c.variant != kLastChild) {
    // Out of the list, but UDP4's child could not be given back without
    // its service binding: nothing of ours holds it any more.
    EXPECT_EQ(Children(), count - 1);
    EFI_SERVICE_BINDING_PROTOCOL *udp = Udp().ServiceBinding();
    EXPECT_EQ(udp->DestroyChild(udp, target), EFI_SUCCESS);
  } else {
    EXPECT_EQ(Children(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DestroyChildFailTest,
    ::testing::Values(FailCase{"Zem4Interface",
                               {{"OpenProtocol", 1, EFI_DEVICE_ERROR}},
                               EFI_DEVICE_ERROR,
                               {"DestroyChild: Get Zem4 interface failed Device Error.\n"}},
                      FailCase{"Uninstall",
                               {{"UninstallMultipleProtocolInterfaces", 1, EFI_ACCESS_DENIED}},
                               EFI_ACCESS_DENIED,
                               {}},
                      FailCase{"Udp4ServiceBinding",
                               {{"OpenProtocol", 2, EFI_NOT_FOUND}},
                               EFI_NOT_FOUND,
                               {"DestroyChild: Get Udp4SB failed with Not Found.\n"}},
                      FailCase{"Udp4ServiceBindingOfTheLastChild",
                               {{"OpenProtocol", 2, EFI_NOT_FOUND}},
                               EFI_NOT_FOUND,
                               {"DestroyChild: Get Udp4SB failed with Not Found.\n"},
                               kLastChild}),
    CaseName);

TEST_F(ServiceBindingFailTest, DestroyChildOfAHandleWithoutZem4) {
  EXPECT_EQ(sb_->DestroyChild(sb_, controller_), EFI_UNSUPPORTED);
  ExpectLines(host_->LogTexts(), {"DestroyChild: Get Zem4 interface failed Unsupported.\n"});
  EXPECT_NE(host_->ServiceBinding(controller_), nullptr);
}

} // namespace
} // namespace zem4::test::failpaths
