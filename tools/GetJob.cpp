#include "tools/GetJob.h"

#include "tools/Exit.h"
#include "tools/Signals.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zem4::cli {
namespace {

std::string BaseName(const std::string &path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

GetJob::GetJob(GetShared &shared, std::string file, std::string outPath)
    : shared_(shared), file_(std::move(file)), outPath_(std::move(outPath)),
      multicast_(shared.options.multicast) {}

GetJob::~GetJob() {
  download_.reset();
  out_.reset();
  shared_.host.DestroyChild(child_);
}

std::string GetJob::Label() const {
  return BaseName(file_) + (answeredByGroup_ ? " (multicast)" : "");
}

void GetJob::Say(const std::string &text) {
  if (!shared_.options.quiet)
    shared_.board.Print("zem4: " + (shared_.several ? file_ + ": " : "") + text);
}

void GetJob::Begin(size_t slot) {
  slot_ = slot;
  phase_ = Phase::Query;
  try {
    child_ = shared_.host.CreateChild(shared_.controller);
    if (EFI_ERROR(ConfigureChild(child_.zem4, shared_.station, shared_.server)))
      throw Failure(kExitUsage, "the driver refused the configuration for " +
                                    shared_.station.ToString() + " -> " +
                                    shared_.server.ToString());
  } catch (const Failure &f) {
    Finish(f.Code(), f.what());
  }
}

void GetJob::Advance() {
  try {
    switch (phase_) {
    case Phase::Query:
      Query();
      break;
    case Phase::Backoff:
      if (gInterrupted)
        Finish(InterruptExit(), InterruptText());
      else if (std::chrono::steady_clock::now() >= backoffUntil_)
        phase_ = Phase::Query;
      break;
    case Phase::Downloading:
      if (download_->Done())
        EndDownload();
      break;
    case Phase::Waiting:
    case Phase::Done:
      break;
    }
  } catch (const Failure &f) {
    Finish(f.Code(), f.what());
  }
}

void GetJob::Service() {
  if (phase_ != Phase::Downloading || download_->Done())
    return;
  if (gInterrupted)
    download_->Stop(EndReason::Interrupted);
  download_->Service();
  Tick();
}

void GetJob::Tick() {
  if (phase_ != Phase::Downloading || download_->Done())
    return;
  if (gInterrupted)
    download_->Stop(EndReason::Interrupted);
  auto now = std::chrono::steady_clock::now();
  // Progress is for people: a few dozen updates a second are plenty.
  if (now - shown_ >= std::chrono::milliseconds(20)) {
    shown_ = now;
    shared_.board.Set(slot_, Label(), download_->Progress(), download_->Gaps(), size_.value_or(0),
                      download_->Elapsed());
  }
}

void GetJob::Query() {
  const GetOptions &o = shared_.options;
  if (reconfigure_) {
    if (EFI_ERROR(ConfigureChild(child_.zem4, shared_.station, shared_.server)))
      throw Failure(kExitDriver, "the driver refused the configuration again");
    reconfigure_ = false;
  }
  // What the file is: its size, its SHA-256 from our server, and whether the
  // server answers this request by multicast, asked as the download will ask.
  InfoReply info = QueryInfo(shared_.host, child_.zem4, shared_.server, file_,
                             std::max(1u, o.timeout), multicast_, shared_.serviceAll);
  shared_.host.FlushLog();
  reconfigure_ = info.reconfigure;
  if (gInterrupted)
    throw Failure(InterruptExit(), InterruptText());
  bool busy = (info.isError && info.errorCode == ZEM4_ERR_NOT_READY) ||
              (!info.haveReply && info.status == EFI_NOT_READY);
  if (busy && attempt_ < o.retries) {
    Backoff("server busy");
    return;
  }
  if (info.isError) {
    Verdict v = ExplainServerError(info.errorCode, info.errorText);
    throw Failure(v.code, v.message);
  }
  if (!info.haveReply || EFI_ERROR(info.status)) {
    Verdict v = Explain(info.status == EFI_SUCCESS ? EFI_PROTOCOL_ERROR : info.status,
                        EndReason::None, shared_.server, o.timeout, file_);
    throw Failure(v.code, v.message);
  }
  // A reply the driver could not use is the server's fault, told apart here
  // rather than by what the driver makes of it later.
  if (std::string problem = info.Problem(); !problem.empty())
    throw Failure(kExitServerError, problem);
  size_ = info.Size();
  sha_ = info.Sha256();
  answeredByGroup_ = info.Multicast();
  StartDownload();
}

void GetJob::Backoff(const std::string &why) {
  // A growing pause with jitter, so that clients turned away together do not
  // come back together.
  const GetOptions &o = shared_.options;
  double base = std::min(8.0, 0.5 * std::pow(2.0, attempt_++));
  double wait = base * std::uniform_real_distribution<double>(0.5, 1.5)(shared_.rng);
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s, trying again in %.1f s (%u of %u)", why.c_str(), wait,
                attempt_, o.retries);
  Say(buf);
  backoffUntil_ = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(wait));
  phase_ = Phase::Backoff;
}

