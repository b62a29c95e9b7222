// store.h: the engine half of one Korvane object: the directory's index behind the index lock
// and the log writer behind the log lock, and every operation of the class. Plain C++: the
// Python surface converts arguments and results around these calls.
#pragma once

#include <sys/types.h>

#include <memory>
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
struct SearchOut {
  std::string arena;
  std::vector<std::pair<size_t, size_t>> ids, metas;
  std::vector<float> dists;  // radius and nearest-neighbour searches only
  bool with_dist = false;
  size_t size() const { return ids.size(); }
};

class Store {
 public:
  static Result<std::unique_ptr<Store>> open(std::string path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  Status add(std::string_view id, float lat, float lon, std::string_view metadata);
  Status remove(std::string_view id);
  Result<uint64_t> delete_by_filter(std::string_view filter_json);
  uint64_t count();
  Status persist();
  Status vacuum();
  Result<SearchOut> search_radius(float lat, float lon, float radius_m, const std::optional<std::string_view>& filter);
  // `exact`: the k nearest by the float distance (search_knn_exact) instead of the ring walk.
  Result<SearchOut> search_knn(float lat, float lon, uint64_t k, const std::optional<std::string_view>& filter,
                               bool exact = false);
  Result<SearchOut> search_box(std::pair<float, float> top_left, std::pair<float, float> bottom_right,
                               const std::optional<std::string_view>& filter);
  Result<SearchOut> search_polygon(const std::vector<std::pair<float, float>>& points,
                                   const std::optional<std::string_view>& filter);

  const std::string& storage_path() const { return storage_path_; }

  // Writes out the log buffer (the exit hook and opens of the same directory use it).
  void flush_log();

 private:
  Store() = default;
  template <class Search>
  Result<SearchOut> run_search(const std::optional<std::string_view>& filter, bool with_dist, Search&& search);

  std::string storage_path_;
  std::shared_mutex index_lock_;
  std::unique_ptr<CoreIndex> index_;
  std::shared_mutex log_lock_;
  std::unique_ptr<WalWriter> wal_;
  DirId dir_id_;
  pid_t owner_pid_ = 0;
  // Set when a vacuum committed on disk but could not be completed here: the directory reopens
  // in the compacted state, so this object refuses every further change.
  bool poisoned_ = false;
  Error poisoned() const;
};

}  // namespace korvane
