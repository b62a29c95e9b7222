#include "core/cell_key.h"

#include <cmath>

namespace korvane {
namespace {

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

}  // namespace korvane
