// One child of the driver doing one thing: asking the server about a file
// (GetInfo) or downloading it (ReadFile with an event, into a buffer or a
// stream), with progress from GetStatus. A stall, or multicast that brings
// nothing, ends the transfer silently from the TimeoutCallback; a stop asked
// by the caller (a signal, a failed write) refuses the next data through
// CheckPacket, so that the driver tells the server with its ERROR.
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
  net::Ipv4 address{127, 0, 0, 1};
  uint16_t port = 5568;
  std::string ToString() const { return address.ToString() + ":" + std::to_string(port); }
};

// Configures a child for `station` talking to `server`.
EFI_STATUS ConfigureChild(Zem4 *zem4, net::Ipv4 station, const ServerSpec &server);

struct InfoReply {
  EFI_STATUS status = EFI_SUCCESS;
  bool malformed = false; // an OACK whose option pairs do not parse
  bool timedOut = false;
  bool reconfigure = false;
  bool haveReply = false; // a packet came back (OACK or ERROR)
  bool isError = false;   // it was an ERROR
  uint16_t errorCode = 0;
  std::string errorText;
  std::map<std::string, std::string> options; // names in lower case
  std::optional<uint64_t> Size() const;
  std::optional<std::string> Sha256() const;
  // Why an OACK cannot be used (the server's fault), or empty: option pairs
  // that do not parse, a size that is not a number or beyond what block
  // numbers can carry, a digest that is not 64 hex digits, a multicast answer
  // that is not "group,port,role" with a multicast group and a port.
  std::string Problem() const;
  // The server answered with a multicast group.
  bool Multicast() const;
};

// Largest file the protocol can carry: every block number used once.
inline constexpr uint64_t kMaxFileBytes = uint64_t(0xFFFFFFFFu) * 1032u;

// GetInfo for `file` asking "tsize" and "sha256", and "multicast" when the
// download will. The driver would wait minutes for a silent server: after
// `timeoutS` seconds, or on a stop signal, the transfer is aborted through
// Configure with no data, which leaves the child unconfigured (`reconfigure`
// is then true). `whileWaiting` runs whenever the firmware idles meanwhile.
InfoReply QueryInfo(Host &host, Zem4 *zem4, const ServerSpec &server, const std::string &file,
                    unsigned timeoutS, bool multicast = false,
                    const std::function<void()> &whileWaiting = nullptr);

// Lowercase option pairs of an OACK through the driver's ParseOptions; sets
// `*malformed` when they do not parse.
std::map<std::string, std::string> ParseOack(Zem4 *zem4, const std::vector<uint8_t> &packet,
                                             bool *malformed = nullptr);

// Why the command line ended a transfer; None when the driver ended it.
enum class EndReason { None, Interrupted, Stalled, NoMulticast, WriteFailed };

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
  // The child's handle: its unicast port is where the gaps are counted.
  EFI_HANDLE child = nullptr;
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
  // Asks the transfer to end: the next data handed to CheckPacket is refused
  // (the driver then sends its ERROR, unless it is a passive member). That is
  // at most a half window away while blocks keep coming, so it is waited for
  // until no block has come for kStopGraceS, or kStopLimitS have gone by;
  // then Service() ends the transfer through Configure with no data, which
  // tells the server nothing and leaves the child to be configured again
  // (Aborted()).
  void Stop(EndReason reason);
  static constexpr double kStopGraceS = 0.5;
  static constexpr double kStopLimitS = 5.0;
  // Progress bookkeeping and the stop's fall-back; cheap, call often.
  void Service();
  bool Aborted() const { return aborting_; }
  double Elapsed() const;
  // When the transfer finished (seconds since start); Elapsed() until then.
  double Duration() const { return done_ ? doneAt_ : Elapsed(); }
  const Zem4TransferStatus &Last() const { return last_; }
  uint64_t StreamBytes() const { return streamBytes_; }
  // Blocks that arrived after a later one (tools/Gaps.h), each once.
  uint32_t Gaps() const { return gaps_.Gaps(); }

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
  bool stopping_ = false;
  bool aborting_ = false;
  std::chrono::steady_clock::time_point stopAsked_;
  EndReason reason_ = EndReason::None;
  std::chrono::steady_clock::time_point start_, lastProgress_;
  double doneAt_ = 0;
  Zem4TransferStatus last_{};
  uint32_t lastReceived_ = 0;
  uint64_t streamBytes_ = 0;
  GapCount gaps_;
};

// A one-line explanation of a download's end for a person, and its exit code.
struct Verdict {
  int code;
  std::string message;
};
Verdict Explain(EFI_STATUS status, EndReason reason, const ServerSpec &server, unsigned stallS,
                const std::string &file = "");
Verdict ExplainServerError(uint16_t code, const std::string &text);

} // namespace zem4::cli
