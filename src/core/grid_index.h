// grid_index.h: the map from cell key to the ids filed under that cell, kept in grid order so
// that a search meets only the occupied cells of its area, never the empty ones.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <absl/container/btree_map.h>

#include "core/bitmap.h"
#include "core/block_arena.h"

namespace korvane {

// Where a cell's points lie within it, one word per point in the order of the cell's ids: the
// latitude's offset from the cell's southern edge in the upper 16 bits and the longitude's from
// its western edge in the lower, each in 1/65536ths of the cell (0.15 mm of latitude), rounded
// and held to 0..65535. A search reads a crowded cell's positions in sequence, and passes over
// the points that lie certainly too far away before it fetches any point's stored coordinates.
struct CellPositions {
  uint32_t size, cap;
  uint32_t at[1];  // size words follow, room for cap

  static CellPositions* make(uint32_t cap);
  static void release(CellPositions* p);
  // The word of a point at (lat, lon) in the cell of `row` and `col`.
  static uint32_t encode(uint32_t row, uint32_t col, float lat, float lon);
  // A word's latitude and longitude: within 2e-7 degrees of the point's own (or of the cell's
  // edge, for a point that rounding filed just outside it).
  static double lat_of(uint32_t row, uint32_t word) { return row / 100.0 - 90.0 + (word >> 16) / 6553600.0; }
  static double lon_of(uint32_t col, uint32_t word) { return col / 100.0 - 180.0 + (word & 0xffff) / 6553600.0; }
};

// One inner row's cells: their columns, ascending, and their sets. A row is one 128-byte entry
// of the row table (two cache lines, side by side with the rows next to it) and a block of its
// own, from the table's BlockArena: cap_ sets, cap_ words (a pointer to the positions of a
// crowded cell, made when a search first wants them, or a lone point's coordinates), cap_ record
// hints, then, when cap_ exceeds kInline, cap_ columns (16 bits each: inner columns are below
// 36000). A row of up to kInline cells keeps its columns in the entry, so a search reads the
// entry and nothing else until it finds a cell. A longer row keeps kInline of its columns there,
// evenly spaced (fences): a search reads the entry and then one short stretch of the block.
class alignas(64) RowCells {
 public:
  static constexpr uint32_t kInline = 56;

  RowCells() = default;
  RowCells(const RowCells&) = delete;
  RowCells& operator=(const RowCells&) = delete;
  ~RowCells();

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t col(size_t j) const { return size_ <= kInline ? head_[j] : cols()[j]; }
  const Bitmap& ids(size_t j) const { return sets()[j]; }
  Bitmap& ids(size_t j) { return sets()[j]; }
  // The positions of cell j's points, null until made.
  const CellPositions* positions(size_t j) const {
    return positions_of(packs()[j].load(std::memory_order_acquire));
  }
  // Makes them from `made` when nobody has yet, under the shared lock of the index: searches may
  // race to do so, and the loser frees its copy. Returns the published positions.
  const CellPositions* publish_positions(size_t j, CellPositions* made) const;
  // A cell that holds one point keeps that point's coordinates in its word, exactly as stored,
  // so that a search learns where a lone point lies without reading coords.bin (most cells of
  // sparse data hold one point). Filed points' coordinates are kept by add_point; a bulk build's
  // are left to the first search that reads them. False when cell j keeps none.
  bool point(size_t j, float* lat, float* lon) const {
    uintptr_t w = packs()[j].load(std::memory_order_relaxed);
    if (!is_point(w)) return false;
    uint32_t a = ~uint32_t(w >> 32), b = uint32_t(w);
    std::memcpy(lat, &a, 4);
    std::memcpy(lon, &b, 4);
    return true;
  }
  // Keeps the coordinates of the one point of cell j, read from coords.bin, unless its word is
  // taken: searches may race to do so under the shared lock, all with the same coordinates.
  void keep_point(size_t j, float lat, float lon) const;
  // A cell that holds one point may also keep where that point's two records lie (a hint the
  // record files make and read, CoreIndex::record_hint; never 0): a search that finds the point
  // is an answer then fetches its records at once, without waiting for their slots. Made by the
  // first search that reads the slots; 0 until then.
  uint64_t record_hint(size_t j) const { return hints()[j].load(std::memory_order_relaxed); }
  void keep_record_hint(size_t j, uint64_t hint) const {
    uintptr_t expected = 0;
    hints()[j].compare_exchange_strong(expected, hint, std::memory_order_relaxed);
  }
  // Starts fetching what a search reads of cell j: its set, word and hint.
  void prefetch(size_t j) const {
    __builtin_prefetch(sets() + j);
    __builtin_prefetch(packs() + j);
    __builtin_prefetch(hints() + j);
  }
  // Which cell `set` is (a reference ids() gave).
  size_t index_of(const Bitmap& set) const { return size_t(&set - sets()); }
  // Files id (the cell's largest yet) at (lat, lon) in cell j, keeping its positions in step;
  // the index's exclusive lock is held.
  void add_point(size_t j, uint32_t row, uint32_t id, float lat, float lon);
  // Drops cell j's positions or point and record hint, which a change to its set made stale.
  void drop_positions(size_t j);
  // The first cell whose column is not below `col` (size() when none).
  size_t lower_bound(uint32_t col) const {
    if (size_ <= kInline) return first_not_below(head_, size_, col);
    // Cells fence(i - 1) .. fence(i) - 1 lie between fences i - 1 and i.
    size_t i = first_not_below(head_, kInline, col);
    if (i == 0) return 0;
    size_t lo = fence(i - 1), hi = i == kInline ? size_ : fence(i);
    return lo + first_not_below(cols() + lo, hi - lo, col);
  }
  // A new empty cell for `col` at position j (the columns stay ascending: the caller's care).
  // The blocks of a row come from `arena`, and go back to it; the row's destructor leaves its
  // block to the arena, which goes after it.
  Bitmap& insert(size_t j, uint32_t col, BlockArena& arena);
  // Room for `cap` cells in all (a bulk build sizes its rows exactly).
  void reserve(uint32_t cap, BlockArena& arena);
  // A bulk build: a new empty cell for `col`, east of every cell, in room already reserved. A
  // long row's fences are set once, as the cell that fills the room comes in.
  Bitmap& append(uint32_t col);
  // Columns ascending and inner, the entry agreeing with the block.
  bool check_invariants() const;

