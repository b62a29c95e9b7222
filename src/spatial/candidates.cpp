// candidates.cpp: the allowed points filed under the cells of a few rectangles, the first step of
// every search.
#include <algorithm>

#include "core/radix_sort.h"
#include "core/cell_key.h"
#include "filter/filter.h"
#include "spatial/search.h"

namespace korvane {

CellRect cell_rect(float lat_lo, float lat_hi, float lon_lo, float lon_hi) {
  return {lat_row(lat_lo), lat_row(lat_hi), lon_col(lon_lo), lon_col(lon_hi)};
}

namespace {

constexpr uint64_t kGatherLimit = 4096;
// Up to this many candidates have their coordinates fetched as they are found.
constexpr uint64_t kPrefetchPoints = 64;

// The lone points of the one-point inner cells a small search meets, with the coordinates their
// cells keep. A cell that keeps none yet (its row was built in bulk) gets them from coords.bin,
// read once the fetches started for all of a search's candidates are in.
class LonePoints {
 public:
  LonePoints(const CoreIndex& ix, std::vector<Placed>* out) : ix_(ix), out_(out) {
    if (out_ != nullptr) out_->reserve(16);
  }
  // Point x of the cell `set` under `key`: true when it is taken here (the cell is inner and
  // holds it alone, and there is room to read it later if need be), else left to the caller.
  bool take(uint64_t key, const Bitmap& set, uint32_t x) {
    const uint32_t row = uint32_t(key >> 32);
    if (out_ == nullptr || GridIndex::is_border(row, uint32_t(key)) || set.cardinality() != 1) return false;
    const RowCells& rc = ix_.grid_index.row(row);
    const size_t j = rc.index_of(set);
    float lat, lon;
    if (rc.point(j, &lat, &lon)) {
      out_->push_back({x, lat, lon, uint32_t(j), &rc, rc.record_hint(j)});
      return true;
    }
    if (n_ == kPrefetchPoints) return false;
    ix_.prefetch_coords(x);
    todo_[n_++] = {&rc, j, x};
    return true;
  }
  void finish() {
    for (size_t k = 0; k < n_; ++k) {
      const Todo& t = todo_[k];
      auto [lat, lon] = ix_.get_coords(t.id);
      t.cells->keep_point(t.j, lat, lon);
      out_->push_back({t.id, lat, lon, uint32_t(t.j), t.cells, t.cells->record_hint(t.j)});
    }
    n_ = 0;
  }

