// bitmap.h: the owner of one compressed set of 32-bit internal ids, and its portable encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <roaring/roaring.h>

// Newer releases of the bitmap library put their C API in a namespace; older ones do not.
namespace roaring { namespace api {} }
using namespace roaring::api;  // NOLINT

namespace korvane {

// A set of internal ids. Large sets are Roaring bitmaps; the many small and sparse sets of an
// index (most grid cells and rare metadata values hold a handful of points, or a few hundred
// spread one or two per 65536 ids) are kept inline or in one sorted array instead, because a
// Roaring bitmap costs a few hundred bytes even for one member and two allocations for every
// 65536-id block it touches. Every form encodes to the same portable bytes and gives the same
// result in every operation. A move leaves the source empty; a copy is an explicit clone().
class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(Bitmap&& o) noexcept : bits_(std::exchange(o.bits_, 0)) {}
  Bitmap& operator=(Bitmap&& o) noexcept {
    std::swap(bits_, o.bits_);
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() { release(); }

  Bitmap clone() const;
  static Bitmap range(uint32_t lo, uint64_t hi_exclusive);  // lo..hi-1
  static Bitmap of_sorted(const uint32_t* xs, size_t n);     // xs ascending, no repeats

  void add(uint32_t x) { (void)add_checked(x); }
  bool add_checked(uint32_t x);  // true when x was not a member
  void add_many(const uint32_t* xs, size_t n);
  void remove(uint32_t x);
  bool contains(uint32_t x) const;
  uint64_t cardinality() const {
    if (is_roaring()) return roaring_cardinality();
    return bits_ == 0 ? 0 : is_one() ? 1 : small()->size;
  }
  bool empty() const { return bits_ == 0 || (is_roaring() && roaring_empty()); }
  uint32_t maximum() const;  // 0 when empty
  void clear() { *this = Bitmap(); }

  void and_with(const Bitmap& o);     // this ∩= o
  void or_with(const Bitmap& o);      // this ∪= o
  void andnot_with(const Bitmap& o);  // this -= o
  static Bitmap and_of(const Bitmap& a, const Bitmap& b);
  static Bitmap andnot_of(const Bitmap& a, const Bitmap& b);
  static Bitmap or_many(const std::vector<const Bitmap*>& parts);
  bool intersects(const Bitmap& o) const;
  bool is_subset_of(const Bitmap& o) const;
  bool equals(const Bitmap& o) const;

  std::vector<uint32_t> to_vector() const;
  void to_vector(std::vector<uint32_t>* out) const;  // ascending
  // Calls f(id) for each member in ascending order.
  template <class F>
  void for_each(F&& f) const;

  // At most a handful of members, held inline or in an array: cheaper to test one by one than
  // to intersect.
  bool tiny() const { return !is_roaring() && (!is_small() || small()->size <= kSmallMax); }

  // Takes the smallest form for the current members (after a bulk build or removals).
  void compact();

  // Appends the u64 byte count and the set in the portable form without run containers.
  void encode(std::string* out) const;
  // Decodes and validates one portable set (with or without run containers). False when the
  // bytes are not a structurally valid set of exactly `n` bytes.
  static bool decode(const uint8_t* p, size_t n, Bitmap* out);
  // The members a portable set's container headers claim (either form), without expanding it;
  // UINT64_MAX when the headers are cut short.
  static uint64_t claimed_members(const uint8_t* p, size_t n);

 private:
  // bits_: 0 = empty; ...01 = one member, in the upper 32 bits; ...10 = Small* | 2 (a sorted
  // array); otherwise a roaring_bitmap_t*.
  struct Small {
    uint32_t size, cap;
    uint32_t ids[1];
  };
  // A set of up to kSmallMax members is always an array. A larger one is an array while it
  // holds at most kSparseMax members and on average at most kSparsePerBlock in each 65536-id
  // block it touches: there an array is smaller than the library's containers (a few dozen bytes
  // each beside two bytes a member) and as quick to intersect; a denser set is a library set.
  static constexpr uint32_t kSmallMax = 16;
  static constexpr uint32_t kSparseMax = 4096;
  static constexpr uint32_t kSparsePerBlock = 16;
  static bool array_fits(uint64_t members, uint64_t blocks) {
    return members <= kSmallMax || (members <= kSparseMax && members <= kSparsePerBlock * blocks);
  }
  // The 65536-id blocks that xs[0..n) (ascending) touch.
  static size_t blocks_of(const uint32_t* xs, size_t n);
  // The members of an array or inline set, with `one` as the inline member's storage.
  const uint32_t* array_members(uint32_t* one, size_t* n) const;

  bool is_one() const { return (bits_ & 3) == 1; }
  bool is_small() const { return (bits_ & 3) == 2; }
  bool is_roaring() const { return bits_ != 0 && (bits_ & 3) == 0; }
  uint32_t one() const { return static_cast<uint32_t>(bits_ >> 32); }
  Small* small() const { return reinterpret_cast<Small*>(bits_ & ~uintptr_t{3}); }
  roaring_bitmap_t* roar() const { return reinterpret_cast<roaring_bitmap_t*>(bits_); }
  uint64_t roaring_cardinality() const;
  bool roaring_empty() const;
  // Every library call that makes a new bitmap returns null when it cannot allocate: that is
  // an allocation failure, never an empty set.
  static Bitmap from_roaring(roaring_bitmap_t* r) {
    if (r == nullptr) throw std::bad_alloc();
    Bitmap b;
    b.bits_ = reinterpret_cast<uintptr_t>(r);
    return b;
  }
  static Small* new_small(uint32_t cap);
  static roaring_bitmap_t* new_roaring();  // empty; throws std::bad_alloc instead of returning null
  // A Roaring bitmap for this set, owned by `tmp` unless this already is one.
  const roaring_bitmap_t* as_roaring(roaring_bitmap_t** tmp) const;
  roaring_bitmap_t* to_roaring();  // converts this in place and returns it
  void release();

  uintptr_t bits_ = 0;
};

// A set in the portable form read 65536 ids at a time as plain bits, straight from its bytes
// (which must be ones Bitmap::decode accepted, and outlive the reader): for work over many sets
// in step, block by block, such as turning a field's bit slices into its values.
class PortableBits {
 public:
  PortableBits() = default;
  PortableBits(const uint8_t* p, size_t n);
  // The members in [key << 16, (key + 1) << 16) as 1024 words, bit j of word w standing for id
  // key << 16 | 64 w + j; false, with nothing written, when there are none. Keys are asked in
  // ascending order.
  bool block(uint32_t key, uint64_t* words);

 private:
  const uint8_t* p_ = nullptr;
  const uint8_t* hdr_ = nullptr;        // (key, cardinality - 1) per container
  const uint8_t* run_flags_ = nullptr;  // null in the form without run containers
  size_t count_ = 0, next_ = 0;         // containers, and the first one not yet passed
  size_t pos_ = 0;                      // where the data of container next_ begins
};

template <class F>
void Bitmap::for_each(F&& f) const {
  if (bits_ == 0) return;
  if (is_one()) {
    f(one());
  } else if (is_small()) {
    const Small* s = small();
    for (uint32_t i = 0; i < s->size; ++i) f(s->ids[i]);
  } else {
    std::vector<uint32_t> v;
    to_vector(&v);
    for (uint32_t x : v) f(x);
  }
}

}  // namespace korvane
