// radix_sort.h: stable least-significant-digit sorts of unsigned keys, for the few hundred to a
// few thousand keys a search orders (std::sort spends most of that time in mispredicted branches).
// Byte positions where every key holds the same byte are skipped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korvane {

template <class T>
void radix_sort(std::vector<T>& v) {
  constexpr size_t kBytes = sizeof(T);
  const size_t n = v.size();
  if (n < 64) {
    std::sort(v.begin(), v.end());
    return;
  }
  uint32_t counts[kBytes * 256] = {};
  for (T x : v)
    for (size_t b = 0; b < kBytes; ++b) ++counts[b * 256 + ((x >> (8 * b)) & 0xff)];
  std::vector<T> tmp(n);
  T* src = v.data();
  T* dst = tmp.data();
  for (size_t b = 0; b < kBytes; ++b) {
    uint32_t* c = &counts[b * 256];
    if (c[(src[0] >> (8 * b)) & 0xff] == n) continue;  // the same byte in every key
    uint32_t sum = 0;
    for (size_t d = 0; d < 256; ++d) {
      uint32_t k = c[d];
      c[d] = sum;
      sum += k;
    }
    for (size_t j = 0; j < n; ++j) dst[c[(src[j] >> (8 * b)) & 0xff]++] = src[j];
    std::swap(src, dst);
  }
  if (src != v.data()) std::memcpy(v.data(), src, n * sizeof(T));
}

}  // namespace korvane
