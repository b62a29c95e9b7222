// The portable set encoding: exact bytes of small sets, round trips through every container
// kind, rejection of damaged input, and the run-container form that other writers produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/bitmap.h"
#include "core/coding.h"

using korvane::Bitmap;

namespace {

std::string encoded(const Bitmap& b) {
  std::string out;
  b.encode(&out);
  return out;
}

// The set bytes of an encoded bitmap (after its u64 byte count).
std::string body(const std::string& framed) {
  EXPECT_GE(framed.size(), 8u);
  uint64_t n = korvane::load_u64(reinterpret_cast<const uint8_t*>(framed.data()));
  EXPECT_EQ(n, framed.size() - 8);
  return framed.substr(8);
}

bool decode(const std::string& s, Bitmap* out) {
  return Bitmap::decode(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
}

Bitmap of(const std::vector<uint32_t>& v) {
  Bitmap b;
  b.add_many(v.data(), v.size());
  return b;
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) {
    if (!h.empty()) h += ' ';
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

// Little-endian byte builder for hand-made inputs.
struct Bytes {
  std::string s;
  Bytes& u16(uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); return *this; }
  Bytes& u32(uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); return *this; }
  Bytes& u8(uint8_t v) { s.push_back(static_cast<char>(v)); return *this; }
};

// A library set as ours (the library keeps ownership of nothing afterwards).
Bitmap from_library(roaring_bitmap_t* r) {
  std::vector<uint32_t> v(roaring_bitmap_get_cardinality(r));
  if (!v.empty()) roaring_bitmap_to_uint32_array(r, v.data());
  roaring_bitmap_free(r);
  return Bitmap::of_sorted(v.data(), v.size());
}

// The library's portable bytes for a set built without run containers.
std::string library_bytes(const std::vector<uint32_t>& members) {
  roaring_bitmap_t* r = roaring_bitmap_create();
  roaring_bitmap_add_many(r, members.size(), members.data());
  std::string s(roaring_bitmap_portable_size_in_bytes(r), '\0');
  roaring_bitmap_portable_serialize(r, s.data());
  roaring_bitmap_free(r);
  return s;
}

void expect_round_trip(const std::vector<uint32_t>& members) {
  Bitmap b = of(members);
  std::string framed = encoded(b);
  Bitmap back;
  ASSERT_TRUE(decode(body(framed), &back)) << members.size() << " members";
  EXPECT_TRUE(back.equals(b));
  EXPECT_EQ(back.to_vector(), b.to_vector());
  // The library reads our bytes as the same set.
  std::string raw = body(framed);
  roaring_bitmap_t* lib = roaring_bitmap_portable_deserialize_safe(raw.data(), raw.size());
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(roaring_bitmap_get_cardinality(lib), b.cardinality());
  EXPECT_EQ(roaring_bitmap_portable_deserialize_size(raw.data(), raw.size()), raw.size());
  EXPECT_TRUE(from_library(lib).equals(b));
  // Byte for byte what the library itself writes for the same set.
  EXPECT_EQ(raw, library_bytes(b.to_vector()));
}

}  // namespace

TEST(BitmapEncoding, EmptySetBytes) {
  std::string framed = encoded(Bitmap());
  EXPECT_EQ(hex(framed), "08 00 00 00 00 00 00 00 3A 30 00 00 00 00 00 00");
  Bitmap back = of({7});
  ASSERT_TRUE(decode(body(framed), &back));
  EXPECT_TRUE(back.empty());
  // A set emptied by removals encodes the same way as one never filled.
  Bitmap emptied = of({1, 70000});
  emptied.remove(1);
  emptied.remove(70000);
  EXPECT_EQ(encoded(emptied), framed);
}

TEST(BitmapEncoding, OneMemberBytes) {
  EXPECT_EQ(hex(encoded(of({0}))),
            "12 00 00 00 00 00 00 00 "
            "3A 30 00 00 01 00 00 00 00 00 00 00 10 00 00 00 00 00");
  // Upper half in the key, lower half in the data.
  EXPECT_EQ(hex(body(encoded(of({0x00030005})))),
            "3A 30 00 00 01 00 00 00 03 00 00 00 10 00 00 00 05 00");
}

