#include "core/grid_index.h"

#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/radix_sort.h"

namespace korvane {

CellPositions* CellPositions::make(uint32_t cap) {
  void* p = std::malloc(sizeof(CellPositions) + sizeof(uint32_t) * (cap > 0 ? cap - 1 : 0));
  if (p == nullptr) throw std::bad_alloc();
  if (reinterpret_cast<uintptr_t>(p) >> 47 != 0) {  // a cell's word could not tell it from a point
    std::free(p);
    throw std::bad_alloc();
  }
  auto* c = static_cast<CellPositions*>(p);
  c->size = 0;
  c->cap = cap;
  return c;
}

void CellPositions::release(CellPositions* p) { std::free(p); }

namespace {
uint32_t offset_16(double from_edge) {
  double q = std::nearbyint(from_edge * 6553600.0);
  return q <= 0.0 ? 0 : q >= 65535.0 ? 65535 : uint32_t(q);  // NaN cannot reach an inner cell
}
}  // namespace

uint32_t CellPositions::encode(uint32_t row, uint32_t col, float lat, float lon) {
  return offset_16(double(lat) - (row / 100.0 - 90.0)) << 16 | offset_16(double(lon) - (col / 100.0 - 180.0));
}

RowCells::~RowCells() {
  for (uint32_t j = 0; j < size_; ++j) {
    sets()[j].~Bitmap();
    CellPositions::release(positions_of(packs()[j].load(std::memory_order_relaxed)));
  }
}

void RowCells::reserve(uint32_t cap, BlockArena& arena) {
  if (cap <= cap_) return;
  char* block = arena.allocate(block_bytes(cap));
  auto* sets_to = reinterpret_cast<Bitmap*>(block);
  auto* packs_to = reinterpret_cast<Pack*>(block + size_t{cap} * sizeof(Bitmap));
  auto* hints_to = reinterpret_cast<Pack*>(block + size_t{cap} * (sizeof(Bitmap) + sizeof(Pack)));
  for (uint32_t k = 0; k < size_; ++k) {
    new (&sets_to[k]) Bitmap(std::move(sets()[k]));
    sets()[k].~Bitmap();
    new (&packs_to[k]) Pack(packs()[k].load(std::memory_order_relaxed));
    new (&hints_to[k]) Pack(hints()[k].load(std::memory_order_relaxed));
  }
  if (cap > kInline)  // the columns, from the entry while the row is short
    std::memcpy(block + size_t{cap} * kCellBytes, size_ <= kInline ? head_ : cols(), size_t{size_} * sizeof(uint16_t));
  char* old = std::exchange(block_, block);
  arena.release(old, block_bytes(std::exchange(cap_, cap)));
}

const CellPositions* RowCells::publish_positions(size_t j, CellPositions* made) const {
  // Positions take the place of a point (a cell with positions holds more than one).
  uintptr_t expected = packs()[j].load(std::memory_order_acquire);
  while (positions_of(expected) == nullptr)
    if (packs()[j].compare_exchange_weak(expected, reinterpret_cast<uintptr_t>(made), std::memory_order_acq_rel,
                                         std::memory_order_acquire))
      return made;
  CellPositions::release(made);
  return positions_of(expected);
}

void RowCells::keep_point(size_t j, float lat, float lon) const {
  if (!(std::isfinite(lat) && std::isfinite(lon))) return;  // never in an inner cell
  uintptr_t expected = 0;
  packs()[j].compare_exchange_strong(expected, point_word(lat, lon), std::memory_order_relaxed);
}

void RowCells::add_point(size_t j, uint32_t row, uint32_t id, float lat, float lon) {
  Bitmap& set = sets()[j];
  uintptr_t w = packs()[j].load(std::memory_order_relaxed);
  if (set.empty()) {
    // The cell's first point.
    set.add(id);
    if (std::isfinite(lat) && std::isfinite(lon)) packs()[j].store(point_word(lat, lon), std::memory_order_relaxed);
    return;
  }
  if (is_point(w)) {
    // The cell no longer holds one point.
    packs()[j].store(0, std::memory_order_relaxed);
    w = 0;
  }
  hints()[j].store(0, std::memory_order_relaxed);
  CellPositions* p = positions_of(w);
  if (p != nullptr && !set.empty() && set.maximum() >= id) {
    // Not the largest id: the positions would fall out of the set's order.
    drop_positions(j);
    p = nullptr;
  }
  set.add(id);
  if (p == nullptr) return;
  if (p->size == p->cap) {
    CellPositions* q = CellPositions::make(p->cap + p->cap / 2 + 4);
    std::memcpy(q->at, p->at, size_t{p->size} * sizeof(uint32_t));
    q->size = p->size;
    CellPositions::release(p);
    packs()[j].store(reinterpret_cast<uintptr_t>(q), std::memory_order_relaxed);
    p = q;
  }
  p->at[p->size++] = CellPositions::encode(row, col(j), lat, lon);
}

void RowCells::drop_positions(size_t j) {
  CellPositions::release(positions_of(packs()[j].exchange(0, std::memory_order_relaxed)));
  hints()[j].store(0, std::memory_order_relaxed);
}

Bitmap& RowCells::insert(size_t j, uint32_t col, BlockArena& arena) {
  // Half as much again: a row's spare room stays below half its cells.
  if (size_ == cap_) reserve(cap_ < 4 ? 4 : cap_ + cap_ / 2, arena);
  Bitmap* s = sets();
  new (&s[size_]) Bitmap();
  // Moves swap: the empty set just made travels down to position j.
  std::move_backward(s + j, s + size_, s + size_ + 1);
  for (Pack* pk : {packs(), hints()}) {
    new (&pk[size_]) Pack(0);
    for (size_t k = size_; k > j; --k) pk[k].store(pk[k - 1].load(std::memory_order_relaxed), std::memory_order_relaxed);
    pk[j].store(0, std::memory_order_relaxed);
  }
  if (cap_ > kInline) {
    uint16_t* c = cols();
    std::memmove(c + j + 1, c + j, (size_ - j) * sizeof(uint16_t));
    c[j] = static_cast<uint16_t>(col);
  }
  ++size_;
  if (size_ <= kInline) {
    std::memmove(head_ + j + 1, head_ + j, (size_ - 1 - j) * sizeof(uint16_t));
    head_[j] = static_cast<uint16_t>(col);
  } else {
    for (size_t i = 0; i < kInline; ++i) head_[i] = cols()[fence(i)];
  }
  return s[j];
}

Bitmap& RowCells::append(uint32_t col) {
  Bitmap* s = new (&sets()[size_]) Bitmap();
  new (&packs()[size_]) Pack(0);
  new (&hints()[size_]) Pack(0);
  if (cap_ > kInline) cols()[size_] = static_cast<uint16_t>(col);
  if (size_ < kInline) head_[size_] = static_cast<uint16_t>(col);
  ++size_;
  if (size_ == cap_ && size_ > kInline)
    for (size_t i = 0; i < kInline; ++i) head_[i] = cols()[fence(i)];
  return *s;
}

bool RowCells::check_invariants() const {
  if (size_ > cap_) return false;
  for (size_t j = 0; j < size_; ++j) {
    if (col(j) < 1 || col(j) >= GridIndex::kBorderCol) return false;
    if (j > 0 && col(j - 1) >= col(j)) return false;
    if (cap_ > kInline && cols()[j] != col(j)) return false;
    const CellPositions* p = positions(j);
    if (p != nullptr && (p->size > p->cap || p->size != ids(j).cardinality())) return false;
    float lat, lon;
    if ((point(j, &lat, &lon) || record_hint(j) != 0) && ids(j).cardinality() != 1) return false;
  }
  for (size_t i = 0; size_ > kInline && i < kInline; ++i)
    if (head_[i] != cols()[fence(i)]) return false;
  return true;
}

const RowCells GridIndex::kNoCells;

RowTable::~RowTable() {
  if (rows_ == nullptr) return;
  for (uint32_t r = 0; r < kRows; ++r)
    if (occupied(r)) rows_[r].~RowCells();
  ::munmap(rows_, huge_page_rounded(kTableBytes));
}

void RowTable::advise_huge() {
  arena_.prefer_huge_pages();
  if (rows_ != nullptr) advise_huge_pages(rows_, kTableBytes);
}

RowCells& RowTable::make(uint32_t r) {
  if (rows_ == nullptr) {
    void* p = map_huge_aligned(kTableBytes);
    if (p == nullptr) throw std::bad_alloc();
    if (arena_.prefers_huge_pages()) advise_huge_pages(p, kTableBytes);
    occupied_.assign((kRows + 63) / 64, 0);
    rows_ = static_cast<RowCells*>(p);
  }
  if (!occupied(r)) {
    new (&rows_[r]) RowCells();
    occupied_[r / 64] |= uint64_t{1} << (r % 64);
  }
  return rows_[r];
}

Bitmap& GridIndex::operator[](uint64_t key) {
  uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
  if (is_border(row, col)) {
    auto [it, fresh] = border_.try_emplace(key);
    size_ += fresh;
    return it->second;
  }
  RowCells& cells = inner_row(row);
  size_t j = cells.size();
  if (j > 0 && cells.col(j - 1) >= col) {
    j = cells.lower_bound(col);
    if (cells.col(j) == col) {
      cells.drop_positions(j);
      return cells.ids(j);
    }
  }
  if (++size_ >= kLargeCells) rows_.prefer_huge_pages();
  return cells.insert(j, col, rows_.arena());
}

void GridIndex::add_point(uint64_t key, uint32_t id, float lat, float lon) {
  uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
  if (is_border(row, col)) {
    (*this)[key].add(id);
    return;
  }
  RowCells& cells = inner_row(row);
  size_t j = cells.lower_bound(col);
  if (j == cells.size() || cells.col(j) != col) {
    if (++size_ >= kLargeCells) rows_.prefer_huge_pages();
    cells.insert(j, col, rows_.arena());
  }
  cells.add_point(j, row, id, lat, lon);
  blocks_.add(row, col, 1);
}

void BlockCounts::add(uint32_t row, uint32_t col, int64_t n) {
  if (GridIndex::is_border(row, col)) return;
  if (fine.empty()) {
    fine.assign(kBlockRows * kBlockCols, 0);
    wide.assign(kWideRows * kWideCols, 0);
  }
  uint32_t br = row / kBlockCells, bc = col / kBlockCells;
  uint32_t& b = fine[br * kBlockCols + bc];
  uint32_t& w = wide[br / kWide * kWideCols + bc / kWide];
  if (n < 0 && (b < uint64_t(-n) || w < uint64_t(-n))) return;
  b = uint32_t(int64_t(b) + n);
  w = uint32_t(int64_t(w) + n);
}

std::vector<uint32_t> GridIndex::live_per_block(const Bitmap& deleted) const {
  std::vector<uint32_t> out(BlockCounts::kBlockRows * BlockCounts::kBlockCols, 0);
  for (uint32_t r = next_row(1, kBorderRow - 1); r != 0; r = next_row(r + 1, kBorderRow - 1)) {
    const RowCells& cells = row(r);
    for (size_t j = 0; j < cells.size(); ++j) {
      const Bitmap& ids = cells.ids(j);
      uint64_t gone = deleted.empty() ? 0 : Bitmap::and_of(ids, deleted).cardinality();
      out[r / BlockCounts::kBlockCells * BlockCounts::kBlockCols + cells.col(j) / BlockCounts::kBlockCells] += uint32_t(ids.cardinality() - gone);
    }
  }
  return out;
}

void GridIndex::prefetch(uint64_t key) const {
  uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
  if (is_border(row, col) || rows_.empty()) return;
  const char* e = static_cast<const char*>(rows_.place(row));
  __builtin_prefetch(e);
  __builtin_prefetch(reinterpret_cast<const char*>(e) + 64);
}

bool GridIndex::insert(uint64_t key, Bitmap&& ids) {
  size_t before = size_;
  Bitmap& cell = (*this)[key];
  if (size_ == before) return false;
  blocks_.add(uint32_t(key >> 32), uint32_t(key), int64_t(ids.cardinality()));
  cell = std::move(ids);
  return true;
}

const Bitmap* GridIndex::find(uint64_t key) const {
  uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
  if (is_border(row, col)) {
    auto it = border_.find(key);
    return it == border_.end() ? nullptr : &it->second;
  }
  const RowCells& cells = this->row(row);
  size_t j = cells.lower_bound(col);
  return j < cells.size() && cells.col(j) == col ? &cells.ids(j) : nullptr;
}

GridIndex GridIndex::of_points(const std::vector<uint64_t>& keys) {
  GridIndex g;
  if (keys.size() >= kLargeCells) g.rows_.prefer_huge_pages();
  // Inner points as (cell number, id) in one word, sorted: cells come out from west to east,
  // row by row, each with its ids ascending.
  std::vector<uint64_t> inner;
  inner.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    uint32_t row = uint32_t(keys[i] >> 32), col = uint32_t(keys[i]);
    if (is_border(row, col))
      g[keys[i]].add(uint32_t(i));
    else
      inner.push_back((uint64_t{row} * kBorderCol + col) << 32 | i);
  }
  radix_sort(inner);
  std::vector<uint32_t> ids;
  uint32_t row = 0;
  for (size_t j = 0; j < inner.size();) {
    uint64_t cell = inner[j] >> 32;
    if (cell / kBorderCol != row) {
      // A new row: its cells counted first, so that it is sized exactly.
      row = uint32_t(cell / kBorderCol);
      uint32_t n = 0;
      for (size_t t = j; t < inner.size() && inner[t] >> 32 < uint64_t{row + 1} * kBorderCol; ++t)
        n += t == j || inner[t] >> 32 != inner[t - 1] >> 32;
      g.inner_row(row).reserve(n, g.rows_.arena());
    }
    ids.clear();
    for (; j < inner.size() && inner[j] >> 32 == cell; ++j) ids.push_back(uint32_t(inner[j]));
    RowCells& cells = g.inner_row(row);
    cells.insert(cells.size(), uint32_t(cell % kBorderCol), g.rows_.arena()) = Bitmap::of_sorted(ids.data(), ids.size());
    g.blocks_.add(row, uint32_t(cell % kBorderCol), int64_t(ids.size()));
    ++g.size_;
  }
  return g;
}

