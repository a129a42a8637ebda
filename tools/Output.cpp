#include "tools/Output.h"

#include "tools/Exit.h"
#include "tools/Signals.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zem4::cli {
namespace {

std::string Hex(const unsigned char *digest, unsigned length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < length; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

std::string Errno(const std::string &what, int error = errno) {
  return what + ": " + std::strerror(error);
}

// Written data handed to the kernel's writeback in steps of this size.
constexpr uint64_t kWritebackStep = 8 << 20;

bool IsDirectKind(mode_t mode) {
  return S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode);
}

} // namespace

std::string Sha256Hex(std::span<const uint8_t> data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  return Hex(digest, length);
}

OutputFile::OutputFile(std::string path) : name_(std::move(path)) {
  EVP_DigestInit_ex(stream_.get(), EVP_sha256(), nullptr);
  if (name_ == "-") {
    name_ = "standard output";
    fd_ = STDOUT_FILENO;
    ownsFd_ = false;
    direct_ = true;
    return;
  }
  struct stat st {};
  if (::lstat(name_.c_str(), &st) != 0) {
    if (errno != ENOENT)
      throw Failure(kExitLocalIo, Errno("cannot use " + name_));
    OpenTemporary(name_);
    return;
  }
  std::string target = name_;
  if (S_ISLNK(st.st_mode)) {
    // A link is written through: the file it names is what gets replaced.
    char resolved[PATH_MAX];
    if (::realpath(name_.c_str(), resolved) == nullptr || ::stat(resolved, &st) != 0)
      throw Failure(kExitLocalIo, name_ + " is a symbolic link to nothing; not replaced");
    target = resolved;
  }
  if (S_ISREG(st.st_mode))
    OpenTemporary(target);
  else if (IsDirectKind(st.st_mode))
    OpenDirect(target);
  else if (S_ISDIR(st.st_mode))
    throw Failure(kExitUsage, "output path names a directory: " + name_);
  else
    throw Failure(kExitLocalIo, name_ + " is not a regular file, device or FIFO; not replaced");
}

void OutputFile::OpenTemporary(const std::string &target) {
  path_ = target;
  std::string dir = ".";
  std::string base = target;
  if (auto slash = target.rfind('/'); slash != std::string::npos) {
    dir = slash == 0 ? "/" : target.substr(0, slash);
    base = target.substr(slash + 1);
  }
  if (base.empty())
    throw Failure(kExitUsage, "output path names a directory: " + name_);
  std::string pattern = dir + "/." + base + ".zem4-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  fd_ = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd_ < 0)
    throw Failure(kExitLocalIo, Errno("cannot create a file in " + dir));
  temp_ = buf.data();
  ::fchmod(fd_, 0644);
}

void OutputFile::OpenDirect(const std::string &target) {
  direct_ = true;
  for (;;) {
    // A FIFO's open waits for its reader; a stop request ends the wait.
    fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd_ >= 0)
      return;
    if (errno == EINTR && gInterrupted)
      throw Failure(InterruptExit(), InterruptText());
    if (errno != EINTR)
      throw Failure(kExitLocalIo, Errno("cannot open " + name_));
  }
}

OutputFile::~OutputFile() {
  Discard();
}

bool OutputFile::Reserve(uint64_t size) {
  if (direct_) {
    // A block device holds what it holds: too small is found before the
    // first block, as a full disk is for a file.
    struct stat st {};
    uint64_t room = 0;
    if (::fstat(fd_, &st) == 0 && S_ISBLK(st.st_mode) && ::ioctl(fd_, BLKGETSIZE64, &room) == 0 &&
        room < size)
      throw Failure(kExitLocalIo, "no room for " + name_ + ": the device holds " +
                                      std::to_string(room) + " bytes, the file " +
                                      std::to_string(size));
    return false;
  }
  if (size == 0)
    return true;
  if (size > uint64_t(std::numeric_limits<off_t>::max()))
    throw Failure(kExitLocalIo, "no room for " + name_ + ": file too large");
  if (::fallocate(fd_, 0, 0, off_t(size)) != 0) {
    if (errno == EOPNOTSUPP)
      return false;
    throw Failure(kExitLocalIo, Errno("no room for " + name_));
  }
  return true;
}

bool OutputFile::Map(uint64_t size) {
  if (direct_)
    return false;
  // A 32-bit process cannot map a file beyond its address space; --stream
  // writes such a file as it comes.
  if (size > std::numeric_limits<size_t>::max())
    throw Failure(kExitLocalIo, name_ + " is too large to map here; use --stream");
  // The whole file is reserved before the first block: the driver copies
  // blocks into the mapping wherever they belong (a late multicast joiner
  // starts in the middle), so a partial reservation could still meet a full
  // disk as a SIGBUS. Without reservation there is no mapping at all.
  if (!Reserve(size))
    return false;
  if (size == 0)
    return true;
  void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED)
    throw Failure(kExitLocalIo, Errno("cannot map " + temp_));
  map_ = static_cast<uint8_t *>(p);
  size_ = size;
  return true;
}

bool OutputFile::Append(const uint8_t *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      writeErrno_ = errno;
      return false;
    }
    done += size_t(n);
  }
  EVP_DigestUpdate(stream_.get(), data, length);
  written_ += length;
  // The kernel writes back as the file comes, so that the sync before the
  // rename finds little left to do.
  if (!direct_ && written_ - flushed_ >= kWritebackStep) {
    ::sync_file_range(fd_, off_t(flushed_), off_t(written_ - flushed_), SYNC_FILE_RANGE_WRITE);
    flushed_ = written_;
  }
  return true;
}

std::string OutputFile::WriteError() const {
  return Errno("cannot write to " + name_, writeErrno_ ? writeErrno_ : EIO);
}

std::string OutputFile::Sha256Hex() {
  if (map_)
    return cli::Sha256Hex({map_, static_cast<size_t>(size_)});
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_MD_CTX *copy = EVP_MD_CTX_new();
  EVP_MD_CTX_copy_ex(copy, stream_.get());
  EVP_DigestFinal_ex(copy, digest, &length);
  EVP_MD_CTX_free(copy);
  return Hex(digest, length);
}

void OutputFile::Unmap() {
  if (map_) {
    ::munmap(map_, size_);
    map_ = nullptr;
  }
}

void OutputFile::Commit() {
  // The copy is on the disk before its name is.
  if (map_ && ::msync(map_, size_, MS_SYNC) != 0)
    throw Failure(kExitLocalIo, Errno("cannot write " + temp_));
  if (!map_ && !direct_ && ::fdatasync(fd_) != 0)
    throw Failure(kExitLocalIo, Errno("cannot write " + temp_));
  Unmap();
  int fd = fd_;
  fd_ = -1;
  if (ownsFd_ && ::close(fd) != 0)
    throw Failure(kExitLocalIo, Errno("cannot write to " + name_));
  committed_ = true;
  if (!direct_ && ::rename(temp_.c_str(), path_.c_str()) != 0) {
    ::unlink(temp_.c_str());
    throw Failure(kExitLocalIo, Errno("cannot rename to " + name_));
  }
}

void OutputFile::Discard() {
  Unmap();
  if (fd_ >= 0) {
    if (ownsFd_)
      ::close(fd_);
    fd_ = -1;
  }
  if (!committed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

} // namespace zem4::cli
