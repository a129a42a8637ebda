// zem4 demo: the whole system on one machine. A test file in a temporary
// directory, the server on 127.0.0.1 (in this process, on its own thread),
// then the driver downloads the file once by unicast and then as a multicast
// group in which one member joins a third of the way in, with some loss.
// Every copy is checked against the server's SHA-256; a table tells how it
// went. Exit 0 only when every copy matches.
#include "tools/Commands.h"
#include "tools/Exit.h"
#include "tools/Output.h"
#include "tools/Progress.h"
#include "tools/Signals.h"
#include "tools/Transfer.h"

#include "net/Socket.h"
#include "server/daemon/Daemon.h"
#include "zem4/Zem4Wire.h"

#include <asio.hpp>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>

namespace zem4::cli {
namespace {

namespace fs = std::filesystem;

// Keeps the server's log lines: its per-transfer reports give roles and passes.
class CaptureSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(lines_);
  }

protected:
  void sink_it_(const spdlog::details::log_msg &msg) override {
    lines_.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}

private:
  std::vector<std::string> lines_;
};

// What the server's report line says about one client: roles and passes.
struct ServerView {
  std::string roles;
  uint32_t passes = 0;
};

std::string Field(const std::string &line, const std::string &key) {
  auto at = line.find(" " + key + "=");
  if (at == std::string::npos)
    return {};
  at += key.size() + 2;
  auto end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Report lines by client address (several lines per client add up).
std::map<std::string, ServerView> ParseReports(const std::vector<std::string> &lines) {
  std::map<std::string, ServerView> out;
  for (const auto &line : lines) {
    if (line.rfind("transfer ", 0) != 0)
      continue;
    std::string client = Field(line, "client");
    std::string ip = client.substr(0, client.find(':'));
    std::string outcome = Field(line, "outcome");
    std::string roles = Field(line, "roles");
    uint32_t passes = uint32_t(std::atoi(Field(line, "passes").c_str()));
    // GetInfo's own short exchanges are questions, not the download.
    if (outcome == "\"query\"")
      continue;
    ServerView &v = out[ip];
    if (!roles.empty() && v.roles.find(roles) == std::string::npos)
      v.roles = v.roles.empty() ? roles : v.roles + "+" + roles;
    v.passes += passes;
  }
  return out;
}

uint16_t FreeUdpPort() {
  asio::io_context io;
  asio::ip::udp::socket s(io, net::ToAsio(net::Endpoint{net::Ipv4(127, 0, 0, 1), 0}));
  return s.local_endpoint().port();
}

class InProcessServer {
public:
  InProcessServer(const std::string &root) {
    sink_ = std::make_shared<CaptureSink>();
    auto logger = std::make_shared<spdlog::logger>("zem4d", sink_);
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::info);
    server::DaemonOptions o;
    o.Bind = "127.0.0.1";
    o.Port = 0;
    o.Root = root;
    o.LogLevel = "info";
    o.HandleSignals = false; // Ctrl-C is ours: it ends the downloads, then the server
    // A group network and port of its own, so that other servers on this
    // machine (tests running alongside) cannot cross our traffic.
    std::random_device rd;
    o.McastNetwork = "239.255." + std::to_string(1 + rd() % 254) + ".0/24";
    o.McastPort = FreeUdpPort();
    daemon_ = std::make_unique<server::Daemon>(io_, o);
    daemon_->Start();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~InProcessServer() { Stop(); }

  uint16_t Port() const { return daemon_->ListenPort(); }
  server::EngineStats Stats() {
    std::promise<server::EngineStats> p;
    auto f = p.get_future();
    asio::post(io_, [&] { p.set_value(daemon_->Stats()); });
    return f.get();
  }
  std::vector<std::string> TakeLog() { return sink_->Take(); }
  void Stop() {
    if (!thread_.joinable())
      return;
    asio::post(io_, [this] { daemon_->Stop(); });
    thread_.join();
    daemon_.reset();
  }

private:
  asio::io_context io_;
  std::shared_ptr<CaptureSink> sink_;
  std::unique_ptr<server::Daemon> daemon_;
  std::thread thread_;
};

struct Member {
  std::string label;
  net::Ipv4 station;
  Host::Child child;
  std::unique_ptr<OutputFile> out;
  std::unique_ptr<Download> download;
  bool late = false;
  // Results
  bool finished = false;
  EFI_STATUS status = EFI_NOT_STARTED;
  std::string verdict;
  bool match = false;
  double seconds = 0;
  uint32_t gaps = 0;
};

struct Totals {
  uint64_t datagrams = 0;
  uint64_t bytes = 0;
};

void MakeTestFile(const fs::path &path, uint64_t size, uint64_t seed) {
  std::ofstream f(path, std::ios::binary);
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> chunk(8192);
  uint64_t left = size;
  while (left > 0) {
    for (auto &w : chunk)
      w = rng();
    size_t n = size_t(std::min<uint64_t>(left, chunk.size() * 8));
    f.write(reinterpret_cast<const char *>(chunk.data()), std::streamsize(n));
    left -= n;
  }
  if (!f)
    throw Failure(kExitLocalIo, "cannot write the test file " + path.string());
}

// Runs the members' downloads to their ends. A late member starts once the
// first has a third of the file.
void RunMembers(Host &host, std::vector<Member> &members, ProgressBoard &board,
                const std::string &file, uint64_t size, uint32_t totalBlocks) {
  auto finish = [&](Member &m) {
    m.finished = true;
    m.status = m.download->Status();
    m.seconds = m.download->Duration();
    m.gaps = m.download->Gaps();
  };
  auto shown = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    const bool show = now - shown >= std::chrono::milliseconds(20);
    if (show)
      shown = now;
    bool running = false;
    for (size_t i = 0; i < members.size(); ++i) {
      Member &m = members[i];
      if (!m.download->Started() && !m.finished) {
        bool go = !m.late || gInterrupted ||
                  members[0].download->Last().ReceivedBlocks >= totalBlocks / 3 ||
                  members[0].finished;
        if (go && !gInterrupted) {
          if (EFI_ERROR(m.download->Start())) {
            m.finished = true;
            m.status = EFI_DEVICE_ERROR;
          }
        } else if (gInterrupted) {
          m.finished = true;
          m.status = EFI_ABORTED;
        }
      }
      if (m.download->Started() && !m.finished) {
        if (gInterrupted)
          m.download->Stop(EndReason::Interrupted);
        m.download->Service();
        if (m.download->Done())
          finish(m);
        else
          running = true;
      }
      // A view of a literal: GCC 12 at -O3 (32-bit) takes assigning one of two
      // literals to a std::string for an overlapping copy (-Wrestrict).
      std::string_view state;
      if (!m.download->Started())
        state = m.finished ? "not started" : "waiting to join";
      else if (m.finished)
        state = m.status == EFI_SUCCESS ? "done" : "failed";
      if (!show && !(m.finished && !state.empty()))
        continue;
      Zem4TransferStatus st =
          m.download->Started() && !m.finished ? m.download->Progress() : m.download->Last();
      board.Set(i, m.label, st, m.download->Gaps(), size,
                m.download->Started() ? m.download->Duration() : 0, std::string(state));
    }
    board.Render();
    bool waiting = false;
    for (auto &m : members)
      waiting = waiting || (!m.finished && !m.download->Started());
    if (!running && !waiting)
      break;
    host.Step();
  }
  board.Render(true);
  (void)file;
}