TEST(BitmapEncoding, ContainerHeadersAndOffsets) {
  // Two array containers and one bitset (4097 members): keys ascending, cardinality - 1,
  // offsets counted from the cookie.
  std::vector<uint32_t> v = {1, 2, 0x10000 + 9};
  for (uint32_t x = 0; x < 4097; ++x) v.push_back(0x50000 + 2 * x);
  std::string s = body(encoded(of(v)));
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  EXPECT_EQ(korvane::load_u32(p), 12346u);
  EXPECT_EQ(korvane::load_u32(p + 4), 3u);
  EXPECT_EQ(korvane::load_u16(p + 8), 0);
  EXPECT_EQ(korvane::load_u16(p + 10), 1);
  EXPECT_EQ(korvane::load_u16(p + 12), 1);
  EXPECT_EQ(korvane::load_u16(p + 14), 0);
  EXPECT_EQ(korvane::load_u16(p + 16), 5);
  EXPECT_EQ(korvane::load_u16(p + 18), 4096);
  uint32_t first = 8 + 8 * 3;
  EXPECT_EQ(korvane::load_u32(p + 20), first);
  EXPECT_EQ(korvane::load_u32(p + 24), first + 4);
  EXPECT_EQ(korvane::load_u32(p + 28), first + 6);
  EXPECT_EQ(s.size(), first + 6 + 8192u);
  // The bitset's first word: members 0, 2, 4, ... of the container.
  EXPECT_EQ(korvane::load_u64(p + first + 6), 0x5555555555555555ull);
}

TEST(BitmapEncoding, RoundTrips) {
  expect_round_trip({});
  expect_round_trip({0});
  expect_round_trip({UINT32_MAX});
  expect_round_trip({0, 65535, 65536, 131071, UINT32_MAX - 1, UINT32_MAX});
  std::vector<uint32_t> full;  // exactly 4096: still an array
  for (uint32_t x = 0; x < 4096; ++x) full.push_back(x * 3);
  expect_round_trip(full);
  full.push_back(4096 * 3);  // 4097: a bitset
  expect_round_trip(full);
  std::vector<uint32_t> dense;  // a whole container
  for (uint32_t x = 0; x < 65536; ++x) dense.push_back(0x20000 + x);
  expect_round_trip(dense);
  std::mt19937 rng(12345);
  for (int round = 0; round < 20; ++round) {
    std::vector<uint32_t> v;
    size_t n = rng() % 20000;
    uint32_t span = round % 2 ? 1u << 18 : UINT32_MAX;
    for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint32_t>(rng()) % span);
    expect_round_trip(v);
  }
}

TEST(BitmapDecoding, RejectsEveryTruncatedPrefix) {
  std::vector<uint32_t> v = {3, 9, 70000};
  for (uint32_t x = 0; x < 5000; ++x) v.push_back(0x30000 + x * 7);
  for (const auto& set : {std::vector<uint32_t>{}, std::vector<uint32_t>{5}, v}) {
    std::string s = body(encoded(of(set)));
    for (size_t len = 0; len < s.size(); ++len) {
      Bitmap out;
      EXPECT_FALSE(decode(s.substr(0, len), &out)) << "prefix " << len << " of " << s.size();
    }
    Bitmap out;
    EXPECT_FALSE(decode(s + std::string(1, '\0'), &out)) << "one byte too many";
  }
}

TEST(BitmapDecoding, RejectsMutatedHeaders) {
  std::string good = body(encoded(of({1, 2, 70000, 140000})));
  Bitmap out;
  ASSERT_TRUE(decode(good, &out));
  auto mutated = [&](size_t at, uint32_t value, int width) {
    std::string s = good;
    std::memcpy(s.data() + at, &value, width);
    Bitmap b;
    return decode(s, &b);
  };
  EXPECT_FALSE(mutated(0, 12345, 4));     // unknown cookie
  EXPECT_FALSE(mutated(4, 4, 4));         // more containers than present
  EXPECT_FALSE(mutated(4, 2, 4));         // fewer containers than present
  EXPECT_FALSE(mutated(4, 70000, 4));     // impossible container count
  EXPECT_FALSE(mutated(12, 0, 2));        // keys not ascending (0, 0, 2)
  EXPECT_FALSE(mutated(12, 2, 2));        // repeated key (0, 2, 2)
  EXPECT_FALSE(mutated(10, 2, 2));        // claims three members where two are stored
  EXPECT_FALSE(mutated(10, 0, 2));        // claims one member where two are stored
  EXPECT_FALSE(mutated(20, 8 + 24 + 1, 4));  // wrong first offset
  EXPECT_FALSE(mutated(24, 0, 4));        // wrong second offset
  EXPECT_FALSE(mutated(34, 1, 2));        // members not ascending (1, 1)
  EXPECT_FALSE(mutated(32, 3, 2));        // members not ascending (3, 2)
  // An array container cannot claim more than 4096 members: read as a bitset it is too short.
  EXPECT_FALSE(mutated(10, 5000, 2));
}

