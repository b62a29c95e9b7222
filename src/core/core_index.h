// core_index.h: the whole state of one open storage directory, and the operations that read and
// change it (insert, delete, the record files; vacuum's renumbering is in vacuum_renumber.h,
// its file protocol in persist/vacuum.h).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <absl/container/flat_hash_map.h>
#include <utility>
#include <vector>

#include "core/bitmap.h"
#include "core/error.h"
#include "core/fd.h"
#include "core/filter_results.h"
#include "core/grid_index.h"
#include "core/json.h"
#include "core/large_pages.h"
#include "core/prepared_meta.h"
#include "core/numeric_bsi.h"

namespace korvane {

// Open-addressing maps: an index of millions of points holds millions of entries, and a node per
// entry (the standard maps) would cost more than the entry itself.
using StrValues = absl::flat_hash_map<std::string, Bitmap>;
using StrIndex = absl::flat_hash_map<std::string, StrValues>;
using NumIndex = absl::flat_hash_map<std::string, NumericBsiIndex>;
// Its table, sized for every point at once when a snapshot is read, is made of huge pages.
using ExtToInt = absl::flat_hash_map<uint64_t, uint32_t, absl::Hash<uint64_t>, std::equal_to<uint64_t>,
                                     LargePageAllocator<std::pair<const uint64_t, uint32_t>>>;

constexpr uint64_t kInitialSlots = 100000;
constexpr uint64_t kGrowthSlots = 500000;
// The longest metadata record a read returns; longer ones read as "{}". add refuses texts
// longer than this, since they could never be read back.
constexpr uint32_t kMaxMetadataLen = 10000000;

// A record file read through a read-only view. The view may extend past the end of the file;
// reads stay below `known_len`, the bytes known to be on file, so they never touch a page
// beyond the end.
struct RecordView {
  Mapping view;
  uint64_t known_len = 0;
  // A resident view (a store opened with preload) is not a mapping of the file but a copy of
  // its first `copied` bytes in memory of its own (huge pages where the kernel gives them), so
  // that reading a record walks no page table of a file mapping. The store's writes are copied
  // in as they reach the file; `copied` never falls below known_len.
  bool resident = false;
  uint64_t copied = 0;
  // A read-only store cannot append to the file: records it had to write (a replayed insert
  // whose records were not on file) are kept here, at offsets from kMemRecords on.
  std::string mem;
  // While a batch of inserts runs, their records gather here (they belong at `pending_at`) and
  // reach the file in one write at its end.
  bool batching = false;
  std::string pending;
  uint64_t pending_at = 0;
};
constexpr uint64_t kMemRecords = uint64_t{1} << 62;

// The index's sets and maps: what a snapshot holds, and what a vacuum rebuilds for the new
// numbering. N is the number of allocated ids, live or deleted.
struct IndexSets {
  StrIndex str_index;
  NumIndex num_index;
  GridIndex grid_index;
  // Invariant: valid_ids and deleted are disjoint and together hold exactly 0..N-1.
  // Invariant: ext_to_int has one entry per live point; its values are exactly valid_ids.
  // These three move together: one point at a time only through CoreIndex::make_live and
  // make_deleted, whole only where they are built (the snapshot decoder, which checks what it
  // built, and vacuum's renumbering). Anything may read them.
  Bitmap valid_ids;
  Bitmap deleted;
  ExtToInt ext_to_int;
  // The logical ends of ids.bin and meta.bin: records lie below them.
  uint64_t ids_file_len = 0;
  uint64_t meta_file_len = 0;

  uint64_t allocated() const { return valid_ids.cardinality() + deleted.cardinality(); }
};

// The rules the sets keep besides ext_to_int's (which a snapshot's decoder checks as it reads
// it): valid_ids and deleted disjoint and together exactly 0..N-1 with N <= 2^32; every numeric
// field's sets inside valid_ids, each slice inside its field's existence and empty above its
// top bit; every text value's and every cell's set below N (they keep deleted ids until vacuum),
// and every id below N filed under exactly one cell.
bool index_sets_consistent(const IndexSets& s);

struct CoreIndex : IndexSets {
  Fd dir;  // the storage directory, resolved once at open; every file is reached through it
  // Opened to read only: the record files are opened read-only, the slot files are private
  // copy-on-write views, and nothing is ever written to the directory.
  bool read_only = false;

  // Invariant: N = |valid_ids| + |deleted| <= capacity, and the three slot files are at least
  // 8 * capacity bytes long.
  Mapping coords_mmap;
  Fd coords_file;
  Mapping offsets_mmap;
  Fd offsets_file;
  Fd ids_file;
  std::mutex ids_mutex;
  Mapping meta_offsets_mmap;
  Fd meta_offsets_file;
  Fd meta_file;
  std::mutex meta_mutex;

