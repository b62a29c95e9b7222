// Exact nearest neighbours: the k allowed points with the least float distance (the one every
// search reports), ties in ascending internal id. A point whose distance is NaN (a NaN or infinite
// coordinate, stored or asked) is never one of them.
//
// The search measures the border cells of the grid first (grid_index.h: every point outside the
// coordinate ranges is filed there), then grows a rectangle of the other cells around the query,
// level by level: rows +-r and columns +-ceil(r / cos(query latitude)), the columns taken round
// the antimeridian. Every point under the other cells lies within its cell's bounds, so after a
// level each point not yet measured is at least as far as the nearest of the rectangle's four
// sides: R * latitude difference for the northern and southern ones, and for the western and
// eastern ones the distance to the meridian at that longitude difference D,
// R * asin(cos(query latitude) * sin D) (or the distance to the nearer pole when D passes 90
// degrees). The search stops as soon as the k-th kept distance is strictly below what the float
// formula can give for a point at that bound (floor_m), so no point left out can come before it.
//
// Each level meets only the occupied cells of its frame: every row keeps a cursor on its next
// cell west and east of the rectangle (grid_index.h keeps each row's cells sorted by column).
// The points of a crowded cell are bounded from where they lie within it before any is
// measured: the least bounds are measured first, until k points are kept, and after that only
// the points whose bound leaves them a chance.
// When the next level would bring the rows passed and cells met past the number of allowed
// points (or a filter turns out to leave few, and far), the remaining allowed points are
// measured one by one instead, nearest bound first. A query outside the coordinate ranges measures every allowed
// point.
//
// Past level kBlockLevel (far from the data, levels would pass over empty rows by the hundred)
// the rest goes best first through the grid's blocks (grid_index.h): 10-degree blocks, then
// 1-degree blocks, then cells wait in one queue by the least distance a point under them can be
// at, and are opened in that order until the least left is beyond the k-th distance kept. A block
// that counts no allowed point is never opened. A kept filter result counts its own points per
// block and lists them: when it leaves few points among many, the search takes the blocks from
// the start, and measures a block of few listed points without opening its cells.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "core/radix_sort.h"
#include "filter/filter.h"
#include "core/cell_key.h"
#include "spatial/distance.h"
#include "spatial/search.h"

