// open.h: opening a storage directory: record files, snapshot, replay of the log.
#pragma once

#include <memory>
#include <string>

#include "core/core_index.h"
#include "core/error.h"
#include "persist/wal.h"

namespace korvane {

// What an open with recovery did when the snapshot was damaged.
struct Recovery {
  std::string damage;          // what was wrong with snapshot.bin
  std::string kept_as;         // the name the damaged file is kept under ("" when read-only)
  uint64_t from_records = 0;   // points rebuilt from the record files
  uint64_t superseded = 0;     // older records of an id stored again later, kept as deleted
  uint64_t unread_slots = 0;   // slots after the last readable one that look written
  uint64_t restored = 0;       // live points once the log was replayed over them
};

struct OpenedDirectory {
  std::unique_ptr<CoreIndex> index;
  std::unique_ptr<WalWriter> wal;  // none when read-only
  std::unique_ptr<Recovery> recovery;  // set when `recover` rebuilt a damaged snapshot's state
  // The wal.bin replayed (its inode; 0 when there was none) and the bytes of it replayed.
  uint64_t wal_ino = 0, wal_good = 0;
};

// Applies one log record to the index as replay does (a reader following its writer too).
Status apply_wal_entry(CoreIndex& ix, const WalEntry& e);

// Creates the directory and its missing parents (mode 0777 before the umask); an existing one is
// accepted.
Status make_dirs(const std::string& path);

// Loads the state of the directory `dir` names (the index keeps the descriptor): completes an
// interrupted vacuum, opens the record files, restores the snapshot, replays wal.bin up to its
// torn tail (see replay_log) and opens it for appending; the tail that did not decode is cut off
// before the first record is appended.
// A snapshot that is damaged (see read_snapshot) is an error (Damaged, EIO) and nothing is
// changed, unless `recover`: then the damaged file is kept under a new name (a hard link, so
// that the next snapshot cannot replace its bytes), the points are rebuilt from the record files
// (see rebuild_from_records), the log is replayed over them, and `recovery` says what was done.
// With `recover`, a missing snapshot while ids.bin holds records is rebuilt the same way.
// The caller must persist the rebuilt state before the log is emptied, or a later open would
// have no snapshot to replay it onto.
// Read-only: nothing in the directory is created, changed or set aside (a recovery happens in
// memory only); a replayed insert whose records are not on file keeps them in memory; an
// interrupted vacuum is an error.
Result<OpenedDirectory> load_directory(Fd dir, bool read_only, bool recover = false);

}  // namespace korvane
