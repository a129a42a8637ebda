// Runs the driver either as the built-in library or as the driver image this
// process can call into (the X64 image in the 64-bit tests, the IA32 image in
// the 32-bit runner), with the same clients around it: controllers, children
// through the service binding, downloads through the Zem4 protocol table.
#pragma once

#include "tests/common/DriverHost.h"
#include "tests/common/EngineServer.h"
#include "tests/common/ScriptedServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zem4::test {

enum class DriverKind { Library, Image };
const char *KindName(DriverKind kind);

// The image file this process runs; empty when it was not built. Tests skip
// then, unless ZEM4_REQUIRE_IMAGES is set (CI), where they fail.
std::string RunnableImagePath();
// True when the image was built; otherwise the test is skipped (failed under
// ZEM4_REQUIRE_IMAGES) and the caller returns at once.
bool ImageBuilt();
// Loads `kind` into `host`; for the image also checks that the driver binding
// it installed points into the image, so that the image's code is what runs.
EFI_STATUS LoadDriver(DriverHost &host, DriverKind kind, std::string *why = nullptr);

constexpr host::Time100ns kSecond = 10'000'000;

std::string Join(const std::vector<std::string> &lines);

// One child's transfer, completed through its event: into a buffer, or
// handed run by run to CheckPacket (a stream caller).
struct Transfer {
  EFI_HANDLE controller = nullptr;
  EFI_HANDLE child = nullptr;
  host::Ipv4 station;
  host::Ipv4 server;
  uint16_t serverPort = 0;
  std::string file;
  bool stream = false;
  std::vector<std::pair<std::string, std::string>> options;
  size_t bufferSize = 0; // buffer callers: bytes offered
  // Called by the driver from inside its timer; an error return cancels.
  std::function<EFI_STATUS()> onTimer;

  Bytes buffer;
  std::vector<Bytes> runs;
  Zem4Token token{};
  EFI_EVENT event = nullptr;
  int signalled = 0;

  // Storage the token points into.
  std::vector<Zem4Option> optionList;

  Bytes Received() const; // the stream's runs joined, or the buffer
};

// Configures a child's Zem4 for `station` and the server at `server`:`serverPort`.
EFI_STATUS ConfigureChild(Zem4 *proto, host::Ipv4 station, host::Ipv4 server, uint16_t serverPort);
// Creates the child, configures it and starts ReadFile; the first failing
// step's status, else ReadFile's.
EFI_STATUS StartTransfer(DriverHost &host, Transfer &t);
// Destroys the child (DestroyChild's status) and closes the event.
EFI_STATUS EndTransfer(DriverHost &host, Transfer &t);

// The image loaded into a fresh host firmware, with the server's engine at
// `server` on its simulated network. A test ends with nothing live. A
// subclass's SetUp returns at once when this one was skipped or failed.
class ImageWithEngine : public ::testing::Test {
protected:
  ImageWithEngine(host::Ipv4 server, uint64_t seed) : host_(seed), server_(server) {}
  void SetUp() override;
  void TearDown() override;
  bool SetUpFailed() const { return IsSkipped() || HasFatalFailure(); }

  DriverHost host_;
  host::Ipv4 server_;
  std::unique_ptr<EngineServer> engine_;
};

} // namespace zem4::test
