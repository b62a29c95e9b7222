#include "core/radix_sort.h"

#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace korvane {
namespace {

template <class T>
void check(std::vector<T> v) {
  std::vector<T> want = v;
  std::sort(want.begin(), want.end());
  radix_sort(v);
  EXPECT_EQ(v, want);
}

TEST(RadixSort, AgreesWithSortOnRandomKeys) {
  std::mt19937_64 rng(3);
  for (size_t n : {0, 1, 2, 63, 64, 65, 300, 5000}) {
    std::vector<uint64_t> a(n);
    std::vector<uint32_t> b(n);
    for (size_t j = 0; j < n; ++j) {
      a[j] = rng();
      b[j] = uint32_t(rng());
    }
    check(a);
    check(b);
  }
}

// Keys as searches make them: distance bits above ascending ids, many bytes alike or all alike,
// duplicates, and the extremes.
TEST(RadixSort, KeysWithConstantBytesAndDuplicates) {
  std::mt19937 rng(5);
  std::vector<uint64_t> keys;
  for (uint32_t id = 0; id < 2000; ++id) {
    float d = float(rng() % 5000) + 0.25f * float(rng() % 4);
    uint32_t bits;
    std::memcpy(&bits, &d, 4);
    keys.push_back(uint64_t{bits} << 32 | id);
  }
  check(keys);
  check(std::vector<uint64_t>(500, 0x0102030405060708ull));
  std::vector<uint32_t> ids;
  for (uint32_t j = 0; j < 700; ++j) ids.push_back(999999 - 3 * (j % 200));
  ids.push_back(0);
  ids.push_back(UINT32_MAX);
  check(ids);
}

}  // namespace
}  // namespace korvane
