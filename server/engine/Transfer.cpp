#include "server/engine/Transfer.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <tuple>

namespace zem4::server {

// Copies of one request arrive within moments; a client asks again only
// after its own time-out (3 s).
constexpr Duration RequestRepeatGap = std::chrono::seconds(1);

Transfer::Transfer(Engine &E, uint16_t Port, std::shared_ptr<OpenFile> File, std::string Name,
                   std::string Served, std::optional<Group> G, Time Now)
    : E(E), LocalPort(Port), Source(std::move(File)), FileName(std::move(Name)),
      ServedName(std::move(Served)), McastGroup(G), TotalBlocks(BlockCount(Source->Size())),
      LastProgress(Now), LastHeard(Now), RateNext(Now) {}

Transfer::~Transfer() {
  E.Io.ClosePort(LocalPort);
}

Transfer::Member *Transfer::FindMember(const Endpoint &Client) {
  for (auto &M : Members) {
    if (M.Client == Client) {
      return &M;
    }
  }
  return nullptr;
}

const Transfer::Member *Transfer::FindMember(const Endpoint &Client) const {
  return const_cast<Transfer *>(this)->FindMember(Client);
}

size_t Transfer::MembersFrom(Ipv4 Address) const {
  return static_cast<size_t>(std::count_if(Members.begin(), Members.end(), [&](const Member &M) {
    return M.Client.address == Address;
  }));
}

Endpoint Transfer::DataDestination() const {
  if (McastGroup) {
    return McastGroup->Address;
  }
  return Members.empty() ? Endpoint{} : Members.front().Client;
}

void Transfer::Emit(const Endpoint &To, std::span<const uint8_t> Datagram) {
  E.Send(LocalPort, To, Datagram);
}

// ---------------------------------------------------------------------------
// Members and requests
// ---------------------------------------------------------------------------

void Transfer::Join(const Endpoint &Client, const Request &Req, Time Now) {
  Member M;
  M.Client = Client;
  M.Req = Req;
  M.Joined = Now;
  M.BytesAtJoin = DataBytes;
  M.RetransAtJoin = Retransmitted;
  LastHeard = Now;
  if (Members.empty()) {
    Members.push_back(std::move(M));
    BeginPass(Client, Now);
    return;
  }
  if (State == Phase::Finishing) {
    // Served from the next pass on, together with the members that ask again.
    M.Requested = true;
    M.HeardFin = true;
    Members.push_back(std::move(M));
    NoteAsk(Now);
    return;
  }
  M.EverPassive = true;
  M.Passes = 1;
  M.InPass = PassNumber;
  Members.push_back(std::move(M));
  NoteJoin(Now);
  SendOack(Members.back(), Role::Passive);
}

void Transfer::Adopt(const Endpoint &Client, const Request &Req, Time Asked, Time Now) {
  Member M;
  M.Client = Client;
  M.Req = Req;
  M.Joined = Asked;
  M.BytesAtJoin = DataBytes;
  M.RetransAtJoin = Retransmitted;
  LastHeard = Now;
  Members.push_back(std::move(M));
  BeginPass(Client, Now, true);
}

size_t Transfer::ConfirmedMembers() const {
  return static_cast<size_t>(
      std::count_if(Members.begin(), Members.end(), [&](const Member &M) { return Confirmed(M); }));
}

size_t Transfer::ConfirmedFrom(Ipv4 Address) const {
  return static_cast<size_t>(std::count_if(Members.begin(), Members.end(), [&](const Member &M) {
    return M.Client.address == Address && Confirmed(M);
  }));
}

std::optional<std::pair<Time, Endpoint>> Transfer::OldestUnconfirmed() const {
  std::optional<std::pair<Time, Endpoint>> Oldest;
  for (const auto &M : Members) {
    if (!Confirmed(M) && (!Oldest || M.Joined < Oldest->first)) {
      Oldest = std::make_pair(M.Joined, M.Client);
    }
  }
  return Oldest;
}

void Transfer::Evict(const Endpoint &Client, Time Now) {
  bool WasController = IsController(Client);
  Leave(Client, "evicted", false, Now, false, true);
  if (WasController && McastGroup && State != Phase::Finishing && !Members.empty()) {
    StartFinishing(Now); // the listeners ask again and one of them drives
  } else if (Members.empty()) {
    State = Phase::Done;
  }
}

void Transfer::OnRequest(const Endpoint &Client, const Request &Req, Time Now) {
  Member *M = FindMember(Client);
  if (M == nullptr) {
    return;
  }
  M->Req = Req; // asking again is not progress: LastHeard stays
  switch (State) {
  case Phase::Finishing:
    M->Requested = true;
    M->HeardFin = true;
    M->Undecided = false;
    NoteAsk(Now);
    return;
  case Phase::AwaitRpl:
  case Phase::Sending:
    if (!IsController(Client)) {
      LateAsk(*M, Now);
      SendOack(*M, Role::Passive); // its answer was lost, or it asks after the pass began
      return;
    }
    if (State == Phase::AwaitRpl && !ControllerHeard) {
      SendOack(*M, McastGroup ? Role::Active : Role::Unicast); // its answer was lost
      return;
    }
    // A request from the driving client while it is being served is most
    // likely a late copy: it still acknowledges. Only one that asks again
    // with nothing else in between has really started over.
    if (++ControllerRrqs == 1) {
      FirstControllerRrq = Now;
    }
    if (ControllerRrqs < 2 || Now - FirstControllerRrq < RequestRepeatGap) {
      return;
    }
    // Give it a fresh pass; listeners keep their windows, blocks are placed
    // by number. It counts as a pass of its own, and the time it has been
    // driving without progress runs on: asking again buys nothing.
    BeginPass(Client, Now);
    return;
  case Phase::Done:
    return;
  }
}

void Transfer::Leave(const Endpoint &Client, std::string Outcome, bool Success, Time Now,
                     bool Query, bool Silent) {
  auto It = std::find_if(Members.begin(), Members.end(),
                         [&](const Member &M) { return M.Client == Client; });
  if (It == Members.end()) {
    return;
  }
  TransferReport R;
  R.Client = It->Client;
  R.File = FileName;
  R.Served = ServedName;
  std::vector<std::string> Roles;
  if (!McastGroup) {
    Roles.push_back("unicast");
  } else {
    if (It->EverActive) {
      Roles.push_back("active");
    }
    if (It->EverPassive) {
      Roles.push_back("passive");
    }
  }
  R.Roles = fmt::format("{}", fmt::join(Roles, "+"));
  R.Passes = It->Passes;
  R.Bytes = DataBytes - It->BytesAtJoin;
  R.Elapsed = Now - It->Joined;
  R.Retransmissions = Retransmitted - It->RetransAtJoin;
  R.RepairRanges = It->RepairRanges;
  R.Outcome = std::move(Outcome);
  R.Success = Success;
  R.Query = Query;
  bool Moved = R.Outcome == "moved to unicast";
  if (Query) {
    ++E.Counters.Queries;
  } else if (!Moved && !Silent) {
    (Success ? E.Counters.SessionsServed : E.Counters.SessionsFailed)++;
  }
  if (IsController(Client)) {
    Controller.reset();
  }
  Members.erase(It);
  if (!Silent) {
    E.Io.Report(R);
  }
}

void Transfer::Stop(Time Now) {
  // Each member hears once that we are going, from the port it talks to.
  const Bytes Bye = BuildError(ZEM4_ERR_NOT_READY, ShuttingDownMessage);
  for (const auto &M : Members) {
    Emit(M.Client, Bye);
  }
  while (!Members.empty()) {
    Leave(Members.front().Client, "stopped", false, Now);
  }
  State = Phase::Done;
}

// ---------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------

void Transfer::BeginPass(const Endpoint &Active, Time Now, bool Answered) {
  if (!Controller || !(*Controller == Active)) {
    DriverSince = Now;
    LastHeard = Now;
  }
  State = Phase::AwaitRpl;
  ++PassNumber;
  ++E.Counters.Passes;
  PassBegan = Now;
  LastJoin = Now;
  Controller = Active;
  ControllerHeard = false;
  ControllerOacks = 0;
  ControllerRrqs = 0;
  ListWaitSince = Now;
  NextRplSeq = 1;
  RplRepeats = 0;
  RplAckSends = 0;
  PassiveOacksRepeated = false;
  Collected.clear();
  Retries = 0;
  LastProgress = Now;
  for (auto &M : Members) {
    if (M.Client == Active) {
      M.Passes++;
      M.InPass = PassNumber;
      M.Undecided = false;
      M.Requested = false;
      if (McastGroup) {
        M.EverActive = true;
        M.ActivePasses++;
      }
      if (!Answered) {
        SendOack(M, McastGroup ? Role::Active : Role::Unicast);
      }
      ControllerOacks = 1;
    }
  }
  for (auto &M : Members) {
    if (M.Requested) {
      M.Requested = false;
      M.Undecided = false;
      M.InPass = PassNumber;
      M.Passes++;
      M.EverPassive = true;
      SendOack(M, Role::Passive);
    }
  }
}

void Transfer::SendOack(const Member &M, Role R) {
  std::vector<std::pair<std::string, std::string>> Options;
  bool Tsize = false, Mcast = false, Sha = false;
  for (const auto &O : M.Req.Options) {
    if (!Tsize && OptionNameEquals(O.Name, ZEM4_OPT_TSIZE)) {
      Tsize = true;
      Options.emplace_back(ZEM4_OPT_TSIZE, std::to_string(Source->Size()));
    } else if (!Mcast && OptionNameEquals(O.Name, ZEM4_OPT_MULTICAST)) {
      Mcast = true;
      if (R != Role::Unicast && McastGroup) {
        Options.emplace_back(ZEM4_OPT_MULTICAST,
                             FormatMulticastValue(McastGroup->Address, R == Role::Active));
      }
    } else if (!Sha && OptionNameEquals(O.Name, ZEM4_OPT_SHA256)) {
      Sha = true;
      if (DigestHex) {
        Options.emplace_back(ZEM4_OPT_SHA256, *DigestHex);
      }
    }
  }
  Emit(M.Client, BuildOack(Options));
}

void Transfer::ResendControllerOack() {
  if (!Controller) {
    return;
  }
  if (const Member *M = FindMember(*Controller)) {
    SendOack(*M, McastGroup ? Role::Active : Role::Unicast);
    ++ControllerOacks;
  }
}

void Transfer::OnDatagram(const Endpoint &From, std::span<const uint8_t> Datagram, Time Now) {
  if (State == Phase::Done || FindMember(From) == nullptr) {
    return; // strangers get nothing back
  }
  uint16_t Op = 0;
  if (!Zem4WireGetOpcode(Datagram.data(), Datagram.size(), &Op)) {
    ++E.Counters.Malformed;
    return;
  }
  if (Op == ZEM4_OP_ERROR && Zem4WireErrorLengthOk(Datagram.size())) {
    // A member that joined a running group is sent the group's data without
    // asking for it: what tells a GetInfo is that it has said nothing since.
    const Member *M = FindMember(From);
    ClientEnd End = QueryEnd(Datagram, M->Listened || M->HeardFin);
    bool WasController = IsController(From);
    Leave(From, std::move(End.Outcome), false, Now, End.Query);
    if (WasController && McastGroup && State != Phase::Finishing) {
      StartFinishing(Now);
    } else if (Members.empty()) {
      State = Phase::Done;
    }
    return;
  }
  if (!IsController(From)) {
    return; // only the controlling client steers a pass
  }
  if (Op == ZEM4_OP_RPL) {
    if (auto R = ParseRpl(Datagram)) {
      OnRpl(*R, Now);
    } else {
      ++E.Counters.Malformed;
    }
  } else if (Op == ZEM4_OP_ACK8) {
    if (auto A = ParseAck8(Datagram)) {
      OnAck(*A, Now);
    } else {
      ++E.Counters.Malformed;
    }
  } else {
    ++E.Counters.Malformed;
  }
}

void Transfer::OnRpl(const Rpl &R, Time Now) {
  if (State == Phase::Sending) {
    // The client is still listing: none of this pass's data reached it.
    if (Window.Acked() == 1 && Window.HighestSent() > 0 && !Restarted) {
      Restarted = true;
      Window.GoBack();
      LastProgress = Now;
      Pump(Now);
    }
    return;
  }
  if (State != Phase::AwaitRpl) {
    return;
  }
  ControllerHeard = true;
  ControllerRrqs = 0;
  Retries = 0;
  LastProgress = Now;
  ListWaitSince = Now;
  Member *M = FindMember(*Controller);
  if (M != nullptr) {
    M->Listened = true;
  }
  if (R.Sequence == NextRplSeq) {
    LastHeard = Now; // idle means no progress, not no datagrams
    size_t Room =
        E.Cfg.MaxRepairRanges > Collected.size() ? E.Cfg.MaxRepairRanges - Collected.size() : 0;
    size_t Take = std::min(Room, R.Ranges.size());
    Collected.insert(Collected.end(), R.Ranges.begin(), R.Ranges.begin() + static_cast<long>(Take));
    bool WholeFile = R.Sequence == 1 && R.Ranges.size() == 1 && R.Ranges[0].First <= 1 &&
                     R.Ranges[0].Last >= TotalBlocks;
    if (M != nullptr && !WholeFile) {
      M->RepairRanges += Take; // repair ranges: what a client lists beyond "everything"
    }
    RplRepeats = 0;
    if (R.Ranges.size() == ZEM4_RPL_MAX_RANGES && Take == R.Ranges.size()) {
      ++NextRplSeq;
      Emit(*Controller, BuildRplAck(NextRplSeq));
      RplAckSends = 1;
      return;
    }
    StartSending(Now);
    return;
  }
  if (NextRplSeq > 1 && R.Sequence + 1 == NextRplSeq) {
    // A repeat of the last full list: the RPLACK was lost, or the client
    // will not go on listing; after a second repeat, send what we have.
    if (++RplRepeats >= 2) {
      StartSending(Now);
    } else {
      Emit(*Controller, BuildRplAck(NextRplSeq));
    }
    return;
  }
  // Any other sequence (0 at the start of a pass, or one from the future)
  // is not part of this list.
  ++E.Counters.Malformed;
}

void Transfer::StartSending(Time Now) {
  bool WholeFile =
      Collected.size() == 1 && Collected[0].First <= 1 && Collected[0].Last >= TotalBlocks;
  Schedule = WholeFile ? PassSchedule::WholeFile(TotalBlocks)
                       : PassSchedule::FromRanges(Collected, TotalBlocks);
  Collected.clear();
  Collected.shrink_to_fit();
  State = Phase::Sending;
  Window.Start(Schedule.Count(), E.Cfg.RetransmitTimeout);
  Restarted = false;
  Retries = 0;
  ProbeOnly = false;
  LastProgress = Now;
  RateNext = Now;
  Pump(Now);
}

void Transfer::OnAck(const Ack8 &A, Time Now) {
  if (State != Phase::Sending) {
    return;
  }
  uint32_t N = A.NextSequence;
  ControllerRrqs = 0;
  if (A.Window > 0) {
    ClientWindow = std::min<uint32_t>(A.Window, ZEM4_HALF_WINDOW_BLOCKS);
  }
  if (Window.OnAck(N, Now) == SendWindow::AckKind::Advanced) {
    Retries = 0;
    ProbeOnly = false;
    LastProgress = Now;
    LastHeard = Now;
    DriverSince = Now;
  }
  if (Window.AllAcknowledged()) {
    if (!Source->Unchanged()) { // never "complete" for a file that changed meanwhile
      Abort(ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_FILE_CHANGED, "file changed", Now);
      return;
    }
    StartFinishing(Now);
    return;
  }
  Pump(Now);
}

void Transfer::Pump(Time Now) {
  if (HoldingForJoins(Now)) {
    return;
  }
  RepeatPassiveOacks();
  uint32_t Limit = ProbeOnly ? 1 : std::max<uint32_t>(1, std::min(E.Cfg.Window, ClientWindow));
  while (State == Phase::Sending) {
    auto Seq = Window.Next(Limit);
    if (!Seq) {
      return;
    }
    if (McastGroup && E.Cfg.McastRateLimit > 0 && Now < RateNext) {
      return;
    }
    if (!SendData(*Seq, Now)) {
      return;
    }
    Window.Sent(*Seq, Now);
  }
}

bool Transfer::SendData(uint32_t Seq, Time Now) {
  // Once per window of new data: a file rewritten in place must not go out
  // as a mix of two versions.
  bool Again = Seq <= Window.HighestSent();
  if (!Again && (Seq - 1) % ZEM4_HALF_WINDOW_BLOCKS == 0 && !Source->Unchanged()) {
    Abort(ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_FILE_CHANGED, "file changed", Now);
    return false;
  }
  uint32_t Block = Schedule.BlockAt(Seq);
  uint32_t Length = BlockLength(Source->Size(), Block);
  std::span<uint8_t> Out(Buffer.data(), ZEM4_DATA8_HEADER_SIZE + Length);
  PutData8Header(Out, Seq, Block);
  if (!Source->ReadAt(uint64_t{Block - 1} * ZEM4_BLOCK_SIZE, Out.subspan(ZEM4_DATA8_DATA_OFFSET))) {
    Abort(ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_FILE_CHANGED, "file changed", Now);
    return false;
  }
  Emit(DataDestination(), Out);
  ++E.Counters.DataDatagrams;
  DataBytes += Length;
  if (Again) {
    ++Retransmitted;
    ++E.Counters.Retransmissions;
  }
  if (McastGroup && E.Cfg.McastRateLimit > 0) {
    auto Cost =
        Duration(static_cast<int64_t>(Out.size() * 1'000'000'000ull / E.Cfg.McastRateLimit));
    RateNext = std::max(RateNext, Now) + Cost;
  }
  return true;
}

void Transfer::StartFinishing(Time Now) {
  State = Phase::Finishing;
  FinSent = 0;
  FirstAsk.reset();
  for (auto &M : Members) {
    M.Requested = false;
  }
  SendFin();
  LastFinAt = Now;
  FinNext = Now + E.Cfg.FinInterval;
}

void Transfer::SendFin() {
  ++FinSent;
  // Never the passive-hold value: every member must act on it.
  Emit(DataDestination(), BuildFin(PassNumber == ZEM4_FIN_PASSIVE_HOLD ? 0 : PassNumber));
}

void Transfer::Depart(const Endpoint &Client, std::string Outcome, bool Success, Time Now) {
  bool WasController = IsController(Client);
  Leave(Client, std::move(Outcome), Success, Now);
  if (WasController && McastGroup && State != Phase::Finishing) {
    // Listeners must not wait out their own time-out: end the pass now so
    // they ask again and one of them drives the next. Even with no listener
    // left, the FIN tells the one we gave up on, if it still hears the
    // group, to ask again.
    StartFinishing(Now);
  } else if (Members.empty()) {
    State = Phase::Done;
  }
}

void Transfer::ControllerGone(std::string Outcome, Time Now) {
  if (Controller && McastGroup) {
    if (GivenUp.size() >= 256) {
      GivenUp.erase(GivenUp.begin());
    }
    GivenUp.insert(*Controller);
  }
  if (Controller) {
    Depart(*Controller, std::move(Outcome), false, Now);
  } else if (Members.empty()) {
    State = Phase::Done;
  } else {
    StartFinishing(Now);
  }
}

void Transfer::Abort(uint16_t Code, std::string_view Message, std::string Outcome, Time Now) {
  Emit(DataDestination(), BuildError(Code, Message));
  while (!Members.empty()) {
    Leave(Members.front().Client, Outcome, false, Now);
  }
  State = Phase::Done;
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

bool Transfer::OackResendDue() const {
  // Only a driver that has listed before, or asked again after an earlier
  // pass of its group, is sent its OACK again unasked: to anyone else, that
  // would multiply what a forged request brings back.
  const Member *M = Controller ? FindMember(*Controller) : nullptr;
  return !ControllerHeard && ControllerOacks < E.Cfg.OackSends && M != nullptr && Proven(*M);
}

bool Transfer::RplAckResendDue() const {
  // A lost RPLACK would leave the list half sent until the client's own
  // timer (3 s) repeats its last RPL; it has listed, so it hears us.
  return State == Phase::AwaitRpl && ControllerHeard && NextRplSeq > 1 &&
         RplAckSends < E.Cfg.OackSends;
}

Duration Transfer::RplAckBackoff() const {
  return AnswerBase() * (1 << std::min<uint32_t>(RplAckSends > 0 ? RplAckSends - 1 : 0, 3));
}

void Transfer::RepeatPassiveOacks() {
  // A passive member sends nothing, so a lost OACK shows only when its own
  // timer asks again 3 s later, after a repair pass of a few milliseconds.
  // Members that asked again after an earlier pass hear theirs once more as
  // the data starts; they ignore it once listening.
  if (!McastGroup || PassNumber < 2 || PassiveOacksRepeated) {
    return;
  }
  PassiveOacksRepeated = true;
  for (const auto &M : Members) {
    if (M.InPass == PassNumber && !IsController(M.Client) && Proven(M)) {
      SendOack(M, Role::Passive);
    }
  }
}

Duration Transfer::AnswerBase() const {
  // A group's members are on the same LAN and a repair pass takes a few
  // milliseconds: a lost answer is worth resending long before the general
  // retransmission time-out.
  return McastGroup ? E.Cfg.AnswerResend : E.Cfg.RetransmitTimeout;
}

Duration Transfer::OackBackoff() const {
  return AnswerBase() * (1 << std::min<uint32_t>(ControllerOacks > 0 ? ControllerOacks - 1 : 0, 3));
}

Duration Transfer::CurrentRto() const {
  // A unicast client is given time with a growing interval; a group moves on.
  uint32_t Shift = McastGroup ? 0 : std::min<uint32_t>(Retries, 3);
  return E.Cfg.RetransmitTimeout * (1 << Shift);
}

std::optional<Time> Transfer::DriverDeadline() const {
  if (!McastGroup || Members.size() < 2 || !Controller ||
      (State != Phase::AwaitRpl && State != Phase::Sending)) {
    return std::nullopt; // alone it holds back no one but itself
  }
  const Member *M = FindMember(*Controller);
  return DriverSince + (M != nullptr && M->Listened ? E.Cfg.ListPatience : E.Cfg.UnprovenPatience);
}

std::optional<Time> Transfer::Deadline() const {
  std::optional<Time> T = StateDeadline();
  if (auto D = DriverDeadline(); D && (!T || *D < *T)) {
    T = D;
  }
  return T;
}

std::optional<Time> Transfer::StateDeadline() const {
  switch (State) {
  case Phase::AwaitRpl: {
    Time T = std::min(ListWaitSince + E.Cfg.ListPatience, LastHeard + E.Cfg.IdleTimeout);
    if (OackResendDue()) {
      T = std::min(T, LastProgress + OackBackoff());
    }
    if (RplAckResendDue()) {
      T = std::min(T, LastProgress + RplAckBackoff());
    }
    return T;
  }
  case Phase::Sending: {
    Time T = LastHeard + E.Cfg.IdleTimeout;
    if (Outstanding()) {
      T = std::min(T, LastProgress + CurrentRto());
    }
    if (auto P = Window.ProbeDeadline()) {
      T = std::min(T, *P);
    }
    if (auto H = JoinHoldEnd()) {
      T = std::min(T, *H);
    }
    if (McastGroup && E.Cfg.McastRateLimit > 0 && !JoinHoldEnd() &&
        Window.Next(std::min(E.Cfg.Window, ClientWindow))) {
      T = std::min(T, RateNext); // (while joins are awaited, RateNext is already due)
    }
    return T;
  }
  case Phase::Finishing:
    if (auto G = GatherEnd()) {
      return std::min(FinNext, *G);
    }
    return FinNext;
  case Phase::Done:
    return std::nullopt;
  }
  return std::nullopt;
}

void Transfer::OnTime(Time Now) {
  if (State == Phase::Done) {
    return;
  }
  if (State != Phase::Finishing && Now >= LastHeard + E.Cfg.IdleTimeout) {
    while (!Members.empty()) {
      Leave(Members.front().Client, "timeout", false, Now);
    }
    State = Phase::Done;
    return;
  }
  if (auto D = DriverDeadline(); D && Now >= *D) {
    ++E.Counters.DriversReplaced;
    E.Io.Log(NoteLevel::Info,
             LogRecord{"driver_replaced",
                       "group {group}: driver {driver} made no progress, handing over",
                       {},
                       true}
                 .Add("group", Word{McastGroup->Address.ToString()})
                 .Add("driver", Word{Controller->ToString()}));
    ControllerGone("no progress", Now);
    return;
  }
  switch (State) {
  case Phase::AwaitRpl:
    // The client resends its list every few seconds itself; give it time
    // for a couple of losses before giving up on it.
    if (Now >= ListWaitSince + E.Cfg.ListPatience) {
      ControllerGone("timeout", Now);
      return;
    }
    if (OackResendDue() && Now >= LastProgress + OackBackoff()) {
      LastProgress = Now;
      ResendControllerOack();
    }
    if (RplAckResendDue() && Now >= LastProgress + RplAckBackoff()) {
      LastProgress = Now;
      Emit(*Controller, BuildRplAck(NextRplSeq));
      ++RplAckSends;
    }
    return;
  case Phase::Sending:
    if (Outstanding() && Now >= LastProgress + CurrentRto()) {
      // Without progress the window is resent once, then only its first
      // datagram: a list followed by silence must not cost megabytes.
      ++Retries;
      if (Retries > E.Cfg.MaxRetries) {
        ControllerGone("timeout", Now);
        return;
      }
      ProbeOnly = Retries >= 2;
      if (ProbeOnly) {
        Window.ResendFirst();
      } else {
        Window.GoBack();
      }
      LastProgress = Now;
    } else {
      Window.OnTime(Now); // a stalled window: its first block once more
    }
    Pump(Now);
    return;
  case Phase::Finishing:
    if (auto G = GatherEnd(); G && Now >= *G) {
      // A FIN still to go out, or the last one too recent to have been
      // answered by all: members that stay silent may still be listening.
      NextPass(Now, FinSent < E.Cfg.FinCount || Now < LastFinAt + E.Cfg.FinInterval);
      return;
    }
    if (Now >= FinNext) {
      if (FinSent < E.Cfg.FinCount) {
        SendFin();
        LastFinAt = Now;
        FinNext = Now + E.Cfg.FinInterval;
      } else {
        NextPass(Now, false);
      }
    }
    return;
  case Phase::Done:
    return;
  }
}

} // namespace zem4::server
