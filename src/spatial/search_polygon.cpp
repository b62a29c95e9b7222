// search_polygon.cpp: the points inside a polygon, by even-odd ray casting over the candidates
// of its bounding box.
#include "spatial/search.h"

namespace korvane {

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
  std::vector<uint32_t> ids = candidate_ids(ix, {cell_rect(lat_lo, lat_hi, lon_lo, lon_hi)}, allowed);
  std::vector<uint32_t> out;
  size_t n = pts.size();
  ix.for_each_coords(ids, [&](uint32_t id, float plat, float plon) {
    bool inside = false;
    for (size_t i = 0, j = n - 1; i < n; j = i++) {
      float lat_i = pts[i].first, lon_i = pts[i].second;
      float lat_j = pts[j].first, lon_j = pts[j].second;
      if ((lon_i > plon) != (lon_j > plon)) {
        float e = plon - lon_i;
        float w = lon_j - lon_i;
        float h = lat_j - lat_i;
        float x = lat_i + ((e * h) / w);
        if (plat < x) inside = !inside;
      }
    }
    if (inside) out.push_back(id);
  });
  return out;
}

}  // namespace korvane
