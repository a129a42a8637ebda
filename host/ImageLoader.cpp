#include "host/ImageLoader.h"

#include <fstream>
#include <iterator>
#include <vector>

namespace zem4::host {

std::unique_ptr<LoadedDriverImage> LoadedDriverImage::Load(Firmware &firmware,
                                                           std::span<const uint8_t> file,
                                                           std::string &error, EFI_STATUS *status,
                                                           EFI_HANDLE parent) {
  if (status != nullptr) {
    *status = EFI_LOAD_ERROR;
  }
  std::unique_ptr<PeImage> image = PeImage::Load(file, kHostMachine, error);
  if (image == nullptr) {
    return nullptr;
  }
  std::unique_ptr<LoadedDriverImage> loaded(new LoadedDriverImage(firmware, std::move(image)));
  loaded->handle_ = firmware.CreateImageHandle(nullptr, parent);
  EFI_LOADED_IMAGE_PROTOCOL *li = firmware.LoadedImage(loaded->handle_);
  li->ImageBase = loaded->image_->Base();
  li->ImageSize = loaded->image_->Size();
  const EFI_STATUS started = firmware.StartImage(loaded->handle_, loaded->image_->Entry());
  if (status != nullptr) {
    *status = started;
  }
  if (EFI_ERROR(started)) {
    error = "the image's entry point failed";
    // An image that fails but leaves protocols behind still has code the
    // firmware can reach: its mapping must stay, so it is given up for good.
    if (firmware.IsHandle(loaded->handle_)) {
      (void)loaded->image_.release();
    }
    return nullptr;
  }
  return loaded;
}

std::unique_ptr<LoadedDriverImage>
LoadedDriverImage::LoadFile(Firmware &firmware, const std::string &path, std::string &error,
                            EFI_STATUS *status, EFI_HANDLE parent) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    if (status != nullptr) {
      *status = EFI_NOT_FOUND;
    }
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return Load(firmware, bytes, error, status, parent);
}

LoadedDriverImage::~LoadedDriverImage() = default;

bool LoadedDriverImage::Resident() const {
  return handle_ != nullptr && firmware_.LoadedImage(handle_) != nullptr;
}

EFI_STATUS LoadedDriverImage::Unload() {
  if (!Resident()) {
    return EFI_INVALID_PARAMETER;
  }
  return firmware_.UnloadImage(handle_);
}

} // namespace zem4::host
