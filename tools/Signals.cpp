#include "tools/Signals.h"

#include <atomic>

namespace zem4::cli {

volatile std::sig_atomic_t gInterrupted = 0;

namespace {
std::atomic<host::SocketNetwork *> gWake{nullptr};

void OnSignal(int) {
  gInterrupted = 1;
  if (host::SocketNetwork *net = gWake.load())
    net->Wake(); // a write to an eventfd: safe in a handler
}
} // namespace

void CatchInterrupts(host::SocketNetwork *net) {
  gWake.store(net);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

} // namespace zem4::cli
