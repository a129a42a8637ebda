#include "tests/storm/StormRig.h"

#include "support/Globals.h"
#include "tests/common/DriverHost.h"
#include "tests/common/EngineServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kServer{127, 0, 0, 10};
constexpr char kFileName[] = "storm.bin";

struct Client {
  host::Ipv4 address;
  EFI_HANDLE controller = nullptr;
  EFI_HANDLE child = nullptr;
  EFI_EVENT event = nullptr;
  Zem4Token token{};
  Zem4Option option = {const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")};
  const std::vector<uint8_t> *file = nullptr;
  uint64_t offset = 0;
  bool wrong = false;
  bool done = false;
  host::Time100ns endedAt = 0;
  host::Firmware *fw = nullptr;
  size_t *ended = nullptr; // shared count, so the run's end is no scan of every client
};

VOID EFIAPI Ended(EFI_EVENT, VOID *Context) {
  auto *c = static_cast<Client *>(Context);
  if (!c->done)
    ++*c->ended;
  c->done = true;
  c->endedAt = c->fw->Now();
}

// The copy is checked in order against the original: no buffer per client.
EFI_STATUS EFIAPI Compare(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Packet) {
  auto *c = static_cast<Client *>(Token->Context);
  if (c->offset + Length > c->file->size() ||
      std::memcmp(c->file->data() + c->offset, Packet, Length) != 0) {
    c->wrong = true;
    return EFI_ABORTED;
  }
  c->offset += Length;
  return EFI_SUCCESS;
}

host::Ipv4 ClientAddress(size_t i) {
  return host::Ipv4(127, 1, uint8_t(i / 250), uint8_t(2 + i % 250));
}

} // namespace

StormConfig StandardStorm(size_t clients, bool multicast, double loss) {
  StormConfig config;
  config.clients = clients;
  config.multicast = multicast;
  config.loss = loss;
  // One in ten asks a tenth of a second after the others.
  config.lateJoiners = clients / 10;
  config.lateBy = 1'000'000;
  config.serverLink = {{1'000'000'000, 256, 50'000}, {1'000'000'000, 256, 50'000}};
  config.clientLink = {{100'000'000, 64, 50'000}, {100'000'000, 64, 50'000}};
  return config;
}

std::vector<uint8_t> StormFile(size_t size) {
  std::vector<uint8_t> file(size);
  uint32_t x = 12345;
  for (auto &byte : file) {
    x = x * 1103515245u + 12345;
    byte = uint8_t(x >> 16);
  }
  return file;
}

