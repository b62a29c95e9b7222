#include "core/hash_id.h"

#include <cstring>

namespace korvane {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  // The key is all zero bits, so the state starts as the plain initialisation constants.
  uint64_t v0 = 0x736f6d6570736575ull, v1 = 0x646f72616e646f6dull;
  uint64_t v2 = 0x6c7967656e657261ull, v3 = 0x7465646279746573ull;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void compress(uint64_t m) {
    v3 ^= m;
    round();  // one compression round
    v0 ^= m;
  }
};

}  // namespace

uint64_t hash_id(std::string_view id) {
  SipState s;
  const auto* p = reinterpret_cast<const unsigned char*>(id.data());
  size_t n = id.size();
  size_t total = n + 1;  // the id, then the 0xFF terminator byte
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t m;
    std::memcpy(&m, p + i, 8);
    s.compress(m);
    i += 8;
  }
  // The remaining bytes plus 0xFF; that may fill a whole block on its own.
  unsigned char tail[16] = {};
  size_t t = n - i;
  std::memcpy(tail, p + i, t);
  tail[t++] = 0xFF;
  size_t off = 0;
  if (t == 8) {
    uint64_t m;
    std::memcpy(&m, tail, 8);
    s.compress(m);
    off = 8;
    t = 0;
  }
  uint64_t last = static_cast<uint64_t>(total & 0xFF) << 56;
  for (size_t k = 0; k < t; ++k) last |= static_cast<uint64_t>(tail[off + k]) << (8 * k);
  s.compress(last);
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace korvane
