// Which Sequence of a pass goes on the wire next: new data up to the window
// edge counted from the driving client's acknowledgement, and after a loss
// only what is missing. It does no I/O and builds no datagram: the transfer
// asks it what to send, tells it what went out and what came back.
//
// The client's ACK8 carries no list of what arrived, only its next expected
// Sequence, but it is sent for every DATA8 that arrives out of order or
// twice. So:
// - the same acknowledgement again twice (a single repeat is what one late
//   or duplicated DATA8 provokes) means the block it names was lost: that
//   block alone is sent again (fast retransmission);
// - a client that keeps the blocks behind a hole jumps over them once the
//   hole is filled; an acknowledgement that then stops short of everything
//   sent before the loss names the next hole, sent again at once;
// - a client that keeps nothing after a hole acknowledges just the block
//   after it: from there the rest is sent again in order (go-back), as it is
//   from then on for that client, at its first repeat;
// - a repeat that our own retransmission of a block the client had provokes
//   is not taken for a new loss (one per such datagram, for about a round
//   trip);
// - when nothing moves for a little over a round trip (a lost retransmission,
//   or a loss at the end of the pass that nothing follows), the first
//   unacknowledged block is sent again, twice at most; the transfer's own
//   retransmission time-out stays the fallback when nothing comes at all.
#pragma once

#include "server/engine/Types.h"

#include <array>
#include <cstdint>
#include <optional>

namespace zem4::server {

class SendWindow {
public:
  enum class AckKind { Ignored, Repeat, Advanced };

  // A pass of Count datagrams, Sequence 1 to Count. Rto is the transfer's
  // retransmission time-out: the longest wait before a block is sent again.
  void Start(uint32_t Count, Duration Rto);

  AckKind OnAck(uint32_t Next, Time Now);
  // The next Sequence to send, if the window lets one go: a block to send
  // again first, then new data. Window: datagrams beyond the acknowledged.
  std::optional<uint32_t> Next(uint32_t Window) const;
  // Seq went out (as returned by Next).
  void Sent(uint32_t Seq, Time Now);
  // Time-out fallbacks of the transfer: everything unacknowledged again, or
  // only its first block (and, once the client answers it without jumping,
  // the rest after it).
  void GoBack();
  void ResendFirst();
  // The short wait for a stalled window, when it is armed.
  std::optional<Time> ProbeDeadline() const;
  // Sends the first unacknowledged block again when the short wait is over.
  void OnTime(Time Now);

  uint32_t Acked() const { return AckedSeq; }
  uint32_t HighestSent() const { return Highest; }
  uint32_t Count() const { return Total; }
  bool Outstanding() const { return Highest >= AckedSeq; }
  bool AllAcknowledged() const { return AckedSeq > Total; }
  // What the client has shown: it keeps (true) or drops (false) the blocks
  // behind a hole; unknown until its first loss is mended.
  std::optional<bool> KeepsAhead() const { return Keeps; }
  bool Recovering() const { return InRecovery; }
  std::optional<Duration> RoundTrip() const;

  // Repeats in a row that mean a loss.
  static constexpr uint32_t RepeatThreshold = 2;
  // Short-wait resends of one unacknowledged block before only the
  // transfer's time-out is left.
  static constexpr uint32_t MaxProbes = 2;
  // The short wait never drops below this (clients are slow to answer now
  // and then; a needless resend costs a datagram).
  static constexpr Duration MinProbeWait = std::chrono::milliseconds(2);

private:
  static constexpr uint32_t Ring = 64; // the client's window: never more in flight
  void Queue(uint32_t First, uint32_t Last);
  // A block sent again as the first of an episode: the next advancing
  // acknowledgement shows whether the client kept what lay behind it.
  void MarkHole(uint32_t Seq, bool AfterTimeout = false);
  void EnterRecovery(bool FromRepeats);
  void Learn(uint32_t Next);
  void Sample(uint32_t Seq, Time Now);
  Duration ProbeWait() const;

  uint32_t Total = 0;
  Duration MaxWait{0};
  uint32_t AckedSeq = 1;
  uint32_t Highest = 0;
  // Sequences to send again before new data, AgainFirst..AgainLast (none
  // when AgainFirst is 0).
  uint32_t AgainFirst = 0;
  uint32_t AgainLast = 0;
  uint32_t Repeats = 0; // of the current acknowledgement, not our doing
  bool InRecovery = false;
  // The recovery began with the client's repeats: it is receiving what
  // follows, so blocks sent before a hole's retransmission have reached it
  // or are lost. (One begun by the short wait knows nothing of the kind.)
  bool Echoed = false;
  // Blocks sent before the first hole was sent again (FirstHole to
  // FlightHigh) and how many of them the client echoed: what it lacks of
  // them beside the hole is that flight less the echoes.
  uint32_t FirstHole = 0;
  uint32_t FlightHigh = 0;
  uint32_t Echoes = 0;
  bool Counted = false;
  uint32_t Hole = 0;         // the block last sent again first
  bool HoleOpen = false;     // no acknowledgement has passed it yet
  bool HoleEchoed = false;   // the client repeated itself meanwhile: it hears what follows
  bool HoleTimedOut = false; // sent again after a time-out: what follows it is likely lost too
  std::optional<bool> Keeps;
  // Repeats our own resends of blocks the client had may provoke.
  uint32_t StaleBudget = 0;
  Time StaleUntil{0};
  uint32_t Probes = 0;
  Time ProbeFrom{0};
  bool HaveRtt = false;
  Duration Srtt{0};
  Duration RttVar{0};
  std::array<Time, Ring> SentAt{};
  std::array<uint32_t, Ring> SentSeq{};
  std::array<bool, Ring> SentTwice{};
  // Order of the last send of each Sequence, and of the hole's: a block sent
  // before the hole was sent again reached the client first, or was lost.
  std::array<uint64_t, Ring> SentOrder{};
  uint64_t Sends = 0;
  uint64_t HoleOrder = 0;
};

} // namespace zem4::server
