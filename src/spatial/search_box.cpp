// search_box.cpp: the points inside a latitude/longitude box, bounds included.
#include "spatial/search.h"

namespace korvane {

std::vector<uint32_t> search_box(const CoreIndex& ix, float north, float west, float south, float east,
                                 const Allowed& allowed) {
  std::vector<Placed> placed;
  std::vector<uint32_t> ids = candidate_ids(ix, {cell_rect(south, north, west, east)}, allowed, nullptr, &placed);
  return answers(ix, placed, ids,
                 [&](float lat, float lon) { return lat <= north && lat >= south && lon >= west && lon <= east; });
}

}  // namespace korvane
