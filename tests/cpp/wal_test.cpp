// The log writer and decoder: the fixed bytes of the smallest records, exact round trips of every
// metadata kind, a cut-short last record, the 8192-byte buffer, emptying, and damaged input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/coding.h"
#include "core/json.h"
#include "persist/wal.h"

using namespace korvane;

namespace {

struct TempLog {
  std::string dir, path;
  TempLog() {
    char t[] = "/tmp/korvane-wal-test-XXXXXX";
    dir = ::mkdtemp(t);
    path = dir + "/wal.bin";
  }
  ~TempLog() { std::filesystem::remove_all(dir); }
  std::unique_ptr<WalWriter> writer() {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    EXPECT_GE(fd, 0);
    return std::make_unique<WalWriter>(Fd(fd), size());
  }
  uint64_t size() const {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
  }
  std::string bytes() const {
    std::string out(size(), '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    ::close(fd);
    return out;
  }
};

// Decodes records from the first `len` bytes of the file until one does not decode.
std::vector<WalEntry> decode_all(const std::string& path, uint64_t len, uint64_t* good = nullptr) {
  int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  BufReader in(fd, len);
  std::vector<WalEntry> out;
  uint64_t end = 0;
  for (;;) {
    WalEntry e;
    if (!decode_wal_entry(in, &e)) break;
    out.push_back(std::move(e));
    end = in.position();
  }
  ::close(fd);
  if (good) *good = end;
  return out;
}

// Equality that tells the number kinds apart and compares floats by their bits (-0.0 != 0.0).
bool exactly(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::number_float: {
      double x = a.get<double>(), y = b.get<double>();
      return std::memcmp(&x, &y, 8) == 0;
    }
    case Json::value_t::array:
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!exactly(a[i], b[i])) return false;
      return true;
    case Json::value_t::object: {
      if (a.size() != b.size()) return false;
      auto i = a.begin();
      auto j = b.begin();
      for (; i != a.end(); ++i, ++j)
        if (i.key() != j.key() || !exactly(i.value(), j.value())) return false;
      return true;
    }
    default:
      return a == b;
  }
}

Json parse(const char* text) {
  auto r = parse_metadata(text);
  EXPECT_TRUE(r) << text;
  return r ? *r : Json::object();
}

std::string name(int i) {
  std::string s = "p";
  s += std::to_string(i);
  return s;
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

}  // namespace

TEST(Wal, SmallestRecordsHaveFixedBytes) {
  TempLog log;
  {
    auto w = log.writer();
    ASSERT_TRUE(w->append_delete("ab"));
    ASSERT_TRUE(w->append_insert("a", 1.0f, 2.0f, Json::object()));
  }
  EXPECT_EQ(hex(log.bytes()),
            "01000000" "0200000000000000" "6162"
            "00000000" "0100000000000000" "61" "0000803f" "00000040" "0000000000000000");
}

