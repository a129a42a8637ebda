#include "host/Firmware.h"
#include "host/BootServices.h"
#include "host/DebugMessage.h"
#include "host/DriverModel.h"
#include "host/EventCore.h"
#include "host/FaultInjector.h"
#include "host/HandleDatabase.h"
#include "host/Images.h"
#include "host/PoolMemory.h"
#include "host/ProtocolServices.h"

#include <algorithm>
#include <map>
#include <set>

namespace zem4::host {

namespace {
Firmware *gCurrent = nullptr;
char16_t kVendor[] = u"zem4 host firmware";
// Real clock: the longest single sleep of AdvanceIdle, so that sockets and
// other unscheduled sources are looked at often enough.
constexpr Time100ns kRealIdleSlice = 10'000; // 1 ms
// With an idle waiter and nothing scheduled: look again after this long.
constexpr Time100ns kRealIdleWaitLimit = 1'000'000; // 100 ms
} // namespace

struct Firmware::State {
  State(ClockMode mode, uint64_t seed, Firmware &fw)
      : seed(seed), clock(mode), pool(seed ^ kPoolSeedSalt),
        events(clock, [&fw](std::string v) { fw.AddViolation(std::move(v)); }), handles(seed),
        drivers(handles), protocols(handles, pool, drivers), images(handles) {}