TEST(BitmapDecoding, RejectsBitsetWithWrongCardinality) {
  std::vector<uint32_t> v;
  for (uint32_t x = 0; x < 5000; ++x) v.push_back(x);
  std::string s = body(encoded(of(v)));
  ASSERT_EQ(korvane::load_u16(reinterpret_cast<const uint8_t*>(s.data()) + 10), 4999);
  uint16_t wrong = 5000;
  std::memcpy(s.data() + 10, &wrong, 2);
  Bitmap out;
  EXPECT_FALSE(decode(s, &out));
}

TEST(BitmapDecoding, RunContainersHandMade) {
  // Two containers, no offsets (fewer than four containers): key 0 a run container holding
  // 10..14 and 100..100, key 1 an array container holding 65536 + 7.
  Bytes b;
  b.u32(12347 | (1u << 16));  // cookie, container count - 1
  b.u8(0x01);                 // container 0 is a run container
  b.u16(0).u16(5);            // key 0, 6 members
  b.u16(1).u16(0);            // key 1, 1 member
  b.u16(2).u16(10).u16(4).u16(100).u16(0);  // 2 runs: (10, length 5), (100, length 1)
  b.u16(7);
  Bitmap out;
  ASSERT_TRUE(decode(b.s, &out));
  EXPECT_EQ(out.to_vector(), (std::vector<uint32_t>{10, 11, 12, 13, 14, 100, 65543}));
  for (size_t len = 0; len < b.s.size(); ++len) {
    Bitmap t;
    EXPECT_FALSE(decode(b.s.substr(0, len), &t)) << len;
  }
  // Runs that overlap, run past 65535, or disagree with the stated cardinality.
  auto with_runs = [](std::vector<uint16_t> runs, uint16_t card_minus_1) {
    Bytes r;
    r.u32(12347).u8(0x01).u16(0).u16(card_minus_1).u16(static_cast<uint16_t>(runs.size() / 2));
    for (uint16_t x : runs) r.u16(x);
    Bitmap t;
    return decode(r.s, &t);
  };
  EXPECT_TRUE(with_runs({0, 65535}, 65535));
  EXPECT_TRUE(with_runs({5, 0, 7, 1}, 2));
  EXPECT_FALSE(with_runs({5, 3, 7, 1}, 5));   // overlapping runs
  EXPECT_FALSE(with_runs({7, 1, 5, 0}, 2));   // runs out of order
  EXPECT_FALSE(with_runs({65535, 1}, 1));     // past the container's end
  EXPECT_FALSE(with_runs({5, 0, 7, 1}, 3));   // cardinality says 4, runs hold 3
}

