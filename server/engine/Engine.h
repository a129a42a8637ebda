// The server's protocol engine. It does no I/O and reads no clock: it is fed
// datagrams and the time, sends through an EngineIo, and says when it next
// needs to run. The daemon drives it from sockets, tests and the simulated
// network drive it directly.
#pragma once

#include "server/engine/FileSource.h"
#include "server/engine/LogRecord.h"
#include "server/engine/Packets.h"
#include "server/engine/Types.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zem4::server {

using namespace std::chrono_literals;

struct EngineConfig {
  uint16_t ListenPort = 5568;
  // Names are taken exactly as asked: no "\" to "/" mapping, and a leading
  // "/" is refused instead of dropped.
  bool StrictNames = false;
  // DATA8 in flight beyond the controlling client's last ACK8 (at most 64,
  // the client's own window).
  uint32_t Window = 64;
  // Without progress for this long, go back to the last acknowledged Sequence.
  Duration RetransmitTimeout = 500ms;
  // Time-outs in a row, while sending, before the driving client counts as
  // gone (a unicast client's time-outs grow, up to 8 x RetransmitTimeout).
  uint32_t MaxRetries = 10;
  // How long a pass waits for the controlling client's repair list; it
  // resends the list every 3 s, so this rides out a couple of losses. A
  // group's driving member that acknowledges nothing this long loses the
  // group to another member, whatever else it sends.
  Duration ListPatience = 15s;
  // The same for a member chosen to drive that has never listed or
  // acknowledged anything in this transfer: enough for one lost OACK or list.
  Duration UnprovenPatience = 7s;
  // A transfer that makes no progress this long is dropped (datagrams that
  // move nothing on, such as a stale ACK8 or a repeated request, do not count).
  Duration IdleTimeout = 60s;
  // FIN datagrams at the end of a pass, this far apart. The next pass starts
  // once the members that ask again have gathered (below), not after the
  // last FIN: a member that asked again ignores FINs.
  uint32_t FinCount = 4;
  Duration FinInterval = 100ms;
  // A group pass sends its first DATA8 only when no member has joined for
  // JoinQuiet, and at the latest JoinGrace after the pass began: members
  // that ask together get the whole first window. Members asking again at
  // a FIN are gathered the same way before the next pass begins.
  Duration JoinQuiet = 5ms;
  Duration JoinGrace = 20ms;
  // OACK datagrams of a later pass while its driver (a member that has
  // listed before, or asked again after an earlier pass of its group) stays
  // silent (1 + resends), and RPLACK datagrams while a listing driver does.
  // A request that is not yet confirmed gets exactly one OACK per copy that
  // arrives.
  uint32_t OackSends = 3;
  // The first of those resends in a group, the next ones twice as far apart
  // each (a unicast client's: RetransmitTimeout).
  Duration AnswerResend = 100ms;
  // Confirmed clients being served (unicast and group members that have
  // listed or acknowledged, or asked again at a FIN), and of them from one
  // IP address.
  uint32_t MaxSessions = 64;
  uint32_t MaxPerClient = 16;
  // Requests answered but not yet confirmed by a first repair list (and
  // group members that have not shown they listen): a small table apart from
  // the sessions, each entry for PendingLife at most, the oldest evicted
  // first when it is full.
  uint32_t MaxPending = 64;
  Duration PendingLife = 10s;
  // Entries younger than this are not evicted (their clients are about to
  // list): a full table of them answers newcomers with error 9.
  Duration PendingMinAge = 1s;
  uint32_t MaxGroups = 16;
  bool MulticastEnabled = true;
  // Groups take addresses network+1, +2, ... and ports McastPort, +1, ...
  Cidr McastNetwork{Ipv4(239, 255, 0, 0), 16};
  uint16_t McastPort = 5570;
  // Bytes per second sent to a group; 0 is no limit.
  uint64_t McastRateLimit = 0;
  // Passes a client may drive as the active member; after that it is served
  // by unicast so it stops holding its group back.
  uint32_t MaxActivePasses = 4;
  // Client networks allowed to ask; empty allows everyone.
  std::vector<Cidr> Allow;
  // Upper bound on the repair ranges one pass collects (129 per RPL).
  uint32_t MaxRepairRanges = 129 * 64;
};

