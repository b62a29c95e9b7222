// snapshot.bin: one SnapshotData record, then a checksum trailer. No header, magic or version.
// Little-endian fixed-width integers, no padding.
//   text   := u64 byte count, UTF-8 bytes
//   map    := u64 entry count, then key and value per entry (in hash-table order, grid order for
//             grid_index: readers must not depend on it)
//   bitmap := u64 byte count, then the set in the portable form without run containers
//             (described in core/bitmap.cpp); an empty set is 3A 30 00 00 00 00 00 00
// Fields in order:
//   1 str_index    map: field name (text) -> map: value text (text) -> bitmap
//   2 num_index    map: field name (text) -> 32 slice bitmaps, existence bitmap,
//                  u32 min_encoded, u32 max_encoded, u8 top_bit
//   3 grid_index   map: u64 cell key -> bitmap
//   4 valid_ids    bitmap
//   5 deleted      bitmap
//   6 ext_to_int   map: u64 hash of the external id -> u32 internal id
//   7 ids_file_len u64
//   8 meta_file_len u64
// Trailer, right after the eighth field (20 bytes):
//   8 bytes "kvcrc32c", u64 byte length L of the record, u32 CRC-32C of the record's L bytes
//   (persist/crc32c.h).
// The snapshot of an empty index is 80 bytes of record and 100 with its trailer.
//
// Reading: a file that ends in a trailer whose length is the bytes before it is checked against
// its checksum before anything is decoded. A file without one (written before the trailer, or
// whose trailer was cut off whole) is decoded as a bare record. Either way the record must decode,
// keep the index's rules and fill the bytes before the trailer exactly: anything else is damage,
// reported as an error that names the file (open never turns a damaged snapshot into a smaller
// index). Checked whole on decoding: ext_to_int against valid_ids, the rules of
// index_sets_consistent (every allocated id in exactly one grid cell among them), each numeric
// field's recorded bounds around its values, and the values a file of this length can hold.
// A file whose numeric fields hold more than 8 values per byte of the file is refused: the
// writer never produces one (see values_fit).
// The slot-file capacity is not stored: opening recomputes it from coords.bin.
#include "persist/snapshot.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <future>
#include <thread>
#include <vector>

#include "core/coding.h"
#include "persist/crc32c.h"

namespace korvane {
namespace {

// The snapshot's pieces gather in a scratch string (bitmaps and numeric fields encode straight
// into it) that is handed to the file's buffer 64 KiB at a time.
class Encoder : public LittleEndian<Encoder> {
 public:
  explicit Encoder(int fd) : w_(fd, kSnapshotBufferSize) {}
  void put(const void* p, size_t n) { scratch_.append(static_cast<const char*>(p), n); }
  Status flush_part() {
    if (scratch_.size() < 65536) return {};
    return hand_over();
  }
  Status hand_over() {
    crc_ = crc32c(crc_, scratch_.data(), scratch_.size());
    len_ += scratch_.size();
    auto s = w_.put(scratch_.data(), scratch_.size());
    scratch_.clear();
    if (!s) return Error::fatal_os(s.error(), "cannot write snapshot.bin.tmp");
    return {};
  }
  // The record's last bytes, then its trailer.
  Status finish() {
    KV_TRY(hand_over());
    char trailer[kSnapshotTrailerSize];
    std::memcpy(trailer, kSnapshotMarker, 8);
    store_u64(reinterpret_cast<uint8_t*>(trailer + 8), len_);
    store_u32(reinterpret_cast<uint8_t*>(trailer + 16), crc_);
    auto s = w_.put(trailer, sizeof trailer);
    if (!s) return Error::fatal_os(s.error(), "cannot write snapshot.bin.tmp");
    return w_.flush();  // an Os error: the final write of the buffer
  }
  std::string& out() { return scratch_; }

