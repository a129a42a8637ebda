// The firmware the driver runs in on Linux: one object owns the clock, pool,
// events/TPL, protocol database, images, debug-message service, fault
// injector and the devices that feed it, and hands out the system table.
#pragma once

#include "efi/Uefi.h"
#include "host/Clock.h"
#include "host/DebugMessage.h"
#include "host/FaultInjector.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zem4::host {

using Time100ns = uint64_t;

// Something the firmware services from its tick (a network backend, ...).
class Device {
public:
  virtual ~Device() = default;
  virtual void Service(Time100ns now) = 0;
  // When the device next has something to do, if ever.
  virtual std::optional<Time100ns> NextDeadline() const = 0;

private:
  // The firmware's bookkeeping of this device.
  friend class Firmware;
  uint64_t deviceSeq_ = 0; // adding order; 0: not added
  bool wakeable_ = false;
  std::optional<Time100ns> sleepUntil_; // asleep, due again then
};

// How the tick looks at a device.
enum class DeviceWake {
  EveryTick, // serviced and asked for its deadline at every tick
  // Serviced only after Firmware::WakeDevice, or when the deadline it gave
  // after its last service comes. It must wake itself whenever it may have
  // work or its deadline may have moved; a wake with nothing to do is a
  // service that does nothing. A tick then costs the devices with work.
  OnWake,
};

// ClockMode { Virtual, Real } comes from host/Clock.h.
using ImageEntryPoint = EFI_STATUS(EFIAPI *)(EFI_HANDLE image, EFI_SYSTEM_TABLE *systemTable);

class PoolMemory;
class EventCore;
class HandleDatabase;
class ProtocolServices;
class DriverModel;
class Images;

class Firmware {
public:
  // `seed` drives the order in which freed handle values and pool blocks are
  // handed out again.
  explicit Firmware(ClockMode mode = ClockMode::Virtual, uint64_t seed = 1);
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;

  // The firmware the EFIAPI entry points serve (the most recently made one
  // that is still alive); null when there is none.
  static Firmware *Current();

  EFI_SYSTEM_TABLE *SystemTable();
  EFI_BOOT_SERVICES *BootServices();
  // Handle of the firmware itself (agent of HandleProtocol opens; carries the
  // debug-message service).
  EFI_HANDLE FirmwareHandle() const;

  uint64_t Seed() const;
  Time100ns Now() const;
  ClockMode Mode() const;
  // What a timer interrupt does between calls: fire due timers, service the
  // devices, then run the notifications the current TPL allows.
  void Tick();
  // True while the tick fires timers and services devices.
  bool InTick() const;
  // Nothing is runnable: move to the next deadline (virtual: jump; real:
  // sleep, bounded) and Tick. False when no timer or device has a deadline.
  bool AdvanceIdle();
  // Virtual clock only: move time forward by `delta`, ticking at every timer
  // or device deadline on the way.
  void AdvanceBy(Time100ns delta);
  // Ticks and idles until `done` holds; false if it still does not after
  // `timeout` of firmware time or when nothing is left that could make it so.
  bool RunUntil(const std::function<bool()> &done, Time100ns timeout);

  // Real clock: how AdvanceIdle waits for the next deadline when nothing is
  // runnable, e.g. in poll() on a socket network's descriptors, which also
  // ends the wait when a datagram arrives. Unset: sleeps of at most 1 ms.
  void SetIdleWait(std::function<void(Time100ns until)> wait);

  // Devices are serviced in the order they were added; one added during a
  // tick waits for the next.
  void AddDevice(Device &device, DeviceWake wake = DeviceWake::EveryTick);
  void RemoveDevice(Device &device);
  // An OnWake device has work (or a new deadline): it is serviced at the
  // next tick, or in this one when its turn has not come yet.
  void WakeDevice(Device &device);
  // Device services made by ticks so far (tests of the scheduling).
  uint64_t DeviceServices() const;

  FaultInjector &Faults();
  DebugMessageService &Debug();
  // Takes the debug-message service out of (or back into) the protocol
  // database, for the paths of a firmware that has none.
  EFI_STATUS SetDebugServiceInstalled(bool installed);
  EFI_TPL CurrentTpl() const;

