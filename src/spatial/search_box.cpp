// search_box.cpp: the points inside a latitude/longitude box, bounds included.
#include "spatial/search.h"

namespace korvane {

std::vector<uint32_t> search_box(const CoreIndex& ix, float north, float west, float south, float east,
                                 const Allowed& allowed) {
  std::vector<uint32_t> ids = candidate_ids(ix, {cell_rect(south, north, west, east)}, allowed);
  std::vector<uint32_t> out;
  ix.for_each_coords(ids, [&](uint32_t id, float lat, float lon) {
    if (lat <= north && lat >= south && lon >= west && lon <= east) out.push_back(id);
  });
  return out;
}

}  // namespace korvane
