// open.h: opening a storage directory: record files, snapshot, replay of the log.
#pragma once

#include <memory>
#include <string>

#include "core/core_index.h"
#include "core/error.h"
#include "persist/wal.h"

namespace korvane {

struct OpenedDirectory {
  std::unique_ptr<CoreIndex> index;
  std::unique_ptr<WalWriter> wal;  // none when read-only
};

// Creates the directory and its missing parents (mode 0777 before the umask); an existing one is
// accepted.
Status make_dirs(const std::string& path);

// Loads the state of the directory `dir` names (the index keeps the descriptor): completes an
// interrupted vacuum, opens the record files, restores the snapshot when it decodes (setting a
// damaged one aside as snapshot.bin.corrupt), replays wal.bin up to the first record that does not
// decode and opens it for appending; the tail that did not decode is cut off before the first
// record is appended.
// Read-only: nothing in the directory is created, changed or set aside; a replayed insert whose
// records are not on file keeps them in memory; an interrupted vacuum is an error.
Result<OpenedDirectory> load_directory(Fd dir, bool read_only);

}  // namespace korvane
