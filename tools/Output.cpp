#include "tools/Output.h"

#include "tools/Exit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string Errno(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

} // namespace

std::string Sha256Hex(std::span<const uint8_t> data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  return Hex(digest, length);
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  std::string dir = ".";
  std::string base = path_;
  if (auto slash = path_.rfind('/'); slash != std::string::npos) {
    dir = slash == 0 ? "/" : path_.substr(0, slash);
    base = path_.substr(slash + 1);
  }
  if (base.empty())
    throw Failure(kExitUsage, "output path names a directory: " + path_);
  std::string pattern = dir + "/." + base + ".zem4-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  fd_ = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd_ < 0)
    throw Failure(kExitLocalIo, Errno("cannot create a file in " + dir));
  temp_ = buf.data();
  ::fchmod(fd_, 0644);
  stream_ = EVP_MD_CTX_new();
  EVP_DigestInit_ex(stream_, EVP_sha256(), nullptr);
}

OutputFile::~OutputFile() {
  Discard();
  if (stream_)
    EVP_MD_CTX_free(stream_);
}

void OutputFile::Map(uint64_t size) {
  // A 32-bit process cannot map a file beyond its address space; --stream
  // writes such a file as it comes.
  if (size > std::numeric_limits<size_t>::max())
    throw Failure(kExitLocalIo, path_ + " is too large to map here; use --stream");
  size_ = size;
  if (size == 0)
    return;
  if (::ftruncate(fd_, off_t(size)) != 0)
    throw Failure(kExitLocalIo, Errno("cannot size " + temp_));
  // Reserve the blocks now, so a full disk shows here rather than as a
  // SIGBUS halfway through the download.
  int rc = ::posix_fallocate(fd_, 0, off_t(size));
  if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
    errno = rc;
    throw Failure(kExitLocalIo, Errno("no room for " + path_));
  }
  void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED)
    throw Failure(kExitLocalIo, Errno("cannot map " + temp_));
  map_ = static_cast<uint8_t *>(p);
}

bool OutputFile::Append(const uint8_t *data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    done += size_t(n);
  }
  EVP_DigestUpdate(stream_, data, length);
  written_ += length;
  return true;
}

std::string OutputFile::Sha256Hex() {
  if (map_)
    return cli::Sha256Hex({map_, static_cast<size_t>(size_)});
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_MD_CTX *copy = EVP_MD_CTX_new();
  EVP_MD_CTX_copy_ex(copy, stream_);
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
  if (map_ && ::msync(map_, size_, MS_SYNC) != 0)
    throw Failure(kExitLocalIo, Errno("cannot write " + temp_));
  Unmap();
  if (::close(fd_) != 0) {
    fd_ = -1;
    throw Failure(kExitLocalIo, Errno("cannot write " + temp_));
  }
  fd_ = -1;
  if (::rename(temp_.c_str(), path_.c_str()) != 0)
    throw Failure(kExitLocalIo, Errno("cannot rename to " + path_));
  committed_ = true;
}

void OutputFile::Discard() {
  Unmap();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!committed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

} // namespace zem4::cli
