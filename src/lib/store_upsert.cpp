// Store::upsert and upsert_many: a point replaced in place of its id, or added.
#include <mutex>
#include <shared_mutex>

#include "lib/store.h"

namespace korvane {

// Requires both locks for writing. Nothing changes when the id is refused.
Status Store::upsert_logged(std::string_view id, float lat, float lon, const PreparedMeta& meta, bool* replaced) {
  KV_TRY(check_id_free(*index_, id));
  *replaced = index_->live_id_of(id).has_value();
  if (!*replaced) return insert_logged(id, lat, lon, meta);
  auto w = wal_->append_replace(id, lat, lon, meta.log());
  if (!w) return append_failed(w.error());
  delete_in_mem(*index_, id);
  return insert_prepared(*index_, id, lat, lon, meta);
}

Result<bool> Store::upsert(std::string_view id, float lat, float lon, std::string_view metadata, Durability d) {
  PreparedMeta meta;
  KV_TRY(prepare_point_metadata(metadata, &meta));
  KV_TRY(writable());
  uint64_t ticket;
  bool replaced = false;
  {
    std::unique_lock<std::shared_mutex> ilk(index_lock_);
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    KV_TRY(upsert_logged(id, lat, lon, meta, &replaced));
    KV_TRY(write_out(d, &ticket));
  }
  KV_TRY(sync_log(ticket));
  return replaced;
}

Status Store::upsert_many(const std::vector<NewPoint>& points, size_t* done, uint64_t* replaced, Durability d) {
  *done = 0;
  if (points.empty()) return {};
  // Metadata is made ready outside the locks; the first point that fails ends the batch there,
  // after the points before it are stored.
  std::vector<PreparedMeta> prepared(points.size());
  size_t ready = 0;
  Status refused;
  for (; ready < points.size(); ++ready) {
    refused = prepare_point_metadata(points[ready].metadata, &prepared[ready]);
    if (!refused) break;
  }
  KV_TRY(writable());
  uint64_t ticket = 0;
  Status stored;
  {
    std::unique_lock<std::shared_mutex> ilk(index_lock_);
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    for (; *done < ready; ++*done) {
      const NewPoint& p = points[*done];
      bool r = false;
      stored = upsert_logged(p.id, p.lat, p.lon, prepared[*done], &r);
      if (!stored) break;
      *replaced += r;
    }
    // What was stored goes as far as the level says, whatever stopped the batch.
    Status out = write_out(d, &ticket);
    if (stored && !out) stored = out;
  }
  Status synced = sync_log(ticket);
  if (!stored) return stored;
  if (!synced) return synced;
  return refused;
}

}  // namespace korvane
