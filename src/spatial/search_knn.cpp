// Nearest-neighbour search by a walk over square rings of cells around the query's cell, with a
// max-heap of the best k. Approximate by design: the walk stops when the farthest kept distance
// is below the ring's distance bound, at the first empty ring from ring 5 on, or after ring 199;
// a heap still short of k after ring 199 is filled by measuring every other allowed point. A point
// whose distance is NaN (a NaN or infinite coordinate, stored or asked) is never kept: the result
// holds min(k, allowed points at a distance).
//
// With few allowed points the walk is replayed from the points instead of the cells: each point's
// ring and position in walk order follow from its cell, so the same points are measured in the
// same order and the same stops are taken, without looking up the ~160000 cells of 200 rings.
// (A kept filter result lists its points by block: only those under the rings are replayed.)
//
// The fallback scan is not run point by point: the exact search (search_knn_exact.cpp) finds
// the points it would end with, passing over empty space a block at a time (see fallback()).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

#include "core/radix_sort.h"
#include "filter/filter.h"
#include "core/cell_key.h"
#include "spatial/distance.h"
#include "spatial/search.h"

namespace korvane {
namespace {

constexpr int kLastRing = 199;
constexpr int kMinRings = 5;
// Below this many allowed points the walk is replayed from the points.
constexpr uint64_t kReplayLimit = 20000;

float ring_bound(int r) {
  double b = static_cast<double>(r + 1) * 0.01 * 111111.0;
  return static_cast<float>(b) * 0.7f;
}

// A max-heap on distance with plain float comparisons (NaN compares neither way), written out
// so that inconsistent comparisons can never take it out of bounds.
class BestHeap {
 public:
  BestHeap(uint64_t k, std::optional<float> limit) : k_(k), limit_(limit) {}
  bool full() const { return h_.size() >= k_; }
  float top() const { return h_.front().dist; }
  const std::optional<float>& limit() const { return limit_; }
  // False for a distance beyond the limit, which is dropped (and counts as no point at all).
  bool offer(float d, uint32_t id) {
    if (limit_ && !(d <= *limit_)) return false;
    if (!full()) {
      h_.push_back({id, d});
      up(h_.size() - 1);
    } else if (d < h_.front().dist) {  // a tie with the top never displaces it
      h_.front() = {id, d};
      down(0);
    }
    return true;
  }
  std::vector<Hit> take() { return std::move(h_); }

