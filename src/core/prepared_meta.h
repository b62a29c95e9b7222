// prepared_meta.h: a point's metadata made ready for insertion in one pass over its text: the
// compact text stored in meta.bin, the metadata part of its log record, and the top-level fields
// the indexes take, without building a document. The pass that makes it belongs to the log's
// encoding of values (persist/wal_values.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json.h"

namespace korvane {

struct PreparedMeta {
  // One top-level field that an index takes: a string or a boolean (its value "true" or
  // "false") for the string index, a number (as the float the numeric index keeps) for it.
  struct Field {
    enum Kind : uint8_t { Str, Num };
    Kind kind;
    float num;
    uint32_t key_at, key_len;  // in `bytes`
    uint32_t val_at, val_len;  // Str: in `bytes`
  };
  // The compact text, then the log part (u64 entry count, then each key and value as the log
  // encodes them), then the decoded keys and string values the fields name.
  std::string bytes;
  uint32_t text_len = 0, log_len = 0;
  std::vector<Field> fields;  // in key order, each key once

  std::string_view text() const { return {bytes.data(), text_len}; }
  std::string_view log() const { return {bytes.data() + text_len, log_len}; }
  std::string_view key(const Field& f) const { return {bytes.data() + f.key_at, f.key_len}; }
  std::string_view value(const Field& f) const { return {bytes.data() + f.val_at, f.val_len}; }
};

}  // namespace korvane
