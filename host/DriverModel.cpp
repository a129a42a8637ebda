#include "host/DriverModel.h"
#include "host/HandleDatabase.h"

#include <algorithm>
#include <set>

namespace zem4::host {

namespace {
constexpr unsigned kMaxConnectDepth = 16;

void AddOnce(std::vector<EFI_HANDLE> &v, EFI_HANDLE h) {
  if (std::find(v.begin(), v.end(), h) == v.end())
    v.push_back(h);
}
} // namespace

EFI_DRIVER_BINDING_PROTOCOL *DriverModel::Binding(EFI_HANDLE driver) const {
  auto *p = db_.Find(driver, gEfiDriverBindingProtocolGuid);
  return p ? static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(p->iface) : nullptr;
}

std::vector<EFI_HANDLE> DriverModel::ManagingDrivers(EFI_HANDLE controller) const {
  std::vector<EFI_HANDLE> out;
  if (auto *h = db_.Get(controller))
    for (auto &p : h->protocols)
      for (auto &e : p->opens)
        if (e.attributes & EFI_OPEN_PROTOCOL_BY_DRIVER)
          AddOnce(out, e.agent);
  return out;
}

std::vector<EFI_HANDLE> DriverModel::Children(EFI_HANDLE controller, EFI_HANDLE driver) const {
  std::vector<EFI_HANDLE> out;
  if (auto *h = db_.Get(controller))
    for (auto &p : h->protocols)
      for (auto &e : p->opens)
        if ((e.attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) &&
            (driver == nullptr || e.agent == driver))
          AddOnce(out, e.controller);
  return out;
}

EFI_STATUS DriverModel::Connect(EFI_HANDLE controller, const std::vector<EFI_HANDLE> &preferred,
                                bool recursive, bool onlyPreferred) {
  if (!db_.IsHandle(controller))
    return EFI_INVALID_PARAMETER;
  if (depth_ >= kMaxConnectDepth)
    return EFI_SUCCESS;

  // Candidates: the preferred ones in their order, then every driver binding
  // by descending Version (creation order among equals).
  std::vector<EFI_HANDLE> candidates;
  for (EFI_HANDLE h : preferred)
    if (Binding(h))
      AddOnce(candidates, h);
  if (!onlyPreferred) {
    std::vector<EFI_HANDLE> rest = db_.HandlesWith(gEfiDriverBindingProtocolGuid);
    std::stable_sort(rest.begin(), rest.end(), [this](EFI_HANDLE a, EFI_HANDLE b) {
      return Binding(a)->Version > Binding(b)->Version;
    });
    for (EFI_HANDLE h : rest)
      AddOnce(candidates, h);
  }
  if (candidates.empty())
    return EFI_NOT_FOUND;

  ++depth_;
  std::set<EFI_HANDLE> used;
  bool started = false;
  for (bool again = true; again && db_.IsHandle(controller);) {
    again = false;
    for (EFI_HANDLE driver : candidates) {
      if (used.count(driver))
        continue;
      EFI_DRIVER_BINDING_PROTOCOL *b = Binding(driver); // a Start may have unloaded one
      if (b == nullptr || b->Supported == nullptr)
        continue;
      if (b->Supported(b, controller, nullptr) != EFI_SUCCESS)
        continue;
      used.insert(driver);
      if (b->Start && b->Start(b, controller, nullptr) == EFI_SUCCESS)
        started = true;
      again = true; // start over from the top after every Start
      break;
    }
  }
  if (recursive && db_.IsHandle(controller))
    for (EFI_HANDLE child : Children(controller, nullptr))
      Connect(child, {}, true);
  --depth_;
  return started ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS DriverModel::Disconnect(EFI_HANDLE controller, EFI_HANDLE driver, EFI_HANDLE child) {
  if (!db_.IsHandle(controller))
    return EFI_INVALID_PARAMETER;
  if (driver != nullptr && (!db_.IsHandle(driver) || Binding(driver) == nullptr))
    return EFI_INVALID_PARAMETER;
  if (child != nullptr && !db_.IsHandle(child))
    return EFI_INVALID_PARAMETER;

  std::vector<EFI_HANDLE> drivers = ManagingDrivers(controller);
  if (driver != nullptr)
    std::erase_if(drivers, [driver](EFI_HANDLE d) { return d != driver; });

  bool failed = false;
  for (EFI_HANDLE agent : drivers) {
    if (!db_.IsHandle(controller))
      break;
    EFI_DRIVER_BINDING_PROTOCOL *b = Binding(agent);
    if (b == nullptr || b->Stop == nullptr)
      continue;
    // Children first, then the controller once the driver has none left.
    std::vector<EFI_HANDLE> children = Children(controller, agent);
    if (child != nullptr)
      std::erase_if(children, [child](EFI_HANDLE c) { return c != child; });
    const bool childWanted = child == nullptr || !children.empty();
    if (!children.empty() &&
        b->Stop(b, controller, children.size(), children.data()) != EFI_SUCCESS)
      failed = true;
    if (!childWanted || !db_.IsHandle(controller))
      continue;
    b = Binding(agent);
    if (b == nullptr || !Children(controller, agent).empty())
      continue;
    const auto still = ManagingDrivers(controller);
    if (std::find(still.begin(), still.end(), agent) == still.end())
      continue; // the child Stop let go of the controller as well
    if (b->Stop(b, controller, 0, nullptr) != EFI_SUCCESS)
      failed = true;
  }
  return failed ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

} // namespace zem4::host