 private:
  void up(size_t i) {
    while (i > 0) {
      size_t p = (i - 1) / 2;
      if (!(h_[p].dist < h_[i].dist)) break;
      std::swap(h_[p], h_[i]);
      i = p;
    }
  }
  void down(size_t i) {
    size_t n = h_.size();
    for (;;) {
      size_t l = 2 * i + 1, r = l + 1, m = i;
      if (l < n && h_[m].dist < h_[l].dist) m = l;
      if (r < n && h_[m].dist < h_[r].dist) m = r;
      if (m == i) break;
      std::swap(h_[m], h_[i]);
      i = m;
    }
  }
  uint64_t k_;
  std::optional<float> limit_;
  std::vector<Hit> h_;
};

// Offers a point to the heap. Once the heap is full, a point whose latitude alone puts it at
// least as far as the farthest kept one is passed over without measuring: it would be dropped.
// The bound R * |dlat| holds for the float distance with a 1% allowance when both latitudes are
// within [-90, 90] (where the haversine grows with |dlat|), and it is only used beyond 1 km,
// where the float formula's rounding cannot undercut it by that much.
struct Query {
  float lat, lon, qcos;
  bool in_range;
  explicit Query(float la, float lo) : lat(la), lon(lo), qcos(query_cos(la)), in_range(la >= -90.0f && la <= 90.0f) {}
};

// False when the point lies beyond the heap's limit (then it is no point for the walk's stops).
// With a limit, the same bound passes over the points it places beyond the limit.
inline bool measure(const Query& q, float plat, float plon, uint32_t id, BestHeap& heap) {
  const std::optional<float>& limit = heap.limit();
  if ((heap.full() || limit) && q.in_range && plat >= -90.0f && plat <= 90.0f) {
    double bound = 0.99 * 6371000.0 * std::fabs(double(plat) - double(q.lat)) * (M_PI / 180.0);
    if (bound > 1000.0) {
      if (limit && bound > double(*limit)) return false;
      if (!limit && heap.full() && bound >= double(heap.top())) return true;
    }
  }
  // A point at no distance (NaN: a coordinate NaN or infinite) is nobody's neighbour.
  float d = distance_m(q.lat, q.lon, q.qcos, plat, plon);
  if (d != d) return !limit;
  return heap.offer(d, id);
}

// With a limit: true when no point of ring r + 1 or beyond can be within it, by the sphere's
// distance less the float formula's rounding. A point of those rings is more than r cells from
// the query's cell in latitude, or in longitude; in longitude, its distance is at least that of
// the great circle across the meridian it lies on, from the point's latitude, which is itself
// within the limit of the query's.
bool beyond_limit(const Query& q, const BestHeap& heap, int r) {
  if (!heap.limit() || !q.in_range || !(q.lon >= -180.0f && q.lon <= 180.0f)) return false;
  constexpr double kR = 6371000.0, kRad = M_PI / 180.0;
  double limit = double(*heap.limit());
  double gap = std::max(0.0, double(r) * 0.01 - 1e-9) * kRad;
  double far_lat = std::min(90.0, std::fabs(double(q.lat)) + limit / kR / kRad);
  double c = std::sqrt(std::max(0.0, std::cos(double(q.lat) * kRad) * std::cos(far_lat * kRad)));
  double across = 2.0 * kR * std::asin(std::min(1.0, c * std::sin(std::min(gap, M_PI) / 2.0)));
  double floor = std::min(kR * gap, across) * (1.0 - 1e-4) - 20.0;
  return floor > limit;
}

// After ring r: true when the walk stops.
bool stop_after(const BestHeap& heap, int r, bool found) {
  if (heap.full()) {
    if (r == kLastRing) return true;
    if (heap.top() < ring_bound(r)) return true;
    return r >= kMinRings && !found;
  }
  return r == kLastRing;
}

void sort_hits(std::vector<Hit>& v) {
  // No distance is NaN: measure() never keeps one.
  std::sort(v.begin(), v.end(), [](const Hit& a, const Hit& b) {
    if (a.dist != b.dist) return a.dist < b.dist;
    return a.id < b.id;
  });
}

// The fallback scan, after ring 199 with fewer than k points kept: it would offer every other
// allowed point in ascending id, and end holding the kept points and the nearest others. Those
// are found by the exact search instead, which passes over empty space a block at a time: its
// k + kept nearest allowed points hold the k nearest of the points not kept (whatever the kept
// ones are). Where distances tie at the last place, the kept points come first, then ascending
// ids: each point taken so is one the scan would have admitted.
std::vector<Hit> fallback(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed,
                          BestHeap& heap) {
  std::optional<float> limit = heap.limit();
  std::vector<Hit> kept = heap.take();
  uint64_t want = k > UINT64_MAX - kept.size() ? UINT64_MAX : k + kept.size();  // k may be 2^64 - 1
  std::vector<Hit> near = search_knn_exact(ix, lat, lon, want, allowed, limit);
  std::vector<uint32_t> kept_ids;
  for (const Hit& h : kept) kept_ids.push_back(h.id);
  std::sort(kept_ids.begin(), kept_ids.end());
  struct Ranked {
    float dist;
    bool other;
    uint32_t id;
  };
  std::vector<Ranked> all;
  for (const Hit& h : kept) all.push_back({h.dist, false, h.id});
  for (const Hit& h : near)
    if (!std::binary_search(kept_ids.begin(), kept_ids.end(), h.id)) all.push_back({h.dist, true, h.id});
  std::sort(all.begin(), all.end(), [](const Ranked& a, const Ranked& b) {
    return std::tie(a.dist, a.other, a.id) < std::tie(b.dist, b.other, b.id);
  });
  std::vector<Hit> out;
  for (size_t j = 0; j < all.size() && j < k; ++j) out.push_back({all[j].id, all[j].dist});
  return out;
}

// The occupied cells of the rings around the query's cell, ring after ring, each ring's in walk
// order, without looking at an empty cell. A row is searched once, when the walk first reaches
// it (as the north or south edge of a ring): its cells inside that ring belong to the ring, and
// of the others it keeps the nearest one west and the nearest one east, each waiting in the list
// of the ring that will reach it (the ring of its column distance); when that ring is walked the
// cell is taken and the next one beyond it waits in turn. Border cells within reach of the walk
// (none, unless points lie outside the coordinate ranges or at their very edges) are listed at
// the start. A ring costs two row searches and the occupied cells it holds, whatever its size.
class RingCells {
 public:
  RingCells(const GridIndex& g, int64_t qrow, int64_t qcol) : g_(g), qrow_(qrow), qcol_(qcol) {
    std::fill(std::begin(head_), std::end(head_), -1);
    if (!g.has_border_cells()) return;
    int64_t r0 = std::max<int64_t>(0, qrow - kLastRing), r1 = std::min<int64_t>(INT32_MAX, qrow + kLastRing);
    int64_t c0 = std::max<int64_t>(0, qcol - kLastRing), c1 = std::min<int64_t>(INT32_MAX, qcol + kLastRing);
    if (r0 > r1 || c0 > c1) return;
    g.for_each_border_in(uint32_t(r0), uint32_t(r1), uint32_t(c0), uint32_t(c1), [&](uint64_t key, const Bitmap& b) {
      int64_t dr = int64_t(key >> 32) - qrow, dc = int64_t(uint32_t(key)) - qcol;
      border_.push_back({std::max(std::llabs(dr), std::llabs(dc)), key, &b});
    });
    std::sort(border_.begin(), border_.end(), [](const Border& a, const Border& b) { return a.ring < b.ring; });
  }

