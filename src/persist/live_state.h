// live_state.h: live.bin, the small file through which the one writer of a directory tells its
// readers (in any process) what the log holds, so that each reader call can catch up with the
// writer after a check of one word.
#pragma once

#include <cstdint>

#include "core/error.h"
#include "core/fd.h"

namespace korvane {

// What the writer published. The log is addressed by logical offsets that persists do not reset:
// byte 0 of wal.bin is logical offset `log_base`, and the records on file end at `log_len`.
struct LiveState {
  uint64_t seq = 0;         // advanced by every change of the fields below
  uint64_t epoch = 0;       // advanced when the files are replaced (vacuum) or a writer opens
  uint64_t log_base = 0;
  uint64_t log_len = 0;
  uint64_t log_ino = 0;     // the inode of wal.bin
  uint64_t transition = 0;  // 1 while a persist or vacuum replaces files
  uint64_t log_gen = 0;     // advanced each time wal.bin is replaced (inode numbers are reused)
};

// The writer's side: live.bin created and mapped to write. Every method requires the store's log
// lock (or the store to itself), so updates never interleave.
class LivePublisher {
 public:
  // Opens (creating) live.bin in `dir` and starts a new epoch: readers load the directory anew.
  static Result<LivePublisher> open(int dir, uint64_t log_len, uint64_t log_ino);
  LivePublisher() = default;
  bool valid() const { return map_.size() > 0; }
  const LiveState& state() const { return st_; }
  // The log's records on file now end at `file_len` bytes of wal.bin.
  void log_written(uint64_t file_len);
  // A persist dropped the first `dropped` bytes of the log: wal.bin (inode `ino`) now holds
  // `file_len` bytes, the records after them.
  void log_rebased(uint64_t dropped, uint64_t file_len, uint64_t ino);
  void set_transition(bool on);
  // Files were replaced (vacuum): readers load the directory anew.
  void new_epoch(uint64_t log_len, uint64_t log_ino);

 private:
  void publish();
  Mapping map_;
  Fd fd_;
  LiveState st_;
};

// The reader's side: live.bin mapped to read, if the directory has one.
class LiveFollower {
 public:
  // Maps live.bin if it exists; a directory without one has had no writer since it was made by
  // an older version, and the reader looks for it again at its next call.
  void attach(int dir);
  bool attached() const { return map_.size() > 0; }
  // The word that changes with everything: a reader compares it with the last one it saw.
  uint64_t seq() const;
  // A consistent copy of the state; false while the writer is changing it.
  bool read(LiveState* out) const;
  // Whether a writer holds the directory now (true when that cannot be told).
  bool writer_alive() const;

 private:
  Mapping map_;
  Fd fd_;
};

// Inode of an open file (0 when it cannot be read).
uint64_t inode_of(int fd);

}  // namespace korvane
