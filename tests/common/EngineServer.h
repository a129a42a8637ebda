// The server's real engine on the simulated network, as a firmware device:
// its deadlines join the virtual clock, its ports are network endpoints.
#pragma once

#include "host/Firmware.h"
#include "host/Network.h"
#include "server/engine/Engine.h"
#include "server/engine/FileSource.h"

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace zem4::test {

class EngineServer final : public host::Device, public server::EngineIo {
public:
  EngineServer(host::Firmware &firmware, host::Network &network, host::Ipv4 address,
               server::EngineConfig config = {});
  ~EngineServer() override;

  server::MemoryFileSource &Files() { return files_; }
  server::Engine &Engine() { return *engine_; }
  const std::vector<server::TransferReport> &Reports() const { return reports_; }

  void Service(host::Time100ns now) override;
  std::optional<host::Time100ns> NextDeadline() const override;

  std::optional<uint16_t> OpenPort() override;
  void ClosePort(uint16_t port) override;
  void Send(uint16_t fromPort, const server::Endpoint &to,
            std::span<const uint8_t> datagram) override;
  void Report(const server::TransferReport &report) override { reports_.push_back(report); }

private:
  std::unique_ptr<host::PeerPort> Open(uint16_t port);

  host::Firmware &firmware_;
  host::Network &network_;
  host::Ipv4 address_;
  server::MemoryFileSource files_;
  std::map<uint16_t, std::unique_ptr<host::PeerPort>> ports_;
  // Closed from inside their own receive callback: freed at the next service.
  std::vector<std::unique_ptr<host::PeerPort>> closed_;
  std::vector<server::TransferReport> reports_;
  std::unique_ptr<server::Engine> engine_;
};

} // namespace zem4::test