  uint64_t capacity = 0;

  // Read by searches under the shared index lock without further locking; changed (appends,
  // remaps) only under the index write lock, and then also under ids_mutex / meta_mutex.
  RecordView ids_view;
  RecordView meta_view;

  // Filter results over the whole index for texts asked with again; forgotten by every change.
  FilterResults filter_results;

  // Point i (requires i == allocated()) becomes live under the hash of its external id, and
  // the filter results are forgotten. Its records and coordinates must already be written.
  void make_live(uint64_t hash, uint32_t i);
  // The live point with this hash, if any, becomes deleted; the filter results are forgotten.
  // Returns whether there was one, with its id in *i.
  bool make_deleted(uint64_t hash, uint32_t* i);
  // The grid's block counts no longer count deleted point i (make_deleted does this; a snapshot
  // whose cells still hold deleted points does it for each when it is loaded).
  void uncount_deleted(uint32_t i);

  // True when the index keeps the rules above and IndexSets': those of index_sets_consistent,
  // ext_to_int one entry per live point, and N within capacity. Costs a pass over every set:
  // for the snapshot decoder's checks and for tests, not for every operation.
  bool check_invariants() const;

  // Requires: i < capacity (ids taken from the bitmaps).
  std::pair<float, float> get_coords(uint32_t i) const {
    const uint8_t* p = coords_mmap.data() + 8 * static_cast<size_t>(i);
    float ll[2];
    std::memcpy(ll, p, 8);
    return {ll[0], ll[1]};
  }
  // Start fetching point i's coordinates (for a candidate), or the slots its two records are
  // found by (for a result, as soon as it is known). A small search's points are scattered, and
  // each would otherwise be a cache miss, most often on a page of its own.
  void prefetch_coords(uint32_t i) const {
    size_t at = 8 * size_t{i};
    if (at < coords_mmap.size()) __builtin_prefetch(coords_mmap.data() + at);
  }
  void prefetch_slots(uint32_t i) const {
    size_t at = 8 * size_t{i};
    if (at < offsets_mmap.size()) __builtin_prefetch(offsets_mmap.data() + at);
    if (at < meta_offsets_mmap.size()) __builtin_prefetch(meta_offsets_mmap.data() + at);
  }
  // A record hint for point i (RowCells::record_hint): where its slots say its two records lie,
  // read from the slots; 0 when they lie beyond what a hint holds.
  uint64_t record_hint(uint32_t i) const;
  // Starts fetching the two records a hint names. A hint only says where to look: records are
  // read by their slots as always, so a hint gone stale costs a wasted fetch and nothing more.
  void prefetch_hinted(uint64_t hint) const;
  // Calls f(id, lat, lon) for each id in turn. Candidates are scattered over coords.bin: the
  // first few fetches start before the loop, then each one a few ids ahead.
  template <class F>
  void for_each_coords(const std::vector<uint32_t>& ids, F&& f) const {
    constexpr size_t kAhead = 16;
    const uint8_t* base = coords_mmap.data();
    const size_t n = ids.size();
    for (size_t t = 0; t < kAhead && t < n; ++t) __builtin_prefetch(base + 8 * size_t{ids[t]});
    for (size_t j = 0; j < n; ++j) {
      if (j + kAhead < n) __builtin_prefetch(base + 8 * size_t{ids[j + kAhead]});
      auto [lat, lon] = get_coords(ids[j]);
      f(ids[j], lat, lon);
    }
  }
  std::string get_external_id(uint32_t i);
  // Whether the id record of i holds exactly `id` (a record of a batch not yet written out
  // included). Ids are known by their 64-bit hash, and two ids can share one: a hash found in
  // ext_to_int is only the given id when its record says so. A record that cannot be read cannot
  // be told apart, and counts as holding the id (the hash is then all there is to go by).
  bool id_record_is(uint32_t i, std::string_view id) const;
  // The live point whose external id is `id`, if any.
  std::optional<uint32_t> live_id_of(std::string_view id) const;

