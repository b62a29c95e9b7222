// json.h: the one JSON reader of the system (metadata and filter texts) and compact writer.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"

namespace korvane {

// Objects keep their keys in ascending byte order; a repeated key keeps its last value.
using Json = nlohmann::json;

// Nesting deeper than this many arrays and objects is refused.
constexpr int kMaxJsonDepth = 127;

// Parses exactly one JSON value surrounded by optional white space. Numbers become unsigned or
// signed 64-bit integers where they fit, else doubles; the literal -0 is the double -0.0.
// On failure the Error (kind InvalidJson) holds a description ending " at line L column C".
Result<Json> parse_json(std::string_view text);

// Parses metadata: as parse_json, and the value must be an object.
Result<Json> parse_metadata(std::string_view text);

// Compact text: no white space, keys in the object's (ascending) order.
std::string dump_compact(const Json& v);

}  // namespace korvane