 private:
  BufWriter w_;
  std::string scratch_;
  uint32_t crc_ = 0;
  uint64_t len_ = 0;
};

// The snapshot as one read-only mapping: its bytes are decoded where they lie.
class MappedReader {
 public:
  static constexpr bool kTakenBytesLast = true;  // until the mapping goes
  MappedReader(const uint8_t* p, uint64_t n) : p_(p), n_(n) {}
  // The next k bytes, or null when fewer remain.
  const uint8_t* take(uint64_t k) {
    if (k > remaining()) return nullptr;
    const uint8_t* q = p_ + pos_;
    pos_ += k;
    return q;
  }
  bool read(void* dst, size_t k) {
    const uint8_t* q = take(k);
    if (q != nullptr) std::memcpy(dst, q, k);
    return q != nullptr;
  }
  bool u8(uint8_t* v) { return read(v, 1); }
  bool u32(uint32_t* v) { return read(v, 4); }
  bool u64(uint64_t* v) { return read(v, 8); }
  bool text(std::string* s) {
    uint64_t k;
    const uint8_t* q;
    if (!u64(&k) || (q = take(k)) == nullptr) return false;
    s->assign(reinterpret_cast<const char*>(q), static_cast<size_t>(k));
    return valid_utf8(q, static_cast<size_t>(k));
  }
  uint64_t remaining() const { return n_ - pos_; }

 private:
  const uint8_t* p_;
  uint64_t n_, pos_ = 0;
};

// The same through read calls, when the file cannot be mapped: taken bytes are copied into a
// buffer that lasts until the next take.
class CopyingReader : public BufReader {
 public:
  static constexpr bool kTakenBytesLast = false;
  CopyingReader(int fd, uint64_t n) : BufReader(fd, n, 1 << 20) {}
  const uint8_t* take(uint64_t k) {
    if (k > remaining()) return nullptr;
    buf_.resize(static_cast<size_t>(k));
    return read(buf_.data(), buf_.size()) ? buf_.data() : nullptr;
  }

