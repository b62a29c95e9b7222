// numeric_bsi.h: one numeric metadata field as bit slices of order-keeping encoded values, so
// that equality and order questions are answered with bitmap operations alone.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/bitmap.h"

namespace korvane {

// The order-keeping image of a float: for non-NaN a, b: a < b exactly when enc(a) < enc(b).
// -0.0 encodes below +0.0.
uint32_t encode_f32(float x);
float decode_f32(uint32_t e);
// A JSON number's value as the index keeps it: to the nearest double, then the nearest float.
float narrow_to_f32(double d);

class NumericBsiIndex {
 public:
  // Invariant: every id in a slice is in `existence`, and the slices holding an id are exactly
  // the set bits of its encoded value. The three bounds only widen between rebuilds.
  std::array<Bitmap, 32> slices;
  Bitmap existence;
  uint32_t min_encoded = 0xFFFFFFFFu;
  uint32_t max_encoded = 0;
  uint8_t top_bit = 0;
  static constexpr uint32_t kAbsent = 0xFFFFFFFFu;  // the image of a NaN, never stored

  // The column holds the encoded value of each member of `existence`, the same values the
  // slices hold, so that a comparison over a few candidates reads them directly instead of
  // walking 32 slices. Not stored; rebuilt from the slices after a snapshot is loaded or a
  // vacuum. encoded_at gives the value of `id`, or kAbsent when it has none.
  uint32_t encoded_at(uint32_t id) const {
    if (dense_) return id < column_.size() ? column_[id] : kAbsent;
    auto it = sparse_.find(id);
    return it == sparse_.end() ? kAbsent : it->second;
  }
  // Starts fetching what encoded_at(id) will read.
  void prefetch(uint32_t id) const {
    if (!dense_)
      sparse_.prefetch(id);
    else if (id < column_.size())
      __builtin_prefetch(&column_[id]);
  }
  // Builds the column from `existence` and the slices, in the form its fill calls for.
  void rebuild_column();
  // The same from the bytes the slices and `existence` were decoded from: a column by id is
  // then filled 65536 ids at a time from their bits, without listing the members of any set.
  void rebuild_column(PortableBits existence_bits, std::array<PortableBits, 32> slice_bits);

  // True when every value in the column lies within min_encoded..max_encoded (a snapshot's
  // bounds may be wider than its values after deletions, never narrower).
  bool bounds_cover_values() const;

  // Widens the three bounds to take the encoded value e.
  void widen_bounds(uint32_t e) {
    if (e < min_encoded) min_encoded = e;
    if (e > max_encoded) max_encoded = e;
    if (e != 0) {
      uint8_t h = static_cast<uint8_t>(31 - __builtin_clz(e));
      if (h > top_bit) top_bit = h;
    }
  }

  void insert(uint32_t id, float x);
  // insert(ids[k], xs[k]) for each k, with each slice taking its ids at once. Requires: the ids
  // ascending and new to the index.
  void insert_new(const uint32_t* ids, const float* xs, size_t n);
  void remove(uint32_t id);

  // The six comparison operators; `valid` is the set of live ids (for the complements). With
  // `within`, the result is the operator's set intersected with it, at a cost that follows
  // `within` rather than the whole field.
  enum class Op { Eq, Ne, Lt, Lte, Gt, Gte };
  Bitmap compare(Op op, float x, const Bitmap& valid, const Bitmap* within = nullptr) const;

  // Serialized form: 32 slices, then existence (each as a framed bitmap), min_encoded,
  // max_encoded (u32 each), top_bit (u8).
  void encode(std::string* out) const;

 private:
  // The column is a vector indexed by id (kAbsent for none) while the members fill at least
  // 1/kDenseFill of the ids below the highest member, and an id -> value map otherwise: a
  // field that a few scattered points have costs memory for those points only, not for every
  // id below them. A vector is turned back into a map only when it would have to grow while
  // less than 1/(2 kDenseFill) full, so that a field at the threshold does not switch at every
  // insertion.
  static constexpr uint64_t kDenseFill = 8;
  bool dense_ = false;
  std::vector<uint32_t> column_;                      // dense_: by id
  absl::flat_hash_map<uint32_t, uint32_t> sparse_;   // !dense_: members only
  void set_encoded(uint32_t id, uint32_t e);
  void make_dense();
  void make_sparse();

  // The scans of compare for equality, "less than" and "greater than" an encoded value, started
  // from `eq` (the ids still candidates: existence, or existence within a restriction).
  Bitmap equal_from(Bitmap eq, uint32_t e) const;
  Bitmap less_from(Bitmap eq, uint32_t a) const;
  Bitmap greater_from(Bitmap eq, uint32_t a) const;
};

}  // namespace korvane
