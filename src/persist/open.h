// open.h: opening a storage directory: record files, snapshot, replay of the log.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/core_index.h"
#include "core/error.h"
#include "persist/wal.h"

namespace korvane {

struct DirId {
  uint64_t dev = 0, ino = 0;
  bool operator==(const DirId& o) const { return dev == o.dev && ino == o.ino; }
};

struct OpenedDirectory {
  std::unique_ptr<CoreIndex> index;
  std::unique_ptr<WalWriter> wal;
  DirId dir_id;
};

// Creates the directory (and its parents) when missing, opens the record files, restores the
// snapshot when it decodes (setting a damaged one aside as snapshot.bin.corrupt), replays wal.bin
// up to the first record that does not decode and opens it for appending; the tail that did not
// decode is cut off before the first record is appended. `before_replay` runs once the directory is known and before anything is read.
Result<OpenedDirectory> open_directory(const std::string& path,
                                       const std::function<void(const DirId&)>& before_replay);

}  // namespace korvane