bool GridIndex::of_cells(std::vector<std::pair<uint64_t, Bitmap>>& cells, GridIndex* out) {
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (!std::is_sorted(cells.begin(), cells.end(), by_key))  // a snapshot lists them in order
    std::sort(cells.begin(), cells.end(), by_key);
  GridIndex g;
  if (cells.size() >= kLargeCells) g.rows_.prefer_huge_pages();
  for (size_t j = 0; j < cells.size(); ++j) {
    uint64_t key = cells[j].first;
    if (j > 0 && cells[j - 1].first == key) return false;
    uint32_t row = uint32_t(key >> 32), col = uint32_t(key);
    if (is_border(row, col)) {
      g.border_.emplace_hint(g.border_.end(), key, std::move(cells[j].second));
    } else {
      RowCells& r = g.inner_row(row);
      if (r.empty()) {
        // The row's first cell: the rest of its cells follow, counted for an exact size.
        size_t t = j;
        while (t < cells.size() && cells[t].first >> 32 == row && !is_border(row, uint32_t(cells[t].first))) ++t;
        r.reserve(uint32_t(t - j), g.rows_.arena());
      }
      g.blocks_.add(row, col, int64_t(cells[j].second.cardinality()));
      r.append(col) = std::move(cells[j].second);
    }
    ++g.size_;
  }
  *out = std::move(g);
  return true;
}