  // The cells of ring r, to be called for r = 0, 1, 2, ... in turn: the rows from north to south
  // (ascending row), each from west to east (ascending column).
  void ring(int r, std::vector<const Bitmap*>* out) {
    found_.clear();
    for (int dr : {-r, r}) {
      enter_row(dr, r);
      if (r == 0) break;
    }
    for (int node = head_[r]; node >= 0;) {
      int after = next_[node];  // wait() links the node into a later list
      int slot = node / 2, j = cursor_[node];
      take(slot, j);
      wait(node, node % 2 == 0 ? j - 1 : j + 1);
      node = after;
    }
    for (; border_at_ < border_.size() && border_[border_at_].ring == r; ++border_at_)
      found_.push_back({border_[border_at_].key, border_[border_at_].ids});
    if (found_.size() > 1) std::sort(found_.begin(), found_.end());
    out->clear();
    for (const auto& f : found_) out->push_back(f.second);
  }

 private:
  static constexpr int kSlots = 2 * kLastRing + 1;  // rows qrow - 199 .. qrow + 199

  int64_t row_of(int slot) const { return qrow_ + slot - kLastRing; }
  void take(int slot, int j) {
    const RowCells& cells = *rows_[slot];
    found_.push_back({GridIndex::key_of(uint32_t(row_of(slot)), cells.col(size_t(j))), &cells.ids(size_t(j))});
  }

  // Row qrow + dr, reached by ring r = |dr|: its cells within the ring now, the others later.
  void enter_row(int dr, int r) {
    int64_t row = qrow_ + dr;
    if (row < 1 || row >= GridIndex::kBorderRow) return;  // border rows are in border_
    const RowCells& cells = g_.row(uint32_t(row));
    if (cells.empty()) return;
    int slot = dr + kLastRing;
    rows_[slot] = &cells;
    int64_t lo = std::clamp<int64_t>(qcol_ - r, 0, GridIndex::kBorderCol), hi = qcol_ + r;
    int j = int(cells.lower_bound(uint32_t(lo)));
    wait(2 * slot, j - 1);
    for (; size_t(j) < cells.size() && int64_t(cells.col(size_t(j))) <= hi; ++j) take(slot, j);
    wait(2 * slot + 1, j);
  }

  // Cell j of the node's row (when it exists) waits for the ring that reaches its column.
  void wait(int node, int j) {
    const RowCells& cells = *rows_[node / 2];
    if (j < 0 || size_t(j) >= cells.size()) return;
    int64_t ring = std::llabs(int64_t(cells.col(size_t(j))) - qcol_);
    if (ring > kLastRing) return;
    cursor_[node] = j;
    next_[node] = head_[ring];
    head_[ring] = node;
  }