StormResult RunStorm(const StormConfig &config, const std::vector<uint8_t> &file) {
  StormResult result;
  result.clients = config.clients;
  DriverHost rig(config.seed);
  if (EFI_ERROR(rig.Load())) {
    result.failure = "the driver did not load";
    result.findings = rig.TearDown();
    return result;
  }
  host::SimNetwork &net = rig.Net();
  net.SetCaptureEnabled(false);
  // A storm has a datagram per client in flight at once; the per-port bound
  // is the downlink's business here.
  net.SetReceiveQueueLimit(1 << 20);
  net.SetDefaultLink(config.clientLink);
  net.SetLink(kServer, config.serverLink);
  host::FaultProfile lossy;
  lossy.loss = config.loss;
  net.AddFlowProfile({.src = kServer}, lossy);

  // A server sized for the storm: every client is one session, every
  // request one pending answer.
  server::EngineConfig engineConfig;
  engineConfig.MaxSessions = uint32_t(std::max<size_t>(64, config.clients));
  engineConfig.MaxPending = uint32_t(std::max<size_t>(64, config.clients));
  auto server = std::make_unique<EngineServer>(rig.Fw(), net, kServer, engineConfig);
  server->Files().Add(kFileName, file);

  std::vector<std::unique_ptr<Client>> clients;
  size_t ended = 0;
  for (size_t i = 0; i < config.clients; i++) {
    auto c = std::make_unique<Client>();
    c->address = ClientAddress(i);
    c->file = &file;
    c->fw = &rig.Fw();
    c->ended = &ended;
    c->controller = rig.AddController(c->address);
    if (EFI_ERROR(rig.Connect(c->controller)) ||
        EFI_ERROR(rig.CreateChild(c->controller, &c->child))) {
      result.failure = "client " + std::to_string(i) + " has no child";
      break;
    }
    Zem4 *proto = rig.Protocol(c->child);
    Zem4ConfigData zc{};
    for (int b = 0; b < 4; b++) {
      zc.StationIp.Addr[b] = c->address.b[b];
      zc.ServerIp.Addr[b] = kServer.b[b];
      zc.SubnetMask.Addr[b] = b == 0 ? 255 : 0;
    }
    zc.InitialServerPort = 5568;
    if (EFI_ERROR(proto->Configure(proto, &zc)) ||
        EFI_ERROR(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Ended, c.get(), &c->event))) {
      result.failure = "client " + std::to_string(i) + " not configured";
      break;
    }
    c->token.Event = c->event;
    c->token.Filename = const_cast<CHAR8 *>(kFileName);
    c->token.Context = c.get();
    c->token.CheckPacket = Compare;
    c->token.OptionCount = config.multicast ? 1 : 0;
    c->token.OptionList = config.multicast ? &c->option : nullptr;
    clients.push_back(std::move(c));
  }

  auto ask = [&](size_t from, size_t to) {
    for (size_t i = from; i < to && i < clients.size(); i++) {
      Zem4 *proto = rig.Protocol(clients[i]->child);
      EFI_STATUS status = proto->ReadFile(proto, &clients[i]->token);
      if (EFI_ERROR(status) && result.failure.empty()) {
        result.failure = "ReadFile of client " + std::to_string(i) + " refused";
      }
    }
  };
  auto allDone = [&] { return ended == clients.size(); };
  auto wallStart = std::chrono::steady_clock::now();
  auto doneOrOverBudget = [&] {
    if (allDone())
      return true;
    if (config.wallBudget > 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count() >
            config.wallBudget) {
      result.overBudget = true;
      return true;
    }
    return false;
  };
  size_t late = std::min(config.lateJoiners, clients.size());
  size_t onTime = clients.size() - late;
  host::Time100ns start = rig.Fw().Now();
  if (result.failure.empty()) {
    ask(0, onTime);
    if (late > 0) {
      rig.RunUntil([] { return false; }, config.lateBy);
      ask(onTime, clients.size());
    }
    if (!rig.RunUntil(doneOrOverBudget, config.limit) || result.overBudget) {
      result.failure = result.overBudget ? "stopped at the wall-time budget"
                                         : "not every client ended within the limit";
    }
  }

  host::Time100ns last = start;
  for (size_t i = 0; i < clients.size(); i++) {
    Client &c = *clients[i];
    last = std::max(last, c.endedAt);
    result.deliveredBytes += c.offset;
    if (c.done && c.token.Status == EFI_SUCCESS && !c.wrong && c.offset == file.size()) {
      result.exact++;
    } else if (result.failure.empty()) {
      char status[24];
      std::snprintf(status, sizeof status, "0x%llx",
                    static_cast<unsigned long long>(c.token.Status));
      result.failure = "client " + std::to_string(i) + (c.wrong ? " got wrong bytes" : " ended") +
                       " with status " + status + " after " + std::to_string(c.offset) + " bytes";
    }
  }
  result.seconds = double(last - start) / 1e7;
  result.reachedSeconds = double(rig.Fw().Now() - start) / 1e7;
  host::LinkStats up = net.UplinkStats(kServer);
  result.serverWireBytes = up.bytes;
  const server::EngineStats &stats = server->Engine().Stats();
  result.serverPayloadBytes = stats.BytesSent;
  result.serverBytesPerFileByte = double(stats.BytesSent) / double(file.size());
  result.passes = stats.Passes;
  result.groups = stats.GroupsCreated;
  result.sessions = stats.SessionsServed;
  result.retransmissions = stats.Retransmissions;
  result.fallbacks = stats.UnicastFallbacks;
  result.linkDropped = net.Stats().linkDropped;
  for (const server::TransferReport &report : server->Reports())
    result.reports.push_back(server::FormatReport(report));

  for (auto &c : clients) {
    if (c->child != nullptr) {
      rig.DestroyChild(c->controller, c->child);
    }
    if (c->event != nullptr) {
      gBS->CloseEvent(c->event);
    }
  }
  server.reset();
  result.findings = rig.TearDown();
  return result;
}

} // namespace zem4::test
