#include "tools/Host.h"

#include "driver/Zem4Driver.h"
#include "net/Socket.h"
#include "support/Globals.h"
#include "tools/Acks.h"
#include "tools/DriverImage.h"
#include "tools/Exit.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace zem4::cli {

namespace {
std::string StatusText(EFI_STATUS st) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "status %#llx", static_cast<unsigned long long>(st));
  return buf;
}
} // namespace

Host::Host(HostOptions options) : options_(std::move(options)) {
  fw_ = std::make_unique<host::Firmware>(host::ClockMode::Real);
  if (!options_.net.supersedes)
    options_.net.supersedes = AckSupersedes;
  options_.net.onDeliver = [this](net::Ipv4 port, const host::Datagram &d) {
    gaps_.Deliver(port, d);
  };
  net_ = std::make_unique<host::SocketNetwork>([this] { return fw_->Now(); }, options_.net);
  fw_->AddDevice(*net_);
  fw_->SetIdleWait([this](host::Time100ns until) {
    if (watch_) {
      auto watch = watch_; // it may clear itself
      watch();
      until = std::min(until, fw_->Now() + 1'000'000);
    }
    net_->Wait(until);
  });
  fw_->Debug().SetMask(0);
  for (uint32_t level : options_.logLevels)
    fw_->Debug().EnableLevel(level, true);

  if (!DriverImagePath().empty()) {
    std::string error;
    EFI_STATUS st = EFI_LOAD_ERROR;
    imageFile_ = host::LoadedDriverImage::LoadFile(*fw_, DriverImagePath(), error, &st);
    if (!imageFile_)
      throw Failure(kExitDriver, "the driver image " + DriverImagePath() +
                                     " did not start: " + error + " (" + StatusText(st) + ")");
    image_ = imageFile_->Handle();
    // The image keeps its own globals; ours serve this side's calls.
    gST = fw_->SystemTable();
    gBS = fw_->BootServices();
    return;
  }
  image_ = fw_->CreateImageHandle();
  EFI_STATUS st = fw_->StartImage(image_, Zem4DriverEntryPoint);
  if (EFI_ERROR(st)) {
    image_ = nullptr;
    throw Failure(kExitDriver, "the driver did not start (" + StatusText(st) + ")");
  }
}

Host::~Host() {
  if (!tornDown_)
    TearDown();
  gST = nullptr;
  gBS = nullptr;
}

EFI_HANDLE Host::AddStation(net::Ipv4 station) {
  controllers_.push_back(std::make_unique<host::Udp4Controller>(*fw_, *net_, station));
  EFI_HANDLE handle = controllers_.back()->Handle();
  EFI_STATUS st = fw_->ConnectController(handle);
  if (EFI_ERROR(st) || !fw_->GetProtocol(handle, gZem4ServiceBindingProtocolGuid))
    throw Failure(kExitDriver,
                  "the driver did not bind to " + station.ToString() + " (" + StatusText(st) + ")");
  return handle;
}

Host::Child Host::CreateChild(EFI_HANDLE controller) {
  auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(
      fw_->GetProtocol(controller, gZem4ServiceBindingProtocolGuid));
  Child c;
  c.controller = controller;
  EFI_STATUS st = sb ? sb->CreateChild(sb, &c.handle) : EFI_UNSUPPORTED;
  if (EFI_ERROR(st))
    throw Failure(kExitDriver, "no driver child (" + StatusText(st) + ")");
  c.zem4 = static_cast<Zem4 *>(fw_->GetProtocol(c.handle, gZem4ProtocolGuid));
  if (!c.zem4)
    throw Failure(kExitDriver, "the driver child has no Zem4 protocol");
  return c;
}

void Host::DestroyChild(Child &child) {
  if (!child.handle)
    return;
  auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(
      fw_->GetProtocol(child.controller, gZem4ServiceBindingProtocolGuid));
  if (sb)
    sb->DestroyChild(sb, child.handle);
  child = {};
}

void Host::Step() {
  const uint64_t before = net_->Activity();
  fw_->Tick();
  if (net_->Activity() == before)
    fw_->AdvanceIdle();
  FlushLog();
}

void Host::FlushLog() {
  auto &debug = fw_->Debug();
  if (debug.Lines().empty())
    return;
  if (options_.onLog) {
    for (const auto &line : debug.Lines()) {
      std::string text = line.Text();
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
      options_.onLog(text);
    }
  }
  debug.Clear();
}

