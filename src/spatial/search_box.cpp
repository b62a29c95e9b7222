// search_box.cpp: the points inside a latitude/longitude box, bounds included.
#include "core/radix_sort.h"
#include "spatial/search.h"

namespace korvane {

std::vector<uint32_t> search_box(const CoreIndex& ix, float north, float west, float south, float east,
                                 const Allowed& allowed) {
  std::vector<Placed> placed;
  std::vector<uint32_t> ids = candidate_ids(ix, {cell_rect(south, north, west, east)}, allowed, nullptr, &placed);
  std::vector<uint32_t> out;
  ResultFetch fetch(ix);
  auto inside = [&](float lat, float lon) { return lat <= north && lat >= south && lon >= west && lon <= east; };
  for (const Placed& p : placed)
    if (inside(p.lat, p.lon)) {
      fetch.found(p);
      out.push_back(p.id);
    }
  ix.for_each_coords(ids, [&](uint32_t id, float lat, float lon) {
    if (inside(lat, lon)) {
      fetch.found(id);
      out.push_back(id);
    }
  });
  if (!placed.empty()) radix_sort(out);  // ascending ids
  return out;
}

}  // namespace korvane