namespace korvane {
namespace {

constexpr double kRad = M_PI / 180.0;
constexpr double kEarthRadiusM = 6371000.0;
constexpr int64_t kFirstRow = 1, kLastRow = 17999;  // rows of the inner cells
constexpr int64_t kColumns = 36000;                  // inner columns are 1..35999
// The widest column step per level: near a pole the meridians converge and levels widen fast.
constexpr double kMaxAspect = 2000.0;
// With a filter, the cells (occupied or not) the rectangle covers before the filter is evaluated
// over the whole index.
constexpr uint64_t kGlobalCells = 2500;
// A filter that leaves at most this many points, not k of them in the first kGlobalCells cells:
// the rest is measured point by point at once (the allowed points are sparse, and the walk would
// mostly meet points the filter refuses).
constexpr uint64_t kFewAllowed = 20000;
// While fewer than k points are kept, a filter is evaluated once this many ids are gathered (or
// as many as points are missing, when fewer).
constexpr size_t kFilterBatch = 128;
// An allowed set this many times smaller than the live points is intersected with each crowded
// cell instead of each point being bounded.
constexpr uint64_t kSparseRatio = 8;
// Slack for the cell bounds, in degrees, against the rounding of rows and columns.
constexpr double kPadDeg = 1e-9;
// The level from which the rest is searched through the grid's blocks: a level costs a pass over
// its rows, occupied or not, while opening a block costs a look at each of its 100 rows.
constexpr int64_t kBlockLevel = 32;
// A block with at most this many points listed (see BlockCounts) measures them without opening
// its cells.
constexpr uint32_t kListedBlock = 64;

// What the float distance of a point at least `m` metres away (on the sphere, from the stored
// float coordinates) can be at least. The float formula rounds each step to about 1e-7; its
// errors come to a few parts in a million of the distance, plus up to a few metres where a
// cosine near a pole or a longitude difference near 360 degrees is rounded, except near the
// antipode, where 1 - a cancels. Points at 15000 km or more are never measured below 14000 km,
// hence the cap; the factor and the 20 m are wide margins over the rest.
double floor_m(double m) { return std::min(m, 1.5e7) * (1.0 - 1e-4) - 20.0; }

// (distance, id) as one key ordered like the pair, NaN distances last. Distances are never
// negative: the formula's angle is an atan2 of two square roots.
uint64_t hit_key(float d, uint32_t id) {
  uint32_t b = 0xFFFFFFFFu;
  if (d == d) {
    if (d != 0.0f) std::memcpy(&b, &d, 4);
    else b = 0;
  }
  return uint64_t{b} << 32 | id;
}

float key_dist(uint64_t key) {
  uint32_t b = uint32_t(key >> 32);
  if (b == 0xFFFFFFFFu) return std::numeric_limits<float>::quiet_NaN();
  float d;
  std::memcpy(&d, &b, 4);
  return d;
}

bool lat_in_range(float lat) { return lat >= -90.0f && lat <= 90.0f; }

// The least k keys offered, in a max-heap; with a limit, only keys whose distance is at most it.
class TopK {
 public:
  TopK(uint64_t k, std::optional<float> limit) : k_(k), limit_(limit) {}
  bool full() const { return h_.size() >= k_; }
  uint64_t missing() const { return full() ? 0 : k_ - h_.size(); }
  float kth() const { return key_dist(h_.front()); }  // requires full()
  // Whether a distance beyond which nothing is kept is known (the k-th, or the limit), and that
  // distance.
  bool bounded() const { return full() || limit_.has_value(); }
  float cutoff() const { return full() ? kth() : *limit_; }  // requires bounded()
  void offer(uint64_t key) {
    if (limit_ && !(key_dist(key) <= *limit_)) return;
    if (!full()) {
      h_.push_back(key);
      std::push_heap(h_.begin(), h_.end());
    } else if (key < h_.front()) {
      std::pop_heap(h_.begin(), h_.end());
      h_.back() = key;
      std::push_heap(h_.begin(), h_.end());
    }
  }
  std::vector<Hit> sorted() {
    std::sort(h_.begin(), h_.end());
    std::vector<Hit> out(h_.size());
    for (size_t j = 0; j < h_.size(); ++j) out[j] = {uint32_t(h_[j]), key_dist(h_[j])};
    return out;
  }

 private:
  uint64_t k_;
  std::optional<float> limit_;
  std::vector<uint64_t> h_;
};

class Search {
 public:
  Search(const CoreIndex& ix, float lat, float lon, uint64_t k, std::optional<float> limit)
      : ix_(ix),
        lat_(lat),
        lon_(lon),
        qcos_(query_cos(lat)),
        cos_lat_(std::max(0.0, std::cos(double(lat) * kRad))),
        prune_(lat_in_range(lat)),
        top_(k, limit) {}

  void measure(const std::vector<uint32_t>& ids) {
    ix_.for_each_coords(ids, [&](uint32_t id, float plat, float plon) { measure_one(id, plat, plon); });
  }

  // Once k points are kept, a point whose latitude difference alone puts it behind the k-th is
  // passed over without the trigonometry (both latitudes in range: the bound needs them there).
  void measure_one(uint32_t id, float plat, float plon) {
    if (prune_ && top_.bounded() && lat_in_range(plat)) {
      double m = kEarthRadiusM * std::fabs(double(plat) - double(lat_)) * kRad;
      if (floor_m(m) > double(top_.cutoff())) return;
    }
    // A point at no distance (NaN: a coordinate NaN or infinite) is nobody's neighbour.
    float d = distance_m(lat_, lon_, qcos_, plat, plon);
    if (d == d) top_.offer(hit_key(d, id));
  }

  // A lower bound of the distance, in metres on the sphere, from the query to an in-range point
  // (the query in range too): the latitude difference, and the distance to the meridian at the
  // point's longitude difference D (at most 90 degrees counted), R * asin(cos(query latitude) *
  // sin D), with asin y >= y and sin x >= x - x^3/6. No trigonometry per point.
  double bound_m(double plat, double plon) const {
    double dlat = std::fabs(plat - double(lat_)) * kRad;
    double dlon = std::fabs(plon - double(lon_));
    if (dlon > 180.0) dlon = 360.0 - dlon;
    double x = std::min(dlon, 90.0) * kRad;
    return kEarthRadiusM * std::max(dlat, cos_lat_ * (x - x * x * x / 6.0));
  }

  TopK& top() { return top_; }

