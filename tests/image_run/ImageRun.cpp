#include "tests/image_run/ImageRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#ifndef ZEM4_RUN_IMAGE_PATH
#define ZEM4_RUN_IMAGE_PATH ""
#endif

namespace zem4::test {

const char *KindName(DriverKind kind) {
  return kind == DriverKind::Library ? "library" : "image";
}

std::string RunnableImagePath() {
  const std::string path = ZEM4_RUN_IMAGE_PATH;
  std::ifstream probe(path, std::ios::binary);
  return probe ? path : std::string();
}

bool ImageBuilt() {
  if (!RunnableImagePath().empty()) {
    return true;
  }
  if (std::getenv("ZEM4_REQUIRE_IMAGES") != nullptr) {
    [] { FAIL() << "driver image missing"; }();
  } else {
    [] { GTEST_SKIP() << "driver image not built"; }();
  }
  return false;
}

EFI_STATUS LoadDriver(DriverHost &host, DriverKind kind, std::string *why) {
  if (kind == DriverKind::Library) {
    return host.Load();
  }
  std::string error;
  const EFI_STATUS status = host.LoadImageFile(RunnableImagePath(), &error);
  if (EFI_ERROR(status)) {
    if (why != nullptr) {
      *why = error;
    }
    return status;
  }
  // The binding's functions must be the image's own, not the library's.
  const host::LoadedDriverImage *file = host.ImageFile();
  auto *binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(
      host.Fw().GetProtocol(host.Image(), gEfiDriverBindingProtocolGuid));
  const auto base = reinterpret_cast<uintptr_t>(file->Image().Base());
  const auto inside = [&](auto fn) {
    const auto at = reinterpret_cast<uintptr_t>(fn);
    return at >= base && at < base + file->Image().Size();
  };
  if (binding == nullptr || !inside(binding->Supported) || !inside(binding->Start) ||
      !inside(binding->Stop) || binding->ImageHandle != host.Image()) {
    if (why != nullptr) {
      *why = "the driver binding does not come from the image";
    }
    return EFI_LOAD_ERROR;
  }
  return status;
}

std::string Join(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &line : lines) {
    out += "  " + line + "\n";
  }
  return out;
}

Bytes Transfer::Received() const {
  if (!stream) {
    return buffer;
  }
  Bytes out;
  for (const Bytes &run : runs) {
    out.insert(out.end(), run.begin(), run.end());
  }
  return out;
}

namespace {

VOID EFIAPI CountSignal(EFI_EVENT, VOID *context) {
  ++static_cast<Transfer *>(context)->signalled;
}

EFI_STATUS EFIAPI StreamSink(Zem4 *, Zem4Token *token, UINT32 length, VOID *data) {
  auto *t = static_cast<Transfer *>(token->Context);
  const auto *bytes = static_cast<const uint8_t *>(data);
  t->runs.emplace_back(bytes, bytes + length);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI TimerHook(Zem4 *, Zem4Token *token) {
  auto *t = static_cast<Transfer *>(token->Context);
  return t->onTimer ? t->onTimer() : EFI_SUCCESS;
}

} // namespace

EFI_STATUS ConfigureChild(Zem4 *proto, host::Ipv4 station, host::Ipv4 server, uint16_t serverPort) {
  Zem4ConfigData config{};
  config.StationIp = EfiIp(station);
  config.ServerIp = EfiIp(server);
  config.SubnetMask = {{255, 0, 0, 0}};
  config.InitialServerPort = serverPort;
  return proto->Configure(proto, &config);
}

EFI_STATUS StartTransfer(DriverHost &host, Transfer &t) {
  EFI_STATUS status = host.CreateChild(t.controller, &t.child);
  if (EFI_ERROR(status)) {
    t.child = nullptr;
    return status;
  }
  Zem4 *proto = host.Protocol(t.child);
  if (proto == nullptr) {
    return EFI_NOT_FOUND;
  }
  status = ConfigureChild(proto, t.station, t.server, t.serverPort);
  if (EFI_ERROR(status)) {
    return status;
  }
  status = host.Fw().CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountSignal, &t, &t.event);
  if (EFI_ERROR(status)) {
    t.event = nullptr;
    return status;
  }
  t.token = Zem4Token{};
  t.token.Event = t.event;
  t.token.Filename = const_cast<CHAR8 *>(t.file.c_str());
  t.token.Context = &t;
  t.token.TimeoutCallback = TimerHook;
  if (t.stream) {
    t.token.CheckPacket = StreamSink;
  } else {
    t.buffer.assign(t.bufferSize, 0xEE);
    t.token.Buffer = t.buffer.data();
    t.token.BufferSize = t.buffer.size();
  }
  t.optionList.clear();
  for (auto &[name, value] : t.options) {
    t.optionList.push_back({const_cast<CHAR8 *>(name.c_str()), const_cast<CHAR8 *>(value.c_str())});
  }
  t.token.OptionCount = static_cast<UINT32>(t.optionList.size());
  t.token.OptionList = t.optionList.empty() ? nullptr : t.optionList.data();
  return proto->ReadFile(proto, &t.token);
}

EFI_STATUS EndTransfer(DriverHost &host, Transfer &t) {
  EFI_STATUS status = EFI_SUCCESS;
  if (t.child != nullptr) {
    status = host.DestroyChild(t.controller, t.child);
    t.child = nullptr;
  }
  if (t.event != nullptr) {
    host.Fw().CloseEvent(t.event);
    t.event = nullptr;
  }
  return status;
}

void ImageWithEngine::SetUp() {
  if (!ImageBuilt()) {
    return;
  }
  std::string why;
  ASSERT_EQ(LoadDriver(host_, DriverKind::Image, &why), EFI_SUCCESS) << why;
  engine_ = std::make_unique<EngineServer>(host_.Fw(), host_.Net(), server_);
}

void ImageWithEngine::TearDown() {
  engine_.reset();
  auto leaks = host_.TearDown();
  EXPECT_TRUE(leaks.empty()) << Join(leaks);
}

} // namespace zem4::test
