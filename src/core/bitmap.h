// bitmap.h: the owner of one compressed set of 32-bit internal ids, and its portable encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <roaring/roaring.h>

// Newer releases of the bitmap library put their C API in a namespace; older ones do not.
namespace roaring { namespace api {} }
using namespace roaring::api;  // NOLINT

namespace korvane {

// Owns a roaring_bitmap_t. A null handle is the empty set, so empty bitmaps cost nothing.
// A move leaves the source empty; a copy is an explicit clone().
class Bitmap {
 public:
  Bitmap() = default;
  explicit Bitmap(roaring_bitmap_t* r) : r_(r) {}
  Bitmap(Bitmap&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}
  Bitmap& operator=(Bitmap&& o) noexcept {
    std::swap(r_, o.r_);
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() {
    if (r_ != nullptr) roaring_bitmap_free(r_);
  }

  Bitmap clone() const { return Bitmap(r_ ? roaring_bitmap_copy(r_) : nullptr); }
  static Bitmap range(uint32_t lo, uint64_t hi_exclusive);  // lo..hi-1

  void add(uint32_t x) { roaring_bitmap_add(mut(), x); }
  void add_many(const uint32_t* xs, size_t n) {
    if (n) roaring_bitmap_add_many(mut(), n, xs);
  }
  bool add_checked(uint32_t x) { return roaring_bitmap_add_checked(mut(), x); }
  void remove(uint32_t x) {
    if (r_) roaring_bitmap_remove(r_, x);
  }
  bool contains(uint32_t x) const { return r_ && roaring_bitmap_contains(r_, x); }
  uint64_t cardinality() const { return r_ ? roaring_bitmap_get_cardinality(r_) : 0; }
  bool empty() const { return r_ == nullptr || roaring_bitmap_is_empty(r_); }
  uint32_t maximum() const { return r_ ? roaring_bitmap_maximum(r_) : 0; }
  void clear() { *this = Bitmap(); }

  void and_with(const Bitmap& o);     // this ∩= o
  void or_with(const Bitmap& o);      // this ∪= o
  void andnot_with(const Bitmap& o);  // this -= o
  static Bitmap and_of(const Bitmap& a, const Bitmap& b);
  static Bitmap andnot_of(const Bitmap& a, const Bitmap& b);
  static Bitmap or_many(const std::vector<const Bitmap*>& parts);
  bool intersects(const Bitmap& o) const { return r_ && o.r_ && roaring_bitmap_intersect(r_, o.r_); }
  bool is_subset_of(const Bitmap& o) const;
  bool equals(const Bitmap& o) const;

  std::vector<uint32_t> to_vector() const;
  void to_vector(std::vector<uint32_t>* out) const;

  // Appends the u64 byte count and the set in the portable form without run containers.
  void encode(std::string* out) const;
  // Decodes and validates one portable set (with or without run containers). False when the
  // bytes are not a structurally valid set of exactly `n` bytes.
  static bool decode(const uint8_t* p, size_t n, Bitmap* out);

  const roaring_bitmap_t* raw() const { return r_; }

 private:
  roaring_bitmap_t* mut() {
    if (r_ == nullptr) r_ = roaring_bitmap_create();
    return r_;
  }
  roaring_bitmap_t* r_ = nullptr;
};

}  // namespace korvane