TEST(BitmapDecoding, RunFormWithOffsetsFromTheLibrary) {
  // Four or more containers in the run form carry offsets; the library writes this form for a
  // run-optimised set.
  roaring_bitmap_t* r = roaring_bitmap_create();
  for (uint32_t k = 0; k < 5; ++k) roaring_bitmap_add_range(r, k * 65536 + 100, k * 65536 + 3000);
  roaring_bitmap_add(r, 5 * 65536 + 1);
  for (uint32_t x = 0; x < 6000; ++x) roaring_bitmap_add(r, 6 * 65536 + 2 * x);
  ASSERT_TRUE(roaring_bitmap_run_optimize(r));
  std::string s(roaring_bitmap_portable_size_in_bytes(r), '\0');
  roaring_bitmap_portable_serialize(r, s.data());
  ASSERT_EQ(korvane::load_u32(reinterpret_cast<const uint8_t*>(s.data())) & 0xFFFF, 12347u);
  Bitmap expected = from_library(r);
  Bitmap out;
  ASSERT_TRUE(decode(s, &out));
  EXPECT_TRUE(out.equals(expected));
  // And re-encoding gives the plain form, which the library reads back as the same set.
  std::string again = body(encoded(out));
  EXPECT_EQ(korvane::load_u32(reinterpret_cast<const uint8_t*>(again.data())), 12346u);
  Bitmap lib = from_library(roaring_bitmap_portable_deserialize_safe(again.data(), again.size()));
  EXPECT_TRUE(lib.equals(expected));
}

