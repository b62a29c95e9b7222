// fd.h: owners of file descriptors and memory mappings, and the small POSIX helpers built on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "core/error.h"

namespace korvane {

class Fd {  // owns one file descriptor
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);  // the old fd closes with `o`
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Huge pages: 2 MiB, where one entry of the address translation cache covers 512 times what a
// 4 KiB page's does.
constexpr size_t kHugePage = size_t{2} << 20;
inline size_t huge_page_rounded(size_t n) { return (n + kHugePage - 1) / kHugePage * kHugePage; }
// `len` bytes (rounded up to 2 MiB) of zeroed memory starting on a 2 MiB boundary, where huge
// pages can back it; null when the system has none to give. Returned with munmap(p, rounded len).
void* map_huge_aligned(size_t len);
// Asks the kernel to back [p, p + len) with huge pages; advice only.
void advise_huge_pages(void* p, size_t len);

// A whole-file shared mapping. Read-write unless created read-only.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& o) noexcept
      : addr_(std::exchange(o.addr_, nullptr)), len_(std::exchange(o.len_, 0)) {}
  Mapping& operator=(Mapping&& o) noexcept {
    std::swap(addr_, o.addr_);
    std::swap(len_, o.len_);
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // Maps the first `len` bytes of `fd` shared (writable unless `read_only`). A zero length
  // gives an empty mapping with no address.
  static Result<Mapping> map(int fd, size_t len, bool read_only = false);
  // A writable private view of `len` bytes: the first `file_len` bytes of `fd` (none when fd is
  // -1) copied on write, zeros after them. Stores never reach the file, and the pages past the
  // file's end are ordinary memory, so the view may be longer than the file.
  static Result<Mapping> map_private(int fd, size_t file_len, size_t len);
  // At least `len` bytes (size() says how many: `len` rounded up to 2 MiB) of zeroed memory on a
  // 2 MiB boundary, which the kernel is asked to back with huge pages.
  static Result<Mapping> anonymous(size_t len);
  Status sync() const;  // synchronous msync of the whole mapping
  void advise_random() const;  // failures ignored

  uint8_t* data() const { return static_cast<uint8_t*>(addr_); }
  size_t size() const { return len_; }

 private:
  void* addr_ = nullptr;
  size_t len_ = 0;
};

// Full-length write at an offset (retries short writes and EINTR).
Status pwrite_all(int fd, const void* buf, size_t len, uint64_t off, const char* what);
// Full-length write at the current position (retries short writes and EINTR); *written, when
// given, grows by the bytes written, also those of a write that then fails.
Status write_all(int fd, const void* buf, size_t len, const char* what, uint64_t* written = nullptr);
// Reads exactly `len` bytes at `off`; false on any failure or short read.
bool pread_exact(int fd, void* buf, size_t len, uint64_t off);
Result<uint64_t> file_size(int fd, const char* what);
// Extends a file to `len` bytes with real blocks where the file system allows it, so a full
// disk fails here rather than as a fault on a later store into a mapping.
Status grow_file(int fd, uint64_t len, const char* what);

}  // namespace korvane