 private:
  const CoreIndex& ix_;
  float lat_, lon_, qcos_;
  double cos_lat_;
  bool prune_;
  TopK top_;
};

// The rectangle of inner cells measured so far: rows r0..r1 (none when r0 > r1) and the span of
// columns from c0 on, unwrapped (column c stands for c mod 36000).
struct Rect {
  int64_t r0, r1, c0, span;
  int64_t rows() const { return r1 >= r0 ? r1 - r0 + 1 : 0; }
  bool full_cols() const { return span >= kColumns; }
  bool holds(int64_t row, int64_t col) const {
    if (row < r0 || row > r1) return false;
    return full_cols() || ((col - c0) % kColumns + kColumns) % kColumns < span;
  }
};

bool is_border(uint32_t row, uint32_t col) { return GridIndex::is_border(row, col); }

class Walk {
 public:
  Walk(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& a, std::optional<float> limit)
      : ix_(ix), a_(a), s_(ix, lat, lon, k, limit), lat_(lat), lon_(lon), qrow_(lat_row(lat)), qcol_(lon_col(lon)) {
    double c = std::cos(double(lat) * kRad);
    cos_lat_ = std::max(0.0, c);
    sin_lat_ = std::sin(double(lat) * kRad);
    aspect_ = c > 1.0 / kMaxAspect ? std::max(1.0, 1.0 / c) : kMaxAspect;
    live_ = ix.valid_ids.cardinality();
    if (a.filter == nullptr) {
      whole_ = a.set;
      n_allowed_ = a.set->cardinality();
    }
  }

  std::vector<Hit> run() {
    Rect done{qrow_ + 1, qrow_, qcol_, 0};  // nothing yet
    std::vector<uint64_t> ids;  // under cells of `done`, not measured yet (keys: see frame)
    for (int64_t r = 0;; ++r) {
      // Allowed points listed by block and few among many, or none in the blocks around the
      // query's: the blocks from the start.
      bool sparse_listed = r == 0 && a_.blocks != nullptr && a_.blocks->listed() && n_allowed_ * kSparseRatio < live_;
      if (r == kBlockLevel || sparse_listed || (r == 0 && nothing_near())) {
        // Past the first levels, the rest best first through the blocks (or point by point when
        // the filter leaves few points among many).
        if (whole_ == nullptr) evaluate_globally();
        if (r == 0) {  // the points of the border cells first
          if (a_.blocks != nullptr && a_.blocks->listed())
            s_.measure(a_.blocks->border);
          else
            ix_.grid_index.for_each_border_in(0, UINT32_MAX, 0, UINT32_MAX, [&](uint64_t, const Bitmap& b) { take(b, &ids); });
        }
        flush(ids);
        if (a_.blocks == nullptr && n_allowed_ <= kFewAllowed && n_allowed_ * kSparseRatio < live_)
          scan_rest(done, true);
        else
          blocks(done);
        break;
      }
      Rect next = grow(done, r);
      uint64_t cells = uint64_t(next.rows() * next.span - done.rows() * done.span);
      bool sparse = false;
      if (whole_ == nullptr && area_ + cells > kGlobalCells) {
        evaluate_globally();
        flush(ids);
        sparse = !s_.top().full() && n_allowed_ <= kFewAllowed;
      }
      if (whole_ != nullptr && (sparse || work_ + uint64_t(next.rows()) > n_allowed_)) {
        flush(ids);
        scan_rest(done, r > 0);
        break;
      }
      if (r == 0)
        ix_.grid_index.for_each_border_in(0, UINT32_MAX, 0, UINT32_MAX,
                                          [&](uint64_t, const Bitmap& b) { take(b, &ids); });
      work_ += uint64_t(next.rows()) + frame(done, next, &ids);
      area_ += cells;
      done = next;
      if (covers_all(done)) break;
      // While fewer than k points are kept nothing can stop the walk, so a filter waits for the
      // ids of a few levels (each evaluation has a cost of its own, whatever it is given), until
      // they could make up the points missing.
      if (whole_ == nullptr && ids.size() < std::min<uint64_t>(kFilterBatch, s_.top().missing())) continue;
      flush(ids);
      if (s_.top().bounded() && floor_m(unvisited_bound(done)) > double(s_.top().cutoff())) break;
    }
    flush(ids);
    return s_.top().sorted();
  }

