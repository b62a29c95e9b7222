// Portable set encoding (the form every bitmap takes on disk):
//   u32 cookie 12346, u32 container count c,
//   per container: u16 key (upper 16 bits of its members), u16 cardinality - 1,
//   per container: u32 byte offset of its data counted from the cookie (the first is 8 + 8c),
//   then each container's data in ascending key order: at most 4096 members as ascending u16
//   lower halves, more as 1024 u64 words of bits.
// The reader also accepts the form with run containers (cookie 12347 in the low 16 bits,
// c - 1 in the high 16 bits, a bitset marking run containers, offsets only when c >= 4, and a
// run container as u16 run count then (u16 start, u16 length - 1) pairs). The writer never
// produces it.
#include "core/bitmap.h"

#include <cstring>

#include "core/coding.h"

namespace korvane {
namespace {

constexpr uint32_t kCookieNoRun = 12346;
constexpr uint32_t kCookieRun = 12347;
constexpr size_t kArrayMax = 4096;
constexpr size_t kBitsetBytes = 8192;

}  // namespace

void Bitmap::encode(std::string* out) const {
  thread_local std::vector<uint32_t> members;
  to_vector(&members);
  // Container boundaries: [starts[k], starts[k+1]) share the upper 16 bits.
  thread_local std::vector<size_t> starts;
  starts.clear();
  for (size_t i = 0; i < members.size(); ++i)
    if (i == 0 || (members[i] >> 16) != (members[i - 1] >> 16)) starts.push_back(i);
  size_t c = starts.size();
  starts.push_back(members.size());

  size_t body = 0;
  for (size_t k = 0; k < c; ++k) {
    size_t card = starts[k + 1] - starts[k];
    body += card <= kArrayMax ? 2 * card : kBitsetBytes;
  }
  uint64_t total = 8 + 8 * c + body;
  size_t base = out->size();
  out->resize(base + 8 + total);
  auto* p = reinterpret_cast<uint8_t*>(out->data()) + base;
  store_u64(p, total);
  p += 8;
  uint8_t* start = p;
  store_u32(p, kCookieNoRun);
  store_u32(p + 4, static_cast<uint32_t>(c));
  uint8_t* hdr = p + 8;
  uint8_t* offs = hdr + 4 * c;
  uint8_t* data = offs + 4 * c;
  for (size_t k = 0; k < c; ++k) {
    size_t card = starts[k + 1] - starts[k];
    uint16_t key = static_cast<uint16_t>(members[starts[k]] >> 16);
    uint16_t cm1 = static_cast<uint16_t>(card - 1);
    std::memcpy(hdr + 4 * k, &key, 2);
    std::memcpy(hdr + 4 * k + 2, &cm1, 2);
    store_u32(offs + 4 * k, static_cast<uint32_t>(data - start));
    if (card <= kArrayMax) {
      for (size_t i = starts[k]; i < starts[k + 1]; ++i) {
        uint16_t low = static_cast<uint16_t>(members[i]);
        std::memcpy(data, &low, 2);
        data += 2;
      }
    } else {
      uint64_t words[1024] = {};
      for (size_t i = starts[k]; i < starts[k + 1]; ++i) {
        uint32_t low = members[i] & 0xFFFF;
        words[low >> 6] |= uint64_t{1} << (low & 63);
      }
      std::memcpy(data, words, kBitsetBytes);
      data += kBitsetBytes;
    }
  }
}

// One function, past 80 lines: every count and offset is checked against the bytes in the same
// pass that reads it, in the format's order, so no check can be skipped by a split.
bool Bitmap::decode(const uint8_t* p, size_t n, Bitmap* out) {
  if (n < 4) return false;
  uint32_t word = load_u32(p);
  bool has_runs;
  size_t c;
  size_t pos;
  const uint8_t* run_flags = nullptr;
  if (word == kCookieNoRun) {
    if (n < 8) return false;
    uint32_t cnt = load_u32(p + 4);
    if (cnt > 65536) return false;
    c = cnt;
    has_runs = false;
    pos = 8;
  } else if ((word & 0xFFFF) == kCookieRun) {
    c = (word >> 16) + 1;
    has_runs = true;
    pos = 4;
    size_t flag_bytes = (c + 7) / 8;
    if (n - pos < flag_bytes) return false;
    run_flags = p + pos;
    pos += flag_bytes;
  } else {
    return false;
  }
  if ((n - pos) / 4 < c) return false;
  const uint8_t* hdr = p + pos;
  pos += 4 * c;
  bool has_offsets = !has_runs || c >= 4;
  const uint8_t* offs = nullptr;
  if (has_offsets) {
    if ((n - pos) / 4 < c) return false;
    offs = p + pos;
    pos += 4 * c;
  }
  // Every container is validated before anything is built. A set that array_fits (counted by
  // what its headers claim, which the pass checks) is gathered on the way into its array; a
  // larger one is then read by the library from the same, now known to be well-formed, bytes.
  uint64_t claimed = 0;
  for (size_t k = 0; k < c; ++k) claimed += uint64_t{load_u16(hdr + 4 * k + 2)} + 1;
  uint32_t inline_ids[kSmallMax];
  uint32_t* gathered = inline_ids;
  uint64_t room = kSmallMax;
  Bitmap array;  // owns the array being filled
  if (claimed > kSmallMax && array_fits(claimed, c)) {
    Small* s = new_small(static_cast<uint32_t>(claimed));
    array.bits_ = reinterpret_cast<uintptr_t>(s) | 2;
    gathered = s->ids;
    room = claimed;
  }
  uint64_t total = 0;
  auto gather = [&](uint32_t x) {
    if (total < room) gathered[total] = x;
    ++total;
  };
  int prev_key = -1;
  for (size_t k = 0; k < c; ++k) {
    uint16_t key = load_u16(hdr + 4 * k);
    size_t card = static_cast<size_t>(load_u16(hdr + 4 * k + 2)) + 1;
    if (static_cast<int>(key) <= prev_key) return false;
    prev_key = key;
    if (offs != nullptr && load_u32(offs + 4 * k) != pos) return false;
    uint32_t high = static_cast<uint32_t>(key) << 16;
    bool is_run = run_flags != nullptr && (run_flags[k / 8] >> (k % 8)) & 1;
    if (is_run) {
      if (n - pos < 2) return false;
      size_t runs = load_u16(p + pos);
      pos += 2;
      if ((n - pos) / 4 < runs) return false;
      long prev_end = -1;
      size_t sum = 0;
      for (size_t i = 0; i < runs; ++i) {
        uint32_t start = load_u16(p + pos + 4 * i);
        uint32_t len = load_u16(p + pos + 4 * i + 2);
        if (static_cast<long>(start) <= prev_end || start + len > 0xFFFF) return false;
        prev_end = static_cast<long>(start + len);
        sum += len + 1;
        if (sum > card) return false;
      }
      if (sum != card) return false;
      if (total + card <= room) {
        for (size_t i = 0; i < runs; ++i) {
          uint32_t start = load_u16(p + pos + 4 * i);
          uint32_t len = load_u16(p + pos + 4 * i + 2);
          for (uint32_t x = start; x <= start + len; ++x) gather(high | x);
        }
      } else {
        total += card;
      }
      pos += 4 * runs;
    } else if (card <= kArrayMax) {
      if ((n - pos) / 2 < card) return false;
      int prev = -1;
      for (size_t i = 0; i < card; ++i) {
        uint16_t low = load_u16(p + pos + 2 * i);
        if (static_cast<int>(low) <= prev) return false;
        prev = low;
        gather(high | low);
      }
      pos += 2 * card;
    } else {
      if (n - pos < kBitsetBytes) return false;
      size_t bits = 0;
      for (size_t w = 0; w < 1024; ++w) bits += static_cast<size_t>(__builtin_popcountll(load_u64(p + pos + 8 * w)));
      if (bits != card) return false;
      total += card;
      pos += kBitsetBytes;
    }
  }
  if (pos != n) return false;
  if (total <= kSmallMax) {
    *out = of_sorted(inline_ids, static_cast<size_t>(total));
    return true;
  }
  if (total == room) {  // every member gathered: the array is the set
    array.small()->size = static_cast<uint32_t>(total);
    *out = std::move(array);
    return true;
  }
  // A null bitmap here is an allocation failure (std::bad_alloc), not a decoding failure.
  *out = from_roaring(roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(p), n));
  return true;
}

