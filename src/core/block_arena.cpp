#include "core/block_arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace korvane {

namespace {
constexpr size_t kPage = 4096;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }
}  // namespace

BlockArena::BlockArena(BlockArena&& o) noexcept
    : chunks_(std::move(o.chunks_)),
      cur_(std::exchange(o.cur_, nullptr)),
      left_(std::exchange(o.left_, 0)),
      made_(std::exchange(o.made_, 0)),
      huge_(std::exchange(o.huge_, false)),
      free_(std::move(o.free_)) {
  o.chunks_.clear();
  o.free_.clear();
}

BlockArena& BlockArena::operator=(BlockArena&& o) noexcept {
  if (this != &o) {
    release_all();
    chunks_ = std::move(o.chunks_);
    cur_ = std::exchange(o.cur_, nullptr);
    left_ = std::exchange(o.left_, 0);
    made_ = std::exchange(o.made_, 0);
    huge_ = std::exchange(o.huge_, false);
    free_ = std::move(o.free_);
    o.chunks_.clear();
    o.free_.clear();
  }
  return *this;
}

BlockArena::~BlockArena() { release_all(); }

void BlockArena::release_all() noexcept {
  for (const Chunk& c : chunks_) ::munmap(c.base, c.len);
  chunks_.clear();
  free_.clear();
  cur_ = nullptr;
  left_ = 0;
  made_ = 0;
}

size_t BlockArena::class_bytes(size_t bytes) {
  if (bytes <= 512) return bytes == 0 ? 64 : round_up(bytes, 64);
  // 2^e < bytes <= 2^(e+1): steps of 2^(e-2).
  size_t e = 63 - size_t(__builtin_clzll(uint64_t(bytes - 1)));
  return round_up(bytes, size_t{1} << (e - 2));
}

char* BlockArena::allocate(size_t bytes) {
  if (bytes > (size_t{1} << 40)) throw std::bad_alloc();
  const size_t n = class_bytes(bytes);
  auto it = free_.find(n);
  if (it != free_.end() && it->second != nullptr) {
    char* p = it->second;
    std::memcpy(&it->second, p, sizeof(char*));
    return p;
  }
  if (n > left_) {
    // Chunks grow with the arena: few for a large index, small ones for a small index.
    size_t len;
    void* base;
    if (huge_) {
      len = round_up(std::max(n, std::min(std::max(made_, kHugePage), size_t{32} << 20)), kHugePage);
      base = map_huge_aligned(len);
      if (base == nullptr) throw std::bad_alloc();
      advise_huge_pages(base, len);
    } else {
      len = round_up(std::max(n, std::min(std::max(made_, size_t{64} << 10), size_t{1} << 20)), kPage);
      base = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (base == MAP_FAILED) throw std::bad_alloc();
    }
    try {
      chunks_.push_back({base, len});
    } catch (const std::bad_alloc&) {
      ::munmap(base, len);
      throw;
    }
    made_ += len;
    cur_ = static_cast<char*>(base);
    left_ = len;
  }
  char* p = cur_;
  cur_ += n;
  left_ -= n;
  return p;
}

void BlockArena::release(char* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  try {
    char*& head = free_[class_bytes(bytes)];
    std::memcpy(p, &head, sizeof(char*));
    head = p;
  } catch (const std::bad_alloc&) {
    // Not listed: the block stays unused in its chunk until the arena goes.
  }
}

}  // namespace korvane
