// cell_key.h: the 0.01-degree grid that files every point under a cell: rows, columns and the
// 64-bit cell key the grid index is keyed by.
#pragma once

#include <cstdint>

namespace korvane {

// Rows and columns: (degrees + offset) * 100 in double arithmetic, truncated toward zero and
// saturated to 0..4294967295 (NaN gives 0).
uint32_t lat_row(float lat);
uint32_t lon_col(float lon);
inline uint64_t make_cell_key(uint32_t row, uint32_t col) {
  return (static_cast<uint64_t>(row) << 32) | col;
}
// Latitude row in the upper 32 bits, longitude column in the lower 32.
inline uint64_t cell_key(float lat, float lon) { return make_cell_key(lat_row(lat), lon_col(lon)); }

// The signed query row and column of the nearest-neighbour walk: the same arithmetic, saturated
// to the signed 32-bit range.
int32_t lat_row_signed(float lat);
int32_t lon_col_signed(float lon);

}  // namespace korvane
