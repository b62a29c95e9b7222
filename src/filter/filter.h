// filter.h: the JSON filter language over the metadata indexes. Evaluation reads only the
// in-memory indexes (never a metadata record) and never fails: a malformed document matches
// nothing, or every live point under a complement.
#pragma once

#include <string>

#include "core/bitmap.h"
#include "core/core_index.h"
#include "core/json.h"

namespace korvane {

// The live ids matching the filter document; always a subset of valid_ids. With `universe`,
// the result is that set intersected with the universe, computed at a cost that follows the
// universe (a search's spatial candidates) rather than the whole index: the filter language is
// a set algebra over the live ids, and every operation commutes with the narrowing.
Bitmap evaluate_filter(const CoreIndex& ix, const Json& filter, const Bitmap* universe = nullptr);

}  // namespace korvane
