// edge_index.cpp: the grid of an EdgeIndex, its columns' edge lists and its cells' states.
#include "spatial/edge_index.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvane {
namespace {

constexpr uint32_t kMaxSide = 2048;

}  // namespace

EdgeIndex::EdgeIndex(const std::vector<EdgeBox>& boxes, size_t points) {
  if (boxes.empty()) {
    start_.assign(2, 0);
    state_.assign(1, kOutside);
    return;
  }
  double lat_lo = boxes[0].lat_lo, lat_hi = boxes[0].lat_hi, lon_lo = boxes[0].lon_lo, lon_hi = boxes[0].lon_hi;
  for (const EdgeBox& b : boxes) {
    lat_lo = std::min(lat_lo, b.lat_lo);
    lat_hi = std::max(lat_hi, b.lat_hi);
    lon_lo = std::min(lon_lo, b.lon_lo);
    lon_hi = std::max(lon_hi, b.lon_hi);
  }
  lat0_ = lat_lo;
  lon0_ = lon_lo;
  // About four cells across per square root of the edges (a border's edges then fill few cells
  // each), no more than the points warrant, and fewer while the boxes of long edges would mark
  // too many cells.
  size_t n = boxes.size();
  double side = std::ceil(4.0 * std::sqrt(double(n)));
  side = std::min(side, std::ceil(2.0 * std::sqrt(double(points) + 16.0)));
  uint32_t g = uint32_t(std::clamp(side, 1.0, double(kMaxSide)));
  const uint64_t budget = 32 * uint64_t(n) + (uint64_t{1} << 20);
  for (;;) {
    cols_ = rows_ = g;
    double w = lon_hi - lon_lo, h = lat_hi - lat_lo;
    lon_scale_ = w > 0 && std::isfinite(double(g) / w) ? double(g) / w : 0.0;
    lat_scale_ = h > 0 && std::isfinite(double(g) / h) ? double(g) / h : 0.0;
    if (lon_scale_ == 0.0) cols_ = 1;
    if (lat_scale_ == 0.0) rows_ = 1;
    uint64_t cost = 0;
    for (const EdgeBox& b : boxes) {
      cost += uint64_t(col_of(b.lon_hi) - col_of(b.lon_lo) + 1) * (row_of(b.lat_hi) - row_of(b.lat_lo) + 1);
      if (cost > budget) break;
    }
    if (cost <= budget || g == 1) break;
    g /= 2;
  }
  build(boxes);
}

void EdgeIndex::build(const std::vector<EdgeBox>& boxes) {
  const size_t n = boxes.size();
  std::vector<uint32_t> c0(n), c1(n), r0(n), r1(n);
  start_.assign(size_t(cols_) + 1, 0);
  state_.assign(size_t(cols_) * rows_, kUnknown);
  for (size_t e = 0; e < n; ++e) {
    c0[e] = col_of(boxes[e].lon_lo);
    c1[e] = col_of(boxes[e].lon_hi);
    r0[e] = row_of(boxes[e].lat_lo);
    r1[e] = row_of(boxes[e].lat_hi);
    for (uint32_t c = c0[e]; c <= c1[e]; ++c) {
      ++start_[c + 1];
      for (uint32_t r = r0[e]; r <= r1[e]; ++r) state_[size_t(r) * cols_ + c] = kMixed;
    }
  }
  std::partial_sum(start_.begin(), start_.end(), start_.begin());
  std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
  north_.resize(start_.back());
  for (size_t e = 0; e < n; ++e)
    for (uint32_t c = c0[e]; c <= c1[e]; ++c) north_[fill[c]++] = uint32_t(e);
  south_ = north_;
  north_row_.resize(north_.size());
  south_row_.resize(south_.size());
  for (uint32_t c = 0; c < cols_; ++c) {
    auto a = north_.begin() + start_[c], b = north_.begin() + start_[c + 1];
    std::stable_sort(a, b, [&](uint32_t x, uint32_t y) { return r1[x] > r1[y]; });
    auto sa = south_.begin() + start_[c], sb = south_.begin() + start_[c + 1];
    std::stable_sort(sa, sb, [&](uint32_t x, uint32_t y) { return r0[x] < r0[y]; });
  }
  for (size_t k = 0; k < north_.size(); ++k) {
    north_row_[k] = r1[north_[k]];
    south_row_[k] = r0[south_[k]];
  }
}

size_t EdgeIndex::count_at_least(size_t a, size_t b, uint32_t row) const {
  // north_row_[a..b) descends: the edges whose highest row is `row` or more come first.
  auto first = north_row_.begin() + a, last = north_row_.begin() + b;
  return size_t(std::partition_point(first, last, [&](uint32_t r) { return r >= row; }) - first);
}

size_t EdgeIndex::count_at_most(size_t a, size_t b, uint32_t row) const {
  auto first = south_row_.begin() + a, last = south_row_.begin() + b;
  return size_t(std::partition_point(first, last, [&](uint32_t r) { return r <= row; }) - first);
}

}  // namespace korvane
