// store.h: the engine of one storage directory: the directory's index behind the index lock and
// the log writer behind the log lock, and every operation of the class. Plain C++: the Python
// surface converts arguments and results around these calls.
//
// Sharing, fork and exit: lifecycle.h.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/core_index.h"
#include "core/error.h"
#include "lib/lifecycle.h"
#include "persist/live_state.h"
#include "persist/open.h"
#include "persist/wal.h"

namespace korvane {

// Results of a search: texts in one arena, each result naming its spans.
struct SearchOut {
  std::string arena;
  std::vector<std::pair<size_t, size_t>> ids, metas;
  std::vector<float> dists;  // radius and nearest-neighbour searches only
  bool with_dist = false;
  bool ascii = false;  // the arena is ASCII: set by the surface before it makes strings of it
  // Projections (Projection): the stored coordinates of each result, and the values of the
  // asked fields in place of the metadata text (values[k * fields + f]; null where absent).
  bool with_coords = false, with_fields = false;
  std::vector<std::pair<float, float>> coords;
  std::vector<Json> values;
  size_t fields = 0;
  size_t size() const { return ids.size(); }
};

// What a search gives of each result beyond (or instead of) its metadata text.
struct Projection {
  bool with_fields = false;         // each result's metadata text is replaced by these values
  std::vector<std::string> fields;  // top-level field names
  bool coords = false;              // each result carries its stored latitude and longitude
  bool any() const { return with_fields || coords; }
};

// Fills out->values with the asked fields of each result's metadata (JSON null where a field is
// absent or the record does not read as a JSON object).
void project_fields(const std::vector<std::string>& fields, SearchOut* out);

// One point of add_many, as the surface converted it: the texts are views of the caller's
// strings, which the surface keeps alive until add_many returns.
struct NewPoint {
  std::string_view id;
  float lat = 0, lon = 0;
  std::string_view metadata;
};

// A point's metadata made ready outside any lock, refused with the errors of add.
Status prepare_point_metadata(std::string_view metadata, PreparedMeta* meta);

// How far a change is carried before its call returns: into the log's buffer (written out by
// flush, persist, close and exit); to the kernel (write(2), so that it survives a crash of the
// process); or to stable storage (fdatasync, shared by the calls that wait at the same time).
enum class Durability { Buffered, Process, Power };

// The area a count covers: everywhere, a box ((north, west), (south, east)), a circle (lat, lon,
// radius in metres) or a polygon of (lat, lon) vertices, each as the search of that shape takes it.
struct CountArea {
  enum class Kind { Everywhere, Box, Circle, Polygon } kind = Kind::Everywhere;
  float a = 0, b = 0, c = 0, d = 0;  // box: north, west, south, east; circle: lat, lon, radius
  std::vector<std::pair<float, float>> points;
};

// facet_counts: each value of a field among the points counted, by kind of value.
struct FacetOut {
  std::vector<std::pair<std::string, uint64_t>> texts;
  std::vector<std::pair<float, uint64_t>> numbers;
  std::vector<std::pair<bool, uint64_t>> bools;
};

// What verify found.
struct VerifyOut {
  uint64_t live = 0, deleted = 0;
  bool invariants = true;     // the index keeps its rules (CoreIndex::check_invariants)
  uint64_t bad_ids = 0;       // live points whose id record does not hold an id of their hash
  uint64_t bad_metadata = 0;  // live points whose metadata record is not a JSON object
};

// What get returns of a live point.
struct PointOut {
  float lat = 0, lon = 0;
  std::string metadata;  // "{}" when its record cannot be read
};

class Store {
 public:
  // The store of `path`, opened now or already open in this process (lifecycle.cpp). A read-only
  // store never writes to the directory; a read-write open of a directory that another process
  // holds (or that this one holds read-only) fails with InUse.
  // `recover`: a damaged snapshot does not stop the open; the store is rebuilt from the record
  // files and the log (load_directory) and, unless read-only, persisted at once, and
  // take_recovery_report() says what was restored and what could not be.
  static Result<std::shared_ptr<Store>> open(std::string path, bool read_only = false, bool recover = false);
  // What the open that loaded this store recovered, once ("" when it recovered nothing, or was
  // taken already).
  std::string take_recovery_report() { return std::exchange(recovery_report_, std::string()); }
  ~Store();
  bool read_only() const { return read_only_; }
  // A forked child's copy of its parent's store.
  bool foreign() const;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The changes (add, add_many, remove, delete_by_filter) carry their records as far as `d` says
  // before they return: a setting of the calling object, not of the store. An id whose hash a
  // different stored id has is refused (InvalidValue).
  Status add(std::string_view id, float lat, float lon, std::string_view metadata,
             Durability d = Durability::Buffered);
  // Adds points in order, each exactly as add would, under one lock acquisition. *done counts the
  // points taken (added or already present), *added grows by the points added; the error, if any,
  // is that of points[*done].
  Status add_many(const std::vector<NewPoint>& points, size_t* done, uint64_t* added,
                  Durability d = Durability::Buffered);
  // Replaces the point of `id` (position and metadata) or adds it when absent; true when a point
  // was replaced. The log takes the delete and the insert in one append (WalWriter::
  // append_replace), so a reopen shows the old point or the new one. The replaced point moves to
  // the end of insertion order, as a new add would put it. The errors of add.
  Result<bool> upsert(std::string_view id, float lat, float lon, std::string_view metadata,
                      Durability d = Durability::Buffered);
  // Upserts points in order, each exactly as upsert would, under one lock acquisition. *done
  // counts the points taken, *replaced grows by the points replaced; the error, if any, is that of
  // points[*done].
  Status upsert_many(const std::vector<NewPoint>& points, size_t* done, uint64_t* replaced,
                     Durability d = Durability::Buffered);
  Result<std::optional<PointOut>> get(std::string_view id);
  Result<bool> contains(std::string_view id);
  // Reads every live point's records and checks them and the index's rules.
  Result<VerifyOut> verify();
  // The ids of every live point, out-of-range ones included, in insertion order: texts in
  // `arena`, each named by its span.
  Status live_ids(std::string* arena, std::vector<std::pair<size_t, size_t>>* spans);
  // Writes out the log buffer and forces the log to stable storage.
  Status flush();
  Status remove(std::string_view id, Durability d = Durability::Buffered);
  // Every method taking a filter text reads it strictly (check_filter, a refusal changing
  // nothing) when `strict_filters` is set: a setting of the calling object, not of the store.
  Result<uint64_t> delete_by_filter(std::string_view filter_json, bool strict_filters = false,
                                    Durability d = Durability::Buffered);
  uint64_t count();
  Status persist();
  Status vacuum();
  // Keeps the records (ids.bin and meta.bin) in memory from now on, as long as the store stays
  // open and through vacuums (make_records_resident); where the memory cannot be had they stay
  // mapped. A writable store only: Unsupported when read-only.
  Status preload();
  Result<SearchOut> search_radius(float lat, float lon, float radius_m, const std::optional<std::string_view>& filter,
                                  bool strict_filters = false, const Projection& proj = Projection());
  // `exact`: the k nearest by the float distance (search_knn_exact) instead of the ring walk.
  // `max_distance_m`: only points at most that far count.
  Result<SearchOut> search_knn(float lat, float lon, uint64_t k, const std::optional<std::string_view>& filter,
                               bool exact = false, bool strict_filters = false,
                               std::optional<float> max_distance_m = std::nullopt,
                               const Projection& proj = Projection());
  Result<SearchOut> search_box(std::pair<float, float> top_left, std::pair<float, float> bottom_right,
                               const std::optional<std::string_view>& filter, bool strict_filters = false,
                               const Projection& proj = Projection());
  Result<SearchOut> search_polygon(const std::vector<std::pair<float, float>>& points,
                                   const std::optional<std::string_view>& filter, bool strict_filters = false,
                                   const Projection& proj = Projection());

