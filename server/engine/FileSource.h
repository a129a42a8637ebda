// Where the server's files come from. The engine sees only this interface;
// the daemon serves one root directory, tests and the simulated network use
// files held in memory.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zem4::server {

enum class OpenError { None, NotFound, AccessDenied, TooLarge };

// Identity of a file's content source: files with the same identity are one
// file, and requests for it share a multicast group.
struct FileId {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  friend auto operator<=>(const FileId &, const FileId &) = default;
};

// A file's SHA-256 as far as it is known. Asking never blocks: a digest
// that takes long is computed away from the caller, who is told through the
// source's ready hook (the engine through Engine::OnDigestReady).
struct DigestResult {
  enum class State { Ready, Pending, Unavailable };
  State Status = State::Unavailable;
  std::string Hex; // lower-case hex when Ready
};

class OpenFile {
public:
  virtual ~OpenFile() = default;
  // Size when the file was opened; a transfer never sends more or less.
  virtual uint64_t Size() const = 0;
  virtual FileId Id() const = 0;
  // Fills Out from Offset; false when the file no longer holds those bytes.
  virtual bool ReadAt(uint64_t Offset, std::span<uint8_t> Out) = 0;
  // SHA-256 of the whole file, computed once per file version; Unavailable
  // when the file is too large for a digest, has changed or cannot be read.
  virtual DigestResult Digest() = 0;
  // false once the file's version (size, modification and change times) is
  // no longer the one opened: it was rewritten in place.
  virtual bool Unchanged() { return true; }
};

struct OpenResult {
  OpenError Error = OpenError::None;
  std::shared_ptr<OpenFile> File;
};

class FileSource {
public:
  virtual ~FileSource() = default;
  virtual OpenResult Open(std::string_view Name) = 0;
};

// Called, possibly from another thread, when a digest that was Pending has
// been computed (or has failed); the next Digest() of that file says which.
using DigestReadyHook = std::function<void(const FileId &)>;

// Largest file the daemon computes a digest for unless told otherwise.
inline constexpr uint64_t DefaultDigestMax = uint64_t{8} << 30;

// Refusals that do not depend on what is on disk: empty names, absolute
// paths and ".." components.
OpenError CheckRequestName(std::string_view Name);

// Firmware and DHCP options ask for "\EFI\BOOT\x.efi" or "/boot/x.efi":
// backslashes become slashes and leading slashes are dropped, so the name is
// taken relative to the root. CheckRequestName still judges the result, so
// "..\x" and "/../x" stay refused.
std::string MapRequestName(std::string_view Asked);

// Largest file whose blocks can all be numbered (the block after the last
// full one is always sent, empty when the size is a multiple of the block).
uint64_t MaxServableSize();

// Serves regular files below one directory, read-only. Symbolic links are
// followed only while they stay below the root; devices, directories, pipes
// and sockets are refused.
class DirectoryFileSource final : public FileSource {
public:
  // Throws std::system_error when the root cannot be opened as a directory.
  // Files above DigestMax bytes get no digest.
  explicit DirectoryFileSource(const std::string &Root, uint64_t DigestMax = DefaultDigestMax,
                               size_t DigestCacheEntries = 256);
  ~DirectoryFileSource() override;
  DirectoryFileSource(const DirectoryFileSource &) = delete;
  DirectoryFileSource &operator=(const DirectoryFileSource &) = delete;

  OpenResult Open(std::string_view Name) override;
  // Digests are computed on a worker thread of the source's own; Hook is
  // called from it for each one that is done.
  void SetDigestReadyHook(DigestReadyHook Hook);
  // Stops the worker, abandoning a digest half way; later ones stay Pending.
  void StopDigests();

  struct DigestCache;  // shared with the open files so a digest outlives them
  struct DigestWorker; // the thread and its queue

private:
  int RootFd = -1;
  std::string RootPath;
  std::shared_ptr<DigestCache> Digests;
  std::shared_ptr<DigestWorker> Worker;
  uint64_t DigestMax;
};

// Files held in memory; for tests, benchmarks and the simulated network.
class MemoryFileSource final : public FileSource {
public:
  void Add(const std::string &Name, std::vector<uint8_t> Data);
  // A name that exists but must be refused, as a device or directory would be.
  void AddRefused(const std::string &Name);
  // Replaces the content of a file in place; open files see the new bytes.
  void Replace(const std::string &Name, std::vector<uint8_t> Data);
  OpenResult Open(std::string_view Name) override;
  // How many times a digest was computed (the cache is per content version).
  uint64_t DigestComputations() const;
  // While held, a digest not yet known stays Pending, as a slow one on disk
  // would; Release makes them known (the caller then tells the engine).
  void HoldDigests(bool Hold) { *Held = Hold; }

  struct Entry;

private:
  std::map<std::string, std::shared_ptr<Entry>, std::less<>> Files;
  uint64_t NextInode = 1;
  std::shared_ptr<uint64_t> Computations = std::make_shared<uint64_t>(0);
  std::shared_ptr<bool> Held = std::make_shared<bool>(false);
};

std::string Sha256Hex(std::span<const uint8_t> Data);

} // namespace zem4::server
