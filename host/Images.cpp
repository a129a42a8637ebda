#include "host/Images.h"
#include "host/HandleDatabase.h"

namespace zem4::host {

EFI_HANDLE Images::Create(EFI_SYSTEM_TABLE *systemTable, EFI_IMAGE_UNLOAD unload,
                          EFI_HANDLE parent) {
  auto li = std::make_unique<EFI_LOADED_IMAGE_PROTOCOL>();
  li->Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  li->ParentHandle = parent;
  li->SystemTable = systemTable;
  li->ImageCodeType = EfiBootServicesCode;
  li->ImageDataType = EfiBootServicesData;
  li->Unload = unload;
  EFI_HANDLE h = db_.NewHandle();
  db_.Add(h, gEfiLoadedImageProtocolGuid, li.get());
  images_[h] = std::move(li); // a reused handle value replaces a stale entry
  return h;
}

EFI_LOADED_IMAGE_PROTOCOL *Images::Get(EFI_HANDLE image) const {
  auto it = images_.find(image);
  return it == images_.end() ? nullptr : it->second.get();
}

EFI_STATUS Images::Unload(EFI_HANDLE image) {
  EFI_LOADED_IMAGE_PROTOCOL *li = Get(image);
  if (li == nullptr || !db_.IsHandle(image))
    return EFI_INVALID_PARAMETER;
  if (li->Unload == nullptr)
    return EFI_UNSUPPORTED;
  const EFI_STATUS st = li->Unload(image);
  if (EFI_ERROR(st))
    return st;
  Remove(image);
  return EFI_SUCCESS;
}

void Images::Remove(EFI_HANDLE image) {
  auto it = images_.find(image);
  if (it == images_.end())
    return;
  db_.CloseAllBy(image);
  if (auto *p = db_.Find(image, gEfiLoadedImageProtocolGuid); p && p->iface == it->second.get())
    db_.Remove(image, gEfiLoadedImageProtocolGuid);
  images_.erase(it);
}

} // namespace zem4::host