uint64_t Bitmap::claimed_members(const uint8_t* p, size_t n) {
  if (n < 4) return UINT64_MAX;
  uint32_t word = load_u32(p);
  size_t c, pos;
  if ((word & 0xFFFF) == kCookieRun) {
    c = (word >> 16) + 1;
    pos = 4 + (c + 7) / 8;
  } else {
    if (n < 8) return UINT64_MAX;
    c = load_u32(p + 4);
    pos = 8;
  }
  if (pos > n || (n - pos) / 4 < c) return UINT64_MAX;
  uint64_t total = 0;
  for (size_t k = 0; k < c; ++k) total += uint64_t{load_u16(p + pos + 4 * k + 2)} + 1;
  return total;
}

PortableBits::PortableBits(const uint8_t* p, size_t n) : p_(p) {
  if (n < 8) return;  // no set decodes from fewer bytes but the empty one's
  uint32_t word = load_u32(p);
  if (word == kCookieNoRun) {
    count_ = load_u32(p + 4);
    hdr_ = p + 8;
    pos_ = 8 + 8 * count_;
  } else {
    count_ = (word >> 16) + 1;
    run_flags_ = p + 4;
    hdr_ = run_flags_ + (count_ + 7) / 8;
    pos_ = static_cast<size_t>(hdr_ - p) + 4 * count_ + (count_ >= 4 ? 4 * count_ : 0);
  }
}

bool PortableBits::block(uint32_t key, uint64_t* words) {
  for (; next_ < count_; ++next_) {
    uint32_t k = load_u16(hdr_ + 4 * next_);
    if (k > key) return false;
    size_t card = static_cast<size_t>(load_u16(hdr_ + 4 * next_ + 2)) + 1;
    const uint8_t* d = p_ + pos_;
    bool is_run = run_flags_ != nullptr && (run_flags_[next_ / 8] >> (next_ % 8)) & 1;
    size_t runs = is_run ? load_u16(d) : 0;
    pos_ += is_run ? 2 + 4 * runs : card <= kArrayMax ? 2 * card : kBitsetBytes;
    if (k < key) continue;
    ++next_;
    if (!is_run && card > kArrayMax) {
      std::memcpy(words, d, kBitsetBytes);
      return true;
    }
    std::memset(words, 0, kBitsetBytes);
    if (!is_run) {
      for (size_t i = 0; i < card; ++i) {
        uint32_t low = load_u16(d + 2 * i);
        words[low / 64] |= uint64_t{1} << (low % 64);
      }
      return true;
    }
    for (size_t r = 0; r < runs; ++r) {
      uint32_t start = load_u16(d + 2 + 4 * r), last = start + load_u16(d + 4 + 4 * r);
      for (uint32_t x = start; x <= last; ++x) words[x / 64] |= uint64_t{1} << (x % 64);
    }
    return true;
  }
  return false;
}

}  // namespace korvane
