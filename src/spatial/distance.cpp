#include "spatial/distance.h"

#include <cmath>

namespace korvane {
namespace {

constexpr float kDegToRad = 0.017453292f;
constexpr float kEarthRadius = 6371000.0f;

}  // namespace

float query_cos(float qlat) { return cosf(qlat * kDegToRad); }

float distance_m(float qlat, float qlon, float qcos, float plat, float plon) {
  float dlat = (plat - qlat) * kDegToRad;
  float dlon = (plon - qlon) * kDegToRad;
  float s1 = sinf(dlat * 0.5f);
  float s2 = sinf(dlon * 0.5f);
  float a = s1 * s1 + (qcos * cosf(plat * kDegToRad)) * (s2 * s2);
  // The term is a haversine, within [0, 1] for any angles; rounding can take it just outside
  // (cosf of 90 degrees is slightly negative, near-antipodal points round above 1), where a
  // square root would give NaN. NaN itself passes through.
  if (a < 0.0f) a = 0.0f;
  if (a > 1.0f) a = 1.0f;
  float t = atan2f(sqrtf(a), sqrtf(1.0f - a));
  return (t + t) * kEarthRadius;
}

}  // namespace korvane
