// One child of the driver doing one thing: asking the server about a file
// (GetInfo) or downloading it (ReadFile with an event, into a buffer or a
// stream), with progress from GetStatus and a TimeoutCallback that ends the
// transfer on Ctrl-C, on a stall, or when multicast brings nothing.
#pragma once

#include "tools/Host.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zem4::cli {

struct ServerSpec {
  host::Ipv4 address{127, 0, 0, 1};
  uint16_t port = 5568;
  std::string ToString() const { return address.ToString() + ":" + std::to_string(port); }
};

// Configures a child for `station` talking to `server`.
EFI_STATUS ConfigureChild(Zem4 *zem4, host::Ipv4 station, const ServerSpec &server);

struct InfoReply {
  EFI_STATUS status = EFI_SUCCESS;
  bool timedOut = false;
  bool reconfigure = false;
  bool haveReply = false; // a packet came back (OACK or ERROR)
  bool isError = false;   // it was an ERROR
  uint16_t errorCode = 0;
  std::string errorText;
  std::map<std::string, std::string> options; // names in lower case
  std::optional<uint64_t> Size() const;
  std::optional<std::string> Sha256() const;
};

// GetInfo for `file` asking "tsize" and "sha256" (no "multicast"). The
// driver would wait minutes for a silent server: after `timeoutS` seconds,
// or on Ctrl-C, the transfer is aborted through Configure with no data, which
// leaves the child unconfigured (`reconfigure` is then true).
InfoReply QueryInfo(Host &host, Zem4 *zem4, const ServerSpec &server, const std::string &file,
                    unsigned timeoutS, bool multicast = false);

// Lowercase option pairs of an OACK through the driver's ParseOptions.
std::map<std::string, std::string> ParseOack(Zem4 *zem4, const std::vector<uint8_t> &packet);

enum class EndReason { None, Interrupted, Stalled, NoMulticast, Cancelled };

struct DownloadSpec {
  std::string file;
  bool multicast = false;
  // Buffer mode when set: every block lands at its offset.
  uint8_t *buffer = nullptr;
  uint64_t bufferSize = 0;
  // Stream mode (no buffer): runs of data in file order.
  std::function<bool(const uint8_t *data, size_t length)> onData;
  unsigned stallTimeoutS = 30; // 0: never
  unsigned multicastWaitS = 0; // with multicast: give up if no data by then; 0: never
  const volatile std::sig_atomic_t *interrupted = nullptr;
};

class Download {
public:
  Download(Host &host, Zem4 *zem4, const ServerSpec &server, DownloadSpec spec);
  ~Download();
  Download(const Download &) = delete;
  Download &operator=(const Download &) = delete;

  // ReadFile; an error here means the transfer never started.
  EFI_STATUS Start();
  bool Started() const { return started_; }
  bool Done() const { return done_; }
  EFI_STATUS Status() const { return token_.Status; }
  EndReason Reason() const { return reason_; }
  // The progress as GetStatus gives it; also notes progress for the stall
  // check.
  Zem4TransferStatus Progress();
  void Cancel() { cancel_ = true; }
  // Ends the transfer now through Configure with no data (the driver calls
  // TimeoutCallback only when its timer runs out, which a flowing transfer
  // never lets happen). The child must be configured again afterwards.
  void Abort(EndReason reason);
  double Elapsed() const;
  // When the transfer finished (seconds since start); Elapsed() until then.
  double Duration() const { return done_ ? doneAt_ : Elapsed(); }
  const Zem4TransferStatus &Last() const { return last_; }
  uint64_t StreamBytes() const { return streamBytes_; }

private:
  static EFI_STATUS EFIAPI CheckPacket(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Packet);
  static EFI_STATUS EFIAPI TimeoutCallback(Zem4 *This, Zem4Token *Token);
  static VOID EFIAPI OnDone(EFI_EVENT Event, VOID *Context);
  void NoteProgress();

  Host &host_;
  Zem4 *zem4_;
  DownloadSpec spec_;
  Zem4OverrideData override_{};
  std::vector<std::string> strings_;
  std::vector<Zem4Option> options_;
  Zem4Token token_{};
  bool started_ = false;
  bool done_ = false;
  bool cancel_ = false;
  bool aborting_ = false;
  EndReason reason_ = EndReason::None;
  std::chrono::steady_clock::time_point start_, lastProgress_;
  double doneAt_ = 0;
  Zem4TransferStatus last_{};
  uint32_t lastReceived_ = 0;
  uint64_t streamBytes_ = 0;
};

// A one-line explanation of a download's end for a person, and its exit code.
struct Verdict {
  int code;
  std::string message;
};
Verdict Explain(EFI_STATUS status, EndReason reason, const ServerSpec &server, unsigned stallS);
Verdict ExplainServerError(uint16_t code, const std::string &text);

} // namespace zem4::cli
