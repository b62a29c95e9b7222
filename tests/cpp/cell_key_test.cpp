// Grid rows, columns and cell keys: the stored 32-bit coordinate, widened, offset and scaled in
// 64-bit arithmetic, truncated toward zero with saturation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/cell_key.h"

using korvane::cell_key;
using korvane::lat_row;
using korvane::lon_col;

TEST(CellKey, Table) {
  EXPECT_EQ(cell_key(0.0f, 0.0f), 38654705682000ull);
  EXPECT_EQ(cell_key(0.01f, -0.01f), 38654705681999ull);
  EXPECT_EQ(cell_key(12.34f, 2.3522f), 43954695325499ull);
  EXPECT_EQ(cell_key(-90.0f, -180.0f), 0ull);
  EXPECT_EQ(cell_key(90.0f, 180.0f), 77309411364000ull);
  EXPECT_EQ(cell_key(-91.0f, std::nanf("")), 0ull);
}

TEST(CellKey, RowsAndColumns) {
  EXPECT_EQ(lat_row(0.01f), 9000u);  // the float nearest 0.01 lies just below it
  EXPECT_EQ(lat_row(0.02f), 9001u);
  EXPECT_EQ(lon_col(-0.01f), 17999u);
  EXPECT_EQ(lat_row(90.0f), 18000u);
  EXPECT_EQ(lon_col(180.0f), 36000u);
  EXPECT_EQ(lon_col(-180.0f), 0u);
  EXPECT_EQ(lat_row(12.34f), 10234u);
  EXPECT_EQ(lon_col(2.3522f), 18235u);
}

TEST(CellKey, Saturation) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(lat_row(-90.5f), 0u);
  EXPECT_EQ(lat_row(-inf), 0u);
  EXPECT_EQ(lat_row(std::nanf("")), 0u);
  EXPECT_EQ(lat_row(inf), 4294967295u);
  EXPECT_EQ(lon_col(3e38f), 4294967295u);
  // The largest latitude that still fits: (lat + 90) * 100 just below 2^32.
  EXPECT_EQ(lat_row(42949580.0f), 4294967000u);
  EXPECT_EQ(lat_row(42949680.0f), 4294967295u);
  // Just below a row boundary truncates down; -90 + a hair is still row 0.
  EXPECT_EQ(lat_row(-89.999f), 0u);
  EXPECT_EQ(cell_key(inf, inf), 0xFFFFFFFFFFFFFFFFull);
}
