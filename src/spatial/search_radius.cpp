// Radius search. The grid narrows the candidates to rectangles of cells; every candidate is then
// measured. For a query inside the coordinate ranges and a finite radius the rectangles cover
// the whole circle (its longitude span widened for the highest latitude it reaches, the whole
// longitude range when it reaches a pole, and the part across the antimeridian), so every
// in-range point within the radius is found. Other queries, and points stored outside the
// coordinate ranges, are served by the plain rectangle of +-margin degrees around the query.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "core/radix_sort.h"
#include "core/cell_key.h"
#include "spatial/distance.h"
#include "spatial/search.h"

namespace korvane {
namespace {

bool in_range(float lat, float lon) { return lat >= -90.0f && lat <= 90.0f && lon >= -180.0f && lon <= 180.0f; }

uint32_t row_of(double lat) { return lat_row(static_cast<float>(lat)); }
uint32_t col_of(double lon) { return lon_col(static_cast<float>(lon)); }

// Slack beyond the margin, in degrees, against rounding in the float distance.
constexpr double kPadDeg = 1e-4;

constexpr double kRad = M_PI / 180.0;
constexpr double kEarthRadiusM = 6371000.0;

// Lower bounds without trigonometry: sin y >= y - y^3/6 for 0 <= y <= pi/2, and
// cos x >= 1 - x^2/2 + x^4/24 - x^6/720 for every x.
double sin_below(double y) { return y - y * y * y / 6; }
double cos_below(double x) {
  double x2 = x * x;
  return 1 - x2 / 2 + x2 * x2 / 24 - x2 * x2 * x2 / 720;
}
// A lower bound of sin^2(deg / 2) for |deg| <= 360 (past 180 degrees the angle is taken the other
// way round, which has the same sin^2 of its half).
double sin2_half_below(double deg) {
  double a = std::fabs(deg);
  if (a > 180.0) a = 360.0 - a;
  double s = sin_below(a * (kRad / 2));
  return s * s;
}

// Passes over the cells that lie wholly outside the circle. For a cell's latitude and longitude
// ranges it bounds the haversine term from below,
//   a >= sin^2(min |dlat| / 2) + cos(qlat) * min cos(lat) * sin^2(min |dlon| / 2),
// (every factor is non-negative for cells inside the coordinate ranges), and keeps the cell unless
// that bound puts every point beyond the radius plus a margin far wider than the rounding of the
// float distance: about 1e-6 of it for the radii this is used for, plus up to about 4 m where the
// longitude difference nears 360 degrees across the antimeridian (it is then rounded at 3e-5
// degrees). Cells of row or column 0 or of the last row and column also file saturated,
// out-of-range points: those are always kept. The bound is worked out for the occupied cells
// only, as the search meets them.
class CirclePrune final : public CellPrune {
 public:
  CirclePrune(float lat, float lon, float radius_m)
      : qlat_(lat), qlon_(lon), qcos_(std::cos(double(lat) * kRad)) {
    double lim = double(radius_m) * (1 + 1e-4) + 50.0;
    double s = std::sin(lim / (2 * kEarthRadiusM));
    a_lim_ = s * s;
    // |dlat| <= 2 asin(sqrt(a)) for every point within lim, since hav >= sin^2(dlat / 2).
    reach_deg_ = 2.0 * std::asin(std::min(1.0, s * (1 + 1e-9))) / kRad;
  }
  // Used where the rectangles span at most this many rows and columns in all: wider ones reach
  // far from the query, where the search measures every candidate instead.
  static bool usable(const std::vector<CellRect>& rects) {
    size_t entries = 0;
    for (const CellRect& r : rects)
      if (!r.empty()) entries += size_t(r.r1 - r.r0) + size_t(r.c1 - r.c0) + 2;
    return entries <= kMaxTabulated;
  }

