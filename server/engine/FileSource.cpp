#include "server/engine/FileSource.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/openat2.h>
#include <list>
#include <mutex>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
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

std::string MapRequestName(std::string_view Asked) {
  std::string Name(Asked);
  std::replace(Name.begin(), Name.end(), '\\', '/');
  Name.erase(0, std::min(Name.find_first_not_of('/'), Name.size()));
  return Name;
}

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
    std::string Hex; // empty: this version could not be digested
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

  void StoreFailure(const FileId &Id, const Version &Ver) { Store(Id, Ver, std::string()); }

  void Store(const FileId &Id, const Version &Ver, std::string Hex) {
    std::lock_guard G(Lock);
    Items.remove_if([&](const Item &I) { return I.Id == Id; });
    Items.push_front({Id, Ver, std::move(Hex)});
    while (Items.size() > Capacity) {
      Items.pop_back();
    }
  }
};

// One thread computes digests so that a huge file never holds up the event
// loop. It takes the files in turns, a slice at a time, so a small file is
// not queued behind a huge one; each job reads through a descriptor of its own.
struct DirectoryFileSource::DigestWorker {
  struct Job {
    FileId Id;
    Version Ver;
    int Fd = -1;
    std::shared_ptr<DigestContext> Context = std::make_shared<DigestContext>();
    uint64_t Offset = 0;
  };
  static constexpr size_t MaxQueued = 64;
  static constexpr uint64_t Slice = 16 << 20;

  std::shared_ptr<DigestCache> Cache;
  std::mutex Lock;
  std::condition_variable Wake;
  std::deque<Job> Queue;
  std::optional<FileId> Busy; // the file whose slice is being read now
  DigestReadyHook Hook;
  std::atomic<bool> Stopping{false};
  std::thread Thread;

  explicit DigestWorker(std::shared_ptr<DigestCache> C) : Cache(std::move(C)) {}
  ~DigestWorker() { Stop(); }

  // false when the queue is full or the worker has stopped.
  bool Submit(const FileId &Id, const Version &Ver, int Fd) {
    std::lock_guard G(Lock);
    if (Stopping) {
      return false;
    }
    if ((Busy && *Busy == Id) ||
        std::any_of(Queue.begin(), Queue.end(), [&](const Job &J) { return J.Id == Id; })) {
      return true; // already on its way
    }
    if (Queue.size() >= MaxQueued) {
      return false;
    }
    int Own = ::fcntl(Fd, F_DUPFD_CLOEXEC, 0);
    if (Own < 0) {
      return false;
    }
    Job J;
    J.Id = Id;
    J.Ver = Ver;
    J.Fd = Own;
    Queue.push_back(std::move(J));
    if (!Thread.joinable()) {
      Thread = std::thread([this] { Run(); });
    }
    Wake.notify_one();
    return true;
  }

  void Stop() {
    {
      std::lock_guard G(Lock);
      Stopping = true;
      Wake.notify_all();
    }
    if (Thread.joinable()) {
      Thread.join();
    }
    for (auto &J : Queue) {
      ::close(J.Fd);
    }
    Queue.clear();
  }

  void Run() {
    while (true) {
      Job J;
      {
        std::unique_lock G(Lock);
        Wake.wait(G, [&] { return Stopping || !Queue.empty(); });
        if (Stopping) {
          return;
        }
        J = std::move(Queue.front());
        Queue.pop_front();
        Busy = J.Id;
      }
      bool Failed = !Advance(J);
      bool Done = Failed || J.Offset >= J.Ver.Size;
      std::optional<std::string> Hex;
      if (Done && !Failed && !Stopping) {
        Hex = Finish(J);
        Failed = !Hex;
      }
      if (Done && !Stopping) {
        if (Hex) {
          Cache->Store(J.Id, J.Ver, std::move(*Hex));
        } else {
          Cache->StoreFailure(J.Id, J.Ver);
        }
      }
      DigestReadyHook Tell;
      {
        std::lock_guard G(Lock);
        Busy.reset();
        if (!Done && !Stopping) {
          Queue.push_back(std::move(J)); // its next slice after the others' turns
          continue;
        }
        Tell = Hook;
      }
      ::close(J.Fd);
      if (Tell && !Stopping) {
        Tell(J.Id);
      }
    }
  }

  // Reads one slice into the digest; false on a read error.
  bool Advance(Job &J) {
    std::vector<uint8_t> Chunk(1 << 16);
    uint64_t End = std::min(J.Ver.Size, J.Offset + Slice);
    while (J.Offset < End) {
      if (Stopping) {
        return false;
      }
      size_t Want = static_cast<size_t>(std::min<uint64_t>(Chunk.size(), End - J.Offset));
      if (!PreadAll(J.Fd, J.Offset, Chunk.data(), Want)) {
        return false;
      }
      J.Context->Update(Chunk.data(), Want);
      J.Offset += Want;
    }
    return true;
  }

  std::optional<std::string> Finish(Job &J) {
    // A file rewritten meanwhile has no digest for the version we send.
    struct stat St {};
    if (::fstat(J.Fd, &St) != 0 || !(VersionOf(St) == J.Ver)) {
      return std::nullopt;
    }
    return J.Context->FinishHex();
  }
};