struct EngineStats {
  uint64_t Requests = 0;
  uint64_t Refused = 0;   // answered with an ERROR (or dropped) instead of served
  uint64_t NoPort = 0;    // times a transfer found no free port (answered busy, or by unicast)
  uint64_t Malformed = 0; // datagrams that did not parse
  uint64_t SessionsServed = 0;
  uint64_t SessionsFailed = 0;
  uint64_t DatagramsSent = 0;
  uint64_t BytesSent = 0;     // UDP payload bytes
  uint64_t DataDatagrams = 0; // DATA8 only
  uint64_t Retransmissions = 0;
  uint64_t Passes = 0;
  uint64_t GroupsCreated = 0;
  uint64_t UnicastFallbacks = 0;
  uint64_t DigestWaits = 0;        // requests held while their file's digest was computed
  uint64_t DigestWaitsDropped = 0; // the same beyond the bound (MaxPending): left unanswered
  uint64_t DriversReplaced = 0;    // group members given up on as drivers for making no progress
  uint64_t BadSource = 0;      // datagrams from addresses no client can have, dropped unanswered
  uint64_t Queries = 0;        // GetInfo exchanges (QueryEnd), neither served nor failed
  uint64_t PendingExpired = 0; // answered requests never confirmed within PendingLife
  uint64_t PendingEvicted = 0; // the same, evicted early for newer requests
  uint64_t LogSuppressed = 0;  // log lines left out by the rate limit
};

// One line per client at the end of its transfer.
struct TransferReport {
  Endpoint Client;
  std::string File;   // as asked
  std::string Served; // as opened below the root
  std::string Roles;  // "unicast", "active", "passive", or several joined by '+'
  uint32_t Passes = 0;
  uint64_t Bytes = 0; // data bytes sent to it (or to its group while it was in it)
  Duration Elapsed{0};
  uint64_t Retransmissions = 0;
  uint64_t RepairRanges = 0;
  std::string Outcome; // "complete", "timeout", "query", "client error 3: ...", "stopped", ...
  bool Success = false;
  // A GetInfo exchange (QueryEnd): neither served nor failed.
  bool Query = false;
};

// The transfer line: event "transfer", its fields typed.
LogRecord TransferRecord(const TransferReport &R);
// Its pairs as the text line has them.
std::string FormatReport(const TransferReport &R);

// A client's ERROR that ends its part: our driver's GetInfo takes the OACK as
// its answer and ends at once with ERROR 0 "User caceled download", before
// any list or acknowledgement. That, and only that, is a query; Engaged says
// the client had listed, acknowledged or asked again in this transfer.
struct ClientEnd {
  std::string Outcome; // "query" or "client error CODE: TEXT"
  bool Query = false;
};
ClientEnd QueryEnd(std::span<const uint8_t> ErrorDatagram, bool Engaged);

class EngineIo {
public:
  virtual ~EngineIo() = default;
  // A fresh local UDP port for a transfer; nullopt when none can be had.
  virtual std::optional<uint16_t> OpenPort() = 0;
  virtual void ClosePort(uint16_t Port) = 0;
  // To may be a multicast group.
  virtual void Send(uint16_t FromPort, const Endpoint &To, std::span<const uint8_t> Datagram) = 0;
  virtual void Report(const TransferReport &) {}
  // Every other line: typed fields, for text (R.Line()) or JSON (R.Json()).
  virtual void Log(NoteLevel, const LogRecord &) {}
};

class Transfer;

// A request that has been answered (OACK from a port of its own) and waits
// for its first repair list: the port, the open file and the request only.
struct PendingRequest {
  Endpoint Client;
  Request Req;
  std::shared_ptr<OpenFile> File;
  std::optional<std::string> Digest;
  uint16_t Port = 0;
  Time Since{0};
};

class Engine {
public:
  Engine(EngineConfig Config, FileSource &Files, EngineIo &Io);
  ~Engine();
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  void OnDatagram(const Endpoint &From, uint16_t LocalPort, std::span<const uint8_t> Datagram,
                  Time Now);
  void OnTime(Time Now);
  // The file source has finished a digest it said was Pending (or given up
  // on it): the requests held for it are answered now, in arrival order.
  void OnDigestReady(const FileId &Id, Time Now);
  std::optional<Time> NextDeadline() const;
  // Ends every transfer (reported as "stopped") and closes their ports.
  void Shutdown(Time Now);

  const EngineStats &Stats() const { return Counters; }
  const EngineConfig &Config() const { return Cfg; }
  size_t ActiveTransfers() const { return Transfers.size(); }
  size_t ActiveGroups() const { return Groups.size(); }
  // Confirmed clients (what --max-sessions bounds).
  size_t ActiveClients() const;
  // Requests and group members not yet confirmed (what MaxPending bounds).
  size_t UnconfirmedClients() const;
  // Requests held until their file's digest is ready (also at most MaxPending).
  size_t HeldRequests() const { return Held.size(); }
  // Each group as a monitor sees it: its address and its members.
  struct GroupInfo {
    Endpoint Address;
    size_t Members = 0;
  };
  std::vector<GroupInfo> GroupList() const;
  // What may change while transfers run (zem4d reloads it): the limits on
  // sessions and groups, the groups' rate and the allow-list. Transfers under
  // way carry on; the new values count from the next decision.
  void ApplyLimits(const EngineConfig &Config);

private:
  friend class Transfer;

