// Where a download's bytes go. A regular file (new, or reached through a
// symbolic link) is written as a temporary file beside it, mapped into memory
// (blocks land at their offsets in any order) or written as a stream (hashed
// as it comes), checked with SHA-256, synced, and renamed over the output
// name only once it is complete and verified; anything else removes the
// temporary. A device, a FIFO or standard
// output ("-") is written directly, in file order, with no temporary and no
// reservation: those are never replaced. Nothing else is written to.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zem4::cli {

class OutputFile {
public:
  // Throws Failure(kExitLocalIo) when the target cannot be written (or is of
  // a kind that is never replaced), Failure(kExitUsage) for a directory.
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  // What messages call the output: its path, or "standard output".
  const std::string &Name() const { return name_; }
  const std::string &TempPath() const { return temp_; }
  // Written directly in file order (device, FIFO, standard output).
  bool Direct() const { return direct_; }

  // Sizes and reserves the temporary file for a stream of `size` bytes, so
  // that a full disk is found before the first block. False when this file
  // system cannot reserve space (the writes then report a full disk).
  // Throws Failure(kExitLocalIo) when there is no room. A direct target is
  // only checked: a block device smaller than `size` throws; false.
  bool Reserve(uint64_t size);
  // Reserves and maps the temporary file (a size of 0 maps nothing). False
  // when this file system cannot reserve space: the download then goes as a
  // stream. Throws Failure(kExitLocalIo) when there is no room.
  bool Map(uint64_t size);
  uint8_t *Data() { return map_; }
  uint64_t Size() const { return size_; }
  // Appends in file order; false on a write error (see WriteError()).
  bool Append(const uint8_t *data, size_t length);
  uint64_t Written() const { return written_; }
  // "cannot write NAME: reason" for the last failed Append.
  std::string WriteError() const;

  // Hex SHA-256 of the mapped file, or of what was appended.
  std::string Sha256Hex();
  // Syncs (a temporary file) and closes; a temporary file is then renamed to
  // the output name.
  void Commit();
  // Removes the temporary file now (a direct target keeps what it got).
  void Discard();

private:
  void OpenTemporary(const std::string &target);
  void OpenDirect(const std::string &target);
  void Unmap();
  std::string name_;
  std::string path_; // the regular file a temporary is renamed to
  std::string temp_;
  int fd_ = -1;
  bool direct_ = false;
  bool ownsFd_ = true;
  int writeErrno_ = 0;
  uint8_t *map_ = nullptr;
  uint64_t size_ = 0;
  uint64_t written_ = 0;
  uint64_t flushed_ = 0; // written back from here on, asked of the kernel as we go
  // Owned here so that a constructor that throws leaves nothing behind.
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> stream_{EVP_MD_CTX_new(), EVP_MD_CTX_free};
  bool committed_ = false;
};

std::string Sha256Hex(std::span<const uint8_t> data);

} // namespace zem4::cli
