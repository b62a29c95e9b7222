// wal_values.h: the values of the log's insert records, encoded and decoded in one place (the
// format is described in wal.cpp): the kind byte of each value, metadata made ready for insertion
// (whose log part is that encoding), the pieces the writer hands to its buffer, and the decoder.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/coding.h"
#include "core/error.h"
#include "core/json.h"
#include "core/prepared_meta.h"

namespace korvane {

// The kind byte before each logged value.
enum LogKind : uint8_t {
  kLogNull = 0,
  kLogBool = 1,
  kLogU64 = 2,
  kLogI64 = 3,
  kLogF64 = 4,
  kLogStr = 5,
  kLogArr = 6,
  kLogObj = 7,
};

// Prepares the metadata text as parse_metadata, dump_compact and the log's encoding of the
// document would, with the errors of parse_metadata.
Status prepare_metadata(std::string_view text, PreparedMeta* out);

// The same from an already parsed object (the slow path, and for checking the fast one).
void prepare_from_document(const Json& meta, PreparedMeta* out);

// The end offsets of the pieces of a log part, in the order the log writer hands pieces to its
// buffer: each count, kind byte, text's bytes and number on its own (a text's count and its bytes
// are two pieces, even when it is empty).
void log_pieces(std::string_view log, std::vector<uint32_t>* ends);

// Decodes the metadata of an insert record (entry count, then key and value per entry, keys
// strictly ascending) into an object; false when the bytes do not decode.
bool read_log_object(BufReader& in, Json* out);

}  // namespace korvane
