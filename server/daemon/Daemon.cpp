#include "server/daemon/Daemon.h"
#include "net/Socket.h"
#include "server/daemon/Logging.h"
#include "server/daemon/Metrics.h"
#include "server/daemon/ReadAhead.h"

#include <asio.hpp>
#include <cerrno>
#include <csignal>
#include <deque>
#include <fmt/format.h>
#include <grp.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zem4/Version.h>

namespace zem4::server {

using asio::ip::udp;

namespace {

// Datagrams waiting for a full send buffer, per socket: four windows. What a
// full queue drops, the time-outs resend.
constexpr size_t MaxQueuedPerSocket = 256;
constexpr size_t Batch = 64; // datagrams per sendmmsg call

// What HoldDaemonSignals keeps pending until the signal_set is there.
sigset_t HeldSignals() {
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, SIGHUP);
  sigaddset(&Set, SIGUSR1);
  return Set;
}

Time SteadyNow() {
  return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
}

std::chrono::steady_clock::time_point ToSteady(Time T) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(T));
}

} // namespace

class Daemon::Impl final : public EngineIo {
public:
  Impl(asio::io_context &Io, const DaemonOptions &O)
      : Io(Io), Options(O), Config(ToEngineConfig(O)), Files(O.Root, O.DigestMax), Timer(Io),
        StatsTimer(Io) {
    if (O.HandleSignals) {
      Signals.emplace(Io, SIGINT, SIGTERM, SIGUSR1);
      Signals->add(SIGHUP);
    }
    auto Bind = Ipv4::Parse(O.Bind);
    if (!Bind) {
      throw std::invalid_argument("--bind: not an IPv4 address: " + O.Bind);
    }
    BindAddress = *Bind;
    ResolveMulticastInterface();
    if (!O.PortRange.empty()) {
      Range = ParsePortRange(O.PortRange);
    }
    auto Listen = MakeSocket(O.Port, true);
    ListenPortNumber = Listen->Sock.local_endpoint().port();
    Config.ListenPort = ListenPortNumber;
    Sockets[ListenPortNumber] = Listen;
    Eng = std::make_unique<Engine>(Config, Ahead, *this);
    // The worker thread tells the loop; the loop tells the engine.
    Files.SetDigestReadyHook([this, Alive = Alive](const FileId &Id) {
      asio::post(this->Io, [this, Alive, Id] {
        if (*Alive && !Stopped) {
          Eng->OnDigestReady(Id, SteadyNow());
          AfterEngine();
        }
      });
    });
  }

  ~Impl() override {
    *Alive = false;
    Files.StopDigests();
    Eng.reset(); // closes the transfers' ports through ClosePort
    for (auto &[Port, S] : Sockets) {
      S->Open = false;
      asio::error_code Ec;
      S->Sock.close(Ec);
    }
  }

  void Start() {
    StartTime = SteadyNow();
    for (auto &[Port, S] : Sockets) {
      Receive(S);
    }
    if (Signals) {
      // Our handlers are in place: what arrived while held comes now, and
      // waits in the signal_set for the loop.
      sigset_t Held = HeldSignals();
      pthread_sigmask(SIG_UNBLOCK, &Held, nullptr);
    }
    WaitSignal();
    ArmStats();
    LogLine(NoteLevel::Info,
            LogRecord{"serving",
                      "zem4d serving {root} on {address}:{port}, multicast {multicast} via "
                      "{interface}, version {version}",
                      {},
                      true}
                .Add("root", Word{Options.Root})
                .Add("address", Word{Options.Bind})
                .Add("port", uint64_t{ListenPortNumber})
                .Add("multicast", Word{Config.MulticastEnabled ? Config.McastNetwork.ToString()
                                                               : std::string("off")})
                .Add("interface", Word{McastIfName})
                .Add("version", Word{VersionText()}));
  }

  void Stop() {
    if (Stopped) {
      return;
    }
    Stopped = true;
    Files.StopDigests();
    Eng->Shutdown(SteadyNow());
    FlushAll();
    LogLine(NoteLevel::Info, Totals("stopping", "zem4d stopping:"));
    asio::error_code Ec;
    Timer.cancel();
    StatsTimer.cancel();
    if (Signals) {
      Signals->cancel(Ec);
    }
    for (auto &[Port, S] : Sockets) {
      S->Open = false;
      S->Sock.close(Ec);
    }
    if (StopHook) {
      StopHook();
    }
  }

