// store_persist.cpp: persist, which writes a snapshot of the whole index and drops the log
// records it covers. The order of the steps keeps the directory openable after a stop anywhere:
// the record files and the log are forced to stable storage first, then the snapshot is written
// to snapshot.bin.tmp, forced, renamed over snapshot.bin and the directory forced, and only then
// are the covered log records dropped.
#include <fcntl.h>
#include <unistd.h>

#include "lib/store.h"
#include "persist/snapshot.h"

namespace korvane {

Status Store::persist() {
  KV_TRY(writable());
  std::lock_guard<std::mutex> pg(persist_mutex_);
  CoreIndex& ix = *index_;
  int dir = ix.dir.get();
  uint64_t covered = 0;  // the bytes of the log whose records the snapshot holds
  {
    // Changes wait while the snapshot is taken; searches go on.
    std::shared_lock<std::shared_mutex> lk(index_lock_);
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
    {
      // Every record the snapshot contains must be whole on file, and durable, before the
      // snapshot replaces the old one: a stop between the rename and the emptying of the log
      // replays the log over the new snapshot, and replaying only part of it is not harmless
      // (an insert whose later delete sat in the buffer would bring a deleted point back).
      std::unique_lock<std::shared_mutex> llk(log_lock_);
      auto f = wal_->flush();
      if (!f) return Error::os(f.error(), "write wal.bin");
      KV_TRY(wal_->sync());
      covered = wal_->file_len();
    }
    int fd = ::openat(dir, "snapshot.bin.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Error::os(errno, "create snapshot.bin.tmp");
    Fd tmp(fd);
    KV_TRY(write_snapshot(ix, fd));
    // On stable storage before it replaces the old snapshot, which the log is about to stop
    // complementing.
    if (::fsync(fd) != 0) return Error::os(errno, "sync snapshot.bin.tmp");
  }
  {
    // Readers load nothing anew from here until the log that goes with the new snapshot is in
    // place (they would replay the covered records over it).
    std::unique_lock<std::shared_mutex> llk(log_lock_);
    live_pub_.set_transition(true);
  }
  // However persist ends, readers are told where the log now stands.
  struct Settled {
    Store& s;
    ~Settled() {
      std::unique_lock<std::shared_mutex> llk(s.log_lock_);
      s.live_pub_.set_transition(false);
    }
  } settled{*this};
  if (::renameat(dir, "snapshot.bin.tmp", dir, "snapshot.bin") != 0) return Error::os(errno, "rename");
  if (::fsync(dir) != 0) return Error::os(errno, "sync directory");
  // Records logged since the snapshot was taken stay in the log.
  std::unique_lock<std::shared_mutex> llk(log_lock_);
  uint64_t had = wal_->file_len();
  Status dropped = wal_->drop_covered(dir, covered);
  if (dropped) live_pub_.log_rebased(had - wal_->file_len(), wal_->file_len(), inode_of(wal_->fd()));
  return dropped;
}

}  // namespace korvane
