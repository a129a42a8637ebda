#include "server/engine/FileSource.h"

#include "zem4/Zem4Wire.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <list>
#include <mutex>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace zem4::server {

namespace {

constexpr char HexDigits[] = "0123456789abcdef";

std::string ToHex(const unsigned char *Digest, unsigned Length) {
  std::string Out;
  Out.reserve(Length * 2);
  for (unsigned I = 0; I < Length; ++I) {
    Out.push_back(HexDigits[Digest[I] >> 4]);
    Out.push_back(HexDigits[Digest[I] & 0xF]);
  }
  return Out;
}

struct DigestContext {
  EVP_MD_CTX *Ctx = EVP_MD_CTX_new();
  DigestContext() {
    if (Ctx == nullptr || EVP_DigestInit_ex(Ctx, EVP_sha256(), nullptr) != 1) {
      throw std::runtime_error("SHA-256 unavailable");
    }
  }
  ~DigestContext() { EVP_MD_CTX_free(Ctx); }
  DigestContext(const DigestContext &) = delete;
  DigestContext &operator=(const DigestContext &) = delete;
  void Update(const void *Data, size_t Length) { EVP_DigestUpdate(Ctx, Data, Length); }
  std::string FinishHex() {
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned Length = 0;
    EVP_DigestFinal_ex(Ctx, Digest, &Length);
    return ToHex(Digest, Length);
  }
};

// The facts that change whenever a file's content may have changed.
struct Version {
  uint64_t Size = 0;
  int64_t MtimeNs = 0;
  int64_t CtimeNs = 0;
  bool operator==(const Version &) const = default;
};

Version VersionOf(const struct stat &St) {
  return {static_cast<uint64_t>(St.st_size), St.st_mtim.tv_sec * 1000000000LL + St.st_mtim.tv_nsec,
          St.st_ctim.tv_sec * 1000000000LL + St.st_ctim.tv_nsec};
}

bool PreadAll(int Fd, uint64_t Offset, uint8_t *Out, size_t Length) {
  while (Length > 0) {
    ssize_t Got = ::pread(Fd, Out, Length, static_cast<off_t>(Offset));
    if (Got < 0 && errno == EINTR) {
      continue;
    }
    if (Got <= 0) {
      return false;
    }
    Out += Got;
    Offset += static_cast<uint64_t>(Got);
    Length -= static_cast<size_t>(Got);
  }
  return true;
}

OpenError FromErrno(int Error) {
  switch (Error) {
  case ENOENT:
  case ENOTDIR:
  case ENAMETOOLONG:
    return OpenError::NotFound;
  default: // EXDEV (left the root), ELOOP, EACCES, EPERM, ...
    return OpenError::AccessDenied;
  }
}

} // namespace

OpenError CheckRequestName(std::string_view Name) {
  if (Name.empty()) {
    return OpenError::NotFound;
  }
  if (Name.front() == '/') {
    return OpenError::AccessDenied;
  }
  size_t Start = 0;
  while (Start <= Name.size()) {
    size_t Slash = Name.find('/', Start);
    if (Slash == std::string_view::npos) {
      Slash = Name.size();
    }
    if (Name.substr(Start, Slash - Start) == "..") {
      return OpenError::AccessDenied;
    }
    Start = Slash + 1;
  }
  return OpenError::None;
}

uint64_t MaxServableSize() {
  // Blocks are numbered 1 .. size / BLOCK + 1 and the last number must stay
  // below 0xFFFFFFFF, which the client keeps as "not seen".
  return uint64_t{ZEM4_LAST_BLOCK_NUMBER - 2} * ZEM4_BLOCK_SIZE;
}

std::string Sha256Hex(std::span<const uint8_t> Data) {
  DigestContext D;
  D.Update(Data.data(), Data.size());
  return D.FinishHex();
}

// ---------------------------------------------------------------------------
// Directory source
// ---------------------------------------------------------------------------

struct DirectoryFileSource::DigestCache {
  struct Item {
    FileId Id;
    Version Ver;
    std::string Hex;
  };
  size_t Capacity;
  std::mutex Lock;
  std::list<Item> Items; // most recently used first

