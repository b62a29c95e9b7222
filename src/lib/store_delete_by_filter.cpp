// store_delete_by_filter.cpp: deletion of every live point a filter matches, each deletion logged
// as delete() would log it.
#include "filter/filter.h"
#include "filter/filter_check.h"
#include "lib/store.h"

namespace korvane {

Result<uint64_t> Store::delete_by_filter(std::string_view filter_json, bool strict_filters, Durability d) {
  auto doc = parse_filter(filter_json, strict_filters);
  if (!doc) return doc.error();
  KV_TRY(writable());
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  CoreIndex& ix = *index_;
  // The whole matching set first, so this call's deletions cannot change what it deletes.
  std::vector<uint32_t> ids = evaluate_filter(ix, *doc).to_vector();
  std::string arena;
  std::vector<std::pair<size_t, size_t>> spans;
  ix.read_ids(ids, &arena, &spans);
  uint64_t count = 0;
  for (size_t k = 0; k < ids.size(); ++k) {
    std::string_view ext(arena.data() + spans[k].first, spans[k].second);
    if (ext.empty()) continue;  // unreadable (or empty) external id: only delete() removes it
    auto w = wal_->append_delete(ext);
    if (!w) return append_failed(w.error());
    // A record that no longer holds the id its point was stored under deletes nothing.
    if (delete_in_mem(ix, ext)) ++count;
  }
  uint64_t ticket;
  KV_TRY(write_out(d, &ticket));
  llk.unlock();
  ilk.unlock();
  KV_TRY(sync_log(ticket));
  return count;
}

}  // namespace korvane
