// Ctrl-C for the command line: a flag that transfers watch from their
// TimeoutCallback, and a wake-up for a firmware idling in poll().
#pragma once

#include "host/SocketNetwork.h"

#include <csignal>

namespace zem4::cli {

extern volatile std::sig_atomic_t gInterrupted;

// SIGINT and SIGTERM set gInterrupted and wake `net` (may be null).
void CatchInterrupts(host::SocketNetwork *net);

} // namespace zem4::cli