  LogRecord Totals(std::string Event, std::string Head) const {
    LogRecord L{std::move(Event), std::move(Head), {}};
    for (const auto &T : TotalsOf(*Eng)) {
      L.Add(T.Name, T.Value);
    }
    return L;
  }

  uint16_t ListenPort() const { return ListenPortNumber; }
  EngineStats Stats() const { return Eng->Stats(); }
  const Engine &Server() const { return *Eng; }
  std::function<void()> ReloadHook;
  std::function<void()> StopHook;

  void ApplyLive(const DaemonOptions &New) {
    EngineConfig Next = ToEngineConfig(New); // throws before anything changes
    Eng->ApplyLimits(Next);
    Options.Allow = New.Allow;
    Options.MaxSessions = New.MaxSessions;
    Options.MaxPerClient = New.MaxPerClient;
    Options.MaxGroups = New.MaxGroups;
    Options.MaxActivePasses = New.MaxActivePasses;
    Options.RateLimit = New.RateLimit;
    Options.LogLevel = New.LogLevel;
    if (Options.StatsIntervalS != New.StatsIntervalS) {
      Options.StatsIntervalS = New.StatsIntervalS;
      StatsTimer.cancel();
      ArmStats();
    }
  }

  // --- EngineIo ---------------------------------------------------------

  std::optional<uint16_t> OpenPort() override {
    try {
      auto S = Range ? MakeRangeSocket() : MakeSocket(0);
      if (!S) {
        return std::nullopt; // the whole range is in use: busy, and counted
      }
      uint16_t Port = S->Sock.local_endpoint().port();
      Sockets[Port] = S;
      if (Started()) {
        Receive(S);
      }
      return Port;
    } catch (const std::exception &E) {
      LogLine(NoteLevel::Warn,
              LogRecord{"no_port", "no port for a transfer: {error}", {}, true}.Add(
                  "error", Word{E.what()}));
      return std::nullopt;
    }
  }

  void ClosePort(uint16_t Port) override {
    auto It = Sockets.find(Port);
    if (It == Sockets.end()) {
      return;
    }
    auto S = It->second;
    S->WaitingWrite = false; // one last try even when the buffer was full
    Flush(S);                // what the transfer said last (FIN, ERROR) still goes out
    S->Open = false;
    asio::error_code Ec;
    S->Sock.close(Ec);
    Sockets.erase(It);
  }

  void Send(uint16_t FromPort, const Endpoint &To, std::span<const uint8_t> D) override {
    auto It = Sockets.find(FromPort);
    if (It == Sockets.end()) {
      return;
    }
    auto &Q = It->second->Queue;
    if (Q.size() >= MaxQueuedPerSocket) {
      ++Dropped;
      return;
    }
    Q.push_back({net::ToSockaddr(To), Bytes(D.begin(), D.end())});
    Dirty = true;
  }

  void Report(const TransferReport &R) override {
    LogLine(R.Success || R.Query ? NoteLevel::Info : NoteLevel::Warn, TransferRecord(R));
  }

  void Log(NoteLevel L, const LogRecord &R) override { LogLine(L, R); }

private:
  struct Outgoing {
    sockaddr_in To;
    Bytes Data;
  };
  struct Socket {
    explicit Socket(asio::io_context &Io) : Sock(Io) {}
    udp::socket Sock;
    uint16_t Port = 0;
    std::deque<Outgoing> Queue;
    bool Open = true;
    bool WaitingWrite = false;
  };

  bool Started() const { return StartTime.count() != 0; }

  // The next free port of --port-range, going round from where the last one
  // was taken, so that a port just closed is the last to be used again (late
  // datagrams of its client find nobody). Null when every port is taken.
  std::shared_ptr<Socket> MakeRangeSocket() {
    const uint32_t Span = uint32_t{Range->second} - Range->first + 1;
    for (uint32_t I = 0; I < Span; ++I) {
      auto Port = static_cast<uint16_t>(Range->first + (RangeNext + I) % Span);
      if (Sockets.count(Port) != 0) {
        continue;
      }
      try {
        auto S = MakeSocket(Port);
        RangeNext = (RangeNext + I + 1) % Span;
        return S;
      } catch (const std::system_error &) {
        // taken by another program: try the next one
      }
    }
    return nullptr;
  }