  struct Border {
    int64_t ring;
    uint64_t key;
    const Bitmap* ids;
  };
  const GridIndex& g_;
  const int64_t qrow_, qcol_;
  // Lists of waiting cells per ring, through next_; a node is a row's west (2 * slot) or east
  // (2 * slot + 1) side, and waits in one list at a time.
  int head_[kLastRing + 1];
  int next_[2 * kSlots];
  int cursor_[2 * kSlots];
  const RowCells* rows_[kSlots];  // the rows reached, by slot
  std::vector<Border> border_;
  size_t border_at_ = 0;
  std::vector<std::pair<uint64_t, const Bitmap*>> found_;
};

// The allowed set as the walk needs it. Without a filter it is fixed. With one, the filter is
// evaluated ring by ring over the ring's own cells, which is all the walk sees of it (the walk
// itself does that, see walk_cells); from kGlobalRing on it is evaluated over the whole index.
constexpr int kGlobalRing = 24;

using Limit = std::optional<float>;
std::vector<Hit> replay_walk(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed, Limit lim);
std::vector<Hit> all_allowed(const CoreIndex& ix, float lat, float lon, const Bitmap& allowed, Limit lim);

std::vector<Hit> walk_cells(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& a, Limit lim) {
  const int64_t qrow = lat_row_signed(lat), qcol = lon_col_signed(lon);
  const Query q(lat, lon);
  BestHeap heap(k, lim);
  // The filter's whole result, once the walk reaches kGlobalRing (or the set itself without one).
  Bitmap global;
  const Bitmap* whole = a.filter == nullptr ? a.set : nullptr;
  std::vector<uint32_t> ids, ring_ids;
  std::vector<const Bitmap*> cells;
  RingCells rings(ix.grid_index, qrow, qcol);
  for (int r = 0; r <= kLastRing; ++r) {
    if (whole == nullptr && r >= kGlobalRing) {
      global = evaluate_filter(ix, *a.filter, a.restriction());
      whole = &global;
      // The filter's whole result is known now; with few points the replay (from the start)
      // is cheaper than walking on, and walks the same way.
      uint64_t n = global.cardinality();
      if (n <= k) return all_allowed(ix, lat, lon, global, lim);
      if (n <= kReplayLimit) return replay_walk(ix, lat, lon, k, Allowed{&global}, lim);
    }
    bool found = false;
    rings.ring(r, &cells);
    // Before kGlobalRing a filter is evaluated within the ring's cells.
    Bitmap ring_allowed;
    if (whole == nullptr) {
      ring_ids.clear();
      for (const Bitmap* c : cells) c->for_each([&](uint32_t x) { ring_ids.push_back(x); });
      if (!ring_ids.empty()) {
        radix_sort(ring_ids);
        Bitmap ring = Bitmap::of_sorted(ring_ids.data(), ring_ids.size());
        if (!a.all_live) ring.and_with(*a.set);
        ring_allowed = evaluate_filter(ix, *a.filter, &ring);
      }
    }
    const Bitmap& allowed = whole != nullptr ? *whole : ring_allowed;
    if (allowed.empty()) {
      if (stop_after(heap, r, false) || beyond_limit(q, heap, r)) break;
      continue;
    }
    for (const Bitmap* c : cells) {
      const Bitmap& cell = *c;
      // The cell's allowed ids, ascending: a tiny cell is checked member by member.
      if (cell.tiny()) {
        ids.clear();
        cell.for_each([&](uint32_t x) {
          if (allowed.contains(x)) ids.push_back(x);
        });
      } else {
        Bitmap::and_of(cell, allowed).to_vector(&ids);
      }
      if (ids.empty()) continue;
      ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) {
        found = measure(q, plat, plon, i, heap) || found;
      });
    }
    if (beyond_limit(q, heap, r)) break;
    if (stop_after(heap, r, found)) {
      if (!heap.full() && r == kLastRing) {
        Allowed rest{whole, nullptr, whole == a.set && a.all_live};
        if (whole == a.set) rest.blocks = a.blocks;
        return fallback(ix, lat, lon, k, rest, heap);
      }
      break;
    }
  }
  return heap.take();
}

