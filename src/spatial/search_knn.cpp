// Nearest-neighbour search by a walk over square rings of cells around the query's cell, with a
// max-heap of the best k. Approximate by design: the walk stops when the farthest kept distance
// is below the ring's distance bound, at the first empty ring from ring 5 on, or after ring 199;
// a heap still short of k after ring 199 is filled by measuring every other allowed point.
//
// With few allowed points the walk is replayed from the points instead of the cells: each point's
// ring and position in walk order follow from its cell, so the same points are measured in the
// same order and the same stops are taken, without looking up the ~160000 cells of 200 rings.
#include <algorithm>
#include <cmath>
#include <tuple>

#include "core/radix_sort.h"
#include "filter/filter.h"
#include "spatial/grid.h"
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
  explicit BestHeap(uint64_t k) : k_(k) {}
  bool full() const { return h_.size() >= k_; }
  float top() const { return h_.front().dist; }
  void offer(float d, uint32_t id) {
    if (!full()) {
      h_.push_back({id, d});
      up(h_.size() - 1);
    } else if (d < h_.front().dist) {  // a tie with the top never displaces it
      h_.front() = {id, d};
      down(0);
    }
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

inline void measure(const Query& q, float plat, float plon, uint32_t id, BestHeap& heap) {
  if (heap.full() && q.in_range && plat >= -90.0f && plat <= 90.0f) {
    double bound = 0.99 * 6371000.0 * std::fabs(double(plat) - double(q.lat)) * (M_PI / 180.0);
    if (bound > 1000.0 && bound >= double(heap.top())) return;
  }
  heap.offer(distance_m(q.lat, q.lon, q.qcos, plat, plon), id);
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
  std::sort(v.begin(), v.end(), [](const Hit& a, const Hit& b) {
    bool na = std::isnan(a.dist), nb = std::isnan(b.dist);
    if (na != nb) return nb;  // NaN distances last
    if (!na && a.dist != b.dist) return a.dist < b.dist;
    return a.id < b.id;
  });
}

void fallback(const CoreIndex& ix, const Query& q, const Bitmap& allowed,
              const Bitmap& seen, BestHeap& heap) {
  Bitmap rest = Bitmap::andnot_of(allowed, seen);
  std::vector<uint32_t> ids = rest.to_vector();
  ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) { measure(q, plat, plon, i, heap); });
}

// The allowed set as the walk needs it. Without a filter it is fixed. With one, the filter is
// evaluated ring by ring over the ring's own cells, which is all the walk sees of it (the walk
// itself does that, see walk_cells); from kGlobalRing on it is evaluated over the whole index.
constexpr int kGlobalRing = 24;

std::vector<Hit> replay_walk(const CoreIndex& ix, float lat, float lon, uint64_t k, const Bitmap& allowed);
std::vector<Hit> all_allowed(const CoreIndex& ix, float lat, float lon, const Bitmap& allowed);

std::vector<Hit> walk_cells(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& a) {
  const int64_t qrow = lat_row_signed(lat), qcol = lon_col_signed(lon);
  const Query q(lat, lon);
  BestHeap heap(k);
  // The filter's whole result, once the walk reaches kGlobalRing (or the set itself without one).
  Bitmap global;
  const Bitmap* whole = a.filter == nullptr ? a.set : nullptr;
  std::vector<uint32_t> seen;  // measured ids, kept for the fallback scan
  std::vector<uint32_t> ids, ring_ids;
  std::vector<uint64_t> keys;
  std::vector<const Bitmap*> cells;
  for (int r = 0; r <= kLastRing; ++r) {
    if (whole == nullptr && r >= kGlobalRing) {
      global = evaluate_filter(ix, *a.filter, a.set == &ix.valid_ids ? nullptr : a.set);
      whole = &global;
      // The filter's whole result is known now; with few points the replay (from the start)
      // is cheaper than walking on, and walks the same way.
      uint64_t n = global.cardinality();
      if (n <= k) return all_allowed(ix, lat, lon, global);
      if (n <= kReplayLimit) return replay_walk(ix, lat, lon, k, global);
    }
    bool found = false;
    // The ring's cells in walk order: dr ascending, then dc ascending; inside rows only the two
    // edge columns belong to the ring. Signed 32-bit cells: negative (or wrapped past the top)
    // cells do not exist. Their table slots are prefetched before the lookups.
    keys.clear();
    for (int dr = -r; dr <= r; ++dr) {
      bool edge_row = dr == -r || dr == r;
      int step = edge_row || r == 0 ? 1 : 2 * r;
      for (int dc = -r; dc <= r; dc += step) {
        int64_t row = qrow + dr, col = qcol + dc;
        if (row < 0 || col < 0 || row > INT32_MAX || col > INT32_MAX) continue;
        keys.push_back(make_cell_key(uint32_t(row), uint32_t(col)));
        ix.grid_index.prefetch(keys.back());
      }
    }
    cells.clear();
    for (uint64_t key : keys) {
      auto it = ix.grid_index.find(key);
      if (it != ix.grid_index.end()) cells.push_back(&it->second);
    }
    // Before kGlobalRing a filter is evaluated within the ring's cells.
    Bitmap ring_allowed;
    if (whole == nullptr) {
      ring_ids.clear();
      for (const Bitmap* c : cells) c->for_each([&](uint32_t x) { ring_ids.push_back(x); });
      if (!ring_ids.empty()) {
        radix_sort(ring_ids);
        Bitmap ring = Bitmap::of_sorted(ring_ids.data(), ring_ids.size());
        if (a.set != &ix.valid_ids) ring.and_with(*a.set);
        ring_allowed = evaluate_filter(ix, *a.filter, &ring);
      }
    }
    const Bitmap& allowed = whole != nullptr ? *whole : ring_allowed;
    if (allowed.empty()) {
      if (stop_after(heap, r, false)) break;
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
        seen.push_back(i);
        measure(q, plat, plon, i, heap);
      });
      found = true;
    }
    if (stop_after(heap, r, found)) {
      if (!heap.full() && r == kLastRing) {
        radix_sort(seen);
        fallback(ix, q, *whole, Bitmap::of_sorted(seen.data(), seen.size()), heap);
      }
      break;
    }
  }
  return heap.take();
}

