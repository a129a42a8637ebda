#include "server/daemon/Metrics.h"

#include "net/Socket.h"
#include "server/daemon/Daemon.h"
#include "server/daemon/Logging.h"

#include <array>
#include <asio.hpp>
#include <chrono>
#include <fmt/format.h>
#include <set>
#include <spdlog/spdlog.h>

namespace zem4::server {

using asio::ip::tcp;

namespace {

// A scrape is one short request: anything longer, or slower, is not one.
constexpr size_t MaxRequestBytes = 4096;
constexpr auto ConnectionDeadline = std::chrono::seconds(3);
constexpr size_t MaxConnections = 16;
constexpr auto AcceptRetry = std::chrono::seconds(1);

std::string Response(std::string_view Status, std::string_view Type, std::string_view Body,
                     std::string_view Extra = {}) {
  return fmt::format("HTTP/1.1 {}\r\nContent-Type: {}\r\nContent-Length: {}\r\n{}Connection: "
                     "close\r\n\r\n{}",
                     Status, Type, Body.size(), Extra, Body);
}

} // namespace

std::vector<Total> TotalsOf(const Engine &E) {
  const auto &S = E.Stats();
  return {
      {"requests", S.Requests, false, "Requests received on the request port."},
      {"served", S.SessionsServed, false, "Clients whose transfer completed."},
      {"failed", S.SessionsFailed, false, "Clients whose transfer failed."},
      {"refused", S.Refused, false, "Requests answered with an error instead of served."},
      {"malformed", S.Malformed, false, "Datagrams that did not parse."},
      {"groups", S.GroupsCreated, false, "Multicast groups created."},
      {"passes", S.Passes, false, "Passes over a file (unicast and group)."},
      {"datagrams", S.DatagramsSent, false, "Datagrams sent."},
      {"bytes", S.BytesSent, false, "UDP payload bytes sent."},
      {"data_datagrams", S.DataDatagrams, false, "DATA8 datagrams sent."},
      {"retransmissions", S.Retransmissions, false, "DATA8 datagrams sent again."},
      {"unicast_fallbacks", S.UnicastFallbacks, false,
       "Multicast requests served by unicast instead."},
      {"active_clients", E.ActiveClients(), true, "Confirmed clients being served now."},
      {"active_groups", E.ActiveGroups(), true, "Multicast groups now."},
      {"digest_waits", S.DigestWaits, false,
       "Requests held while their file's SHA-256 was computed."},
      {"digest_waits_dropped", S.DigestWaitsDropped, false,
       "Requests left unanswered while held requests were at their bound."},
      {"drivers_replaced", S.DriversReplaced, false,
       "Group members given up on as drivers for making no progress."},
      {"bad_source", S.BadSource, false,
       "Datagrams from addresses no client can have, dropped unanswered."},
      {"queries", S.Queries, false,
       "Size-and-digest questions (GetInfo): ERROR 0 \"User caceled download\" before any list."},
      {"unconfirmed_expired", S.PendingExpired, false,
       "Answered requests never confirmed in time."},
      {"unconfirmed_evicted", S.PendingEvicted, false,
       "Answered requests evicted early for newer ones."},
      {"log_suppressed", S.LogSuppressed, false, "Log lines left out by the rate limit."},
      {"no_port", S.NoPort, false, "Times a transfer found no free port."},
  };
}

std::string MetricsText(const Engine &E) {
  std::string Out;
  for (const auto &T : TotalsOf(E)) {
    std::string Name = fmt::format("zem4d_{}{}", T.Name, T.Gauge ? "" : "_total");
    Out += fmt::format("# HELP {0} {1}\n# TYPE {0} {2}\n{0} {3}\n", Name, T.Help,
                       T.Gauge ? "gauge" : "counter", T.Value);
  }
  Out += fmt::format("# HELP zem4d_unconfirmed_clients Requests answered and group members not "
                     "yet confirmed.\n# TYPE zem4d_unconfirmed_clients gauge\n"
                     "zem4d_unconfirmed_clients {}\n",
                     E.UnconfirmedClients());
  Out += "# HELP zem4d_group_members Members of each multicast group now.\n"
         "# TYPE zem4d_group_members gauge\n";
  for (const auto &G : E.GroupList()) {
    Out += fmt::format("zem4d_group_members{{group=\"{}\"}} {}\n", G.Address.ToString(), G.Members);
  }
  return Out;
}

Endpoint ParseMetricsAddress(const std::string &Text) {
  auto At = Endpoint::Parse(Text.find(':') == std::string::npos ? "127.0.0.1:" + Text : Text);
  if (!At) {
    throw ConfigError("not [ADDRESS:]PORT with an IPv4 address: " + Text);
  }
  return *At;
}

class MetricsServer::Impl : public std::enable_shared_from_this<Impl> {
public:
  Impl(asio::io_context &Io, const Daemon &D) : Io(Io), Acceptor(Io), Retry(Io), D(D) {}

  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(tcp::socket S, Impl &Owner)
        : Sock(std::move(S)), Deadline(Sock.get_executor()), Request(MaxRequestBytes),
          Owner(Owner.weak_from_this()) {}
    tcp::socket Sock;
    asio::steady_timer Deadline;
    asio::streambuf Request;
    std::string Reply;
    std::weak_ptr<Impl> Owner;

