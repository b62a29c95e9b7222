// store_follow.cpp: a read-only store following the directory's writer, in this process or
// another (live_state.h). Every call of a reader first compares one word of live.bin with the
// last it saw; only when it moved does the reader catch up:
// - the same epoch and log file: the log's new complete records are read, checked against the
//   state once more (a log emptied meanwhile is not read as records) and applied as replay
//   applies them, under the index lock; a record the writer is still writing waits;
// - a persist moved the log's start (a new wal.bin holding the records after the snapshot): the
//   reader goes on in the new file from where it was, when it had read that far;
// - a new epoch (a vacuum replaced the files, a writer opened), or a persist dropped records the
//   reader had not read: the directory is loaded anew beside the current index, which goes on
//   answering (from the old files, which its mappings keep) until the new one replaces it.
// While the writer replaces files (a persist's snapshot and log, a vacuum's files) the reader
// keeps what it has. Readers never write the directory.
#include <fcntl.h>
#include <unistd.h>

#include "lib/store.h"
#include "persist/open.h"

namespace korvane {

namespace {

// Records applied per check of the state: a log emptied in place while they were read shows as
// a changed state before any of them is applied.
constexpr size_t kApplyRun = 4096;
// How long a reader waits for a state it can catch up with (files being replaced, a state being
// changed): while the writer lives, up to 20 s (a slow disk's syncs), looking every 200
// microseconds; a writer that is gone is noticed within a few milliseconds.
constexpr int kSteadyWaits = 100000;  // tries, each after a pause
constexpr unsigned kSteadyPollUs = 200;
constexpr int kAliveEvery = 16;  // tries between two looks at whether the writer lives

// Whether two states speak of the same log file, from the same start (nothing replaced between).
bool same_log(const LiveState& a, const LiveState& b) {
  return a.epoch == b.epoch && a.log_gen == b.log_gen && a.log_base == b.log_base && a.log_ino == b.log_ino;
}

// Whether a load of the directory made between the states `before` and `after` is one state of
// the writer's: no file replaced meanwhile, and the log it replayed (inode `wal_ino`) the current.
bool loaded_steady(const LiveState& before, const LiveState& after, uint64_t wal_ino) {
  return same_log(before, after) && after.transition == 0 && after.log_ino == wal_ino;
}

}  // namespace

void Store::start_following(const LiveState* before, const OpenedDirectory& loaded) {
  live_.attach(index_->dir.get());
  LiveState after;
  if (before != nullptr && live_.read(&after) && loaded_steady(*before, after, loaded.wal_ino)) {
    follow_epoch_ = after.epoch;
    applied_ = after.log_base + loaded.wal_good;
  } else {
    follow_epoch_ = 0;  // unknown: the first call that finds a steady state loads anew
  }
}

Status Store::follow() {
  if (!live_.attached()) {
    live_.attach(index_->dir.get());  // one lookup a call while the directory has none
    if (!live_.attached()) return {};
  }
  uint64_t seq = live_.seq();
  if (seq == seen_seq_.load(std::memory_order_relaxed)) return {};
  std::lock_guard<std::mutex> g(follow_mu_);
  // Until caught up with a state of the writer's: a state being changed, files being replaced
  // or replaced under a read make it look again shortly. A writer that stopped in the middle of
  // that leaves the reader with what it has (and the next calls do not wait for it again).
  for (int k = 0; k < kSteadyWaits; ++k) {
    LiveState st;
    if (live_.read(&st)) {
      if (st.seq == stuck_seq_) return {};
      bool done = false;
      KV_TRY(catch_up(st, &done));
      if (done) return {};
    }
    if (k % kAliveEvery == kAliveEvery - 1 && !live_.writer_alive()) break;
    ::usleep(kSteadyPollUs);
  }
  stuck_seq_ = live_.seq();
  return {};
}

// Requires follow_mu_. *done: the reader holds the state `st` describes.
Status Store::catch_up(const LiveState& st, bool* done) {
  if (st.epoch == follow_epoch_ && st.log_gen != follow_gen_ && follow_wal_.valid() && applied_ < st.log_base) {
    // The writer went on in a new log (a persist, or a vacuum emptying it): the rest of the one
    // this reader holds comes first. Nothing is written to it any more, so it is read to its end.
    auto len = file_size(follow_wal_.get(), "wal.bin");
    if (!len) return {};
    bool whole = true;
    KV_TRY(apply_log(follow_base_ + *len, nullptr, &whole));
  }
  if (st.epoch != follow_epoch_ || st.log_base > applied_) {
    // The directory is loaded anew, once no files are being replaced.
    if (st.transition != 0) return {};
    return reload(st, done);
  }
  if (st.log_gen != follow_gen_ || !follow_wal_.valid()) {
    // The file is the state's log only if the state names it (by inode) and did not change
    // while it was opened (a new log may get the inode number of one gone).
    int fd = ::openat(index_->dir.get(), "wal.bin", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    Fd f(fd);
    LiveState again;
    if (!live_.read(&again) || !same_log(st, again) || inode_of(fd) != st.log_ino) return {};
    follow_gen_ = st.log_gen;
    follow_wal_ = std::move(f);
    follow_base_ = st.log_base;
  }
  bool whole = true;
  KV_TRY(apply_log(st.log_len, &st, &whole));
  // What is left (if anything) is a record still being written: the writer's next write moves
  // the state again.
  if (whole) {
    seen_seq_.store(st.seq, std::memory_order_relaxed);
    *done = true;
  }
  return {};
}

// Applies the complete records of follow_wal_ from applied_ up to logical offset `end`. With
// `st`, the state is checked after each run is read and before it is applied: a log changed
// under the read (emptied in place by a writer of an older version, say) is left for the next
// call (*whole false).
Status Store::apply_log(uint64_t end, const LiveState* st, bool* whole) {
  if (applied_ >= end) return {};
  BufReader in(follow_wal_.get(), end - follow_base_, 1 << 16, applied_ - follow_base_);
  // As replay has it: all-zero records count only once a record that is not all zeros follows
  // them (until then they may be a torn tail), and then as the one insert they all repeat.
  bool zeros = false;
  for (;;) {
    std::vector<WalEntry> run;
    uint64_t at = applied_ - follow_base_;
    for (WalEntry e; run.size() < kApplyRun && decode_wal_entry(in, &e);) {
      if (is_zero_record(e)) {
        zeros = true;
        continue;
      }
      if (zeros) {
        run.emplace_back();
        run.back().meta = Json::object();
        zeros = false;
      }
      run.push_back(std::move(e));
      at = in.position();
    }
    LiveState again;
    if (st != nullptr && (!live_.read(&again) || !same_log(*st, again))) {
      *whole = false;
      return {};
    }
    if (!run.empty()) {
      std::unique_lock<std::shared_mutex> ilk(index_lock_);
      CoreIndex& ix = *index_;
      refresh_record_views(ix);
      for (const WalEntry& e : run) KV_TRY(apply_wal_entry(ix, e));
    }
    applied_ = follow_base_ + at;
    if (run.size() < kApplyRun) return {};
  }
}

// Requires follow_mu_ and a state with no files being replaced.
Status Store::reload(const LiveState& st, bool* done) {
  int d = ::openat(index_->dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return Error::os(errno, "open directory");
  auto loaded = load_directory(Fd(d), /*read_only=*/true);
  if (!loaded) return {};  // a vacuum half done by a writer that stopped, say: keep what we have
  LiveState after;
  if (!live_.read(&after) || !loaded_steady(st, after, loaded->wal_ino))
    return {};  // files replaced while they were read: again
  {
    std::unique_lock<std::shared_mutex> ilk(index_lock_);
    index_.swap(loaded->index);
  }
  loaded->index.reset();  // the old index, its mappings and files, outside the lock
  follow_epoch_ = st.epoch;
  applied_ = st.log_base + loaded->wal_good;
  follow_wal_ = Fd();
  follow_gen_ = 0;
  // Records past what this load replayed (written since) are read next, since the state says more.
  if (applied_ >= st.log_len) {
    seen_seq_.store(st.seq, std::memory_order_relaxed);
    *done = true;
  }
  return {};
}

}  // namespace korvane