uint32_t GridIndex::next_row(uint32_t row, uint32_t last) const {
  if (rows_.empty()) return 0;
  if (row < 1) row = 1;
  if (last > kBorderRow - 1) last = kBorderRow - 1;
  if (row > last) return 0;
  size_t w = row / 64;
  uint64_t bits = rows_.word(w) & (~uint64_t{0} << (row % 64));
  for (;;) {
    if (bits != 0) {
      uint32_t r = uint32_t(w * 64 + size_t(__builtin_ctzll(bits)));
      return r <= last ? r : 0;
    }
    if (++w > last / 64) return 0;
    bits = rows_.word(w);
  }
}

bool GridIndex::check_invariants() const {
  size_t n = 0;
  if (!rows_.empty() && rows_.words() != (kBorderRow + 63) / 64) return false;
  for (uint32_t r = 0; r < kBorderRow && !rows_.empty(); ++r) {
    // Only inner rows have entries, and an entry is made for a cell it then keeps.
    if (rows_.occupied(r) && (r == 0 || rows_.at(r).empty() || !rows_.at(r).check_invariants())) return false;
    n += row(r).size();
  }
  for (const auto& [key, ids] : border_)
    if (!is_border(key)) return false;
  return n + border_.size() == size_;
}

}  // namespace korvane