std::vector<Hit> replay_walk(const CoreIndex& ix, float lat, float lon, uint64_t k, const Bitmap& allowed) {
  const int64_t qrow = lat_row_signed(lat), qcol = lon_col_signed(lon);
  const Query q(lat, lon);
  struct Pt {
    int ring, dr, dc;
    uint32_t id;
  };
  std::vector<Pt> walk;
  std::vector<uint32_t> outside;  // never reached by a ring
  std::vector<uint32_t> ids = allowed.to_vector();
  ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) {
    int64_t row = lat_row(plat), col = lon_col(plon);
    int64_t dr = row - qrow, dc = col - qcol;
    int64_t ring = std::max(std::llabs(dr), std::llabs(dc));
    if (row > INT32_MAX || col > INT32_MAX || ring > kLastRing)
      outside.push_back(i);
    else
      walk.push_back({int(ring), int(dr), int(dc), i});
  });
  std::sort(walk.begin(), walk.end(), [](const Pt& a, const Pt& b) {
    return std::tie(a.ring, a.dr, a.dc, a.id) < std::tie(b.ring, b.dr, b.dc, b.id);
  });
  BestHeap heap(k);
  size_t next = 0;
  for (int r = 0; r <= kLastRing; ++r) {
    bool found = false;
    for (; next < walk.size() && walk[next].ring == r; ++next) {
      auto [plat, plon] = ix.get_coords(walk[next].id);
      measure(q, plat, plon, walk[next].id, heap);
      found = true;
    }
    if (stop_after(heap, r, found)) {
      if (!heap.full() && r == kLastRing)
        for (uint32_t i : outside) {  // ascending, like the fallback scan
          auto [plat, plon] = ix.get_coords(i);
          measure(q, plat, plon, i, heap);
        }
      break;
    }
  }
  return heap.take();
}

std::vector<Hit> all_allowed(const CoreIndex& ix, float lat, float lon, const Bitmap& allowed) {
  // With no more allowed points than k the heap never fills: the walk ends after ring 199 and
  // the scan measures the rest, so the result is every allowed point.
  const float qcos = query_cos(lat);
  std::vector<Hit> out;
  std::vector<uint32_t> ids = allowed.to_vector();
  ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) {
    out.push_back({i, distance_m(lat, lon, qcos, plat, plon)});
  });
  return out;
}

}  // namespace

std::vector<Hit> search_knn(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed) {
  if (k == 0) return {};
  std::vector<Hit> out;
  if (allowed.filter != nullptr) {
    out = walk_cells(ix, lat, lon, k, allowed);
  } else {
    uint64_t n = allowed.set->cardinality();
    if (n <= k)
      out = all_allowed(ix, lat, lon, *allowed.set);
    else if (n <= kReplayLimit)
      out = replay_walk(ix, lat, lon, k, *allowed.set);
    else
      out = walk_cells(ix, lat, lon, k, allowed);
  }
  sort_hits(out);
  return out;
}

}  // namespace korvane
