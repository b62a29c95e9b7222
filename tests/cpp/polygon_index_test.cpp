// The edge index of polygon searches against the even-odd rule tested edge after edge: the same
// answer for every point, on random polygons of 3 to 10000 vertices with degenerate parts
// (repeated vertices, zero-area spikes, edges along a parallel or a meridian) and points on their
// vertices and edges.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "spatial/shapes.h"

using korvane::polygon_contains;
using korvane::PolygonTest;
using Pts = std::vector<std::pair<float, float>>;

namespace {

// A random polygon: a star around a centre (radii varying slowly, as borders do, or wildly),
// its coordinates on a lattice of `snap` degrees when given, so that vertices, edges and points
// meet exactly; then degenerate parts spliced in.
Pts random_polygon(std::mt19937_64& rng, size_t n, float snap) {
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  float clat = -60.0f + 120.0f * u(rng), clon = -170.0f + 340.0f * u(rng), size = std::pow(10.0f, -3.0f + 4.0f * u(rng));
  bool wild = u(rng) < 0.3f;
  Pts p;
  float r = 0.6f;
  for (size_t k = 0; k < n; ++k) {
    float a = 6.2831853f * (float(k) + 0.5f * u(rng)) / float(n);
    r = wild ? 0.05f + u(rng) : std::clamp(r + 0.2f * (u(rng) - 0.5f), 0.1f, 1.0f);
    float la = clat + size * r * std::sin(a), lo = clon + size * r * std::cos(a);
    if (snap > 0) la = std::round(la / snap) * snap, lo = std::round(lo / snap) * snap;
    p.push_back({la, lo});
  }
  // Degenerate parts: a repeated vertex, a spike out and back, an edge along a parallel, one
  // along a meridian.
  for (int d = 0; d < 4 && p.size() > 3; ++d) {
    size_t at = size_t(u(rng) * float(p.size() - 1));
    auto v = p[at];
    switch (int(u(rng) * 4.0f)) {
      case 0: p.insert(p.begin() + at, v); break;
      case 1: p.insert(p.begin() + at + 1, {{v.first + size * 0.3f, v.second + size * 0.1f}, v}); break;
      case 2: p.insert(p.begin() + at + 1, {v.first, v.second + size * 0.2f}); break;
      default: p.insert(p.begin() + at + 1, {v.first + size * 0.2f, v.second}); break;
    }
  }
  return p;
}

// Points to test: random ones over the box and a little beyond, the vertices, the midpoints of
// the edges and points on the lattice.
Pts probes(std::mt19937_64& rng, const Pts& poly, size_t count, float snap) {
  float la0 = poly[0].first, la1 = la0, lo0 = poly[0].second, lo1 = lo0;
  for (auto [la, lo] : poly) la0 = std::min(la0, la), la1 = std::max(la1, la), lo0 = std::min(lo0, lo), lo1 = std::max(lo1, lo);
  float pad_la = (la1 - la0) * 0.05f, pad_lo = (lo1 - lo0) * 0.05f;
  std::uniform_real_distribution<float> ula(la0 - pad_la, la1 + pad_la), ulo(lo0 - pad_lo, lo1 + pad_lo);
  Pts out;
  for (size_t k = 0; k < count; ++k) {
    float la = ula(rng), lo = ulo(rng);
    if (snap > 0 && k % 2 == 0) la = std::round(la / snap) * snap, lo = std::round(lo / snap) * snap;
    out.push_back({la, lo});
  }
  for (size_t k = 0; k < poly.size() && k < count; ++k) {
    const auto& a = poly[k];
    const auto& b = poly[(k + 1) % poly.size()];
    out.push_back(a);
    out.push_back({a.first + (b.first - a.first) * 0.5f, a.second + (b.second - a.second) * 0.5f});
  }
  return out;
}

size_t check(const Pts& poly, const Pts& pts) {
  PolygonTest t(poly, pts.size());
  size_t inside = 0, wrong = 0;
  for (auto [la, lo] : pts) {
    bool want = polygon_contains(poly, la, lo);
    inside += want;
    if (t.contains(la, lo) != want && ++wrong <= 3)
      ADD_FAILURE() << "point (" << la << ", " << lo << ") of a polygon of " << poly.size() << " vertices";
  }
  return inside;
}

}  // namespace

TEST(PolygonIndex, SameAnswersAsTheRule) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  size_t inside = 0, total = 0;
  for (int t = 0; t < 3000; ++t) {
    size_t n = 3 + size_t(std::pow(10.0, 4.0 * std::pow(u(rng), 2.0)));  // mostly small, up to 10003
    n = std::min<size_t>(n, 10000);
    float snap = u(rng) < 0.5 ? 0.0f : std::ldexp(1.0f, -int(2 + 8 * u(rng)));
    Pts poly = random_polygon(rng, n, snap);
    Pts pts = probes(rng, poly, n > 2000 ? 300 : 1000, snap);
    inside += check(poly, pts);
    total += pts.size();
  }
  // The points sample both sides.
  EXPECT_GT(inside, total / 10);
  EXPECT_LT(inside, total * 9 / 10);
}

TEST(PolygonIndex, NonFiniteAndHugeVertices) {
  const float inf = INFINITY, nan = NAN;
  std::mt19937_64 rng(7);
  for (const Pts& poly : {Pts{{0, 0}, {0, 1}, {nan, 2}, {1, 1}, {1, 0}}, Pts{{0, 0}, {0, inf}, {1, 1}},
                          Pts{{-3e38f, 0}, {3e38f, 1e30f}, {5, -2e20f}, {1, 1}}}) {
    Pts pts = probes(rng, {{-1, -1}, {2, 2}}, 500, 0.25f);
    pts.push_back({nan, 0.5f});
    pts.push_back({0.5f, nan});
    check(poly, pts);
  }
}
