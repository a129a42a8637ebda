// A driver image file run by the host firmware as firmware runs it: checked
// and mapped (host/PeImage.h), given an image handle whose Loaded Image
// protocol tells where it lies, and started through its entry point in the
// image's own calling convention. The mapping lives until the image is gone.
#pragma once

#include "host/Firmware.h"
#include "host/PeImage.h"

#include <memory>
#include <span>
#include <string>

namespace zem4::host {

class LoadedDriverImage {
public:
  // Refused images and failed entry points give null with `error` set; for a
  // failed entry point `status` holds what it returned (the firmware has
  // unloaded the image by then). `status` is EFI_LOAD_ERROR for a refusal.
  static std::unique_ptr<LoadedDriverImage> Load(Firmware &firmware, std::span<const uint8_t> file,
                                                 std::string &error, EFI_STATUS *status = nullptr,
                                                 EFI_HANDLE parent = nullptr);
  static std::unique_ptr<LoadedDriverImage> LoadFile(Firmware &firmware, const std::string &path,
                                                     std::string &error,
                                                     EFI_STATUS *status = nullptr,
                                                     EFI_HANDLE parent = nullptr);

  // Unmaps the image. Destroy it only once the firmware no longer holds the
  // image, or after the firmware itself: nothing may call into it later.
  ~LoadedDriverImage();
  LoadedDriverImage(const LoadedDriverImage &) = delete;
  LoadedDriverImage &operator=(const LoadedDriverImage &) = delete;

  EFI_HANDLE Handle() const { return handle_; }
  const PeImage &Image() const { return *image_; }
  // Still known to the firmware as an image.
  bool Resident() const;
  // The image's Unload through the firmware.
  EFI_STATUS Unload();

private:
  LoadedDriverImage(Firmware &firmware, std::unique_ptr<PeImage> image)
      : firmware_(firmware), image_(std::move(image)) {}

  Firmware &firmware_;
  std::unique_ptr<PeImage> image_;
  EFI_HANDLE handle_ = nullptr;
};

} // namespace zem4::host
