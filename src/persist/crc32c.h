// crc32c.h: CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of the snapshot's
// trailer (see snapshot.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// Continues the checksum `crc` (0 to start) over n more bytes; crc32c(0, "123456789", 9) is
// 0xE3069283. Uses the processor's crc32 instruction where it has one.
uint32_t crc32c(uint32_t crc, const void* p, size_t n);

}  // namespace korvane