 private:
  // The first of xs[0..n) not below v (n when none), for ascending xs: a binary search whose
  // steps are conditional moves, not branches a processor would mispredict half the time.
  static size_t first_not_below(const uint16_t* xs, size_t n, uint32_t v) {
    if (n == 0) return 0;
    const uint16_t* base = xs;
    while (n > 1) {
      size_t half = n / 2;
      base = base[half] < v ? base + half : base;
      n -= half;
    }
    return size_t(base - xs) + (*base < v);
  }
  // The cell whose column is fence i of a long row.
  size_t fence(size_t i) const { return i * size_ / kInline; }
  // A cell's word: 0; a CellPositions pointer (below 2^47, where every address a process gets
  // from the allocator lies); or a point: its latitude's bits inverted in the upper half, its
  // longitude's in the lower. An inverted latitude has one of its upper 15 bits set unless the
  // latitude is a negative NaN, which no inner cell holds.
  using Pack = std::atomic<uintptr_t>;
  static bool is_point(uintptr_t w) { return (w >> 47) != 0; }
  static uintptr_t point_word(float lat, float lon) {
    uint32_t a, b;
    std::memcpy(&a, &lat, 4);
    std::memcpy(&b, &lon, 4);
    return uintptr_t(~a) << 32 | b;
  }
  static CellPositions* positions_of(uintptr_t w) {
    return is_point(w) ? nullptr : reinterpret_cast<CellPositions*>(w);
  }
  static constexpr size_t kCellBytes = sizeof(Bitmap) + 2 * sizeof(Pack);
  static size_t block_bytes(uint32_t cap) {
    return size_t{cap} * kCellBytes + (cap > kInline ? size_t{cap} * sizeof(uint16_t) : 0);
  }
  Bitmap* sets() const { return reinterpret_cast<Bitmap*>(block_); }
  Pack* packs() const { return reinterpret_cast<Pack*>(block_ + size_t{cap_} * sizeof(Bitmap)); }
  Pack* hints() const { return reinterpret_cast<Pack*>(block_ + size_t{cap_} * (sizeof(Bitmap) + sizeof(Pack))); }
  uint16_t* cols() const { return reinterpret_cast<uint16_t*>(block_ + size_t{cap_} * kCellBytes); }

