// The driver as firmware runs it: loaded through its entry point into a fresh
// host firmware, bound to UDP4 controllers on a simulated network, children
// made and destroyed through its service binding.
#pragma once

#include "host/Firmware.h"
#include "host/ImageLoader.h"
#include "host/SimNetwork.h"
#include "host/Udp4.h"
#include "zem4/Zem4.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zem4::test {

// A CheckPacket that takes every run and keeps nothing.
EFI_STATUS EFIAPI AcceptData(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Data);
// A CheckPacket that takes every run and appends it to the
// std::vector<uint8_t> the token's Context points at.
EFI_STATUS EFIAPI CollectData(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Data);

// The address as UEFI spells it.
inline EFI_IPv4_ADDRESS EfiIp(host::Ipv4 ip) {
  EFI_IPv4_ADDRESS out;
  for (int i = 0; i < 4; i++) {
    out.Addr[i] = ip.b[i];
  }
  return out;
}

// A file of `size` bytes whose every block differs from every other, and from
// the blocks of another seed's file.
std::vector<uint8_t> MakeFile(size_t size, uint32_t seed = 1);

class DriverHost {
public:
  explicit DriverHost(uint64_t seed = 1);
  ~DriverHost();

  host::Firmware &Fw() { return *fw_; }
  host::SimNetwork &Net() { return *net_; }
  EFI_HANDLE Image() const { return image_; }
  bool Loaded() const { return image_ != nullptr; }

  // Entry point through the firmware's StartImage (a failed entry unloads).
  EFI_STATUS Load();
  // The same from a driver image file (PE32 in a 32-bit process, PE32+ in a
  // 64-bit one) instead of the built-in library: the image's own code and
  // globals do the work. A refused file gives EFI_LOAD_ERROR and `error`.
  EFI_STATUS LoadImageFile(const std::string &path, std::string *error = nullptr);
  // The image file in use, if any.
  const host::LoadedDriverImage *ImageFile() const { return imageFile_.get(); }
  // The image's Unload through the firmware; on success the image is gone.
  EFI_STATUS Unload();

  // A UDP4 controller; it is not connected yet.
  EFI_HANDLE AddController(host::Ipv4 address, host::Time100ns mappingDelay = 0);
  host::Udp4Controller &Controller(size_t index) { return *controllers_.at(index); }
  EFI_STATUS Connect(EFI_HANDLE controller) { return fw_->ConnectController(controller); }
  // Firmware disconnects a network driver through the UDP4 children that it
  // holds open: every UDP4 handle that the driver opened for `controller`.
  EFI_STATUS Disconnect(EFI_HANDLE controller);

  // The driver's service binding on a controller, or null.
  EFI_SERVICE_BINDING_PROTOCOL *ServiceBinding(EFI_HANDLE controller) const;
  EFI_STATUS CreateChild(EFI_HANDLE controller, EFI_HANDLE *child);
  EFI_STATUS DestroyChild(EFI_HANDLE controller, EFI_HANDLE child);
  // The Zem4 protocol on a child handle, or null.
  Zem4 *Protocol(EFI_HANDLE child) const;

  // Ticks and jumps virtual time until `done` or `limit` has passed.
  bool RunUntil(const std::function<bool()> &done, host::Time100ns limit);

  // Best-effort teardown with faults cleared: disconnect every controller,
  // unload the image, drop the controllers. Then the firmware's findings:
  // what is still live and every recorded violation (empty when clean).
  // Without a call the destructor makes it and fails the running test on them.
  std::vector<std::string> TearDown();

  std::vector<std::string> LogTexts() const;

private:
  // Declared first: the mapping outlives the firmware that might call into it.
  std::unique_ptr<host::LoadedDriverImage> imageFile_;
  std::unique_ptr<host::Firmware> fw_;
  std::unique_ptr<host::SimNetwork> net_;
  std::vector<std::unique_ptr<host::Udp4Controller>> controllers_;
  EFI_HANDLE image_ = nullptr;
  bool tornDown_ = false;
};

} // namespace zem4::test