  // No socket shares its address: with SO_REUSEADDR a local process (or a
  // second zem4d) could bind the request port too and take the requests.
  std::shared_ptr<Socket> MakeSocket(uint16_t Port, bool Listening = false) {
    auto S = std::make_shared<Socket>(Io);
    S->Sock.open(udp::v4());
    asio::error_code Ec;
    S->Sock.bind(net::ToAsio(Endpoint{BindAddress, Port}), Ec);
    if (Ec && Listening) {
      throw std::runtime_error(
          fmt::format("cannot listen on {}:{}: {}", Options.Bind, Port, Ec.message()));
    }
    if (Ec) {
      throw std::system_error(Ec);
    }
    S->Sock.non_blocking(true);
    S->Port = S->Sock.local_endpoint().port();
    int Fd = S->Sock.native_handle();
    int Ttl = Options.McastTtl;
    int Loop = 1;
    ::setsockopt(Fd, IPPROTO_IP, IP_MULTICAST_TTL, &Ttl, sizeof Ttl);
    ::setsockopt(Fd, IPPROTO_IP, IP_MULTICAST_LOOP, &Loop, sizeof Loop);
    if (::setsockopt(Fd, IPPROTO_IP, IP_MULTICAST_IF, &McastIf, sizeof McastIf) != 0) {
      throw std::system_error(errno, std::generic_category(),
                              "IP_MULTICAST_IF " + Options.McastInterface);
    }
    int Buffer = 1 << 20;
    ::setsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &Buffer, sizeof Buffer);
    return S;
  }

  // Multicast leaves by one interface: the one named, else the one that has
  // the --bind address. With --bind 0.0.0.0 no interface is implied, and
  // guessing one (the kernel's default route, or none at all) sends the
  // groups where the clients are not.
  void ResolveMulticastInterface() {
    McastIf = {};
    std::string Named = Options.McastInterface;
    if (Named.empty()) {
      if (BindAddress.IsZero()) {
        if (!Options.Multicast) {
          return;
        }
        throw std::invalid_argument(
            "--bind " + Options.Bind +
            " does not say where the clients are: name the multicast interface with --mcast-if "
            "(or serve by unicast only with --no-multicast)");
      }
      Named = Options.Bind;
    }
    unsigned Index = 0;
    if (auto Address = Ipv4::Parse(Named)) {
      Index = net::InterfaceWithAddress(*Address);
      if (Index == 0) {
        throw std::invalid_argument((Options.McastInterface.empty() ? "--bind " : "--mcast-if ") +
                                    Named + ": no interface of this machine has that address");
      }
    } else {
      Index = ::if_nametoindex(Named.c_str());
      if (Index == 0) {
        throw std::invalid_argument("--mcast-if: no such interface: " + Named);
      }
    }
    McastIf.imr_ifindex = static_cast<int>(Index);
    char Name[IF_NAMESIZE] = {};
    McastIfName = ::if_indextoname(Index, Name) ? Name : Named;
  }

  // Sockets wait for readability and read into the one buffer all share:
  // a session costs no receive buffer of its own.
  void Receive(const std::shared_ptr<Socket> &S) {
    if (!S->Open || Stopped) {
      return;
    }
    S->Sock.async_wait(udp::socket::wait_read, [this, S](const asio::error_code &Ec) {
      if (!S->Open || Stopped || Ec == asio::error::operation_aborted) {
        return;
      }
      for (int I = 0; I < 64 && S->Open && !Stopped; ++I) {
        udp::endpoint From;
        asio::error_code Rc;
        size_t Length = S->Sock.receive_from(asio::buffer(Rx), From, 0, Rc);
        if (Rc) {
          break; // would block, or an error the next wait reports again
        }
        if (From.address().is_v4()) {
          Eng->OnDatagram(net::FromAsio(From), S->Port, std::span<const uint8_t>(Rx.data(), Length),
                          SteadyNow());
        }
      }
      AfterEngine();
      Receive(S);
    });
  }

  void AfterEngine() {
    FlushAll();
    ArmTimer();
  }

  void ArmTimer() {
    auto Next = Eng->NextDeadline();
    if (!Next) {
      Timer.cancel();
      ArmedFor.reset();
      return;
    }
    if (ArmedFor && *ArmedFor == *Next) {
      return;
    }
    ArmedFor = *Next;
    Timer.expires_at(ToSteady(*Next));
    Timer.async_wait([this](const asio::error_code &Ec) {
      if (Ec || Stopped) {
        return;
      }
      ArmedFor.reset();
      Eng->OnTime(SteadyNow());
      AfterEngine();
    });
  }

  void FlushAll() {
    if (!Dirty) {
      return;
    }
    Dirty = false;
    for (auto &[Port, S] : Sockets) {
      Flush(S);
    }
  }

  // Sends what is queued, up to Batch datagrams per system call. A full send
  // buffer keeps the rest until the socket can take more.
  void Flush(const std::shared_ptr<Socket> &Sp) {
    Socket &S = *Sp;
    while (!S.Queue.empty() && S.Open && !S.WaitingWrite) {
      std::array<mmsghdr, Batch> Msgs{};
      std::array<iovec, Batch> Iov{};
      size_t N = std::min(Batch, S.Queue.size());
      for (size_t I = 0; I < N; ++I) {
        auto &O = S.Queue[I];
        Iov[I] = {O.Data.data(), O.Data.size()};
        Msgs[I].msg_hdr.msg_name = &O.To;
        Msgs[I].msg_hdr.msg_namelen = sizeof O.To;
        Msgs[I].msg_hdr.msg_iov = &Iov[I];
        Msgs[I].msg_hdr.msg_iovlen = 1;
      }
      int Sent = ::sendmmsg(S.Sock.native_handle(), Msgs.data(), static_cast<unsigned>(N), 0);
      if (Sent < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
          WaitWritable(Sp);
          return;
        }
        // A datagram the network refuses (e.g. no route) is dropped alone.
        LogLine(NoteLevel::Debug, LogRecord{"send_failed", "send failed: {error}", {}, true}.Add(
                                      "error", Word{std::strerror(errno)}));
        ++Dropped;
        S.Queue.pop_front();
        continue;
      }
      S.Queue.erase(S.Queue.begin(), S.Queue.begin() + Sent);
    }
  }

  void WaitWritable(const std::shared_ptr<Socket> &S) {
    S->WaitingWrite = true;
    S->Sock.async_wait(udp::socket::wait_write, [this, S](const asio::error_code &Ec) {
      S->WaitingWrite = false;
      if (!Ec && S->Open && !Stopped) {
        Flush(S);
      }
    });
  }

  void WaitSignal() {
    if (!Signals) {
      return;
    }
    Signals->async_wait([this](const asio::error_code &Ec, int Signal) {
      if (Ec) {
        return;
      }
      if (Signal == SIGUSR1) {
        LogLine(NoteLevel::Info, Totals("stats", "stats:"));
        WaitSignal();
        return;
      }
      if (Signal == SIGHUP) {
        if (ReloadHook) {
          ReloadHook();
        } else {
          LogLine(NoteLevel::Info, SignalRecord(Signal, " (SIGHUP) received: started without "
                                                        "--config, nothing to reload"));
        }
        WaitSignal();
        return;
      }
      LogLine(NoteLevel::Info, SignalRecord(Signal, " received"));
      Stop();
    });
  }

  static LogRecord SignalRecord(int Signal, const char *Rest) {
    return LogRecord{"signal", std::string("signal {signal}") + Rest, {}, true}.Add(
        "signal", uint64_t(Signal));
  }

  void ArmStats() {
    if (Options.StatsIntervalS == 0) {
      return;
    }
    StatsTimer.expires_after(std::chrono::seconds(Options.StatsIntervalS));
    StatsTimer.async_wait([this](const asio::error_code &Ec) {
      if (Ec || Stopped) {
        return;
      }
      LogLine(NoteLevel::Info, Totals("stats", "stats:"));
      ArmStats();
    });
  }

  asio::io_context &Io;
  DaemonOptions Options;
  EngineConfig Config;
  DirectoryFileSource Files;
  ReadAheadSource Ahead{Files}; // what the engine reads through
  asio::steady_timer Timer;
  asio::steady_timer StatsTimer;
  std::optional<asio::signal_set> Signals;
  Ipv4 BindAddress;
  ip_mreqn McastIf{};
  std::string McastIfName = "none";
  uint16_t ListenPortNumber = 0;
  std::optional<std::pair<uint16_t, uint16_t>> Range;
  uint32_t RangeNext = 0;
  std::map<uint16_t, std::shared_ptr<Socket>> Sockets;
  std::array<uint8_t, 65536> Rx{}; // shared by every socket (one thread reads)
  std::unique_ptr<Engine> Eng;
  std::optional<Time> ArmedFor;
  Time StartTime{0};
  bool Dirty = false;
  bool Stopped = false;
  uint64_t Dropped = 0;
  std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
};

