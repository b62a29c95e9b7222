// search_polygon.cpp: the points inside a polygon, by even-odd ray casting over the candidates
// of its bounding box.
#include <atomic>
#include <cmath>

#include "spatial/search.h"
#include "spatial/shapes.h"

namespace korvane {
namespace {

// Below this many candidates the edges are tested one after another: an index costs more.
constexpr size_t kIndexFrom = 32;
// Beyond this size a vertex could overflow the arithmetic of the rule (e * h).
constexpr float kLargest = 1e18f;

std::atomic<bool> g_plain{false};

// The edge from vertex i to vertex j, as the rule tests it: straddling the point's longitude, and
// crossing north of it.
inline bool crosses(float lat_i, float lon_i, float lat_j, float lon_j, float plat, float plon, bool* straddles) {
  *straddles = (lon_i > plon) != (lon_j > plon);
  if (!*straddles) return false;
  float e = plon - lon_i;
  float w = lon_j - lon_i;
  float h = lat_j - lat_i;
  float x = lat_i + ((e * h) / w);
  return plat < x;
}

}  // namespace

void set_plain_polygons(bool on) { g_plain.store(on); }

bool polygon_contains(const std::vector<std::pair<float, float>>& pts, float plat, float plon) {
  bool inside = false;
  size_t n = pts.size();
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    bool s;
    if (crosses(pts[i].first, pts[i].second, pts[j].first, pts[j].second, plat, plon, &s)) inside = !inside;
  }
  return inside;
}

PolygonTest::PolygonTest(const std::vector<std::pair<float, float>>& pts, size_t points) : pts_(pts) {
  size_t n = pts.size();
  for (const auto& [la, lo] : pts)
    if (!(std::fabs(la) <= kLargest && std::fabs(lo) <= kLargest)) return;  // NaN too
  // Where x = lat_i + (e * h) / w can land: within the edge's latitudes, give or take the
  // rounding of h, of the product and quotient (a few units in the last place of h, or an
  // underflow's 2^-149 divided by w) and of the sum (one unit of x). Widened fourfold.
  std::vector<EdgeBox> boxes(n);
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    double la_i = pts[i].first, lo_i = pts[i].second, la_j = pts[j].first, lo_j = pts[j].second;
    double w = std::fabs(double(float(pts[j].second - pts[i].second)));
    double m = (4.0 * std::fabs(la_j - la_i) + std::fabs(la_i) + std::fabs(la_j)) * 0x1p-22 + 0x1p-146;
    if (w > 0) m += 0x1p-146 / w;
    boxes[i] = {std::min(la_i, la_j) - m, std::max(la_i, la_j) + m, std::min(lo_i, lo_j), std::max(lo_i, lo_j)};
  }
  index_ = std::make_unique<EdgeIndex>(boxes, points);
}

bool PolygonTest::walk(float plat, float plon) const {
  bool inside = false;
  const size_t n = pts_.size();
  index_->for_edges(plat, plon, [&](uint32_t i, bool north) {
    size_t j = i == 0 ? n - 1 : i - 1;
    bool s;
    bool c = crosses(pts_[i].first, pts_[i].second, pts_[j].first, pts_[j].second, plat, plon, &s);
    if (s && c == north) inside = !inside;
  });
  return inside;
}

bool PolygonTest::contains(float plat, float plon) {
  if (index_ == nullptr) return polygon_contains(pts_, plat, plon);
  // No edge straddles a NaN longitude, and a NaN latitude is north of no crossing.
  if (std::isnan(plat) || std::isnan(plon)) return false;
  uint32_t c = index_->cell(plat, plon);
  uint8_t st = index_->state(c);
  if (st == EdgeIndex::kInside) return true;
  if (st == EdgeIndex::kOutside) return false;
  bool in = walk(plat, plon);
  if (st == EdgeIndex::kUnknown) index_->settle(c, in);
  return in;
}

std::vector<uint32_t> search_polygon(const CoreIndex& ix, const std::vector<std::pair<float, float>>& pts,
                                     const Allowed& allowed) {
  float lat_lo = 3.4028235e38f, lat_hi = -3.4028235e38f;
  float lon_lo = 3.4028235e38f, lon_hi = -3.4028235e38f;
  for (const auto& [la, lo] : pts) {
    if (la < lat_lo) lat_lo = la;
    if (la > lat_hi) lat_hi = la;
    if (lo < lon_lo) lon_lo = lo;
    if (lo > lon_hi) lon_hi = lo;
  }
  std::vector<Placed> placed;
  std::vector<uint32_t> ids =
      candidate_ids(ix, {cell_rect(lat_lo, lat_hi, lon_lo, lon_hi)}, allowed, nullptr, &placed);
  const size_t n = ids.size() + placed.size();
  if (n < kIndexFrom || g_plain.load())
    return answers(ix, placed, ids, [&](float plat, float plon) { return polygon_contains(pts, plat, plon); });
  PolygonTest index(pts, n);
  return answers(ix, placed, ids, [&](float plat, float plon) { return index.contains(plat, plon); });
}

}  // namespace korvane
