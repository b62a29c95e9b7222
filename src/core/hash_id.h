// hash_id.h: the 64-bit key under which the index knows an external id. It reaches the snapshot
// (as the key of ext_to_int), so it is part of the file format.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvane {

// SipHash-1-3 with an all-zero key over the id's UTF-8 bytes followed by one byte 0xFF.
uint64_t hash_id(std::string_view id);

}  // namespace korvane
