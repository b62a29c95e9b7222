// search.h: the four spatial searches over the grid. Each takes the allowed set (the filter's
// result, or valid_ids) and returns internal ids; the caller fetches ids and metadata texts.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/bitmap.h"
#include "core/core_index.h"
#include "core/json.h"
#include "core/radix_sort.h"

namespace korvane {

// The ids a search may return: `set`, narrowed by `filter` when one is given. The filter is
// evaluated lazily, within the search's spatial candidates, which costs far less than evaluating
// it over the whole index and gives the same result.
struct Allowed {
  const Bitmap* set;
  const Json* filter = nullptr;
  // `set` is every live point (the index's valid_ids): narrowing by it changes nothing.
  bool all_live = false;
  // What a filter is evaluated within: nothing more than the index when `set` is every live point.
  const Bitmap* restriction() const { return all_live ? nullptr : set; }
  // Every live point, with no filter.
  bool unrestricted() const { return all_live && filter == nullptr; }
  // The allowed points per block, when counted (for `set`, with no filter); else the grid's
  // live points per block, never fewer.
  const BlockCounts* blocks = nullptr;
  const BlockCounts& counts(const CoreIndex& ix) const { return blocks != nullptr ? *blocks : ix.grid_index.blocks(); }
};

// The points of `set` per block, by where their coordinates file them, and their ids listed.
BlockCounts count_blocks(const CoreIndex& ix, const Bitmap& set);

struct Hit {
  uint32_t id;
  float dist;
};

// A rectangle of cells: rows r0..r1 and columns c0..c1, inclusive.
struct CellRect {
  uint32_t r0, r1, c0, c1;
  bool empty() const { return r0 > r1 || c0 > c1; }
};
CellRect cell_rect(float lat_lo, float lat_hi, float lon_lo, float lon_hi);

// Cells a search may pass over: keep() is false only for cells under which no point can be an
// answer; beyond() is true only for places where no point within a few metres of them can be.
class CellPrune {
 public:
  virtual ~CellPrune() = default;
  virtual bool keep(uint32_t row, uint32_t col) const = 0;
  virtual bool beyond(double lat, double lon) const = 0;
  // For an inner cell, the positions in it (CellPositions' offsets) that may hold an answer:
  // latitude offsets lo[0]..hi[0] and longitude offsets lo[1]..hi[1]. Every point placed outside
  // by its position is beyond(). False when no position of the cell can hold one.
  virtual bool window(uint32_t row, uint32_t col, uint32_t lo[2], uint32_t hi[2]) const = 0;
};

// The allowed ids filed under any cell of the rectangles (less the cells `prune` passes over).
// Opens the occupied cells of the rectangles only, or tests the allowed ids' own cells when they
// are fewer than the occupied cells; both give the same set.
Bitmap candidates(const CoreIndex& ix, const std::vector<CellRect>& rects, const Allowed& allowed,
                  const CellPrune* prune = nullptr);

// A candidate whose coordinates came with its cell, which holds it alone (RowCells::point), and
// that cell's record hint (0: none yet).
struct Placed {
  uint32_t id;
  float lat, lon;
  uint32_t j;  // the cell, of `cells`
  const RowCells* cells;
  uint64_t hint;
};

// The same candidates as ascending ids (without a filter, over every live point, listed without
// building a set when the area is small). With `placed` given, the lone points of one-point cells
// may come there instead, with their coordinates, in no particular order (each candidate comes
// once, in one list or the other): a search then reads coords.bin only for the rest.
std::vector<uint32_t> candidate_ids(const CoreIndex& ix, const std::vector<CellRect>& rects,
                                    const Allowed& allowed, const CellPrune* prune = nullptr,
                                    std::vector<Placed>* placed = nullptr);

// The same candidates, less points that `prune.beyond` places certainly outside the answer by
// where they lie within their cells (read in sequence, before any stored coordinates are). Only
// for a prune whose beyond() holds for points moved by a few centimetres. `placed` as above.
std::vector<uint32_t> candidate_ids_near(const CoreIndex& ix, const std::vector<CellRect>& rects,
                                         const Allowed& allowed, const CellPrune& prune,
                                         std::vector<Placed>* placed = nullptr);

// A small search's answers as it finds them: the first kPrefetchResults have their records sent
// for at once, straight from a lone point's record hint or else by their slots, and the hints
// their cells lack are made at the end, from the slots then in (the records are read by those
// slots next, so the wait is only moved).
class ResultFetch {
 public:
  static constexpr size_t kPrefetchResults = 64;
  explicit ResultFetch(const CoreIndex& ix) : ix_(ix) {}
  ResultFetch(const ResultFetch&) = delete;
  ResultFetch& operator=(const ResultFetch&) = delete;
  ~ResultFetch();
  void found(uint32_t id) {
    if (n_++ < kPrefetchResults) ix_.prefetch_slots(id);
  }
  void found(const Placed& p) {
    if (n_++ >= kPrefetchResults) return;
    // The slots as well: the records are read by them.
    ix_.prefetch_slots(p.id);
    if (p.hint != 0)
      ix_.prefetch_hinted(p.hint);
    else
      lacking_[m_++] = &p;
  }