// The points the walk can reach, in walk order; the others are left to the fallback. With the
// allowed points listed by block, only the blocks under rings 0..199 (and the points of no
// block) are looked at.
std::vector<Hit> replay_walk(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed, Limit lim) {
  const int64_t qrow = lat_row_signed(lat), qcol = lon_col_signed(lon);
  const Query q(lat, lon);
  struct Pt {
    int ring, dr, dc;
    uint32_t id;
  };
  std::vector<Pt> walk;
  std::vector<uint32_t> ids;
  const BlockCounts* listed = allowed.blocks != nullptr && allowed.blocks->listed() ? allowed.blocks : nullptr;
  if (listed == nullptr) {
    allowed.set->to_vector(&ids);
  } else {
    constexpr int64_t C = BlockCounts::kBlockCells;
    int64_t r0 = std::max<int64_t>(1, qrow - kLastRing), r1 = std::min<int64_t>(GridIndex::kBorderRow - 1, qrow + kLastRing);
    int64_t c0 = std::max<int64_t>(1, qcol - kLastRing), c1 = std::min<int64_t>(GridIndex::kBorderCol - 1, qcol + kLastRing);
    for (int64_t br = r0 / C; r0 <= r1 && br <= r1 / C; ++br)
      for (int64_t bc = c0 / C; c0 <= c1 && bc <= c1 / C; ++bc) {
        size_t b = size_t(br * BlockCounts::kBlockCols + bc);
        ids.insert(ids.end(), listed->ids.begin() + listed->starts[b], listed->ids.begin() + listed->starts[b + 1]);
      }
    ids.insert(ids.end(), listed->border.begin(), listed->border.end());
  }
  ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) {
    int64_t row = lat_row(plat), col = lon_col(plon);
    int64_t dr = row - qrow, dc = col - qcol;
    int64_t ring = std::max(std::llabs(dr), std::llabs(dc));
    if (row <= INT32_MAX && col <= INT32_MAX && ring <= kLastRing) walk.push_back({int(ring), int(dr), int(dc), i});
  });
  std::sort(walk.begin(), walk.end(), [](const Pt& a, const Pt& b) {
    return std::tie(a.ring, a.dr, a.dc, a.id) < std::tie(b.ring, b.dr, b.dc, b.id);
  });
  BestHeap heap(k, lim);
  size_t next = 0;
  for (int r = 0; r <= kLastRing; ++r) {
    bool found = false;
    for (; next < walk.size() && walk[next].ring == r; ++next) {
      auto [plat, plon] = ix.get_coords(walk[next].id);
      found = measure(q, plat, plon, walk[next].id, heap) || found;
    }
    if (beyond_limit(q, heap, r)) break;
    if (stop_after(heap, r, found)) {
      if (!heap.full() && r == kLastRing) return fallback(ix, lat, lon, k, allowed, heap);
      break;
    }
  }
  return heap.take();
}

std::vector<Hit> all_allowed(const CoreIndex& ix, float lat, float lon, const Bitmap& allowed, Limit lim) {
  // With no more allowed points than k the heap never fills: the walk ends after ring 199 and
  // the scan measures the rest, so the result is every allowed point.
  const float qcos = query_cos(lat);
  std::vector<Hit> out;
  std::vector<uint32_t> ids = allowed.to_vector();
  ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) {
    float d = distance_m(lat, lon, qcos, plat, plon);
    if (d == d && (!lim || d <= *lim)) out.push_back({i, d});
  });
  return out;
}

}  // namespace

std::vector<Hit> search_knn(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed,
                            std::optional<float> max_m) {
  if (k == 0 || (max_m && !(*max_m >= 0.0f))) return {};
  std::vector<Hit> out;
  if (allowed.filter != nullptr) {
    out = walk_cells(ix, lat, lon, k, allowed, max_m);
  } else {
    uint64_t n = allowed.set->cardinality();
    if (n <= k && !max_m)
      out = all_allowed(ix, lat, lon, *allowed.set, max_m);
    else if (n <= kReplayLimit)
      out = replay_walk(ix, lat, lon, k, allowed, max_m);
    else
      out = walk_cells(ix, lat, lon, k, allowed, max_m);
  }
  sort_hits(out);
  return out;
}

}  // namespace korvane
