#include "lib/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "core/vacuum.h"
#include "filter/filter.h"
#include "persist/snapshot.h"
#include "spatial/search.h"

namespace korvane {
namespace {

// Live stores of this process, so that an interpreter exit, or a new open of the same
// directory, writes out their log buffers first. Never destroyed: the exit hook may run after
// static destructors.
struct Registry {
  std::mutex mu;
  std::unordered_set<Store*> live;
};
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

void flush_all_at_exit() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  for (Store* s : r.live) s->flush_log();
}

void install_exit_hook() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(flush_all_at_exit); });
}

}  // namespace

void Store::flush_log() {
  // A forked child must not write its copy of the parent's buffer.
  if (getpid() != owner_pid_) return;
  std::unique_lock<std::shared_mutex> lk(log_lock_);
  if (wal_) (void)wal_->flush();
}

Result<std::unique_ptr<Store>> Store::open(std::string path) {
  install_exit_hook();
  std::unique_ptr<Store> s(new Store());
  s->storage_path_ = std::move(path);
  s->owner_pid_ = getpid();
  auto flush_same_dir = [&](const DirId& id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    for (Store* other : r.live)
      if (other->dir_id_ == id) other->flush_log();
  };
  auto opened = open_directory(s->storage_path_, flush_same_dir);
  if (!opened) return opened.error();
  s->index_ = std::move(opened->index);
  s->wal_ = std::move(opened->wal);
  s->dir_id_ = opened->dir_id;
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  r.live.insert(s.get());
  return s;
}

Store::~Store() {
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    r.live.erase(this);
  }
  index_.reset();  // unmaps and closes the record files
  if (getpid() != owner_pid_ && wal_) wal_->abandon();  // a forked child's copy of the buffer
  wal_.reset();  // writes out the buffer; a failure is ignored
}

Status Store::add(std::string_view id, float lat, float lon, std::string_view metadata) {
  auto meta = parse_metadata(metadata);
  if (!meta) return Error::json("Invalid JSON: " + meta.error().message);
  std::string text;
  try {
    text = dump_compact(*meta);
  } catch (const nlohmann::json::exception&) {
    text = "{}";
  }
  if (text.size() > kMaxMetadataLen)
    return Error::value("metadata is " + std::to_string(text.size()) +
                        " bytes as compact JSON; at most 10000000 can be stored");
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  if (poisoned_) return poisoned();
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  auto w = wal_->append_insert(id, lat, lon, *meta);
  if (!w) return Error::fatal_os(w.error().errnum, "cannot append to wal.bin");
  return insert_in_mem(*index_, id, lat, lon, *meta, &text);
}

Status Store::remove(std::string_view id) {
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  if (poisoned_) return poisoned();
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  auto w = wal_->append_delete(id);
  if (!w) return Error::fatal_os(w.error().errnum, "cannot append to wal.bin");
  delete_in_mem(*index_, id);
  return {};
}

Result<uint64_t> Store::delete_by_filter(std::string_view filter_json) {
  auto doc = parse_json(filter_json);
  if (!doc) return doc.error();
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  if (poisoned_) return poisoned();
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
    if (!w) return Error::fatal_os(w.error().errnum, "cannot append to wal.bin");
    delete_in_mem(ix, ext);
    ++count;
  }
  return count;
}

uint64_t Store::count() {
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  return index_->valid_ids.cardinality();
}

