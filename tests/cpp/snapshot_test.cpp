// The snapshot decoder: a written snapshot decodes back to the index it came from, with its
// checksum trailer or without it (files from before the trailer); bytes after it, every cut-short
// prefix and any damage to a file with a trailer fail cleanly; damage to a bare record either
// fails or gives a state that keeps the index's invariants; never a crash.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "core/cell_key.h"
#include "core/coding.h"
#include "core/core_index.h"
#include "core/json.h"
#include "persist/crc32c.h"
#include "persist/open.h"
#include "persist/snapshot.h"
#include "persist/vacuum.h"

using namespace korvane;

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/korvane-snapshot-test-XXXXXX";
    path = ::mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

// An index with text, boolean and numeric fields, deletions and `points` points spread over a
// few cells (so that some bitmaps get containers of every kind when points is large).
std::unique_ptr<CoreIndex> build(const std::string& dir, int points, unsigned seed) {
  auto opened = load_directory(Fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), false);
  EXPECT_TRUE(opened);
  auto ix = std::move(opened->index);
  std::mt19937 rnd(seed);
  for (int i = 0; i < points; ++i) {
    Json meta = Json::object();
    meta["kind"] = "k" + std::to_string(rnd() % 5);
    meta["n"] = static_cast<int64_t>(rnd() % 200) - 100;
    if (i % 3 == 0) meta["x"] = (rnd() % 1000) / 7.0;
    if (i % 4 == 0) meta["ok"] = (rnd() % 2) == 0;
    if (i % 19 == 0) meta["r"] = static_cast<int64_t>(rnd() % 50);  // a sparse column
    float lat = static_cast<float>(rnd() % 3) * 0.01f, lon = static_cast<float>(rnd() % 1000) * 0.1f;
    EXPECT_TRUE(insert_in_mem(*ix, "p" + std::to_string(i), lat, lon, meta));
  }
  for (int i = 0; i < points; i += 5) delete_in_mem(*ix, "p" + std::to_string(i));
  return ix;
}

struct SnapshotFile {
  int fd = -1;
  uint64_t len = 0;
  std::string bytes;
  ~SnapshotFile() {
    if (fd >= 0) ::close(fd);
  }
};

void write_file(const std::string& path, const CoreIndex& ix, SnapshotFile* out) {
  out->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(out->fd, 0);
  ASSERT_TRUE(write_snapshot(ix, out->fd));
  out->len = static_cast<uint64_t>(::lseek(out->fd, 0, SEEK_END));
  out->bytes.resize(out->len);
  ASSERT_EQ(::pread(out->fd, out->bytes.data(), out->len, 0), static_cast<ssize_t>(out->len));
}

bool same_bitmap(const Bitmap& a, const Bitmap& b) { return a.to_vector() == b.to_vector(); }

void expect_same_state(const CoreIndex& ix, const SnapshotData& s) {
  EXPECT_TRUE(same_bitmap(ix.valid_ids, s.valid_ids));
  EXPECT_TRUE(same_bitmap(ix.deleted, s.deleted));
  EXPECT_EQ(ix.ext_to_int, s.ext_to_int);
  EXPECT_EQ(ix.ids_file_len, s.ids_file_len);
  EXPECT_EQ(ix.meta_file_len, s.meta_file_len);
  ASSERT_EQ(ix.grid_index.size(), s.grid_index.size());
  ix.grid_index.for_each([&](uint64_t key, const Bitmap& b) {
    const Bitmap* other = s.grid_index.find(key);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(same_bitmap(b, *other));
  });
  ASSERT_EQ(ix.str_index.size(), s.str_index.size());
  for (const auto& [name, values] : ix.str_index) {
    ASSERT_EQ(s.str_index.count(name), 1u);
    const auto& other = s.str_index.at(name);
    ASSERT_EQ(values.size(), other.size());
    for (const auto& [text, b] : values) {
      ASSERT_EQ(other.count(text), 1u);
      EXPECT_TRUE(same_bitmap(b, other.at(text)));
    }
  }
  ASSERT_EQ(ix.num_index.size(), s.num_index.size());
  for (const auto& [name, bsi] : ix.num_index) {
    ASSERT_EQ(s.num_index.count(name), 1u);
    const auto& o = s.num_index.at(name);
    for (int i = 0; i < 32; ++i) EXPECT_TRUE(same_bitmap(bsi.slices[i], o.slices[i]));
    EXPECT_TRUE(same_bitmap(bsi.existence, o.existence));
    EXPECT_EQ(bsi.min_encoded, o.min_encoded);
    EXPECT_EQ(bsi.max_encoded, o.max_encoded);
    EXPECT_EQ(bsi.top_bit, o.top_bit);
    // The column rebuilt at load holds what the inserts put in it.
    uint64_t n = ix.allocated();
    for (uint32_t id = 0; id <= n; ++id) ASSERT_EQ(bsi.encoded_at(id), o.encoded_at(id)) << name << " " << id;
  }
}