  // Reads of many records at once, appended to `arena`; each result is (offset, length) in it.
  // One lock per call instead of one per record.
  void read_ids(const std::vector<uint32_t>& ids, std::string* arena,
                std::vector<std::pair<size_t, size_t>>* spans);
  // Both records of each id, as search results need them. The bytes are not checked
  // as UTF-8: the caller decodes them and reads a record that is not as "" (id) or "{}" (metadata).
  void read_results(const std::vector<uint32_t>& ids, std::string* arena,
                    std::vector<std::pair<size_t, size_t>>* id_spans,
                    std::vector<std::pair<size_t, size_t>>* meta_spans);

};

// Opens (creating when missing) the directory's five record files, sizes and maps the slot
// files, and returns an empty index over them. Failures are Fatal.
// Read-only: missing files read as empty, and nothing is created or sized.
Result<std::unique_ptr<CoreIndex>> open_record_files(Fd dir, bool read_only = false);
// Moves the logical ends of ids.bin and meta.bin (as a snapshot recorded them) to where new
// records can safely go: never past the file's end, and never before the end of a record that
// an allocated id points to.
void settle_logical_ends(CoreIndex& ix);
// Grows the slot files by one step when N has reached capacity.
Status ensure_capacity(CoreIndex& ix);

// Insert and delete without logging (the log is written by the caller, and replay calls these).
// `text`, when given, is the metadata's compact text already made by the caller.
// `replay`: the insert repeats a logged one, whose records may already be on file where the
// next id's slots point; they are kept when they hold the same texts.
Status insert_in_mem(CoreIndex& ix, std::string_view id, float lat, float lon, const Json& meta,
                     const std::string* text = nullptr, bool replay = false);
// An insert of prepared metadata (add and add_many, which log it themselves).
Status insert_prepared(CoreIndex& ix, std::string_view id, float lat, float lon, const PreparedMeta& meta);
// The string and numeric indexes of point i take its metadata's top-level fields.
void index_fields(CoreIndex& ix, uint32_t i, const PreparedMeta& meta);

// Inserts of a batch (add_many), each in two steps: place writes the point's records, makes it
// live and files it in the grid; index indexes its metadata. Points are placed in order and
// indexed in the same order, by one thread each: the two steps touch disjoint parts of the index
// (place: the id map, live set, records and grid; index: the metadata's indexes), and nothing
// reads the index until the batch ends. Numbers reach their fields' slices together at
// finish().
class InsertBatch {
 public:
  explicit InsertBatch(CoreIndex& ix) : ix_(ix) {}
  // *i: the point's id; *placed is false (nothing done) when its id is already present.
  Status place(std::string_view id, float lat, float lon, const PreparedMeta& meta, bool* placed, uint32_t* i);
  void index(uint32_t i, const PreparedMeta& meta);
  // Start fetching what a later place or index of this point reads first (its id's place in the
  // id map and its row of cells; its texts' sets): a batch knows its points ahead, and those
  // reads miss the cache. Each is called by the thread of its step.
  void prefetch_place(std::string_view id, float lat, float lon) const;
  void prefetch_index(const PreparedMeta& meta) const;
  void finish();

 private:
  struct Field {
    std::string key;
    std::vector<uint32_t> ids;
    std::vector<float> values;
  };
  CoreIndex& ix_;
  std::vector<Field> fields_;
};
// Returns whether a point was deleted.
bool delete_in_mem(CoreIndex& ix, std::string_view id);
// Refuses (InvalidValue, nothing changed) an id that is not stored but whose hash a stored id
// already has: add checks this before logging the insert.
Status check_id_free(CoreIndex& ix, std::string_view id);

}  // namespace korvane

namespace korvane {
// Record appends (hold the index write lock). Failures are Fatal.
Status append_id_record(CoreIndex& ix, uint32_t i, std::string_view id);
Status append_meta_record(CoreIndex& ix, uint32_t i, std::string_view text);
// True when slot i of offsets.bin (meta_offsets.bin with `meta`) points to a whole record on
// file holding exactly `bytes`; the logical end then moves past that record if it lay before.
bool reuse_record(CoreIndex& ix, bool meta, uint32_t i, std::string_view bytes);
// Between these two, appended records are gathered in memory and written out together (hold the
// index write lock throughout; nothing may read the records in between).
void begin_record_batch(CoreIndex& ix);
// Maps the read views of ids.bin and meta.bin over every byte known to be on file. Readers never
// remap them: whoever changes the files (with the index to itself) calls this.
void map_record_views(CoreIndex& ix);
// Makes the views of ids.bin and meta.bin resident (RecordView::resident): the files are read
// into memory now, and what the store writes to them later is copied in as well. False when there
// is no memory for them; the views then stay mappings. Requires the index write lock (a view is
// replaced); a writable store only: a reader's files change under it.
bool make_records_resident(CoreIndex& ix);
// A reader following a writer: ids.bin and meta.bin are measured again (the writer appends to
// them), so that the records it wrote are read from the files. Requires the index write lock.
void refresh_record_views(CoreIndex& ix);
Status end_record_batch(CoreIndex& ix);
void write_coords(CoreIndex& ix, uint32_t i, float lat, float lon);
}  // namespace korvane

namespace korvane {
// A JSON number to the nearest double, then the nearest float.
float json_number_to_f32(const Json& v);
}  // namespace korvane
