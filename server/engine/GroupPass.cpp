// When a pass begins and when its data starts. Members started together ask
// a few milliseconds apart: a group's first DATA8 waits until they have
// joined (a short, bounded grace), so none of them misses the first window
// and needs a repair pass for it. At the end of a pass, the members that ask
// again are gathered the same way and the next pass begins then, instead of
// after the whole FIN series: a member that asked again ignores FINs, and
// no FIN of the old pass goes out once the new one has begun.
#include "server/engine/Transfer.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <tuple>

namespace zem4::server {

void Transfer::NoteAsk(Time Now) {
  if (!FirstAsk) {
    FirstAsk = Now;
  }
  LastAsk = Now;
}

void Transfer::LateAsk(Member &M, Time Now) {
  // It asked again after the pass began (it heard its FIN late, or only a
  // later one): a passive member of this pass from now on.
  if (McastGroup && M.InPass != PassNumber) {
    M.InPass = PassNumber;
    M.Passes++;
    M.EverPassive = true;
  }
  M.Undecided = false;
  NoteJoin(Now);
}

std::optional<Time> Transfer::JoinHoldEnd() const {
  if (!McastGroup || State != Phase::Sending || Window.HighestSent() > 0) {
    return std::nullopt;
  }
  return std::min(PassBegan + E.Cfg.JoinGrace, LastJoin + E.Cfg.JoinQuiet);
}

bool Transfer::HoldingForJoins(Time Now) {
  auto End = JoinHoldEnd();
  if (!End) {
    return false;
  }
  if (Now < *End) {
    return true;
  }
  LastProgress = std::max(LastProgress, Now); // its time-out runs from the first DATA8
  return false;
}

std::optional<Time> Transfer::GatherEnd() const {
  if (State != Phase::Finishing || !FirstAsk) {
    return std::nullopt;
  }
  bool AllAsked =
      std::all_of(Members.begin(), Members.end(), [](const Member &M) { return M.Requested; });
  Time End = AllAsked ? LastAsk : std::min(LastAsk + E.Cfg.JoinQuiet, *FirstAsk + E.Cfg.JoinGrace);
  // A FIN just sent may still be on its way behind our OACKs; give it a
  // moment so it reaches members while they still ignore it.
  return std::max(End, LastFinAt + E.Cfg.JoinQuiet);
}

void Transfer::NextPass(Time Now, bool SeriesCut) {
  FirstAsk.reset();
  // A client that has driven several passes and still asks again goes on by
  // unicast, so it stops holding its group back.
  auto GoesUnicast = [&](const Member &M) {
    return M.Requested && McastGroup && M.ActivePasses >= E.Cfg.MaxActivePasses;
  };
  bool AnyStays = std::any_of(Members.begin(), Members.end(),
                              [&](const Member &M) { return M.Requested && !GoesUnicast(M); });
  std::vector<Endpoint> Finished, ToUnicast;
  for (auto &M : Members) {
    if (GoesUnicast(M)) {
      ToUnicast.push_back(M.Client);
    } else if (M.Requested) {
      continue;
    } else if (SeriesCut && (!AnyStays || !M.Undecided)) {
      // It may not have heard a FIN yet: it hears the rest of the series,
      // or the next pass and its FIN, and is decided on after that.
      M.Undecided = AnyStays;
    } else {
      Finished.push_back(M.Client);
    }
  }
  for (const auto &C : Finished) {
    Leave(C, "complete", true, Now);
  }
  for (const auto &C : ToUnicast) {
    Member *M = FindMember(C);
    Request Req = M->Req;
    Leave(C, "moved to unicast", true, Now);
    ++E.Counters.UnicastFallbacks;
    if (!E.StartUnicast(C, Req, Source, DigestHex, Now)) {
      E.Refuse(C, ZEM4_ERR_NOT_READY, ZEM4_MSG_NOT_READY, FileName, Engine::NoFreePort, Now);
    }
  }
  if (Members.empty()) {
    State = Phase::Done;
    return;
  }
  if (!AnyStays) {
    return; // SeriesCut: the FIN series goes on for those still listening
  }
  // The next pass is driven by a member that has shown it hears us (listed
  // or acknowledged before) and was never given up on, then by the fewest
  // passes driven, then the latest to join: a member that joined a running
  // pass lacks its beginning, and one that joined later lacks more of it, so
  // its list covers the earlier joiners' and they take theirs from its pass
  // instead of driving one each. The others that asked listen.
  auto Rank = [this](const Member &M) {
    return std::make_tuple(GivenUp.count(M.Client) != 0, !M.Listened, M.ActivePasses, -M.Joined);
  };
  const Member *Next = nullptr;
  for (const auto &M : Members) {
    if (M.Requested && (Next == nullptr || Rank(M) < Rank(*Next))) {
      Next = &M;
    }
  }
  BeginPass(Next->Client, Now);
}

} // namespace zem4::server