void GetJob::StartDownload() {
  const GetOptions &o = shared_.options;
  out_ = std::make_unique<OutputFile>(outPath_);
  if (size_ && out_->Direct())
    out_->Reserve(*size_); // a device too small: refused before the first block
  stream_ = o.stream || !size_ || *size_ == 0 || out_->Direct();
  if (!stream_ && !multicast_) {
    // By unicast the driver hands the file over in order: written and hashed
    // as it comes, with no page to fault in per block and nothing to read
    // again at the end. A multicast member may start anywhere: mapped.
    out_->Reserve(*size_);
    stream_ = true;
  } else if (!stream_ && !out_->Map(*size_)) {
    stream_ = true; // no reservation here: written as it comes
  }
  DownloadSpec spec;
  spec.file = file_;
  spec.multicast = multicast_;
  spec.stallTimeoutS = o.timeout;
  spec.multicastWaitS = o.mcastWait;
  spec.child = child_.handle;
  tooLong_ = false;
  if (stream_) {
    OutputFile *out = out_.get();
    const std::optional<uint64_t> size = size_;
    bool *tooLong = &tooLong_;
    spec.onData = [out, size, tooLong](const uint8_t *data, size_t length) {
      // Beyond what the server announced: refused, not written (a server
      // that never stopped would fill the disk).
      if (size && out->Written() + length > *size) {
        *tooLong = true;
        return false;
      }
      return out->Append(data, length);
    };
  } else {
    spec.buffer = out_->Data();
    spec.bufferSize = *size_;
  }
  download_ = std::make_unique<Download>(shared_.host, child_.zem4, shared_.server, spec);
  if (EFI_STATUS st = download_->Start(); EFI_ERROR(st)) {
    Verdict v = Explain(st, EndReason::None, shared_.server, o.timeout, file_);
    throw Failure(v.code, "ReadFile refused to start: " + v.message);
  }
  phase_ = Phase::Downloading;
  shown_ = {};
  Service();
}

void GetJob::EndDownload() {
  const GetOptions &o = shared_.options;
  shared_.host.FlushLog();
  Download &d = *download_;
  if (d.Aborted())
    reconfigure_ = true;
  shared_.board.Set(slot_, Label(), d.Last(), d.Gaps(), size_.value_or(0), d.Duration(),
                    d.Status() == EFI_SUCCESS && d.Reason() == EndReason::None ? "done" : "failed");
  shared_.board.Render(true);

  if (d.Reason() == EndReason::NoMulticast) {
    Say("no multicast data within " + std::to_string(o.mcastWait) + " s; falling back to unicast");
    // The wait is part of what the download cost.
    fellBackAfter_ = d.Duration();
    multicast_ = false;
    answeredByGroup_ = false;
    download_.reset();
    out_.reset();
    phase_ = Phase::Query;
    return;
  }
  if (d.Status() == EFI_NOT_READY && d.Reason() == EndReason::None && attempt_ < o.retries) {
    download_.reset();
    out_.reset();
    Backoff("server busy");
    return;
  }
  // A file that outgrew its announced size ends as a buffer that is too
  // small does.
  Verdict v = tooLong_ ? Explain(EFI_BUFFER_TOO_SMALL, EndReason::None, shared_.server, o.timeout)
                       : Explain(d.Status(), d.Reason(), shared_.server, o.timeout, file_);
  if (d.Reason() == EndReason::WriteFailed && !tooLong_)
    v.message = out_->WriteError();
  if (v.code != kExitOk)
    throw Failure(v.code, v.message);

  const uint64_t bytes = stream_ ? out_->Written() : *size_;
  if (size_ && bytes != *size_)
    throw Failure(kExitServerError, "the file came out " + std::to_string(bytes) +
                                        " bytes long, the server said " + std::to_string(*size_));
  std::string verdict;
  if (sha_) {
    std::string got = out_->Sha256Hex();
    if (got != *sha_)
      throw Failure(kExitIntegrity,
                    "SHA-256 mismatch for " + file_ + ": the server says " + *sha_ +
                        ", the copy has " + got +
                        (out_->Direct() ? "; already written to " + out_->Name() : "; not kept"));
    verdict = "SHA-256 verified";
  } else {
    verdict = "not verified (the server gave no SHA-256)";
  }
  out_->Commit();
  char line[512];
  double secs = std::max(d.Duration() + fellBackAfter_.value_or(0.0), 1e-6);
  char how[96] = "";
  if (fellBackAfter_)
    std::snprintf(how, sizeof how, ", by unicast after %.1f s without multicast data",
                  *fellBackAfter_);
  else if (multicast_ && answeredByGroup_)
    std::snprintf(how, sizeof how, ", by multicast");
  std::snprintf(line, sizeof line, "%s -> %s: %llu bytes in %.2f s (%s), %u gaps seen%s, %s",
                file_.c_str(), out_->Name().c_str(), static_cast<unsigned long long>(bytes), secs,
                HumanRate(double(bytes) / secs).c_str(), d.Gaps(), how, verdict.c_str());
  Finish(kExitOk, line);
}

void GetJob::Finish(int code, std::string message) {
  code_ = code;
  message_ = std::move(message);
  phase_ = Phase::Done;
  download_.reset();
  out_.reset(); // a temporary that was not committed goes
  shared_.host.DestroyChild(child_);
}

} // namespace zem4::cli
