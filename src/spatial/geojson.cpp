// geojson.cpp: GeoJSON Polygon and MultiPolygon geometries as shapes, and the test of points
// against them.
//
// Positions are [lon, lat] (a third number, the altitude, is ignored), each narrowed to the
// nearest 32-bit float like every coordinate the index holds. A ring may repeat its first
// position at the end or not. Consecutive longitudes more than 180 degrees apart are joined the
// short way, across the antimeridian; a ring whose steps then add up to a whole turn of longitude
// goes round a pole, and is closed through the pole of the hemisphere where most of it lies.
//
// A point is in a part when it is inside or on its outer ring and strictly inside none of its
// holes; in the shape when it is in any part. Each ring is tested by the crossing rule with exact
// orientations: coordinates are 32-bit floats, so their differences and products are exact in
// the 64-bit mantissa of long double (for coordinates within a few powers of two of each other,
// which is every coordinate of a real place), and a point on an edge is found as such.
#include <algorithm>
#include <cmath>
#include <string>

#include "spatial/search.h"
#include "spatial/shapes.h"

namespace korvane {
namespace {

std::string where(const std::string& path, size_t k) { return path + "[" + std::to_string(k) + "]"; }

// Position k of a ring at `path`; the fault's text names it.
Result<std::pair<double, double>> position(const Json& p, const std::string& path, size_t k) {
  if (!p.is_array() || p.size() < 2 || !p[0].is_number() || !p[1].is_number())
    return Error::value(where(path, k) + ": expected a position [lon, lat] of two numbers");
  double lon = p[0].get<double>(), lat = p[1].get<double>();
  if (!std::isfinite(lon) || !std::isfinite(lat))
    return Error::value(where(path, k) + ": a coordinate is not a finite number");
  if (std::fabs(lat) > 90.0)
    return Error::value(where(path, k) + ": latitude " + dump_compact(p[1]) +
                        " is beyond 90 degrees (positions are [lon, lat])");
  if (std::fabs(lon) > 540.0)
    return Error::value(where(path, k) + ": longitude " + dump_compact(p[0]) + " is beyond 540 degrees");
  return std::pair<double, double>{double(float(lat)), double(float(lon))};
}

// One ring, unwrapped and closed as the file's header says.
Result<Shape::Ring> ring_of(const Json& r, const std::string& path, uint32_t part, bool hole) {
  if (!r.is_array()) return Error::value(path + ": expected a ring, an array of positions");
  Shape::Ring ring{{}, part, hole};
  ring.pts.reserve(r.size());
  for (size_t k = 0; k < r.size(); ++k) {
    auto p = position(r[k], path, k);
    if (!p) return p.error();
    ring.pts.push_back(*p);
  }
  if (ring.pts.size() > 1 && ring.pts.front() == ring.pts.back()) ring.pts.pop_back();
  // At least three distinct positions.
  size_t distinct = ring.pts.empty() ? 0 : 1;
  size_t second = 0;
  for (size_t k = 1; k < ring.pts.size() && distinct < 3; ++k) {
    if (ring.pts[k] == ring.pts[0] || (distinct == 2 && ring.pts[k] == ring.pts[second])) continue;
    if (distinct == 1) second = k;
    ++distinct;
  }
  if (distinct < 3) return Error::value(path + ": a ring needs at least 3 distinct positions");
  // Unwrap the longitudes.
  double turn = 0, lat_sum = 0;
  double prev = ring.pts[0].second;
  for (size_t k = 1; k <= ring.pts.size(); ++k) {
    double raw = ring.pts[k % ring.pts.size()].second;
    double d = raw - prev;
    prev = raw;
    if (d > 180.0) d -= 360.0;
    else if (d < -180.0) d += 360.0;
    turn += d;
    if (k < ring.pts.size()) ring.pts[k].second = ring.pts[k - 1].second + d;
    lat_sum += ring.pts[k - 1].first;
  }
  double winding = std::round(turn / 360.0);
  if (std::fabs(winding) > 1) return Error::value(path + ": the ring goes round a pole more than once");
  if (winding != 0) {
    double pole = lat_sum < 0 ? -90.0 : 90.0;
    double lat0 = ring.pts[0].first, lon0 = ring.pts[0].second, end = lon0 + 360.0 * winding;
    ring.pts.push_back({lat0, end});
    ring.pts.push_back({pole, end});
    ring.pts.push_back({pole, lon0});
  }
  return ring;
}

Result<bool> add_polygon(const Json& rings, const std::string& path, Shape* s) {
  if (!rings.is_array() || rings.empty())
    return Error::value(path + ": expected a polygon, an array of rings (the outer ring first)");
  uint32_t part = s->parts++;
  size_t outer = s->rings.size();
  for (size_t k = 0; k < rings.size(); ++k) {
    auto r = ring_of(rings[k], where(path, k), part, k > 0);
    if (!r) return r.error();
    if (k > 0) {
      // A hole goes by whole turns next to its outer ring.
      double lo = 1e300, hi = -1e300;
      for (const auto& p : s->rings[outer].pts) lo = std::min(lo, p.second), hi = std::max(hi, p.second);
      double shift = 360.0 * std::round(((lo + hi) / 2 - r->pts[0].second) / 360.0);
      for (auto& p : r->pts) p.second += shift;
    }
    s->rings.push_back(std::move(*r));
  }
  return true;
}

}  // namespace

Result<Shape> shape_of_geojson(const Json& g) {
  if (!g.is_object()) return Error::value("geometry: expected a GeoJSON geometry object");
  auto t = g.find("type");
  if (t == g.end() || !t->is_string()) return Error::value("geometry: expected a member \"type\" naming the geometry");
  const std::string& type = t->get_ref<const std::string&>();
  auto c = g.find("coordinates");
  bool multi = type == "MultiPolygon";
  if (type != "Polygon" && !multi) {
    std::string hint = type == "Feature" ? " (pass the feature's \"geometry\")" : "";
    return Error::value("geometry: type " + dump_compact(*t) + " is not supported: Polygon or MultiPolygon" + hint);
  }
  if (c == g.end()) return Error::value("geometry: expected a member \"coordinates\"");
  Shape s;
  if (!multi) {
    auto r = add_polygon(*c, "geometry.coordinates", &s);
    if (!r) return r.error();
  } else {
    if (!c->is_array()) return Error::value("geometry.coordinates: expected an array of polygons");
    for (size_t k = 0; k < c->size(); ++k) {
      auto r = add_polygon((*c)[k], where("geometry.coordinates", k), &s);
      if (!r) return r.error();
    }
  }
  bool first = true;
  for (const auto& ring : s.rings)
    for (const auto& [la, lo] : ring.pts) {
      if (first || la < s.lat_lo) s.lat_lo = la;
      if (first || la > s.lat_hi) s.lat_hi = la;
      if (first || lo < s.lon_lo) s.lon_lo = lo;
      if (first || lo > s.lon_hi) s.lon_hi = lo;
      first = false;
    }
  return s;
}

ShapeTest::ShapeTest(const Shape& s, size_t points) : s_(s) {
  std::vector<EdgeBox> boxes;
  for (uint32_t r = 0; r < s.rings.size(); ++r) {
    const auto& pts = s.rings[r].pts;
    for (size_t i = 0, j = pts.size() - 1; i < pts.size(); j = i++) {
      const auto& a = pts[j];
      const auto& b = pts[i];
      edges_.push_back({a.first, a.second, b.first, b.second, r});
      boxes.push_back({std::min(a.first, b.first), std::max(a.first, b.first), std::min(a.second, b.second),
                       std::max(a.second, b.second)});
    }
  }
  index_ = std::make_unique<EdgeIndex>(boxes, points);
  parity_.assign(s.rings.size(), 0);
  on_.assign(s.rings.size(), 0);
  part_.assign(s.parts, 0);
}

bool ShapeTest::contains(float plat, float plon) {
  if (s_.rings.empty() || std::isnan(plat) || std::isnan(plon)) return false;
  for (int k = -2; k <= 2; ++k) {
    double lon = double(plon) - 360.0 * k;  // exact
    if (lon >= s_.lon_lo && lon <= s_.lon_hi && at(plat, lon)) return true;
  }
  return false;
}

bool ShapeTest::at(double plat, double plon) {
  uint32_t c = index_->cell(plat, plon);
  uint8_t st = index_->state(c);
  if (st == EdgeIndex::kInside) return true;
  if (st == EdgeIndex::kOutside) return false;
  index_->for_edges(plat, plon, [&](uint32_t k, bool north) {
    const Edge& e = edges_[k];
    const long double dx = (long double)e.b_lon - e.a_lon, dy = (long double)e.b_lat - e.a_lat;
    const long double cross = dx * ((long double)plat - e.a_lat) - dy * ((long double)plon - e.a_lon);
    bool touch = false;
    if (cross == 0 && plon >= std::min(e.a_lon, e.b_lon) && plon <= std::max(e.a_lon, e.b_lon) &&
        plat >= std::min(e.a_lat, e.b_lat) && plat <= std::max(e.a_lat, e.b_lat)) {
      if (!on_[e.ring] && !parity_[e.ring]) touched_.push_back(e.ring);
      on_[e.ring] = 1;
      touch = true;
    }
    if (touch || (e.a_lon > plon) == (e.b_lon > plon)) return;
    // South of the edge: right of it going east, left of it going west.
    bool below = e.b_lon > e.a_lon ? cross < 0 : cross > 0;
    if (below == north) {
      if (!on_[e.ring] && !parity_[e.ring]) touched_.push_back(e.ring);
      parity_[e.ring] ^= 1;
    }
  });
  // part_: 1 inside its outer ring, 2 inside one of its holes as well.
  std::vector<uint32_t> parts;
  for (uint32_t r : touched_) {
    const Shape::Ring& ring = s_.rings[r];
    bool in = ring.hole ? (parity_[r] && !on_[r]) : (parity_[r] || on_[r]);
    if (in) {
      if (part_[ring.part] == 0) parts.push_back(ring.part);
      part_[ring.part] |= ring.hole ? 2 : 1;
    }
    parity_[r] = on_[r] = 0;
  }
  touched_.clear();
  bool inside = false;
  for (uint32_t p : parts) {
    inside = inside || part_[p] == 1;
    part_[p] = 0;
  }
  if (st == EdgeIndex::kUnknown) index_->settle(c, inside);
  return inside;
}

std::vector<uint32_t> search_shape(const CoreIndex& ix, const Shape& shape, const Allowed& allowed) {
  std::vector<uint32_t> out;
  if (shape.rings.empty()) return out;
  // The cells of the shape's box, and of its copies a whole turn east and west, within the
  // longitudes of the globe.
  auto down = [](double v) { float f = float(v); return double(f) > v ? std::nextafter(f, -INFINITY) : f; };
  auto up = [](double v) { float f = float(v); return double(f) < v ? std::nextafter(f, INFINITY) : f; };
  std::vector<CellRect> rects;
  for (int k = -2; k <= 2; ++k) {
    double lo = std::max(-180.0, shape.lon_lo + 360.0 * k), hi = std::min(180.0, shape.lon_hi + 360.0 * k);
    if (lo <= hi) rects.push_back(cell_rect(down(shape.lat_lo), up(shape.lat_hi), down(lo), up(hi)));
  }
  std::vector<uint32_t> ids = candidate_ids(ix, rects, allowed);
  if (ids.empty()) return out;
  ShapeTest test(shape, ids.size());
  ix.for_each_coords(ids, [&](uint32_t id, float plat, float plon) {
    if (test.contains(plat, plon)) out.push_back(id);
  });
  return out;
}

}  // namespace korvane