TEST(Wal, EveryMetadataKindRoundTrips) {
  std::vector<Json> metas = {
      Json::object(),
      parse(R"({"null": null, "t": true, "f": false, "": "empty key"})"),
      parse(R"({"u": 18446744073709551615, "i": -9223372036854775808, "neg": -1, "zero": 0})"),
      parse(R"({"negzero": -0, "negzero2": -0.0, "big": 1e308, "tiny": 5e-324, "frac": 0.1, "huge": 1e19})"),
      parse(R"({"s": "quote \" backslash \\ nul \u0000 \u00e9 \u2603 \ud83d\ude00", "k\u00e9y": "v"})"),
      parse(R"({"arr": [1, -2, 2.5, "x", null, true, [[]], {"a": {"b": [{}]}}], "obj": {"z": 1, "a": [0]}})"),
  };
  std::string deep = "{\"d\":" + std::string(126, '[') + std::string(126, ']') + "}";
  metas.push_back(parse(deep.c_str()));
  TempLog log;
  {
    auto w = log.writer();
    for (size_t i = 0; i < metas.size(); ++i) {
      ASSERT_TRUE(w->append_insert("id" + std::to_string(i), 0.5f * i, -1.25f * i, metas[i]));
      ASSERT_TRUE(w->append_delete("gone" + std::to_string(i)));
    }
  }
  uint64_t good = 0;
  auto got = decode_all(log.path, log.size(), &good);
  EXPECT_EQ(good, log.size());
  ASSERT_EQ(got.size(), 2 * metas.size());
  for (size_t i = 0; i < metas.size(); ++i) {
    const WalEntry& ins = got[2 * i];
    EXPECT_EQ(ins.kind, WalEntry::Kind::Insert);
    EXPECT_EQ(ins.id, "id" + std::to_string(i));
    EXPECT_EQ(ins.lat, 0.5f * i);
    EXPECT_EQ(ins.lon, -1.25f * i);
    EXPECT_TRUE(exactly(ins.meta, metas[i])) << dump_compact(ins.meta) << " vs " << dump_compact(metas[i]);
    EXPECT_EQ(dump_compact(ins.meta), dump_compact(metas[i]));
    EXPECT_EQ(got[2 * i + 1].kind, WalEntry::Kind::Delete);
    EXPECT_EQ(got[2 * i + 1].id, "gone" + std::to_string(i));
  }
}

TEST(Wal, CutShortLastRecordIsNotApplied) {
  TempLog log;
  {
    auto w = log.writer();
    ASSERT_TRUE(w->append_insert("a", 1, 2, parse(R"({"k": "v", "n": [1, 2, {"x": null}]})")));
    ASSERT_TRUE(w->append_delete("a"));
  }
  uint64_t whole = log.size();
  {
    auto w = log.writer();
    ASSERT_TRUE(w->append_insert("last", 3, 4, parse(R"({"s": "text", "b": true, "f": 2.5, "o": {"p": -3}})")));
  }
  uint64_t full = log.size();
  ASSERT_EQ(decode_all(log.path, full).size(), 3u);
  for (uint64_t cut = whole; cut < full; ++cut) {
    uint64_t good = 0;
    auto got = decode_all(log.path, cut, &good);
    ASSERT_EQ(got.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(good, whole);
  }
}

TEST(Wal, BufferHoldsSmallRecordsAndPassesLargePieces) {
  TempLog log;
  auto w = log.writer();
  ASSERT_TRUE(w->append_delete("x"));
  EXPECT_EQ(log.size(), 0u);  // still in the buffer
  // Records up to the buffer's size stay buffered; the piece that does not fit writes it out.
  std::string id(3000, 'i');
  ASSERT_TRUE(w->append_delete(id));
  ASSERT_TRUE(w->append_delete(id));
  EXPECT_EQ(log.size(), 0u);
  ASSERT_TRUE(w->append_delete(id));
  EXPECT_EQ(log.size(), 13u + 2 * 3012u + 4 + 8);  // the third record's id waits in the buffer
  // A piece at least as large as the buffer goes straight to the file after what was buffered.
  std::string big(9000, 'b');
  uint64_t before = log.size();
  ASSERT_TRUE(w->append_delete(big));
  EXPECT_EQ(log.size(), before + 3000 + 12 + 9000);
  ASSERT_TRUE(w->flush());
  auto got = decode_all(log.path, log.size());
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[4].id, big);
  // Emptying drops both the file's records and the buffered ones.
  ASSERT_TRUE(w->append_delete("buffered"));
  ASSERT_TRUE(w->empty());
  ASSERT_TRUE(w->flush());
  EXPECT_EQ(log.size(), 0u);
  ASSERT_TRUE(w->append_delete("after"));
  ASSERT_TRUE(w->flush());
  got = decode_all(log.path, log.size());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, "after");
}