  // The points inside a GeoJSON Polygon or MultiPolygon, given as JSON text or as a parsed
  // value (one of the two); a faulty geometry is refused before the filter is read.
  Result<SearchOut> search_geojson(const std::string_view* text, const Json* geometry,
                                   const std::optional<std::string_view>& filter, bool strict_filters = false,
                                   const Projection& proj = Projection());

  // The live points inside `area` that match the filter, counted from the indexes: the filter's
  // set and the shape's cells, no record read.
  Result<uint64_t> count_where(const std::optional<std::string_view>& filter, const CountArea& area,
                               bool strict_filters = false);
  // The same points counted by each value of the top-level field `field`: text values from the
  // string index, numbers from the numeric index (as the 32-bit floats it keeps). A boolean and
  // the text "true" or "false" share one set of the string index; only the records in those two
  // sets are read, to tell them apart.
  Result<FacetOut> facet_counts(std::string_view field, const std::optional<std::string_view>& filter,
                                const CountArea& area, bool strict_filters = false);

  const std::string& storage_path() const { return storage_path_; }

  // Writes out the log buffer (the exit hook uses it).
  void flush_log();

  // The log syncs made for the "power" level so far, and the length of wal.bin the last one
  // covered (for tests).
  std::pair<uint64_t, uint64_t> log_syncs();

