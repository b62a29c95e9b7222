// snapshot.h: the whole in-memory index written to one file by persist and read back at open.
#pragma once

#include <string>

#include "core/core_index.h"
#include "core/error.h"

namespace korvane {

constexpr size_t kSnapshotBufferSize = 1048576;
// The trailer after the record: this marker, the record's length (u64), its CRC-32C (u32).
constexpr char kSnapshotMarker[9] = "kvcrc32c";
constexpr size_t kSnapshotTrailerSize = 20;

using SnapshotData = IndexSets;

// Encodes fields 9 to 16 of the index into `fd` through a 1 MiB buffer, then the trailer.
// Errors: Os for the final write, Fatal for a write while encoding.
Status write_snapshot(const IndexSets& ix, int fd);
// Decodes one snapshot of `file_len` bytes. Damaged (errno EIO, naming snapshot.bin and what is
// wrong) when its checksum does not match, or the bytes do not decode, break the index's
// invariants or run on past the record; an Os error when the file cannot be read.
// `max_ids` bounds the ids the directory can hold: a bitmap claiming more members than that is
// refused before it is expanded (the run form names 65536 ids in a few bytes).
Status read_snapshot(int fd, uint64_t file_len, SnapshotData* out, uint64_t max_ids = UINT64_MAX);

// The message of a damaged snapshot: what is wrong, and the way to recover.
Error snapshot_damaged(const std::string& what);

}  // namespace korvane