// The members of a decodable set as PortableBits reads them, block by block.
std::vector<uint32_t> members_by_blocks(const std::string& s) {
  korvane::PortableBits bits(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  std::vector<uint32_t> out;
  std::vector<uint64_t> words(1024);
  for (uint32_t key = 0; key < 65536; key += 1 + key % 3) {  // some blocks are never asked for
    if (!bits.block(key, words.data())) continue;
    for (uint32_t w = 0; w < 1024; ++w)
      for (uint32_t j = 0; j < 64; ++j)
        if ((words[w] >> j) & 1) out.push_back(key << 16 | (64 * w + j));
  }
  return out;
}

TEST(PortableBits, BlocksHoldTheDecodedMembersInEveryForm) {
  std::mt19937 rnd(9);
  for (bool runs : {false, true}) {
    for (int containers : {1, 3, 4, 12}) {
      roaring_bitmap_t* r = roaring_bitmap_create();
      for (int c = 0; c < containers; ++c) {
        uint32_t key = static_cast<uint32_t>(c * 7 + rnd() % 5);
        int kind = (c + (runs ? 1 : 0)) % 3;
        uint32_t count = kind == 0 ? 1 + rnd() % 50 : kind == 1 ? 5000 + rnd() % 20000 : 60000;
        for (uint32_t k = 0; k < count; ++k)
          roaring_bitmap_add(r, key << 16 | (kind == 2 ? k : static_cast<uint32_t>(rnd() % 65536)));
      }
      if (runs) roaring_bitmap_run_optimize(r);
      std::string s(roaring_bitmap_portable_size_in_bytes(r), '\0');
      roaring_bitmap_portable_serialize(r, s.data());
      Bitmap out;
      ASSERT_TRUE(decode(s, &out));
      std::vector<uint32_t> want = from_library(r).to_vector();
      // Only the blocks asked for (keys 0, 1, 3, 4, 6, 7, 9, ...) can come back.
      want.erase(std::remove_if(want.begin(), want.end(), [](uint32_t x) { return (x >> 16) % 3 == 2; }), want.end());
      EXPECT_EQ(members_by_blocks(s), want) << containers << " containers, runs " << runs;
    }
  }
}

TEST(BitmapEncoding, EveryWayOfBuildingASetEncodesAlike) {
  // Sets built member by member, in bulk, from a sorted array, or shrunk by removals encode to
  // the same bytes whatever form they are held in.
  std::mt19937 rng(99);
  for (size_t n : {1, 2, 3, 15, 16, 17, 40, 4096, 4097}) {
    std::vector<uint32_t> v;
    while (v.size() < n) {
      uint32_t x = static_cast<uint32_t>(rng()) % (n < 100 ? 200000u : 70000u);
      if (std::find(v.begin(), v.end(), x) == v.end()) v.push_back(x);
    }
    std::vector<uint32_t> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    std::string want = library_bytes(sorted);
    Bitmap one_by_one;
    for (uint32_t x : v) one_by_one.add(x);
    Bitmap bulk;
    bulk.add_many(v.data(), v.size());
    Bitmap from_sorted = Bitmap::of_sorted(sorted.data(), sorted.size());
    Bitmap shrunk = Bitmap::of_sorted(sorted.data(), sorted.size());
    for (uint32_t x = 0; x < 300; ++x) shrunk.add(300000 + x);
    for (uint32_t x = 0; x < 300; ++x) shrunk.remove(300000 + x);
    for (const Bitmap* b : {&one_by_one, &bulk, &from_sorted, &shrunk}) {
      EXPECT_EQ(b->cardinality(), n);
      EXPECT_EQ(b->to_vector(), sorted);
      EXPECT_EQ(body(encoded(*b)), want) << n << " members";
    }
    Bitmap copy = one_by_one.clone();
    copy.compact();
    EXPECT_EQ(body(encoded(copy)), want);
  }
}

// Every operation gives the same set whichever form its operands are held in: each random set is
// taken both as built (an array when sparse enough) and as a library set holding the same
// members (filled past any array and emptied again), and each result is checked against sorted
// vectors.
TEST(BitmapForms, OperationsAgreeAcrossFormsAndWithPlainVectors) {
  std::mt19937 rng(2024);
  auto random_set = [&] {
    size_t n = rng() % 3 == 0 ? rng() % 20 : rng() % 1500;
    uint32_t span = rng() % 2 ? 1u << 26 : 1u << 17;  // sparse over many blocks, or dense
    std::vector<uint32_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint32_t>(rng()) % span);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
  };
  auto as_library = [](const std::vector<uint32_t>& v) {
    Bitmap b = Bitmap::of_sorted(v.data(), v.size());
    for (uint32_t x = 0; x < 5000; ++x) b.add(0xF0000000u + x);
    for (uint32_t x = 0; x < 5000; ++x) b.remove(0xF0000000u + x);
    return b;
  };
  using V = std::vector<uint32_t>;
  auto op = [](auto f, const V& a, const V& b) {
    V out;
    f(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
  };
  for (int round = 0; round < 150; ++round) {
    V va = random_set(), vb = random_set();
    if (round % 5 == 0) vb = op([](auto... x) { return std::set_union(x...); }, vb, V(va.begin(), va.begin() + va.size() / 2));
    V both = op([](auto... x) { return std::set_intersection(x...); }, va, vb);
    V either = op([](auto... x) { return std::set_union(x...); }, va, vb);
    V only_a = op([](auto... x) { return std::set_difference(x...); }, va, vb);
    for (int forms = 0; forms < 4; ++forms) {
      Bitmap a = forms & 1 ? as_library(va) : Bitmap::of_sorted(va.data(), va.size());
      Bitmap b = forms & 2 ? as_library(vb) : Bitmap::of_sorted(vb.data(), vb.size());
      SCOPED_TRACE(testing::Message() << "round " << round << " forms " << forms << " sizes " << va.size() << " " << vb.size());
      EXPECT_EQ(Bitmap::and_of(a, b).to_vector(), both);
      EXPECT_EQ(Bitmap::andnot_of(a, b).to_vector(), only_a);
      EXPECT_EQ(Bitmap::or_many({&a, &b}).to_vector(), either);
      EXPECT_EQ(a.intersects(b), !both.empty());
      EXPECT_EQ(b.is_subset_of(a), both.size() == vb.size());
      EXPECT_EQ(a.equals(b), va == vb);
      EXPECT_EQ(a.cardinality(), va.size());
      EXPECT_EQ(a.maximum(), va.empty() ? 0 : va.back());
      EXPECT_EQ(encoded(a), encoded(Bitmap::of_sorted(va.data(), va.size())));
      Bitmap c = a.clone(), d = a.clone(), e = a.clone();
      c.and_with(b);
      d.or_with(b);
      e.andnot_with(b);
      EXPECT_EQ(c.to_vector(), both);
      EXPECT_EQ(d.to_vector(), either);
      EXPECT_EQ(e.to_vector(), only_a);
      // Members of b added one by one, then a's removed: growth and shrinking in place.
      for (uint32_t x : vb) EXPECT_EQ(a.add_checked(x), !std::binary_search(va.begin(), va.end(), x));
      EXPECT_EQ(a.to_vector(), either);
      for (uint32_t x : va) a.remove(x);
      a.compact();
      EXPECT_EQ(a.to_vector(), op([](auto... x) { return std::set_difference(x...); }, vb, va));
      for (uint32_t x : vb) EXPECT_EQ(a.contains(x), !std::binary_search(va.begin(), va.end(), x));
    }
  }
}