  // The pool's sequence differs from the handles' for the same seed.
  static constexpr uint64_t kPoolSeedSalt = 0x5A17'F00D'0000'0001ull;
  uint64_t seed;
  Clock clock;
  FaultInjector faults;
  PoolMemory pool;
  EventCore events;
  HandleDatabase handles;
  DriverModel drivers;
  ProtocolServices protocols;
  Images images;
  DebugMessageService debug;
  EFI_SYSTEM_TABLE systemTable{};
  EFI_BOOT_SERVICES bootServices{};
  EFI_HANDLE firmwareHandle = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL firmwareImage{};
  // Devices by adding order. `ready` holds every EveryTick device and the
  // OnWake ones that are awake; `sleepers` the asleep ones with a deadline, so
  // a tick and the next deadline cost what has work, not what exists.
  std::map<uint64_t, Device *> devices;
  std::set<uint64_t> ready;
  std::set<std::pair<Time100ns, uint64_t>> sleepers;
  uint64_t nextDeviceSeq = 1;
  uint64_t deviceServices = 0;
  std::function<void(Time100ns)> idleWait;
  std::map<std::string, std::function<size_t()>> counters;
  std::vector<std::string> violations;
  bool ticking = false;
  Firmware *previous = nullptr;
};

Firmware::Firmware(ClockMode mode, uint64_t seed) : s_(std::make_unique<State>(mode, seed, *this)) {
  s_->previous = gCurrent;
  gCurrent = this;

  // The firmware's own image handle: its Loaded Image keeps the handle alive
  // whatever else comes and goes on it (the debug-message service can).
  s_->firmwareImage.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  s_->firmwareImage.SystemTable = &s_->systemTable;
  s_->firmwareImage.ImageCodeType = EfiBootServicesCode;
  s_->firmwareImage.ImageDataType = EfiBootServicesData;
  s_->firmwareHandle = s_->handles.NewHandle();
  s_->handles.Add(s_->firmwareHandle, gEfiLoadedImageProtocolGuid, &s_->firmwareImage);
  s_->handles.Add(s_->firmwareHandle, gEfiDebugMessageProtocolGuid, s_->debug.Protocol());
  s_->protocols.SetFirmwareHandle(s_->firmwareHandle);

  FillBootServices(s_->bootServices);
  auto &st = s_->systemTable;
  st.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  st.Hdr.Revision = EFI_2_10_SYSTEM_TABLE_REVISION;
  st.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  st.FirmwareVendor = kVendor;
  st.FirmwareRevision = 0x00010000;
  st.BootServices = &s_->bootServices;
  st.Hdr.CRC32 = 0;
  st.Hdr.CRC32 = Crc32(&st, sizeof st);
}

Firmware::~Firmware() {
  if (gCurrent == this)
    gCurrent = s_->previous;
}

Firmware *Firmware::Current() {
  return gCurrent;
}

EFI_SYSTEM_TABLE *Firmware::SystemTable() {
  return &s_->systemTable;
}
EFI_BOOT_SERVICES *Firmware::BootServices() {
  return &s_->bootServices;
}
EFI_STATUS Firmware::SetDebugServiceInstalled(bool installed) {
  const bool present =
      s_->handles.Find(s_->firmwareHandle, gEfiDebugMessageProtocolGuid) != nullptr;
  if (installed == present)
    return EFI_SUCCESS;
  if (installed) {
    EFI_HANDLE h = s_->firmwareHandle;
    return s_->protocols.Install(&h, &gEfiDebugMessageProtocolGuid, EFI_NATIVE_INTERFACE,
                                 s_->debug.Protocol());
  }
  return s_->protocols.Uninstall(s_->firmwareHandle, &gEfiDebugMessageProtocolGuid,
                                 s_->debug.Protocol());
}

EFI_HANDLE Firmware::FirmwareHandle() const {
  return s_->firmwareHandle;
}

uint64_t Firmware::Seed() const {
  return s_->seed;
}
Time100ns Firmware::Now() const {
  return s_->clock.Now();
}
ClockMode Firmware::Mode() const {
  return s_->clock.Mode();
}

void Firmware::Tick() {
  if (!s_->ticking) {
    s_->ticking = true;
    const Time100ns now = s_->clock.Now();
    s_->events.FireDueTimers(now);
    State &st = *s_;
    while (!st.sleepers.empty() && st.sleepers.begin()->first <= now) {
      const uint64_t seq = st.sleepers.begin()->second;
      st.sleepers.erase(st.sleepers.begin());
      st.devices.at(seq)->sleepUntil_.reset();
      st.ready.insert(seq);
    }
    // In adding order, looked up again after every service: a device may
    // remove or wake others (or itself) while serviced. One woken behind the
    // cursor waits for the next tick, one added during the tick too.
    const uint64_t last = st.nextDeviceSeq - 1;
    uint64_t cursor = 0;
    for (;;) {
      auto it = st.ready.upper_bound(cursor);
      if (it == st.ready.end() || *it > last)
        break;
      cursor = *it;
      Device *d = st.devices.at(cursor);
      const bool wakeable = d->wakeable_;
      if (wakeable)
        st.ready.erase(it);
      ++st.deviceServices;
      d->Service(now);
      if (wakeable) {
        auto again = st.devices.find(cursor);
        if (again != st.devices.end())
          Settle(*again->second, now);
      }
    }
    s_->ticking = false;
  }
  s_->events.Dispatch();
}

void Firmware::Settle(Device &device, Time100ns now) {
  const uint64_t seq = device.deviceSeq_;
  if (s_->ready.count(seq) != 0)
    return; // woken while serviced
  const std::optional<Time100ns> next = device.NextDeadline();
  if (!next)
    return;
  if (*next <= now) {
    s_->ready.insert(seq); // still has work
    return;
  }
  device.sleepUntil_ = *next;
  s_->sleepers.emplace(*next, seq);
}

std::optional<Time100ns> Firmware::NextDeviceDeadline() const {
  std::optional<Time100ns> next;
  if (!s_->sleepers.empty())
    next = s_->sleepers.begin()->first;
  for (uint64_t seq : s_->ready) {
    const std::optional<Time100ns> d = s_->devices.at(seq)->NextDeadline();
    if (d && (!next || *d < *next))
      next = d;
  }
  return next;
}

bool Firmware::InTick() const {
  return s_->ticking;
}

namespace {
std::optional<Time100ns> Earliest(std::optional<Time100ns> a, std::optional<Time100ns> b) {
  if (!a)
    return b;
  if (!b)
    return a;
  return std::min(*a, *b);
}
} // namespace

bool Firmware::AdvanceIdle() {
  const std::optional<Time100ns> next =
      Earliest(s_->events.NextTimerDeadline(), NextDeviceDeadline());
  const Time100ns now = s_->clock.Now();
  if (s_->clock.Mode() == ClockMode::Real && s_->idleWait) {
    // The waiter wakes early for its own sources (readable sockets).
    s_->idleWait(next ? *next : now + kRealIdleWaitLimit);
    Tick();
    return next.has_value();
  }
  if (s_->clock.Mode() == ClockMode::Real) {
    const Time100ns until = next ? std::min(*next, now + kRealIdleSlice) : now + kRealIdleSlice;
    s_->clock.WaitUntil(until);
    Tick();
    return next.has_value();
  }
  if (!next)
    return false;
  s_->clock.WaitUntil(*next);
  Tick();
  return true;
}

void Firmware::AdvanceBy(Time100ns delta) {
  const Time100ns target = s_->clock.Now() + delta;
  if (s_->clock.Mode() == ClockMode::Real) {
    s_->clock.WaitUntil(target);
    Tick();
    return;
  }
  for (;;) {
    const std::optional<Time100ns> next =
        Earliest(s_->events.NextTimerDeadline(), NextDeviceDeadline());
    if (!next || *next > target)
      break;
    const Time100ns before = s_->clock.Now();
    s_->clock.WaitUntil(*next);
    Tick();
    if (*next <= before) {
      // Something stays due without being served (a device that keeps its
      // deadline in the past): step time on instead of spinning.
      const std::optional<Time100ns> again =
          Earliest(s_->events.NextTimerDeadline(), NextDeviceDeadline());
      if (again && *again <= before)
        s_->clock.WaitUntil(before + 1);
    }
  }
  s_->clock.WaitUntil(target);
  Tick();
}

void Firmware::SetIdleWait(std::function<void(Time100ns)> wait) {
  s_->idleWait = std::move(wait);
}

bool Firmware::RunUntil(const std::function<bool()> &done, Time100ns timeout) {
  const Time100ns deadline = s_->clock.Now() + timeout;
  Tick();
  while (!done()) {
    if (s_->clock.Now() >= deadline)
      return false;
    if (!AdvanceIdle() && s_->clock.Mode() == ClockMode::Virtual)
      return done();
  }
  return true;
}

void Firmware::AddDevice(Device &device, DeviceWake wake) {
  if (device.deviceSeq_ != 0)
    return;
  const uint64_t seq = s_->nextDeviceSeq++;
  device.deviceSeq_ = seq;
  device.wakeable_ = wake == DeviceWake::OnWake;
  device.sleepUntil_.reset();
  s_->devices.emplace(seq, &device);
  s_->ready.insert(seq); // awake until its first service tells its deadline
}

void Firmware::RemoveDevice(Device &device) {
  const uint64_t seq = device.deviceSeq_;
  auto it = s_->devices.find(seq);
  if (seq == 0 || it == s_->devices.end() || it->second != &device)
    return;
  s_->devices.erase(it);
  s_->ready.erase(seq);
  if (device.sleepUntil_)
    s_->sleepers.erase({*device.sleepUntil_, seq});
  device.deviceSeq_ = 0;
  device.wakeable_ = false;
  device.sleepUntil_.reset();
}

void Firmware::WakeDevice(Device &device) {
  const uint64_t seq = device.deviceSeq_;
  if (seq == 0 || !device.wakeable_)
    return;
  if (device.sleepUntil_) {
    s_->sleepers.erase({*device.sleepUntil_, seq});
    device.sleepUntil_.reset();
  }
  s_->ready.insert(seq);
}

uint64_t Firmware::DeviceServices() const {
  return s_->deviceServices;
}

FaultInjector &Firmware::Faults() {
  return s_->faults;
}
DebugMessageService &Firmware::Debug() {
  return s_->debug;
}
EFI_TPL Firmware::CurrentTpl() const {
  return s_->events.Current();
}

Firmware::LiveCounts Firmware::Live() const {
  LiveCounts c;
  c.poolAllocations = s_->pool.LiveCount();
  c.poolBytes = s_->pool.LiveBytes();
  c.events = s_->events.LiveCount();
  const size_t own = s_->handles.IsHandle(s_->firmwareHandle) ? 1 : 0;
  c.handles = s_->handles.HandleCount() - own;
  c.openProtocolEntries = s_->handles.OpenEntriesToClose();
  return c;
}

void Firmware::AddLiveCounter(std::string name, std::function<size_t()> count) {
  s_->counters[std::move(name)] = std::move(count);
}

void Firmware::RemoveLiveCounter(const std::string &name) {
  s_->counters.erase(name);
}

std::vector<std::string> Firmware::LeakReport() const {
  std::vector<std::string> lines = s_->pool.Report();
  for (auto &l : s_->events.Report())
    lines.push_back(std::move(l));
  for (auto &l : s_->handles.Report(s_->firmwareHandle))
    lines.push_back(std::move(l));
  for (const auto &[name, count] : s_->counters)
    if (const size_t n = count(); n != 0)
      lines.push_back(name + ": " + std::to_string(n));
  return lines;
}

std::vector<std::string> Firmware::Violations() const {
  return s_->violations;
}
std::vector<std::string> Firmware::Findings() const {
  std::vector<std::string> lines = LeakReport();
  for (const std::string &v : s_->violations)
    lines.push_back("violation: " + v);
  return lines;
}
void Firmware::ClearViolations() {
  s_->violations.clear();
}
void Firmware::AddViolation(std::string text) {
  s_->violations.push_back(std::move(text));
}

bool Firmware::EnterService(std::string_view call, EFI_STATUS &status) {
  const bool fail = s_->faults.ShouldFail(call, status);
  Tick();
  return fail;
}

void Firmware::CheckTplLimit(std::string_view call, EFI_TPL limit, bool inclusive) {
  const EFI_TPL tpl = s_->events.Current();
  if (inclusive ? tpl <= limit : tpl < limit)
    return;
  AddViolation(std::string(call) + " called at TPL " + std::to_string(tpl) + " (limit " +
               (inclusive ? "<= " : "< ") + std::to_string(limit) + ")");
}

EFI_HANDLE Firmware::InstallProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void *iface,
                                     EFI_STATUS *status) {
  EFI_HANDLE h = handle;
  const EFI_STATUS st = s_->protocols.Install(&h, &guid, EFI_NATIVE_INTERFACE, iface);
  if (status)
    *status = st;
  return EFI_ERROR(st) ? nullptr : h;
}

