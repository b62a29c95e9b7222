// The set operations of Bitmap over its three forms (one member, a sorted array, a Roaring
// bitmap). Every set built here, member by member or as a result, takes the form array_fits
// chooses for its members; a library set that shrinks stays one until compact().
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "core/bitmap.h"

namespace korvane {

Bitmap::Small* Bitmap::new_small(uint32_t cap) {
  auto* s = static_cast<Small*>(std::malloc(sizeof(Small) + sizeof(uint32_t) * (cap - 1)));
  if (s == nullptr) throw std::bad_alloc();
  s->size = 0;
  s->cap = cap;
  return s;
}

roaring_bitmap_t* Bitmap::new_roaring() {
  roaring_bitmap_t* r = roaring_bitmap_create();
  if (r == nullptr) throw std::bad_alloc();
  return r;
}

size_t Bitmap::blocks_of(const uint32_t* xs, size_t n) {
  size_t blocks = n > 0;
  for (size_t i = 1; i < n; ++i) blocks += (xs[i] >> 16) != (xs[i - 1] >> 16);
  return blocks;
}

const uint32_t* Bitmap::array_members(uint32_t* one_storage, size_t* n) const {
  if (is_small()) {
    *n = small()->size;
    return small()->ids;
  }
  *n = is_one() ? 1 : 0;
  *one_storage = one();
  return one_storage;
}

void Bitmap::release() {
  if (is_small())
    std::free(small());
  else if (is_roaring())
    roaring_bitmap_free(roar());
  bits_ = 0;
}

Bitmap Bitmap::clone() const {
  Bitmap b;
  if (is_one()) {
    b.bits_ = bits_;
  } else if (is_small()) {
    const Small* s = small();
    Small* c = new_small(s->size);
    c->size = s->size;
    std::memcpy(c->ids, s->ids, sizeof(uint32_t) * s->size);
    b.bits_ = reinterpret_cast<uintptr_t>(c) | 2;
  } else if (is_roaring()) {
    b = from_roaring(roaring_bitmap_copy(roar()));
  }
  return b;
}

Bitmap Bitmap::range(uint32_t lo, uint64_t hi_exclusive) {
  if (hi_exclusive <= lo) return Bitmap();
  return from_roaring(roaring_bitmap_from_range(lo, hi_exclusive, 1));
}

Bitmap Bitmap::of_sorted(const uint32_t* xs, size_t n) {
  Bitmap b;
  if (n == 0) return b;
  if (n == 1) {
    b.bits_ = (uintptr_t{xs[0]} << 32) | 1;
  } else if (array_fits(n, blocks_of(xs, n))) {
    Small* s = new_small(static_cast<uint32_t>(n));
    s->size = static_cast<uint32_t>(n);
    std::memcpy(s->ids, xs, sizeof(uint32_t) * n);
    b.bits_ = reinterpret_cast<uintptr_t>(s) | 2;
  } else {
    b = from_roaring(new_roaring());
    roaring_bitmap_add_many(b.roar(), n, xs);
  }
  return b;
}

roaring_bitmap_t* Bitmap::to_roaring() {
  if (is_roaring()) return roar();
  roaring_bitmap_t* r = new_roaring();
  if (is_one()) {
    roaring_bitmap_add(r, one());
  } else if (is_small()) {
    roaring_bitmap_add_many(r, small()->size, small()->ids);
  }
  release();
  bits_ = reinterpret_cast<uintptr_t>(r);
  return r;
}

const roaring_bitmap_t* Bitmap::as_roaring(roaring_bitmap_t** tmp) const {
  *tmp = nullptr;
  if (is_roaring()) return roar();
  *tmp = new_roaring();
  if (is_one()) roaring_bitmap_add(*tmp, one());
  else if (is_small()) roaring_bitmap_add_many(*tmp, small()->size, small()->ids);
  return *tmp;
}

namespace {
struct TmpFree {
  roaring_bitmap_t* r;
  ~TmpFree() {
    if (r) roaring_bitmap_free(r);
  }
};
}  // namespace

bool Bitmap::add_checked(uint32_t x) {
  if (bits_ == 0) {
    bits_ = (uintptr_t{x} << 32) | 1;
    return true;
  }
  if (is_one()) {
    uint32_t v = one();
    if (v == x) return false;
    Small* s = new_small(4);
    s->size = 2;
    s->ids[0] = std::min(v, x);
    s->ids[1] = std::max(v, x);
    bits_ = reinterpret_cast<uintptr_t>(s) | 2;
    return true;
  }
  if (is_small()) {
    Small* s = small();
    uint32_t* end = s->ids + s->size;
    uint32_t* pos = std::lower_bound(s->ids, end, x);
    if (pos != end && *pos == x) return false;
    if (s->size == s->cap) {
      uint32_t cap;
      if (s->cap < kSmallMax) {
        cap = std::min(s->cap * 2, kSmallMax);
      } else {
        // Full: grown by half while x keeps it sparse enough, else a library set.
        bool new_block = (pos == s->ids || (pos[-1] >> 16) != (x >> 16)) && (pos == end || (*pos >> 16) != (x >> 16));
        if (!array_fits(s->size + 1, blocks_of(s->ids, s->size) + new_block)) {
          roaring_bitmap_t* r = to_roaring();
          roaring_bitmap_add(r, x);
          return true;
        }
        cap = std::min(s->cap + s->cap / 2, kSparseMax);
      }
      size_t at = static_cast<size_t>(pos - s->ids);
      auto* g = static_cast<Small*>(std::realloc(s, sizeof(Small) + sizeof(uint32_t) * (cap - 1)));
      if (g == nullptr) throw std::bad_alloc();
      g->cap = cap;
      s = g;
      bits_ = reinterpret_cast<uintptr_t>(s) | 2;
      pos = s->ids + at;
      end = s->ids + s->size;
    }
    std::memmove(pos + 1, pos, sizeof(uint32_t) * static_cast<size_t>(end - pos));
    *pos = x;
    ++s->size;
    return true;
  }
  return roaring_bitmap_add_checked(roar(), x);
}

void Bitmap::add_many(const uint32_t* xs, size_t n) {
  if (n == 0) return;
  if (!is_roaring() && cardinality() + n <= kSparseMax) {
    // Merged in one array, which takes its form afterwards.
    std::vector<uint32_t> all;
    to_vector(&all);
    all.insert(all.end(), xs, xs + n);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    *this = of_sorted(all.data(), all.size());
    return;
  }
  roaring_bitmap_add_many(to_roaring(), n, xs);
}

void Bitmap::remove(uint32_t x) {
  if (is_one()) {
    if (one() == x) bits_ = 0;
  } else if (is_small()) {
    Small* s = small();
    uint32_t* end = s->ids + s->size;
    uint32_t* pos = std::lower_bound(s->ids, end, x);
    if (pos == end || *pos != x) return;
    std::memmove(pos, pos + 1, sizeof(uint32_t) * static_cast<size_t>(end - pos - 1));
    if (--s->size == 0) release();
  } else if (is_roaring()) {
    roaring_bitmap_remove(roar(), x);
  }
}

bool Bitmap::contains(uint32_t x) const {
  if (is_one()) return one() == x;
  if (is_small()) return std::binary_search(small()->ids, small()->ids + small()->size, x);
  return is_roaring() && roaring_bitmap_contains(roar(), x);
}

uint64_t Bitmap::roaring_cardinality() const { return roaring_bitmap_get_cardinality(roar()); }

bool Bitmap::roaring_empty() const { return roaring_bitmap_is_empty(roar()); }

uint32_t Bitmap::maximum() const {
  if (bits_ == 0) return 0;
  if (is_one()) return one();
  if (is_small()) return small()->ids[small()->size - 1];
  return roaring_bitmap_maximum(roar());
}

void Bitmap::to_vector(std::vector<uint32_t>* out) const {
  out->clear();
  if (bits_ == 0) return;
  if (is_one()) {
    out->push_back(one());
  } else if (is_small()) {
    out->assign(small()->ids, small()->ids + small()->size);
  } else {
    out->resize(static_cast<size_t>(roaring_bitmap_get_cardinality(roar())));
    if (!out->empty()) roaring_bitmap_to_uint32_array(roar(), out->data());
  }
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> v;
  to_vector(&v);
  return v;
}

void Bitmap::compact() {
  if (is_small() && small()->cap > small()->size) {
    *this = of_sorted(small()->ids, small()->size);
    return;
  }
  if (!is_roaring() || roaring_bitmap_get_cardinality(roar()) > kSparseMax) return;
  std::vector<uint32_t> v;
  to_vector(&v);
  if (array_fits(v.size(), blocks_of(v.data(), v.size()))) *this = of_sorted(v.data(), v.size());
}

namespace {

// The members of an array or inline set that are (keep_members) or are not in `other`: no
// Roaring bitmap is built.
Bitmap filter_array(const uint32_t* xs, size_t n, const Bitmap& other, bool keep_members) {
  thread_local std::vector<uint32_t> kept;
  kept.clear();
  for (size_t i = 0; i < n; ++i)
    if (other.contains(xs[i]) == keep_members) kept.push_back(xs[i]);
  return Bitmap::of_sorted(kept.data(), kept.size());
}

}  // namespace

Bitmap Bitmap::and_of(const Bitmap& a, const Bitmap& b) {
  if (a.empty() || b.empty()) return Bitmap();
  uint32_t one_a, one_b;
  size_t na, nb;
  if (!a.is_roaring() && !b.is_roaring()) {
    const uint32_t* xa = a.array_members(&one_a, &na);
    const uint32_t* xb = b.array_members(&one_b, &nb);
    thread_local std::vector<uint32_t> both;
    both.clear();
    std::set_intersection(xa, xa + na, xb, xb + nb, std::back_inserter(both));
    return of_sorted(both.data(), both.size());
  }
  if (!a.is_roaring()) {
    const uint32_t* xa = a.array_members(&one_a, &na);
    return filter_array(xa, na, b, true);
  }
  if (!b.is_roaring()) {
    const uint32_t* xb = b.array_members(&one_b, &nb);
    return filter_array(xb, nb, a, true);
  }
  return from_roaring(roaring_bitmap_and(a.roar(), b.roar()));
}

Bitmap Bitmap::andnot_of(const Bitmap& a, const Bitmap& b) {
  if (a.empty()) return Bitmap();
  if (b.empty()) return a.clone();
  uint32_t one_a;
  size_t na;
  if (!a.is_roaring()) {
    const uint32_t* xa = a.array_members(&one_a, &na);
    return filter_array(xa, na, b, false);
  }
  roaring_bitmap_t* tb;
  const roaring_bitmap_t* rb = b.as_roaring(&tb);
  TmpFree f{tb};
  return from_roaring(roaring_bitmap_andnot(a.roar(), rb));
}

void Bitmap::and_with(const Bitmap& o) { *this = and_of(*this, o); }

void Bitmap::andnot_with(const Bitmap& o) {
  if (empty() || o.empty()) return;
  if (!is_roaring()) {
    *this = andnot_of(*this, o);
    return;
  }
  roaring_bitmap_t* tb;
  const roaring_bitmap_t* rb = o.as_roaring(&tb);
  TmpFree f{tb};
  roaring_bitmap_andnot_inplace(roar(), rb);
}

void Bitmap::or_with(const Bitmap& o) {
  if (o.empty() || &o == this) return;
  if (empty()) {
    *this = o.clone();
    return;
  }
  if (!o.is_roaring()) {
    uint32_t one_o;
    size_t no;
    const uint32_t* xo = o.array_members(&one_o, &no);
    if (is_roaring()) roaring_bitmap_add_many(roar(), no, xo);
    else add_many(xo, no);
    return;
  }
  roaring_bitmap_or_inplace(to_roaring(), o.roar());
}

Bitmap Bitmap::or_many(const std::vector<const Bitmap*>& parts) {
  std::vector<const roaring_bitmap_t*> big;
  std::vector<uint32_t> loose;
  for (const Bitmap* b : parts) {
    if (b->is_roaring()) big.push_back(b->roar());
    else b->for_each([&](uint32_t x) { loose.push_back(x); });
  }
  Bitmap out;
  if (big.size() == 1) out = from_roaring(roaring_bitmap_copy(big[0]));
  else if (big.size() > 1) out = from_roaring(roaring_bitmap_or_many(big.size(), big.data()));
  if (!loose.empty()) {
    std::sort(loose.begin(), loose.end());
    loose.erase(std::unique(loose.begin(), loose.end()), loose.end());
    if (out.empty()) return of_sorted(loose.data(), loose.size());
    roaring_bitmap_add_many(out.to_roaring(), loose.size(), loose.data());
  }
  return out;
}

bool Bitmap::intersects(const Bitmap& o) const {
  if (empty() || o.empty()) return false;
  if (!is_roaring() || !o.is_roaring()) {
    // The array's members (the smaller one's, when both are arrays) looked up in the other.
    const Bitmap* s = is_roaring() ? &o : this;
    const Bitmap* t = is_roaring() ? this : &o;
    if (!t->is_roaring() && t->cardinality() < s->cardinality()) std::swap(s, t);
    uint32_t one_s;
    size_t ns;
    const uint32_t* xs = s->array_members(&one_s, &ns);
    for (size_t i = 0; i < ns; ++i)
      if (t->contains(xs[i])) return true;
    return false;
  }
  return roaring_bitmap_intersect(roar(), o.roar());
}

bool Bitmap::is_subset_of(const Bitmap& o) const {
  if (empty()) return true;
  if (!is_roaring()) {
    if (cardinality() > o.cardinality()) return false;
    uint32_t one_s;
    size_t ns;
    const uint32_t* xs = array_members(&one_s, &ns);
    for (size_t i = 0; i < ns; ++i)
      if (!o.contains(xs[i])) return false;
    return true;
  }
  if (o.empty()) return false;
  roaring_bitmap_t* t;
  const roaring_bitmap_t* r = o.as_roaring(&t);
  TmpFree f{t};
  return roaring_bitmap_is_subset(roar(), r);
}

bool Bitmap::equals(const Bitmap& o) const {
  return cardinality() == o.cardinality() && is_subset_of(o);
}

}  // namespace korvane
