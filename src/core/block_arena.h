// block_arena.h: the memory of the grid's row blocks, carved from large chunks the index owns.
#pragma once

#include <cstddef>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/fd.h"

namespace korvane {

// A search reads the blocks of a few dozen rows, one after another; blocks spread over the
// process heap each cost an address translation of their own, which outweighs the read itself
// when the query's data is not in the caches. Blocks carved side by side from chunks backed by
// huge pages (2 MiB) share a few translations instead.
//
// Sizes are rounded up to a class (multiples of 64 bytes to 512, then four classes per
// doubling); a released block goes on its class's list and is the next block of that class
// given out. Chunks are returned to the system only when the arena goes: a row that grows leaves
// its old block to the next row that grows to that size. Not synchronised: the index allocates
// only under its exclusive lock.
class BlockArena {
 public:
  BlockArena() = default;
  BlockArena(BlockArena&& o) noexcept;
  BlockArena& operator=(BlockArena&& o) noexcept;
  BlockArena(const BlockArena&) = delete;
  BlockArena& operator=(const BlockArena&) = delete;
  ~BlockArena();

  // At least `bytes` bytes, 64-byte aligned. Throws std::bad_alloc.
  char* allocate(size_t bytes);
  // A block allocate(bytes) gave, with the same `bytes`.
  void release(char* p, size_t bytes) noexcept;
  // Chunks made from now on are advised for huge pages (a large index: a small one keeps to
  // small chunks of plain pages, so that it does not take 2 MiB of memory at once).
  void prefer_huge_pages() { huge_ = true; }
  bool prefers_huge_pages() const { return huge_; }

  static size_t class_bytes(size_t bytes);

 private:
  struct Chunk {
    void* base;
    size_t len;
  };
  void release_all() noexcept;

  std::vector<Chunk> chunks_;
  char* cur_ = nullptr;
  size_t left_ = 0, made_ = 0;  // made_: bytes of chunks so far
  bool huge_ = false;
  absl::flat_hash_map<size_t, char*> free_;  // class bytes -> a released block, linked through its first word
};

}  // namespace korvane
