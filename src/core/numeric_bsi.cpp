#include "core/numeric_bsi.h"

#include <algorithm>

#include <cmath>
#include <cstring>

#include "core/coding.h"

namespace korvane {

namespace {
// Up to this many candidates, a comparison reads their values instead of walking the slices.
constexpr uint64_t kColumnScan = 4096;
}  // namespace

uint32_t encode_f32(float x) {
  uint32_t b;
  std::memcpy(&b, &x, 4);
  return (b & 0x80000000u) ? ~b : (b ^ 0x80000000u);
}

float decode_f32(uint32_t e) {
  uint32_t b = (e & 0x80000000u) ? (e ^ 0x80000000u) : ~e;
  float x;
  std::memcpy(&x, &b, 4);
  return x;
}

float narrow_to_f32(double d) {
  // Beyond the float range a C++ conversion is undefined; IEEE rounding gives an infinity from
  // the midpoint between the largest float and 2^128 on (ties go to the even infinity side).
  if (std::isnan(d)) return std::nanf("");
  if (std::fabs(d) >= 0x1.ffffffp127) return d > 0 ? INFINITY : -INFINITY;
  return static_cast<float>(d);
}

void NumericBsiIndex::insert(uint32_t id, float x) {
  if (std::isnan(x)) return;
  // An id new to the index is in no slice (slices stay inside existence), so only the set bits
  // need writing; an id already present has every slice rewritten.
  bool present = !existence.add_checked(id);
  uint32_t e = encode_f32(x);
  widen_bounds(e);
  for (int i = 0; i < 32; ++i) {
    if ((e >> i) & 1u)
      slices[i].add(id);
    else if (present)
      slices[i].remove(id);
  }
  set_encoded(id, e);
}

void NumericBsiIndex::insert_new(const uint32_t* ids, const float* xs, size_t n) {
  std::array<std::vector<uint32_t>, 32> bits;
  for (size_t k = 0; k < n; ++k) {
    if (std::isnan(xs[k])) continue;
    uint32_t id = ids[k];
    existence.add(id);
    uint32_t e = encode_f32(xs[k]);
    widen_bounds(e);
    for (uint32_t rest = e; rest != 0; rest &= rest - 1) bits[static_cast<size_t>(__builtin_ctz(rest))].push_back(id);
    set_encoded(id, e);
  }
  for (int i = 0; i < 32; ++i) slices[i].add_many(bits[i].data(), bits[i].size());
}

// Requires: id is already in existence.
void NumericBsiIndex::set_encoded(uint32_t id, uint32_t e) {
  if (!dense_) {
    sparse_[id] = e;
    if (sparse_.size() * kDenseFill >= uint64_t{existence.maximum()} + 1) make_dense();
    return;
  }
  if (id >= column_.size()) {
    // Memory is only taken when the vector reallocates: that is when its fill is weighed.
    if (id >= column_.capacity() && existence.cardinality() * 2 * kDenseFill < uint64_t{id} + 1) {
      make_sparse();
      sparse_[id] = e;
      return;
    }
    column_.resize(size_t{id} + 1, kAbsent);
  }
  column_[id] = e;
}

void NumericBsiIndex::make_dense() {
  std::vector<uint32_t> col(size_t{existence.maximum()} + 1, kAbsent);
  for (const auto& [id, e] : sparse_) col[id] = e;
  column_ = std::move(col);
  sparse_ = {};  // a cleared map would keep its table
  dense_ = true;
}

void NumericBsiIndex::make_sparse() {
  absl::flat_hash_map<uint32_t, uint32_t> map;
  map.reserve(existence.cardinality());
  for (size_t id = 0; id < column_.size(); ++id)
    if (column_[id] != kAbsent) map.emplace(static_cast<uint32_t>(id), column_[id]);
  sparse_ = std::move(map);
  column_ = {};
  dense_ = false;
}

void NumericBsiIndex::rebuild_column() {
  // The members and their values side by side: each slice is a subset of the members, walked
  // in step with them.
  std::vector<uint32_t> ids = existence.to_vector(), vals(ids.size(), 0), in_slice;
  for (int i = 0; i < 32; ++i) {
    slices[i].to_vector(&in_slice);
    size_t k = 0;
    for (uint32_t m : in_slice) {
      while (k < ids.size() && ids[k] != m) ++k;
      if (k == ids.size()) break;  // not a member: never so while slices stay inside existence
      vals[k] |= 1u << i;
    }
  }
  column_ = {};
  sparse_ = {};
  dense_ = !ids.empty() && ids.size() * kDenseFill >= uint64_t{ids.back()} + 1;
  if (dense_) {
    column_.assign(size_t{ids.back()} + 1, kAbsent);
    for (size_t k = 0; k < ids.size(); ++k) column_[ids[k]] = vals[k];
  } else {
    sparse_.reserve(ids.size());
    for (size_t k = 0; k < ids.size(); ++k) sparse_.emplace(ids[k], vals[k]);
  }
}

namespace {

// Transposes a 32 x 32 bit matrix in place, row r being a[r] with column c at bit 31 - c: after
// it, bit 31 - r of a[c] is what bit 31 - c of a[r] was. Five rounds of swapping blocks half as
// wide as the last.
void transpose32(uint32_t* a) {
  uint32_t m = 0x0000FFFFu;
  for (int j = 16; j != 0; j >>= 1, m ^= m << j) {
    for (int k = 0; k < 32; k = (k + j + 1) & ~j) {
      uint32_t t = (a[k] ^ (a[k + j] >> j)) & m;
      a[k] ^= t;
      a[k + j] ^= t << j;
    }
  }
}

}  // namespace

void NumericBsiIndex::rebuild_column(PortableBits existence_bits, std::array<PortableBits, 32> slice_bits) {
  uint64_t n = existence.cardinality();
  if (n == 0 || n * kDenseFill < uint64_t{existence.maximum()} + 1) {
    rebuild_column();  // a map of the members: listing them costs what the map does
    return;
  }
  column_ = {};
  sparse_ = {};
  dense_ = true;
  const size_t size = size_t{existence.maximum()} + 1;
  column_.assign(size, kAbsent);
  std::vector<uint64_t> present(1024), bits(32 * 1024);
  for (uint32_t key = 0; key <= existence.maximum() >> 16; ++key) {
    if (!existence_bits.block(key, present.data())) continue;
    // Slices without members here read as zeros.
    for (int i = 0; i < 32; ++i)
      if (!slice_bits[i].block(key, &bits[size_t(i) * 1024])) std::fill_n(&bits[size_t(i) * 1024], 1024, 0);
    uint32_t* out = column_.data() + (size_t{key} << 16);
    size_t room = size - (size_t{key} << 16);  // the last block ends at the highest member
    for (size_t w = 0; w < 1024; ++w) {
      uint64_t e = present[w];
      if (e == 0) continue;
      // 64 ids times 32 slices, turned into 64 values of 32 bits: two 32 x 32 bit transposes.
      uint32_t v[64];
      for (int half = 0; half < 2; ++half) {
        uint32_t* a = v + 32 * half;
        for (int r = 0; r < 32; ++r) a[r] = uint32_t(bits[size_t(31 - r) * 1024 + w] >> (32 * half));
        transpose32(a);
      }
      for (; e != 0; e &= e - 1) {
        size_t j = size_t(__builtin_ctzll(e));
        if (64 * w + j < room) out[64 * w + j] = v[32 * (j / 32) + 31 - j % 32];
      }
    }
  }
}

bool NumericBsiIndex::bounds_cover_values() const {
  auto within = [&](uint32_t e) { return e == kAbsent || (e >= min_encoded && e <= max_encoded); };
  if (dense_) return std::all_of(column_.begin(), column_.end(), within);
  for (const auto& [id, e] : sparse_)
    if (!within(e)) return false;
  return true;
}

void NumericBsiIndex::remove(uint32_t id) {
  if (!existence.contains(id)) return;  // slices hold nothing that existence does not
  existence.remove(id);
  for (auto& s : slices) s.remove(id);
  if (!dense_)
    sparse_.erase(id);
  else if (id < column_.size())
    column_[id] = kAbsent;
}

Bitmap NumericBsiIndex::equal_from(Bitmap eq, uint32_t e) const {
  if (e != 0 && 31 - __builtin_clz(e) > top_bit) return Bitmap();  // no stored value has that bit
  for (int i = 0; i <= top_bit; ++i) {
    if (eq.empty()) break;
    if ((e >> i) & 1u)
      eq.and_with(slices[i]);
    else
      eq.andnot_with(slices[i]);
  }
  return eq;
}

Bitmap NumericBsiIndex::less_from(Bitmap eq, uint32_t a) const {
  if (a <= min_encoded) return Bitmap();
  if (a > max_encoded) return eq;
  Bitmap lt;
  // From top_bit down whatever a's length: a stored value >= +0.0 (bit 31 set) must be told
  // apart from a negative a at slice 31.
  for (int i = top_bit; i >= 0; --i) {
    if (eq.empty()) break;
    if ((a >> i) & 1u) {
      lt.or_with(Bitmap::andnot_of(eq, slices[i]));
      eq.and_with(slices[i]);
    } else {
      eq.andnot_with(slices[i]);
    }
  }
  return lt;  // what is left in eq equals a
}

Bitmap NumericBsiIndex::greater_from(Bitmap eq, uint32_t a) const {
  if (a >= max_encoded) return Bitmap();
  if (a < min_encoded) return eq;
  Bitmap gt;
  for (int i = top_bit; i >= 0; --i) {
    if (eq.empty()) break;
    if ((a >> i) & 1u) {
      eq.and_with(slices[i]);
    } else {
      gt.or_with(Bitmap::and_of(eq, slices[i]));
      eq.andnot_with(slices[i]);
    }
  }
  return gt;
}

Bitmap NumericBsiIndex::compare(Op op, float x, const Bitmap& valid, const Bitmap* within) const {
  // The candidates and the live set, narrowed first: every operator's result lies inside them.
  auto live = [&] { return within ? Bitmap::and_of(valid, *within) : valid.clone(); };
  auto start = [&] { return within ? Bitmap::and_of(existence, *within) : existence.clone(); };
  if (std::isnan(x)) {
    if (op == Op::Ne || op == Op::Gte) return live();
    return Bitmap();
  }
  // $ne and $gte are the live points outside $eq and $lt: points without a value among them.
  const bool outside = op == Op::Ne || op == Op::Gte;
  const Op inside = op == Op::Ne ? Op::Eq : op == Op::Gte ? Op::Lt : op;
  // A value matches `inside` when its encoding lies in [lo, hi). The encoding of a number is
  // below kAbsent, so e + 1 does not wrap and no range holds kAbsent.
  const uint32_t e = encode_f32(x);
  const uint32_t lo = inside == Op::Eq ? e : inside == Op::Gt ? e + 1 : 0;
  const uint32_t hi = inside == Op::Lt ? e : inside == Op::Gt ? kAbsent : e + 1;
  if (within != nullptr && within->cardinality() <= kColumnScan) {
    // A few candidates: compare their values one by one (the same answers as the slices). The
    // candidates are scattered over the column: their values are fetched a few ahead.
    std::vector<uint32_t> ids = within->to_vector();
    std::vector<uint32_t> keep;
    keep.reserve(ids.size());
    constexpr size_t kAhead = 16;
    const size_t n = ids.size();
    for (size_t j = 0; j < n && j < kAhead; ++j) prefetch(ids[j]);
    for (size_t j = 0; j < n; ++j) {
      if (j + kAhead < n) prefetch(ids[j + kAhead]);
      uint32_t v = encoded_at(ids[j]);
      if ((v >= lo && v < hi) != outside) keep.push_back(ids[j]);
    }
    Bitmap out = Bitmap::of_sorted(keep.data(), keep.size());
    // Those kept for being outside include points that are not live: one intersection for all.
    if (outside) out.and_with(valid);
    return out;
  }
  Bitmap hit;
  if (inside == Op::Eq) {
    hit = equal_from(start(), e);
  } else if (inside == Op::Gt) {
    hit = greater_from(start(), e);
  } else {
    hit = less_from(start(), hi);
  }
  if (!outside) return hit;
  Bitmap r = live();
  r.andnot_with(hit);
  return r;
}

void NumericBsiIndex::encode(std::string* out) const {
  for (const auto& s : slices) s.encode(out);
  existence.encode(out);
  StringSink sink(*out);
  sink.u32(min_encoded);
  sink.u32(max_encoded);
  sink.u8(top_bit);
}

}  // namespace korvane
