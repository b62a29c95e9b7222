// grid.h: the 0.01-degree grid that files every point under a cell, and the single-precision
// great-circle distance that searches measure and sort by.
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

// cos(query latitude * k), computed once per query.
float query_cos(float qlat);
// Haversine in 32-bit arithmetic with the C library's sinf, cosf and atan2f, differences taken
// as point minus query; the haversine term is clamped to [0, 1] against rounding, so the distance
// is NaN only where a coordinate, or a difference of two, is NaN or infinite.
float distance_m(float qlat, float qlon, float qcos, float plat, float plon);
inline float distance_m(float qlat, float qlon, float plat, float plon) {
  return distance_m(qlat, qlon, query_cos(qlat), plat, plon);
}

}  // namespace korvane