  char* block_ = nullptr;
  uint32_t size_ = 0, cap_ = 0;
  uint16_t head_[kInline] = {};  // the columns (size_ <= kInline), else the fences
};
static_assert(sizeof(RowCells) == 128);

// Points per block of 1 x 1 degree (block row `row / 100` of the inner rows, block column
// `col / 100` of the inner columns) and per wide block of 10 x 10 degrees, for a search that
// passes over empty space a block at a time; points of border cells are not counted.
struct BlockCounts {
  static constexpr uint32_t kBlockCells = 100, kBlockRows = 180, kBlockCols = 360;
  static constexpr uint32_t kWide = 10, kWideRows = kBlockRows / kWide, kWideCols = kBlockCols / kWide;
  std::vector<uint32_t> fine, wide;  // kBlockRows x kBlockCols and kWideRows x kWideCols, or empty: none

  uint32_t block(uint32_t brow, uint32_t bcol) const { return fine.empty() ? 0 : fine[brow * kBlockCols + bcol]; }
  uint32_t wide_block(uint32_t wrow, uint32_t wcol) const {
    return wide.empty() ? 0 : wide[wrow * kWideCols + wcol];
  }
  // Adds n points (or takes -n, never below zero) to the blocks of the cell at `row`, `col`;
  // nothing for a border cell.
  void add(uint32_t row, uint32_t col, int64_t n);

  // For a set counted whole (a filter's result), its ids block by block: block b's ids, ascending,
  // are ids[starts[b]] .. ids[starts[b + 1] - 1]; `border` holds the ids of no block. Empty for
  // the grid's own counts.
  std::vector<uint32_t> ids, starts, border;
  bool listed() const { return !starts.empty(); }
};

// The inner rows' entries, one per row from 0 to kRows - 1, in a single mapping made when the
// first cell is filed: a row's entry sits at a fixed place, so a search fetches the entries of all
// its rows at once, without first reading where they are. Pages never written read as zeros and
// take no memory; an entry is made when its row gets its first cell, and a bit per row tells which
// rows have one.
class RowTable {
 public:
  static constexpr uint32_t kRows = 18000;

  RowTable() = default;
  RowTable(RowTable&& o) noexcept
      : rows_(std::exchange(o.rows_, nullptr)),
        occupied_(std::move(o.occupied_)),
        arena_(std::move(o.arena_)) {}
  RowTable& operator=(RowTable&& o) noexcept {
    std::swap(rows_, o.rows_);
    std::swap(occupied_, o.occupied_);
    std::swap(arena_, o.arena_);
    return *this;
  }
  RowTable(const RowTable&) = delete;
  RowTable& operator=(const RowTable&) = delete;
  ~RowTable();

  bool empty() const { return rows_ == nullptr; }
  // Whether row r (below kRows) has an entry.
  bool occupied(uint32_t r) const { return rows_ != nullptr && (occupied_[r / 64] >> (r % 64) & 1) != 0; }
  // The entry of an occupied row.
  const RowCells& at(uint32_t r) const { return rows_[r]; }
  // Where row r's entry is or will be (only an address: nothing is read).
  const void* place(uint32_t r) const { return rows_ + r; }
  // Row r's entry, made empty when the row has none yet.
  RowCells& make(uint32_t r);
  // Where the rows' blocks come from.
  BlockArena& arena() { return arena_; }
  // A large index: the table and the blocks made from now on are advised for huge pages, so
  // that a search's rows share a few address translations (see BlockArena).
  void prefer_huge_pages() {
    if (!arena_.prefers_huge_pages()) advise_huge();
  }
  // The bits of rows 64w .. 64w + 63.
  uint64_t word(size_t w) const { return occupied_[w]; }
  size_t words() const { return occupied_.size(); }

 private:
  static constexpr size_t kTableBytes = sizeof(RowCells) * kRows;
  void advise_huge();

