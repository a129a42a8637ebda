// One file of `zem4 get`: ask the server about it (GetInfo with the
// download's own options), wait out a busy server, download it through a
// driver child of its own into its output, check it and report one line.
// Several jobs share one firmware and run side by side; a job blocks only
// inside GetInfo, and the others are serviced meanwhile.
#pragma once

#include "tools/Commands.h"
#include "tools/Host.h"
#include "tools/Output.h"
#include "tools/Progress.h"
#include "tools/Transfer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>

namespace zem4::cli {

// What the jobs of one command share.
struct GetShared {
  Host &host;
  EFI_HANDLE controller;
  net::Ipv4 station;
  ServerSpec server;
  const GetOptions &options;
  ProgressBoard &board;
  bool several; // messages name their file
  std::mt19937 rng;
  // Services every job; runs while one of them waits inside GetInfo.
  std::function<void()> serviceAll;
};

class GetJob {
public:
  enum class Phase { Waiting, Query, Backoff, Downloading, Done };

  GetJob(GetShared &shared, std::string file, std::string outPath);
  ~GetJob();
  GetJob(const GetJob &) = delete;
  GetJob &operator=(const GetJob &) = delete;

  Phase GetPhase() const { return phase_; }
  bool Active() const { return phase_ != Phase::Waiting && phase_ != Phase::Done; }
  // Takes board line `slot` and a driver child; the job then asks the server.
  void Begin(size_t slot);
  // The step this job is ready for, if any: the query (blocking), the end of
  // a backoff, the end of its download.
  void Advance();
  // Progress, stop requests, the stop's fall-back. Cheap; never blocks.
  void Service();
  // Progress and stop requests only: safe from a firmware notification,
  // which is where the command gets a word in while another job's GetInfo
  // keeps the firmware busy with traffic.
  void Tick();

  int Code() const { return code_; }
  const std::string &Message() const { return message_; }
  const std::string &File() const { return file_; }
  size_t Slot() const { return slot_; }

private:
  void Query();
  void StartDownload();
  void EndDownload();
  void Backoff(const std::string &why);
  void Finish(int code, std::string message);
  void Say(const std::string &text);
  std::string Label() const;

  GetShared &shared_;
  std::string file_;
  std::string outPath_;
  size_t slot_ = 0;
  Phase phase_ = Phase::Waiting;
  Host::Child child_;
  bool reconfigure_ = false;
  bool multicast_;
  bool answeredByGroup_ = false;
  std::optional<double> fellBackAfter_; // seconds the group stayed silent
  unsigned attempt_ = 0;
  std::chrono::steady_clock::time_point backoffUntil_;
  std::optional<uint64_t> size_;
  std::optional<std::string> sha_;
  bool stream_ = false;
  bool tooLong_ = false; // the server sent more than it announced
  std::unique_ptr<OutputFile> out_;
  std::unique_ptr<Download> download_;
  std::chrono::steady_clock::time_point shown_;
  int code_ = 0;
  std::string message_;
};

} // namespace zem4::cli