EFI_STATUS Firmware::UninstallProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void *iface) {
  return s_->protocols.Uninstall(handle, &guid, iface);
}

void *Firmware::GetProtocol(EFI_HANDLE handle, const EFI_GUID &guid) const {
  auto *p = s_->handles.Find(handle, guid);
  return p ? p->iface : nullptr;
}

bool Firmware::IsHandle(EFI_HANDLE handle) const {
  return s_->handles.IsHandle(handle);
}

EFI_HANDLE Firmware::CreateImageHandle(EFI_IMAGE_UNLOAD unload, EFI_HANDLE parent) {
  return s_->images.Create(&s_->systemTable, unload, parent);
}

EFI_LOADED_IMAGE_PROTOCOL *Firmware::LoadedImage(EFI_HANDLE image) const {
  return s_->images.Get(image);
}

EFI_STATUS Firmware::StartImage(EFI_HANDLE image, ImageEntryPoint entry) {
  if (entry == nullptr || s_->images.Get(image) == nullptr)
    return EFI_INVALID_PARAMETER;
  const EFI_STATUS st = entry(image, &s_->systemTable);
  if (EFI_ERROR(st))
    s_->images.Remove(image);
  return st;
}

EFI_STATUS Firmware::UnloadImage(EFI_HANDLE image) {
  return s_->images.Unload(image);
}
void Firmware::RemoveImage(EFI_HANDLE image) {
  s_->images.Remove(image);
}

