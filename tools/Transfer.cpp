#include "tools/Transfer.h"

#include "support/Globals.h"
#include "tools/Exit.h"
#include "tools/Gaps.h"
#include "tools/Signals.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace zem4::cli {
namespace {

constexpr const char *kZero = "0";

EFI_IPv4_ADDRESS Efi(net::Ipv4 a) {
  return EFI_IPv4_ADDRESS{{a.b[0], a.b[1], a.b[2], a.b[3]}};
}

std::string Lower(std::string s) {
  for (char &c : s)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<Zem4Option> MakeOptions(std::vector<std::string> &strings) {
  std::vector<Zem4Option> out;
  for (size_t i = 0; i + 1 < strings.size(); i += 2)
    out.push_back({strings[i].data(), strings[i + 1].data()});
  return out;
}

} // namespace

EFI_STATUS ConfigureChild(Zem4 *zem4, net::Ipv4 station, const ServerSpec &server) {
  Zem4ConfigData config{};
  config.UseDefaultSetting = FALSE;
  config.StationIp = Efi(station);
  config.SubnetMask = Efi(net::Ipv4(255, 0, 0, 0));
  config.LocalPort = 0;
  config.ServerIp = Efi(server.address);
  config.InitialServerPort = server.port;
  return zem4->Configure(zem4, &config);
}

std::optional<uint64_t> InfoReply::Size() const {
  auto it = options.find(ZEM4_OPT_TSIZE);
  if (it == options.end())
    return std::nullopt;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(it->second.data(), it->second.data() + it->second.size(), v);
  if (ec != std::errc() || end != it->second.data() + it->second.size())
    return std::nullopt;
  return v;
}

std::optional<std::string> InfoReply::Sha256() const {
  auto it = options.find(ZEM4_OPT_SHA256);
  if (it == options.end() || it->second.size() != 64)
    return std::nullopt;
  return Lower(it->second);
}

bool InfoReply::Multicast() const {
  return options.count(ZEM4_OPT_MULTICAST) != 0;
}

std::string InfoReply::Problem() const {
  if (malformed)
    return "the server's option acknowledgement is malformed";
  if (auto it = options.find(ZEM4_OPT_TSIZE); it != options.end()) {
    std::optional<uint64_t> size = Size();
    if (!size || *size > kMaxFileBytes)
      return "the server gave an impossible size: \"" + it->second + "\"";
  }
  if (auto it = options.find(ZEM4_OPT_SHA256); it != options.end()) {
    bool hex = it->second.size() == 64 &&
               std::all_of(it->second.begin(), it->second.end(),
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    if (!hex)
      return "the server gave a malformed SHA-256: \"" + it->second + "\"";
  }
  if (auto it = options.find(ZEM4_OPT_MULTICAST);
      it != options.end() && !ParseMcastAnswer(it->second))
    return "the server's multicast answer cannot be used: \"" + it->second + "\"";
  return {};
}

std::map<std::string, std::string> ParseOack(Zem4 *zem4, const std::vector<uint8_t> &packet,
                                             bool *malformed) {
  std::map<std::string, std::string> out;
  std::vector<uint8_t> copy = packet; // ParseOptions points into the packet
  UINT32 count = 0;
  Zem4Option *list = nullptr;
  if (EFI_ERROR(zem4->ParseOptions(zem4, UINT32(copy.size()), copy.data(), &count, &list))) {
    if (malformed)
      *malformed = true;
    return out;
  }
  for (UINT32 i = 0; i < count; ++i)
    if (list[i].OptionStr && list[i].ValueStr)
      out[Lower(reinterpret_cast<const char *>(list[i].OptionStr))] =
          reinterpret_cast<const char *>(list[i].ValueStr);
  if (list)
    gBS->FreePool(list);
  return out;
}

InfoReply QueryInfo(Host &host, Zem4 *zem4, const ServerSpec &server, const std::string &file,
                    unsigned timeoutS, bool multicast, const std::function<void()> &whileWaiting) {
  InfoReply reply;
  std::vector<std::string> strings = {ZEM4_OPT_TSIZE, kZero, ZEM4_OPT_SHA256, kZero};
  if (multicast) {
    strings.push_back(ZEM4_OPT_MULTICAST);
    strings.push_back("1");
  }
  std::vector<Zem4Option> options = MakeOptions(strings);
  std::string name = file;
  Zem4OverrideData override{};
  override.ServerIp = Efi(server.address);
  override.ServerPort = server.port;
  UINT32 length = 0;
  VOID *packet = nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
  host.SetIdleWatch([&] {
    if (whileWaiting)
      whileWaiting();
    bool late = std::chrono::steady_clock::now() >= deadline;
    if (late || gInterrupted) {
      reply.timedOut = late;
      reply.reconfigure = true;
      host.SetIdleWatch(nullptr);
      zem4->Configure(zem4, nullptr);
    }
  });
  reply.status = zem4->GetInfo(zem4, &override, reinterpret_cast<CHAR8 *>(name.data()), nullptr,
                               UINT8(options.size()), options.data(), &length, &packet);
  host.SetIdleWatch(nullptr);
  if (reply.timedOut && !packet)
    reply.status = EFI_TIMEOUT;
  if (!packet)
    return reply;
  std::vector<uint8_t> bytes(static_cast<uint8_t *>(packet),
                             static_cast<uint8_t *>(packet) + length);
  gBS->FreePool(packet);
  reply.haveReply = true;
  uint16_t opcode = 0;
  if (!Zem4WireGetOpcode(bytes.data(), bytes.size(), &opcode))
    return reply;
  if (opcode == ZEM4_OP_ERROR) {
    reply.isError = true;
    Zem4WireGetBe16(bytes.data(), bytes.size(), ZEM4_ERROR_CODE_OFFSET, &reply.errorCode);
    if (bytes.size() > ZEM4_ERROR_MESSAGE_OFFSET) {
      auto begin = bytes.begin() + ZEM4_ERROR_MESSAGE_OFFSET;
      auto end = std::find(begin, bytes.end(), uint8_t(0));
      for (auto it = begin; it != end; ++it)
        reply.errorText += std::isprint(*it) ? char(*it) : '?';
    }
  } else if (opcode == ZEM4_OP_OACK) {
    reply.options = ParseOack(zem4, bytes, &reply.malformed);
  }
  return reply;
}

Download::Download(Host &host, Zem4 *zem4, const ServerSpec &server, DownloadSpec spec)
    : host_(host), zem4_(zem4), spec_(std::move(spec)) {
  override_.ServerIp = Efi(server.address);
  override_.ServerPort = server.port;
  // Retries and time-outs stay the driver's own; the stall check is ours.
  strings_ = {ZEM4_OPT_TSIZE, kZero};
  if (spec_.multicast) {
    strings_.push_back(ZEM4_OPT_MULTICAST);
    strings_.push_back("1");
  }
  strings_.push_back(spec_.file);
  options_ = MakeOptions(strings_);
  start_ = lastProgress_ = std::chrono::steady_clock::now();
}

Download::~Download() {
  host_.Gaps().Forget(&gaps_);
  if (token_.Event)
    gBS->CloseEvent(token_.Event);
}

EFI_STATUS Download::Start() {
  EFI_STATUS st = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &OnDone, this, &token_.Event);
  if (EFI_ERROR(st))
    return st;
  token_.Status = EFI_SUCCESS;
  token_.OverrideData = &override_;
  token_.Filename = reinterpret_cast<CHAR8 *>(strings_.back().data());
  token_.OptionCount = UINT32(options_.size());
  token_.OptionList = options_.data();
  token_.Buffer = spec_.buffer;
  token_.BufferSize = spec_.buffer ? spec_.bufferSize : 0;
  token_.Context = this;
  // Buffer mode too: CheckPacket is how a stop reaches the driver.
  token_.CheckPacket = &CheckPacket;
  token_.TimeoutCallback = &TimeoutCallback;
  start_ = lastProgress_ = std::chrono::steady_clock::now();
  st = zem4_->ReadFile(zem4_, &token_);
  started_ = !EFI_ERROR(st);
  // The child is the UDP4 child of the transfer's unicast port.
  EFI_UDP4_PROTOCOL *udp = nullptr;
  EFI_UDP4_CONFIG_DATA port{};
  if (started_ && spec_.child &&
      !EFI_ERROR(gBS->HandleProtocol(spec_.child, const_cast<EFI_GUID *>(&gEfiUdp4ProtocolGuid),
                                     reinterpret_cast<VOID **>(&udp))) &&
      !EFI_ERROR(udp->GetModeData(udp, &port, nullptr, nullptr, nullptr)))
    host_.Gaps().Watch(net::Ipv4::FromBytes(port.StationAddress.Addr), port.StationPort, &gaps_);
  return st;
}

void Download::Stop(EndReason reason) {
  if (!started_ || done_ || stopping_)
    return;
  stopping_ = true;
  reason_ = reason;
  stopAsked_ = std::chrono::steady_clock::now();
}

void Download::Service() {
  if (done_)
    return;
  NoteProgress();
  if (!stopping_ || aborting_)
    return;
  // Only the refusal tells the server, and while blocks keep coming it is at
  // most a half window away: it is waited for. When no block comes to refuse
  // (a stalled transfer, a passive member between passes), or the window
  // trickles in for kStopLimitS, the transfer ends here and the server's own
  // time-out covers it.
  auto now = std::chrono::steady_clock::now();
  auto seconds = [now](auto since) { return std::chrono::duration<double>(now - since).count(); };
  if (seconds(std::max(stopAsked_, lastProgress_)) >= kStopGraceS ||
      seconds(stopAsked_) >= kStopLimitS) {
    aborting_ = true;
    zem4_->Configure(zem4_, nullptr);
  }
}

double Download::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Download::NoteProgress() {
  Zem4TransferStatus st{};
  if (EFI_ERROR(zem4_->GetStatus(zem4_, &st)))
    return;
  last_ = st;
  if (st.ReceivedBlocks != lastReceived_) {
    lastReceived_ = st.ReceivedBlocks;
    lastProgress_ = std::chrono::steady_clock::now();
  }
}

Zem4TransferStatus Download::Progress() {
  if (!done_)
    NoteProgress();
  return last_;
}

EFI_STATUS EFIAPI Download::CheckPacket(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Packet) {
  auto *self = static_cast<Download *>(Token->Context);
  self->lastProgress_ = std::chrono::steady_clock::now();
  if (self->stopping_)
    return EFI_ABORTED;
  if (self->spec_.onData && !self->spec_.onData(static_cast<const uint8_t *>(Packet), Length)) {
    self->stopping_ = true;
    self->reason_ = EndReason::WriteFailed;
    return EFI_ABORTED;
  }
  self->streamBytes_ += Length;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Download::TimeoutCallback(Zem4 *, Zem4Token *Token) {
  auto *self = static_cast<Download *>(Token->Context);
  self->NoteProgress();
  auto now = std::chrono::steady_clock::now();
  if (self->stopping_)
    return EFI_SUCCESS; // the stop goes through CheckPacket or Service()
  if (self->spec_.multicast && self->spec_.multicastWaitS && self->lastReceived_ == 0 &&
      self->Elapsed() > self->spec_.multicastWaitS)
    self->reason_ = EndReason::NoMulticast;
  else if (self->spec_.stallTimeoutS &&
           std::chrono::duration<double>(now - self->lastProgress_).count() >
               self->spec_.stallTimeoutS)
    self->reason_ = EndReason::Stalled;
  return self->reason_ == EndReason::None ? EFI_SUCCESS : EFI_ABORTED;
}

VOID EFIAPI Download::OnDone(EFI_EVENT, VOID *Context) {
  auto *self = static_cast<Download *>(Context);
  if (!self->done_) {
    self->NoteProgress();
    self->done_ = true;
    self->doneAt_ = self->Elapsed();
  }
}

Verdict ExplainServerError(uint16_t code, const std::string &text) {
  std::string message = "server error " + std::to_string(code) + ": " + text;
  switch (code) {
  case ZEM4_ERR_FILE_NOT_FOUND:
    return {kExitNotFound, message};
  case ZEM4_ERR_ACCESS_VIOLATION:
    return {kExitAccess, message};
  case ZEM4_ERR_NOT_READY:
    return {kExitBusy, message};
  default:
    return {kExitServerError, message};
  }
}

Verdict Explain(EFI_STATUS status, EndReason reason, const ServerSpec &server, unsigned stallS,
                const std::string &file) {
  const std::string what = file.empty() ? "" : " for " + file;
  switch (reason) {
  case EndReason::Interrupted:
    return {InterruptExit(), InterruptText()};
  case EndReason::Stalled:
    return {kExitTimeout, "no progress for " + std::to_string(stallS) + " s from " +
                              server.ToString() + ": timed out"};
  case EndReason::NoMulticast:
    return {kExitTimeout, "no multicast data from " + server.ToString()};
  case EndReason::WriteFailed:
    return {kExitLocalIo, "cannot write the output"};
  case EndReason::None:
    break;
  }
  if (status == EFI_SUCCESS)
    return {kExitOk, ""};
  if (status == EFI_TIMEOUT)
    return {kExitTimeout, "no answer from " + server.ToString() + what};
  // The driver ends a transfer so when UDP4 reports a port unreachable.
  if (status == EFI_ICMP_ERROR)
    return {kExitTimeout, "nothing listens at " + server.ToString()};
  if (status == EFI_NOT_READY)
    return {kExitBusy, "server busy (error 9): try again later"};
  if (status == EFI_TFTP_ERROR)
    return {kExitServerError, "the server ended the transfer with an error"};
  if (status == EFI_BUFFER_TOO_SMALL)
    return {kExitServerError, "the file on the server is larger than it said (changed?)"};
  if (status == EFI_PROTOCOL_ERROR)
    return {kExitServerError, "the server's reply could not be used"};
  if (status == EFI_ABORTED)
    return {kExitLocalIo, "the transfer was aborted while writing the output"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "the driver failed (status %#llx)",
                static_cast<unsigned long long>(status));
  return {kExitDriver, buf};
}

} // namespace zem4::cli
