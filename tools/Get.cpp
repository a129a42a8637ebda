// zem4 get and zem4 info.
#include "tools/Commands.h"
#include "tools/Exit.h"
#include "tools/Output.h"
#include "tools/Progress.h"
#include "tools/Signals.h"
#include "tools/Transfer.h"

#include "support/DiagLog.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace zem4::cli {
namespace {

std::string BaseName(const std::string &path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string OutputPath(const GetOptions &o) {
  std::string base = BaseName(o.file);
  if (base.empty() || base == "." || base == "..")
    base = "download";
  if (o.out.empty())
    return base;
  struct stat st {};
  if (::stat(o.out.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return o.out + "/" + base;
  return o.out;
}

std::vector<uint32_t> LogLevels(const std::string &level) {
  if (level == "error")
    return {DIAG_ERROR};
  if (level == "notice" || level == "all")
    return {DIAG_ERROR, DIAG_NOTICE};
  return {};
}

// Waits `seconds` with the firmware idle; false when interrupted.
bool Pause(Host &host, double seconds) {
  host::Time100ns until = host.Fw().Now() + host::Time100ns(seconds * 1e7);
  while (host.Fw().Now() < until) {
    if (gInterrupted)
      return false;
    host.Net().Wait(until);
  }
  return !gInterrupted;
}

// Busy server: a growing pause with jitter so that clients turned away
// together do not come back together.
double Backoff(unsigned attempt, std::mt19937 &rng) {
  double base = std::min(8.0, 0.5 * std::pow(2.0, attempt));
  return base * std::uniform_real_distribution<double>(0.5, 1.5)(rng);
}

void Say(ProgressBoard &board, bool quiet, const std::string &text) {
  if (!quiet)
    board.Print("zem4: " + text);
}

} // namespace

int RunGet(const GetOptions &o) {
  ServerSpec server;
  ParseServer(o.server, server.address, server.port);
  host::Ipv4 station = ParseAddress(o.station, "--station");
  const std::string outPath = OutputPath(o);

  ProgressBoard board(!o.quiet, ::isatty(2) != 0, 1);
  HostOptions ho;
  ho.logLevels = LogLevels(o.log);
  ho.onLog = [&board](const std::string &line) { board.Print("zem4: driver: " + line); };
  ho.net.faults.loss = o.loss;
  ho.net.faults.seed = o.seed;
  Host host(ho);
  CatchInterrupts(&host.Net());

  Host::Child child = host.CreateChild(host.AddStation(station));
  if (EFI_STATUS st = ConfigureChild(child.zem4, station, server); EFI_ERROR(st))
    throw Failure(kExitUsage, "the driver refused the configuration for " + station.ToString() +
                                  " -> " + server.ToString());

  std::mt19937 rng(std::random_device{}());
  bool multicast = o.multicast;
  unsigned attempt = 0;
  int result = kExitOk;
  std::string message;
  for (;;) {
    // What the file is: its size and, from our server, its SHA-256.
    InfoReply info = QueryInfo(host, child.zem4, server, o.file, std::max(1u, o.timeout));
    host.FlushLog();
    if (info.reconfigure && EFI_ERROR(ConfigureChild(child.zem4, station, server)))
      throw Failure(kExitDriver, "the driver refused the configuration again");
    if (gInterrupted)
      throw Failure(kExitInterrupted, "interrupted");
    bool busy = (info.isError && info.errorCode == ZEM4_ERR_NOT_READY) ||
                (!info.haveReply && info.status == EFI_NOT_READY);
    if (busy && attempt < o.retries) {
      double wait = Backoff(attempt++, rng);
      char buf[96];
      std::snprintf(buf, sizeof buf, "server busy, trying again in %.1f s (%u of %u)", wait,
                    attempt, o.retries);
      Say(board, o.quiet, buf);
      if (!Pause(host, wait))
        throw Failure(kExitInterrupted, "interrupted");
      continue;
    }
    if (info.isError) {
      Verdict v = ExplainServerError(info.errorCode, info.errorText);
      throw Failure(v.code, v.message);
    }
    if (!info.haveReply || EFI_ERROR(info.status)) {
      Verdict v = Explain(info.status == EFI_SUCCESS ? EFI_PROTOCOL_ERROR : info.status,
                          EndReason::None, server, o.timeout);
      throw Failure(v.code, v.message);
    }
    std::optional<uint64_t> size = info.Size();
    std::optional<std::string> sha = info.Sha256();

    OutputFile out(outPath);
    const bool stream = o.stream || !size || *size == 0;
    if (!stream)
      out.Map(*size);
    DownloadSpec spec;
    spec.file = o.file;
    spec.multicast = multicast;
    spec.stallTimeoutS = o.timeout;
    spec.multicastWaitS = o.mcastWait;
    spec.interrupted = &gInterrupted;
    if (stream)
      spec.onData = [&out](const uint8_t *data, size_t length) { return out.Append(data, length); };
    else {
      spec.buffer = out.Data();
      spec.bufferSize = *size;
    }
    Download d(host, child.zem4, server, spec);
    if (EFI_STATUS st = d.Start(); EFI_ERROR(st)) {
      Verdict v = Explain(st, EndReason::None, server, o.timeout);
      throw Failure(v.code, "ReadFile refused to start: " + v.message);
    }
    const std::string label = BaseName(o.file) + (multicast ? " (multicast)" : "");
    auto shown = std::chrono::steady_clock::now();
    while (!d.Done()) {
      if (gInterrupted)
        d.Abort(EndReason::Interrupted);
      host.Step();
      // Progress is for people: a few dozen updates a second are plenty.
      auto now = std::chrono::steady_clock::now();
      if (now - shown >= std::chrono::milliseconds(20)) {
        shown = now;
        board.Set(0, label, d.Progress(), size.value_or(0), d.Elapsed());
        board.Render();
      }
    }
    host.FlushLog();
    board.Set(0, label, d.Last(), size.value_or(0), d.Duration(),
              d.Status() == EFI_SUCCESS ? "done" : "failed");
    board.Render(true);

    if (d.Reason() == EndReason::Interrupted)
      throw Failure(kExitInterrupted, "interrupted");
    if (d.Reason() == EndReason::NoMulticast) {
      Say(board, o.quiet,
          "no multicast data within " + std::to_string(o.mcastWait) +
              " s; falling back to unicast");
      multicast = false;
      continue;
    }
    if (d.Status() == EFI_NOT_READY && d.Reason() == EndReason::None && attempt < o.retries) {
      double wait = Backoff(attempt++, rng);
      Say(board, o.quiet, "server busy, trying again");
      if (!Pause(host, wait))
        throw Failure(kExitInterrupted, "interrupted");
      continue;
    }
    Verdict v = Explain(d.Status(), d.Reason(), server, o.timeout);
    if (v.code == kExitLocalIo && stream)
      v.message = "cannot write " + outPath;
    if (v.code != kExitOk)
      throw Failure(v.code, v.message);

    const uint64_t bytes = stream ? out.Written() : *size;
    if (size && bytes != *size)
      throw Failure(kExitServerError, "the file came out " + std::to_string(bytes) +
                                          " bytes long, the server said " + std::to_string(*size));
    std::string verdict;
    if (sha) {
      std::string got = out.Sha256Hex();
      if (got != *sha)
        throw Failure(kExitIntegrity, "SHA-256 mismatch for " + o.file + ": the server says " +
                                          *sha + ", the copy has " + got + "; not kept");
      verdict = "SHA-256 verified";
    } else {
      verdict = "not verified (the server gave no SHA-256)";
    }
    out.Commit();
    char line[256];
    double secs = std::max(d.Duration(), 1e-6);
    std::snprintf(line, sizeof line, "%s -> %s: %llu bytes in %.2f s (%s), %u gaps seen, %s",
                  o.file.c_str(), outPath.c_str(), static_cast<unsigned long long>(bytes), secs,
                  HumanRate(double(bytes) / secs).c_str(), d.Last().LostBlocks, verdict.c_str());
    message = line;
    break;
  }
  board.Close();
  host.DestroyChild(child);
  std::vector<std::string> leaks = host.TearDown();
  for (const auto &l : leaks)
    std::fprintf(stderr, "zem4: firmware still holds: %s\n", l.c_str());
  if (!o.quiet)
    std::fprintf(stderr, "zem4: %s\n", message.c_str());
  return result;
}

int RunInfo(const InfoOptions &o) {
  ServerSpec server;
  ParseServer(o.server, server.address, server.port);
  host::Ipv4 station = ParseAddress(o.station, "--station");
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
    throw Failure(kExitInterrupted, "interrupted");
  if (info.isError) {
    Verdict v = ExplainServerError(info.errorCode, info.errorText);
    throw Failure(v.code, v.message);
  }
  if (!info.haveReply || EFI_ERROR(info.status)) {
    Verdict v = Explain(info.status == EFI_SUCCESS ? EFI_PROTOCOL_ERROR : info.status,
                        EndReason::None, server, o.timeout);
    throw Failure(v.code, v.message);
  }
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
