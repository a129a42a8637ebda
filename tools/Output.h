// The file a download writes: a temporary file beside the output name,
// mapped into memory (blocks land at their offsets in any order) or written
// as a stream, hashed with SHA-256, and renamed to the output name only once
// it is complete and verified. Anything else removes it.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zem4::cli {

class OutputFile {
public:
  // Throws Failure(kExitLocalIo) when the temporary file cannot be made.
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  const std::string &Path() const { return path_; }
  const std::string &TempPath() const { return temp_; }

  // Sizes the file and maps it; a size of 0 maps nothing.
  void Map(uint64_t size);
  uint8_t *Data() { return map_; }
  uint64_t Size() const { return size_; }
  // Appends (stream mode); false on a write error.
  bool Append(const uint8_t *data, size_t length);
  uint64_t Written() const { return written_; }

  // Hex SHA-256 of the mapped file, or of what was appended.
  std::string Sha256Hex();
  // Flushes, closes and renames to the output name.
  void Commit();
  // Removes the temporary file now.
  void Discard();

private:
  void Unmap();
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  uint8_t *map_ = nullptr;
  uint64_t size_ = 0;
  uint64_t written_ = 0;
  EVP_MD_CTX *stream_ = nullptr;
  bool committed_ = false;
};

std::string Sha256Hex(std::span<const uint8_t> data);

} // namespace zem4::cli