  RowCells* rows_ = nullptr;  // kTableBytes, rounded up to 2 MiB, from map_huge_aligned
  std::vector<uint64_t> occupied_;  // bit r: row r's entry is made
  BlockArena arena_;  // outlives the rows, whose blocks it holds; says whether the table is advised
};

// Cells are only ever added (a deleted point stays in its cell until vacuum, which builds a new
// index), so the structure only grows between vacuums.
//
// Inner cells (rows 1..17999, columns 1..35999) hold only points whose latitude and longitude
// lie within the cell's own 0.01-degree bounds. They are kept row by row, each row's cells
// sorted by column (RowCells), in a table indexed by row, with one bit per row telling whether
// it holds any: a rectangle costs a word of bits per 64 rows, a search of the entry of each
// occupied row and the cells it meets, not its area. Filing a new cell moves the cells east of it in its row
// (at most 35999); cells filed from west to east, as a snapshot lists them, are appended.
//
// Border cells are row 0, rows from 18000 on, column 0 and columns from 36000 on. Every point
// outside the coordinate ranges (beyond +-90 or +-180, infinite or NaN) is filed under one of
// them, since rows and columns saturate. They are kept apart, ordered by key, so that a search
// that must not miss the odd points finds them without scanning the inner cells, and a search
// inside the coordinate ranges never looks at them.
//
// Memory: 26 bytes per inner cell (plus up to half as much spare room in its row, and its size
// class's rounding), a B-tree entry per border cell, and 128 bytes per inner row, in pages of 32
// rows taken by the rows that hold cells; then 4 bytes per point (and 8 per cell) for the
// positions of the crowded cells that searches have read. An index of kLargeCells cells or more
// keeps its row table and blocks in huge pages: 2 MiB at a time.
class GridIndex {
 public:
  static constexpr uint32_t kBorderRow = 18000;  // inner rows are 1..17999
  static constexpr uint32_t kBorderCol = 36000;  // inner columns are 1..35999

  static bool is_border(uint32_t row, uint32_t col) {
    return row == 0 || row >= kBorderRow || col == 0 || col >= kBorderCol;
  }
  static bool is_border(uint64_t key) { return is_border(uint32_t(key >> 32), uint32_t(key)); }
  static constexpr size_t kLargeCells = 16384;
  static uint64_t key_of(uint32_t row, uint32_t col) { return uint64_t{row} << 32 | col; }

  // The cell's set, created empty when missing. The reference lasts until the next cell is filed.
  // A caller that changes the set this way makes the cell's positions stale: they are dropped.
  Bitmap& operator[](uint64_t key);
  // Files id, larger than every id filed before, at (lat, lon) under `key`.
  void add_point(uint64_t key, uint32_t id, float lat, float lon);
  // Starts fetching the row entry a later add_point(key, ...) reads.
  void prefetch(uint64_t key) const;
  // Files a whole cell; false (leaving `ids` as it was) when the key already has one.
  bool insert(uint64_t key, Bitmap&& ids);
  // Null when the cell has no entry.
  const Bitmap* find(uint64_t key) const;
  size_t size() const { return size_; }
  bool has_border_cells() const { return !border_.empty(); }

  // Live points per block (see BlockCounts), so that a search passes over empty space a block
  // at a time. Never below the live points of the block's cells (a search may trust a zero):
  // add_point, insert and the builds count the points they file, note_deleted takes back one
  // point of a cell that holds it.
  const BlockCounts& blocks() const { return blocks_; }
  // One live point of the cell under `key` was deleted.
  void note_deleted(uint64_t key) { blocks_.add(uint32_t(key >> 32), uint32_t(key), -1); }
  // The live points of every block, counted from the cells less `deleted` (a check's reference).
  std::vector<uint32_t> live_per_block(const Bitmap& deleted) const;

  // The index of points 0..n-1 filed under keys[0..n-1], built at once (vacuum's renumbering).
  static GridIndex of_points(const std::vector<uint64_t>& keys);
  // The index of these cells, given in any order (a snapshot's); false when a key repeats.
  static bool of_cells(std::vector<std::pair<uint64_t, Bitmap>>& cells, GridIndex* out);

  // The cells of inner row `row`; empty for a row without any and for every row outside
  // 1..17999.
  const RowCells& row(uint32_t row) const {
    if (row == 0 || row >= kBorderRow || !rows_.occupied(row)) return kNoCells;
    return rows_.at(row);
  }
  // The first inner row from `row` on (and at most `last`) that holds a cell; 0 when none.
  uint32_t next_row(uint32_t row, uint32_t last) const;

  // f(key, ids) for every cell: the inner cells row by row from west to east, then the border
  // cells by ascending key.
  template <class F>
  void for_each(F&& f) const;
  // f(key, ids) for every cell of rows r0..r1 and columns c0..c1, inclusive, in the same order.
  template <class F>
  void for_each_in(uint32_t r0, uint32_t r1, uint32_t c0, uint32_t c1, F&& f) const;
  // f(key, ids) for every border cell of rows r0..r1 and columns c0..c1, by ascending key. Costs
  // a B-tree search per border row of the range that holds a cell.
  template <class F>
  void for_each_border_in(uint32_t r0, uint32_t r1, uint32_t c0, uint32_t c1, F&& f) const;