 private:
  std::vector<uint8_t> buf_;
};

template <class Reader>
bool read_count(Reader& in, uint64_t min_entry, uint64_t* n) {
  if (!in.u64(n)) return false;
  return *n <= in.remaining() / min_entry;
}

// `bits`, when given, reads the set's bytes afterwards (for readers whose bytes last).
template <class Reader>
bool read_bitmap(Reader& in, Bitmap* out, uint64_t max_ids, PortableBits* bits = nullptr) {
  uint64_t n;
  const uint8_t* p;
  if (!in.u64(&n) || (p = in.take(n)) == nullptr) return false;
  // Every member is an allocated id, below max_ids; a set claiming more is damaged, and
  // expanding it could take gigabytes.
  if (Bitmap::claimed_members(p, static_cast<size_t>(n)) > max_ids) return false;
  if (!Bitmap::decode(p, static_cast<size_t>(n), out)) return false;
  if (bits != nullptr) *bits = PortableBits(p, static_cast<size_t>(n));
  return true;
}

// A field's sets as bits, for its column (see NumericBsiIndex::rebuild_column).
struct FieldBits {
  PortableBits existence;
  std::array<PortableBits, 32> slices;
};

template <class Reader>
bool read_bsi(Reader& in, NumericBsiIndex* out, uint64_t max_ids, FieldBits* bits) {
  for (int i = 0; i < 32; ++i)
    if (!read_bitmap(in, &out->slices[i], max_ids, bits ? &bits->slices[i] : nullptr)) return false;
  if (!read_bitmap(in, &out->existence, max_ids, bits ? &bits->existence : nullptr)) return false;
  return in.u32(&out->min_encoded) && in.u32(&out->max_encoded) && in.u8(&out->top_bit);
}

}  // namespace

Status write_snapshot(const IndexSets& ix, int fd) {
  Encoder e(fd);
  e.u64(ix.str_index.size());
  for (const auto& [name, values] : ix.str_index) {
    e.text(name);
    e.u64(values.size());
    for (const auto& [text, b] : values) {
      e.text(text);
      b.encode(&e.out());
      KV_TRY(e.flush_part());
    }
  }
  e.u64(ix.num_index.size());
  for (const auto& [name, bsi] : ix.num_index) {
    e.text(name);
    bsi.encode(&e.out());
    KV_TRY(e.flush_part());
  }
  e.u64(ix.grid_index.size());
  Status written;
  ix.grid_index.for_each([&](uint64_t key, const Bitmap& b) {
    if (!written) return;
    e.u64(key);
    b.encode(&e.out());
    written = e.flush_part();
  });
  KV_TRY(written);
  ix.valid_ids.encode(&e.out());
  ix.deleted.encode(&e.out());
  e.u64(ix.ext_to_int.size());
  for (const auto& [h, i] : ix.ext_to_int) {
    e.u64(h);
    e.u32(i);
    if (e.out().size() >= 65536) KV_TRY(e.flush_part());
  }
  e.u64(ix.ids_file_len);
  e.u64(ix.meta_file_len);
  return e.finish();
}

namespace {

// Decodes the n entries of ext_to_int, checking them on the way against valid_ids (decoded
// before them, and read as bits from `valid_bits` when given): one entry per live point, no two
// naming the same one.
template <class Reader>
bool read_ext_to_int(Reader& in, uint64_t n, SnapshotData* s, PortableBits* valid_bits) {
  if (n != s->valid_ids.cardinality()) return false;
  s->ext_to_int.reserve(static_cast<size_t>(n));
  // The live ids as plain bits, each cleared by the entry that names it: an entry naming an id
  // that is not live, or was named before, finds its bit clear. When the bits would take more
  // than a word per entry (ids far above the count), the sets themselves are asked instead.
  std::vector<uint64_t> live;
  Bitmap named;
  bool as_bits = n > 0 && s->valid_ids.maximum() / 64 <= n;
  if (as_bits && valid_bits != nullptr) {
    // Whole blocks of 65536 ids, copied from the set's bytes.
    uint32_t last = s->valid_ids.maximum() >> 16;
    live.assign((size_t{last} + 1) * 1024, 0);
    for (uint32_t key = 0; key <= last; ++key) valid_bits->block(key, &live[size_t{key} * 1024]);
  } else if (as_bits) {
    live.assign(s->valid_ids.maximum() / 64 + 1, 0);
    s->valid_ids.for_each([&](uint32_t i) { live[i / 64] |= uint64_t{1} << (i % 64); });
  }
  const uint8_t* p = in.take(12 * n);
  if (p == nullptr) return false;
  for (uint64_t j = 0; j < n; ++j) {
    uint32_t i = load_u32(p + 12 * j + 8);
    if (as_bits) {
      uint64_t bit = uint64_t{1} << (i % 64);
      if (i / 64 >= live.size() || (live[i / 64] & bit) == 0) return false;
      live[i / 64] &= ~bit;
    } else if (!s->valid_ids.contains(i) || !named.add_checked(i)) {
      return false;
    }
  }
  // The table places a key by the low bits of its hash above the seven it keeps beside the
  // slot. Inserted in file order, every entry would land on a random page of a table of hundreds
  // of megabytes; grouped first by the top twelve of those bits, they fill one stretch of the
  // table (under a tenth of a megabyte at ten million entries, within the processor's cache)
  // after the other.
  const uint64_t mask = s->ext_to_int.bucket_count();
  const int shift = std::max(0, 64 - __builtin_clzll(mask | 1) - 12);
  auto group_of = [&](uint64_t key) { return static_cast<size_t>(((absl::Hash<uint64_t>{}(key) >> 7) & mask) >> shift); };
  std::vector<uint32_t> starts(4097, 0);
  for (uint64_t j = 0; j < n; ++j) ++starts[group_of(load_u64(p + 12 * j)) + 1];
  for (size_t g = 1; g <= 4096; ++g) starts[g] += starts[g - 1];
  struct Entry {
    uint64_t key;
    uint32_t id;
  };
  std::vector<Entry, LargePageAllocator<Entry>> order(static_cast<size_t>(n));  // each written once, below
  for (uint64_t j = 0; j < n; ++j) {
    uint64_t key = load_u64(p + 12 * j);
    order[starts[group_of(key)]++] = {key, load_u32(p + 12 * j + 8)};
  }
  constexpr size_t kAhead = 8;  // each place is fetched a few entries ahead
  for (size_t j = 0; j < order.size() && j < kAhead; ++j) s->ext_to_int.prefetch(order[j].key);
  for (size_t j = 0; j < order.size(); ++j) {
    if (j + kAhead < order.size()) s->ext_to_int.prefetch(order[j + kAhead].key);
    if (!s->ext_to_int.try_emplace(order[j].key, order[j].id).second) return false;
  }
  return true;
}

// The snapshot's sections, each read from where the one before it ends. Smallest encodings: a
// text is 8 bytes, a framed bitmap 16, a numeric index 33 * 16 + 9.
template <class Reader>
bool read_str_index(Reader& in, SnapshotData* s, uint64_t max_ids) {
  uint64_t n;
  if (!read_count(in, 16, &n)) return false;
  for (uint64_t k = 0; k < n; ++k) {
    std::string name;
    uint64_t m;
    if (!in.text(&name) || !read_count(in, 24, &m)) return false;
    auto [it, fresh] = s->str_index.try_emplace(std::move(name));
    if (!fresh) return false;
    it->second.reserve(static_cast<size_t>(m));
    for (uint64_t j = 0; j < m; ++j) {
      std::string text;
      Bitmap b;
      if (!in.text(&text) || !read_bitmap(in, &b, max_ids)) return false;
      if (!it->second.try_emplace(std::move(text), std::move(b)).second) return false;
    }
  }
  return true;
}

// `bits` receives each field's sets as bits when the reader's bytes last.
template <class Reader>
bool read_num_index(Reader& in, SnapshotData* s, uint64_t max_ids,
                    std::vector<std::pair<NumericBsiIndex*, FieldBits>>* bits) {
  uint64_t n;
  if (!read_count(in, 8 + 33 * 16 + 9, &n)) return false;
  // Sized for all its fields first, so that the pointers kept to them stay valid.
  s->num_index.reserve(static_cast<size_t>(n));
  for (uint64_t k = 0; k < n; ++k) {
    std::string name;
    if (!in.text(&name)) return false;
    auto [it, fresh] = s->num_index.try_emplace(std::move(name));
    if (!fresh) return false;
    FieldBits* b = nullptr;
    if constexpr (Reader::kTakenBytesLast) b = &bits->emplace_back(&it->second, FieldBits{}).second;
    if (!read_bsi(in, &it->second, max_ids, b)) return false;
  }
  return true;
}

template <class Reader>
bool read_grid(Reader& in, SnapshotData* s, uint64_t max_ids) {
  uint64_t n;
  if (!read_count(in, 24, &n)) return false;
  std::vector<std::pair<uint64_t, Bitmap>> cells;
  cells.reserve(static_cast<size_t>(n));
  for (uint64_t k = 0; k < n; ++k) {
    uint64_t key;
    Bitmap b;
    if (!in.u64(&key) || !read_bitmap(in, &b, max_ids)) return false;
    cells.emplace_back(key, std::move(b));
  }
  return GridIndex::of_cells(cells, &s->grid_index);
}

// valid_ids, deleted, ext_to_int and the two file lengths.
template <class Reader>
bool read_tail(Reader& in, SnapshotData* s, uint64_t max_ids) {
  uint64_t n;
  PortableBits valid_bits;
  PortableBits* bits = Reader::kTakenBytesLast ? &valid_bits : nullptr;
  if (!read_bitmap(in, &s->valid_ids, max_ids, bits) || !read_bitmap(in, &s->deleted, max_ids)) return false;
  if (!read_count(in, 12, &n)) return false;
  if (!read_ext_to_int(in, n, s, bits)) return false;
  return in.u64(&s->ids_file_len) && in.u64(&s->meta_file_len);
}

// Passes over the first two sections as their readers would, reading only counts and lengths:
// where the grid begins, found without decoding what comes before it.
bool skip_to_grid(MappedReader& in);
bool skip_to_tail(MappedReader& in) {
  uint64_t n, len;
  if (!skip_to_grid(in) || !read_count(in, 24, &n)) return false;
  for (uint64_t k = 0; k < n; ++k)
    if (in.take(8) == nullptr || !in.u64(&len) || in.take(len) == nullptr) return false;
  return true;
}
bool skip_to_grid(MappedReader& in) {
  auto skip = [&](uint64_t* len) { return in.u64(len) && in.take(*len) != nullptr; };
  uint64_t n, m, len;
  if (!read_count(in, 16, &n)) return false;
  for (uint64_t k = 0; k < n; ++k) {
    if (!skip(&len) || !read_count(in, 24, &m)) return false;
    for (uint64_t j = 0; j < m; ++j)
      if (!skip(&len) || !skip(&len)) return false;
  }
  if (!read_count(in, 8 + 33 * 16 + 9, &n)) return false;
  for (uint64_t k = 0; k < n; ++k) {
    if (!skip(&len)) return false;
    for (int i = 0; i < 33; ++i)
      if (!skip(&len)) return false;
    if (in.take(9) == nullptr) return false;
  }
  return true;
}

// Each numeric value is given a column entry. The writer spends at least one bit of the field's
// existence set on every value (a full container holds 65536 ids in 8192 bytes), so its files
// hold at most 8 values per byte; the run form can name thousands of fields times thousands of
// points in a few bytes each, and a file claiming more is not one it wrote.
bool values_fit(const NumIndex& num_index, uint64_t file_len) {
  uint64_t values = 0;
  for (const auto& [name, bsi] : num_index) values += bsi.existence.cardinality();
  return values / 8 <= file_len;
}

constexpr const char* kUndecodable = "its bytes do not decode as a snapshot";
constexpr const char* kRulesBroken = "what it holds breaks the index's rules";
constexpr const char* kBytesAfter = "bytes follow its record where only the checksum trailer may";

// Each numeric field's recorded bounds hold all its values (deletions leave them wider, never
// narrower: a comparison past a bound answers without looking at the sets).
bool bounds_hold(const NumIndex& num_index) {
  for (const auto& [name, bsi] : num_index)
    if (!bsi.bounds_cover_values()) return false;
  return true;
}

// Read through calls: one section after the other. Returns null, or what is wrong.
const char* decode_snapshot(CopyingReader& in, uint64_t file_len, SnapshotData* s, uint64_t max_ids) {
  if (!read_str_index(in, s, max_ids) || !read_num_index(in, s, max_ids, nullptr) ||
      !read_grid(in, s, max_ids) || !read_tail(in, s, max_ids))
    return kUndecodable;
  if (!index_sets_consistent(*s) || !values_fit(s->num_index, file_len)) return kRulesBroken;
  for (auto& [name, bsi] : s->num_index) bsi.rebuild_column();
  if (!bounds_hold(s->num_index)) return kRulesBroken;
  return in.remaining() == 0 ? nullptr : kBytesAfter;
}

// Mapped: the tail (ext_to_int the largest part of it) is decoded on a second thread while this
// one decodes the text and numeric sets and the grid; then each thread builds numeric columns,
// field by field, until none is left. The two write different members of `s`.
const char* decode_snapshot(MappedReader& in, uint64_t file_len, SnapshotData* s, uint64_t max_ids) {
  MappedReader tail_in = in;
  bool tail_ok = false;
  std::exception_ptr tail_error;
  std::vector<std::pair<NumericBsiIndex*, FieldBits>> field_bits;
  std::promise<bool> fields_read;
  std::future<bool> fields = fields_read.get_future();
  std::atomic<size_t> next_field{0};
  auto build_columns = [&] {
    for (size_t k; (k = next_field.fetch_add(1)) < field_bits.size();)
      field_bits[k].first->rebuild_column(field_bits[k].second.existence, field_bits[k].second.slices);
  };
  std::thread tail([&] {
    try {
      tail_ok = skip_to_tail(tail_in);
      tail_ok = tail_ok && read_tail(tail_in, s, max_ids);
      if (fields.get()) build_columns();
    } catch (...) {
      tail_error = std::current_exception();
    }
  });
  // The tail thread waits for the fields: whatever ends this thread early (an exception while
  // decoding or building) first answers it, then joins it.
  struct Joiner {
    std::thread& t;
    std::promise<bool>& answer;
    bool answered = false;
    void answer_with(bool ok) {
      answered = true;
      answer.set_value(ok);
    }
    ~Joiner() {
      if (!answered) answer.set_value(false);
      if (t.joinable()) t.join();
    }
  } joiner{tail, fields_read};
  bool ok = read_str_index(in, s, max_ids);
  ok = ok && read_num_index(in, s, max_ids, &field_bits) && values_fit(s->num_index, file_len);
  joiner.answer_with(ok);
  ok = ok && read_grid(in, s, max_ids);
  if (ok) build_columns();
  tail.join();
  if (tail_error) std::rethrow_exception(tail_error);
  if (!ok || !tail_ok) return kUndecodable;
  // ext_to_int was checked against valid_ids as it was decoded (read_ext_to_int).
  if (!index_sets_consistent(*s) || !bounds_hold(s->num_index)) return kRulesBroken;
  return tail_in.remaining() == 0 ? nullptr : kBytesAfter;
}

// The CRC-32C of the first n bytes of the file, read through calls.
Result<uint32_t> checksum_of(int fd, uint64_t n) {
  std::vector<char> buf(1 << 20);
  uint32_t crc = 0;
  for (uint64_t at = 0; at < n;) {
    size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), n - at));
    if (!pread_exact(fd, buf.data(), k, at)) return Error::os(errno ? errno : EIO, "read snapshot.bin");
    crc = crc32c(crc, buf.data(), k);
    at += k;
  }
  return crc;
}

}  // namespace