EFI_STATUS Firmware::ConnectController(EFI_HANDLE controller, bool recursive) {
  return s_->drivers.Connect(controller, {}, recursive);
}

EFI_STATUS Firmware::DisconnectController(EFI_HANDLE controller, EFI_HANDLE driver,
                                          EFI_HANDLE child) {
  return s_->drivers.Disconnect(controller, driver, child);
}

EFI_STATUS Firmware::CreateEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify,
                                 void *context, EFI_EVENT *event) {
  return s_->events.Create(type, notifyTpl, notify, context, event);
}

EFI_EVENT Firmware::CreateHostEvent(UINT32 type, EFI_TPL notifyTpl,
                                    std::function<void(EFI_EVENT)> notify) {
  EFI_EVENT ev = nullptr;
  if (EFI_ERROR(s_->events.CreateHost(type, notifyTpl, std::move(notify), &ev)))
    return nullptr;
  return ev;
}

EFI_STATUS Firmware::SignalEvent(EFI_EVENT event) {
  return s_->events.Signal(event);
}
EFI_STATUS Firmware::CloseEvent(EFI_EVENT event) {
  return s_->events.Close(event);
}
bool Firmware::IsEvent(EFI_EVENT event) const {
  return s_->events.IsEvent(event);
}

EFI_STATUS Firmware::AllocatePool(size_t size, void **buffer) {
  return s_->pool.Allocate(EfiBootServicesData, size, buffer);
}

EFI_STATUS Firmware::FreePool(void *buffer) {
  return s_->pool.Free(buffer);
}

Clock &Firmware::Clk() {
  return s_->clock;
}
PoolMemory &Firmware::Memory() {
  return s_->pool;
}
EventCore &Firmware::Events() {
  return s_->events;
}
HandleDatabase &Firmware::Handles() {
  return s_->handles;
}
ProtocolServices &Firmware::Protocols() {
  return s_->protocols;
}
DriverModel &Firmware::Drivers() {
  return s_->drivers;
}
Images &Firmware::ImageTable() {
  return s_->images;
}

} // namespace zem4::host
