// add_many failing part way (an allocation that fails, on either of its threads) leaves a store
// that goes on working: what it placed is indexed, its records reach their files, and the
// records of later points are written whole. operator new is replaced in this program: once
// armed, the allocation that many allocations later throws std::bad_alloc.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "lib/store.h"

static std::atomic<long> g_countdown{-1};  // allocations left before one fails; -1: never

void* operator new(size_t n) {
  if (g_countdown.load(std::memory_order_relaxed) >= 0 && g_countdown.fetch_sub(1) == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // the replaced new allocates with malloc
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace korvane;

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/korvane-batch-fault-XXXXXX";
    path = ::mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

std::string meta_of(int i) { return R"({"kind":"k)" + std::to_string(i % 5) + R"(","n":)" + std::to_string(i) + "}"; }

// Each later point reads back whole, in this store and after a reopen.
void expect_whole(Store& s, int from, int to) {
  for (int i = from; i < to; ++i) {
    auto p = s.get("late" + std::to_string(i));
    ASSERT_TRUE(p && *p) << i;
    EXPECT_EQ((*p)->metadata, meta_of(i));
  }
}

TEST(AddManyFault, AFailedBatchLeavesTheStoreWhole) {
  for (long after : {10L, 300L, 3000L, 20000L, 60000L}) {
    TempDir d;
    std::vector<std::string> ids, metas;
    for (int i = 0; i < 3000; ++i) {
      ids.push_back("p" + std::to_string(i));
      metas.push_back(meta_of(i));
    }
    std::vector<NewPoint> batch;
    for (int i = 0; i < 3000; ++i) batch.push_back({ids[i], 0.001f * static_cast<float>(i % 100), 2.f, metas[i]});
    {
      auto opened = Store::open(d.path);
      ASSERT_TRUE(opened);
      auto s = *opened;
      size_t done = 0;
      uint64_t added = 0;
      g_countdown = after;
      try {
        (void)s->add_many(batch, &done, &added);
      } catch (const std::bad_alloc&) {
      }
      g_countdown = -1;
      for (int i = 0; i < 20; ++i) ASSERT_TRUE(s->add("late" + std::to_string(i), 1.f, 1.f, meta_of(i)));
      expect_whole(*s, 0, 20);
      // What the batch placed is found by its metadata, as one add per point would be.
      auto k3 = s->search_box({90.f, -180.f}, {-90.f, 180.f}, std::string_view(R"({"kind": "k3"})"));
      ASSERT_TRUE(k3);
      EXPECT_EQ(k3->size(), (done + 1) / 5 + 4) << after;  // k3: every fifth placed point, and 4 late ones
    }
    auto again = Store::open(d.path);
    ASSERT_TRUE(again);
    expect_whole(**again, 0, 20);
  }
}

}  // namespace
