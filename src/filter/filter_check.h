// filter_check.h: the strict reading of a filter document. The filter language never fails: a
// part of the wrong shape is ignored, or matches nothing, or matches every live point. An object
// opened with strict_filters refuses such a document instead, before anything is evaluated.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "core/error.h"
#include "core/json.h"

namespace korvane {

// Accepts exactly the documents built of these shapes (everything else is refused):
//   filter     an object that is either {"$and": [filter, ...]}, {"$or": [filter, ...]} or
//              {"$not": filter}, each alone in its object, or whose keys are all field names
//              (not beginning with "$"), each holding a condition;
//   condition  a string, number or boolean, or a non-empty object of operators;
//   operator   "$eq" or "$ne" with a string, number or boolean; "$gt", "$gte", "$lt" or "$lte"
//              with a number; "$in" or "$nin" with an array of conditions.
// A refusal is an InvalidValue error, "filter refused at POINTER: WHAT", POINTER being the JSON
// Pointer of the offending part (with " at POINTER" left out when it is the whole document). An
// accepted document evaluates as any other: the check only reads it.
Status check_filter(const Json& filter);

// A filter text parsed (InvalidJson on a syntax error) and, when `strict`, checked.
Result<Json> parse_filter(std::string_view text, bool strict);

// The same, shared with the searches of this thread that gave the same text lately: programs
// ask with a few filter texts over and over, and parsing one costs more than a small search.
// Only documents that parse (and pass the check, when strict) are kept, so a fault is reported
// every time.
Result<std::shared_ptr<const Json>> parse_filter_shared(std::string_view text, bool strict);
// The same for an optional filter: none when there is no text.
Result<std::shared_ptr<const Json>> parse_filter_shared(const std::optional<std::string_view>& text, bool strict);

}  // namespace korvane
