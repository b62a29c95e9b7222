// filter.h: the JSON filter language over the metadata indexes. Evaluation reads only the
// in-memory indexes (never a metadata record) and never fails: a malformed document matches
// nothing, or every live point under a complement.
#pragma once

#include <string>

#include "core/bitmap.h"
#include "core/core_index.h"
#include "core/json.h"

namespace korvane {

// The live ids matching the filter document; always a subset of valid_ids.
Bitmap evaluate_filter(const CoreIndex& ix, const Json& filter);
// The ids satisfying one field condition; operator objects and numeric operators stay within
// `restriction` when one is given.
Bitmap evaluate_field_condition(const CoreIndex& ix, const std::string& field, const Json& cond,
                                const Bitmap* restriction);
// Text equality for a string or boolean; the empty set for any other value.
Bitmap get_bitmap_str_eq(const CoreIndex& ix, const std::string& field, const Json& value);
Bitmap evaluate_numeric_op(const CoreIndex& ix, const std::string& field, const std::string& op,
                           const Bitmap* restriction, float value);

}  // namespace korvane