Status Store::persist() {
  CoreIndex& ix = *index_;
  int dir = ix.dir.get();
  {
    std::unique_lock<std::shared_mutex> lk(index_lock_);
    if (poisoned_) return poisoned();
    KV_TRY(ix.coords_mmap.sync());
    KV_TRY(ix.offsets_mmap.sync());
    KV_TRY(ix.meta_offsets_mmap.sync());
    // The slot files' lengths too: a snapshot must never name slots the file does not have.
    for (const Fd* f : {&ix.coords_file, &ix.offsets_file, &ix.meta_offsets_file})
      if (::fdatasync(f->get()) != 0) return Error::os(errno, "sync");
    {
      std::lock_guard<std::mutex> g(ix.ids_mutex);
      if (::fdatasync(ix.ids_file.get()) != 0) return Error::os(errno, "sync ids.bin");
    }
    {
      std::lock_guard<std::mutex> g(ix.meta_mutex);
      if (::fdatasync(ix.meta_file.get()) != 0) return Error::os(errno, "sync meta.bin");
    }
  }
  {
    std::shared_lock<std::shared_mutex> lk(index_lock_);
    {
      // Every record the snapshot contains must be whole on file, and durable, before the
      // snapshot replaces the old one: a stop between the rename and the emptying of the log
      // replays the log over the new snapshot, and replaying only part of it is not harmless
      // (an insert whose later delete sat in the buffer would bring a deleted point back).
      std::unique_lock<std::shared_mutex> llk(log_lock_);
      auto f = wal_->flush();
      if (!f) return Error::os(f.error().errnum, "write wal.bin");
      KV_TRY(wal_->sync());
    }
    int fd = ::openat(dir, "snapshot.bin.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Error::os(errno, "create snapshot.bin.tmp");
    Fd tmp(fd);
    KV_TRY(write_snapshot(ix, fd));
    // On stable storage before it replaces the old snapshot, which the log is about to stop
    // complementing.
    if (::fsync(fd) != 0) return Error::os(errno, "sync snapshot.bin.tmp");
  }
  if (::renameat(dir, "snapshot.bin.tmp", dir, "snapshot.bin") != 0) return Error::os(errno, "rename");
  if (::fsync(dir) != 0) return Error::os(errno, "sync directory");
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  return wal_->empty();
}

Status Store::vacuum() {
  std::unique_lock<std::shared_mutex> ilk(index_lock_);
  if (poisoned_) return poisoned();
  {
    // Everything acknowledged before the vacuum reaches the log first.
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    auto f = wal_->flush();
    if (!f) return Error{ErrorKind::OsPlain, f.error().errnum, f.error().message};
  }
  bool committed = false;
  auto s = korvane::vacuum(
      *index_,
      [this]() -> Status {
        std::unique_lock<std::shared_mutex> llk(log_lock_);
        return wal_->empty();
      },
      &committed);
  if (!s && committed) poisoned_ = true;
  return s;
}

Error Store::poisoned() const {
  return Error::fatal("a vacuum of this directory was committed but could not be completed in this "
                      "object; reopen the directory");
}

template <class Search>
Result<SearchOut> Store::run_search(const std::optional<std::string_view>& filter, bool with_dist,
                                    Search&& search) {
  Json doc;
  if (filter) {
    auto p = parse_json(*filter);
    if (!p) return p.error();
    doc = std::move(*p);
  }
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  CoreIndex& ix = *index_;
  // The filter is evaluated by the search, within its spatial candidates.
  Allowed allowed{&ix.valid_ids, filter ? &doc : nullptr};
  std::vector<uint32_t> ids;
  SearchOut out;
  out.with_dist = with_dist;
  search(ix, allowed, &ids, with_dist ? &out.dists : nullptr);
  out.arena.reserve(ids.size() * 96);
  ix.read_results(ids, &out.arena, &out.ids, &out.metas);
  return out;
}

Result<SearchOut> Store::search_radius(float lat, float lon, float radius_m,
                                       const std::optional<std::string_view>& filter) {
  return run_search(filter, true, [&](CoreIndex& ix, const Allowed& allowed, std::vector<uint32_t>* ids,
                                      std::vector<float>* dists) {
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
                                    const std::optional<std::string_view>& filter, bool exact) {
  return run_search(filter, true, [&](CoreIndex& ix, const Allowed& allowed, std::vector<uint32_t>* ids,
                                      std::vector<float>* dists) {
    for (const Hit& h : exact ? korvane::search_knn_exact(ix, lat, lon, k, allowed)
                              : korvane::search_knn(ix, lat, lon, k, allowed)) {
      ids->push_back(h.id);
      dists->push_back(h.dist);
    }
  });
}

Result<SearchOut> Store::search_box(std::pair<float, float> top_left, std::pair<float, float> bottom_right,
                                    const std::optional<std::string_view>& filter) {
  return run_search(filter, false, [&](CoreIndex& ix, const Allowed& allowed, std::vector<uint32_t>* ids,
                                       std::vector<float>*) {
    *ids = korvane::search_box(ix, top_left.first, top_left.second, bottom_right.first,
                               bottom_right.second, allowed);
  });
}

Result<SearchOut> Store::search_polygon(const std::vector<std::pair<float, float>>& points,
                                        const std::optional<std::string_view>& filter) {
  if (points.size() < 3) return SearchOut{};  // no lock, and the filter is not even parsed
  return run_search(filter, false, [&](CoreIndex& ix, const Allowed& allowed, std::vector<uint32_t>* ids,
                                       std::vector<float>*) {
    *ids = korvane::search_polygon(ix, points, allowed);
  });
}

}  // namespace korvane
