// snapshot.h: the whole in-memory index written to one file by persist and read back at open.
#pragma once

#include <string>

#include "core/core_index.h"
#include "core/error.h"

namespace korvane {

constexpr size_t kSnapshotBufferSize = 1048576;

using SnapshotData = IndexSets;

// Encodes fields 9 to 16 of the index into `fd` through a 1 MiB buffer. Errors: Os for the
// final write, Fatal for a write while encoding.
Status write_snapshot(const IndexSets& ix, int fd);
// Decodes one snapshot; false when the bytes do not decode or break the index's invariants.
// `max_ids` bounds the ids the directory can hold: a bitmap claiming more members than that is
// refused before it is expanded (the run form names 65536 ids in a few bytes).
bool read_snapshot(int fd, uint64_t file_len, SnapshotData* out, uint64_t max_ids = UINT64_MAX);

}  // namespace korvane