Daemon::Daemon(asio::io_context &Io, const DaemonOptions &Options)
    : P(std::make_unique<Impl>(Io, Options)) {}
Daemon::~Daemon() = default;
void Daemon::Start() {
  P->Start();
}
void Daemon::Stop() {
  P->Stop();
}
uint16_t Daemon::ListenPort() const {
  return P->ListenPort();
}
EngineStats Daemon::Stats() const {
  return P->Stats();
}
const Engine &Daemon::Server() const {
  return P->Server();
}
void Daemon::SetReloadHook(std::function<void()> Hook) {
  P->ReloadHook = std::move(Hook);
}
void Daemon::SetStopHook(std::function<void()> Hook) {
  P->StopHook = std::move(Hook);
}
void Daemon::ApplyLive(const DaemonOptions &Options) {
  P->ApplyLive(Options);
}

namespace {

// For good: groups, then the group, then the user, and no way back.
void DropPrivileges(const std::string &User) {
  errno = 0;
  const passwd *Pw = ::getpwnam(User.c_str());
  if (Pw == nullptr) {
    throw ConfigError("--user: no such user: " + User);
  }
  if (::initgroups(Pw->pw_name, Pw->pw_gid) != 0 || ::setgid(Pw->pw_gid) != 0 ||
      ::setuid(Pw->pw_uid) != 0) {
    throw std::system_error(errno, std::generic_category(), "--user " + User);
  }
  if (Pw->pw_uid != 0 && ::setuid(0) == 0) {
    throw std::runtime_error("--user " + User + ": root could be regained");
  }
}

LogRecord ErrorRecord(const std::exception &E) {
  return LogRecord{"fatal", "zem4d: {error}", {}, true}.Add("error", Word{E.what()});
}

} // namespace

