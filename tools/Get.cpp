// zem4 get and zem4 info.
#include "tools/Commands.h"
#include "tools/Exit.h"
#include "tools/GetJob.h"
#include "tools/Output.h"
#include "tools/Progress.h"
#include "tools/Signals.h"
#include "tools/Transfer.h"

#include "net/Socket.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <sys/stat.h>

namespace zem4::cli {
namespace {

std::string BaseName(const std::string &path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDirectory(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string OutputPath(const std::string &file, const std::string &out) {
  std::string base = BaseName(file);
  if (base.empty() || base == "." || base == "..")
    base = "download";
  if (out.empty())
    return base;
  if (IsDirectory(out))
    return out + "/" + base;
  return out;
}

// Several files go into a directory, each under its own name.
std::vector<std::string> OutputPaths(const GetOptions &o) {
  std::vector<std::string> paths;
  if (o.files.size() > 1 && !o.out.empty() && !IsDirectory(o.out))
    throw Failure(kExitUsage, "with several files, --out names a directory: " + o.out);
  for (const std::string &file : o.files) {
    std::string path = OutputPath(file, o.out);
    if (std::find(paths.begin(), paths.end(), path) != paths.end())
      throw Failure(kExitUsage, "two files would both be written to " + path);
    paths.push_back(path);
  }
  return paths;
}

std::vector<uint32_t> LogLevels(const std::string &level) {
  if (level == "error")
    return {DIAG_ERROR};
  if (level == "notice" || level == "all")
    return {DIAG_ERROR, DIAG_NOTICE};
  return {};
}

// Files fetched at once: enough for their closing periods to overlap, well
// below what a server allows one client.
constexpr size_t kConcurrentFiles = 4;
// 100 ms in the firmware's 100 ns units.
constexpr UINT64 kTickPeriod = 1'000'000;

struct TickContext {
  std::vector<std::unique_ptr<GetJob>> &jobs;
  ProgressBoard &board;
};

VOID EFIAPI OnTick(EFI_EVENT, VOID *context) {
  auto *c = static_cast<TickContext *>(context);
  for (auto &job : c->jobs)
    job->Tick();
  c->board.Render();
}

// This client's address: named, or the source of the route to the server.
// One that no interface here has would fail in the driver with a bare status
// (or send from an address we cannot hear on): refused before anything is sent.
net::Ipv4 StationFor(const std::string &named, const ServerSpec &server) {
  net::Ipv4 station =
      named.empty() ? RouteSource(server.address, server.port) : ParseAddress(named, "--station");
  if (!net::InterfaceWithAddress(station))
    throw Failure(kExitUsage, "--station " + station.ToString() +
                                  ": no interface of this machine has that address");
  return station;
}

} // namespace

int RunGet(const GetOptions &o) {
  CatchInterrupts(nullptr);
  ServerSpec server;
  ParseServer(o.server, server.address, server.port);
  net::Ipv4 station = StationFor(o.station, server);
  if (!o.mcastIf.empty() && !host::InterfaceNamed(o.mcastIf))
    throw Failure(kExitUsage, "--mcast-if: no such interface: " + o.mcastIf);
  const std::vector<std::string> outPaths = OutputPaths(o);
  const bool several = o.files.size() > 1;

  ProgressBoard board(!o.quiet, StderrIsTerminal(), std::min(o.files.size(), kConcurrentFiles));
  HostOptions ho;
  ho.logLevels = LogLevels(o.log);
  ho.onLog = [&board](const std::string &line) { board.Print("zem4: driver: " + line); };
  ho.net.faults.loss = o.loss;
  ho.net.faults.seed = o.seed;
  ho.net.multicastInterface = o.mcastIf;
  Host host(ho);
  CatchInterrupts(&host.Net());

  GetShared shared{host,    host.AddStation(station),
                   station, server,
                   o,       board,
                   several, std::mt19937(std::random_device{}()),
                   {}};
  std::vector<std::unique_ptr<GetJob>> jobs;
  for (size_t i = 0; i < o.files.size(); ++i)
    jobs.push_back(std::make_unique<GetJob>(shared, o.files[i], outPaths[i]));
  shared.serviceAll = [&jobs, &board] {
    for (auto &job : jobs)
      job->Service();
    board.Render();
  };

  // A firmware timer keeps progress and stop requests going even while one
  // job's GetInfo holds the command inside the driver.
  TickContext tickContext{jobs, board};
  EFI_EVENT tick = nullptr;
  if (several && !EFI_ERROR(gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnTick,
                                             &tickContext, &tick)))
    gBS->SetTimer(tick, TimerPeriodic, kTickPeriod);

  if (!o.quiet)
    board.Print("zem4: waiting for " + server.ToString() + "\u2026");

  std::vector<bool> free(std::min(o.files.size(), kConcurrentFiles), true);
  auto report = [&](GetJob &job) {
    // One line per file as it ends; with one file, after the board.
    free[job.Slot()] = true;
    if (!several || (job.Code() == kExitOk && o.quiet))
      return;
    board.Clear(job.Slot());
    board.Print(job.Code() == kExitOk ? "zem4: " + job.Message()
                                      : "zem4: " + job.File() + ": " + job.Message());
  };

  for (;;) {
    size_t active = 0, waiting = 0;
    for (auto &job : jobs) {
      active += job->Active();
      waiting += job->GetPhase() == GetJob::Phase::Waiting;
    }
    if (active == 0 && (waiting == 0 || gInterrupted))
      break;
    for (auto &job : jobs) {
      if (gInterrupted || active >= kConcurrentFiles)
        break;
      if (job->GetPhase() != GetJob::Phase::Waiting)
        continue;
      size_t slot = size_t(std::find(free.begin(), free.end(), true) - free.begin());
      free[slot] = false;
      job->Begin(slot);
      if (job->GetPhase() == GetJob::Phase::Done)
        report(*job);
      else
        active++;
    }
    for (auto &job : jobs) {
      if (!job->Active())
        continue;
      job->Advance();
      if (job->GetPhase() == GetJob::Phase::Done)
        report(*job);
    }
    if (std::any_of(jobs.begin(), jobs.end(), [](auto &j) { return j->Active(); }))
      host.Step();
    shared.serviceAll();
  }
  if (tick)
    gBS->CloseEvent(tick);
  board.Close();

  // The first failure in argument order decides; a stop signal above all.
  int result = kExitOk;
  std::string message;
  for (auto &job : jobs) {
    if (job->GetPhase() == GetJob::Phase::Waiting) {
      if (several && !o.quiet)
        std::fprintf(stderr, "zem4: %s: not started (%s)\n", job->File().c_str(),
                     InterruptText().c_str());
      continue;
    }
    if (job->Code() != kExitOk && result == kExitOk) {
      result = job->Code();
      message = job->Message();
    }
    if (!several && (job->Code() != kExitOk || !o.quiet))
      message = job->Message();
  }
  if (gInterrupted) {
    result = InterruptExit();
    message = InterruptText();
  }
  jobs.clear();
  std::vector<std::string> leaks = host.TearDown();
  for (const auto &l : leaks)
    std::fprintf(stderr, "zem4: firmware still holds: %s\n", l.c_str());
  if (!several && !message.empty())
    std::fprintf(stderr, "zem4: %s\n", message.c_str());
  return result;
}

int RunInfo(const InfoOptions &o) {
  ServerSpec server;
  ParseServer(o.server, server.address, server.port);
  net::Ipv4 station = StationFor(o.station, server);
  Host host(HostOptions{});
  CatchInterrupts(&host.Net());
  Host::Child child = host.CreateChild(host.AddStation(station));
  if (EFI_ERROR(ConfigureChild(child.zem4, station, server)))
    throw Failure(kExitUsage, "the driver refused the configuration");
  InfoReply info =
      QueryInfo(host, child.zem4, server, o.file, std::max(1u, o.timeout), o.multicast);
  host.DestroyChild(child);
  host.TearDown();
  if (gInterrupted)
    throw Failure(InterruptExit(), InterruptText());
  if (info.isError) {
    Verdict v = ExplainServerError(info.errorCode, info.errorText);
    throw Failure(v.code, v.message);
  }
  if (!info.haveReply || EFI_ERROR(info.status)) {
    Verdict v = Explain(info.status == EFI_SUCCESS ? EFI_PROTOCOL_ERROR : info.status,
                        EndReason::None, server, o.timeout, o.file);
    throw Failure(v.code, v.message);
  }
  if (std::string problem = info.Problem(); !problem.empty())
    throw Failure(kExitServerError, problem);
  std::printf("file: %s\nserver: %s\n", o.file.c_str(), server.ToString().c_str());
  if (auto size = info.Size())
    std::printf("size: %llu bytes (%s)\n", static_cast<unsigned long long>(*size),
                HumanBytes(double(*size)).c_str());
  else
    std::printf("size: not given\n");
  std::printf("sha256: %s\n", info.Sha256().value_or("not given").c_str());
  if (auto it = info.options.find(ZEM4_OPT_MULTICAST); it != info.options.end()) {
    // "a.b.c.d,port,flag"
    std::string v = it->second;
    auto c1 = v.find(','), c2 = v.rfind(',');
    if (c1 != std::string::npos && c2 != c1)
      std::printf("multicast: group %s port %s role %s\n", v.substr(0, c1).c_str(),
                  v.substr(c1 + 1, c2 - c1 - 1).c_str(),
                  v.substr(c2 + 1) == "1" ? "active" : "passive");
    else
      std::printf("multicast: %s\n", v.c_str());
  } else if (o.multicast) {
    std::printf("multicast: not offered (unicast)\n");
  }
  for (const auto &[name, value] : info.options)
    if (name != ZEM4_OPT_TSIZE && name != ZEM4_OPT_SHA256 && name != ZEM4_OPT_MULTICAST)
      std::printf("%s: %s\n", name.c_str(), value.c_str());
  return kExitOk;
}

uint64_t ParseSize(const std::string &text) {
  size_t pos = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &pos);
  } catch (const std::exception &) {
    throw Failure(kExitUsage, "not a size: " + text);
  }
  std::string unit = text.substr(pos);
  for (char &c : unit)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  uint64_t mult = 1;
  if (unit == "" || unit == "b")
    mult = 1;
  else if (unit == "k" || unit == "kib" || unit == "kb")
    mult = 1024;
  else if (unit == "m" || unit == "mib" || unit == "mb")
    mult = 1024 * 1024;
  else if (unit == "g" || unit == "gib" || unit == "gb")
    mult = 1024ull * 1024 * 1024;
  else
    throw Failure(kExitUsage, "not a size: " + text);
  return value * mult;
}

} // namespace zem4::cli