 private:
  // Level r's rectangle.
  Rect grow(const Rect& prev, int64_t r) const {
    Rect n{std::max(kFirstRow, qrow_ - r), std::min(kLastRow, qrow_ + r), 0, 0};
    int64_t w = r == 0 ? 0 : int64_t(std::ceil(double(r) * aspect_));
    if (2 * w + 1 < kColumns) {
      n.c0 = qcol_ - w;
      n.span = 2 * w + 1;
    } else {
      // Every column, with the columns already measured inside the span.
      n.c0 = prev.c0 - (kColumns - std::min(prev.span, kColumns)) / 2;
      n.span = kColumns;
    }
    return n;
  }

  // No allowed point in the query's block nor in the eight around it.
  bool nothing_near() const {
    const BlockCounts& counts = a_.counts(ix_);
    constexpr int64_t C = BlockCounts::kBlockCells, rows = BlockCounts::kBlockRows, cols = BlockCounts::kBlockCols;
    for (int64_t br = qrow_ / C - 1; br <= qrow_ / C + 1; ++br)
      for (int64_t bc = qcol_ / C - 1; bc <= qcol_ / C + 1; ++bc)
        if (br >= 0 && br < rows && counts.block(uint32_t(br), uint32_t((bc + cols) % cols)) != 0) return false;
    return true;
  }

  bool covers_all(const Rect& d) const { return d.r0 <= kFirstRow && d.r1 >= kLastRow && d.full_cols(); }

  // Metres to the nearest point of a cell outside `d`: each side's distance; sides at the edge
  // of the inner rows, and the columns once they go all round, have nothing beyond them.
  double unvisited_bound(const Rect& d) const {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double lat = double(lat_), lon = double(lon_);
    double south = kInf, north = kInf, side = kInf;
    if (d.r0 > kFirstRow) south = std::max(0.0, lat - (double(d.r0) / 100.0 - 90.0) + kPadDeg);
    if (d.r1 < kLastRow) north = std::max(0.0, (double(d.r1 + 1) / 100.0 - 90.0) - lat + kPadDeg);
    if (!d.full_cols()) {
      double west = lon - (double(d.c0) / 100.0 - 180.0) - kPadDeg;
      double east = (double(d.c0 + d.span) / 100.0 - 180.0) - lon - kPadDeg;
      double gap = std::max(0.0, std::min(west, east));
      // The nearest point of the meridian at `gap` degrees: the foot of the perpendicular, or
      // the nearer pole once that foot lies on the meridian's other half.
      side = gap >= 90.0 ? (90.0 - std::fabs(lat)) * kRad
                         : std::asin(std::min(1.0, std::cos(lat * kRad) * std::sin(gap * kRad)));
      side *= kEarthRadiusM;
    }
    return std::min({south * kRad * kEarthRadiusM, north * kRad * kEarthRadiusM, side});
  }

  static void take(const Bitmap& cell, std::vector<uint64_t>* ids) {
    cell.for_each([&](uint32_t x) { ids->push_back(x); });
  }

  // The ids of cell j of a row, each with a lower bound of its float distance (the key's upper
  // half: a float's bits, never negative, so keys order by bound). A crowded cell's bounds come
  // from where its points lie within it, read in sequence, no stored coordinates fetched; a
  // position is within 2e-7 degrees of its point (some 2 cm), hence the 0.1 m taken off. Other
  // cells' ids get the bound 0.
  void take_bounded(const RowCells& cells, size_t j, int64_t row, std::vector<uint64_t>* ids) {
    const Bitmap& set = cells.ids(j);
    if (set.tiny()) return take(set, ids);
    // Few allowed points among many: the cell's allowed ones, found as one intersection, are
    // fewer than its points to bound. An intersection costs, per member of the cell, about half
    // what measuring an allowed point does: it counts so in the work that decides when to measure
    // the rest one by one.
    if (whole_ != nullptr && n_allowed_ * kSparseRatio < live_) {
      work_ += set.cardinality() / 2;
      Bitmap::and_of(set, *whole_).for_each([&](uint32_t x) { known_.push_back(x); });
      return;
    }
    uint32_t r = uint32_t(row), col = cells.col(j);
    set.to_vector(&members_);
    const CellPositions* pos = cell_positions(ix_, r, col, cells, j, members_);
    if (pos->size != members_.size()) {  // never, while the index keeps them in step
      for (uint32_t x : members_) ids->push_back(x);
      return;
    }
    for (size_t k = 0; k < members_.size(); ++k) {
      uint32_t w = pos->at[k];
      double b = std::max(0.0, floor_m(s_.bound_m(CellPositions::lat_of(r, w), CellPositions::lon_of(col, w)) - 0.1));
      float f = static_cast<float>(b * (1.0 - 0x1p-22));  // never above b
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      ids->push_back(uint64_t{bits} << 32 | members_[k]);
    }
  }

