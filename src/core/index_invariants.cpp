// index_invariants.cpp: the checks of the rules core_index.h states for the index's fields.
#include <cstring>
#include <vector>

#include "core/core_index.h"

namespace korvane {

namespace {

bool below(const Bitmap& b, uint64_t n) { return b.empty() || b.maximum() < n; }

}  // namespace

bool index_sets_consistent(const IndexSets& s) {
  const Bitmap& valid_ids = s.valid_ids;
  if (valid_ids.intersects(s.deleted)) return false;
  uint64_t n = s.allocated();
  if (n > uint64_t{UINT32_MAX} + 1) return false;
  // Disjoint, all below N and N members in all: exactly 0..N-1.
  if (!below(valid_ids, n) || !below(s.deleted, n)) return false;
  for (const auto& [name, bsi] : s.num_index) {
    if (bsi.top_bit > 31) return false;
    if (!bsi.existence.is_subset_of(valid_ids)) return false;
    for (int i = 0; i < 32; ++i) {
      if (!bsi.slices[i].is_subset_of(bsi.existence)) return false;
      if (i > bsi.top_bit && !bsi.slices[i].empty()) return false;
    }
  }
  for (const auto& [name, values] : s.str_index)
    for (const auto& [text, b] : values)
      if (!below(b, n)) return false;
  // Every allocated id is filed under exactly one cell (deletion leaves it there until vacuum):
  // the cells' members are below N, N of them in all, none twice.
  bool cells_below = true;
  uint64_t filed = 0;
  s.grid_index.for_each([&](uint64_t, const Bitmap& b) {
    cells_below = cells_below && below(b, n);
    filed += b.cardinality();
  });
  if (!cells_below || filed != n) return false;
  std::vector<uint64_t> seen(static_cast<size_t>(n / 64 + 1), 0);
  bool once = true;
  s.grid_index.for_each([&](uint64_t, const Bitmap& b) {
    if (!once) return;
    b.for_each([&](uint32_t i) {
      uint64_t bit = uint64_t{1} << (i % 64);
      once = once && (seen[i / 64] & bit) == 0;
      seen[i / 64] |= bit;
    });
  });
  return once;
}

bool CoreIndex::check_invariants() const {
  if (!index_sets_consistent(*this)) return false;
  if (allocated() > capacity) return false;
  if (ext_to_int.size() != valid_ids.cardinality()) return false;
  // A block's count may exceed its live points (a deletion the files did not let it take back),
  // never fall below them: searches pass over a block that counts none.
  std::vector<uint32_t> live = grid_index.live_per_block(deleted);
  for (uint32_t b = 0; b < live.size(); ++b)
    if (grid_index.blocks().block(b / BlockCounts::kBlockCols, b % BlockCounts::kBlockCols) < live[b]) return false;
  Bitmap named;
  for (const auto& [h, i] : ext_to_int)
    if (!valid_ids.contains(i) || !named.add_checked(i)) return false;
  // A cell that keeps its lone point's coordinates keeps them exactly as coords.bin holds them.
  for (uint32_t r = grid_index.next_row(1, GridIndex::kBorderRow - 1); r != 0;
       r = grid_index.next_row(r + 1, GridIndex::kBorderRow - 1)) {
    const RowCells& cells = grid_index.row(r);
    for (size_t j = 0; j < cells.size(); ++j) {
      float lat, lon;
      if (!cells.point(j, &lat, &lon)) continue;
      uint32_t i = cells.ids(j).maximum();
      if (i >= capacity) return false;
      auto [flat, flon] = get_coords(i);
      if (std::memcmp(&flat, &lat, 4) != 0 || std::memcmp(&flon, &lon, 4) != 0) return false;
    }
  }
  return true;
}

}  // namespace korvane
