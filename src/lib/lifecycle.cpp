// The registry of open directories, the directory lock, and the fork and exit hooks (see
// lifecycle.h).
#include "lib/lifecycle.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "lib/store.h"
#include "persist/open.h"

namespace korvane {

namespace {
// The id of this process once the fork hooks are in place (they keep it true in a child); 0
// before.
std::atomic<pid_t> g_pid{0};
}  // namespace

pid_t this_process() {
  pid_t p = g_pid.load(std::memory_order_relaxed);
  return p != 0 ? p : ::getpid();
}

// Stores of this process by directory. Never destroyed: the exit hook may run after static
// destructors. Order of locks: open_mu, then mu, then a store's index lock, then its log lock.
struct Registry {
  struct Entry {
    DirId dir;
    pid_t pid;  // the process that opened it: a forked child's entries are its parent's
    Store* store;
    std::weak_ptr<Store> weak;  // expired while the store is being destroyed
  };
  std::mutex open_mu;  // held by the open in progress
  std::recursive_mutex mu;
  std::condition_variable_any gone;  // a store left the registry
  std::vector<Entry> entries;
  pid_t forking = 0;  // the process whose fork is under way

  static Registry& instance() {
    static Registry* r = new Registry();
    return *r;
  }
  // This process's store of a directory: its writer, or with `any` a reader if it has no writer.
  Entry* find(const DirId& id, bool any) {
    Entry* reader = nullptr;
    for (auto& e : entries)
      if (e.dir == id && e.pid == this_process()) {
        if (!e.store->read_only_) return &e;
        if (reader == nullptr) reader = &e;
      }
    return any ? reader : nullptr;
  }
  void erase(const Store* s) {
    auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.store == s; });
    if (it != entries.end()) entries.erase(it);
    gone.notify_all();
  }

  // The fork hooks: every lock a call can hold is taken before the fork and let go on both sides.
  static void before_fork() {
    Registry& r = instance();
    r.open_mu.lock();
    r.mu.lock();
    r.forking = this_process();
    for (auto& e : r.entries)
      if (e.pid == this_process()) {
        e.store->index_lock_.lock();
        e.store->log_lock_.lock();
      }
  }
  static void after_fork_in_parent() {
    Registry& r = instance();
    for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it)
      if (it->pid == r.forking) {
        it->store->log_lock_.unlock();
        it->store->index_lock_.unlock();
      }
    r.mu.unlock();
    r.open_mu.unlock();
  }
  // The child's one thread has a new thread id, which the locks' owner checks do not know: its
  // locks are made anew (all free) instead of unlocked. Then the parent's directories are left
  // locked by the parent alone.
  static void after_fork_in_child() {
    g_pid.store(::getpid(), std::memory_order_relaxed);
    Registry& r = instance();
    for (auto& e : r.entries)
      if (e.pid == r.forking) {
        new (&e.store->log_lock_) std::shared_mutex();
        new (&e.store->index_lock_) std::shared_mutex();
      }
    new (&r.gone) std::condition_variable_any();
    new (&r.mu) std::recursive_mutex();
    new (&r.open_mu) std::mutex();
    for (auto& e : r.entries) e.store->lock_fd_ = Fd();
  }

  static void flush_all_at_exit() {
    Registry& r = instance();
    std::lock_guard<std::recursive_mutex> g(r.mu);
    for (auto& e : r.entries)
      if (e.pid == this_process()) e.store->flush_log();
  }

  static void install_hooks() {
    static std::once_flag once;
    std::call_once(once, [] {
      std::atexit(flush_all_at_exit);
      ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
      g_pid.store(::getpid(), std::memory_order_relaxed);
    });
  }
};

namespace {

// The text of a recovery's report: what was wrong, where the damaged file is, what came back and
// what could not.
std::string describe(const Recovery& r, bool read_only) {
  std::string what = r.damage, out;
  if (size_t at = what.find("is damaged: "); at != std::string::npos) {
    what = what.substr(at + 12);
    if (size_t end = what.find("; nothing was changed"); end != std::string::npos) what.resize(end);
    out = "snapshot.bin was damaged (" + what + ")";
  } else {
    out = what;  // "snapshot.bin is missing"
  }
  if (read_only) out += "; read-only, rebuilt in memory";
  if (!r.kept_as.empty()) out += "; kept as " + r.kept_as;
  out += ". Restored " + std::to_string(r.restored) + " points: " + std::to_string(r.from_records) +
         " from the record files (" + std::to_string(r.superseded) +
         " older records of ids stored again after a deletion left deleted), then the log. Not restored: "
         "deletions made before the last persist (and not vacuumed since) that the log no longer holds, "
         "whose points are back";
  if (r.unread_slots > 0)
    out += "; " + std::to_string(r.unread_slots) + " points whose records could not be read";
  return out;
}

}  // namespace