  // A row of `done`: its cells measured so far are those of the rectangle's columns, the ones
  // between its two cursors. Each cursor names the next cell beyond them (west, east), with its
  // column unwrapped (col + base, base a multiple of 36000): the columns go round the
  // antimeridian.
  struct RowCursor {
    const RowCells* cells = nullptr;
    size_t west = 0, east = 0;
    int64_t west_base = 0, east_base = 0;
    size_t left = 0;  // cells not measured yet
    int64_t west_col() const { return int64_t(cells->col(west)) + west_base; }
    int64_t east_col() const { return int64_t(cells->col(east)) + east_base; }
    void step_west() {
      --left;
      if (west == 0) {
        west = cells->size() - 1;
        west_base -= kColumns;
      } else {
        --west;
      }
    }
    void step_east() {
      --left;
      if (++east == cells->size()) {
        east = 0;
        east_base += kColumns;
      }
    }
  };

  RowCursor& cursor(int64_t row) {
    std::vector<RowCursor>& v = row >= qrow_ ? south_ : north_;
    size_t i = size_t(row >= qrow_ ? row - qrow_ : qrow_ - 1 - row);
    if (i >= v.size()) v.resize(i + 1);
    return v[i];
  }

  // A row reached for the first time: nothing measured, the cursors either side of column a.
  void start(int64_t row, int64_t a, RowCursor* c) const {
    c->cells = &ix_.grid_index.row(uint32_t(row));
    size_t n = c->cells->size();
    c->left = n;
    if (n == 0) return;
    int64_t base = (a >= 0 ? a / kColumns : -((kColumns - 1 - a) / kColumns)) * kColumns;
    size_t i = c->cells->lower_bound(uint32_t(a - base));
    if (i == n) {
      i = 0;
      base += kColumns;
    }
    c->east = i;
    c->east_base = base;
    c->west = i == 0 ? n - 1 : i - 1;
    c->west_base = i == 0 ? base - kColumns : base;
  }

  // The ids under the occupied cells of `next` outside `prev` (the inner ones: border cells are
  // left to the first level); returns how many cells. A row costs two comparisons when none of
  // its cells joins.
  uint64_t frame(const Rect& prev, const Rect& next, std::vector<uint64_t>* ids) {
    uint64_t found = 0;
    int64_t a = next.c0, b = next.c0 + next.span;
    for (int64_t row = next.r0; row <= next.r1; ++row) {
      RowCursor& c = cursor(row);
      if (row < prev.r0 || row > prev.r1) start(row, a, &c);
      for (; c.left > 0 && c.east_col() < b; ++found) {
        take_bounded(*c.cells, c.east, row, ids);
        c.step_east();
      }
      for (; c.left > 0 && c.west_col() >= a; ++found) {
        take_bounded(*c.cells, c.west, row, ids);
        c.step_west();
      }
    }
    return found;
  }

  // Measures the allowed ones of some levels' keyed ids. Once the allowed set is known whole,
  // the least bounds go first, until k points are kept; then every id whose bound is above the
  // k-th distance kept is passed over unmeasured.
  void flush(std::vector<uint64_t>& keys) {
    if (keys.empty() && known_.empty()) return;
    measured_.clear();
    if (whole_ == nullptr) {
      for (uint64_t key : keys) measured_.push_back(uint32_t(key));
      s_.measure(allowed_of(measured_));
      keys.clear();
      return;
    }
    // Cells keep deleted ids until vacuum; every other id they hold is live.
    bool check = !(a_.unrestricted() && ix_.deleted.empty());
    auto take_allowed = [&](uint64_t key) {
      if (!check || whole_->contains(uint32_t(key))) measured_.push_back(uint32_t(key));
    };
    TopK& top = s_.top();
    s_.measure(known_);  // allowed already
    known_.clear();
    size_t from = 0;
    if (!top.full()) {
      from = std::min(keys.size(), std::max<size_t>(4 * top.missing(), 32));
      if (from < keys.size()) std::nth_element(keys.begin(), keys.begin() + from, keys.end());
      std::sort(keys.begin(), keys.begin() + from);
      for (size_t j = 0; j < from; ++j) take_allowed(keys[j]);
      s_.measure(measured_);
      measured_.clear();
    }
    for (size_t j = from; j < keys.size(); ++j) {
      if (top.bounded()) {
        uint32_t bits = uint32_t(keys[j] >> 32);
        float f;
        std::memcpy(&f, &bits, 4);
        if (double(f) > double(top.cutoff())) continue;
      }
      take_allowed(keys[j]);
    }
    s_.measure(measured_);
    keys.clear();
  }

