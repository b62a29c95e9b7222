// Radius search. The grid narrows the candidates to rectangles of cells; every candidate is then
// measured. For a query inside the coordinate ranges and a finite radius the rectangles cover
// the whole circle (its longitude span widened for the highest latitude it reaches, the whole
// longitude range when it reaches a pole, and the part across the antimeridian), so every
// in-range point within the radius is found. Other queries, and points stored outside the
// coordinate ranges, are served by the plain rectangle of +-margin degrees around the query.
#include <algorithm>
#include <cmath>

#include "spatial/grid.h"
#include "spatial/search.h"

namespace korvane {
namespace {

bool in_range(float lat, float lon) { return lat >= -90.0f && lat <= 90.0f && lon >= -180.0f && lon <= 180.0f; }

uint32_t row_of(double lat) { return lat_row(static_cast<float>(lat)); }
uint32_t col_of(double lon) { return lon_col(static_cast<float>(lon)); }

// Slack beyond the margin, in degrees, against rounding in the float distance.
constexpr double kPadDeg = 1e-4;

}  // namespace

std::vector<Hit> search_radius(const CoreIndex& ix, float lat, float lon, float radius_m,
                               const Allowed& allowed) {
  const float m = radius_m / 111000.0f * 1.1f;
  const CellRect plain = cell_rect(lat - m, lat + m, lon - m, lon + m);
  std::vector<CellRect> rects{plain};
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
  Bitmap cand = candidates(ix, rects, allowed);
  std::vector<uint32_t> ids = cand.to_vector();
  std::vector<Hit> out;
  const float qcos = query_cos(lat);
  ix.prefetch_first_coords(ids);
  for (size_t j = 0; j < ids.size(); ++j) {
    ix.prefetch_coords(ids, j);
    uint32_t i = ids[j];
    auto [plat, plon] = ix.get_coords(i);
    if (exact && !in_range(plat, plon)) {
      // Out-of-range points keep the plain rectangle.
      uint32_t row = lat_row(plat), col = lon_col(plon);
      if (row < plain.r0 || row > plain.r1 || col < plain.c0 || col > plain.c1) continue;
    }
    float d = distance_m(lat, lon, qcos, plat, plon);
    if (d <= radius_m) out.push_back({i, d});  // NaN never qualifies
  }
  // Nearest first, equal distances in ascending internal id (the order they were found in).
  std::sort(out.begin(), out.end(), [](const Hit& a, const Hit& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
  });
  return out;
}

}  // namespace korvane