void HoldDaemonSignals() {
  sigset_t Held = HeldSignals();
  pthread_sigmask(SIG_BLOCK, &Held, nullptr);
}

std::string VersionText() {
  return std::string(ZEM4_VERSION) + " (commit " + ZEM4_COMMIT + ")";
}

int RunDaemon(const DaemonOptions &Options, const std::string &User, const DaemonHooks &Hooks) {
  if (Hooks.Logging) {
    Hooks.Logging();
  } else {
    spdlog::set_default_logger(spdlog::stderr_color_mt("zem4d"));
  }
  spdlog::set_level(spdlog::level::from_str(Options.LogLevel));
  try {
    asio::io_context Io;
    Daemon D(Io, Options);
    std::shared_ptr<void> Extras;
    if (Hooks.Prepare) {
      Extras = Hooks.Prepare(Io, D);
    }
    if (!User.empty()) {
      DropPrivileges(User);
    } else if (::geteuid() == 0) {
      LogLine(NoteLevel::Warn, {"running_as_root",
                                "running as root without --user: every file root may read is "
                                "at risk",
                                {}});
    }
    auto Bind = Ipv4::Parse(Options.Bind);
    if (Bind && Bind->b[0] != 127 && Options.Allow.empty()) {
      LogLine(NoteLevel::Warn, LogRecord{"open_to_all",
                                         "listening on {address} beyond loopback with no --allow: "
                                         "anyone who reaches it may download",
                                         {},
                                         true}
                                   .Add("address", Word{Options.Bind}));
    }
    D.Start();
    Io.run();
    return kDaemonExitStopped;
  } catch (const std::invalid_argument &E) {
    LogLine(NoteLevel::Error, ErrorRecord(E));
    return kDaemonExitUsage;
  } catch (const std::exception &E) {
    LogLine(NoteLevel::Error, ErrorRecord(E));
    return kDaemonExitFailed;
  }
}

} // namespace zem4::server
