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
#include "core/hash_id.h"
#include "filter/filter.h"
#include "filter/filter_check.h"
#include "spatial/search.h"
#include "spatial/shapes.h"

namespace korvane {

// Stores of this process by directory, so that a second open shares the first and an
// interpreter exit writes out every log buffer. Never destroyed: the exit hook may run after
// static destructors. Every change happens with the interpreter lock held (opens and the
// destruction of the last object), so a fork never finds it half changed.
struct Registry {
  struct Entry {
    pid_t pid;
    Store* store;
    std::weak_ptr<Store> weak;
  };
  std::recursive_mutex mu;
  std::vector<std::pair<DirId, Entry>> entries;

  Entry* find(const DirId& id) {
    for (auto& [k, e] : entries)
      if (k == id && e.pid == ::getpid()) return &e;
    return nullptr;
  }
  void erase(const Store* s) {
    for (size_t k = 0; k < entries.size(); ++k)
      if (entries[k].second.store == s) {
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(k));
        return;
      }
  }
  // A forked child must not keep its parent's directories locked: its copies of the lock
  // descriptors go at once (the parent's own stay locked). Its stores remain readable.
  static void after_fork_in_child() {
    for (auto& [k, e] : instance().entries) e.store->lock_fd_ = Fd();
  }
  static Registry& instance() {
    static Registry* r = new Registry();
    return *r;
  }
};

namespace {

void flush_all_at_exit() {
  Registry& r = Registry::instance();
  std::lock_guard<std::recursive_mutex> g(r.mu);
  for (auto& [k, e] : r.entries)
    if (e.pid == ::getpid()) e.store->flush_log();
}

void install_hooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit(flush_all_at_exit);
    ::pthread_atfork(nullptr, nullptr, &Registry::after_fork_in_child);
  });
}

}  // namespace

void Store::flush_log() {
  // A forked child must not write its copy of the parent's buffer.
  if (::getpid() != owner_pid_) return;
  std::unique_lock<std::shared_mutex> lk(log_lock_);
  if (wal_) (void)wal_->flush();
}