// The invariants a decoded snapshot must keep, checked from the outside.
void expect_invariants(const SnapshotData& s) {
  EXPECT_FALSE(s.valid_ids.intersects(s.deleted));
  uint64_t n = s.valid_ids.cardinality() + s.deleted.cardinality();
  for (uint32_t i : s.valid_ids.to_vector()) EXPECT_LT(i, n);
  for (uint32_t i : s.deleted.to_vector()) EXPECT_LT(i, n);
  EXPECT_EQ(s.ext_to_int.size(), s.valid_ids.cardinality());
  for (const auto& [h, i] : s.ext_to_int) EXPECT_TRUE(s.valid_ids.contains(i));
  for (const auto& [name, bsi] : s.num_index) {
    EXPECT_TRUE(bsi.existence.is_subset_of(s.valid_ids));
    for (const auto& slice : bsi.slices) EXPECT_TRUE(slice.is_subset_of(bsi.existence));
  }
  s.grid_index.for_each([&](uint64_t, const Bitmap& b) {
    for (uint32_t i : b.to_vector()) EXPECT_LT(i, n);
  });
  EXPECT_TRUE(s.grid_index.check_invariants());
}

}  // namespace

TEST(Crc32c, KnownValueAndPiecewise) {
  const char* s = "123456789";
  EXPECT_EQ(crc32c(0, s, 9), 0xE3069283u);
  EXPECT_EQ(crc32c(0, "", 0), 0u);
  std::string long_text(1000, '\0');
  std::mt19937 rnd(7);
  for (char& c : long_text) c = static_cast<char>(rnd());
  uint32_t whole = crc32c(0, long_text.data(), long_text.size());
  for (size_t cut : {1u, 7u, 8u, 13u, 999u})
    EXPECT_EQ(crc32c(crc32c(0, long_text.data(), cut), long_text.data() + cut, long_text.size() - cut), whole);
}

TEST(Snapshot, EmptyIndexIs80BytesAndItsTrailerAndDecodes) {
  TempDir d;
  auto ix = build(d.path, 0, 1);
  SnapshotFile f;
  write_file(d.path + "/snap", *ix, &f);
  EXPECT_EQ(f.len, 100u);
  EXPECT_EQ(f.bytes.substr(80, 8), "kvcrc32c");
  EXPECT_EQ(load_u64(reinterpret_cast<const uint8_t*>(f.bytes.data() + 88)), 80u);
  SnapshotData s;
  EXPECT_TRUE(read_snapshot(f.fd, f.len, &s));
  expect_same_state(*ix, s);
}