  explicit DigestCache(size_t Cap) : Capacity(Cap ? Cap : 1) {}

  std::optional<std::string> Find(const FileId &Id, const Version &Ver) {
    std::lock_guard G(Lock);
    for (auto It = Items.begin(); It != Items.end(); ++It) {
      if (It->Id == Id) {
        if (It->Ver == Ver) {
          Items.splice(Items.begin(), Items, It);
          return Items.front().Hex;
        }
        Items.erase(It);
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  void Store(const FileId &Id, const Version &Ver, std::string Hex) {
    std::lock_guard G(Lock);
    Items.remove_if([&](const Item &I) { return I.Id == Id; });
    Items.push_front({Id, Ver, std::move(Hex)});
    while (Items.size() > Capacity) {
      Items.pop_back();
    }
  }
};

namespace {

class DiskFile final : public OpenFile {
public:
  DiskFile(int Fd, const struct stat &St, std::shared_ptr<DirectoryFileSource::DigestCache> Cache)
      : Fd(Fd), Ver(VersionOf(St)), Ident{static_cast<uint64_t>(St.st_dev),
                                          static_cast<uint64_t>(St.st_ino)},
        Cache(std::move(Cache)) {}
  ~DiskFile() override { ::close(Fd); }
  DiskFile(const DiskFile &) = delete;
  DiskFile &operator=(const DiskFile &) = delete;

  uint64_t Size() const override { return Ver.Size; }
  FileId Id() const override { return Ident; }

  bool ReadAt(uint64_t Offset, std::span<uint8_t> Out) override {
    if (Offset > Ver.Size || Out.size() > Ver.Size - Offset) {
      return false;
    }
    return PreadAll(Fd, Offset, Out.data(), Out.size());
  }

  std::optional<std::string> Sha256Hex() override {
    struct stat St {};
    if (::fstat(Fd, &St) != 0) {
      return std::nullopt;
    }
    Version Now = VersionOf(St);
    if (Now != Ver) {
      return std::nullopt; // changed under us: the digest would not match what we send
    }
    if (auto Hit = Cache->Find(Ident, Now)) {
      return Hit;
    }
    DigestContext D;
    std::vector<uint8_t> Chunk(1 << 16);
    uint64_t Offset = 0;
    while (Offset < Ver.Size) {
      size_t Want = static_cast<size_t>(std::min<uint64_t>(Chunk.size(), Ver.Size - Offset));
      if (!PreadAll(Fd, Offset, Chunk.data(), Want)) {
        return std::nullopt;
      }
      D.Update(Chunk.data(), Want);
      Offset += Want;
    }
    std::string Hex = D.FinishHex();
    Cache->Store(Ident, Now, Hex);
    return Hex;
  }

private:
  int Fd;
  Version Ver;
  FileId Ident;
  std::shared_ptr<DirectoryFileSource::DigestCache> Cache;
};

// Opens Name below RootFd without ever leaving it. openat2 does the walk in
// the kernel; without it, each component is opened with O_NOFOLLOW, which
// refuses every symbolic link (stricter, never looser).
int OpenBeneath(int RootFd, const std::string &Name) {
  constexpr int Flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
#ifdef SYS_openat2
  struct open_how How {};
  How.flags = Flags;
  How.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long Fd = ::syscall(SYS_openat2, RootFd, Name.c_str(), &How, sizeof How);
  if (Fd >= 0 || errno != ENOSYS) {
    return static_cast<int>(Fd);
  }
#endif
  int Dir = ::dup(RootFd);
  if (Dir < 0) {
    return -1;
  }
  size_t Start = 0;
  while (true) {
    size_t Slash = Name.find('/', Start);
    std::string Part =
        Name.substr(Start, Slash == std::string::npos ? std::string::npos : Slash - Start);
    bool Last = Slash == std::string::npos;
    if (Part.empty() || Part == ".") {
      if (Last) {
        errno = EISDIR;
        ::close(Dir);
        return -1;
      }
      Start = Slash + 1;
      continue;
    }
    int Next = ::openat(Dir, Part.c_str(),
                        (Last ? Flags : O_RDONLY | O_DIRECTORY | O_CLOEXEC) | O_NOFOLLOW);
    int Saved = errno;
    ::close(Dir);
    if (Next < 0) {
      errno = Saved;
      return -1;
    }
    if (Last) {
      return Next;
    }
    Dir = Next;
    Start = Slash + 1;
  }
}

} // namespace

DirectoryFileSource::DirectoryFileSource(const std::string &Root, size_t DigestCacheEntries)
    : RootPath(Root), Digests(std::make_shared<DigestCache>(DigestCacheEntries)) {
  RootFd = ::open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (RootFd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open root " + Root);
  }
}

DirectoryFileSource::~DirectoryFileSource() {
  ::close(RootFd);
}

OpenResult DirectoryFileSource::Open(std::string_view Name) {
  if (OpenError E = CheckRequestName(Name); E != OpenError::None) {
    return {E, nullptr};
  }
  int Fd = OpenBeneath(RootFd, std::string(Name));
  if (Fd < 0) {
    return {FromErrno(errno), nullptr};
  }
  struct stat St {};
  if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
    ::close(Fd);
    return {OpenError::AccessDenied, nullptr};
  }
  if (static_cast<uint64_t>(St.st_size) > MaxServableSize()) {
    ::close(Fd);
    return {OpenError::TooLarge, nullptr};
  }
  return {OpenError::None, std::make_shared<DiskFile>(Fd, St, Digests)};
}

// ---------------------------------------------------------------------------
// Memory source
// ---------------------------------------------------------------------------

struct MemoryFileSource::Entry {
  uint64_t Inode = 0;
  bool Refused = false;
  std::shared_ptr<std::vector<uint8_t>> Data;
  std::optional<std::string> Digest;
  std::shared_ptr<uint64_t> Computations;
};

namespace {

class MemoryFile final : public OpenFile {
public:
  explicit MemoryFile(std::shared_ptr<MemoryFileSource::Entry> E)
      : E(std::move(E)), Bytes(this->E->Data->size()) {}
  uint64_t Size() const override { return Bytes; }
  FileId Id() const override { return {0, E->Inode}; }
  bool ReadAt(uint64_t Offset, std::span<uint8_t> Out) override {
    const auto &D = *E->Data;
    if (Offset > D.size() || Out.size() > D.size() - Offset) {
      return false;
    }
    if (!Out.empty()) {
      std::memcpy(Out.data(), D.data() + Offset, Out.size());
    }
    return true;
  }
  std::optional<std::string> Sha256Hex() override {
    if (E->Data->size() != Bytes) {
      return std::nullopt;
    }
    if (!E->Digest) {
      E->Digest = server::Sha256Hex(*E->Data);
      ++*E->Computations;
    }
    return E->Digest;
  }

private:
  std::shared_ptr<MemoryFileSource::Entry> E;
  uint64_t Bytes;
};

} // namespace

void MemoryFileSource::Add(const std::string &Name, std::vector<uint8_t> Data) {
  auto E = std::make_shared<Entry>();
  E->Inode = NextInode++;
  E->Data = std::make_shared<std::vector<uint8_t>>(std::move(Data));
  E->Computations = Computations;
  Files[Name] = std::move(E);
}

void MemoryFileSource::AddRefused(const std::string &Name) {
  Add(Name, {});
  Files[Name]->Refused = true;
}

void MemoryFileSource::Replace(const std::string &Name, std::vector<uint8_t> Data) {
  auto It = Files.find(Name);
  if (It == Files.end()) {
    Add(Name, std::move(Data));
    return;
  }
  *It->second->Data = std::move(Data);
  It->second->Digest.reset();
}

OpenResult MemoryFileSource::Open(std::string_view Name) {
  if (OpenError E = CheckRequestName(Name); E != OpenError::None) {
    return {E, nullptr};
  }
  auto It = Files.find(Name);
  if (It == Files.end()) {
    return {OpenError::NotFound, nullptr};
  }
  if (It->second->Refused) {
    return {OpenError::AccessDenied, nullptr};
  }
  return {OpenError::None, std::make_shared<MemoryFile>(It->second)};
}

uint64_t MemoryFileSource::DigestComputations() const {
  return *Computations;
}

} // namespace zem4::server
