#include "spatial/grid.h"

#include <cmath>

namespace korvane {
namespace {

constexpr float kDegToRad = 0.017453292f;
constexpr float kHalf = 0.5f;
constexpr float kOne = 1.0f;
constexpr float kEarthRadius = 6371000.0f;

uint32_t to_u32_saturating(double v) {
  if (std::isnan(v) || v <= 0.0) return 0;
  if (v >= 4294967295.0) return 4294967295u;
  return static_cast<uint32_t>(v);  // truncation toward zero
}

int32_t to_i32_saturating(double v) {
  if (std::isnan(v)) return 0;
  if (v <= -2147483648.0) return INT32_MIN;
  if (v >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(v);
}

}  // namespace

uint32_t lat_row(float lat) { return to_u32_saturating((static_cast<double>(lat) + 90.0) * 100.0); }
uint32_t lon_col(float lon) { return to_u32_saturating((static_cast<double>(lon) + 180.0) * 100.0); }
int32_t lat_row_signed(float lat) { return to_i32_saturating((static_cast<double>(lat) + 90.0) * 100.0); }
int32_t lon_col_signed(float lon) { return to_i32_saturating((static_cast<double>(lon) + 180.0) * 100.0); }

float query_cos(float qlat) { return cosf(qlat * kDegToRad); }

float distance_m(float qlat, float qlon, float qcos, float plat, float plon) {
  float dlat = (plat - qlat) * kDegToRad;
  float dlon = (plon - qlon) * kDegToRad;
  float s1 = sinf(dlat * kHalf);
  float s2 = sinf(dlon * kHalf);
  float a = s1 * s1 + (qcos * cosf(plat * kDegToRad)) * (s2 * s2);
  // The term is a haversine, within [0, 1] for any angles; rounding can take it just outside
  // (cosf of 90 degrees is slightly negative, near-antipodal points round above 1), where a
  // square root would give NaN. NaN itself passes through.
  if (a < 0.0f) a = 0.0f;
  if (a > kOne) a = kOne;
  float t = atan2f(sqrtf(a), sqrtf(kOne - a));
  return (t + t) * kEarthRadius;
}

}  // namespace korvane
