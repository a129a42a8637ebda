// Every Boot Services call counts for fault injection and ticks the firmware
// (a timer interrupt between calls) before it is served.
#include "host/BootServices.h"
#include "host/DriverModel.h"
#include "host/EventCore.h"
#include "host/Firmware.h"
#include "host/Images.h"
#include "host/PoolMemory.h"
#include "host/ProtocolServices.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace zem4::host {

namespace {

// Longest (GUID, interface) list accepted by the multiple-interface calls;
// a list without its NULL end must not walk the stack forever.
constexpr size_t kMaxPairs = 64;

Firmware *Enter(std::string_view call, EFI_STATUS &failure) {
  Firmware *fw = Firmware::Current();
  if (fw == nullptr) {
    failure = EFI_NOT_READY;
    return nullptr;
  }
  if (fw->EnterService(call, failure))
    return nullptr;
  return fw;
}

#define ZEM4_ENTER(call)                                                                           \
  EFI_STATUS failure_ = EFI_SUCCESS;                                                               \
  Firmware *fw = Enter(call, failure_);                                                            \
  if (fw == nullptr)                                                                               \
  return failure_

EFI_TPL EFIAPI RaiseTPL(EFI_TPL newTpl) {
  Firmware *fw = Firmware::Current();
  if (fw == nullptr)
    return TPL_APPLICATION;
  EFI_STATUS ignored;
  fw->EnterService("RaiseTPL", ignored);
  return fw->Events().Raise(newTpl);
}

VOID EFIAPI RestoreTPL(EFI_TPL oldTpl) {
  Firmware *fw = Firmware::Current();
  if (fw == nullptr)
    return;
  EFI_STATUS ignored;
  fw->EnterService("RestoreTPL", ignored);
  fw->Events().Restore(oldTpl);
}

EFI_STATUS EFIAPI AllocatePages(EFI_ALLOCATE_TYPE, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *) {
  ZEM4_ENTER("AllocatePages");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI FreePages(EFI_PHYSICAL_ADDRESS, UINTN) {
  ZEM4_ENTER("FreePages");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI GetMemoryMap(UINTN *, EFI_MEMORY_DESCRIPTOR *, UINTN *, UINTN *, UINT32 *) {
  ZEM4_ENTER("GetMemoryMap");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  ZEM4_ENTER("AllocatePool");
  fw->CheckTplLimit("AllocatePool", TPL_NOTIFY);
  return fw->Memory().Allocate(type, size, buffer);
}

EFI_STATUS EFIAPI FreePool(VOID *buffer) {
  ZEM4_ENTER("FreePool");
  fw->CheckTplLimit("FreePool", TPL_NOTIFY);
  const EFI_STATUS st = fw->Memory().Free(buffer, __builtin_return_address(0));
  if (EFI_ERROR(st))
    fw->AddViolation("FreePool of a pointer that is not a live pool block");
  return st;
}

EFI_STATUS EFIAPI CreateEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify,
                              VOID *context, EFI_EVENT *event) {
  ZEM4_ENTER("CreateEvent");
  fw->CheckTplLimit("CreateEvent", TPL_HIGH_LEVEL, false);
  return fw->Events().Create(type, notifyTpl, notify, context, event);
}

EFI_STATUS EFIAPI SetTimer(EFI_EVENT event, EFI_TIMER_DELAY type, UINT64 triggerTime) {
  ZEM4_ENTER("SetTimer");
  fw->CheckTplLimit("SetTimer", TPL_HIGH_LEVEL, false);
  return fw->Events().SetTimer(event, type, triggerTime);
}

EFI_STATUS EFIAPI WaitForEvent(UINTN count, EFI_EVENT *events, UINTN *index) {
  ZEM4_ENTER("WaitForEvent");
  if (fw->CurrentTpl() != TPL_APPLICATION)
    return EFI_UNSUPPORTED;
  if (count == 0 || events == nullptr || index == nullptr)
    return EFI_INVALID_PARAMETER;
  for (;;) {
    for (UINTN i = 0; i < count; ++i) {
      if (!fw->Events().IsEvent(events[i]) || fw->Events().IsNotifySignal(events[i])) {
        *index = i;
        return EFI_INVALID_PARAMETER;
      }
      if (fw->Events().Check(events[i]) == EFI_SUCCESS) {
        *index = i;
        return EFI_SUCCESS;
      }
    }
    if (!fw->AdvanceIdle() && fw->Mode() == ClockMode::Virtual) {
      // Nothing will ever happen: a real machine would hang here.
      fw->AddViolation("WaitForEvent with nothing that could signal its events");
      return EFI_NOT_READY;
    }
  }
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT event) {
  ZEM4_ENTER("SignalEvent");
  const EFI_STATUS st = fw->Events().Signal(event);
  // As on a machine: leaving the call lets what just became runnable run
  // (but not inside a device's servicing, which the tick finishes first).
  if (!fw->InTick())
    fw->Events().Dispatch();
  return st;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT event) {
  ZEM4_ENTER("CloseEvent");
  fw->CheckTplLimit("CloseEvent", TPL_HIGH_LEVEL, false);
  return fw->Events().Close(event);
}

EFI_STATUS EFIAPI CheckEvent(EFI_EVENT event) {
  ZEM4_ENTER("CheckEvent");
  fw->CheckTplLimit("CheckEvent", TPL_HIGH_LEVEL, false);
  return fw->Events().Check(event);
}

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                           EFI_INTERFACE_TYPE type, VOID *iface) {
  ZEM4_ENTER("InstallProtocolInterface");
  fw->CheckTplLimit("InstallProtocolInterface", TPL_NOTIFY);
  return fw->Protocols().Install(handle, guid, type, iface);
}

EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *guid,
                                             VOID *oldIface, VOID *newIface) {
  ZEM4_ENTER("ReinstallProtocolInterface");
  fw->CheckTplLimit("ReinstallProtocolInterface", TPL_NOTIFY);
  return fw->Protocols().Reinstall(handle, guid, oldIface, newIface);
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *guid, VOID *iface) {
  ZEM4_ENTER("UninstallProtocolInterface");
  fw->CheckTplLimit("UninstallProtocolInterface", TPL_NOTIFY);
  return fw->Protocols().Uninstall(handle, guid, iface);
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE handle, const EFI_GUID *guid, VOID **iface) {
  ZEM4_ENTER("HandleProtocol");
  fw->CheckTplLimit("HandleProtocol", TPL_NOTIFY);
  return fw->Protocols().HandleProtocol(handle, guid, iface);
}

