// Signals for the command line: SIGINT, SIGTERM and SIGHUP ask a running
// command to stop and clean up (transfers watch the flag); SIGPIPE and SIGXFSZ
// are ignored so that a closed pipe or a file-size limit shows as a failed
// write, which the command reports, instead of killing it with a temporary
// file left behind.
#pragma once

#include "host/SocketNetwork.h"

#include <csignal>
#include <string>

namespace zem4::cli {

// The number of the signal that asked us to stop; 0 while none has.
extern volatile std::sig_atomic_t gInterrupted;

// Installs the handlers; a stop request also wakes `net` (may be null).
void CatchInterrupts(host::SocketNetwork *net);
// Ignores SIGPIPE and SIGXFSZ (once, at start).
void IgnoreWriteSignals();

// 128 + the signal (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
int InterruptExit();
// "interrupted", or "interrupted by SIGTERM" / "by SIGHUP".
std::string InterruptText();

} // namespace zem4::cli