Result<std::shared_ptr<Store>> Store::open(std::string path, bool read_only, bool recover) {
  Registry::install_hooks();
  if (path.empty()) return Error::value("storage_path is empty");
  // A read-only open creates nothing: the directory must exist.
  if (!read_only) KV_TRY(make_dirs(path));
  int dfd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return Error::os(errno, "open " + path).at(".", true);
  Fd dir(dfd);
  struct stat st;
  if (::fstat(dfd, &st) != 0) return Error::os(errno, "stat " + path).at(".", true);
  DirId id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};

  Registry& r = Registry::instance();
  std::lock_guard<std::mutex> opening(r.open_mu);
  {
    // A reader shares this process's writer or reader of the directory; a writer shares only a
    // writer (a reader of this process follows it like any other).
    std::unique_lock<std::recursive_mutex> g(r.mu);
    for (;;) {
      Registry::Entry* e = r.find(id, read_only);
      if (e == nullptr) break;
      if (std::shared_ptr<Store> shared = e->weak.lock()) return shared;
      r.gone.wait(g);  // its last object is letting go: the lock goes with it
    }
  }
  // One writer at a time; readers take no lock at all (they follow the writer, live_state.h).
  if (!read_only && ::flock(dfd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return Error::in_use("the storage directory " + path + " is in use by another process").at(".", true);
    return Error::os(errno, "lock " + path).at(".", true);
  }
  // The index's own descriptor of the directory: a new open file, not a duplicate sharing the
  // lock, so that the lock lives exactly as long as lock_fd_.
  int idx_dir = ::openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (idx_dir < 0) return Error::os(errno, "open " + path).at(".", true);
  // A reader notes the writer's state before it loads, to know afterwards whether what it
  // loaded is one state of the writer's (no files replaced meanwhile).
  LiveFollower probe;
  probe.attach(idx_dir);
  LiveState before;
  bool steady = read_only && probe.read(&before) && before.transition == 0;
  auto loaded = load_directory(Fd(idx_dir), read_only, recover);
  if (!loaded) return loaded.error();  // the lock goes with `dir`
  LivePublisher pub;
  if (!read_only) {
    auto p = LivePublisher::open(loaded->index->dir.get(), loaded->wal->file_len(), inode_of(loaded->wal->fd()));
    if (!p) return p.error();
    pub = std::move(*p);
  }

  std::shared_ptr<Store> s(new Store());
  s->storage_path_ = std::move(path);
  s->owner_pid_ = this_process();
  s->read_only_ = read_only;
  s->lock_fd_ = std::move(dir);
  s->index_ = std::move(loaded->index);
  s->wal_ = std::move(loaded->wal);
  if (loaded->recovery) {
    s->recovery_report_ = describe(*loaded->recovery, read_only);
    // The rebuilt state needs a snapshot of its own before anything empties the log.
    if (!read_only) KV_TRY(s->persist());
  }
  s->live_pub_ = std::move(pub);
  if (read_only) s->start_following(steady ? &before : nullptr, *loaded);
  std::lock_guard<std::recursive_mutex> g(r.mu);
  r.entries.push_back({id, this_process(), s.get(), s});
  return s;
}

// Under the registry's lock throughout: the exit hook and the fork hooks never meet a store half
// destroyed, and an open waiting for this directory proceeds once the lock is gone.
Store::~Store() {
  Registry& r = Registry::instance();
  std::lock_guard<std::recursive_mutex> g(r.mu);
  index_.reset();  // unmaps and closes the record files
  if (this_process() != owner_pid_ && wal_) wal_->abandon();  // a forked child's copy of the buffer
  if (this_process() == owner_pid_ && wal_) {
    (void)wal_->flush();  // a failure is ignored
    publish_log();
  }
  wal_.reset();
  lock_fd_ = Fd();
  r.erase(this);
}

void Store::flush_log() {
  // A forked child must not write its copy of the parent's buffer.
  if (this_process() != owner_pid_) return;
  std::unique_lock<std::shared_mutex> lk(log_lock_);
  if (wal_) (void)wal_->flush();
  publish_log();
}

bool Store::foreign() const { return this_process() != owner_pid_; }

}  // namespace korvane