  // Rows sorted by column without repeats, inner cells in inner rows only, the row bits and the
  // count agreeing with the cells, border keys only in the border map.
  bool check_invariants() const;

 private:
  static const RowCells kNoCells;
  static_assert(RowTable::kRows == kBorderRow);
  RowCells& inner_row(uint32_t row) { return rows_.make(row); }

  RowTable rows_;
  absl::btree_map<uint64_t, Bitmap> border_;
  size_t size_ = 0;
  BlockCounts blocks_;
};

template <class F>
void GridIndex::for_each(F&& f) const {
  for (uint32_t r = next_row(1, kBorderRow - 1); r != 0; r = next_row(r + 1, kBorderRow - 1)) {
    const RowCells& cells = row(r);
    for (size_t j = 0; j < cells.size(); ++j) f(key_of(r, cells.col(j)), cells.ids(j));
  }
  for (const auto& [key, ids] : border_) f(key, ids);
}

template <class F>
void GridIndex::for_each_in(uint32_t r0, uint32_t r1, uint32_t c0, uint32_t c1, F&& f) const {
  if (r0 > r1 || c0 > c1) return;
  uint32_t ir0 = r0 < 1 ? 1 : r0, ir1 = r1 > kBorderRow - 1 ? kBorderRow - 1 : r1;
  uint32_t ic0 = c0 < 1 ? 1 : c0, ic1 = c1 > kBorderCol - 1 ? kBorderCol - 1 : c1;
  if (ir0 <= ir1 && ic0 <= ic1) {
    // The rows in batches, so that cache misses overlap: the batch's entries are fetched, then
    // searched, and the sets of the cells found are fetched before any is handed over.
    // A stretch of up to kBatch rows is taken whole: every entry is fetched at once, beside the
    // bits that tell which rows have one, instead of after them.
    constexpr int kBatch = 32;
    uint32_t batch[kBatch];
    uint64_t keys[kBatch];
    const Bitmap* found[kBatch];
    uint32_t r = ir1 - ir0 < uint32_t(kBatch) ? ir0 : next_row(ir0, ir1);
    while (r != 0 && !rows_.empty()) {
      int n = 0;
      auto fetch = [&](uint32_t row) {
        const char* e = static_cast<const char*>(rows_.place(row));
        __builtin_prefetch(e);
        __builtin_prefetch(e + 64);
        batch[n++] = row;
      };
      if (ir1 - r < uint32_t(kBatch)) {
        for (; r <= ir1; ++r) fetch(r);
        r = 0;
      } else {
        for (; r != 0 && n < kBatch; r = r < ir1 ? next_row(r + 1, ir1) : 0) fetch(r);
      }
      int m = 0;
      for (int b = 0; b < n; ++b) {
        const RowCells& cells = row(batch[b]);
        for (size_t j = cells.lower_bound(ic0); j < cells.size() && cells.col(j) <= ic1; ++j) {
          if (m == kBatch) {
            for (int k = 0; k < m; ++k) f(keys[k], *found[k]);
            m = 0;
          }
          keys[m] = key_of(batch[b], cells.col(j));
          found[m++] = &cells.ids(j);
          cells.prefetch(j);
        }
      }
      for (int k = 0; k < m; ++k) f(keys[k], *found[k]);
    }
  }
  if (!border_.empty() && (r0 == 0 || r1 >= kBorderRow || c0 == 0 || c1 >= kBorderCol))
    for_each_border_in(r0, r1, c0, c1, f);
}

template <class F>
void GridIndex::for_each_border_in(uint32_t r0, uint32_t r1, uint32_t c0, uint32_t c1, F&& f) const {
  if (r0 > r1 || c0 > c1) return;
  auto it = border_.lower_bound(key_of(r0, c0));
  while (it != border_.end()) {
    uint32_t row = uint32_t(it->first >> 32), col = uint32_t(it->first);
    if (row > r1) break;
    if (col < c0) {
      it = border_.lower_bound(key_of(row, c0));
    } else if (col > c1) {
      if (row == r1) break;
      it = border_.lower_bound(key_of(row + 1, c0));
    } else {
      f(it->first, it->second);
      ++it;
    }
  }
}

}  // namespace korvane