Result<std::shared_ptr<Store>> Store::open(std::string path, bool read_only) {
  install_hooks();
  // A read-only open creates nothing: the directory must exist.
  if (!read_only) KV_TRY(make_dirs(path));
  int dfd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return Error::os(errno, "open " + path).at(".", true);
  Fd dir(dfd);
  struct stat st;
  if (::fstat(dfd, &st) != 0) return Error::os(errno, "stat " + path).at(".", true);
  DirId id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};

  Registry& r = Registry::instance();
  std::lock_guard<std::recursive_mutex> g(r.mu);
  if (Registry::Entry* e = r.find(id)) {
    if (std::shared_ptr<Store> shared = e->weak.lock()) {
      if (shared->read_only_ && !read_only)
        return Error::in_use("the storage directory " + path +
                             " is open read-only in this process; it cannot also be opened to write")
            .at(".", true);
      return shared;
    }
  }
  if (::flock(dfd, (read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return Error::in_use("the storage directory " + path + " is in use by another process").at(".", true);
    return Error::os(errno, "lock " + path).at(".", true);
  }
  int idx_dir = ::fcntl(dfd, F_DUPFD_CLOEXEC, 0);
  if (idx_dir < 0) return Error::os(errno, "open " + path).at(".", true);
  auto loaded = load_directory(Fd(idx_dir), read_only);
  if (!loaded) return loaded.error();  // the lock goes with `dir`

  std::shared_ptr<Store> s(new Store());
  s->storage_path_ = std::move(path);
  s->owner_pid_ = ::getpid();
  s->read_only_ = read_only;
  s->dir_id_ = id;
  s->lock_fd_ = std::move(dir);
  s->index_ = std::move(loaded->index);
  s->wal_ = std::move(loaded->wal);
  Registry::Entry* e = r.find(id);
  if (e != nullptr)
    *e = {::getpid(), s.get(), s};
  else
    r.entries.push_back({id, {::getpid(), s.get(), s}});
  return s;
}

Store::~Store() {
  {
    Registry& r = Registry::instance();
    std::lock_guard<std::recursive_mutex> g(r.mu);
    r.erase(this);
  }
  index_.reset();  // unmaps and closes the record files
  if (::getpid() != owner_pid_ && wal_) wal_->abandon();  // a forked child's copy of the buffer
  wal_.reset();  // writes out the buffer; a failure is ignored
  // The directory lock goes last, with lock_fd_.
}

bool Store::foreign() const { return ::getpid() != owner_pid_; }

Status Store::writable() {
  if (::getpid() != owner_pid_)
    return Error::os_message(ENOTSUP, "this store belongs to the parent process; open the storage directory "
                             "again in the child");
  if (read_only_) return Error::unsupported("the store is read-only");
  return settle();
}

Status Store::settle() {
  if (!vacuum_pending_.load()) return {};
  if (::getpid() != owner_pid_) return {};  // a forked child reads what it inherited
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
  wal_->abandon();  // written out before the vacuum; the log it belonged to is gone
  index_ = std::move(loaded->index);
  wal_ = std::move(loaded->wal);
  vacuum_pending_ = false;
  return {};
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

Error Store::append_failed(const Error& e) { return Error::fatal_os(e, "cannot append to wal.bin"); }

// Requires both locks for writing.
Status Store::insert_logged(std::string_view id, float lat, float lon, const PreparedMeta& meta) {
  auto w = wal_->append_insert_encoded(id, lat, lon, meta.log());
  if (!w) return append_failed(w.error());
  return insert_prepared(*index_, id, lat, lon, meta);
}

Status Store::add(std::string_view id, float lat, float lon, std::string_view metadata) {
  PreparedMeta meta;
  KV_TRY(prepare(metadata, &meta));
  KV_TRY(writable());
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  return insert_logged(id, lat, lon, meta);
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
Status Store::add_many(const std::vector<NewPoint>& points, size_t* done, uint64_t* added) {
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
  if (thrown) std::rethrow_exception(thrown);
  batch.finish();
  Status written = end_record_batch(*index_);
  if (!inserted) return inserted;
  if (!written) return written;
  return failed;
}

Result<std::optional<PointOut>> Store::get(std::string_view id) {
  KV_TRY(settle());
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  CoreIndex& ix = *index_;
  auto it = ix.ext_to_int.find(hash_id(id));
  if (it == ix.ext_to_int.end()) return std::optional<PointOut>();
  uint32_t i = it->second;
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
  return index_->ext_to_int.contains(hash_id(id));
}

Status Store::flush() {
  if (::getpid() != owner_pid_) return writable().error();
  if (read_only_) return {};
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  auto f = wal_->flush();
  if (!f) return Error::os(f.error(), "write wal.bin");
  return wal_->sync();
}

Status Store::remove(std::string_view id) {
  KV_TRY(writable());
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  auto w = wal_->append_delete(id);
  if (!w) return append_failed(w.error());
  delete_in_mem(*index_, id);
  return {};
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
    if (!f) return Error::os_plain(f.error());
  }
  bool committed = false;
  auto s = korvane::vacuum(
      *index_,
      [this]() -> Status {
        std::unique_lock<std::shared_mutex> llk(log_lock_);
        return wal_->empty();
      },
      &committed);
  // The directory is compacted but this index is not: the next call completes the vacuum.
  if (!s && committed) vacuum_pending_ = true;
  return s;
}

template <class Search>
Result<SearchOut> Store::run_search(const std::optional<std::string_view>& filter, bool strict, bool with_dist,
                                    Search&& search) {
  std::shared_ptr<const Json> doc;
  if (filter) {
    auto p = parse_filter_shared(*filter, strict);
    if (!p) return p.error();
    doc = std::move(*p);
  }
  KV_TRY(settle());
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  CoreIndex& ix = *index_;
  // The filter is evaluated by the search, within its spatial candidates; or, for a text asked
  // with before, its result over the whole index is kept and the search intersects with that.
  Allowed allowed{&ix.valid_ids, doc.get(), /*all_live=*/true};
  std::shared_ptr<const Bitmap> kept;
  if (doc) kept = ix.filter_results.lookup(*filter, [&] { return evaluate_filter(ix, *doc, nullptr); });
  if (kept) allowed = Allowed{kept.get(), nullptr};
  std::vector<uint32_t> ids;
  SearchOut out;
  out.with_dist = with_dist;
  search(ix, allowed, &ids, with_dist ? &out.dists : nullptr);
  out.arena.reserve(ids.size() * 96);
  ix.read_results(ids, &out.arena, &out.ids, &out.metas);
  return out;
}

Result<SearchOut> Store::search_radius(float lat, float lon, float radius_m,
                                       const std::optional<std::string_view>& filter, bool strict_filters) {
  return run_search(filter, strict_filters, true, [&](CoreIndex& ix, const Allowed& allowed,
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
                                    bool strict_filters, std::optional<float> max_distance_m) {
  return run_search(filter, strict_filters, true, [&](CoreIndex& ix, const Allowed& allowed,
                                                      std::vector<uint32_t>* ids, std::vector<float>* dists) {
    for (const Hit& h : exact ? korvane::search_knn_exact(ix, lat, lon, k, allowed, max_distance_m)
                              : korvane::search_knn(ix, lat, lon, k, allowed, max_distance_m)) {
      ids->push_back(h.id);
      dists->push_back(h.dist);
    }
  });
}

Result<SearchOut> Store::search_box(std::pair<float, float> top_left, std::pair<float, float> bottom_right,
                                    const std::optional<std::string_view>& filter, bool strict_filters) {
  return run_search(filter, strict_filters, false, [&](CoreIndex& ix, const Allowed& allowed,
                                                       std::vector<uint32_t>* ids, std::vector<float>*) {
    *ids = korvane::search_box(ix, top_left.first, top_left.second, bottom_right.first,
                               bottom_right.second, allowed);
  });
}

Result<SearchOut> Store::search_polygon(const std::vector<std::pair<float, float>>& points,
                                        const std::optional<std::string_view>& filter, bool strict_filters) {
  if (points.size() < 3) {
    // No lock, and the filter is not even parsed; read strictly, it is still checked.
    if (strict_filters && filter) KV_TRY(parse_filter(*filter, true));
    return SearchOut{};
  }
  return run_search(filter, strict_filters, false, [&](CoreIndex& ix, const Allowed& allowed,
                                                       std::vector<uint32_t>* ids, std::vector<float>*) {
    *ids = korvane::search_polygon(ix, points, allowed);
  });
}

Result<SearchOut> Store::search_geojson(const std::string_view* text, const Json* geometry,
                                        const std::optional<std::string_view>& filter, bool strict_filters) {
  Json parsed;
  if (text != nullptr) {
    auto p = parse_json(*text);
    if (!p) return Error::json("geometry: " + p.error().message);
    parsed = std::move(*p);
    geometry = &parsed;
  }
  auto shape = shape_of_geojson(*geometry);
  if (!shape) return shape.error();
  return run_search(filter, strict_filters, false, [&](CoreIndex& ix, const Allowed& allowed,
                                                       std::vector<uint32_t>* ids, std::vector<float>*) {
    *ids = korvane::search_shape(ix, *shape, allowed);
  });
}

}  // namespace korvane
