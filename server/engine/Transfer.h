// One file being sent from one local port: a unicast session with its single
// client, or a multicast group with its members. Internal to the engine.
#pragma once

#include "server/engine/Engine.h"
#include "server/engine/Schedule.h"
#include "server/engine/SendWindow.h"

#include <array>
#include <set>

namespace zem4::server {

class Transfer {
public:
  enum class Phase { AwaitRpl, Sending, Finishing, Done };
  enum class Role { Unicast, Active, Passive };

  struct Member {
    Endpoint Client;
    Request Req;
    Time Joined{0};
    bool EverActive = false;
    bool EverPassive = false;
    uint32_t ActivePasses = 0;
    uint32_t Passes = 0;
    uint64_t BytesAtJoin = 0;
    uint64_t RetransAtJoin = 0;
    uint64_t RepairRanges = 0;
    bool Requested = false; // asked again while the pass was finishing
    bool Listened = false;  // has listed or acknowledged as the driver: it hears us
    bool HeardFin = false;  // asked again while a pass was finishing
    // Silent when a pass began before its FIN series was over: it may still
    // be listening for a FIN, so it is counted as done only if it stays
    // silent through the next pass too.
    bool Undecided = false;
    uint32_t InPass = 0; // the last pass it was counted in
  };

  struct Group {
    int Slot = -1;
    Endpoint Address; // group address and port
  };

  Transfer(Engine &E, uint16_t Port, std::shared_ptr<OpenFile> File, std::string Name,
           std::string Served, std::optional<Group> G, Time Now);
  ~Transfer();
  Transfer(const Transfer &) = delete;
  Transfer &operator=(const Transfer &) = delete;

  // A request from a client that is not yet a member: the first one starts
  // the transfer, later ones join the group.
  void Join(const Endpoint &Client, const Request &Req, Time Now);
  // The first member of a unicast transfer whose OACK was already sent (from
  // this port, while it waited in the engine's table) and who now lists.
  void Adopt(const Endpoint &Client, const Request &Req, Time Asked, Time Now);
  // A request from a client that is a member already.
  void OnRequest(const Endpoint &Client, const Request &Req, Time Now);
  void OnDatagram(const Endpoint &From, std::span<const uint8_t> Datagram, Time Now);
  void OnTime(Time Now);
  std::optional<Time> Deadline() const;
  void Stop(Time Now);
  // The file's SHA-256 once the engine has it; OACKs carry it when asked.
  void LearnDigest(const std::optional<std::string> &Hex) {
    if (Hex) {
      DigestHex = *Hex;
    }
  }
  // Drops a member with its report; the transfer carries on with the others
  // (a group whose active member left ends the pass so another takes over).
  void Depart(const Endpoint &Client, std::string Outcome, bool Success, Time Now);

  // Drops a member that has not shown it listens, without a report (the
  // engine's table of unconfirmed clients is full).
  void Evict(const Endpoint &Client, Time Now);
  // Members that count as sessions, and the others.
  size_t ConfirmedMembers() const;
  size_t ConfirmedFrom(Ipv4 Address) const;
  size_t UnconfirmedMembers() const { return Members.size() - ConfirmedMembers(); }
  // The unconfirmed member that joined first, with its join time.
  std::optional<std::pair<Time, Endpoint>> OldestUnconfirmed() const;

  bool IsDone() const { return State == Phase::Done; }
  bool IsGroup() const { return McastGroup.has_value(); }
  bool HasMember(const Endpoint &Client) const { return FindMember(Client) != nullptr; }
  size_t MemberCount() const { return Members.size(); }
  size_t MembersFrom(Ipv4 Address) const;
  uint16_t Port() const { return LocalPort; }
  const OpenFile &File() const { return *Source; }
  int GroupSlot() const { return McastGroup ? McastGroup->Slot : -1; }
  Phase CurrentPhase() const { return State; }

private:
  void Leave(const Endpoint &Client, std::string Outcome, bool Success, Time Now,
             bool Query = false, bool Silent = false);
  bool Confirmed(const Member &M) const { return !McastGroup || M.Listened || M.HeardFin; }
  Member *FindMember(const Endpoint &Client);
  const Member *FindMember(const Endpoint &Client) const;
  bool IsController(const Endpoint &Client) const { return Controller && *Controller == Client; }
  Endpoint DataDestination() const;