 private:
  struct Todo {
    const RowCells* cells;
    size_t j;
    uint32_t id;
  };
  const CoreIndex& ix_;
  std::vector<Placed>* out_;
  Todo todo_[kPrefetchPoints];
  size_t n_ = 0;
};

// Drops the placed candidates `a` does not allow (deleted ones, for every live point).
void keep_allowed(const CoreIndex& ix, const Allowed& a, std::vector<Placed>* placed) {
  if (placed == nullptr || placed->empty() || (a.all_live && ix.deleted.empty())) return;
  auto gone = [&](const Placed& p) { return a.all_live ? ix.deleted.contains(p.id) : !a.set->contains(p.id); };
  placed->erase(std::remove_if(placed->begin(), placed->end(), gone), placed->end());
}

bool in_rects(const std::vector<CellRect>& rects, uint32_t row, uint32_t col) {
  for (const auto& r : rects)
    if (row >= r.r0 && row <= r.r1 && col >= r.c0 && col <= r.c1) return true;
  return false;
}

bool contains(const CellRect& a, const CellRect& b) {
  return a.r0 <= b.r0 && b.r1 <= a.r1 && a.c0 <= b.c0 && b.c1 <= a.c1;
}

// The occupied cells of the rectangles that `prune` keeps, each once: a rectangle inside another
// is skipped, and the cells of overlapping ones are sorted by key and their repeats dropped.
std::vector<std::pair<uint64_t, const Bitmap*>> cells_of(const CoreIndex& ix, const std::vector<CellRect>& rects,
                                                         const CellPrune* prune) {
  std::vector<std::pair<uint64_t, const Bitmap*>> cells;
  cells.reserve(32);  // a small search's, in one allocation
  size_t walked = 0;
  for (size_t k = 0; k < rects.size(); ++k) {
    const CellRect& r = rects[k];
    if (r.empty()) continue;
    bool covered = false;  // by a later rectangle, or an earlier one not itself covered
    for (size_t m = 0; m < rects.size() && !covered; ++m)
      covered = m != k && !rects[m].empty() && contains(rects[m], r) && (m > k || !contains(r, rects[m]));
    if (covered) continue;
    ++walked;
    ix.grid_index.for_each_in(r.r0, r.r1, r.c0, r.c1, [&](uint64_t key, const Bitmap& b) {
      if (prune == nullptr || prune->keep(uint32_t(key >> 32), uint32_t(key))) cells.push_back({key, &b});
    });
  }
  if (walked > 1) {
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  }
  return cells;
}

// The candidates within a.set (a's filter is left to the caller). With `live` given (a allows
// every live point), a small area's ids are listed there straight from its cells, less the
// deleted ones, and the returned set is empty.
Bitmap candidates_in(const CoreIndex& ix, const std::vector<CellRect>& rects, const Allowed& a,
                     const CellPrune* prune, std::vector<uint32_t>* live = nullptr,
                     std::vector<Placed>* placed = nullptr) {
  const Bitmap& allowed = *a.set;
  if (allowed.empty()) return Bitmap();
  std::vector<std::pair<uint64_t, const Bitmap*>> cells = cells_of(ix, rects, prune);
  if (cells.empty()) return Bitmap();
  if (allowed.cardinality() <= cells.size()) {
    // Fewer allowed points than cells to open: test the cell each one is filed under (the cell
    // of its coordinates).
    std::vector<uint32_t> ids = allowed.to_vector();
    std::vector<uint32_t> keep;
    ix.for_each_coords(ids, [&](uint32_t id, float lat, float lon) {
      if (in_rects(rects, lat_row(lat), lon_col(lon))) keep.push_back(id);
    });
    Bitmap out;
    out.add_many(keep.data(), keep.size());
    return out;
  }
  // A few hundred members in all (the common case of a small area): gathered and sorted, they
  // make plain arrays, which intersect and list faster than the bitsets a wide union builds.
  uint64_t total = 0;
  for (const auto& c : cells) total += c.second->cardinality();
  if (total <= kGatherLimit) {
    std::vector<uint32_t> ids;
    ids.reserve(static_cast<size_t>(total));
    // Few enough that their coordinates are worth fetching now, side by side.
    const bool ahead = total <= kPrefetchPoints;
    if (live == nullptr) placed = nullptr;
    LonePoints lone(ix, placed);
    for (const auto& [key, b] : cells) {
      b->for_each([&](uint32_t x) {
        if (lone.take(key, *b, x)) return;
        if (ahead) ix.prefetch_coords(x);
        ids.push_back(x);
      });
    }
    lone.finish();
    keep_allowed(ix, a, placed);
    radix_sort(ids);
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (live != nullptr) {
      // Cells keep deleted ids until vacuum; every other id they hold is live.
      if (!ix.deleted.empty())
        ids.erase(std::remove_if(ids.begin(), ids.end(), [&](uint32_t x) { return ix.deleted.contains(x); }),
                  ids.end());
      *live = std::move(ids);
      return Bitmap();
    }
    Bitmap found = Bitmap::of_sorted(ids.data(), ids.size());
    // Every filed id is live when nothing is deleted.
    if (a.all_live && ix.deleted.empty()) return found;
    return Bitmap::and_of(found, allowed);
  }
  std::vector<const Bitmap*> parts;
  parts.reserve(cells.size());
  for (const auto& c : cells) parts.push_back(c.second);
  Bitmap u = Bitmap::or_many(parts);
  u.and_with(allowed);
  return u;
}

}  // namespace

ResultFetch::~ResultFetch() {
  for (size_t k = 0; k < m_; ++k)
    if (uint64_t h = ix_.record_hint(lacking_[k]->id)) lacking_[k]->cells->keep_record_hint(lacking_[k]->j, h);
}

const CellPositions* cell_positions(const CoreIndex& ix, uint32_t row, uint32_t col, const RowCells& cells, size_t j,
                                    const std::vector<uint32_t>& members) {
  if (const CellPositions* p = cells.positions(j)) return p;
  CellPositions* made = CellPositions::make(uint32_t(members.size()));
  ix.for_each_coords(members, [&](uint32_t, float lat, float lon) {
    made->at[made->size++] = CellPositions::encode(row, col, lat, lon);
  });
  return cells.publish_positions(j, made);
}

std::vector<uint32_t> candidate_ids_near(const CoreIndex& ix, const std::vector<CellRect>& rects,
                                         const Allowed& allowed, const CellPrune& prune,
                                         std::vector<Placed>* placed) {
  const Bitmap& set = *allowed.set;
  if (set.empty()) return {};
  std::vector<std::pair<uint64_t, const Bitmap*>> cells = cells_of(ix, rects, &prune);
  // Fewer allowed points than cells: the allowed points' own cells are tested instead.
  if (set.cardinality() <= cells.size()) return candidate_ids(ix, rects, allowed, &prune);
  std::vector<uint32_t> ids, members;
  // A filter is evaluated over a set of candidates: the placed ones are only for a search without.
  if (allowed.filter != nullptr) placed = nullptr;
  LonePoints lone(ix, placed);
  for (const auto& [key, b] : cells) {
    uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
    if (b->tiny() || GridIndex::is_border(row, col)) {
      b->for_each([&](uint32_t x) {
        if (lone.take(key, *b, x)) return;
        if (ids.size() < kPrefetchPoints) ix.prefetch_coords(x);
        ids.push_back(x);
      });
      continue;
    }
    const RowCells& rc = ix.grid_index.row(row);
    size_t j = rc.lower_bound(col);
    b->to_vector(&members);
    const CellPositions* pos = cell_positions(ix, row, col, rc, j, members);
    if (pos->size != members.size()) {  // never, while the index keeps them in step
      ids.insert(ids.end(), members.begin(), members.end());
      continue;
    }
    uint32_t lo[2], hi[2];
    if (!prune.window(row, col, lo, hi)) continue;
    for (size_t k = 0; k < members.size(); ++k) {
      uint32_t w = pos->at[k], la = w >> 16, lo16 = w & 0xffff;
      if (la < lo[0] || la > hi[0] || lo16 < lo[1] || lo16 > hi[1]) continue;
      if (!prune.beyond(CellPositions::lat_of(row, w), CellPositions::lon_of(col, w))) ids.push_back(members[k]);
    }
  }
  lone.finish();
  keep_allowed(ix, allowed, placed);
  radix_sort(ids);
  if (allowed.unrestricted()) {
    // Cells keep deleted ids until vacuum; every other id they hold is live.
    if (!ix.deleted.empty())
      ids.erase(std::remove_if(ids.begin(), ids.end(), [&](uint32_t x) { return ix.deleted.contains(x); }), ids.end());
    return ids;
  }
  Bitmap cand = Bitmap::of_sorted(ids.data(), ids.size());
  cand.and_with(set);
  if (allowed.filter != nullptr && !cand.empty()) cand = evaluate_filter(ix, *allowed.filter, &cand);
  return cand.to_vector();
}

Bitmap candidates(const CoreIndex& ix, const std::vector<CellRect>& rects, const Allowed& allowed,
                  const CellPrune* prune) {
  Bitmap cand = candidates_in(ix, rects, allowed, prune);
  if (allowed.filter != nullptr && !cand.empty()) cand = evaluate_filter(ix, *allowed.filter, &cand);
  return cand;
}

std::vector<uint32_t> candidate_ids(const CoreIndex& ix, const std::vector<CellRect>& rects,
                                    const Allowed& allowed, const CellPrune* prune, std::vector<Placed>* placed) {
  if (allowed.unrestricted()) {
    std::vector<uint32_t> ids;
    Bitmap cand = candidates_in(ix, rects, allowed, prune, &ids, placed);
    if (!cand.empty()) cand.to_vector(&ids);
    return ids;
  }
  return candidates(ix, rects, allowed, prune).to_vector();
}

BlockCounts count_blocks(const CoreIndex& ix, const Bitmap& set) {
  BlockCounts out;
  std::vector<uint32_t> ids = set.to_vector();
  std::vector<uint32_t> block_of(ids.size());
  constexpr uint32_t kNone = UINT32_MAX, C = BlockCounts::kBlockCells;
  size_t j = 0;
  ix.for_each_coords(ids, [&](uint32_t id, float lat, float lon) {
    uint32_t row = lat_row(lat), col = lon_col(lon);
    if (GridIndex::is_border(row, col)) {
      block_of[j++] = kNone;
      out.border.push_back(id);
    } else {
      block_of[j++] = row / C * BlockCounts::kBlockCols + col / C;
      out.add(row, col, 1);
    }
  });
  // A counting sort by block keeps each block's ids ascending.
  out.starts.assign(BlockCounts::kBlockRows * BlockCounts::kBlockCols + 1, 0);
  for (uint32_t b : block_of)
    if (b != kNone) ++out.starts[b + 1];
  for (size_t b = 1; b < out.starts.size(); ++b) out.starts[b] += out.starts[b - 1];
  out.ids.resize(ids.size() - out.border.size());
  std::vector<uint32_t> at(out.starts.begin(), out.starts.end() - 1);
  for (size_t i = 0; i < ids.size(); ++i)
    if (block_of[i] != kNone) out.ids[at[block_of[i]]++] = ids[i];
  return out;
}

}  // namespace korvane