  // The allowed ones of some levels' ids (ascending), evaluating the filter within them until
  // it is evaluated over the whole index.
  const std::vector<uint32_t>& allowed_of(std::vector<uint32_t>& ids) {
    if (ids.empty()) return ids;
    radix_sort(ids);
    Bitmap part = Bitmap::of_sorted(ids.data(), ids.size());
    if (!a_.all_live) part.and_with(*a_.set);
    evaluate_filter(ix_, *a_.filter, &part).to_vector(&ids);
    return ids;
  }

  void evaluate_globally() {
    global_ = evaluate_filter(ix_, *a_.filter, a_.restriction());
    whole_ = &global_;
    n_allowed_ = global_.cardinality();
  }

  // Lower bounds of the float distance from the query to any point of the rectangle of
  // latitudes la0..la1 and longitudes lo0..lo1 (degrees, lo0 <= lo1 within -180..180), as floats
  // never above the metres they stand for. The rough one takes no trigonometry: the latitude
  // difference, or the distance to the meridian at the longitude difference D, as bound_m does
  // (the nearer pole once D reaches 90 degrees: cos(distance) <= sin(query latitude) there).
  // The close one is the distance to the rectangle's nearest point itself: on its meridian side
  // at the least D, where cos(distance) = A cos(psi - psi*), psi* = atan2(sin(query latitude),
  // cos(query latitude) cos D).
  float rect_bound(double la0, double la1, double lo0, double lo1, bool close) const {
    double lat = double(lat_), lon = double(lon_);
    la0 -= kPadDeg;
    la1 += kPadDeg;
    double dlat = std::max({0.0, la0 - lat, lat - la1}) * kRad;
    double gap = 0.0;
    if (lon < lo0 - kPadDeg || lon > lo1 + kPadDeg) {
      double east = lo0 - lon, west = lon - lo1;  // each taken round to 0..360
      east -= 360.0 * std::floor(east / 360.0);
      west -= 360.0 * std::floor(west / 360.0);
      gap = std::max(0.0, std::min(east, west) - kPadDeg) * kRad;
    }
    double angle;
    if (gap == 0.0) {
      angle = dlat;
    } else if (close) {
      double phi = double(lat_) * kRad, s2 = std::sin(gap / 2.0);
      auto angle_at = [&](double psi) {  // to the side's point at latitude psi
        double s1 = std::sin((psi - phi) / 2.0);
        double h = s1 * s1 + cos_lat_ * std::cos(psi) * s2 * s2;
        return 2.0 * std::asin(std::sqrt(std::clamp(h, 0.0, 1.0)));
      };
      double lo = la0 * kRad, hi = la1 * kRad;
      double psi = std::atan2(sin_lat_, cos_lat_ * std::cos(gap));
      // Within -90..90 degrees (D up to 90) the nearest point is psi* held to the side; beyond,
      // the side holds no peak of A cos(psi - psi*), and its nearer end is the nearest point.
      angle = psi >= -M_PI / 2.0 && psi <= M_PI / 2.0 ? angle_at(std::clamp(psi, lo, hi))
                                                     : std::min(angle_at(lo), angle_at(hi));
      angle = std::max(dlat, angle);
    } else if (gap >= M_PI / 2.0) {
      angle = std::max(dlat, (90.0 - std::fabs(lat)) * kRad);
    } else {
      angle = std::max(dlat, cos_lat_ * (gap - gap * gap * gap / 6.0));
    }
    double b = std::max(0.0, floor_m(kEarthRadiusM * angle));
    return static_cast<float>(b * (1.0 - 0x1p-22));  // never above b
  }

