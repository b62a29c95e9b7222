// vacuum_renumber.h: the in-memory side of vacuum. The live points are renumbered densely in
// their old order; every index is rebuilt for the new numbering; and once the compacted record
// files are in place, the open index takes them and the new indexes. The crash-safe file
// protocol around these steps is persist/vacuum.cpp's.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/core_index.h"

namespace korvane {

struct Renumbering {
  std::vector<uint32_t> live;   // the old ids, ascending: new id k was live[k]
  std::vector<uint32_t> remap;  // old id -> new id; UINT32_MAX for an id not carried over
};
Renumbering renumber_live(const CoreIndex& ix);

// The sets of the compacted state, with the record files' logical lengths ids_len and meta_len.
IndexSets renumbered_indexes(const CoreIndex& ix, const Renumbering& r, uint64_t ids_len, uint64_t meta_len);

// The compacted record files, reopened (coords.bin, offsets.bin, ids.bin, meta_offsets.bin,
// meta.bin in that order), with the slot files' mappings.
struct CompactedFiles {
  Fd files[5];
  Mapping coords, offsets, meta_offsets;
};
// The open index takes the compacted files and the sets of `nx` (renumbered_indexes).
// Requires the index write lock.
void adopt_compacted(CoreIndex& ix, CompactedFiles files, IndexSets nx);

}  // namespace korvane
