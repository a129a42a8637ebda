// Requests that wait for their file's digest. Dropping them cost the client
// its 3 s request timer, and a storm on a fresh server split into groups; so
// each is kept as it came and served again when the digest is ready, in
// arrival order and as if it had arrived then.
#include "server/engine/Engine.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <fmt/format.h>

namespace zem4::server {

void Engine::Hold(const Endpoint &From, const FileId &Id, std::span<const uint8_t> Datagram,
                  Time Now) {
  for (auto It = Held.begin(); It != Held.end(); ++It) {
    if (It->Client == From) {
      if (It->File == Id) {
        // A copy: the client is still there; it keeps its place and is
        // answered once.
        It->LastCopy = Now;
        It->Datagram.assign(Datagram.begin(), Datagram.end());
        return;
      }
      Held.erase(It); // the same port asks for another file now
      break;
    }
  }
  if (Held.size() >= std::max<uint32_t>(Cfg.MaxPending, 1)) {
    ++Counters.DigestWaitsDropped; // its next copy may find room
    return;
  }
  ++Counters.DigestWaits;
  Held.push_back({From, Id, std::vector<uint8_t>(Datagram.begin(), Datagram.end()), Now});
}

bool Engine::IsHeld(const Endpoint &From, const FileId &Id) const {
  return std::any_of(Held.begin(), Held.end(),
                     [&](const HeldRequest &H) { return H.Client == From && H.File == Id; });
}

bool Engine::AnyHeldFor(const FileId &Id) const {
  return std::any_of(Held.begin(), Held.end(), [&](const HeldRequest &H) { return H.File == Id; });
}

void Engine::DropHeld(const Endpoint &From) {
  std::erase_if(Held, [&](const HeldRequest &H) { return H.Client == From; });
}

void Engine::ReleaseHeld(const FileId &Id, Time Now) {
  // Taken out first: serving one may hold it again (the file was replaced
  // meanwhile) or release others.
  std::vector<HeldRequest> Ready;
  for (auto It = Held.begin(); It != Held.end();) {
    if (It->File == Id) {
      Ready.push_back(std::move(*It));
      It = Held.erase(It);
    } else {
      ++It;
    }
  }
  for (const auto &H : Ready) {
    ServeRequest(H.Client, H.Datagram, Now);
  }
  if (!Ready.empty()) {
    Reap();
  }
}

void Engine::ExpireHeld(Time Now) {
  // A client repeats its request every 3 s: one silent this long went away.
  std::erase_if(Held, [&](const HeldRequest &H) {
    if (H.LastCopy + Cfg.PendingLife > Now) {
      return false;
    }
    Io.Log(NoteLevel::Debug,
           LogRecord{
               "digest_wait_expired", "request from {client} held for a digest, given up", {}, true}
               .Add("client", Word{H.Client.ToString()}));
    return true;
  });
}

std::optional<Time> Engine::HeldDeadline() const {
  std::optional<Time> Next;
  for (const auto &H : Held) {
    if (!Next || H.LastCopy + Cfg.PendingLife < *Next) {
      Next = H.LastCopy + Cfg.PendingLife;
    }
  }
  return Next;
}

void Engine::ShutdownHeld() {
  // They are clients too: each hears once that we are going.
  for (const auto &H : Held) {
    Send(Cfg.ListenPort, H.Client, BuildError(ZEM4_ERR_NOT_READY, ShuttingDownMessage));
  }
  Held.clear();
}

} // namespace zem4::server
