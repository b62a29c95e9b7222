#include "lib/store.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <exception>
#include <system_error>
#include <thread>
#include <tuple>

#include "persist/vacuum.h"
#include "filter/filter.h"
#include "filter/filter_check.h"
#include "spatial/search.h"
#include "spatial/shapes.h"

namespace korvane {

Status Store::writable() {
  if (this_process() != owner_pid_)
    return Error::os_message(ENOTSUP, "this store belongs to the parent process; open the storage directory "
                             "again in the child");
  if (read_only_) return Error::unsupported("the store is read-only");
  return settle();
}

Status Store::preload() {
  if (read_only_) return Error::unsupported("preload needs a store opened for writing");
  KV_TRY(settle());
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  resident_ = true;
  (void)make_records_resident(*index_);  // where it cannot be had, the files stay mapped
  return {};
}

Status Store::settle() {
  if (read_only_) return this_process() == owner_pid_ ? follow() : Status();
  if (!vacuum_pending_.load()) return {};
  if (this_process() != owner_pid_) return {};  // a forked child reads what it inherited
  std::lock_guard<std::mutex> pg(persist_mutex_);
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  if (!vacuum_pending_.load()) return {};
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  int dir = index_->dir.get();
  KV_TRY(finish_interrupted_vacuum(dir));
  int d = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (d < 0) return Error::os_plain(errno, "open directory");
  auto loaded = load_directory(Fd(d), false);
  if (!loaded) return loaded.error();
  if (resident_) (void)make_records_resident(*loaded->index);
  wal_->abandon();  // written out before the vacuum; the log it belonged to is gone
  index_ = std::move(loaded->index);
  wal_ = std::move(loaded->wal);
  vacuum_pending_ = false;
  live_pub_.new_epoch(wal_->file_len(), inode_of(wal_->fd()));
  return {};
}

void Store::publish_log() {
  if (wal_) live_pub_.log_written(wal_->file_len());
}

namespace {

// A point's metadata made ready outside any lock; the errors of add.
Status prepare(std::string_view metadata, PreparedMeta* meta) {
  auto s = prepare_metadata(metadata, meta);
  if (!s) return Error::json("Invalid JSON: " + s.error().message);
  if (meta->text_len > kMaxMetadataLen)
    return Error::value("metadata is " + std::to_string(meta->text_len) +
                        " bytes as compact JSON; at most 10000000 can be stored");
  return {};
}

}  // namespace

Status prepare_point_metadata(std::string_view metadata, PreparedMeta* meta) { return prepare(metadata, meta); }

Error Store::append_failed(const Error& e) { return Error::fatal_os(e, "cannot append to wal.bin"); }

// Requires both locks for writing.
Status Store::insert_logged(std::string_view id, float lat, float lon, const PreparedMeta& meta) {
  KV_TRY(check_id_free(*index_, id));
  auto w = wal_->append_insert_encoded(id, lat, lon, meta.log());
  if (!w) return append_failed(w.error());
  return insert_prepared(*index_, id, lat, lon, meta);
}

Status Store::write_out(Durability d, uint64_t* ticket) {
  *ticket = 0;
  if (d == Durability::Buffered) {
    publish_log();  // what a full buffer wrote out
    return {};
  }
  auto f = wal_->flush();
  publish_log();
  // The change is made; its records stay buffered, to be written out with the next ones.
  if (!f) return append_failed(f.error());
  if (d == Durability::Power) *ticket = ++tickets_;
  return {};
}

Status Store::sync_log(uint64_t ticket) {
  if (ticket == 0) return {};
  std::unique_lock<std::mutex> g(sync_mutex_);
  for (;;) {
    if (ticket >= failed_from_ && ticket <= failed_to_) return Error::os(failed_errno_, "sync wal.bin");
    if (ticket <= synced_ticket_) return {};
    if (!syncing_) break;
    sync_done_.wait(g);
  }
  syncing_ = true;
  g.unlock();
  uint64_t target, len;
  Fd log;
  {
    // Every ticket handed out so far belongs to records already written to this file. A persist
    // may put a new file in its place later: it syncs the records it moves there itself.
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    target = tickets_;
    len = wal_->file_len();
    log = Fd(::fcntl(wal_->fd(), F_DUPFD_CLOEXEC, 0));
  }
  int err = 0;
  if (!log.valid() || ::fdatasync(log.get()) != 0) err = errno;
  g.lock();
  syncing_ = false;
  if (err == 0) {
    synced_ticket_ = std::max(synced_ticket_, target);
    ++syncs_;
    synced_len_ = len;
  } else {
    failed_from_ = synced_ticket_ + 1;
    failed_to_ = target;
    failed_errno_ = err;
  }
  sync_done_.notify_all();
  g.unlock();
  if (err != 0) return Error::os(err, "sync wal.bin");
  return {};
}

std::pair<uint64_t, uint64_t> Store::log_syncs() {
  std::lock_guard<std::mutex> g(sync_mutex_);
  return {syncs_, synced_len_};
}

Status Store::add(std::string_view id, float lat, float lon, std::string_view metadata, Durability d) {
  PreparedMeta meta;
  KV_TRY(prepare(metadata, &meta));
  KV_TRY(writable());
  uint64_t ticket;
  {
    std::unique_lock<std::shared_mutex> ilk(index_lock_);
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    KV_TRY(insert_logged(id, lat, lon, meta));
    KV_TRY(write_out(d, &ticket));
  }
  return sync_log(ticket);
}

constexpr size_t kParallelBatch = 256;
constexpr size_t kPrefetchAhead = 16;  // points whose first reads are started before their step
constexpr size_t kKeptPreparedBytes = 4096;  // a prepared point's room kept for the next batch
constexpr size_t kClaimRun = 8;  // points a thread claims to prepare at once

// One function, past 80 lines: the two threads share the batch's progress, its outcomes and its
// stop flags, which are simplest to follow as locals of one function.
//
// Each point goes through three steps: preparing its metadata (touches nothing shared), placing it
// (the log record, the id map, the records, the grid cell: in order, on this thread, under the
// locks) and indexing it (the metadata's indexes: in order, after its placing). In a large batch a
// second thread indexes each point once it is placed; both threads prepare, in order of a shared
// claim, whenever their own step has nothing to do (this thread when the point it must place next
// is not yet prepared). The work thereby spreads over both threads whatever the share of each step.
// The first point whose preparing fails ends the batch there.
Status Store::add_many(const std::vector<NewPoint>& points, size_t* done, uint64_t* added, Durability d) {
  *done = 0;
  const size_t total = points.size();
  if (total == 0) return {};
  // What the batch keeps per point is kept from batch to batch on the calling thread: each
  // prepared point keeps its buffers' room, so a long load allocates nothing per point (a large
  // one is let go below).
  struct Scratch {
    std::vector<PreparedMeta> prepared;
    std::unique_ptr<std::atomic<uint8_t>[]> state;  // 0: not prepared yet, 1: prepared, 2: failed
    size_t state_room = 0;
    std::vector<uint32_t> ids;
    std::vector<uint8_t> placed;  // 0: its id was already present
  };
  thread_local Scratch scratch;
  if (scratch.prepared.size() < total) {
    scratch.prepared.resize(total);
    scratch.ids.resize(total);
    scratch.placed.resize(total);
  }
  if (scratch.state_room < total) {
    scratch.state.reset(new std::atomic<uint8_t>[total]);
    scratch.state_room = total;
  }
  std::vector<PreparedMeta>& prepared = scratch.prepared;
  std::atomic<uint8_t>* state = scratch.state.get();
  for (size_t k = 0; k < total; ++k) state[k].store(0, std::memory_order_relaxed);
  struct Trim {
    std::vector<PreparedMeta>& v;
    size_t n;
    ~Trim() {
      for (size_t k = 0; k < n; ++k)
        if (v[k].bytes.capacity() > kKeptPreparedBytes) v[k] = PreparedMeta();
    }
  } trim{prepared, total};
  // The errors of the points whose preparing failed (either thread's, so under a mutex).
  std::mutex failures_mutex;
  std::vector<std::pair<size_t, Error>> failures;
  // The batch's progress, each counter in a cache line of its own: the two threads read and
  // write them all the time.
  struct Progress {
    alignas(64) std::atomic<size_t> claim{1};  // the first point nobody has claimed to prepare
    alignas(64) std::atomic<size_t> assigned{0};  // points below it are placed
    alignas(64) std::atomic<bool> placing{true};  // false once this thread has placed all it will
    std::atomic<bool> broken{false};  // the second thread stopped on an exception
    std::atomic<size_t> indexed{0};  // points below it are indexed (by the second thread)
  };
  Progress progress;
  std::atomic<size_t>& claim = progress.claim;
  std::atomic<size_t>& assigned = progress.assigned;
  std::atomic<bool>& placing = progress.placing;
  std::atomic<bool>& broken = progress.broken;
  auto prepare_one = [&](size_t c) {
    Status s = prepare(points[c].metadata, &prepared[c]);
    if (!s) {
      std::lock_guard<std::mutex> g(failures_mutex);
      failures.emplace_back(c, s.error());
    }
    state[c].store(s ? 1 : 2, std::memory_order_release);
  };
  auto failure_of = [&](size_t c) -> Error {
    std::lock_guard<std::mutex> g(failures_mutex);
    for (auto& f : failures)
      if (f.first == c) return f.second;
    return Error::fatal("no error kept for a failed point");
  };
  // Points are claimed a few at a time: neighbours share cache lines (their prepared records and
  // states), best written by one thread.
  auto claim_run = [&] {
    size_t c = claim.fetch_add(kClaimRun, std::memory_order_relaxed);
    if (c >= total) return false;
    for (size_t x = c; x < std::min(c + kClaimRun, total); ++x) prepare_one(x);
    return true;
  };
  // The first point's errors come before the store's, as add's do.
  prepare_one(0);
  if (state[0].load(std::memory_order_relaxed) != 1) return failure_of(0);
  KV_TRY(writable());
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  // The records of the whole batch reach their files in one write each.
  begin_record_batch(*index_);
  InsertBatch batch(*index_);
  // However the batch ends (an exception included), what was placed is indexed and its records
  // reach their files, and the record files leave batching. On the normal path both happen
  // below, where their errors are reported.
  struct BatchEnd {
    CoreIndex& ix;
    InsertBatch& batch;
    bool done = false;
    ~BatchEnd() {
      if (done) return;
      try {
        batch.finish();
      } catch (const std::exception&) {
        // Out of memory while ending a batch that already failed: its first error is reported.
      }
      (void)end_record_batch(ix);
    }
  } batch_end{*index_, batch};
  std::vector<uint32_t>& ids = scratch.ids;
  std::vector<uint8_t>& placed = scratch.placed;
  std::exception_ptr thrown;
  auto index_one = [&](size_t j) {
    size_t f = j + kPrefetchAhead;
    if (f < total && state[f].load(std::memory_order_acquire) == 1) batch.prefetch_index(prepared[f]);
    if (placed[j]) batch.index(ids[j], prepared[j]);
  };
  std::thread second;
  if (total >= kParallelBatch) {
    try {
      second = std::thread([&] {
        try {
          size_t j = 0, known = 0;  // known: what `assigned` said when last read
          for (;;) {
            if (j < known) {
              index_one(j++);
              progress.indexed.store(j, std::memory_order_release);
              continue;
            }
            bool more = placing.load(std::memory_order_acquire);
            known = assigned.load(std::memory_order_acquire);
            if (j < known) continue;
            if (!more) break;
            if (!claim_run()) std::this_thread::yield();
          }
        } catch (...) {
          thrown = std::current_exception();
          broken.store(true, std::memory_order_release);
        }
      });
    } catch (const std::system_error&) {
      // No second thread: this one does every step.
    }
  }
  const bool parallel = second.joinable();
  // Whatever way this function is left, the second thread ends before the locks are let go.
  struct Joiner {
    std::thread& t;
    std::atomic<bool>& placing;
    ~Joiner() {
      placing.store(false, std::memory_order_release);
      if (t.joinable()) t.join();
    }
  } joiner{second, placing};

  Status failed, inserted;
  for (size_t k = 0; k < total && !broken.load(std::memory_order_relaxed); ++k) {
    while (state[k].load(std::memory_order_acquire) == 0 && !broken.load(std::memory_order_acquire))
      if (!claim_run()) std::this_thread::yield();  // the second thread is preparing it
    if (state[k].load(std::memory_order_acquire) != 1) {
      if (state[k].load(std::memory_order_acquire) == 2) failed = failure_of(k);
      break;
    }
    if (k + kPrefetchAhead < total) {
      const NewPoint& ahead = points[k + kPrefetchAhead];
      batch.prefetch_place(ahead.id, ahead.lat, ahead.lon);
    }
    const NewPoint& p = points[k];
    inserted = check_id_free(*index_, p.id);
    if (!inserted) break;
    auto w = wal_->append_insert_encoded(p.id, p.lat, p.lon, prepared[k].log());
    if (!w) {
      inserted = append_failed(w.error());
      break;
    }
    bool is_new;
    inserted = batch.place(p.id, p.lat, p.lon, prepared[k], &is_new, &ids[k]);
    if (!inserted) break;
    placed[k] = is_new;
    *added += is_new;
    *done = k + 1;
    assigned.store(k + 1, std::memory_order_release);
    if (!parallel) index_one(k);
  }
  placing.store(false, std::memory_order_release);
  if (parallel) second.join();
  if (thrown) {
    // Every placed point is indexed before the failure is reported (a point the second thread
    // had half indexed is indexed again: its entries are sets).
    for (size_t j = progress.indexed.load(); j < assigned.load(); ++j) index_one(j);
    std::rethrow_exception(thrown);
  }
  batch_end.done = true;
  batch.finish();
  Status written = end_record_batch(*index_);
  // The points taken reach the level asked for, whatever ended the batch.
  uint64_t ticket;
  Status out = write_out(d, &ticket);
  llk.unlock();
  ilk.unlock();
  Status synced = sync_log(ticket);
  for (Status* s : {&inserted, &written, &out, &synced})
    if (!*s) return *s;
  return failed;
}

Result<std::optional<PointOut>> Store::get(std::string_view id) {
  KV_TRY(settle());
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  CoreIndex& ix = *index_;
  std::optional<uint32_t> found = ix.live_id_of(id);
  if (!found) return std::optional<PointOut>();
  uint32_t i = *found;
  PointOut out;
  std::tie(out.lat, out.lon) = ix.get_coords(i);
  std::string arena;
  std::vector<std::pair<size_t, size_t>> id_spans, meta_spans;
  ix.read_results({i}, &arena, &id_spans, &meta_spans);
  out.metadata = arena.substr(meta_spans[0].first, meta_spans[0].second);
  return std::optional<PointOut>(std::move(out));
}

Result<bool> Store::contains(std::string_view id) {
  KV_TRY(settle());
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  return index_->live_id_of(id).has_value();
}

Status Store::flush() {
  if (this_process() != owner_pid_) return writable().error();
  if (read_only_) return {};
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  auto f = wal_->flush();
  publish_log();
  if (!f) return Error::os(f.error(), "write wal.bin");
  return wal_->sync();
}

Status Store::remove(std::string_view id, Durability d) {
  KV_TRY(writable());
  uint64_t ticket;
  {
    std::unique_lock<std::shared_mutex> ilk(index_lock_);
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    auto w = wal_->append_delete(id);
    if (!w) return append_failed(w.error());
    delete_in_mem(*index_, id);
    KV_TRY(write_out(d, &ticket));
  }
  return sync_log(ticket);
}

uint64_t Store::count() {
  (void)settle();  // a failure shows on the next call that can report it
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  return index_->valid_ids.cardinality();
}

Status Store::vacuum() {
  KV_TRY(writable());
  std::lock_guard<std::mutex> pg(persist_mutex_);
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  {
    // Everything acknowledged before the vacuum reaches the log first.
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    auto f = wal_->flush();
    publish_log();
    if (!f) return Error::os_plain(f.error());
  }
  bool committed = false;
  auto s = korvane::vacuum(
      *index_,
      [this]() -> Status {
        std::unique_lock<std::shared_mutex> llk(log_lock_);
        // Emptied by a new file in its place, so that a reader still reading the old one finds
        // its records whole. Everything was written out before the vacuum.
        uint64_t had = wal_->file_len();
        wal_->abandon();
        Status emptied = wal_->drop_covered(index_->dir.get(), had);
        if (emptied) live_pub_.log_rebased(had, wal_->file_len(), inode_of(wal_->fd()));
        return emptied;
      },
      &committed,
      [this] {
        // Readers load nothing anew until the files are in place (they keep what they have).
        std::unique_lock<std::shared_mutex> llk(log_lock_);
        live_pub_.set_transition(true);
      });
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  // The directory is compacted but this index is not: the next call completes the vacuum (and
  // starts the readers' new epoch then).
  if (!s && committed) {
    vacuum_pending_ = true;
  } else if (s) {
    live_pub_.new_epoch(wal_->file_len(), inode_of(wal_->fd()));
  } else {
    live_pub_.set_transition(false);
  }
  return s;
}

Result<Store::Selection> Store::select(const std::optional<std::string_view>& filter, bool strict) {
  auto parsed = parse_filter_shared(filter, strict);
  if (!parsed) return parsed.error();
  KV_TRY(settle());
  Selection sel{std::move(*parsed), std::shared_lock<std::shared_mutex>(index_lock_), nullptr};
  CoreIndex& ix = *index_;
  if (sel.doc)
    sel.kept = ix.filter_results.lookup(*filter, [&] { return evaluate_filter(ix, *sel.doc, nullptr); });
  return sel;
}

template <class Search>
Result<SearchOut> Store::run_search(const std::optional<std::string_view>& filter, bool strict, bool with_dist,
                                    const Projection& proj, Search&& search) {
  auto sel = select(filter, strict);
  if (!sel) return sel.error();
  CoreIndex& ix = *index_;
  // The filter is evaluated by the search, within its spatial candidates; or, for a text asked
  // with before, its result over the whole index is kept and the search intersects with that.
  Allowed allowed{&ix.valid_ids, sel->doc.get(), /*all_live=*/true};
  if (sel->kept) allowed = Allowed{sel->kept.get(), nullptr};
  std::vector<uint32_t> ids;
  SearchOut out;
  out.with_dist = with_dist;
  search(ix, allowed, &ids, with_dist ? &out.dists : nullptr);
  out.arena.reserve(ids.size() * 96);
  ix.read_results(ids, &out.arena, &out.ids, &out.metas);
  if (proj.coords) {
    out.with_coords = true;
    out.coords.reserve(ids.size());
    ix.for_each_coords(ids, [&](uint32_t, float lat, float lon) { out.coords.emplace_back(lat, lon); });
  }
  if (proj.with_fields) project_fields(proj.fields, &out);
  return out;
}

Result<SearchOut> Store::search_radius(float lat, float lon, float radius_m,
                                       const std::optional<std::string_view>& filter, bool strict_filters,
                                        const Projection& proj) {
  return run_search(filter, strict_filters, true, proj, [&](CoreIndex& ix, const Allowed& allowed,
                                                      std::vector<uint32_t>* ids, std::vector<float>* dists) {
    std::vector<Hit> hits = korvane::search_radius(ix, lat, lon, radius_m, allowed);
    ids->reserve(hits.size());
    dists->reserve(hits.size());
    for (const Hit& h : hits) {
      ids->push_back(h.id);
      dists->push_back(h.dist);
    }
  });
}

Result<SearchOut> Store::search_knn(float lat, float lon, uint64_t k,
                                    const std::optional<std::string_view>& filter, bool exact,
                                    bool strict_filters, std::optional<float> max_distance_m,
                                    const Projection& proj) {
  return run_search(filter, strict_filters, true, proj, [&](CoreIndex& ix, const Allowed& kept,
                                                      std::vector<uint32_t>* ids, std::vector<float>* dists) {
    // A kept filter result gets its points per block, so that the search passes over the blocks
    // it leaves empty.
    Allowed allowed = kept;
    std::shared_ptr<const BlockCounts> counts;
    if (!kept.all_live && kept.filter == nullptr)
      counts = ix.filter_results.blocks(kept.set, [&] { return count_blocks(ix, *kept.set); });
    allowed.blocks = counts.get();
    for (const Hit& h : exact ? korvane::search_knn_exact(ix, lat, lon, k, allowed, max_distance_m)
                              : korvane::search_knn(ix, lat, lon, k, allowed, max_distance_m)) {
      ids->push_back(h.id);
      dists->push_back(h.dist);
    }
  });
}

Result<SearchOut> Store::search_box(std::pair<float, float> top_left, std::pair<float, float> bottom_right,
                                    const std::optional<std::string_view>& filter, bool strict_filters,
                                        const Projection& proj) {
  return run_search(filter, strict_filters, false, proj, [&](CoreIndex& ix, const Allowed& allowed,
                                                       std::vector<uint32_t>* ids, std::vector<float>*) {
    *ids = korvane::search_box(ix, top_left.first, top_left.second, bottom_right.first,
                               bottom_right.second, allowed);
  });
}

Result<SearchOut> Store::search_polygon(const std::vector<std::pair<float, float>>& points,
                                        const std::optional<std::string_view>& filter, bool strict_filters,
                                        const Projection& proj) {
  if (points.size() < 3) {
    // No lock, and the filter is not even parsed; read strictly, it is still checked.
    if (strict_filters && filter) KV_TRY(parse_filter(*filter, true));
    return SearchOut{};
  }
  return run_search(filter, strict_filters, false, proj, [&](CoreIndex& ix, const Allowed& allowed,
                                                       std::vector<uint32_t>* ids, std::vector<float>*) {
    *ids = korvane::search_polygon(ix, points, allowed);
  });
}

Result<SearchOut> Store::search_geojson(const std::string_view* text, const Json* geometry,
                                        const std::optional<std::string_view>& filter, bool strict_filters,
                                        const Projection& proj) {
  Json parsed;
  if (text != nullptr) {
    auto p = parse_json(*text);
    if (!p) return Error::json("geometry: " + p.error().message);
    parsed = std::move(*p);
    geometry = &parsed;
  }
  auto shape = shape_of_geojson(*geometry);
  if (!shape) return shape.error();
  return run_search(filter, strict_filters, false, proj, [&](CoreIndex& ix, const Allowed& allowed,
                                                       std::vector<uint32_t>* ids, std::vector<float>*) {
    *ids = korvane::search_shape(ix, *shape, allowed);
  });
}

}  // namespace korvane
