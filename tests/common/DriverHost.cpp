#include "tests/common/DriverHost.h"
#include "tests/common/FirmwareFixture.h"

#include "driver/Zem4Driver.h"
#include "host/DebugMessage.h"
#include "host/FaultInjector.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"

namespace zem4::test {

EFI_STATUS EFIAPI AcceptData(Zem4 *, Zem4Token *, UINT32, VOID *) {
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CollectData(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Data) {
  auto *received = static_cast<std::vector<uint8_t> *>(Token->Context);
  const auto *bytes = static_cast<const uint8_t *>(Data);
  received->insert(received->end(), bytes, bytes + Length);
  return EFI_SUCCESS;
}

std::vector<uint8_t> MakeFile(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

DriverHost::DriverHost(uint64_t seed) {
  fw_ = std::make_unique<host::Firmware>(host::ClockMode::Virtual, seed);
  net_ = std::make_unique<host::SimNetwork>([this] { return fw_->Now(); }, seed);
  fw_->AddDevice(*net_);
}

DriverHost::~DriverHost() {
  if (!tornDown_) {
    // A test that never asked still ends with the checks.
    std::vector<std::string> findings = TearDown();
    if (::testing::UnitTest::GetInstance()->current_test_info() != nullptr) {
      ExpectNoFindings(findings);
    }
  }
  gST = nullptr;
  gBS = nullptr;
}

EFI_STATUS DriverHost::Load() {
  image_ = fw_->CreateImageHandle();
  EFI_STATUS status = fw_->StartImage(image_, Zem4DriverEntryPoint);
  if (EFI_ERROR(status)) {
    image_ = nullptr;
  }
  return status;
}

EFI_STATUS DriverHost::LoadImageFile(const std::string &path, std::string *error) {
  std::string text;
  EFI_STATUS status = EFI_LOAD_ERROR;
  imageFile_ = host::LoadedDriverImage::LoadFile(*fw_, path, text, &status);
  if (imageFile_ == nullptr) {
    if (error != nullptr) {
      *error = text;
    }
    return EFI_ERROR(status) ? status : EFI_LOAD_ERROR;
  }
  image_ = imageFile_->Handle();
  return status;
}

EFI_STATUS DriverHost::Unload() {
  EFI_STATUS status = fw_->UnloadImage(image_);
  if (!EFI_ERROR(status)) {
    image_ = nullptr;
  }
  return status;
}

EFI_HANDLE DriverHost::AddController(host::Ipv4 address, host::Time100ns mappingDelay) {
  host::Udp4ControllerOptions options;
  options.mappingDelay = mappingDelay;
  controllers_.push_back(std::make_unique<host::Udp4Controller>(*fw_, *net_, address, options));
  return controllers_.back()->Handle();
}

EFI_STATUS DriverHost::Disconnect(EFI_HANDLE controller) {
  // Each Stop may remove handles, so look again after every disconnection.
  EFI_BOOT_SERVICES *bs = fw_->BootServices();
  for (int round = 0; round < 64; round++) {
    EFI_HANDLE target = nullptr;
    UINTN count = 0;
    EFI_HANDLE *handles = nullptr;
    if (EFI_ERROR(
            bs->LocateHandleBuffer(ByProtocol, &gEfiUdp4ProtocolGuid, nullptr, &count, &handles))) {
      return EFI_SUCCESS;
    }
    for (UINTN i = 0; i < count && target == nullptr; i++) {
      EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
      UINTN entryCount = 0;
      if (EFI_ERROR(bs->OpenProtocolInformation(handles[i], &gEfiUdp4ProtocolGuid, &entries,
                                                &entryCount))) {
        continue;
      }
      for (UINTN e = 0; e < entryCount; e++) {
        if ((entries[e].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0 &&
            entries[e].AgentHandle == image_ && entries[e].ControllerHandle == controller) {
          target = handles[i];
        }
      }
      bs->FreePool(entries);
    }
    bs->FreePool(handles);
    if (target == nullptr) {
      return EFI_SUCCESS;
    }
    EFI_STATUS status = fw_->DisconnectController(target, image_);
    if (EFI_ERROR(status)) {
      return status;
    }
  }
  return EFI_DEVICE_ERROR;
}

EFI_SERVICE_BINDING_PROTOCOL *DriverHost::ServiceBinding(EFI_HANDLE controller) const {
  return static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(
      fw_->GetProtocol(controller, gZem4ServiceBindingProtocolGuid));
}

EFI_STATUS DriverHost::CreateChild(EFI_HANDLE controller, EFI_HANDLE *child) {
  EFI_SERVICE_BINDING_PROTOCOL *sb = ServiceBinding(controller);
  if (sb == nullptr) {
    return EFI_UNSUPPORTED;
  }
  return sb->CreateChild(sb, child);
}

EFI_STATUS DriverHost::DestroyChild(EFI_HANDLE controller, EFI_HANDLE child) {
  EFI_SERVICE_BINDING_PROTOCOL *sb = ServiceBinding(controller);
  if (sb == nullptr) {
    return EFI_UNSUPPORTED;
  }
  return sb->DestroyChild(sb, child);
}

Zem4 *DriverHost::Protocol(EFI_HANDLE child) const {
  return static_cast<Zem4 *>(fw_->GetProtocol(child, gZem4ProtocolGuid));
}

bool DriverHost::RunUntil(const std::function<bool()> &done, host::Time100ns limit) {
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

std::vector<std::string> DriverHost::TearDown() {
  tornDown_ = true;
  fw_->Faults().Clear();
  if (image_ != nullptr) {
    for (auto &controller : controllers_) {
      Disconnect(controller->Handle());
    }
  }
  if (image_ != nullptr) {
    if (EFI_ERROR(fw_->UnloadImage(image_))) {
      fw_->RemoveImage(image_);
    }
    image_ = nullptr;
  }
  // Packets that went back to the pool belong to no controller any more. An
  // image file drains its own pool (its globals are not ours).
  if (imageFile_ == nullptr && gBS != nullptr) {
    Zem4DrainPacketPool();
  }
  controllers_.clear();
  std::vector<std::string> report = fw_->Findings();
  fw_->RemoveDevice(*net_);
  return report;
}

std::vector<std::string> DriverHost::LogTexts() const {
  std::vector<std::string> out;
  for (std::string text : fw_->Debug().Texts()) {
    size_t at;
    while ((at = text.find("\r\n")) != std::string::npos) {
      text.erase(at, 1); // the \r
    }
    out.push_back(std::move(text));
  }
  return out;
}

} // namespace zem4::test