  // The rest of the allowed points, outside `done` (border cells measured), best first: wide
  // blocks, blocks and cells wait in one queue by the least distance a point under them can be
  // at, and each is opened in turn until the least left is beyond the k-th kept (or the limit).
  // A block that counts no live point is never opened.
  void blocks(const Rect& done) {
    const GridIndex& g = ix_.grid_index;
    const BlockCounts& counts = a_.counts(ix_);
    struct Item {
      float bound;
      uint32_t kind;  // 0: wide block (a, b); 1: block (a, b); 2: cell b of row a
      uint32_t a, b;
      bool close;     // the bound is the close one (a cell's: its block's close one at least)
      bool operator<(const Item& o) const { return bound > o.bound; }  // the least on top
    };
    std::vector<Item> queue;
    auto push = [&](const Item& it) {
      if (s_.top().bounded() && double(it.bound) > double(s_.top().cutoff())) return;
      queue.push_back(it);
      std::push_heap(queue.begin(), queue.end());
    };
    auto block_bound = [&](uint32_t kind, uint32_t a, uint32_t b, bool close) {
      double size = kind == 0 ? 10.0 : 1.0;
      return rect_bound(a * size - 90.0, (a + 1) * size - 90.0, b * size - 180.0, (b + 1) * size - 180.0, close);
    };
    constexpr uint32_t W = BlockCounts::kWide;
    for (uint32_t wr = 0; wr < BlockCounts::kWideRows; ++wr)
      for (uint32_t wc = 0; wc < BlockCounts::kWideCols; ++wc)
        if (counts.wide_block(wr, wc) != 0) push({block_bound(0, wr, wc, false), 0, wr, wc, false});
    bool check = !(a_.unrestricted() && ix_.deleted.empty());
    while (!queue.empty()) {
      std::pop_heap(queue.begin(), queue.end());
      Item it = queue.back();
      queue.pop_back();
      if (s_.top().bounded() && double(it.bound) > double(s_.top().cutoff())) break;  // and every other
      if (!it.close) {
        // A block waits by its rough bound until it comes first, then by its close one.
        it.bound = std::max(it.bound, block_bound(it.kind, it.a, it.b, true));
        it.close = true;
        push(it);
      } else if (it.kind == 0) {
        for (uint32_t br = it.a * W; br < it.a * W + W; ++br)
          for (uint32_t bc = it.b * W; bc < it.b * W + W; ++bc)
            if (counts.block(br, bc) != 0)
              push({std::max(it.bound, block_bound(1, br, bc, false)), 1, br, bc, false});
      } else if (it.kind == 1 && counts.listed() && counts.block(it.a, it.b) <= kListedBlock) {
        // A block of few listed points: those outside `done`, measured at once.
        size_t b = size_t(it.a) * BlockCounts::kBlockCols + it.b;
        for (size_t j = counts.starts[b]; j < counts.starts[b + 1]; ++j) {
          uint32_t id = counts.ids[j];
          auto [plat, plon] = ix_.get_coords(id);
          if (!done.holds(lat_row(plat), lon_col(plon))) s_.measure_one(id, plat, plon);
        }
      } else if (it.kind == 1) {
        constexpr uint32_t C = BlockCounts::kBlockCells;
        uint32_t r0 = std::max<uint32_t>(uint32_t(kFirstRow), it.a * C);
        uint32_t r1 = std::min<uint32_t>(uint32_t(kLastRow), it.a * C + C - 1);
        uint32_t c0 = std::max<uint32_t>(1, it.b * C), c1 = std::min<uint32_t>(kColumns - 1, it.b * C + C - 1);
        double lo0 = it.b - 180.0;
        for (uint32_t row = r0; row <= r1; ++row) {
          const RowCells& cells = g.row(row);
          if (cells.empty()) continue;
          double la0 = row / 100.0 - 90.0, la1 = (row + 1) / 100.0 - 90.0;
          if (s_.top().bounded() && double(rect_bound(la0, la1, lo0, lo0 + 1.0, false)) > double(s_.top().cutoff()))
            continue;
          for (size_t j = cells.lower_bound(c0); j < cells.size() && cells.col(j) <= c1; ++j) {
            uint32_t col = cells.col(j);
            if (done.holds(row, col)) continue;
            float b = rect_bound(la0, la1, col / 100.0 - 180.0, (col + 1) / 100.0 - 180.0, false);
            push({std::max(it.bound, b), 2, row, uint32_t(j), true});
          }
        }
      } else {
        const Bitmap& cell = g.row(it.a).ids(it.b);
        measured_.clear();
        if (!check) {
          cell.to_vector(&measured_);
        } else if (cell.tiny()) {
          cell.for_each([&](uint32_t x) {
            if (whole_->contains(x)) measured_.push_back(x);
          });
        } else {
          Bitmap::and_of(cell, *whole_).to_vector(&measured_);
        }
        s_.measure(measured_);
      }
    }
  }

