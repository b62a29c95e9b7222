// find_id_collision: finds two different ids with the same 64-bit id hash (core/hash_id), for the
// tests that check ids are compared and not only hashed. Not part of the build:
//
//   g++ -O2 -std=c++20 -Isrc scripts/find_id_collision.cpp src/core/hash_id.cpp -o /tmp/fic
//   /tmp/fic [seed]
//
// The walk is x -> hash_id(hex(x)), where hex(x) is x as 16 lowercase hex digits, so a collision of
// the walk is a collision of hash_id between two 16-digit ids. Trails run from random starts until
// they reach a distinguished point (low kBits bits zero); two trails ending on one distinguished
// point merged somewhere, and walking both again from their starts, aligned by length, finds the
// step where they meet. Memory is one table entry per trail; the expected work is about 2^32
// hashes (a few minutes on one core).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>

#include "core/hash_id.h"

namespace {

constexpr int kBits = 22;
constexpr uint64_t kMask = (uint64_t{1} << kBits) - 1;
constexpr uint64_t kMaxTrail = uint64_t{40} << kBits;  // a trail caught in a cycle is dropped

std::string hex(uint64_t x) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(x));
  return std::string(buf, 16);
}

uint64_t step(uint64_t x) { return korvane::hash_id(hex(x)); }

struct Trail {
  uint64_t start, length;
};

// Walks both trails to the step where they meet; returns false when one start lies on the other
// trail (the trails are the same walk, no collision).
bool resolve(Trail a, Trail b) {
  uint64_t x = a.start, y = b.start;
  for (; a.length > b.length; --a.length) x = step(x);
  for (; b.length > a.length; --b.length) y = step(y);
  if (x == y) return false;
  for (;;) {
    uint64_t nx = step(x), ny = step(y);
    if (nx == ny) {
      std::printf("%s %s %016llx\n", hex(x).c_str(), hex(y).c_str(),
                  static_cast<unsigned long long>(nx));
      return true;
    }
    x = nx;
    y = ny;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::mt19937_64 rng(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 27);
  std::unordered_map<uint64_t, Trail> ends;
  uint64_t hashes = 0;
  for (;;) {
    Trail t{rng(), 0};
    uint64_t x = t.start;
    do {
      x = step(x);
      ++t.length;
    } while ((x & kMask) != 0 && t.length < kMaxTrail);
    hashes += t.length;
    if ((x & kMask) != 0) continue;
    auto [it, fresh] = ends.try_emplace(x, t);
    if (!fresh && resolve(it->second, t)) {
      std::fprintf(stderr, "%llu hashes, %zu trails\n", static_cast<unsigned long long>(hashes),
                   ends.size());
      return 0;
    }
    if ((ends.size() & 255) == 0)
      std::fprintf(stderr, "%zu trails, %llu hashes\n", ends.size(),
                   static_cast<unsigned long long>(hashes));
  }
}
