// A bitmap the library cannot allocate surfaces as std::bad_alloc, never as an empty set.
// malloc and calloc are replaced in this program: once armed, the next allocation fails. The
// library checks the first allocation of a new bitmap (not later ones inside its set operations),
// so creation and copying are what can be exercised this way.
#include <gtest/gtest.h>

#include <new>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "core/bitmap.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
static bool fail_next = false;
extern "C" void* malloc(size_t n) { return std::exchange(fail_next, false) ? nullptr : __libc_malloc(n); }
extern "C" void* calloc(size_t n, size_t m) { return std::exchange(fail_next, false) ? nullptr : __libc_calloc(n, m); }

namespace {

using korvane::Bitmap;

// True when f throws std::bad_alloc as its first allocation fails.
template <class F>
bool bad_alloc_on_first_allocation(F&& f) {
  bool thrown = false;
  fail_next = true;
  try {
    f();
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  return !std::exchange(fail_next, false) && thrown;
}

TEST(BitmapAlloc, ALibraryBitmapThatCannotBeAllocatedThrows) {
  std::vector<uint32_t> ids(1000);
  std::iota(ids.begin(), ids.end(), 0);
  Bitmap big = Bitmap::of_sorted(ids.data(), ids.size());
  Bitmap small = Bitmap::of_sorted(ids.data(), 16);  // the largest inline form
  std::string bytes;
  big.encode(&bytes);
  EXPECT_TRUE(bad_alloc_on_first_allocation([&] { Bitmap::of_sorted(ids.data(), ids.size()); }));
  EXPECT_TRUE(bad_alloc_on_first_allocation([&] { big.clone(); }));
  EXPECT_TRUE(bad_alloc_on_first_allocation([&] {
    Bitmap out;
    Bitmap::decode(reinterpret_cast<const uint8_t*>(bytes.data()) + 8, bytes.size() - 8, &out);
  }));
  EXPECT_TRUE(bad_alloc_on_first_allocation([&] { small.add(5000); }));  // growing past inline
  EXPECT_FALSE(small.contains(5000));
  EXPECT_EQ(small.cardinality(), 16u);
  EXPECT_TRUE(big.clone().equals(big));  // with memory back, the same calls work
}

}  // namespace