  // Measures the allowed points not measured yet: those outside `done`, and outside the border
  // cells once they are measured. The inner ones are taken nearest bound first, and only while
  // the bound leaves them a chance.
  void scan_rest(const Rect& done, bool border_done) {
    struct Pending {
      float lat, lon;
      uint32_t id;
    };
    std::vector<Pending> pending;
    std::vector<uint64_t> order;  // the bound (float, rounded down, never negative) above the index
    std::vector<uint32_t> all = whole_->to_vector();
    TopK& top = s_.top();
    ix_.for_each_coords(all, [&](uint32_t id, float plat, float plon) {
      // The bound first: it is cheaper than finding the point's cell, and passes over most.
      double b = 0;
      if (lat_in_range(plat) && plon >= -180.0f && plon <= 180.0f) {
        b = std::max(0.0, floor_m(s_.bound_m(plat, plon)));
        if (top.bounded() && b > double(top.cutoff())) return;
      }
      uint32_t row = lat_row(plat), col = lon_col(plon);
      if (is_border(row, col)) {
        if (!border_done) s_.measure_one(id, plat, plon);
        return;
      }
      if (done.holds(row, col)) return;
      float f = static_cast<float>(b * (1.0 - 0x1p-22));  // never above b
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      order.push_back(uint64_t{bits} << 32 | pending.size());
      pending.push_back({plat, plon, id});
    });
    // Usually the first few hundred settle it: those are sorted first, the rest only if needed.
    constexpr size_t kFirst = 256;
    size_t head = std::min(order.size(), kFirst);
    if (head < order.size()) std::nth_element(order.begin(), order.begin() + head, order.end());
    std::sort(order.begin(), order.begin() + head);
    for (size_t j = 0; j < order.size(); ++j) {
      if (j == head) std::sort(order.begin() + head, order.end());
      uint32_t bits = uint32_t(order[j] >> 32);
      float f;
      std::memcpy(&f, &bits, 4);
      if (top.bounded() && double(f) > double(top.cutoff())) break;  // and so is every later one
      const Pending& p = pending[uint32_t(order[j])];
      s_.measure_one(p.id, p.lat, p.lon);
    }
  }

  const CoreIndex& ix_;
  const Allowed& a_;
  Search s_;
  float lat_, lon_;
  int64_t qrow_, qcol_;
  double aspect_, cos_lat_, sin_lat_;
  const Bitmap* whole_ = nullptr;  // the allowed set, once known whole
  Bitmap global_;
  uint64_t n_allowed_ = 0;
  uint64_t live_ = 0;  // live points
  uint64_t area_ = 0;  // inner cells inside `done`
  uint64_t work_ = 0;  // rows passed, occupied cells met and intersections made so far
  std::vector<uint32_t> members_, measured_;  // scratch
  std::vector<uint32_t> known_;  // allowed ids under cells of `done`, not measured yet
  std::vector<RowCursor> north_, south_;  // rows qrow_ - 1, qrow_ - 2, ... and qrow_, qrow_ + 1, ...
};

std::vector<Hit> measure_all(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& a,
                             std::optional<float> limit) {
  Bitmap global;
  const Bitmap* set = a.set;
  if (a.filter != nullptr) {
    global = evaluate_filter(ix, *a.filter, a.restriction());
    set = &global;
  }
  Search s(ix, lat, lon, k, limit);
  s.measure(set->to_vector());
  return s.top().sorted();
}

}  // namespace

std::vector<Hit> search_knn_exact(const CoreIndex& ix, float lat, float lon, uint64_t k, const Allowed& allowed,
                                  std::optional<float> max_m) {
  if (k == 0 || (max_m && !(*max_m >= 0.0f))) return {};
  bool in_range = lat >= -90.0f && lat <= 90.0f && lon >= -180.0f && lon <= 180.0f;
  if (!in_range || (allowed.filter == nullptr && !max_m && allowed.set->cardinality() <= k))
    return measure_all(ix, lat, lon, k, allowed, max_m);
  return Walk(ix, lat, lon, k, allowed, max_m).run();
}

}  // namespace korvane
