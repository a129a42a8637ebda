// The driver on the host firmware: a fresh firmware, a simulated network, the
// driver loaded through its entry point and bound to one UDP4 controller, and
// a Zem4 child made through the driver's service binding. Every test ends with
// nothing live: pool memory, events, handles, opens, packets and unrecycled
// datagrams.
#pragma once

#include "host/Firmware.h"
#include "host/SimNetwork.h"
#include "host/Udp4.h"
#include "tests/common/DriverHost.h"
#include "tests/common/InstanceProbe.h"
#include "tests/common/ScriptedServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The child's private record: tests see it through InstanceProbe only.
struct Zem4Instance;

namespace zem4::test {

// Addresses of the simulated network; nothing leaves the process.
inline constexpr host::Ipv4 kClientIp{127, 0, 1, 2};
inline constexpr host::Ipv4 kServerIp{127, 0, 1, 1};
inline constexpr uint16_t kServerPort = 5568;
inline constexpr host::Time100ns kMs = 10'000;
inline constexpr host::Time100ns kSecond = 10'000'000;

// Counts how often a token's event was signalled and what the token said.
struct Completion {
  Zem4Token *token = nullptr;
  int count = 0;
  EFI_STATUS status = EFI_SUCCESS;
  host::Time100ns time = 0;
  std::function<void()> onSignal; // runs inside the notification
};

class DriverFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  host::Firmware &Fw() { return *fw_; }
  host::SimNetwork &Net() { return *net_; }
  host::Udp4Controller &Controller() { return *controller_; }
  Zem4Instance *Instance() { return instance_; }
  Zem4 *Proto();
  // The protocol of a child made by CreateInstance.
  static Zem4 *ProtoOf(Zem4Instance *instance);
  InstanceProbe Probe() { return InstanceProbe(Proto()); }
  // The transfer's progress as GetStatus reports it.
  Zem4TransferStatus Progress();

  // Moves the child to a new controller at `address` whose default address
  // comes after `mappingDelay`.
  void UseNewController(host::Ipv4 address, host::Time100ns mappingDelay);

  // A child through the driver's service binding, and its destruction.
  Zem4Instance *CreateInstance();
  void DestroyInstance(Zem4Instance *instance);
  // Destroys the fixture's own child early (from a test or a notification).
  void DestroyMainInstance();

  Zem4ConfigData DefaultConfig() const;
  EFI_STATUS ConfigureDefault();

  // A token for `file` whose event records its completion in `completion`.
  void PrepareToken(Zem4Token &token, Completion &completion, const char *file);
  EFI_EVENT MakeEvent(Completion &completion, EFI_TPL tpl = TPL_CALLBACK);

  // Virtual time.
  host::Time100ns Now() const { return fw_->Now(); }
  // Ticks (jumping to deadlines) until `done` holds or `limit` passed.
  bool RunUntil(const std::function<bool()> &done, host::Time100ns limit);
  void RunFor(host::Time100ns delta);

  // Debug lines, "\r\n" read as "\n".
  std::vector<std::string> Logs() const;
  size_t CountLog(std::string_view text) const;
  void ClearLogs();

  // Datagrams the client sent, from the network's capture.
  std::vector<host::CaptureRecord> ClientSends() const;

  // Leak checks at the end of the test (a test that frees things itself may
  // turn them off for a moment).
  bool checkLeaks_ = true;

  // A token and its completion that live until the end of the test's
  // teardown (a transfer still running then is aborted through them).
  Zem4Token token_{};
  Completion done_;

  std::unique_ptr<DriverHost> host_;
  host::Firmware *fw_ = nullptr;
  host::SimNetwork *net_ = nullptr;
  host::Udp4Controller *controller_ = nullptr;
  EFI_HANDLE controllerHandle_ = nullptr;
  // The driver's image handle: agent of the driver's own opens.
  EFI_HANDLE agent_ = nullptr;
  Zem4Instance *instance_ = nullptr;
  std::vector<EFI_EVENT> events_;
};

} // namespace zem4::test
