// Exit codes of the zem4 command, one per class of failure, and the error
// that carries one up to main.
#pragma once

#include <stdexcept>
#include <string>

namespace zem4::cli {

enum Exit : int {
  kExitOk = 0,
  kExitFailure = 1,      // anything not listed below
  kExitUsage = 2,        // bad command line
  kExitNotFound = 3,     // server error 1: no such file
  kExitAccess = 4,       // server error 2: path refused
  kExitBusy = 5,         // server error 9 after every retry
  kExitServerError = 6,  // any other error from the server, or a reply we cannot use
  kExitTimeout = 7,      // no answer, nothing listens, or no progress for --timeout seconds
  kExitIntegrity = 8,    // SHA-256 of the copy differs from the server's
  kExitLocalIo = 9,      // the output file cannot be written
  kExitDriver = 10,      // the driver or the host firmware failed
  kExitInterrupted = 130 // SIGINT; 128 + the signal for SIGTERM and SIGHUP
};

// What --help shows under "Exit codes".
inline constexpr const char *kExitCodeHelp = R"(Exit codes:
  0    success (file complete; verified when the server gave its SHA-256)
  1    other failure
  2    bad command line
  3    server error 1: file not found
  4    server error 2: access violation (path refused by the server)
  5    server busy (error 9), still busy after every retry
  6    other server error, or a reply that cannot be used (a malformed
       option acknowledgement, an impossible size or multicast answer)
  7    time-out: no answer, or no progress for --timeout seconds; also at
       once when nothing listens at the server's port
  8    SHA-256 mismatch: the copy is not kept (a device, FIFO or standard
       output already has it)
  9    the output cannot be written (full disk, closed pipe, not a file,
       device or FIFO)
  10   driver or firmware failure
  129  SIGHUP, 130 SIGINT (Ctrl-C), 143 SIGTERM: stopped; a flowing download
       tells the server
With several files, the exit code is that of the first that failed, in the
order given. A failed download never leaves a file under the output name.)";

class Failure : public std::runtime_error {
public:
  Failure(int code, const std::string &message) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

private:
  int code_;
};

} // namespace zem4::cli
