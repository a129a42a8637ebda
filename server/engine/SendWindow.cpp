#include "server/engine/SendWindow.h"

#include <algorithm>

namespace zem4::server {

void SendWindow::Start(uint32_t Count, Duration Rto) {
  // The round trip is the path's and outlives a pass; what the client keeps
  // is the driver's, and a group's next pass may have another.
  bool Rtt = HaveRtt;
  Duration S = Srtt, V = RttVar;
  *this = SendWindow{};
  HaveRtt = Rtt;
  Srtt = S;
  RttVar = V;
  Total = Count;
  MaxWait = Rto;
}

std::optional<Duration> SendWindow::RoundTrip() const {
  if (!HaveRtt) {
    return std::nullopt;
  }
  return Srtt;
}

Duration SendWindow::ProbeWait() const {
  if (!HaveRtt) {
    return MaxWait;
  }
  return std::clamp<Duration>(2 * Srtt + 4 * RttVar, MinProbeWait, std::max(MaxWait, MinProbeWait));
}

void SendWindow::Queue(uint32_t First, uint32_t Last) {
  First = std::max(First, AckedSeq);
  Last = std::min(Last, Highest);
  if (First > Last) {
    return;
  }
  if (AgainFirst == 0) {
    AgainFirst = First;
    AgainLast = Last;
  } else {
    // Both wait only while sends are held back (a paced group): one range.
    AgainFirst = std::min(AgainFirst, First);
    AgainLast = std::max(AgainLast, Last);
  }
}

void SendWindow::MarkHole(uint32_t Seq, bool AfterTimeout) {
  Hole = Seq;
  HoleOpen = true;
  HoleEchoed = Repeats > 0;
  HoleTimedOut = AfterTimeout;
  HoleOrder = 0; // set when it goes out
}

void SendWindow::EnterRecovery(bool FromRepeats) {
  InRecovery = true;
  Echoed = FromRepeats;
  FirstHole = AckedSeq;
  FlightHigh = Highest;
  Echoes = Repeats;
  Counted = false;
  MarkHole(AckedSeq);
  Queue(AckedSeq, AckedSeq);
}

void SendWindow::GoBack() {
  InRecovery = false;
  MarkHole(AckedSeq);
  Queue(AckedSeq, Highest);
}

void SendWindow::ResendFirst() {
  InRecovery = false;
  MarkHole(AckedSeq, true);
  Queue(AckedSeq, AckedSeq);
}

// The first acknowledgement past a block sent again tells what the client
// does with the blocks behind a hole.
void SendWindow::Learn(uint32_t Next) {
  if (!HoleOpen || Next <= Hole) {
    return;
  }
  HoleOpen = false;
  uint32_t Slot = (Next - 1) % Ring;
  bool HadBefore = HoleOrder != 0 && SentSeq[Slot] == Next - 1 && SentOrder[Slot] < HoleOrder;
  if (Next > Hole + 1) {
    if (HadBefore) {
      Keeps = true; // it jumped over blocks that came before the hole was filled
    }
  } else if (HoleEchoed && Hole < Highest && Keeps != true) {
    Keeps = false; // it heard what followed the hole and kept none of it
  }
}

void SendWindow::Sample(uint32_t Seq, Time Now) {
  uint32_t Slot = Seq % Ring;
  if (SentSeq[Slot] != Seq || SentTwice[Slot]) {
    return; // only a block sent once times the path
  }
  Duration S = Now - SentAt[Slot];
  if (!HaveRtt) {
    HaveRtt = true;
    Srtt = S;
    RttVar = S / 2;
    return;
  }
  Duration Diff = Srtt > S ? Srtt - S : S - Srtt;
  RttVar = (3 * RttVar + Diff) / 4;
  Srtt = (7 * Srtt + S) / 8;
}

SendWindow::AckKind SendWindow::OnAck(uint32_t NextSeq, Time Now) {
  if (NextSeq < AckedSeq || NextSeq > Highest + 1) {
    return AckKind::Ignored; // stale, or names data never sent
  }
  if (NextSeq == AckedSeq) {
    if (!Outstanding()) {
      return AckKind::Ignored;
    }
    if (InRecovery && Hole == FirstHole) {
      ++Echoes; // a block behind the hole arrived
      return AckKind::Repeat;
    }
    if (StaleBudget > 0 && Now < StaleUntil) {
      --StaleBudget; // most likely an answer to a block we sent again
      return AckKind::Ignored;
    }
    ++Repeats;
    HoleEchoed = HoleEchoed || HoleOpen;
    // Once per value, and not for a block already sent again (the short
    // wait mends a lost retransmission).
    bool Resent = HoleOpen && Hole == AckedSeq;
    if (!InRecovery && !Resent && Repeats == RepeatThreshold) {
      if (Keeps == false) {
        GoBack(); // it keeps nothing after a hole: all of it again
      } else {
        EnterRecovery(true);
      }
    }
    return AckKind::Repeat;
  }

  Sample(NextSeq - 1, Now);
  AckedSeq = NextSeq;
  Repeats = 0;
  Probes = 0;
  ProbeFrom = Now;
  bool WasKept = Keeps == true;
  bool AfterTimeout = HoleOpen && HoleTimedOut && NextSeq == Hole + 1;
  Learn(NextSeq);
  if (AgainFirst != 0 && AgainLast < NextSeq) {
    AgainFirst = 0;
  }
  if (AfterTimeout) {
    // Nothing came back for a whole time-out: what followed is gone too.
    GoBack();
    return AckKind::Advanced;
  }
  if (!WasKept && Keeps == true && AgainFirst != 0) {
    // A go-back was under way, but the client holds what follows: only the
    // hole it names now.
    AgainFirst = 0;
    if (NextSeq <= Highest) {
      EnterRecovery(HoleEchoed);
    }
    return AckKind::Advanced;
  }
  if (!InRecovery) {
    return AckKind::Advanced;
  }
  uint32_t Slot = NextSeq % Ring;
  bool SentBeforeHole =
      NextSeq <= Highest && SentSeq[Slot] == NextSeq && SentOrder[Slot] < HoleOrder;
  if (!SentBeforeHole || !Echoed) {
    InRecovery = false; // what it names may still be on its way
  } else if (Keeps == false) {
    InRecovery = false;
    GoBack(); // everything it had after the hole is gone
  } else if (!Counted && Hole == FirstHole && FlightHigh > FirstHole &&
             FlightHigh - FirstHole >= Echoes + 2) {
    // Two or more of that flight are still missing, where we cannot tell:
    // the rest of it again costs less than a round trip for each.
    Counted = true;
    InRecovery = false;
    MarkHole(NextSeq);
    Queue(NextSeq, FlightHigh);
  } else {
    Counted = true;
    MarkHole(NextSeq); // the next hole among what was sent before the loss
    Queue(NextSeq, NextSeq);
  }
  return AckKind::Advanced;
}

std::optional<uint32_t> SendWindow::Next(uint32_t Window) const {
  uint64_t Edge = uint64_t{AckedSeq} + Window; // first Sequence the client refuses
  if (AgainFirst != 0) {
    uint32_t S = std::max(AgainFirst, AckedSeq);
    if (S <= AgainLast) {
      if (S < Edge) {
        return S;
      }
      return std::nullopt;
    }
  }
  if (Highest < Total && uint64_t{Highest} + 1 < Edge) {
    return Highest + 1;
  }
  return std::nullopt;
}

void SendWindow::Sent(uint32_t Seq, Time Now) {
  uint32_t Slot = Seq % Ring;
  SentOrder[Slot] = ++Sends;
  if (Seq == Hole && HoleOpen) {
    HoleOrder = Sends;
  }
  if (Seq > Highest) {
    Highest = Seq;
    SentSeq[Slot] = Seq;
    SentAt[Slot] = Now;
    SentTwice[Slot] = false;
    return;
  }
  SentSeq[Slot] = Seq;
  SentAt[Slot] = Now;
  SentTwice[Slot] = true;
  StaleBudget = std::min(StaleBudget + 1, Ring);
  StaleUntil = Now + ProbeWait();
  if (Seq == AckedSeq) {
    ProbeFrom = Now;
  }
  if (AgainFirst != 0 && Seq >= AgainFirst) {
    AgainFirst = Seq + 1;
    if (AgainFirst > AgainLast) {
      AgainFirst = 0;
    }
  }
}

std::optional<Time> SendWindow::ProbeDeadline() const {
  if (!Outstanding() || !HaveRtt || Probes >= MaxProbes || AgainFirst != 0) {
    return std::nullopt;
  }
  return ProbeFrom + ProbeWait();
}

void SendWindow::OnTime(Time Now) {
  auto Due = ProbeDeadline();
  if (!Due || Now < *Due) {
    return;
  }
  ++Probes;
  ProbeFrom = Now;
  if (!InRecovery) {
    EnterRecovery(false);
  } else {
    MarkHole(AckedSeq);
    Queue(AckedSeq, AckedSeq);
  }
}

} // namespace zem4::server