  // Answered: its OACK has gone out already.
  void BeginPass(const Endpoint &Active, Time Now, bool Answered = false);
  void SendOack(const Member &M, Role R);
  void ResendControllerOack();
  void OnRpl(const Rpl &R, Time Now);
  void StartSending(Time Now);
  void OnAck(const Ack8 &A, Time Now);
  void Pump(Time Now);
  bool SendData(uint32_t Seq, Time Now);
  void StartFinishing(Time Now);
  void SendFin();
  // Group passes (GroupPass.cpp): the join grace before a pass's first
  // DATA8, and the next pass begun once the members asking again gathered.
  void NoteJoin(Time Now) { LastJoin = Now; }
  void NoteAsk(Time Now);
  std::optional<Time> JoinHoldEnd() const;
  bool HoldingForJoins(Time Now);
  std::optional<Time> GatherEnd() const;
  // SeriesCut: FINs were still to go out, so silent members may not have
  // heard one yet.
  void NextPass(Time Now, bool SeriesCut);
  void LateAsk(Member &M, Time Now);
  void ControllerGone(std::string Outcome, Time Now);
  void Abort(uint16_t Code, std::string_view Message, std::string Outcome, Time Now);
  Duration CurrentRto() const;
  // When a group's driver that makes no progress is given up on (others wait).
  std::optional<Time> DriverDeadline() const;
  std::optional<Time> StateDeadline() const;
  bool OackResendDue() const;
  Duration OackBackoff() const;
  bool RplAckResendDue() const;
  Duration RplAckBackoff() const;
  Duration AnswerBase() const;
  void RepeatPassiveOacks();
  // Was a member of an earlier pass and asked again (or listed): it hears us.
  bool Proven(const Member &M) const { return M.Listened || (McastGroup && M.Passes > 1); }
  bool Outstanding() const { return State == Phase::Sending && Window.Outstanding(); }
  void Emit(const Endpoint &To, std::span<const uint8_t> Datagram);

  Engine &E;
  uint16_t LocalPort;
  std::shared_ptr<OpenFile> Source;
  std::string FileName;   // as asked
  std::string ServedName; // as opened
  std::optional<std::string> DigestHex;
  std::optional<Group> McastGroup;
  uint32_t TotalBlocks;
  Phase State = Phase::AwaitRpl;
  std::vector<Member> Members;
  std::optional<Endpoint> Controller; // the client whose RPL and ACK8 drive the pass
  bool ControllerHeard = false;
  uint32_t ControllerOacks = 0;
  uint32_t ControllerRrqs = 0; // requests from it since it last acknowledged or listed
  Time FirstControllerRrq{0};
  Time ListWaitSince{0}; // waiting for (the rest of) its repair list since
  Time DriverSince{0};   // the driver took over, or last moved its acknowledgement on
  // Members given up on as drivers: not chosen again while others can drive.
  std::set<Endpoint> GivenUp;
  uint32_t PassNumber = 0;

  // Repair list of the pass being collected.
  uint32_t NextRplSeq = 1;
  uint32_t RplRepeats = 0;
  uint32_t RplAckSends = 0; // of the RPLACK naming NextRplSeq
  std::vector<BlockRange> Collected;

  // The pass being sent.
  PassSchedule Schedule;
  SendWindow Window;
  bool Restarted = false; // the pass was started over for a client still listing
  bool PassiveOacksRepeated = false;
  uint32_t ClientWindow = 64;
  uint32_t Retries = 0;
  bool ProbeOnly = false; // time-outs in a row: resend the first datagram alone
  Time LastProgress{0};
  Time LastHeard{0};
  Time RateNext{0};

  // End of a pass.
  uint32_t FinSent = 0;
  Time FinNext{0};
  Time LastFinAt{0};
  std::optional<Time> FirstAsk; // members asking again during this series
  Time LastAsk{0};

  // Join grace of the pass being started.
  Time PassBegan{0};
  Time LastJoin{0};

  // Counters for reports.
  uint64_t DataBytes = 0;
  uint64_t Retransmitted = 0;

  std::array<uint8_t, 1042> Buffer{};
};

} // namespace zem4::server
