// store.h: the engine of one storage directory: the directory's index behind the index lock and
// the log writer behind the log lock, and every operation of the class. Plain C++: the Python
// surface converts arguments and results around these calls.
//
// Sharing. A process has at most one Store per directory (same device and inode): every object
// opened on it shares it, so they see each other's changes at once and replay happens once. A
// Store holds an advisory lock on the directory (flock, released by the kernel when the process
// dies): exclusive for a read-write store, shared for a read-only one, so one process writes a
// directory, or any number of processes read it. A forked child keeps its parent's Store for
// reading only: its mutations fail, it never writes the inherited log buffer, and it drops its
// copy of the directory lock at the fork.
#pragma once

#include <sys/types.h>

#include <atomic>
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
#include "persist/open.h"
#include "persist/wal.h"

namespace korvane {

// Results of a search: texts in one arena, each result naming its spans.
struct DirId {
  uint64_t dev = 0, ino = 0;
  bool operator==(const DirId& o) const { return dev == o.dev && ino == o.ino; }
};

struct SearchOut {
  std::string arena;
  std::vector<std::pair<size_t, size_t>> ids, metas;
  std::vector<float> dists;  // radius and nearest-neighbour searches only
  bool with_dist = false;
  bool ascii = false;  // the arena is ASCII: set by the surface before it makes strings of it
  size_t size() const { return ids.size(); }
};

// One point of add_many, as the surface converted it: the texts are views of the caller's
// strings, which the surface keeps alive until add_many returns.
struct NewPoint {
  std::string_view id;
  float lat = 0, lon = 0;
  std::string_view metadata;
};

// What get returns of a live point.
struct PointOut {
  float lat = 0, lon = 0;
  std::string metadata;  // "{}" when its record cannot be read
};

class Store {
 public:
  // The store of `path`, opened now or already open in this process. A read-only store never
  // writes to the directory; a read-write open of a directory that another process holds (or that
  // this one holds read-only) fails with InUse.
  static Result<std::shared_ptr<Store>> open(std::string path, bool read_only = false);
  ~Store();
  bool read_only() const { return read_only_; }
  // A forked child's copy of its parent's store.
  bool foreign() const;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  Status add(std::string_view id, float lat, float lon, std::string_view metadata);
  // Adds points in order, each exactly as add would, under one lock acquisition. *done counts the
  // points taken (added or already present), *added grows by the points added; the error, if any,
  // is that of points[*done].
  Status add_many(const std::vector<NewPoint>& points, size_t* done, uint64_t* added);
  Result<std::optional<PointOut>> get(std::string_view id);
  Result<bool> contains(std::string_view id);
  // Writes out the log buffer and forces the log to stable storage.
  Status flush();
  Status remove(std::string_view id);
  // Every method taking a filter text reads it strictly (check_filter, a refusal changing
  // nothing) when `strict_filters` is set: a setting of the calling object, not of the store.
  Result<uint64_t> delete_by_filter(std::string_view filter_json, bool strict_filters = false);
  uint64_t count();
  Status persist();
  Status vacuum();
  Result<SearchOut> search_radius(float lat, float lon, float radius_m, const std::optional<std::string_view>& filter,
                                  bool strict_filters = false);
  // `exact`: the k nearest by the float distance (search_knn_exact) instead of the ring walk.
  // `max_distance_m`: only points at most that far count.
  Result<SearchOut> search_knn(float lat, float lon, uint64_t k, const std::optional<std::string_view>& filter,
                               bool exact = false, bool strict_filters = false,
                               std::optional<float> max_distance_m = std::nullopt);
  Result<SearchOut> search_box(std::pair<float, float> top_left, std::pair<float, float> bottom_right,
                               const std::optional<std::string_view>& filter, bool strict_filters = false);
  Result<SearchOut> search_polygon(const std::vector<std::pair<float, float>>& points,
                                   const std::optional<std::string_view>& filter, bool strict_filters = false);

  // The points inside a GeoJSON Polygon or MultiPolygon, given as JSON text or as a parsed
  // value (one of the two); a faulty geometry is refused before the filter is read.
  Result<SearchOut> search_geojson(const std::string_view* text, const Json* geometry,
                                   const std::optional<std::string_view>& filter, bool strict_filters = false);

  const std::string& storage_path() const { return storage_path_; }

  // Writes out the log buffer (the exit hook uses it).
  void flush_log();

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
  template <class Search>
  Result<SearchOut> run_search(const std::optional<std::string_view>& filter, bool strict, bool with_dist,
                               Search&& search);

  std::string storage_path_;
  std::shared_mutex index_lock_;
  std::unique_ptr<CoreIndex> index_;
  std::shared_mutex log_lock_;
  std::unique_ptr<WalWriter> wal_;
  DirId dir_id_;
  pid_t owner_pid_ = 0;
  bool read_only_ = false;
  Fd lock_fd_;  // the directory, holding its advisory lock
  // persist and vacuum run one at a time (they share the snapshot and the log's temporary files).
  // Order: persist_mutex_, then the index lock, then the log lock.
  std::mutex persist_mutex_;
  // Set when a vacuum committed on disk but could not be completed here: the next call completes
  // it before anything else.
  std::atomic<bool> vacuum_pending_{false};
};

}  // namespace korvane