void Verify(std::vector<Member> &members, const std::string &sha, const fs::path &dir) {
  for (auto &m : members) {
    if (m.status != EFI_SUCCESS) {
      Verdict v = Explain(m.status, m.download->Reason(), ServerSpec{}, 0);
      m.verdict = "failed: " + v.message;
      m.out->Discard();
      continue;
    }
    std::string got = m.out->Sha256Hex();
    m.match = got == sha;
    m.verdict = m.match ? "match" : "MISMATCH";
    if (m.match)
      m.out->Commit();
    else
      m.out->Discard();
  }
  (void)dir;
}

} // namespace

int RunDemo(const DemoOptions &o) {
  const uint64_t size = ParseSize(o.size);
  if (size > (uint64_t(4) << 30))
    throw Failure(kExitUsage, "--size: at most 4 GiB");
  const bool tty = ::isatty(2) != 0;

  char pattern[] = "/tmp/zem4-demo-XXXXXX";
  if (!::mkdtemp(pattern))
    throw Failure(kExitLocalIo, "cannot make a temporary directory");
  const fs::path dir = pattern;
  struct Cleanup {
    fs::path dir;
    bool keep;
    ~Cleanup() {
      std::error_code ec;
      if (!keep)
        fs::remove_all(dir, ec);
    }
  } cleanup{dir, o.keep};

  const std::string file = "demo.bin";
  fs::create_directories(dir / "root");
  std::printf("zem4 demo: %s test file in %s\n", HumanBytes(double(size)).c_str(), dir.c_str());
  MakeTestFile(dir / "root" / file, size, o.seed);

  CatchInterrupts(nullptr);
  InProcessServer server((dir / "root").string());
  ServerSpec spec;
  spec.address = net::Ipv4(127, 0, 0, 1);
  spec.port = server.Port();
  std::printf("zem4 demo: server on %s\n", spec.ToString().c_str());
  std::fflush(stdout);

  const uint32_t totalBlocks = uint32_t(size / ZEM4_BLOCK_SIZE + 1);
  std::string sha;
  std::vector<Member> unicast, group;
  Totals unicastTotals, groupTotals;
  std::map<std::string, ServerView> views;

  auto makeMember = [&](Host &host, const std::string &label, net::Ipv4 station,
                        const std::string &sub, bool multicast, bool late) {
    Member m;
    m.label = label;
    m.station = station;
    m.late = late;
    m.child = host.CreateChild(host.AddStation(station));
    if (EFI_ERROR(ConfigureChild(m.child.zem4, station, spec)))
      throw Failure(kExitDriver, "the driver refused the configuration for " + station.ToString());
    fs::create_directories(dir / sub);
    m.out = std::make_unique<OutputFile>((dir / sub / file).string());
    DownloadSpec ds;
    ds.file = file;
    ds.multicast = multicast;
    ds.stallTimeoutS = 30;
    ds.child = m.child.handle;
    if (size == 0 || !m.out->Map(size)) {
      OutputFile *out = m.out.get();
      ds.onData = [out](const uint8_t *d, size_t n) { return out->Append(d, n); };
    } else {
      ds.buffer = m.out->Data();
      ds.bufferSize = size;
    }
    m.download = std::make_unique<Download>(host, m.child.zem4, spec, ds);
    return m;
  };

  // (1) One client, unicast.
  {
    std::printf("\n(1) unicast download by one client\n");
    std::fflush(stdout);
    Host host(HostOptions{});
    CatchInterrupts(&host.Net());
    unicast.push_back(
        makeMember(host, "unicast", net::Ipv4(127, 0, 0, 2), "unicast", false, false));
    InfoReply info = QueryInfo(host, unicast[0].child.zem4, spec, file, 10);
    if (info.isError || !info.Sha256() || info.Size() != size)
      throw Failure(kExitServerError, "the server did not describe the test file as expected");
    sha = *info.Sha256();
    server.TakeLog();
    server::EngineStats before = server.Stats();
    {
      ProgressBoard board(true, tty, 1);
      RunMembers(host, unicast, board, file, size, totalBlocks);
    }
    server::EngineStats after = server.Stats();
    unicastTotals = {after.DatagramsSent - before.DatagramsSent,
                     after.BytesSent - before.BytesSent};
    Verify(unicast, sha, dir);
    for (auto &m : unicast) {
      m.download.reset(); // its event belongs to this firmware
      host.DestroyChild(m.child);
    }
    for (auto &[ip, v] : ParseReports(server.TakeLog()))
      views[ip] = v;
  }

  // (2) A multicast group, one member late, with loss on receive.
  if (!gInterrupted) {
    std::printf(
        "\n(2) multicast group of %u clients (the last joins after a third), %.1f %% loss\n",
        o.clients, o.loss * 100);
    std::fflush(stdout);
    HostOptions ho;
    ho.net.faults.loss = o.loss;
    ho.net.faults.seed = o.seed;
    Host host(ho);
    CatchInterrupts(&host.Net());
    for (unsigned i = 0; i < o.clients; ++i) {
      bool late = i + 1 == o.clients;
      group.push_back(makeMember(host, "member " + std::to_string(i + 1) + (late ? " (late)" : ""),
                                 net::Ipv4(127, 0, 0, uint8_t(11 + i)),
                                 "member" + std::to_string(i + 1), true, late));
    }
    server::EngineStats before = server.Stats();
    {
      ProgressBoard board(true, tty, group.size());
      RunMembers(host, group, board, file, size, totalBlocks);
    }
    // The server's last FINs and reports come just after the clients finish.
    for (int i = 0; i < 10; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server::EngineStats after = server.Stats();
    groupTotals = {after.DatagramsSent - before.DatagramsSent, after.BytesSent - before.BytesSent};
    Verify(group, sha, dir);
    for (auto &m : group) {
      m.download.reset();
      host.DestroyChild(m.child);
    }
    for (auto &[ip, v] : ParseReports(server.TakeLog()))
      views[ip] = v;
  }
  CatchInterrupts(nullptr);
  server.Stop();

  // (3) The summary.
  std::printf("\n(3) summary (file %s, SHA-256 %.16s...)\n\n", HumanBytes(double(size)).c_str(),
              sha.c_str());
  std::printf("%-16s %-11s %-22s %6s %9s %9s %13s  %s\n", "client", "station", "role(s)", "passes",
              "time", "MiB/s", "gaps seen", "SHA-256");
  bool allMatch = true;
  auto row = [&](const Member &m) {
    const ServerView *v = nullptr;
    if (auto it = views.find(m.station.ToString()); it != views.end())
      v = &it->second;
    double rate = m.seconds > 0 ? double(size) / m.seconds / (1024.0 * 1024.0) : 0.0;
    char gaps[32];
    std::snprintf(gaps, sizeof gaps, "%u", m.gaps);
    std::printf("%-16s %-11s %-22s %6s %8.2fs %9.1f %13s  %s\n", m.label.c_str(),
                m.station.ToString().c_str(), v ? v->roles.c_str() : "?",
                v ? std::to_string(v->passes).c_str() : "?", m.seconds, m.match ? rate : 0.0, gaps,
                m.verdict.c_str());
    allMatch = allMatch && m.match;
  };
  for (auto &m : unicast)
    row(m);
  for (auto &m : group)
    row(m);
  if (unicast.empty() || group.size() != o.clients)
    allMatch = false;
  auto serverLine = [&](const char *what, const Totals &t, size_t copies) {
    double perFile = size ? double(t.bytes) / double(size) : 0.0;
    std::printf("server, %-10s %8llu datagrams %12llu bytes = %.3f x the file for %zu cop%s\n",
                what, static_cast<unsigned long long>(t.datagrams),
                static_cast<unsigned long long>(t.bytes), perFile, copies,
                copies == 1 ? "y" : "ies");
  };
  std::printf("\n");
  serverLine("unicast:", unicastTotals, unicast.size());
  serverLine("multicast:", groupTotals, group.size());
  if (gInterrupted) {
    std::printf("\nzem4 demo: interrupted\n");
    return InterruptExit();
  }
  std::printf("\nzem4 demo: %s\n", allMatch ? "every copy matches the file" : "SOME COPIES FAILED");
  if (o.keep)
    std::printf("zem4 demo: kept %s\n", dir.c_str());
  return allMatch ? kExitOk : kExitFailure;
}

} // namespace zem4::cli
