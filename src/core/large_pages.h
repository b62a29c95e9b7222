// large_pages.h: an allocator for blocks of many megabytes that are filled soon after they are
// made, such as a hash table sized for millions of entries when a snapshot is read.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "core/fd.h"

namespace korvane {

// Blocks of kLargeBytes and more are anonymous mappings the kernel is asked to back with huge
// pages where it can: filling one takes a page fault every 2 MiB instead of every 4 KiB (tens
// of thousands fewer for a table of a few hundred megabytes). Smaller blocks come from the
// standard allocator. Elements constructed without arguments are default-initialised (left as
// the fresh pages hold them, zeros) rather than value-initialised, so a buffer is written once.
template <class T>
struct LargePageAllocator {
  using value_type = T;
  static constexpr size_t kLargeBytes = size_t{4} << 20;

  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    size_t bytes = n * sizeof(T);
    if (bytes < kLargeBytes) return std::allocator<T>().allocate(n);
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept {
    size_t bytes = n * sizeof(T);
    if (bytes < kLargeBytes) std::allocator<T>().deallocate(p, n);
    else ::munmap(p, bytes);
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const LargePageAllocator<U>&) const noexcept { return false; }
};

}  // namespace korvane
