// Images: a handle with a Loaded Image protocol, its start and its unload.
#pragma once

#include "efi/Uefi.h"

#include <map>
#include <memory>

namespace zem4::host {

class HandleDatabase;

class Images {
public:
  explicit Images(HandleDatabase &db) : db_(db) {}

  EFI_HANDLE Create(EFI_SYSTEM_TABLE *systemTable, EFI_IMAGE_UNLOAD unload, EFI_HANDLE parent);
  EFI_LOADED_IMAGE_PROTOCOL *Get(EFI_HANDLE image) const;
  // Calls the image's Unload; on success the image goes away.
  EFI_STATUS Unload(EFI_HANDLE image);
  // The image goes away: every open it made is closed and its Loaded Image
  // protocol removed (the handle with it, if that was the last protocol).
  void Remove(EFI_HANDLE image);
  size_t Count() const { return images_.size(); }

private:
  HandleDatabase &db_;
  std::map<EFI_HANDLE, std::unique_ptr<EFI_LOADED_IMAGE_PROTOCOL>> images_;
};

} // namespace zem4::host