 private:
  friend struct Registry;
  Store() = default;
  // Refuses a change this store cannot make (read-only, or a forked child's copy), then settles.
  Status writable();
  // Completes a vacuum that was committed on disk but not in memory, and loads the result.
  Status settle();
  // A record the log could not take: the store can no longer promise what it holds.
  static Error append_failed(const Error& e);
  Status insert_logged(std::string_view id, float lat, float lon, const PreparedMeta& meta);
  Status upsert_logged(std::string_view id, float lat, float lon, const PreparedMeta& meta, bool* replaced);
  // Under the log lock, once a change's records are appended: writes them out for the "process"
  // and "power" levels; *ticket is then what sync_log waits for (0: nothing to wait for).
  Status write_out(Durability d, uint64_t* ticket);
  // After the locks are released: returns once the records of `ticket` are on stable storage.
  // One call at a time syncs the log, outside every lock of the store (so that changes go on
  // meanwhile); the calls that arrive during its sync wait, and the next sync covers them all.
  Status sync_log(uint64_t ticket);
  // A writer tells its readers how far the log on file reaches (requires the log lock).
  void publish_log();
  // A reader: catches up with the writer, if it moved (store_follow.cpp). start_following sets
  // where the load at open left the reader; `before` is the state read before that load, if any.
  void start_following(const LiveState* before, const OpenedDirectory& loaded);
  Status follow();
  Status catch_up(const LiveState& st, bool* done);
  Status apply_log(uint64_t end, const LiveState* st, bool* whole = nullptr);
  Status reload(const LiveState& st, bool* done);
  // A query's filter, parsed, with the index lock held for reading: `kept` is the filter's result
  // over the whole index when its text was asked with before (null when not, or without a filter).
  struct Selection {
    std::shared_ptr<const Json> doc;
    std::shared_lock<std::shared_mutex> lock;
    std::shared_ptr<const Bitmap> kept;
  };
  Result<Selection> select(const std::optional<std::string_view>& filter, bool strict);
  // Calls f(ix, selected) under the index lock, `selected` being the points a count covers.
  template <class F>
  Status with_selection(const std::optional<std::string_view>& filter, bool strict, const CountArea& area, F&& f);
  template <class Search>
  Result<SearchOut> run_search(const std::optional<std::string_view>& filter, bool strict, bool with_dist,
                               const Projection& proj, Search&& search);

  std::string storage_path_;
  std::shared_mutex index_lock_;
  std::unique_ptr<CoreIndex> index_;
  std::shared_mutex log_lock_;
  std::unique_ptr<WalWriter> wal_;
  pid_t owner_pid_ = 0;
  bool read_only_ = false;
  std::string recovery_report_;
  Fd lock_fd_;  // the directory, holding its advisory lock (a writer's)
  // A writer's word to its readers (live.bin); changed under the log lock.
  LivePublisher live_pub_;
  // A reader's view of it, and how far the reader has followed the log: it holds the records up
  // to logical offset applied_ of the log of epoch follow_epoch_, read through follow_wal_ (the
  // wal.bin of log generation follow_gen_, whose byte 0 is logical offset follow_base_). Changed under follow_mu_, one catching up at a time.
  LiveFollower live_;
  std::mutex follow_mu_;
  std::atomic<uint64_t> seen_seq_{0};
  uint64_t stuck_seq_ = 0;  // a state the reader waited for in vain (its writer stopped)
  uint64_t follow_epoch_ = 0, applied_ = 0, follow_gen_ = 0, follow_base_ = 0;
  Fd follow_wal_;
  // persist and vacuum run one at a time (they share the snapshot and the log's temporary files).
  // Order: persist_mutex_, then the index lock, then the log lock.
  std::mutex persist_mutex_;
  // Set when a vacuum committed on disk but could not be completed here: the next call completes
  // it before anything else.
  std::atomic<bool> vacuum_pending_{false};
  // preload() was asked for: an index loaded anew (completing a vacuum) keeps its records too.
  std::atomic<bool> resident_{false};

  // Group commit. Tickets are handed out under the log lock, in log order, once a change's
  // records are written out; a sync covers every ticket handed out before it began.
  uint64_t tickets_ = 0;  // under the log lock
  std::mutex sync_mutex_;  // guards what follows; taken after the log lock, or alone
  std::condition_variable sync_done_;
  bool syncing_ = false;
  uint64_t synced_ticket_ = 0;
  // The tickets of the last sync that failed: their calls report its error.
  uint64_t failed_from_ = 1, failed_to_ = 0;
  int failed_errno_ = 0;
  uint64_t syncs_ = 0, synced_len_ = 0;
};

}  // namespace korvane
