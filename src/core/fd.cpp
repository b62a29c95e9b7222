#include "core/fd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvane {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Mapping::~Mapping() {
  if (addr_ != nullptr) ::munmap(addr_, len_);
}

Result<Mapping> Mapping::map(int fd, size_t len, bool read_only) {
  Mapping m;
  if (len == 0) return m;
  int prot = read_only ? PROT_READ : (PROT_READ | PROT_WRITE);
  void* p = ::mmap(nullptr, len, prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Error::os(errno, "mmap");
  m.addr_ = p;
  m.len_ = len;
  return m;
}

Result<Mapping> Mapping::map_private(int fd, size_t file_len, size_t len) {
  Mapping m;
  if (len == 0) return m;
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return Error::os(errno, "mmap");
  m.addr_ = p;
  m.len_ = len;
  size_t from_file = file_len < len ? file_len : len;
  if (fd >= 0 && from_file > 0) {
    // The file over the start of the zeroed region; its last page reads zeros past the end.
    void* q = ::mmap(p, from_file, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0);
    if (q == MAP_FAILED) return Error::os(errno, "mmap");
  }
  return m;
}

void* map_huge_aligned(size_t len) {
  len = huge_page_rounded(len);
  // Mapped with room to start on a 2 MiB boundary, the rest given back.
  void* p = ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  uintptr_t a = reinterpret_cast<uintptr_t>(p), b = huge_page_rounded(a);
  if (b > a) ::munmap(p, b - a);
  ::munmap(reinterpret_cast<void*>(b + len), a + kHugePage - b);
  return reinterpret_cast<void*>(b);
}

void advise_huge_pages(void* p, size_t len) {
#ifdef MADV_HUGEPAGE
  (void)::madvise(p, len, MADV_HUGEPAGE);  // advice only: plain pages work the same
#else
  (void)p;
  (void)len;
#endif
}

Result<Mapping> Mapping::anonymous(size_t len) {
  Mapping m;
  if (len == 0) return m;
  len = huge_page_rounded(len);  // what map_huge_aligned maps
  void* p = map_huge_aligned(len);
  if (p == nullptr) return Error::os(errno, "mmap");
  advise_huge_pages(p, len);
  m.addr_ = p;
  m.len_ = len;
  return m;
}

Status Mapping::sync() const {
  if (addr_ == nullptr) return {};
  if (::msync(addr_, len_, MS_SYNC) != 0) return Error::os(errno, "msync");
  return {};
}

void Mapping::advise_random() const {
  if (addr_ != nullptr) (void)::madvise(addr_, len_, MADV_RANDOM);
}

Status pwrite_all(int fd, const void* buf, size_t len, uint64_t off, const char* what) {
  const auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno, what);
    }
    if (n == 0) return Error::os(EIO, what);
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return {};
}

Status write_all(int fd, const void* buf, size_t len, const char* what, uint64_t* written) {
  const auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno, what);
    }
    if (n == 0) return Error::os(EIO, what);
    if (written != nullptr) *written += static_cast<uint64_t>(n);
    p += n;
    len -= static_cast<size_t>(n);
  }
  return {};
}

bool pread_exact(int fd, void* buf, size_t len, uint64_t off) {
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = ::pread(fd, p, len, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return true;
}

Result<uint64_t> file_size(int fd, const char* what) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::os(errno, what);
  return static_cast<uint64_t>(st.st_size);
}

Status grow_file(int fd, uint64_t len, const char* what) {
  auto cur = file_size(fd, what);
  if (!cur) return cur.error();
  if (*cur >= len) return {};
  int rc = ::posix_fallocate(fd, static_cast<off_t>(*cur), static_cast<off_t>(len - *cur));
  if (rc == 0) return {};
  // Only a file system that cannot allocate ahead falls back to a sparse extension.
  if (rc != EOPNOTSUPP && rc != EINVAL && rc != ENOSYS) return Error::os(rc, what);
  if (::ftruncate(fd, static_cast<off_t>(len)) != 0) return Error::os(errno, what);
  return {};
}

}  // namespace korvane
