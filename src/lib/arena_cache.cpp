// A search with a thousand results makes some four thousand small objects (tuples, strings,
// floats), half a megabyte, and its caller usually drops them before the next search. The
// interpreter's small-object allocator then finds whole arenas empty and returns them to the
// system, only to map them again for the next result list: every search paid for a munmap, an
// mmap and the page faults of touching fresh pages, all while holding the interpreter lock that
// every other thread waits for. The cache sits in front of the interpreter's own arena
// allocator and keeps up to kKept freed arenas (4 MiB with CPython's 1 MiB arenas) for the next
// request of the same size; everything else passes through. It only ever holds memory the
// interpreter has freed, and hands it back unchanged.
//
// Arenas are allocated and freed with an interpreter lock held, but interpreters with locks of
// their own may share this process-wide allocator, so the cache has a mutex of its own.
#include "lib/arena_cache.h"

#include <Python.h>

#include <cstddef>
#include <mutex>

namespace korvane {

#ifndef PYPY_VERSION
namespace {

constexpr int kKept = 4;

struct Cache {
  PyObjectArenaAllocator next{};  // the allocator the cache sits in front of
  std::mutex mu;
  void* kept[kKept] = {};
  size_t size[kKept] = {};
  int n = 0;
};

Cache& cache() {
  static Cache* c = new Cache;  // never destroyed: the interpreter may free arenas at exit
  return *c;
}

void* alloc(void*, size_t size) {
  Cache& c = cache();
  {
    std::lock_guard<std::mutex> hold(c.mu);
    for (int i = c.n - 1; i >= 0; --i) {
      if (c.size[i] != size) continue;
      void* p = c.kept[i];
      --c.n;
      c.kept[i] = c.kept[c.n];
      c.size[i] = c.size[c.n];
      return p;
    }
  }
  return c.next.alloc(c.next.ctx, size);
}

void release(void*, void* p, size_t size) {
  Cache& c = cache();
  {
    std::lock_guard<std::mutex> hold(c.mu);
    if (c.n < kKept) {
      c.kept[c.n] = p;
      c.size[c.n] = size;
      ++c.n;
      return;
    }
  }
  c.next.free(c.next.ctx, p, size);
}

}  // namespace

void keep_freed_arenas() {
  static std::once_flag once;
  std::call_once(once, [] {
    PyObject_GetArenaAllocator(&cache().next);
    PyObjectArenaAllocator mine{nullptr, alloc, release};
    PyObject_SetArenaAllocator(&mine);
  });
}
#else
void keep_freed_arenas() {}  // PyPy's objects live in its own collector's memory
#endif

}  // namespace korvane
