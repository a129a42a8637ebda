#include "server/daemon/Logging.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fmt/format.h>
#include <memory>
#include <mutex>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace zem4::server {

namespace {

// The record being written, for the JSON formatter: spdlog's logger is
// synchronous, so its sink formats in the thread and the call that set it.
thread_local const LogRecord *Writing = nullptr;

class JsonFormatter final : public spdlog::formatter {
public:
  void format(const spdlog::details::log_msg &M, spdlog::memory_buf_t &Dest) override {
    using namespace std::chrono;
    auto Since = M.time.time_since_epoch();
    std::time_t Seconds = duration_cast<std::chrono::seconds>(Since).count();
    auto Millis = duration_cast<milliseconds>(Since).count() % 1000;
    std::tm Utc{};
    ::gmtime_r(&Seconds, &Utc);
    std::string Stamp =
        fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", Utc.tm_year + 1900,
                    Utc.tm_mon + 1, Utc.tm_mday, Utc.tm_hour, Utc.tm_min, Utc.tm_sec, Millis);
    auto Level = spdlog::level::to_string_view(M.level);
    std::string Line = JsonLogLine(Stamp, std::string_view(Level.data(), Level.size()),
                                   std::string_view(M.payload.data(), M.payload.size()), Writing);
    Line.push_back('\n');
    Dest.append(Line.data(), Line.data() + Line.size());
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<JsonFormatter>();
  }
};

// The journal reads a "<N>" priority prefix on each line of a service's
// stream (sd-daemon's convention): no library, and the journal adds the time.
class JournalStreamSink final : public spdlog::sinks::base_sink<std::mutex> {
protected:
  void sink_it_(const spdlog::details::log_msg &M) override {
    spdlog::memory_buf_t Body;
    formatter_->format(M, Body);
    std::string Out = fmt::format("<{}>", Priority(M.level));
    Out.append(Body.data(), Body.size());
    const char *At = Out.data();
    size_t Left = Out.size();
    while (Left > 0) {
      ssize_t N = ::write(STDERR_FILENO, At, Left);
      if (N < 0 && errno == EINTR) {
        continue;
      }
      if (N <= 0) {
        return; // nowhere left to say it
      }
      At += N;
      Left -= static_cast<size_t>(N);
    }
  }
  void flush_() override {}

private:
  static int Priority(spdlog::level::level_enum L) {
    switch (L) {
    case spdlog::level::critical:
      return LOG_CRIT;
    case spdlog::level::err:
      return LOG_ERR;
    case spdlog::level::warn:
      return LOG_WARNING;
    case spdlog::level::info:
      return LOG_INFO;
    default:
      return LOG_DEBUG;
    }
  }
};

} // namespace

bool StderrIsJournal() {
  const char *Stream = std::getenv("JOURNAL_STREAM");
  if (Stream == nullptr) {
    return false;
  }
  unsigned long long Device = 0, Inode = 0;
  char Extra = 0;
  if (std::sscanf(Stream, "%llu:%llu%c", &Device, &Inode, &Extra) != 2) {
    return false;
  }
  struct stat St {};
  return ::fstat(STDERR_FILENO, &St) == 0 && St.st_dev == Device && St.st_ino == Inode;
}

std::string ResolveLogTarget(const std::string &Target) {
  if (Target == "auto") {
    return StderrIsJournal() ? "journal" : "stderr";
  }
  return Target;
}

void InstallLogger(const std::string &Target, const std::string &Format) {
  std::string Where = ResolveLogTarget(Target);
  spdlog::sink_ptr Sink;
  if (Where == "syslog") {
    Sink = std::make_shared<spdlog::sinks::syslog_sink_mt>("zem4d", LOG_PID, LOG_DAEMON, true);
  } else if (Where == "journal") {
    Sink = std::make_shared<JournalStreamSink>();
  } else if (Format == "json") {
    Sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  } else {
    Sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
  }
  if (Format == "json") {
    Sink->set_formatter(std::make_unique<JsonFormatter>());
  } else if (Where != "stderr") {
    Sink->set_pattern("%v"); // syslog and the journal keep their own time and priority
  }
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("zem4d", Sink));
}

void LogLine(NoteLevel Level, const LogRecord &Record) {
  static constexpr spdlog::level::level_enum Levels[] = {spdlog::level::debug, spdlog::level::info,
                                                         spdlog::level::warn, spdlog::level::err};
  Writing = &Record;
  spdlog::log(Levels[static_cast<int>(Level)], "{}", Record.Line());
  Writing = nullptr;
}

std::string JsonLogLine(std::string_view Time, std::string_view Level, std::string_view Message,
                        const LogRecord *Record) {
  std::string Out = "{\"ts\":";
  AppendJsonString(Out, Time);
  Out += ",\"level\":";
  AppendJsonString(Out, Level);
  Out += ",\"msg\":";
  AppendJsonString(Out, Message);
  if (Record != nullptr) {
    Out += ','; // not "," + a temporary: GCC 12 at -O3 reports an overlapping copy
    Out += Record->Json();
  }
  Out += "}";
  return Out;
}

} // namespace zem4::server