Error snapshot_damaged(const std::string& what) {
  return Error::damaged("snapshot.bin", "snapshot.bin is damaged: " + what +
                                            "; nothing was changed. Korvane(path, recover=True) rebuilds the "
                                            "store from the record files and the log, keeping the damaged "
                                            "file aside");
}

Status read_snapshot(int fd, uint64_t file_len, SnapshotData* s, uint64_t max_ids) {
  // A trailer whose length is the bytes before it: the record is those bytes, and must match
  // the checksum before anything is decoded.
  uint64_t record_len = file_len;
  bool trailer = false;
  uint32_t want_crc = 0;
  if (file_len >= kSnapshotTrailerSize) {
    uint8_t t[kSnapshotTrailerSize];
    if (!pread_exact(fd, t, sizeof t, file_len - sizeof t)) return Error::os(errno ? errno : EIO, "read snapshot.bin");
    if (std::memcmp(t, kSnapshotMarker, 8) == 0) {
      uint64_t n = load_u64(t + 8);
      if (n != file_len - sizeof t)
        return snapshot_damaged("its trailer gives the record " + std::to_string(n) + " bytes, but " +
                                std::to_string(file_len - sizeof t) + " precede it");
      record_len = n;
      trailer = true;
      want_crc = load_u32(t + 16);
    }
  }
  // Mapped, and decoded where its bytes lie, when the file holds all of them; a shorter file is
  // read through calls, and fails where its bytes end.
  struct stat st;
  const char* wrong;
  if (record_len > 0 && ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= file_len) {
    auto m = Mapping::map(fd, static_cast<size_t>(record_len), /*read_only=*/true);
    if (m) {
      if (trailer && crc32c(0, m->data(), record_len) != want_crc)
        return snapshot_damaged("its bytes do not match their checksum");
      MappedReader in(m->data(), record_len);
      wrong = decode_snapshot(in, record_len, s, max_ids);
      if (wrong != nullptr) return snapshot_damaged(wrong);
      return {};
    }
  }
  if (trailer) {
    auto crc = checksum_of(fd, record_len);
    if (!crc) return crc.error();
    if (*crc != want_crc) return snapshot_damaged("its bytes do not match their checksum");
  }
  CopyingReader in(fd, record_len);
  wrong = decode_snapshot(in, record_len, s, max_ids);
  if (wrong != nullptr) return snapshot_damaged(wrong);
  return {};
}

}  // namespace korvane
