// distance.h: the single-precision great-circle distance that searches measure and sort by.
#pragma once

namespace korvane {

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