  // Live accounting; every test ends with nothing live.
  struct LiveCounts {
    size_t poolAllocations = 0;
    size_t poolBytes = 0;
    size_t events = 0;
    size_t handles = 0;             // handles other than the firmware's own
    size_t openProtocolEntries = 0; // BY_DRIVER / BY_CHILD_CONTROLLER / EXCLUSIVE opens
  };
  LiveCounts Live() const;
  void AddLiveCounter(std::string name, std::function<size_t()> count);
  void RemoveLiveCounter(const std::string &name);
  // One line per thing still live; empty when nothing is.
  std::vector<std::string> LeakReport() const;
  // Caller bugs the firmware survived: a TPL other than the four levels, a
  // raise below the current level or a restore above it, services (UDP4 and
  // its service binding above TPL_CALLBACK among them) called above their
  // limit, a UDP4 token completed on an event already closed, ...
  std::vector<std::string> Violations() const;
  void ClearViolations();
  // What no run may end with, one line each: the leak report, then every
  // violation ("violation: ..."). Empty when the run ended clean.
  std::vector<std::string> Findings() const;

  // C++ helpers for host components and tests. They do not count as Boot
  // Services calls: no fault injection, no tick.
  EFI_HANDLE InstallProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void *iface,
                             EFI_STATUS *status = nullptr);
  EFI_STATUS UninstallProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void *iface);
  void *GetProtocol(EFI_HANDLE handle, const EFI_GUID &guid) const; // no open entry
  bool IsHandle(EFI_HANDLE handle) const;

  // An image handle carrying a Loaded Image protocol (the PE loader comes
  // later). The image counts as started, so UnloadImage calls `unload`.
  EFI_HANDLE CreateImageHandle(EFI_IMAGE_UNLOAD unload = nullptr, EFI_HANDLE parent = nullptr);
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage(EFI_HANDLE image) const;
  // Calls `entry` as the image's entry point; an error unloads the image.
  EFI_STATUS StartImage(EFI_HANDLE image, ImageEntryPoint entry);
  // Calls the image's Unload; on success the image and its opens go away.
  EFI_STATUS UnloadImage(EFI_HANDLE image);
  // Drops an image without asking it (tests of images that have no Unload).
  void RemoveImage(EFI_HANDLE image);

  EFI_STATUS ConnectController(EFI_HANDLE controller, bool recursive = false);
  EFI_STATUS DisconnectController(EFI_HANDLE controller, EFI_HANDLE driver = nullptr,
                                  EFI_HANDLE child = nullptr);

  // Events for host components (UDP4 completion, RecycleSignal, ...).
  // `notify` may be empty for an event without notification.
  EFI_STATUS CreateEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void *context,
                         EFI_EVENT *event);
  EFI_EVENT CreateHostEvent(UINT32 type, EFI_TPL notifyTpl, std::function<void(EFI_EVENT)> notify);
  EFI_STATUS SignalEvent(EFI_EVENT event);
  EFI_STATUS CloseEvent(EFI_EVENT event);
  bool IsEvent(EFI_EVENT event) const;

  // Pool for host components that hand memory to the driver.
  EFI_STATUS AllocatePool(size_t size, void **buffer);
  EFI_STATUS FreePool(void *buffer);

  // Subsystems, for the Boot Services entry points and white-box tests.
  Clock &Clk();
  PoolMemory &Memory();
  EventCore &Events();
  HandleDatabase &Handles();
  ProtocolServices &Protocols();
  DriverModel &Drivers();
  Images &ImageTable();

  // Entry bookkeeping of every Boot Services call: counts it for fault
  // injection (true plus `status` when it is to fail) and ticks.
  bool EnterService(std::string_view call, EFI_STATUS &status);
  // Records a TPL limit breach of `call` (the call is still served).
  void CheckTplLimit(std::string_view call, EFI_TPL limit, bool inclusive = true);
  void AddViolation(std::string text);

private:
  // After an OnWake device's service: awake while it has work, else asleep
  // until the deadline it gives.
  void Settle(Device &device, Time100ns now);
  // The earliest deadline of any device: the sleepers' first, and what the
  // awake ones say.
  std::optional<Time100ns> NextDeviceDeadline() const;

  struct State;
  std::unique_ptr<State> s_;
};

} // namespace zem4::host