 private:
  const CoreIndex& ix_;
  size_t n_ = 0, m_ = 0;
  const Placed* lacking_[kPrefetchResults];
};

// The candidates a search keeps by `inside(lat, lon)`, placed ones and the rest (whose coordinates
// are read from coords.bin), in ascending id, each answer's records sent for as it is found.
template <class Inside>
std::vector<uint32_t> answers(const CoreIndex& ix, const std::vector<Placed>& placed, const std::vector<uint32_t>& ids,
                              Inside&& inside) {
  std::vector<uint32_t> out;
  ResultFetch fetch(ix);
  for (const Placed& p : placed)
    if (inside(p.lat, p.lon)) {
      fetch.found(p);
      out.push_back(p.id);
    }
  ix.for_each_coords(ids, [&](uint32_t id, float lat, float lon) {
    if (inside(lat, lon)) {
      fetch.found(id);
      out.push_back(id);
    }
  });
  if (!placed.empty()) radix_sort(out);
  return out;
}

// Where the points of crowded inner cell j of `cells` (row, col), whose ids are `members`, lie
// within it: made from their stored coordinates by the first search that asks (under the shared
// lock: searches may race to make them), then kept in step by inserts until the cell changes
// otherwise.
const CellPositions* cell_positions(const CoreIndex& ix, uint32_t row, uint32_t col, const RowCells& cells, size_t j,
                                    const std::vector<uint32_t>& members);

// Points within radius_m of the query, nearest first, ties in ascending internal id.
std::vector<Hit> search_radius(const CoreIndex& ix, float lat, float lon, float radius_m,
                               const Allowed& allowed);
// Up to k points by the ring walk (approximate by design), nearest first.
// With max_m, only points at most max_m metres away count (a NaN or negative max_m: none).
std::vector<Hit> search_knn(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed,
                            std::optional<float> max_m = std::nullopt);
// The k allowed points nearest by the float distance, exactly (all of them when fewer): ascending
// distance, ties in ascending internal id, NaN distances last.
// With max_m, the k nearest of the points at most max_m metres away.
std::vector<Hit> search_knn_exact(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed,
                                  std::optional<float> max_m = std::nullopt);
// Points inside the box, inclusive bounds, ascending internal id.
std::vector<uint32_t> search_box(const CoreIndex& ix, float north, float west, float south, float east,
                                 const Allowed& allowed);
// Points inside the polygon by even-odd ray casting, ascending internal id. Requires >= 3 vertices.
std::vector<uint32_t> search_polygon(const CoreIndex& ix, const std::vector<std::pair<float, float>>& pts,
                                     const Allowed& allowed);
// Test every candidate of search_polygon edge after edge, as the rule is written (a switch for
// measuring the edge index against it; the answers are the same).
void set_plain_polygons(bool on);
struct Shape;
// Points inside a GeoJSON shape (shapes.h), ascending internal id.
std::vector<uint32_t> search_shape(const CoreIndex& ix, const Shape& shape, const Allowed& allowed);

}  // namespace korvane
