// zem4d's counters and gauges: the totals line and the Prometheus exposition
// served by --metrics share one table.
#pragma once

#include "server/engine/Engine.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace asio {
class io_context;
}

namespace zem4::server {

class Daemon;

struct Total {
  const char *Name; // as in the totals line; zem4d_<Name>[_total] in the metrics
  uint64_t Value;
  bool Gauge; // a level now, not a count since start
  const char *Help;
};
std::vector<Total> TotalsOf(const Engine &E);

// The Prometheus text exposition (format 0.0.4) of the totals and of each group.
std::string MetricsText(const Engine &E);

// --metrics "[ADDR:]PORT" (ADDR an IPv4 address, 127.0.0.1 when left out);
// throws ConfigError otherwise.
Endpoint ParseMetricsAddress(const std::string &Text);

// A minimal HTTP/1.1 responder on the daemon's loop: GET /metrics, one
// request per connection.
class MetricsServer {
public:
  // Binds at once (throws when it cannot) and serves from the loop.
  MetricsServer(asio::io_context &Io, const std::string &Address, const Daemon &D);
  ~MetricsServer();
  MetricsServer(const MetricsServer &) = delete;
  MetricsServer &operator=(const MetricsServer &) = delete;
  uint16_t Port() const;
  void Stop();

  class Impl;

private:
  std::shared_ptr<Impl> P;
};

} // namespace zem4::server