EFI_STATUS Host::Disconnect(EFI_HANDLE controller) {
  // Firmware stops a network driver through the UDP4 children it holds
  // open; each stop may remove handles, so look again every round.
  for (int round = 0; round < 64; round++) {
    EFI_HANDLE target = nullptr;
    UINTN count = 0;
    EFI_HANDLE *handles = nullptr;
    if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, const_cast<EFI_GUID *>(&gEfiUdp4ProtocolGuid),
                                          nullptr, &count, &handles)))
      return EFI_SUCCESS;
    for (UINTN i = 0; i < count && !target; i++) {
      EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
      UINTN entryCount = 0;
      if (EFI_ERROR(gBS->OpenProtocolInformation(
              handles[i], const_cast<EFI_GUID *>(&gEfiUdp4ProtocolGuid), &entries, &entryCount)))
        continue;
      for (UINTN e = 0; e < entryCount; e++)
        if ((entries[e].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) &&
            entries[e].AgentHandle == image_ && entries[e].ControllerHandle == controller)
          target = handles[i];
      gBS->FreePool(entries);
    }
    gBS->FreePool(handles);
    if (!target)
      return EFI_SUCCESS;
    EFI_STATUS st = fw_->DisconnectController(target, image_);
    if (EFI_ERROR(st))
      return st;
  }
  return EFI_DEVICE_ERROR;
}

std::vector<std::string> Host::TearDown() {
  tornDown_ = true;
  FlushLog();
  if (image_) {
    for (auto &c : controllers_)
      Disconnect(c->Handle());
    if (EFI_ERROR(fw_->UnloadImage(image_)))
      fw_->RemoveImage(image_);
    image_ = nullptr;
  }
  if (gBS && !imageFile_) // an image drains its own pool
    Zem4DrainPacketPool();
  controllers_.clear();
  // The driver narrates its own unbinding at the error level; that is no
  // failure of anything the command did, so it is not shown.
  fw_->Debug().Clear();
  std::vector<std::string> report = fw_->LeakReport();
  fw_->SetIdleWait(nullptr);
  fw_->RemoveDevice(*net_);
  return report;
}

namespace {

net::Ipv4 Unicast(std::optional<net::Ipv4> address, const std::string &text, const char *what) {
  if (!address || !address->IsUnicast())
    throw Failure(kExitUsage, std::string(what) + " is not an IPv4 address: " + text);
  return *address;
}

} // namespace

net::Ipv4 ParseAddress(const std::string &text, const char *what) {
  return Unicast(net::Ipv4::Parse(text), text, what);
}

// A name whose last label is a number is an address, never a host name: the
// resolver would read "010.0.0.1" as octal and "127.1" as 127.0.0.1, sending
// somewhere other than what the text says.
namespace {
bool LooksNumeric(const std::string &name) {
  std::string_view last(name);
  if (!last.empty() && last.back() == '.')
    last.remove_suffix(1);
  if (size_t dot = last.rfind('.'); dot != std::string_view::npos)
    last.remove_prefix(dot + 1);
  if (last.size() > 1 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X'))
    return true;
  return !last.empty() &&
         std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; });
}
} // namespace

net::Ipv4 ResolveHost(const std::string &name, const char *what) {
  if (net::Ipv4::Parse(name) || LooksNumeric(name))
    return ParseAddress(name, what);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *list = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list)
    throw Failure(kExitUsage, std::string(what) + ": cannot resolve " + name + ": " +
                                  (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc)));
  net::Ipv4 resolved = net::FromSockaddr(*reinterpret_cast<sockaddr_in *>(list->ai_addr)).address;
  ::freeaddrinfo(list);
  return Unicast(resolved, resolved.ToString(), what);
}

net::Ipv4 RouteSource(net::Ipv4 server, uint16_t port) {
  // A connected UDP socket sends nothing; the kernel only picks its route.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw Failure(kExitFailure, std::string("no socket: ") + std::strerror(errno));
  sockaddr_in to = net::ToSockaddr({server, port});
  sockaddr_in local{};
  socklen_t length = sizeof local;
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0;
  int error = errno;
  ::close(fd);
  if (!ok)
    throw Failure(kExitUsage, "no route to " + server.ToString() + " (" + std::strerror(error) +
                                  "); name this client's address with --station");
  return net::FromSockaddr(local).address;
}

void ParseServer(const std::string &text, net::Ipv4 &address, uint16_t &port) {
  std::string host = text;
  port = ZEM4_DEFAULT_SERVER_PORT;
  if (auto colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    std::string p = text.substr(colon + 1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
    if (p.empty() || ec != std::errc() || end != p.data() + p.size() || value == 0 || value > 65535)
      throw Failure(kExitUsage, "bad server port: " + text);
    port = static_cast<uint16_t>(value);
  }
  address = ResolveHost(host, "--server");
}

} // namespace zem4::cli