TEST(Wal, DamagedInputStopsCleanly) {
  TempLog log;
  {
    auto w = log.writer();
    std::mt19937 rnd(9);
    for (int i = 0; i < 40; ++i) {
      Json meta = parse(R"({"k": "v", "n": 5, "f": -0.5, "a": [1, "two", {"three": [null, false]}]})");
      meta["i"] = i;
      ASSERT_TRUE(w->append_insert(name(i), 1, 2, meta));
      if (i % 3 == 0) {
        ASSERT_TRUE(w->append_delete(name(static_cast<int>(rnd() % 40))));
      }
    }
  }
  const std::string orig = log.bytes();
  // Where each original record ends.
  std::vector<WalEntry> want;
  std::vector<uint64_t> ends;
  {
    int fd = ::open(log.path.c_str(), O_RDONLY);
    BufReader in(fd, orig.size());
    for (WalEntry e; decode_wal_entry(in, &e); e = WalEntry()) {
      want.push_back(e);
      ends.push_back(in.position());
    }
    ::close(fd);
  }
  ASSERT_EQ(ends.back(), orig.size());
  std::mt19937 rnd(10);
  for (int k = 0; k < 3000; ++k) {
    std::string bad = orig;
    size_t at;
    if (k % 2 == 0) {
      at = rnd() % bad.size();
      bad[at] ^= static_cast<char>(1u << (rnd() % 8));
    } else {
      at = rnd() % (bad.size() - 8);
      uint64_t v = (rnd() % 2) ? ~uint64_t{0} : (uint64_t{1} << (20 + rnd() % 43));
      std::memcpy(&bad[at], &v, 8);
    }
    // Same length as the original: overwrite in place.
    int fd = ::open(log.path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, bad.data(), bad.size(), 0), static_cast<ssize_t>(bad.size()));
    ::close(fd);
    uint64_t good = 0;
    auto got = decode_all(log.path, bad.size(), &good);
    EXPECT_LE(good, bad.size());
    // Every record before the damage comes back unchanged.
    size_t intact = 0;
    while (intact < ends.size() && ends[intact] <= at) ++intact;
    ASSERT_GE(got.size(), intact);
    for (size_t i = 0; i < intact; ++i) {
      EXPECT_EQ(got[i].id, want[i].id);
      EXPECT_EQ(dump_compact(got[i].meta), dump_compact(want[i].meta));
    }
    for (const auto& e : got) {
      if (e.kind == WalEntry::Kind::Insert) {
        EXPECT_TRUE(e.meta.is_object());
      }
    }
  }
}

TEST(Wal, SignedNonNegativeIntegerStaysDecodable) {
  // The parser never makes one, but a value built in code can be a signed 5.
  Json meta = Json::object();
  meta["s"] = int64_t{5};
  meta["m"] = int64_t{-5};
  TempLog log;
  {
    auto w = log.writer();
    ASSERT_TRUE(w->append_insert("a", 0, 0, meta));
    ASSERT_TRUE(w->append_delete("a"));
  }
  auto got = decode_all(log.path, log.size());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(dump_compact(got[0].meta), "{\"m\":-5,\"s\":5}");
}

TEST(Wal, TornTailIsCutBeforeTheFirstRecordOnly) {
  TempLog log;
  {
    auto w = log.writer();
    ASSERT_TRUE(w->append_delete("whole"));
  }
  const uint64_t whole = log.size();
  {
    int fd = ::open(log.path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(::write(fd, "\x01\x00\x00", 3), 3);  // the start of a record
    ::close(fd);
  }
  {
    // Nothing is cut while nothing is written.
    auto w = log.writer();
    w->cut_tail_before_first_write(whole + 3, whole);
    ASSERT_TRUE(w->flush());
  }
  EXPECT_EQ(log.size(), whole + 3);
  {
    auto w = log.writer();
    w->cut_tail_before_first_write(whole + 3, whole);
    ASSERT_TRUE(w->append_delete("next"));
  }
  auto got = decode_all(log.path, log.size());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].id, "next");
  // When the file has grown since the open, another writer owns the tail: it stays.
  const uint64_t now = log.size();
  {
    auto w = log.writer();
    w->cut_tail_before_first_write(now - 2, now - 5);
    ASSERT_TRUE(w->append_delete("third"));
  }
  got = decode_all(log.path, log.size());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].id, "third");
}
