#include "tests/common/DriverFixture.h"

#include "modes/Zem4Modes.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"

namespace zem4::test {

namespace {

// The child's address-wait timer only raises a flag.
VOID EFIAPI MappingTimeout(EFI_EVENT, VOID *Context) {
  static_cast<Zem4Instance *>(Context)->MappingTimedOut = 1;
}

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
  fw_ = std::make_unique<host::Firmware>(host::ClockMode::Virtual);
  gST = fw_->SystemTable();
  gBS = fw_->BootServices();
  DiagLogReset();
  Zem4InitPacketPool();
  OutOfOrderSeen = 0;
  net_ = std::make_unique<host::SimNetwork>([this] { return fw_->Now(); }, 1);
  fw_->AddDevice(*net_);
  agent_ = fw_->CreateImageHandle();
  controller_ = std::make_unique<host::Udp4Controller>(*fw_, *net_, kClientIp);
  instance_ = CreateInstance();
}

void DriverFixture::TearDown() {
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
  Zem4DrainPacketPool();
  if (checkLeaks_) {
    EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u) << "packets still alive";
    EXPECT_EQ(controller_->Unrecycled(), 0u) << "datagrams not recycled";
  }
  controller_.reset();
  fw_->RemoveImage(agent_);
  fw_->RemoveDevice(*net_);
  if (checkLeaks_) {
    for (const std::string &leak : fw_->LeakReport()) {
      ADD_FAILURE() << "leak: " << leak;
    }
  }
  for (const std::string &violation : fw_->Violations()) {
    ADD_FAILURE() << "firmware violation: " << violation;
  }
  net_.reset();
  gST = nullptr;
  gBS = nullptr;
  fw_.reset();
}

void DriverFixture::RecreateController(const host::Udp4ControllerOptions &options) {
  if (instance_ != nullptr) {
    DestroyInstance(instance_);
    instance_ = nullptr;
  }
  controller_.reset();
  controller_ = std::make_unique<host::Udp4Controller>(*fw_, *net_, kClientIp, options);
  instance_ = CreateInstance();
}

Zem4Instance *DriverFixture::CreateInstance() {
  VOID *memory = nullptr;
  EXPECT_EQ(gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4Instance), &memory), EFI_SUCCESS);
  auto *instance = static_cast<Zem4Instance *>(memory);
  gBS->SetMem(instance, sizeof(Zem4Instance), 0);
  instance->Signature = ZEM4_INSTANCE_SIGNATURE;
  instance->ControllerHandle = controller_->Handle();
  instance->Protocol = gZem4ProtocolTemplate;
  instance->Configured = 0;
  instance->State = ZEM4_STATE_IDLE;
  instance->MappingTimedOut = 0;
  EXPECT_EQ(gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, ZEM4_TPL_LOCK, MappingTimeout,
                             instance, &instance->MappingEvent),
            EFI_SUCCESS);
  EFI_HANDLE child = nullptr;
  EFI_SERVICE_BINDING_PROTOCOL *sb = controller_->ServiceBinding();
  EXPECT_EQ(sb->CreateChild(sb, &child), EFI_SUCCESS);
  EXPECT_EQ(gBS->OpenProtocol(child, const_cast<EFI_GUID *>(&gEfiUdp4ProtocolGuid),
                              reinterpret_cast<VOID **>(&instance->Udp), agent_, nullptr,
                              EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_SUCCESS);
  instance->ChildHandle = child;
  fw_->InstallProtocol(child, gZem4ProtocolGuid, &instance->Protocol);
  InitializeListHead(&instance->Link);
  return instance;
}

void DriverFixture::DestroyInstance(Zem4Instance *instance) {
  instance->InDestroy = 1;
  instance->Protocol.Configure(&instance->Protocol, nullptr);
  fw_->UninstallProtocol(instance->ChildHandle, gZem4ProtocolGuid, &instance->Protocol);
  EFI_SERVICE_BINDING_PROTOCOL *sb = controller_->ServiceBinding();
  sb->DestroyChild(sb, instance->ChildHandle);
  gBS->CloseEvent(instance->MappingEvent);
  gBS->FreePool(instance);
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
  host::Time100ns deadline = fw_->Now() + limit;
  while (!done()) {
    if (fw_->Now() > deadline) {
      return false;
    }
    fw_->Tick();
    if (done()) {
      return true;
    }
    if (!fw_->AdvanceIdle()) {
      return done();
    }
  }
  return true;
}

void DriverFixture::RunFor(host::Time100ns delta) { fw_->AdvanceBy(delta); }

std::vector<std::string> DriverFixture::Logs() const {
  std::vector<std::string> out;
  for (std::string text : fw_->Debug().Texts()) {
    size_t at;
    while ((at = text.find("\r\n")) != std::string::npos) {
      text.replace(at, 2, "\n");
    }
    out.push_back(std::move(text));
  }
  return out;
}

size_t DriverFixture::CountLog(std::string_view text) const {
  size_t count = 0;
  for (const std::string &line : Logs()) {
    count += (line == text);
  }
  return count;
}

void DriverFixture::ClearLogs() { fw_->Debug().Clear(); }

std::vector<host::CaptureRecord> DriverFixture::ClientSends() const {
  std::vector<host::CaptureRecord> out;
  for (const host::CaptureRecord &record : net_->Capture()) {
    if (record.datagram.src == kClientIp) {
      out.push_back(record);
    }
  }
  return out;
}

} // namespace zem4::test
