// Search results packed into one buffer, for interpreters where building each result object
// from C is costly (PyPy emulates the C API, and charges about 2 µs per result tuple made there).
// A small Python builder, compiled by that interpreter's JIT, slices the buffer into the list.
// For n results, in native byte order:
//   count    int64             n
//   offsets  int64 x (2n + 1)  in characters (code points) of the text: result i's id is
//                              text[off[2i]:off[2i+1]], its metadata text[off[2i+1]:off[2i+2]]
//   dists    float32 x n       radius and nearest-neighbour searches only
//   text     UTF-8             every id and metadata, in result order, one after the other
// A record that is not UTF-8 is packed as its fallback ("" for an id, "{}" for metadata), so
// that the text always decodes and the builder never has to fall back itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/store.h"

namespace korvane {

struct PackedResults {
  std::string buf;
  size_t n = 0;
  bool with_dist = false;
  bool ascii = true;  // the text is ASCII (offsets in characters are offsets in bytes)
};

// Characters (code points) in valid UTF-8 text.
size_t utf8_chars(const char* p, size_t len);

// Whether every byte is below 0x80.
bool is_ascii(const char* p, size_t len);

PackedResults pack_results(const SearchOut& r);

}  // namespace korvane