TEST(Snapshot, RoundTripWithAndWithoutTrailerAndBytesAfterRefused) {
  TempDir d;
  auto ix = build(d.path, 9000, 2);  // bitset containers in valid_ids and the common values
  SnapshotFile f;
  write_file(d.path + "/snap", *ix, &f);
  SnapshotData s;
  ASSERT_TRUE(read_snapshot(f.fd, f.len, &s));
  expect_same_state(*ix, s);
  SnapshotData bare;  // the record alone, as files from before the trailer hold it
  ASSERT_TRUE(read_snapshot(f.fd, f.len - kSnapshotTrailerSize, &bare));
  expect_same_state(*ix, bare);
  ASSERT_EQ(::pwrite(f.fd, "garbage!", 8, static_cast<off_t>(f.len)), 8);
  SnapshotData t;
  auto r = read_snapshot(f.fd, f.len + 8, &t);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Damaged);
  EXPECT_EQ(r.error().errnum, EIO);
  EXPECT_EQ(r.error().path, "snapshot.bin");
  EXPECT_NE(r.error().message.find("bytes follow its record"), std::string::npos) << r.error().message;
}

// Snapshots the writer never makes, written with a good checksum: the decoder's own checks
// refuse them. An id filed under a second cell (a search would return it twice, or thousands
// of times), and a numeric field's minimum raised above a value (a comparison would skip it).
TEST(Snapshot, IdUnderTwoCellsOrBoundsInsideTheValuesRefused) {
  TempDir d;
  auto ix = build(d.path, 300, 10);
  const uint32_t live = ix->valid_ids.to_vector().back();
  auto refused = [&](const char* what) {
    SnapshotFile f;
    write_file(d.path + "/snap", *ix, &f);
    SnapshotData s;
    auto r = read_snapshot(f.fd, f.len, &s);
    EXPECT_FALSE(r) << what;
    if (!r) {
      EXPECT_NE(r.error().message.find("breaks the index's rules"), std::string::npos) << r.error().message;
    }
  };
  ix->grid_index.add_point(cell_key(80.0f, 80.0f), live, 80.0f, 80.0f);
  refused("an id in two cells");
  TempDir other;
  ix = build(other.path, 300, 10);
  NumericBsiIndex& n = ix->num_index.at("n");
  ++n.min_encoded;
  refused("a raised minimum");
  --n.min_encoded;
  --n.max_encoded;
  refused("a lowered maximum");
}

TEST(Snapshot, EveryPrefixOfASmallSnapshotFails) {
  TempDir d;
  auto ix = build(d.path, 40, 3);
  SnapshotFile f;
  write_file(d.path + "/snap", *ix, &f);
  ASSERT_GT(f.len, 1000u);
  // The reader never looks past the length it is given, so a prefix needs no file of its own.
  // The one prefix that decodes is the whole record without its trailer (a file from before).
  for (uint64_t cut = 0; cut < f.len; ++cut) {
    SnapshotData s;
    EXPECT_EQ(bool(read_snapshot(f.fd, cut, &s)), cut == f.len - kSnapshotTrailerSize) << "prefix of " << cut;
  }
}

TEST(Snapshot, SampledPrefixesOfALargeSnapshotFail) {
  TempDir d;
  auto ix = build(d.path, 9000, 4);
  SnapshotFile f;
  write_file(d.path + "/snap", *ix, &f);
  std::mt19937 rnd(4);
  for (int k = 0; k < 300; ++k) {
    uint64_t cut = k < 100 ? f.len - 1 - static_cast<uint64_t>(k) : rnd() % f.len;
    SnapshotData s;
    EXPECT_EQ(bool(read_snapshot(f.fd, cut, &s)), cut == f.len - kSnapshotTrailerSize) << "prefix of " << cut;
  }
}

