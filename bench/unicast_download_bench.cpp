// A whole unicast download through the driver on the simulated network, from
// the server's engine, in virtual time: blocks handed to the caller per
// second of real time. The argument is the file size in MiB (64 by default;
// 1 is handy under callgrind, e.g. --toggle-collect=Zem4RrqRxCallback, to
// count the receive path's instructions per block).
#include "host/Firmware.h"
#include "host/SimNetwork.h"
#include "host/Udp4.h"
#include "modes/Zem4Modes.h"
#include "protocol/Zem4Instance.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "tests/common/EngineServer.h"
#include "transport/Zem4Packet.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using namespace zem4;

constexpr host::Ipv4 kClient{127, 0, 3, 2};
constexpr host::Ipv4 kServer{127, 0, 3, 1};

struct Stream {
  uint64_t bytes = 0;
  uint64_t hash = 1469598103934665603ull; // FNV-1a over what the caller got
  bool done = false;
  EFI_STATUS status = EFI_SUCCESS;
  Zem4Token *token = nullptr;
};

uint64_t Fnv(uint64_t hash, const uint8_t *data, size_t length) {
  for (size_t i = 0; i < length; i++) {
    hash = (hash ^ data[i]) * 1099511628211ull;
  }
  return hash;
}

EFI_STATUS EFIAPI Take(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Data) {
  auto *stream = static_cast<Stream *>(Token->Context);
  stream->bytes += Length;
  stream->hash = Fnv(stream->hash, static_cast<const uint8_t *>(Data), Length);
  return EFI_SUCCESS;
}

VOID EFIAPI Finished(EFI_EVENT, VOID *Context) {
  auto *stream = static_cast<Stream *>(Context);
  stream->done = true;
  stream->status = stream->token->Status;
}

VOID EFIAPI MappingTimeout(EFI_EVENT, VOID *Context) {
  static_cast<Zem4Instance *>(Context)->MappingTimedOut = 1;
}

// One download on a fresh firmware; false when it did not deliver the file.
bool Download(const std::vector<uint8_t> &file, uint64_t fileHash) {
  host::Firmware fw(host::ClockMode::Virtual);
  gST = fw.SystemTable();
  gBS = fw.BootServices();
  DiagLogReset();
  Zem4InitPacketPool();
  OutOfOrderSeen = 0;
  host::SimNetwork net([&fw] { return fw.Now(); }, 1);
  net.SetCaptureEnabled(false);
  fw.AddDevice(net);
  EFI_HANDLE agent = fw.CreateImageHandle();
  bool ok = false;
  {
    host::Udp4Controller controller(fw, net, kClient);
    test::EngineServer server(fw, net, kServer);
    server.Files().Add("big.bin", file);

    // The child, as the service binding makes one.
    Zem4Instance *instance = nullptr;
    gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4Instance), (VOID **)&instance);
    gBS->SetMem(instance, sizeof(Zem4Instance), 0);
    instance->Signature = ZEM4_INSTANCE_SIGNATURE;
    instance->ControllerHandle = controller.Handle();
    instance->Protocol = gZem4ProtocolTemplate;
    instance->State = ZEM4_STATE_IDLE;
    gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, ZEM4_TPL_LOCK, MappingTimeout, instance,
                     &instance->MappingEvent);
    EFI_SERVICE_BINDING_PROTOCOL *sb = controller.ServiceBinding();
    EFI_HANDLE child = nullptr;
    sb->CreateChild(sb, &child);
    gBS->OpenProtocol(child, &gEfiUdp4ProtocolGuid, (VOID **)&instance->Udp, agent, nullptr,
                      EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    instance->ChildHandle = child;
    InitializeListHead(&instance->Link);
    Zem4 *proto = &instance->Protocol;

    Zem4ConfigData config{};
    for (int i = 0; i < 4; i++) {
      config.StationIp.Addr[i] = kClient.b[i];
      config.ServerIp.Addr[i] = kServer.b[i];
      config.SubnetMask.Addr[i] = i < 3 ? 255 : 0;
    }
    config.InitialServerPort = 5568;
    proto->Configure(proto, &config);

    Stream stream;
    Zem4Token token{};
    stream.token = &token;
    token.Filename = const_cast<CHAR8 *>("big.bin");
    token.Context = &stream;
    token.CheckPacket = Take;
    gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Finished, &stream, &token.Event);
    if (proto->ReadFile(proto, &token) == EFI_SUCCESS) {
      while (!stream.done) {
        fw.Tick();
        if (!stream.done && !fw.AdvanceIdle()) {
          break;
        }
      }
    }
    ok = stream.done && stream.status == EFI_SUCCESS && stream.bytes == file.size() &&
         stream.hash == fileHash;

    proto->Configure(proto, nullptr);
    sb->DestroyChild(sb, child);
    gBS->CloseEvent(instance->MappingEvent);
    gBS->CloseEvent(token.Event);
    gBS->FreePool(instance);
  }
  Zem4DrainPacketPool();
  fw.RemoveImage(agent);
  fw.RemoveDevice(net);
  gST = nullptr;
  gBS = nullptr;
  return ok;
}

void BM_UnicastDownload(benchmark::State &state) {
  size_t size = size_t(state.range(0)) * 1024 * 1024;
  std::vector<uint8_t> file(size);
  uint32_t x = 12345;
  for (auto &byte : file) {
    x = x * 1103515245u + 12345;
    byte = uint8_t(x >> 16);
  }
  uint64_t hash = Fnv(1469598103934665603ull, file.data(), file.size());
  uint64_t blocks = size / 1032 + 1;
  for (auto _ : state) {
    if (!Download(file, hash)) {
      state.SkipWithError("the download did not deliver the exact file");
      return;
    }
  }
  state.counters["blocks/s"] =
      benchmark::Counter(double(blocks) * double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(int64_t(size) * int64_t(state.iterations()));
}

BENCHMARK(BM_UnicastDownload)->Arg(64)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