namespace {

class DiskFile final : public OpenFile {
public:
  DiskFile(int Fd, const struct stat &St, std::shared_ptr<DirectoryFileSource::DigestCache> Cache,
           std::shared_ptr<DirectoryFileSource::DigestWorker> Worker, uint64_t DigestMax)
      : Fd(Fd), Ver(VersionOf(St)), Ident{static_cast<uint64_t>(St.st_dev),
                                          static_cast<uint64_t>(St.st_ino)},
        Cache(std::move(Cache)), Worker(std::move(Worker)), DigestMax(DigestMax) {}
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

  bool Unchanged() override {
    struct stat St {};
    return ::fstat(Fd, &St) == 0 && VersionOf(St) == Ver;
  }

  DigestResult Digest() override {
    struct stat St {};
    if (::fstat(Fd, &St) != 0 || !(VersionOf(St) == Ver) || Ver.Size > DigestMax) {
      return {}; // changed under us, or too large to be worth it
    }
    if (auto Hit = Cache->Find(Ident, Ver)) {
      if (Hit->empty()) {
        return {};
      }
      return {DigestResult::State::Ready, std::move(*Hit)};
    }
    if (!Worker->Submit(Ident, Ver, Fd)) {
      return {};
    }
    return {DigestResult::State::Pending, {}};
  }

private:
  int Fd;
  Version Ver;
  FileId Ident;
  std::shared_ptr<DirectoryFileSource::DigestCache> Cache;
  std::shared_ptr<DirectoryFileSource::DigestWorker> Worker;
  uint64_t DigestMax;
};

// Resolves Name below RootFd without ever leaving it. openat2 does the walk
// in the kernel; without it, each component is opened with O_NOFOLLOW,
// which refuses every symbolic link (stricter, never looser).
int OpenBeneath(int RootFd, const std::string &Name, int Flags) {
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

DirectoryFileSource::DirectoryFileSource(const std::string &Root, uint64_t DigestMax,
                                         size_t DigestCacheEntries)
    : RootPath(Root), Digests(std::make_shared<DigestCache>(DigestCacheEntries)),
      Worker(std::make_shared<DigestWorker>(Digests)), DigestMax(DigestMax) {
  RootFd = ::open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (RootFd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open root " + Root);
  }
}

DirectoryFileSource::~DirectoryFileSource() {
  Worker->Stop();
  ::close(RootFd);
}

void DirectoryFileSource::SetDigestReadyHook(DigestReadyHook Hook) {
  std::lock_guard G(Worker->Lock);
  Worker->Hook = std::move(Hook);
}

void DirectoryFileSource::StopDigests() {
  Worker->Stop();
}

OpenResult DirectoryFileSource::Open(std::string_view Name) {
  if (OpenError E = CheckRequestName(Name); E != OpenError::None) {
    return {E, nullptr};
  }
  // The name is resolved to a path descriptor first: opening a FIFO or a
  // device for reading could block, or wake a writer waiting on it.
  int Path = OpenBeneath(RootFd, std::string(Name), O_PATH | O_CLOEXEC);
  if (Path < 0) {
    return {FromErrno(errno), nullptr};
  }
  struct stat St {};
  bool Servable = ::fstat(Path, &St) == 0 && S_ISREG(St.st_mode) &&
                  (St.st_mode & S_IROTH) != 0; // only what anyone may read, even as root
  int Fd = -1;
  if (Servable) {
    Fd = ::open(("/proc/self/fd/" + std::to_string(Path)).c_str(),
                O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (Fd < 0 && errno == ENOENT) { // no /proc: the name once more
      Fd = OpenBeneath(RootFd, std::string(Name), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }
  }
  ::close(Path);
  if (!Servable) {
    return {OpenError::AccessDenied, nullptr};
  }
  if (Fd < 0) {
    return {FromErrno(errno), nullptr};
  }
  struct stat Opened {};
  if (::fstat(Fd, &Opened) != 0 || !S_ISREG(Opened.st_mode) || Opened.st_dev != St.st_dev ||
      Opened.st_ino != St.st_ino) {
    ::close(Fd); // replaced between the two opens
    return {OpenError::AccessDenied, nullptr};
  }
  if (static_cast<uint64_t>(Opened.st_size) > MaxServableSize()) {
    ::close(Fd);
    return {OpenError::TooLarge, nullptr};
  }
  return {OpenError::None, std::make_shared<DiskFile>(Fd, Opened, Digests, Worker, DigestMax)};
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
  std::shared_ptr<bool> Held;
  uint64_t Version = 0; // bumped by every Replace
};

namespace {

class MemoryFile final : public OpenFile {
public:
  explicit MemoryFile(std::shared_ptr<MemoryFileSource::Entry> E)
      : E(std::move(E)), Bytes(this->E->Data->size()), Version(this->E->Version) {}
  bool Unchanged() override { return E->Version == Version; }
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
  DigestResult Digest() override {
    if (E->Data->size() != Bytes) {
      return {};
    }
    if (!E->Digest) {
      if (*E->Held) {
        return {DigestResult::State::Pending, {}};
      }
      E->Digest = server::Sha256Hex(*E->Data);
      ++*E->Computations;
    }
    return {DigestResult::State::Ready, *E->Digest};
  }

private:
  std::shared_ptr<MemoryFileSource::Entry> E;
  uint64_t Bytes;
  uint64_t Version;
};

} // namespace

void MemoryFileSource::Add(const std::string &Name, std::vector<uint8_t> Data) {
  auto E = std::make_shared<Entry>();
  E->Inode = NextInode++;
  E->Data = std::make_shared<std::vector<uint8_t>>(std::move(Data));
  E->Computations = Computations;
  E->Held = Held;
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
  ++It->second->Version;
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
