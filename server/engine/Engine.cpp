#include "server/engine/Engine.h"

#include "server/engine/Transfer.h"
#include "zem4/Zem4Wire.h"

#include <cstring>
#include <fmt/chrono.h>
#include <fmt/format.h>

namespace zem4::server {

LogRecord TransferRecord(const TransferReport &R) {
  double Elapsed = std::chrono::duration<double>(R.Elapsed).count();
  LogRecord L{"transfer", "transfer", {}};
  // The name and a client's error text come from the peer: Text, escaped.
  L.Add("client", Word{R.Client.ToString()})
      .Add("file", Text{R.File})
      .Add("roles", Word{R.Roles})
      .Add("passes", uint64_t{R.Passes})
      .Add("bytes", R.Bytes)
      .Add("time", Seconds{Elapsed})
      .Add("rate", Rate{Elapsed > 0 ? static_cast<double>(R.Bytes) / Elapsed : 0.0})
      .Add("retransmissions", R.Retransmissions)
      .Add("repair_ranges", R.RepairRanges)
      .Add("outcome", Text{R.Outcome})
      .Add("served", Text{R.Served});
  return L;
}

std::string FormatReport(const TransferReport &R) {
  return TransferRecord(R).Pairs();
}

ClientEnd QueryEnd(std::span<const uint8_t> Datagram, bool Engaged) {
  uint16_t Code = 0;
  Zem4WireGetBe16(Datagram.data(), Datagram.size(), ZEM4_ERROR_CODE_OFFSET, &Code);
  const char *At = reinterpret_cast<const char *>(Datagram.data()) + ZEM4_ERROR_MESSAGE_OFFSET;
  std::string Message(At, strnlen(At, Datagram.size() - ZEM4_ERROR_MESSAGE_OFFSET));
  if (!Engaged && Code == ZEM4_ERR_NOT_DEFINED && Message == ZEM4_MSG_USER_CACELED) {
    return {"query", true};
  }
  return {fmt::format("client error {}: {}", Code, Message), false};
}

Engine::Engine(EngineConfig Config, FileSource &Files, EngineIo &Io)
    : Cfg(std::move(Config)), Files(Files), Io(Io) {
  Cfg.Window = std::clamp<uint32_t>(Cfg.Window, 1, ZEM4_HALF_WINDOW_BLOCKS);
  Cfg.FinCount = std::max<uint32_t>(Cfg.FinCount, 1);
  Cfg.OackSends = std::max<uint32_t>(Cfg.OackSends, 1);
}

Engine::~Engine() {
  while (!Pending.empty()) {
    DropPending(0);
  }
}

size_t Engine::ActiveClients() const {
  size_t N = 0;
  for (const auto &[Port, T] : Transfers) {
    N += T->ConfirmedMembers();
  }
  return N;
}

std::vector<Engine::GroupInfo> Engine::GroupList() const {
  std::vector<GroupInfo> Out;
  for (const auto &[Id, T] : Groups) {
    Out.push_back({GroupAddress(T->GroupSlot()), T->MemberCount()});
  }
  return Out;
}

void Engine::ApplyLimits(const EngineConfig &C) {
  Cfg.MaxSessions = C.MaxSessions;
  Cfg.MaxPerClient = C.MaxPerClient;
  Cfg.MaxGroups = C.MaxGroups;
  Cfg.MaxActivePasses = C.MaxActivePasses;
  Cfg.McastRateLimit = C.McastRateLimit;
  Cfg.Allow = C.Allow;
}

size_t Engine::UnconfirmedClients() const {
  size_t N = Pending.size();
  for (const auto &[Port, T] : Transfers) {
    N += T->UnconfirmedMembers();
  }
  return N;
}

size_t Engine::ClientsFrom(Ipv4 Address) const {
  size_t N = 0;
  for (const auto &[Port, T] : Transfers) {
    N += T->ConfirmedFrom(Address);
  }
  return N;
}

bool Engine::MakeRoomForUnconfirmed(Time Now) {
  while (UnconfirmedClients() >= std::max<uint32_t>(Cfg.MaxPending, 1)) {
    std::optional<std::pair<Time, Endpoint>> Oldest;
    Transfer *Owner = nullptr;
    if (!Pending.empty()) {
      Oldest = std::make_pair(Pending.front().Since, Pending.front().Client);
    }
    for (auto &[Port, T] : Transfers) {
      auto O = T->IsDone() ? std::nullopt : T->OldestUnconfirmed();
      if (O && (!Oldest || O->first < Oldest->first)) {
        Oldest = O;
        Owner = T.get();
      }
    }
    // An entry younger than a round trip's worth of patience is a client
    // about to list (a boot storm): the newcomer is told to come back
    // instead. A flood's entries grow old and go first.
    if (!Oldest || Now < Oldest->first + Cfg.PendingMinAge) {
      return false;
    }
    ++Counters.PendingEvicted;
    if (Owner != nullptr) {
      Owner->Evict(Oldest->second, Now);
      Reap();
    } else {
      DropPending(0);
    }
  }
  return true;
}

const char *Engine::StartPending(const Endpoint &Client, const Request &Req,
                                 std::shared_ptr<OpenFile> File, std::optional<std::string> Digest,
                                 Time Now) {
  if (!MakeRoomForUnconfirmed(Now)) {
    return UnconfirmedFull;
  }
  auto Port = Io.OpenPort();
  if (!Port) {
    ++Counters.NoPort;
    return NoFreePort;
  }
  Pending.push_back({Client, Req, std::move(File), std::move(Digest), *Port, Now});
  SendPendingOack(Pending.back());
  return nullptr;
}

void Engine::SendPendingOack(const PendingRequest &P) {
  std::vector<std::pair<std::string, std::string>> Options;
  bool Tsize = false, Sha = false;
  for (const auto &O : P.Req.Options) {
    if (!Tsize && OptionNameEquals(O.Name, ZEM4_OPT_TSIZE)) {
      Tsize = true;
      Options.emplace_back(ZEM4_OPT_TSIZE, std::to_string(P.File->Size()));
    } else if (!Sha && OptionNameEquals(O.Name, ZEM4_OPT_SHA256)) {
      Sha = true;
      if (P.Digest) {
        Options.emplace_back(ZEM4_OPT_SHA256, *P.Digest);
      }
    }
  }
  Send(P.Port, P.Client, BuildOack(Options));
}

void Engine::DropPending(size_t Index) {
  uint16_t Port = Pending[Index].Port;
  Pending.erase(Pending.begin() + static_cast<long>(Index));
  Io.ClosePort(Port);
}

void Engine::ExpirePending(Time Now) {
  while (!Pending.empty() && Pending.front().Since + Cfg.PendingLife <= Now) {
    ++Counters.PendingExpired;
    Io.Log(NoteLevel::Debug,
           LogRecord{
               "unconfirmed_expired", "request from {client} for {file} never confirmed", {}, true}
               .Add("client", Word{Pending.front().Client.ToString()})
               .Add("file", Text{Pending.front().Req.FileName}));
    DropPending(0);
  }
}

void Engine::OnPendingDatagram(size_t Index, const Endpoint &From,
                               std::span<const uint8_t> Datagram, Time Now) {
  PendingRequest &P = Pending[Index];
  uint16_t Op = 0;
  if (!(From == P.Client) || !Zem4WireGetOpcode(Datagram.data(), Datagram.size(), &Op)) {
    return; // strangers get nothing back
  }
  if (Op == ZEM4_OP_ERROR && Zem4WireErrorLengthOk(Datagram.size())) {
    // It has not listed yet: GetInfo ends here, and so does a client that
    // could not go on with our answer.
    ClientEnd End = QueryEnd(Datagram, false);
    TransferReport R;
    R.Client = P.Client;
    R.File = P.Req.FileName;
    R.Served = P.Req.Served;
    R.Roles = "unicast";
    R.Elapsed = Now - P.Since;
    R.Outcome = std::move(End.Outcome);
    R.Query = End.Query;
    ++(R.Query ? Counters.Queries : Counters.SessionsFailed);
    DropPending(Index);
    Io.Report(R);
    return;
  }
  if (Op != ZEM4_OP_RPL) {
    return;
  }
  auto List = ParseRpl(Datagram);
  if (!List || List->Sequence != 1) {
    ++Counters.Malformed; // a first list is RplSequence 1
    return;
  }
  if (ActiveClients() >= Cfg.MaxSessions || ClientsFrom(From.address) >= Cfg.MaxPerClient) {
    NoteRefusal(P.Client, ZEM4_ERR_NOT_READY, ZEM4_MSG_NOT_READY, P.Req.FileName,
                ActiveClients() >= Cfg.MaxSessions ? "session limit" : "per-client limit", Now);
    Send(P.Port, P.Client, BuildError(ZEM4_ERR_NOT_READY, ZEM4_MSG_NOT_READY));
    DropPending(Index);
    return;
  }
  // Confirmed: the session takes over the port its OACK came from.
  PendingRequest Taken = std::move(P);
  Pending.erase(Pending.begin() + static_cast<long>(Index));
  auto T = std::make_unique<Transfer>(*this, Taken.Port, std::move(Taken.File), Taken.Req.FileName,
                                      Taken.Req.Served, std::nullopt, Taken.Since);
  Transfer *Raw = T.get();
  Raw->LearnDigest(Taken.Digest);
  Transfers[Taken.Port] = std::move(T);
  Raw->Adopt(Taken.Client, Taken.Req, Taken.Since, Now);
  Raw->OnDatagram(From, Datagram, Now);
}

Transfer *Engine::FindClient(const Endpoint &Client, Transfer *Except) {
  for (auto &[Port, T] : Transfers) {
    if (T.get() != Except && !T->IsDone() && T->HasMember(Client)) {
      return T.get();
    }
  }
  return nullptr;
}

void Engine::Send(uint16_t FromPort, const Endpoint &To, std::span<const uint8_t> Datagram) {
  ++Counters.DatagramsSent;
  Counters.BytesSent += Datagram.size();
  Io.Send(FromPort, To, Datagram);
}

void Engine::Refuse(const Endpoint &To, uint16_t Code, std::string_view Message,
                    std::string_view Name, std::string_view Reason, Time Now) {
  NoteRefusal(To, Code, Message, Name, Reason, Now);
  Send(Cfg.ListenPort, To, BuildError(Code, Message));
}

void Engine::NoteRefusal(const Endpoint &To, uint16_t Code, std::string_view Message,
                         std::string_view Name, std::string_view Reason, Time Now) {
  ++Counters.Refused;
  LogRecord L{"refused", "refused", {}};
  L.Add("client", Word{To.ToString()})
      .Add("file", Text{std::string(Name)})
      .Add("code", uint64_t{Code})
      .Add("error", Text{std::string(Message)})
      .Add("reason", Text{std::string(Reason)});
  NoteLimited(Now, L);
}

void Engine::NoteLimited(Time Now, const LogRecord &Line) {
  // A flood of junk must not become a flood of log lines: a few a second,
  // and then how many were left out.
  if (Now >= NoteWindowStart + std::chrono::seconds(1)) {
    if (NotesSuppressed > 0) {
      Io.Log(NoteLevel::Info,
             LogRecord{"suppressed", "{lines} similar lines suppressed", {}, true}.Add(
                 "lines", NotesSuppressed));
    }
    NoteWindowStart = Now;
    NotesInWindow = 0;
    NotesSuppressed = 0;
  }
  if (NotesInWindow >= NotesPerSecond) {
    ++NotesSuppressed;
    ++Counters.LogSuppressed;
    return;
  }
  ++NotesInWindow;
  Io.Log(NoteLevel::Info, Line);
}

bool Engine::PlausibleSource(const Endpoint &From) const {
  uint8_t First = From.address.b[0];
  // 0/8 is "this network", 224/4 multicast, 240/4 reserved and broadcast.
  return From.port != 0 && First != 0 && First < 224 && !Cfg.McastNetwork.Contains(From.address);
}

void Engine::OnDatagram(const Endpoint &From, uint16_t LocalPort, std::span<const uint8_t> Datagram,
                        Time Now) {
  if (!PlausibleSource(From)) {
    // Forged: answering would send to a group (or everyone), as if it asked.
    ++Counters.BadSource;
    return;
  }
  if (LocalPort == Cfg.ListenPort) {
    OnRequest(From, Datagram, Now);
  } else if (auto It = Transfers.find(LocalPort); It != Transfers.end()) {
    It->second->OnDatagram(From, Datagram, Now);
  } else {
    for (size_t I = 0; I < Pending.size(); ++I) {
      if (Pending[I].Port == LocalPort) {
        OnPendingDatagram(I, From, Datagram, Now);
        break;
      }
    }
  }
  Reap();
}

void Engine::OnRequest(const Endpoint &From, std::span<const uint8_t> Datagram, Time Now) {
  uint16_t Op = 0;
  if (!Zem4WireGetOpcode(Datagram.data(), Datagram.size(), &Op) || Op != ZEM4_OP_RRQ) {
    ++Counters.Malformed; // nothing but requests belong here; say nothing
    return;
  }
  ++Counters.Requests;
  if (!ServeRequest(From, Datagram, Now)) {
    DropHeld(From); // it asks for something else now, or was answered meanwhile
  }
}

bool Engine::ServeRequest(const Endpoint &From, std::span<const uint8_t> Datagram, Time Now) {
  if (!Cfg.Allow.empty() && std::none_of(Cfg.Allow.begin(), Cfg.Allow.end(),
                                         [&](const Cidr &C) { return C.Contains(From.address); })) {
    auto Named = ParseRequest(Datagram);
    Refuse(From, ZEM4_ERR_ACCESS_VIOLATION, ZEM4_MSG_ACCESS_VIOLATION,
           Named ? std::string_view(Named->FileName) : std::string_view(), "not allowed", Now);
    return false;
  }
  auto Req = ParseRequest(Datagram);
  if (!Req) {
    ++Counters.Malformed;
    Refuse(From, ZEM4_ERR_ILLEGAL_OPERATION, ZEM4_MSG_ILLEGAL_OPERATION, {}, "malformed request",
           Now);
    return false;
  }
  Req->Served = Cfg.StrictNames ? Req->FileName : MapRequestName(Req->FileName);
  OpenResult Opened = Files.Open(Req->Served);
  switch (Opened.Error) {
  case OpenError::None:
    break;
  case OpenError::NotFound:
    Refuse(From, ZEM4_ERR_FILE_NOT_FOUND, ZEM4_MSG_FILE_NOT_FOUND, Req->FileName, "not found", Now);
    return false;
  case OpenError::AccessDenied:
    Refuse(From, ZEM4_ERR_ACCESS_VIOLATION, ZEM4_MSG_ACCESS_VIOLATION, Req->FileName,
           "not a servable file", Now);
    return false;
  case OpenError::TooLarge:
    Refuse(From, ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_FILE_TOO_LARGE, Req->FileName, "too large", Now);
    return false;
  }
  std::optional<std::string> Digest;
  if (Req->Sha256) {
    DigestResult D = DigestFor(*Opened.File);
    if (D.Status == DigestResult::State::Pending) {
      // Held, not dropped: the client would come back only after its 3 s
      // timer, and a storm would split into groups.
      Hold(From, Opened.File->Id(), Datagram, Now);
      return true;
    }
    if (AnyHeldFor(Opened.File->Id())) {
      // Ready without being reported: the held ones go first, and a copy of
      // one of them is answered by its replay alone.
      bool Copy = IsHeld(From, Opened.File->Id());
      ReleaseHeld(Opened.File->Id(), Now);
      if (Copy) {
        return false;
      }
    }
    if (D.Status == DigestResult::State::Ready) {
      Digest = std::move(D.Hex);
    }
  }
  if (Transfer *T = FindClient(From)) {
    if (T->File().Id() == Opened.File->Id() && T->File().Size() == Opened.File->Size()) {
      T->LearnDigest(Digest);
      T->OnRequest(From, *Req, Now); // a lost answer, or the next pass
      return false;
    }
    // The same client port now wants something else: it is done with the old one.
    T->Depart(From, "replaced by a new request", true, Now);
  }
  for (size_t I = 0; I < Pending.size(); ++I) {
    if (Pending[I].Client == From) {
      if (Pending[I].File->Id() == Opened.File->Id() &&
          Pending[I].File->Size() == Opened.File->Size()) {
        SendPendingOack(Pending[I]); // its answer was lost: one OACK per request
        return false;
      }
      DropPending(I); // it asks for something else now
      break;
    }
  }
  if (ActiveClients() >= Cfg.MaxSessions || ClientsFrom(From.address) >= Cfg.MaxPerClient) {
    Refuse(From, ZEM4_ERR_NOT_READY, ZEM4_MSG_NOT_READY, Req->FileName,
           ActiveClients() >= Cfg.MaxSessions ? "session limit" : "per-client limit", Now);
    return false;
  }
  if (Req->Multicast && Cfg.MulticastEnabled) {
    if (!MakeRoomForUnconfirmed(Now)) {
      Refuse(From, ZEM4_ERR_NOT_READY, ZEM4_MSG_NOT_READY, Req->FileName, UnconfirmedFull, Now);
      return false;
    }
    auto G = Groups.find(Opened.File->Id());
    if (G != Groups.end() && !G->second->IsDone() &&
        G->second->File().Size() == Opened.File->Size()) {
      G->second->LearnDigest(Digest);
      G->second->Join(From, *Req, Now);
      return false;
    }
    if (G == Groups.end() && StartGroup(From, *Req, Opened.File, Digest, Now) != nullptr) {
      return false;
    }
    // No group to be had: unicast serves it just as well, only not shared.
  }
  if (const char *Why = StartPending(From, *Req, std::move(Opened.File), Digest, Now)) {
    Refuse(From, ZEM4_ERR_NOT_READY, ZEM4_MSG_NOT_READY, Req->FileName, Why, Now);
  }
  return false;
}

bool Engine::StartUnicast(const Endpoint &Client, const Request &Req,
                          std::shared_ptr<OpenFile> File, std::optional<std::string> Digest,
                          Time Now) {
  auto Port = Io.OpenPort();
  if (!Port) {
    ++Counters.NoPort;
    return false;
  }
  auto T = std::make_unique<Transfer>(*this, *Port, std::move(File), Req.FileName, Req.Served,
                                      std::nullopt, Now);
  Transfer *Raw = T.get();
  Raw->LearnDigest(Digest);
  Transfers[*Port] = std::move(T);
  Raw->Join(Client, Req, Now);
  return true;
}

std::optional<int> Engine::FreeGroupSlot() const {
  uint64_t Addresses = Cfg.McastNetwork.Size() > 2 ? Cfg.McastNetwork.Size() - 2 : 0;
  uint64_t Limit =
      std::min<uint64_t>({Cfg.MaxGroups, Addresses, uint64_t{65535} - Cfg.McastPort + 1});
  for (uint64_t Slot = 0; Slot < Limit; ++Slot) {
    bool Used = false;
    for (const auto &[Id, T] : Groups) {
      Used |= T->GroupSlot() == static_cast<int>(Slot);
    }
    if (!Used) {
      return static_cast<int>(Slot);
    }
  }
  return std::nullopt;
}

Endpoint Engine::GroupAddress(int Slot) const {
  return {Ipv4::FromUint(Cfg.McastNetwork.network.ToUint() + 1 + static_cast<uint32_t>(Slot)),
          static_cast<uint16_t>(Cfg.McastPort + Slot)};
}

Transfer *Engine::StartGroup(const Endpoint &Client, const Request &Req,
                             std::shared_ptr<OpenFile> File, std::optional<std::string> Digest,
                             Time Now) {
  auto Slot = FreeGroupSlot();
  if (!Slot) {
    return nullptr;
  }
  auto Port = Io.OpenPort();
  if (!Port) {
    ++Counters.NoPort;
    return nullptr;
  }
  Transfer::Group G;
  G.Slot = *Slot;
  G.Address = GroupAddress(*Slot);
  FileId Id = File->Id();
  auto T =
      std::make_unique<Transfer>(*this, *Port, std::move(File), Req.FileName, Req.Served, G, Now);
  Transfer *Raw = T.get();
  Raw->LearnDigest(Digest);
  Transfers[*Port] = std::move(T);
  Groups[Id] = Raw;
  ++Counters.GroupsCreated;
  Io.Log(NoteLevel::Debug, LogRecord{"group_created", "group {group} for {file}", {}, true}
                               .Add("group", Word{G.Address.ToString()})
                               .Add("file", Text{Req.FileName}));
  Raw->Join(Client, Req, Now);
  return Raw;
}

void Engine::Reap() {
  for (auto It = Transfers.begin(); It != Transfers.end();) {
    if (It->second->IsDone()) {
      for (auto G = Groups.begin(); G != Groups.end(); ++G) {
        if (G->second == It->second.get()) {
          Groups.erase(G);
          break;
        }
      }
      It = Transfers.erase(It);
    } else {
      ++It;
    }
  }
}

DigestResult Engine::DigestFor(OpenFile &File) {
  // Asking is cheap (the source keeps its digests and queues each file
  // once), so a host that never reports a digest still gets its answers.
  DigestResult D = File.Digest();
  if (D.Status == DigestResult::State::Pending) {
    DigestsPending.insert(File.Id());
  } else {
    DigestsPending.erase(File.Id());
  }
  return D;
}

void Engine::OnDigestReady(const FileId &Id, Time Now) {
  if (DigestsPending.erase(Id) != 0) {
    Io.Log(NoteLevel::Debug,
           LogRecord{"digest_ready", "digest ready for file {device}:{inode}", {}, true}
               .Add("device", uint64_t{Id.Device})
               .Add("inode", uint64_t{Id.Inode}));
  }
  ReleaseHeld(Id, Now);
}

void Engine::OnTime(Time Now) {
  ExpirePending(Now);
  ExpireHeld(Now);
  for (auto &[Port, T] : Transfers) {
    auto D = T->Deadline();
    if (D && *D <= Now) {
      T->OnTime(Now);
    }
  }
  Reap();
}

std::optional<Time> Engine::NextDeadline() const {
  std::optional<Time> Next;
  if (!Pending.empty()) {
    Next = Pending.front().Since + Cfg.PendingLife;
  }
  if (auto H = HeldDeadline(); H && (!Next || *H < *Next)) {
    Next = H;
  }
  for (const auto &[Port, T] : Transfers) {
    auto D = T->Deadline();
    if (D && (!Next || *D < *Next)) {
      Next = D;
    }
  }
  return Next;
}

void Engine::Shutdown(Time Now) {
  ShutdownHeld();
  while (!Pending.empty()) {
    Send(Pending.front().Port, Pending.front().Client,
         BuildError(ZEM4_ERR_NOT_READY, ShuttingDownMessage));
    DropPending(0);
  }
  for (auto &[Port, T] : Transfers) {
    T->Stop(Now);
  }
  Reap();
}

} // namespace zem4::server
