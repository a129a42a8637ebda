#include "tests/common/DriverFixture.h"
#include "tests/common/FirmwareFixture.h"

#include "modes/Zem4Modes.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"

namespace zem4::test {

namespace {

VOID EFIAPI RecordCompletion(EFI_EVENT, VOID *Context) {
  auto *completion = static_cast<Completion *>(Context);
  completion->count++;
  if (completion->token != nullptr) {
    completion->status = completion->token->Status;
  }
  if (host::Firmware::Current() != nullptr) {
    completion->time = host::Firmware::Current()->Now();
  }
  if (completion->onSignal) {
    completion->onSignal();
  }
}

} // namespace

void DriverFixture::SetUp() {
  host_ = std::make_unique<DriverHost>(1);
  fw_ = &host_->Fw();
  net_ = &host_->Net();
  ASSERT_EQ(host_->Load(), EFI_SUCCESS);
  agent_ = host_->Image();
  OutOfOrderSeen = 0;
  controllerHandle_ = host_->AddController(kClientIp);
  controller_ = &host_->Controller(0);
  ASSERT_EQ(host_->Connect(controllerHandle_), EFI_SUCCESS);
  instance_ = CreateInstance();
}

void DriverFixture::TearDown() {
  if (!host_) {
    return;
  }
  if (instance_ != nullptr) {
    DestroyInstance(instance_);
    instance_ = nullptr;
  }
  for (EFI_EVENT event : events_) {
    if (fw_->IsEvent(event)) {
      fw_->CloseEvent(event);
    }
  }
  events_.clear();
  std::vector<std::string> findings = host_->TearDown();
  if (checkLeaks_) {
    EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u) << "packets still alive";
  } else {
    std::erase_if(findings, [](const std::string &f) { return f.rfind("violation: ", 0) != 0; });
  }
  ExpectNoFindings(findings);
  host_.reset();
  agent_ = nullptr;
  fw_ = nullptr;
  net_ = nullptr;
  controller_ = nullptr;
}

void DriverFixture::UseNewController(host::Ipv4 address, host::Time100ns mappingDelay) {
  if (instance_ != nullptr) {
    DestroyInstance(instance_);
    instance_ = nullptr;
  }
  size_t index = 0;
  while (&host_->Controller(index) != controller_) {
    index++;
  }
  controllerHandle_ = host_->AddController(address, mappingDelay);
  controller_ = &host_->Controller(index + 1);
  ASSERT_EQ(host_->Connect(controllerHandle_), EFI_SUCCESS);
  instance_ = CreateInstance();
}

Zem4 *DriverFixture::Proto() {
  return InstanceProbe::ProtocolOf(instance_);
}

Zem4TransferStatus DriverFixture::Progress() {
  Zem4TransferStatus status{};
  EXPECT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  return status;
}

Zem4 *DriverFixture::ProtoOf(Zem4Instance *instance) {
  return InstanceProbe::ProtocolOf(instance);
}

Zem4Instance *DriverFixture::CreateInstance() {
  EFI_HANDLE child = nullptr;
  EXPECT_EQ(host_->CreateChild(controllerHandle_, &child), EFI_SUCCESS);
  Zem4 *protocol = host_->Protocol(child);
  EXPECT_NE(protocol, nullptr);
  return protocol == nullptr ? nullptr : InstanceProbe::RecordOf(protocol);
}

void DriverFixture::DestroyInstance(Zem4Instance *instance) {
  EXPECT_EQ(host_->DestroyChild(controllerHandle_, InstanceProbe(ProtoOf(instance)).ChildHandle()),
            EFI_SUCCESS);
}

void DriverFixture::DestroyMainInstance() {
  Zem4Instance *instance = instance_;
  instance_ = nullptr;
  if (instance != nullptr) {
    DestroyInstance(instance);
  }
}

Zem4ConfigData DriverFixture::DefaultConfig() const {
  Zem4ConfigData config{};
  config.UseDefaultSetting = FALSE;
  config.StationIp = EfiIp(kClientIp);
  config.SubnetMask = EfiIp(host::Ipv4(255, 255, 255, 0));
  config.LocalPort = 0;
  config.GatewayIp = EfiIp(host::Ipv4(0, 0, 0, 0));
  config.ServerIp = EfiIp(kServerIp);
  config.InitialServerPort = kServerPort;
  return config;
}

EFI_STATUS DriverFixture::ConfigureDefault() {
  Zem4ConfigData config = DefaultConfig();
  return Proto()->Configure(Proto(), &config);
}

EFI_EVENT DriverFixture::MakeEvent(Completion &completion, EFI_TPL tpl) {
  EFI_EVENT event = nullptr;
  EXPECT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, tpl, RecordCompletion, &completion, &event),
            EFI_SUCCESS);
  events_.push_back(event);
  return event;
}

void DriverFixture::PrepareToken(Zem4Token &token, Completion &completion, const char *file) {
  token = Zem4Token{};
  token.Filename = const_cast<CHAR8 *>(file);
  token.Event = MakeEvent(completion);
  completion.token = &token;
}

bool DriverFixture::RunUntil(const std::function<bool()> &done, host::Time100ns limit) {
  return host_->RunUntil(done, limit);
}

void DriverFixture::RunFor(host::Time100ns delta) {
  fw_->AdvanceBy(delta);
}

std::vector<std::string> DriverFixture::Logs() const {
  return host_->LogTexts();
}

size_t DriverFixture::CountLog(std::string_view text) const {
  size_t count = 0;
  for (const std::string &line : Logs()) {
    count += (line == text);
  }
  return count;
}

void DriverFixture::ClearLogs() {
  fw_->Debug().Clear();
}

std::vector<host::CaptureRecord> DriverFixture::ClientSends() const {
  std::vector<host::CaptureRecord> out;
  for (const host::CaptureRecord &record : net_->Capture()) {
    if (record.datagram.src == controller_->Address()) {
      out.push_back(record);
    }
  }
  return out;
}

} // namespace zem4::test
