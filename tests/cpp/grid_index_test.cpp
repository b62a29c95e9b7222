// The grid index against an ordered map: cells filed in random order (sparse inner cells, rows
// longer than a row entry holds inline, border cells far out), then lookups, every rectangle's
// listing, vacuum's one-pass build and a snapshot's load agree with the map, and the invariants
// hold. The blocks' arena gives out disjoint, aligned blocks and reuses released ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "core/grid_index.h"

using korvane::Bitmap;
using korvane::BlockArena;
using korvane::GridIndex;

namespace {

uint64_t key(uint32_t r, uint32_t c) { return GridIndex::key_of(r, c); }

uint64_t random_key(std::mt19937& g) {
  switch (g() % 6) {
    case 0: return key(9000 + g() % 3, 1 + g() % 35999);                // three long rows
    case 1: return key(g() % 18001, g() % 2 ? 0 : 36000 + g() % 5);      // border columns
    case 2: return key(g() % 2 ? 0 : 18000 + g() % 100000, uint32_t(g()));  // border rows
    default: return key(1 + g() % 17999, 1 + g() % 35999);              // sparse inner cells
  }
}

// A rectangle around a filed cell, of a random size up to the whole key space.
void random_rect(std::mt19937& g, uint64_t near, uint32_t* r0, uint32_t* r1, uint32_t* c0, uint32_t* c1) {
  uint64_t span[] = {0, 3, 60, 2000, 40000, uint64_t{1} << 33};
  uint64_t h = span[g() % 6], w = span[g() % 6];
  int64_t r = int64_t(near >> 32), c = int64_t(uint32_t(near));
  auto clamp = [](int64_t v) { return uint32_t(std::clamp<int64_t>(v, 0, UINT32_MAX)); };
  *r0 = clamp(r - int64_t(g() % (h + 1)));
  *r1 = clamp(r + int64_t(g() % (h + 1)));
  *c0 = clamp(c - int64_t(g() % (w + 1)));
  *c1 = clamp(c + int64_t(g() % (w + 1)));
  if (g() % 10 == 0) std::swap(*r0, *r1);  // an empty rectangle
}

std::map<uint64_t, std::vector<uint32_t>> listing(const GridIndex& grid) {
  std::map<uint64_t, std::vector<uint32_t>> out;
  grid.for_each([&](uint64_t k, const Bitmap& b) { EXPECT_TRUE(out.emplace(k, b.to_vector()).second); });
  return out;
}

}  // namespace

TEST(GridIndex, AgreesWithAnOrderedMap) {
  std::mt19937 g(7);
  for (int round = 0; round < 12; ++round) {
    GridIndex grid;
    std::map<uint64_t, std::vector<uint32_t>> model;
    // The last round passes the size from which the index keeps to huge pages.
    std::vector<uint64_t> keys(round == 11 ? GridIndex::kLargeCells + 3000 : 40 + g() % 4000);
    for (uint32_t id = 0; id < keys.size(); ++id) {
      keys[id] = g() % 4 == 0 && id > 0 ? keys[g() % id] : random_key(g);
      grid[keys[id]].add(id);
      model[keys[id]].push_back(id);
    }
    ASSERT_TRUE(grid.check_invariants());
    ASSERT_EQ(grid.size(), model.size());
    ASSERT_EQ(listing(grid), model);
    for (int q = 0; q < 200; ++q) {
      uint64_t k = q % 2 ? keys[g() % keys.size()] : random_key(g);
      const Bitmap* b = grid.find(k);
      ASSERT_EQ(b != nullptr, model.count(k) == 1);
      if (b != nullptr) EXPECT_EQ(b->to_vector(), model[k]);
    }
    for (int q = 0; q < 300; ++q) {
      uint32_t r0, r1, c0, c1;
      random_rect(g, keys[g() % keys.size()], &r0, &r1, &c0, &c1);
      std::vector<uint64_t> got, want;
      grid.for_each_in(r0, r1, c0, c1, [&](uint64_t k, const Bitmap&) { got.push_back(k); });
      for (const auto& [k, ids] : model) {
        uint32_t r = uint32_t(k >> 32), c = uint32_t(k);
        if (r >= r0 && r <= r1 && c >= c0 && c <= c1) want.push_back(k);
      }
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, want) << "rows " << r0 << ".." << r1 << " columns " << c0 << ".." << c1;
    }
    // A filed cell is never filed twice.
    EXPECT_FALSE(grid.insert(keys[0], Bitmap()));
    GridIndex bulk = GridIndex::of_points(keys);
    ASSERT_TRUE(bulk.check_invariants());
    EXPECT_EQ(listing(bulk), model);
    // A snapshot's cells, in any order; a repeated key is refused.
    std::vector<std::pair<uint64_t, Bitmap>> cells;
    for (const auto& [k, ids] : model) cells.emplace_back(k, Bitmap::of_sorted(ids.data(), ids.size()));
    std::shuffle(cells.begin(), cells.end(), g);
    GridIndex loaded;
    ASSERT_TRUE(GridIndex::of_cells(cells, &loaded));
    ASSERT_TRUE(loaded.check_invariants());
    EXPECT_EQ(listing(loaded), model);
    cells.clear();
    cells.emplace_back(keys[1], Bitmap());
    cells.emplace_back(keys[1], Bitmap());
    EXPECT_FALSE(GridIndex::of_cells(cells, &loaded));
  }
}

TEST(BlockArena, GivesDisjointBlocksAndReusesReleasedOnes) {
  std::mt19937 g(11);
  for (bool huge : {false, true}) {
    BlockArena arena;
    if (huge) arena.prefer_huge_pages();
    struct Live {
      char* p;
      size_t n;
      char fill;
    };
    std::vector<Live> live;
    for (int step = 0; step < 3000; ++step) {
      if (!live.empty() && g() % 3 == 0) {
        size_t k = g() % live.size();
        for (size_t i = 0; i < live[k].n; ++i) ASSERT_EQ(live[k].p[i], live[k].fill);
        arena.release(live[k].p, live[k].n);
        char* again = arena.allocate(live[k].n);  // the block just released, first of its class
        EXPECT_EQ(again, live[k].p);
        arena.release(again, live[k].n);
        live.erase(live.begin() + long(k));
        continue;
      }
      size_t n = g() % 5 == 0 ? 1 + g() % 1500000 : 1 + g() % 3000;
      char* p = arena.allocate(n);
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
      EXPECT_GE(BlockArena::class_bytes(n), n);
      char fill = char(step);
      std::memset(p, fill, n);
      live.push_back({p, n, fill});
    }
    std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) { return a.p < b.p; });
    for (size_t k = 1; k < live.size(); ++k) ASSERT_LE(live[k - 1].p + live[k - 1].n, live[k].p);
    for (const Live& l : live)
      for (size_t i = 0; i < l.n; i += 97) ASSERT_EQ(l.p[i], l.fill);
  }
}
