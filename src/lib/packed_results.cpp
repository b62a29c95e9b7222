// Packing of search results; the layout is described in packed_results.h.
#include "lib/packed_results.h"

#include <cstring>

#include "core/coding.h"

namespace korvane {

namespace {

constexpr uint64_t kHigh = 0x8080808080808080ull;

// How many of the bytes of `mask` have their high bit set (mask has no other bits).
size_t high_bits(uint64_t mask) { return static_cast<size_t>(((mask >> 7) * 0x0101010101010101ull) >> 56); }

}  // namespace

bool is_ascii(const char* p, size_t len) {
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    any |= w;
  }
  for (; i < len; ++i) any |= static_cast<uint8_t>(p[i]);
  return (any & kHigh) == 0;
}

size_t utf8_chars(const char* p, size_t len) {
  // A character is every byte but a continuation byte (10xxxxxx), counted eight at a time.
  size_t cont = 0, i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    cont += high_bits(w & ~(w << 1) & kHigh);
  }
  for (; i < len; ++i) cont += (static_cast<uint8_t>(p[i]) & 0xC0) == 0x80;
  return len - cont;
}

PackedResults pack_results(const SearchOut& r) {
  PackedResults out;
  const size_t n = out.n = r.size();
  out.with_dist = r.with_dist;
  const size_t head = 8 * (2 * n + 2) + (r.with_dist ? 4 * n : 0);
  size_t bytes = head;
  for (size_t i = 0; i < n; ++i) bytes += r.ids[i].second + r.metas[i].second;
  out.buf.reserve(bytes + 2);  // a fallback may be longer than its record: append grows then
  out.buf.resize(head);
  const auto count = static_cast<int64_t>(n);
  std::memcpy(out.buf.data(), &count, 8);
  if (r.with_dist && n > 0) std::memcpy(out.buf.data() + 8 * (2 * n + 2), r.dists.data(), 4 * n);
  int64_t chars = 0;  // characters of text so far
  auto put = [&](std::pair<size_t, size_t> span, const char* fallback) {
    const char* p = r.arena.data() + span.first;
    size_t len = span.second;
    if (is_ascii(p, len)) {
      chars += static_cast<int64_t>(len);
    } else if (valid_utf8(reinterpret_cast<const uint8_t*>(p), len)) {
      out.ascii = false;
      chars += static_cast<int64_t>(utf8_chars(p, len));
    } else {
      p = fallback;
      len = std::strlen(fallback);
      chars += static_cast<int64_t>(len);
    }
    out.buf.append(p, len);
  };
  auto offset = [&](size_t k) { std::memcpy(out.buf.data() + 8 * (k + 1), &chars, 8); };
  offset(0);
  for (size_t i = 0; i < n; ++i) {
    put(r.ids[i], "");
    offset(2 * i + 1);
    put(r.metas[i], "{}");
    offset(2 * i + 2);
  }
  return out;
}

}  // namespace korvane