  void OnRequest(const Endpoint &From, std::span<const uint8_t> Datagram, Time Now);
  // Everything after the opcode check; true when the request is held for
  // its file's digest (a replayed request comes here again).
  bool ServeRequest(const Endpoint &From, std::span<const uint8_t> Datagram, Time Now);
  // Requests held while a digest is computed (HeldRequests.cpp).
  void Hold(const Endpoint &From, const FileId &Id, std::span<const uint8_t> Datagram, Time Now);
  bool IsHeld(const Endpoint &From, const FileId &Id) const;
  bool AnyHeldFor(const FileId &Id) const;
  void DropHeld(const Endpoint &From);
  void ReleaseHeld(const FileId &Id, Time Now);
  void ExpireHeld(Time Now);
  std::optional<Time> HeldDeadline() const;
  void ShutdownHeld();
  // A unicast host address outside our own group network, with a port.
  bool PlausibleSource(const Endpoint &From) const;
  // Reason is ours, for the log line only: the client sees Code and Message.
  void Refuse(const Endpoint &To, uint16_t Code, std::string_view Message, std::string_view Name,
              std::string_view Reason, Time Now);
  // Its count and line, for a refusal sent from elsewhere.
  void NoteRefusal(const Endpoint &To, uint16_t Code, std::string_view Message,
                   std::string_view Name, std::string_view Reason, Time Now);
  // An info line that peers can provoke at will: rate-limited.
  void NoteLimited(Time Now, const LogRecord &Line);
  void Send(uint16_t FromPort, const Endpoint &To, std::span<const uint8_t> Datagram);
  Transfer *FindClient(const Endpoint &Client, Transfer *Except = nullptr);
  size_t ClientsFrom(Ipv4 Address) const;
  // Room for one more unconfirmed request or member: evicts the oldest.
  // false when every unconfirmed entry is too young to be evicted.
  bool MakeRoomForUnconfirmed(Time Now);
  // Answers a new unicast request from a port of its own and keeps it in the
  // table until its first repair list; why not when it cannot (a refusal's
  // reason), else nullptr.
  const char *StartPending(const Endpoint &Client, const Request &Req,
                           std::shared_ptr<OpenFile> File, std::optional<std::string> Digest,
                           Time Now);
  void SendPendingOack(const struct PendingRequest &P);
  void OnPendingDatagram(size_t Index, const Endpoint &From, std::span<const uint8_t> Datagram,
                         Time Now);
  void DropPending(size_t Index);
  void ExpirePending(Time Now);
  // Starts a unicast transfer for a request; false when no port is free.
  bool StartUnicast(const Endpoint &Client, const Request &Req, std::shared_ptr<OpenFile> File,
                    std::optional<std::string> Digest, Time Now);
  Transfer *StartGroup(const Endpoint &Client, const Request &Req, std::shared_ptr<OpenFile> File,
                       std::optional<std::string> Digest, Time Now);
  void Reap();
  std::optional<int> FreeGroupSlot() const;
  Endpoint GroupAddress(int Slot) const;
  // The digest for a request that asks for one; Pending while it is computed.
  DigestResult DigestFor(OpenFile &File);

  // Reasons of a busy refusal that more than one place gives.
  static constexpr const char *UnconfirmedFull = "unconfirmed table full";
  static constexpr const char *NoFreePort = "no port";

  EngineConfig Cfg;
  FileSource &Files;
  EngineIo &Io;
  EngineStats Counters;
  std::map<uint16_t, std::unique_ptr<Transfer>> Transfers; // by local port
  std::map<FileId, Transfer *> Groups;
  std::vector<PendingRequest> Pending; // oldest first
  std::set<FileId> DigestsPending;     // asked for and not ready yet
  // A request that waits for its file's digest, as it came; one per client
  // endpoint (its copies only refresh it), answered when the digest is ready.
  struct HeldRequest {
    Endpoint Client;
    FileId File;
    std::vector<uint8_t> Datagram;
    Time LastCopy{0};
  };
  std::vector<HeldRequest> Held; // arrival order
  static constexpr uint32_t NotesPerSecond = 5;
  Time NoteWindowStart{-std::chrono::hours(1)};
  uint32_t NotesInWindow = 0;
  uint64_t NotesSuppressed = 0;
};

} // namespace zem4::server