EFI_STATUS EFIAPI RegisterProtocolNotify(const EFI_GUID *, EFI_EVENT, VOID **) {
  ZEM4_ENTER("RegisterProtocolNotify");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID *guid, VOID *key,
                               UINTN *size, EFI_HANDLE *buffer) {
  ZEM4_ENTER("LocateHandle");
  fw->CheckTplLimit("LocateHandle", TPL_NOTIFY);
  return fw->Protocols().LocateHandle(type, guid, key, size, buffer);
}

EFI_STATUS EFIAPI LocateDevicePath(const EFI_GUID *, EFI_DEVICE_PATH_PROTOCOL **, EFI_HANDLE *) {
  ZEM4_ENTER("LocateDevicePath");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI InstallConfigurationTable(const EFI_GUID *, VOID *) {
  ZEM4_ENTER("InstallConfigurationTable");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI LoadImage(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *, VOID *, UINTN,
                            EFI_HANDLE *) {
  ZEM4_ENTER("LoadImage");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI StartImage(EFI_HANDLE, UINTN *, CHAR16 **) {
  ZEM4_ENTER("StartImage");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI Exit(EFI_HANDLE, EFI_STATUS, UINTN, CHAR16 *) {
  ZEM4_ENTER("Exit");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI UnloadImage(EFI_HANDLE image) {
  ZEM4_ENTER("UnloadImage");
  fw->CheckTplLimit("UnloadImage", TPL_CALLBACK);
  return fw->ImageTable().Unload(image);
}

EFI_STATUS EFIAPI ExitBootServices(EFI_HANDLE, UINTN) {
  ZEM4_ENTER("ExitBootServices");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI GetNextMonotonicCount(UINT64 *count) {
  ZEM4_ENTER("GetNextMonotonicCount");
  static thread_local uint64_t next = 0;
  if (count == nullptr)
    return EFI_INVALID_PARAMETER;
  *count = next++;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Stall(UINTN microseconds) {
  ZEM4_ENTER("Stall");
  // Busy-waiting lets timers and devices run, as it would on a machine.
  fw->AdvanceBy(static_cast<Time100ns>(microseconds) * 10);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetWatchdogTimer(UINTN, UINT64, UINTN, CHAR16 *) {
  ZEM4_ENTER("SetWatchdogTimer");
  return EFI_SUCCESS; // no watchdog to arm here
}

EFI_STATUS EFIAPI ConnectController(EFI_HANDLE controller, EFI_HANDLE *driverImages,
                                    EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN recursive) {
  ZEM4_ENTER("ConnectController");
  fw->CheckTplLimit("ConnectController", TPL_CALLBACK);
  std::vector<EFI_HANDLE> preferred;
  for (size_t i = 0; driverImages != nullptr && driverImages[i] != nullptr && i < kMaxPairs; ++i)
    preferred.push_back(driverImages[i]);
  return fw->Drivers().Connect(controller, preferred, recursive != FALSE);
}

EFI_STATUS EFIAPI DisconnectController(EFI_HANDLE controller, EFI_HANDLE driver, EFI_HANDLE child) {
  ZEM4_ENTER("DisconnectController");
  fw->CheckTplLimit("DisconnectController", TPL_CALLBACK);
  return fw->Drivers().Disconnect(controller, driver, child);
}

EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE handle, const EFI_GUID *guid, VOID **iface,
                               EFI_HANDLE agent, EFI_HANDLE controller, UINT32 attributes) {
  ZEM4_ENTER("OpenProtocol");
  fw->CheckTplLimit("OpenProtocol", TPL_NOTIFY);
  return fw->Protocols().Open(handle, guid, iface, agent, controller, attributes);
}

EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE handle, const EFI_GUID *guid, EFI_HANDLE agent,
                                EFI_HANDLE controller) {
  ZEM4_ENTER("CloseProtocol");
  fw->CheckTplLimit("CloseProtocol", TPL_NOTIFY);
  return fw->Protocols().Close(handle, guid, agent, controller);
}

EFI_STATUS EFIAPI OpenProtocolInformation(EFI_HANDLE handle, const EFI_GUID *guid,
                                          EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **entries,
                                          UINTN *count) {
  ZEM4_ENTER("OpenProtocolInformation");
  fw->CheckTplLimit("OpenProtocolInformation", TPL_NOTIFY);
  return fw->Protocols().OpenInformation(handle, guid, entries, count);
}

EFI_STATUS EFIAPI ProtocolsPerHandle(EFI_HANDLE handle, EFI_GUID ***guids, UINTN *count) {
  ZEM4_ENTER("ProtocolsPerHandle");
  fw->CheckTplLimit("ProtocolsPerHandle", TPL_NOTIFY);
  return fw->Protocols().ProtocolsPerHandle(handle, guids, count);
}

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID *guid, VOID *key,
                                     UINTN *count, EFI_HANDLE **buffer) {
  ZEM4_ENTER("LocateHandleBuffer");
  fw->CheckTplLimit("LocateHandleBuffer", TPL_NOTIFY);
  return fw->Protocols().LocateHandleBuffer(type, guid, key, count, buffer);
}

EFI_STATUS EFIAPI LocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **iface) {
  ZEM4_ENTER("LocateProtocol");
  fw->CheckTplLimit("LocateProtocol", TPL_NOTIFY);
  return fw->Protocols().LocateProtocol(guid, registration, iface);
}

// Reads (GUID, interface) pairs up to the NULL GUID; false if there is no end.
bool ReadPairs(EFI_VA_LIST &args, ProtocolServices::Pairs &pairs) {
  for (size_t i = 0; i <= kMaxPairs; ++i) {
    const EFI_GUID *guid = EFI_VA_ARG(args, const EFI_GUID *);
    if (guid == nullptr)
      return true;
    void *iface = EFI_VA_ARG(args, void *);
    pairs.emplace_back(guid, iface);
  }
  return false;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfaces(EFI_HANDLE *handle, ...) {
  ZEM4_ENTER("InstallMultipleProtocolInterfaces");
  fw->CheckTplLimit("InstallMultipleProtocolInterfaces", TPL_NOTIFY);
  ProtocolServices::Pairs pairs;
  EFI_VA_LIST args;
  EFI_VA_START(args, handle);
  const bool ended = ReadPairs(args, pairs);
  EFI_VA_END(args);
  if (!ended)
    return EFI_INVALID_PARAMETER;
  return fw->Protocols().InstallMultiple(handle, pairs);
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfaces(EFI_HANDLE handle, ...) {
  ZEM4_ENTER("UninstallMultipleProtocolInterfaces");
  fw->CheckTplLimit("UninstallMultipleProtocolInterfaces", TPL_NOTIFY);
  ProtocolServices::Pairs pairs;
  EFI_VA_LIST args;
  EFI_VA_START(args, handle);
  const bool ended = ReadPairs(args, pairs);
  EFI_VA_END(args);
  if (!ended)
    return EFI_INVALID_PARAMETER;
  return fw->Protocols().UninstallMultiple(handle, pairs);
}

EFI_STATUS EFIAPI CalculateCrc32(VOID *data, UINTN size, UINT32 *crc) {
  ZEM4_ENTER("CalculateCrc32");
  if (data == nullptr || size == 0 || crc == nullptr)
    return EFI_INVALID_PARAMETER;
  *crc = Crc32(data, size);
  return EFI_SUCCESS;
}

VOID EFIAPI CopyMem(VOID *destination, const VOID *source, UINTN length) {
  if (Firmware *fw = Firmware::Current()) {
    EFI_STATUS ignored;
    fw->EnterService("CopyMem", ignored);
  }
  if (length != 0)
    std::memmove(destination, source, length);
}

VOID EFIAPI SetMem(VOID *buffer, UINTN size, UINT8 value) {
  if (Firmware *fw = Firmware::Current()) {
    EFI_STATUS ignored;
    fw->EnterService("SetMem", ignored);
  }
  if (size != 0)
    std::memset(buffer, value, size);
}

EFI_STATUS EFIAPI CreateEventEx(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify,
                                const VOID *context, const EFI_GUID *group, EFI_EVENT *event) {
  ZEM4_ENTER("CreateEventEx");
  if (group != nullptr)
    return EFI_UNSUPPORTED; // no event groups here
  fw->CheckTplLimit("CreateEventEx", TPL_HIGH_LEVEL, false);
  return fw->Events().Create(type, notifyTpl, notify, const_cast<VOID *>(context), event);
}

#undef ZEM4_ENTER

} // namespace

UINT32 Crc32(const void *data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  const auto *p = static_cast<const uint8_t *>(data);
  for (size_t i = 0; i < size; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void FillBootServices(EFI_BOOT_SERVICES &bs) {
  bs = {};
  bs.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  bs.Hdr.Revision = EFI_2_10_SYSTEM_TABLE_REVISION;
  bs.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  bs.RaiseTPL = RaiseTPL;
  bs.RestoreTPL = RestoreTPL;
  bs.AllocatePages = AllocatePages;
  bs.FreePages = FreePages;
  bs.GetMemoryMap = GetMemoryMap;
  bs.AllocatePool = AllocatePool;
  bs.FreePool = FreePool;
  bs.CreateEvent = CreateEvent;
  bs.SetTimer = SetTimer;
  bs.WaitForEvent = WaitForEvent;
  bs.SignalEvent = SignalEvent;
  bs.CloseEvent = CloseEvent;
  bs.CheckEvent = CheckEvent;
  bs.InstallProtocolInterface = InstallProtocolInterface;
  bs.ReinstallProtocolInterface = ReinstallProtocolInterface;
  bs.UninstallProtocolInterface = UninstallProtocolInterface;
  bs.HandleProtocol = HandleProtocol;
  bs.Reserved = nullptr;
  bs.RegisterProtocolNotify = RegisterProtocolNotify;
  bs.LocateHandle = LocateHandle;
  bs.LocateDevicePath = LocateDevicePath;
  bs.InstallConfigurationTable = InstallConfigurationTable;
  bs.LoadImage = LoadImage;
  bs.StartImage = StartImage;
  bs.Exit = Exit;
  bs.UnloadImage = UnloadImage;
  bs.ExitBootServices = ExitBootServices;
  bs.GetNextMonotonicCount = GetNextMonotonicCount;
  bs.Stall = Stall;
  bs.SetWatchdogTimer = SetWatchdogTimer;
  bs.ConnectController = ConnectController;
  bs.DisconnectController = DisconnectController;
  bs.OpenProtocol = OpenProtocol;
  bs.CloseProtocol = CloseProtocol;
  bs.OpenProtocolInformation = OpenProtocolInformation;
  bs.ProtocolsPerHandle = ProtocolsPerHandle;
  bs.LocateHandleBuffer = LocateHandleBuffer;
  bs.LocateProtocol = LocateProtocol;
  bs.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfaces;
  bs.UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfaces;
  bs.CalculateCrc32 = CalculateCrc32;
  bs.CopyMem = CopyMem;
  bs.SetMem = SetMem;
  bs.CreateEventEx = CreateEventEx;
  bs.Hdr.CRC32 = 0;
  bs.Hdr.CRC32 = Crc32(&bs, sizeof bs);
}

} // namespace zem4::host