    void Start() {
      auto Self = shared_from_this();
      Deadline.expires_after(ConnectionDeadline);
      Deadline.async_wait([Self](const asio::error_code &Ec) {
        if (!Ec) {
          Self->Close(); // too slow: whatever it was doing, it is over
        }
      });
      asio::async_read_until(Sock, Request, "\r\n\r\n",
                             [Self](const asio::error_code &Ec, size_t) { Self->OnRequest(Ec); });
    }

    void OnRequest(const asio::error_code &Ec) {
      auto O = Owner.lock();
      if (Ec || !O) {
        Close(); // closed early, over the size bound (not_found), or cut by the deadline
        return;
      }
      std::string Head(asio::buffers_begin(Request.data()), asio::buffers_end(Request.data()));
      std::string Line = Head.substr(0, Head.find("\r\n"));
      auto Sp1 = Line.find(' ');
      auto Sp2 = Sp1 == std::string::npos ? Sp1 : Line.find(' ', Sp1 + 1);
      if (Sp2 == std::string::npos || Line.compare(Sp2 + 1, 5, "HTTP/") != 0) {
        Reply = Response("400 Bad Request", "text/plain", "bad request\n");
      } else {
        std::string Method = Line.substr(0, Sp1);
        std::string Path = Line.substr(Sp1 + 1, Sp2 - Sp1 - 1);
        Path = Path.substr(0, Path.find('?'));
        if (Method != "GET") {
          Reply = Response("405 Method Not Allowed", "text/plain", "GET only\n", "Allow: GET\r\n");
        } else if (Path != "/metrics") {
          Reply = Response("404 Not Found", "text/plain", "not found\n");
        } else {
          Reply = Response("200 OK", "text/plain; version=0.0.4", MetricsText(O->D.Server()));
        }
      }
      auto Self = shared_from_this();
      asio::async_write(Sock, asio::buffer(Reply), [Self](const asio::error_code &, size_t) {
        asio::error_code Ignored;
        Self->Sock.shutdown(tcp::socket::shutdown_send, Ignored);
        Self->Close();
      });
    }

    void Close() {
      asio::error_code Ignored;
      Deadline.cancel();
      Sock.close(Ignored);
      if (auto O = Owner.lock()) {
        O->Open.erase(shared_from_this());
      }
    }
  };

  void Listen(const std::string &Address) {
    auto Wanted = ParseMetricsAddress(Address);
    tcp::endpoint At(net::ToAsio(Wanted.address), Wanted.port);
    Acceptor.open(At.protocol());
    Acceptor.set_option(tcp::acceptor::reuse_address(true));
    asio::error_code Ec;
    Acceptor.bind(At, Ec);
    if (Ec) {
      throw std::runtime_error(
          fmt::format("--metrics: cannot listen on {}: {}", Wanted.ToString(), Ec.message()));
    }
    Acceptor.listen();
    LogLine(NoteLevel::Info,
            LogRecord{"metrics", "metrics on http://{address}:{port}/metrics", {}, true}
                .Add("address", Word{Wanted.address.ToString()})
                .Add("port", uint64_t{Acceptor.local_endpoint().port()}));
  }

  void Accept() {
    auto Self = shared_from_this();
    Acceptor.async_accept([Self](const asio::error_code &Ec, tcp::socket S) {
      if (Self->Stopped || Ec == asio::error::operation_aborted) {
        return;
      }
      if (Ec) {
        // Out of descriptors, say: try again later rather than spin.
        LogLine(NoteLevel::Warn,
                LogRecord{"metrics_accept_failed", "metrics: accept failed: {error}", {}, true}.Add(
                    "error", Word{Ec.message()}));
        Self->Retry.expires_after(AcceptRetry);
        Self->Retry.async_wait([Self](const asio::error_code &E) {
          if (!E && !Self->Stopped) {
            Self->Accept();
          }
        });
        return;
      }
      if (Self->Open.size() < MaxConnections) {
        auto C = std::make_shared<Connection>(std::move(S), *Self);
        Self->Open.insert(C);
        C->Start();
      } // else: refused by closing it at once (S goes out of scope)
      Self->Accept();
    });
  }

  void Stop() {
    if (Stopped) {
      return;
    }
    Stopped = true;
    asio::error_code Ignored;
    Retry.cancel();
    Acceptor.close(Ignored);
    auto Conns = Open;
    for (const auto &C : Conns) {
      C->Close();
    }
  }

  asio::io_context &Io;
  tcp::acceptor Acceptor;
  asio::steady_timer Retry;
  const Daemon &D;
  std::set<std::shared_ptr<Connection>> Open;
  bool Stopped = false;
};

MetricsServer::MetricsServer(asio::io_context &Io, const std::string &Address, const Daemon &D)
    : P(std::make_shared<Impl>(Io, D)) {
  P->Listen(Address);
  P->Accept();
}

MetricsServer::~MetricsServer() {
  P->Stop();
}

uint16_t MetricsServer::Port() const {
  return P->Acceptor.local_endpoint().port();
}

void MetricsServer::Stop() {
  P->Stop();
}

} // namespace zem4::server
