// edge_index.h: a per-query index of a shape's edges for crossing-parity tests, built once per
// search so that a point costs the edges near it rather than every edge of the border.
//
// The shape's bounding box is cut into a grid of columns (longitude) and rows (latitude). Every
// edge is listed under the columns its box spans, and its box marks the cells it covers as
// mixed. The ray of the test runs along a column (towards increasing latitude), and the edges
// that can decide it are those of the point's column: an edge wholly south of the point's row
// never counts, an edge wholly north counts whenever the point lies within its longitudes.
//
// A cell no edge box covers holds no part of the border, and the parity is the same for every
// point in it: along the column's longitudes inside the cell, the edges north of the cell enter
// and leave the count only at their shared vertices, two at a time. Its first point is tested,
// and the others take its answer. Cells and columns come from monotone functions of the
// coordinates, so a point inside an edge's box always lands in a cell the box marks.
//
// A point of a mixed cell walks its column's edges north of its row (those whose box reaches
// the row or beyond) or those south of it, whichever are fewer. Going south counts the edges the
// ray does not cross: every closed ring straddles a longitude an even number of times, so both
// give the same parity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

// The part of the plane an edge can decide: the longitudes it straddles and the latitudes at
// which the test may find it (the caller widens these by its arithmetic's rounding).
struct EdgeBox {
  double lat_lo, lat_hi, lon_lo, lon_hi;
};

class EdgeIndex {
 public:
  enum : uint8_t { kUnknown = 0, kInside = 1, kOutside = 2, kMixed = 3 };

  // `points` is how many points the search will test, which bounds the grid worth building.
  EdgeIndex(const std::vector<EdgeBox>& boxes, size_t points);

  // The cell of a point (NaN coordinates excluded by the caller), and its state.
  uint32_t cell(double lat, double lon) const { return row_of(lat) * cols_ + col_of(lon); }
  uint8_t state(uint32_t c) const { return state_[c]; }
  void settle(uint32_t c, bool inside) { state_[c] = inside ? kInside : kOutside; }

  // Calls f(edge, north) for the edges of the point's column that may decide it: north is true
  // when they are the edges reaching the point's row or beyond northwards (count the edges the
  // ray crosses), false when they are those reaching it or beyond southwards (count the edges
  // straddling the point that it does not cross).
  template <class F>
  void for_edges(double lat, double lon, F&& f) const {
    uint32_t col = col_of(lon), row = row_of(lat);
    size_t a = start_[col], b = start_[col + 1];
    // north_: by row_hi descending; south_: by row_lo ascending.
    size_t n_north = count_at_least(a, b, row), n_south = count_at_most(a, b, row);
    if (n_north <= n_south) {
      for (size_t k = a; k < a + n_north; ++k) f(north_[k], true);
    } else {
      for (size_t k = a; k < a + n_south; ++k) f(south_[k], false);
    }
  }

  uint32_t cols() const { return cols_; }
  uint32_t rows() const { return rows_; }

 private:
  uint32_t col_of(double lon) const { return step(lon, lon0_, lon_scale_, cols_); }
  uint32_t row_of(double lat) const { return step(lat, lat0_, lat_scale_, rows_); }
  // floor((v - origin) * scale) within 0..n-1: monotone in v.
  static uint32_t step(double v, double origin, double scale, uint32_t n) {
    double s = (v - origin) * scale;
    if (!(s > 0.0)) return 0;
    if (s >= double(n - 1)) return n - 1;
    return uint32_t(s);
  }
  size_t count_at_least(size_t a, size_t b, uint32_t row) const;
  size_t count_at_most(size_t a, size_t b, uint32_t row) const;
  void build(const std::vector<EdgeBox>& boxes);

  double lat0_ = 0, lon0_ = 0, lat_scale_ = 0, lon_scale_ = 0;
  uint32_t rows_ = 1, cols_ = 1;
  std::vector<uint32_t> start_;              // per column, its range in north_/south_
  std::vector<uint32_t> north_, north_row_;  // edge ids, and their highest rows
  std::vector<uint32_t> south_, south_row_;  // edge ids, and their lowest rows
  std::vector<uint8_t> state_;               // per cell
};

}  // namespace korvane