// With the trailer, every change is refused; without it (files from before), damage fails or
// leaves a state that keeps the invariants.
TEST(Snapshot, RandomDamageFailsOrKeepsInvariants) {
  TempDir d;
  auto ix = build(d.path, 60, 5);
  SnapshotFile f;
  write_file(d.path + "/snap", *ix, &f);
  std::mt19937 rnd(5);
  int decoded = 0, decoded_with_trailer = 0;
  for (int k = 0; k < 6000; ++k) {
    const bool trailer = k % 2 == 0;
    const std::string good = trailer ? f.bytes : f.bytes.substr(0, f.len - kSnapshotTrailerSize);
    std::string bad = good;
    int kind = k % 3;
    if (kind == 0) {  // one flipped bit
      bad[rnd() % bad.size()] ^= static_cast<char>(1u << (rnd() % 8));
    } else if (kind == 1) {  // a count or length made huge
      size_t at = rnd() % (bad.size() - 8);
      uint64_t v = (rnd() % 2) ? ~uint64_t{0} : (uint64_t{1} << (32 + rnd() % 31));
      std::memcpy(&bad[at], &v, (rnd() % 2) ? 8 : 4);
    } else {  // a run of garbage
      size_t at = rnd() % bad.size();
      for (size_t i = at; i < bad.size() && i < at + 1 + rnd() % 32; ++i) bad[i] = static_cast<char>(rnd());
    }
    ASSERT_EQ(::pwrite(f.fd, bad.data(), bad.size(), 0), static_cast<ssize_t>(bad.size()));
    SnapshotData s;
    if (read_snapshot(f.fd, bad.size(), &s)) {
      ++(trailer ? decoded_with_trailer : decoded);
      if (trailer) {
        EXPECT_EQ(bad, good);
      }
      expect_invariants(s);
    }
  }
  // Without a checksum most damage is caught; some (a changed value text, a changed hash)
  // cannot be. With it, only writes that changed nothing decode (checked above).
  EXPECT_LT(decoded, 1500);
  EXPECT_LT(decoded_with_trailer, 300);
}

TEST(Snapshot, BitmapsClaimingMoreIdsThanTheDirectoryHoldsAreRefused) {
  TempDir d;
  auto ix = build(d.path, 100, 6);  // valid_ids and deleted hold 100 ids together
  SnapshotFile f;
  write_file(d.path + "/snap", *ix, &f);
  SnapshotData s;
  EXPECT_TRUE(read_snapshot(f.fd, f.len, &s, 100));
  SnapshotData t;
  EXPECT_FALSE(read_snapshot(f.fd, f.len, &t, 79));  // valid_ids alone has 80 members
}

// check_invariants holds through inserts, deletes and a vacuum, and fails when any one of the
// rules it checks is broken (each broken on its own, then mended or vacuumed away).
TEST(CoreIndexInvariants, HoldThroughChangesAndCatchEachBrokenRule) {
  TempDir d;
  auto ix = build(d.path, 200, 9);
  ASSERT_TRUE(ix->check_invariants());
  const uint32_t live = ix->valid_ids.to_vector().front(), n = static_cast<uint32_t>(ix->allocated());
  NumericBsiIndex& num = ix->num_index.at("n");
  const std::vector<std::pair<std::function<void()>, std::function<void()>>> breaks = {
      {[&] { ix->deleted.add(live); }, [&] { ix->deleted.remove(live); }},
      {[&] { ix->valid_ids.add(n + 1); }, [&] { ix->valid_ids.remove(n + 1); }},
      {[&] { ix->ext_to_int.emplace(12345, live); }, [&] { ix->ext_to_int.erase(12345); }},
      {[&] { num.existence.add(n); }, [&] { num.existence.remove(n); }},
      {[&] { num.slices[31].add(n); }, [&] { num.slices[31].remove(n); }},
      {[&] { ix->str_index["kind"]["k0"].add(n); }, [&] { ix->str_index["kind"]["k0"].remove(n); }},
  };
  for (size_t k = 0; k < breaks.size(); ++k) {
    breaks[k].first();
    EXPECT_FALSE(ix->check_invariants()) << k;
    breaks[k].second();
    EXPECT_TRUE(ix->check_invariants()) << k;
  }
  // A cell naming an id never allocated; the vacuum rebuilds the cells from the stored points.
  ix->grid_index.add_point(0, n, 0.0f, 0.0f);
  EXPECT_FALSE(ix->check_invariants());
  bool committed = false;
  ASSERT_TRUE(vacuum(*ix, [] { return Status(); }, &committed));
  EXPECT_TRUE(ix->check_invariants());
  EXPECT_EQ(ix->deleted.cardinality(), 0u);
}
