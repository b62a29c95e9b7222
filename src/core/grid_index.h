// grid_index.h: the map from cell key to the ids filed under that cell, which also lists its
// border cells.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "core/bitmap.h"

namespace korvane {

// Cells are only ever added (a deleted point stays in its cell until vacuum, which builds a new
// map), so the border list is kept as cells are created.
//
// Border cells are row 0, rows from 18000 on, column 0 and columns from 36000 on. Every point
// outside the coordinate ranges (beyond +-90 or +-180, infinite or NaN) is filed under one of
// them, since rows and columns saturate; every other cell holds only points whose latitude and
// longitude lie within its own 0.01-degree bounds. A search that must not miss the odd points
// looks at the border cells as well, without scanning the whole map for them.
class GridIndex {
 public:
  using Map = absl::flat_hash_map<uint64_t, Bitmap>;

  static bool is_border(uint64_t key) {
    uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
    return row == 0 || row >= 18000 || col == 0 || col >= 36000;
  }

  // The cell's set, created empty when missing.
  Bitmap& operator[](uint64_t key) { return try_emplace(key, Bitmap()).first->second; }
  std::pair<Map::iterator, bool> try_emplace(uint64_t key, Bitmap&& b) {
    auto r = map_.try_emplace(key, std::move(b));
    if (r.second && is_border(key)) border_.push_back(key);
    return r;
  }

  Map::const_iterator find(uint64_t key) const { return map_.find(key); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }
  size_t size() const { return map_.size(); }
  size_t count(uint64_t key) const { return map_.count(key); }
  const Bitmap& at(uint64_t key) const { return map_.at(key); }
  void reserve(size_t n) { map_.reserve(n); }
  void prefetch(uint64_t key) const { map_.prefetch(key); }

  // The keys of the border cells, in the order they were created.
  const std::vector<uint64_t>& border_keys() const { return border_; }

 private:
  Map map_;
  std::vector<uint64_t> border_;
};

}  // namespace korvane