  // True when an in-range point is certainly beyond the radius, by the same bound and margin.
  // Moving a point by a few centimetres moves it by far less than the margin: the bound holds for
  // where a cell's positions place it as well.
  bool beyond(double plat, double plon) const override {
    double c = std::max(0.0, cos_below(plat * kRad));
    return sin2_half_below(plat - double(qlat_)) + qcos_ * c * sin2_half_below(plon - double(qlon_)) > a_lim_;
  }
  // From the bounds the rectangles rest on, widened by far more than a position's rounding: a
  // point within lim has |dlat| <= reach, and sin^2(dlon / 2) <= a / (cos qlat * least cos lat of
  // the row).
  bool window(uint32_t row, uint32_t col, uint32_t lo[2], uint32_t hi[2]) const override {
    constexpr double kSlack = 1e-6;  // degrees: some 10 cm, against rounding and the positions'
    const double lat_base = row / 100.0 - 90.0, lon_base = col / 100.0 - 180.0;
    if (!to_offsets(double(qlat_) - reach_deg_ - kSlack - lat_base, double(qlat_) + reach_deg_ + kSlack - lat_base,
                    &lo[0], &hi[0]))
      return false;
    lo[1] = 0;
    hi[1] = 65535;
    double least_cos = std::min(std::cos(lat_base * kRad), std::cos(std::min(lat_base + 0.01, 90.0) * kRad));
    if (!(qcos_ * least_cos > 0.0)) return true;
    double s = std::sqrt(a_lim_ / (qcos_ * least_cos)) * (1 + 1e-9);
    if (s >= 1.0) return true;
    double half = 2.0 * std::asin(s) / kRad + kSlack;
    if (half >= 179.0) return true;
    // The cell's offsets u with (lon_base + u - qlon) within [-half, half], modulo 360.
    double x = lon_base - double(qlon_);
    double u_lo = 1.0, u_hi = -1.0;
    for (double k : {-360.0, 0.0, 360.0}) {
      double a = std::max(0.0, -half - x - k), b = std::min(0.01, half - x - k);
      if (a > b) continue;
      u_lo = std::min(u_lo, a);
      u_hi = std::max(u_hi, b);
    }
    return u_lo <= u_hi && to_offsets(u_lo, u_hi, &lo[1], &hi[1]);
  }
  bool keep(uint32_t row, uint32_t col) const override {
    if (row < 1 || row > 17999 || col < 1 || col > 35999) return true;
    if (row != row_) {
      // Cells come row by row: the row's terms are worked out once.
      double lat = double(qlat_);
      double lo = row / 100.0 - 90.0 - 1e-9, hi = (row + 1) / 100.0 - 90.0 + 1e-9;
      row_ = row;
      lat_term_ = sin2_half_below(std::max({0.0, lo - lat, lat - hi}));
      // cos is concave over [-90, 90] degrees: least at an end of the band.
      min_cos_ = std::max(0.0, std::min(cos_below(std::max(lo, -90.0) * kRad), cos_below(std::min(hi, 90.0) * kRad)));
    }
    double lon = double(qlon_);
    double x0 = col / 100.0 - 180.0 - 1e-9 - lon, x1 = (col + 1) / 100.0 - 180.0 + 1e-9 - lon;
    // sin^2(x/2) is 0 at multiples of 360 degrees and rises on both sides of them, so over a
    // column it is least at an end.
    bool holds_zero = (x0 <= 0 && x1 >= 0) || (x0 <= -360 && x1 >= -360) || (x0 <= 360 && x1 >= 360);
    double col_term = holds_zero ? 0.0 : std::min(sin2_half_below(x0), sin2_half_below(x1));
    return lat_term_ + qcos_ * min_cos_ * col_term <= a_lim_;
  }

