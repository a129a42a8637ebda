#include "tools/Signals.h"

#include <atomic>

namespace zem4::cli {

volatile std::sig_atomic_t gInterrupted = 0;

namespace {
std::atomic<host::SocketNetwork *> gWake{nullptr};

void OnSignal(int signo) {
  if (!gInterrupted)
    gInterrupted = signo;
  if (host::SocketNetwork *net = gWake.load())
    net->Wake(); // a write to an eventfd: safe in a handler
}
} // namespace

void CatchInterrupts(host::SocketNetwork *net) {
  gWake.store(net);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a blocking open of a FIFO or a write gives up with EINTR.
  for (int signo : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signo, &sa, nullptr);
}

void IgnoreWriteSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

int InterruptExit() {
  return 128 + (gInterrupted ? int(gInterrupted) : SIGINT);
}

std::string InterruptText() {
  switch (gInterrupted) {
  case SIGTERM:
    return "interrupted by SIGTERM";
  case SIGHUP:
    return "interrupted by SIGHUP";
  default:
    return "interrupted";
  }
}

} // namespace zem4::cli
