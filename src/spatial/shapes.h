// shapes.h: membership tests of the polygon searches. The polygon of search_polygon is tested by
// the even-odd rule in 32-bit arithmetic; a GeoJSON shape (rings with holes, several parts) by
// exact orientation, boundaries inside. Both go through an EdgeIndex when many points are tested.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "spatial/edge_index.h"

namespace korvane {

// The even-odd rule for one point, edge after edge: vertices (lat, lon), edges from vertex i to
// the one before it (the last for the first), counted when they straddle the point's longitude
// and cross the meridian north of the point.
bool polygon_contains(const std::vector<std::pair<float, float>>& pts, float plat, float plon);

// The same answers as polygon_contains, point for point, bit for bit: each edge is tested by the
// same comparisons and the same arithmetic; the index only passes over edges that cannot change
// the count. Vertices that are not finite, or so large that the arithmetic could overflow, are
// tested edge after edge.
class PolygonTest {
 public:
  PolygonTest(const std::vector<std::pair<float, float>>& pts, size_t points);
  bool contains(float plat, float plon);

 private:
  bool walk(float plat, float plon) const;
  const std::vector<std::pair<float, float>>& pts_;
  std::unique_ptr<EdgeIndex> index_;  // null: edge after edge
};

// A GeoJSON Polygon or MultiPolygon as rings in the plane of (latitude, longitude): longitudes
// unwrapped so that no edge is longer than 180 degrees of longitude (a ring across the
// antimeridian runs past +-180), a ring that goes round a pole closed through that pole, and the
// holes of a part moved by whole turns next to its outer ring.
struct Shape {
  struct Ring {
    std::vector<std::pair<double, double>> pts;  // (lat, lon), unwrapped, not repeating the first
    uint32_t part;
    bool hole;
  };
  std::vector<Ring> rings;
  uint32_t parts = 0;
  double lat_lo = 0, lat_hi = 0, lon_lo = 0, lon_hi = 0;  // over every ring
};

// The shape of a GeoJSON geometry; a ValueError text naming the faulty member otherwise.
Result<Shape> shape_of_geojson(const Json& g);

// Whether points lie in a shape: inside an outer ring (its boundary included) and inside none of
// that part's holes (their boundaries belong to the shape). A point is tested at its longitude
// and at that longitude plus or minus 360 degrees, wherever the shape's rings reach.
class ShapeTest {
 public:
  ShapeTest(const Shape& s, size_t points);
  bool contains(float plat, float plon);

 private:
  bool at(double plat, double plon);
  struct Edge {
    double a_lat, a_lon, b_lat, b_lon;
    uint32_t ring;
  };
  const Shape& s_;
  std::vector<Edge> edges_;
  std::unique_ptr<EdgeIndex> index_;
  std::vector<uint8_t> parity_, on_;  // per ring, for the point being tested
  std::vector<uint32_t> touched_;    // rings changed for the point (repeats harmless)
  std::vector<uint8_t> part_;        // per part, for the point being tested
};

}  // namespace korvane