 private:
  static constexpr size_t kMaxTabulated = 20000;
  // The offsets (1/65536ths of a cell) of the degrees lo..hi from a cell's edge, widened to whole
  // steps; false when none lies in the cell.
  static bool to_offsets(double lo, double hi, uint32_t* q_lo, uint32_t* q_hi) {
    double a = std::floor(lo * 6553600.0), b = std::ceil(hi * 6553600.0);
    if (b < 0.0 || a > 65535.0) return false;
    *q_lo = a < 0.0 ? 0 : uint32_t(a);
    *q_hi = b > 65535.0 ? 65535 : uint32_t(b);
    return true;
  }
  float qlat_, qlon_;
  double qcos_, a_lim_, reach_deg_;
  mutable uint32_t row_ = 0;  // the row of the terms below (0: none yet; row 0 is always kept)
  mutable double lat_term_ = 0, min_cos_ = 0;
};

}  // namespace

std::vector<Hit> search_radius(const CoreIndex& ix, float lat, float lon, float radius_m,
                               const Allowed& allowed) {
  const float m = radius_m / 111000.0f * 1.1f;
  const CellRect plain = cell_rect(lat - m, lat + m, lon - m, lon + m);
  std::vector<CellRect> rects;
  rects.reserve(4);
  rects.push_back(plain);
  const bool exact = in_range(lat, lon) && std::isfinite(radius_m) && radius_m >= 0.0f;
  if (exact) {
    // Angular radius with the margin's 10% and a pad: |dlat| <= a everywhere on the circle.
    double a = static_cast<double>(m) + kPadDeg;
    double lo = static_cast<double>(lat) - a, hi = static_cast<double>(lat) + a;
    uint32_t r0 = row_of(std::max(lo, -90.0)), r1 = row_of(std::min(hi, 90.0));
    bool full = lo <= -90.0 || hi >= 90.0;
    double half = 0;
    if (!full) {
      // From hav(d) >= cos^2(highest |lat|) hav(dlon): sin(dlon/2) <= sin(a/2) / cos(highest).
      double top = std::max(std::fabs(lo), std::fabs(hi)) * M_PI / 180.0;
      double s = std::sin(a * M_PI / 360.0) / std::cos(top);
      if (s >= 1.0) {
        full = true;
      } else {
        half = 2.0 * std::asin(s) * 180.0 / M_PI + kPadDeg;
        if (half >= 180.0) full = true;
      }
    }
    if (full) {
      rects.push_back({r0, r1, col_of(-180.0), col_of(180.0)});
    } else {
      double w = static_cast<double>(lon) - half, e = static_cast<double>(lon) + half;
      rects.push_back({r0, r1, col_of(std::max(w, -180.0)), col_of(std::min(e, 180.0))});
      if (w < -180.0) rects.push_back({r0, r1, col_of(w + 360.0), col_of(180.0)});
      if (e > 180.0) rects.push_back({r0, r1, col_of(-180.0), col_of(e - 360.0)});
    }
  }
  // Radii up to 1000 km, where the float distance is accurate to well within the prune's margin.
  std::optional<CirclePrune> prune;
  if (exact && radius_m <= 1e6f && CirclePrune::usable(rects)) prune.emplace(lat, lon, radius_m);
  std::vector<Placed> placed;
  std::vector<uint32_t> ids = prune ? candidate_ids_near(ix, rects, allowed, *prune, &placed)
                                    : candidate_ids(ix, rects, allowed, nullptr, &placed);
  // Hits as sort keys: the distance's bits above the id. Distances that qualify are never NaN
  // and never -0 (the haversine term is a sum with a non-negative square first), so the keys
  // order like (distance, id).
  std::vector<uint64_t> keys;
  keys.reserve(ids.size() + placed.size());
  const float qcos = query_cos(lat);
  ResultFetch fetch(ix);
  auto measure = [&](uint32_t i, float plat, float plon, const Placed* p) {
    if (exact && !in_range(plat, plon)) {
      // Out-of-range points keep the plain rectangle.
      uint32_t row = lat_row(plat), col = lon_col(plon);
      if (row < plain.r0 || row > plain.r1 || col < plain.c0 || col > plain.c1) return;
    } else if (prune && prune->beyond(plat, plon)) {
      return;
    }
    float d = distance_m(lat, lon, qcos, plat, plon);
    if (d <= radius_m) {  // NaN never qualifies
      if (p != nullptr)
        fetch.found(*p);
      else
        fetch.found(i);
      uint32_t b;
      std::memcpy(&b, &d, 4);
      keys.push_back(uint64_t{b} << 32 | i);
    }
  };
  for (const Placed& p : placed) measure(p.id, p.lat, p.lon, &p);
  ix.for_each_coords(ids, [&](uint32_t i, float plat, float plon) { measure(i, plat, plon, nullptr); });
  // Nearest first, equal distances in ascending internal id.
  radix_sort(keys);
  std::vector<Hit> out(keys.size());
  for (size_t j = 0; j < keys.size(); ++j) {
    uint32_t b = uint32_t(keys[j] >> 32);
    std::memcpy(&out[j].dist, &b, 4);
    out[j].id = uint32_t(keys[j]);
  }
  return out;
}

}  // namespace korvane
