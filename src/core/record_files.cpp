// The five record files of a storage directory. All numbers little-endian; no headers, versions,
// checksums or padding.
//
// coords.bin        8-byte slot per internal id i: bytes 8i..8i+3 latitude, 8i+4..8i+7 longitude
//                   (IEEE 754 float32).
// offsets.bin       8-byte slot per id: u64 offset in ids.bin of the id's id record.
// meta_offsets.bin  8-byte slot per id: u64 offset in meta.bin of the id's metadata record.
// ids.bin           id records: u32 length L, then L bytes of the external id (UTF-8).
// meta.bin          metadata records: u32 length L, then L bytes of compact JSON (UTF-8).
//
// The slot files are sized for `capacity` slots (at least 100000, growing by 500000) and mapped
// shared and writable; slots never written read as zeros. Records follow one another in insertion
// order from byte 0; ids_file_len and meta_file_len are the logical ends, where the next record
// goes (the file may be longer: bytes written after the last snapshot are overwritten by replay).
// Records of deleted points stay until vacuum.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/coding.h"
#include "core/core_index.h"

namespace korvane {
namespace {

// How far a record's first fetch reaches: an id record is short, while a metadata record (its
// length and a compact JSON object) most often spans two or three lines, whose later lines would
// otherwise be fetched only as the record is copied, one wait later.
constexpr size_t kIdAhead = 32, kMetaAhead = 128;

// Starts fetching the lines of bytes off .. off + ahead - 1 of a mapping, as far as it reaches.
void prefetch_record(const Mapping& m, uint64_t off, size_t ahead) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(m.data());
  const uintptr_t end = base + static_cast<uintptr_t>(std::min<uint64_t>(m.size(), off + ahead));
  for (uintptr_t a = (base + off) & ~uintptr_t{63}; a < end; a += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(a));
}

// A record file that cannot be opened is an ordinary OS error (permission denied, say): nothing
// is open yet. Every later failure of a record file is Fatal.
Result<Fd> open_rw(int dir, const char* name) {
  int fd = ::openat(dir, name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Error::os(errno, std::string("open ") + name);
  return Fd(fd);
}

// Read-only: a file that does not exist reads as empty (no descriptor).
Result<Fd> open_ro(int dir, const char* name) {
  int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) return Error::os(errno, std::string("open ") + name);
  return Fd(fd);
}

Result<uint64_t> measure(const Fd& f, const char* name) {
  if (!f.valid()) return uint64_t{0};
  auto len = file_size(f.get(), name);
  if (!len) return Error::fatal_os(len.error(), std::string("cannot measure ") + name);
  return *len;
}

Result<Mapping> map_slot_file(const Fd& f, const char* name) {
  auto len = file_size(f.get(), name);
  if (!len) return Error::fatal_os(len.error(), std::string("cannot measure ") + name);
  auto m = Mapping::map(f.get(), static_cast<size_t>(*len));
  if (!m) return Error::fatal_os(m.error(), std::string("cannot map ") + name);
  m->advise_random();
  return m;
}

// A read-only store's view of a slot file: `len` bytes, the file's own first.
Result<Mapping> map_slot_private(const Fd& f, uint64_t len, const char* name) {
  auto flen = measure(f, name);
  if (!flen) return flen.error();
  auto m = Mapping::map_private(f.get(), static_cast<size_t>(*flen), static_cast<size_t>(len));
  if (!m) return Error::fatal_os(m.error(), std::string("cannot map ") + name);
  m->advise_random();
  return m;
}

Status size_slot_file(const Fd& f, uint64_t len, const char* name) {
  auto r = grow_file(f.get(), len, name);
  if (!r) return Error::fatal_os(r.error(), std::string("cannot size ") + name);
  return {};
}

// A resident view's room for at least `need` bytes, its copied bytes kept.
bool make_room(RecordView& rv, uint64_t need) {
  if (rv.view.size() >= need) return true;
  uint64_t len = need < (1u << 20) ? (1u << 20) : need + need / 2;
  auto m = Mapping::anonymous(static_cast<size_t>(len));
  if (!m) return false;
  if (rv.copied > 0) std::memcpy(m->data(), rv.view.data(), static_cast<size_t>(rv.copied));
  rv.view = std::move(*m);
  return true;
}

// A resident view holding the file's first `need` bytes at least.
bool fill_resident(RecordView& rv, int fd, uint64_t need) {
  if (rv.copied >= need) return true;
  if (!make_room(rv, need) || !pread_exact(fd, rv.view.data() + rv.copied, need - rv.copied, rv.copied))
    return false;
  rv.copied = need;
  return true;
}

// The bytes just written at `at` copied into a resident view as well (from the file where they
// do not join what it holds).
bool copy_written(RecordView& rv, int fd, uint64_t at, std::string_view bytes) {
  if (at > rv.copied) return fill_resident(rv, fd, at + bytes.size());
  if (!make_room(rv, at + bytes.size())) return false;
  std::memcpy(rv.view.data() + at, bytes.data(), bytes.size());
  rv.copied = std::max<uint64_t>(rv.copied, at + bytes.size());
  return true;
}

// A resident view that cannot be kept (no memory for it) turns back into a mapping of the file.
void drop_residence(RecordView& rv) {
  rv.resident = false;
  rv.view = Mapping();
  rv.copied = 0;
}

// Remaps a record view so that it covers at least `need` bytes, with room to grow (a resident
// view: holds them). Only with the index to itself (open, or under the index write lock): readers
// share the view and never remap it, so the record files need no lock while searches read them,
// and searches run side by side.
bool cover(RecordView& rv, int fd, uint64_t need) {
  if (rv.resident) {
    if (fill_resident(rv, fd, need)) return true;
    drop_residence(rv);
  }
  if (rv.view.size() >= need) return true;
  uint64_t len = need < (1u << 20) ? (1u << 20) : need * 2;
  auto m = Mapping::map(fd, static_cast<size_t>(len), /*read_only=*/true);
  if (!m) return false;
  rv.view = std::move(*m);
  return true;
}

// Reads the record at `off` into arena: (u32 L, L bytes), bounded by the logical end and by the
// bytes known to be on file; false when it cannot be read (or, with `validate`, is not UTF-8).
bool read_record(const RecordView& rv, uint64_t logical_end, uint64_t off, uint32_t max_len,
                 bool validate, std::string* arena, size_t* len_out) {
  if (off >= kMemRecords) {
    uint64_t at = off - kMemRecords;
    if (at >= rv.mem.size() || rv.mem.size() - at < 4) return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(rv.mem.data()) + at;
    uint32_t L = load_u32(p);
    if (L > max_len || rv.mem.size() - at - 4 < L) return false;
    if (validate && !valid_utf8(p + 4, L)) return false;
    arena->append(reinterpret_cast<const char*>(p + 4), L);
    *len_out = L;
    return true;
  }
  uint64_t end = logical_end < rv.known_len ? logical_end : rv.known_len;
  if (off >= end || end - off < 4) return false;
  if (rv.view.size() < end) return false;  // the writer could not map it
  const uint8_t* p = rv.view.data() + off;
  uint32_t L = load_u32(p);
  if (L > max_len || end - off - 4 < L) return false;
  if (validate && !valid_utf8(p + 4, L)) return false;
  arena->append(reinterpret_cast<const char*>(p + 4), L);
  *len_out = L;
  return true;
}

}  // namespace

Result<std::unique_ptr<CoreIndex>> open_record_files(Fd dir, bool read_only) {
  auto ix = std::make_unique<CoreIndex>();
  ix->dir = std::move(dir);
  ix->read_only = read_only;
  int d = ix->dir.get();
  const char* names[5] = {"coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin"};
  Fd files[5];
  for (int k = 0; k < 5; ++k) {
    auto f = read_only ? open_ro(d, names[k]) : open_rw(d, names[k]);
    if (!f) return f.error();
    files[k] = std::move(*f);
  }
  uint64_t lens[5];
  for (int k = 0; k < 5; ++k) {
    auto len = measure(files[k], names[k]);
    if (!len) return len.error();
    lens[k] = *len;
  }
  ix->capacity = lens[0] / 8 > kInitialSlots ? lens[0] / 8 : kInitialSlots;
  Mapping maps[5];
  for (int k : {0, 1, 3}) {
    if (read_only) {
      auto m = map_slot_private(files[k], 8 * ix->capacity, names[k]);
      if (!m) return m.error();
      maps[k] = std::move(*m);
    } else {
      KV_TRY(size_slot_file(files[k], 8 * ix->capacity, names[k]));
    }
  }
  if (!read_only) {
    for (int k : {0, 1, 3}) {
      auto m = map_slot_file(files[k], names[k]);
      if (!m) return m.error();
      maps[k] = std::move(*m);
    }
  }

  ix->coords_mmap = std::move(maps[0]);
  ix->coords_file = std::move(files[0]);
  ix->offsets_mmap = std::move(maps[1]);
  ix->offsets_file = std::move(files[1]);
  ix->ids_file = std::move(files[2]);
  ix->meta_offsets_mmap = std::move(maps[3]);
  ix->meta_offsets_file = std::move(files[3]);
  ix->meta_file = std::move(files[4]);
  ix->ids_file_len = lens[2];
  ix->meta_file_len = lens[4];
  ix->ids_view.known_len = lens[2];
  ix->meta_view.known_len = lens[4];
  return ix;
}

namespace {

Status grow_one(Mapping& m, const Fd& f, uint64_t len, const char* name) {
  auto s = m.sync();
  if (!s) return Error::fatal_os(s.error(), std::string("cannot flush ") + name);
  KV_TRY(size_slot_file(f, len, name));
  auto nm = map_slot_file(f, name);
  if (!nm) return nm.error();
  m = std::move(*nm);  // the old mapping is unmapped only now that the new one exists
  return {};
}

// A read-only store grows its private views in memory: a larger view of the file, with what the
// old one held (replayed slots included) copied over.
Status grow_private(Mapping& m, const Fd& f, uint64_t len, const char* name) {
  auto nm = map_slot_private(f, len, name);
  if (!nm) return nm.error();
  if (m.size() > 0) std::memcpy(nm->data(), m.data(), m.size());
  m = std::move(*nm);
  return {};
}

}  // namespace

Status ensure_capacity(CoreIndex& ix) {
  if (ix.allocated() < ix.capacity) return {};
  uint64_t c = ix.capacity + kGrowthSlots;
  if (ix.read_only) {
    KV_TRY(grow_private(ix.coords_mmap, ix.coords_file, 8 * c, "coords.bin"));
    KV_TRY(grow_private(ix.offsets_mmap, ix.offsets_file, 8 * c, "offsets.bin"));
    KV_TRY(grow_private(ix.meta_offsets_mmap, ix.meta_offsets_file, 8 * c, "meta_offsets.bin"));
    ix.capacity = c;
    return {};
  }
  KV_TRY(grow_one(ix.coords_mmap, ix.coords_file, 8 * c, "coords.bin"));
  KV_TRY(grow_one(ix.offsets_mmap, ix.offsets_file, 8 * c, "offsets.bin"));
  KV_TRY(grow_one(ix.meta_offsets_mmap, ix.meta_offsets_file, 8 * c, "meta_offsets.bin"));
  ix.capacity = c;
  return {};
}

// A record hint: the id record's offset (below 2^31) in bits 1..31, the metadata record's (below
// 2^32) in bits 32..63, and bit 0 set.
uint64_t CoreIndex::record_hint(uint32_t i) const {
  size_t at = 8 * size_t{i};
  if (at + 8 > offsets_mmap.size() || at + 8 > meta_offsets_mmap.size()) return 0;
  uint64_t id_at = load_u64(offsets_mmap.data() + at), meta_at = load_u64(meta_offsets_mmap.data() + at);
  if (id_at >= (uint64_t{1} << 31) || meta_at >= (uint64_t{1} << 32)) return 0;
  return meta_at << 32 | id_at << 1 | 1;
}

void CoreIndex::prefetch_hinted(uint64_t hint) const {
  uint64_t id_at = (hint >> 1) & 0x7fffffff, meta_at = hint >> 32;
  if (id_at < ids_view.view.size()) prefetch_record(ids_view.view, id_at, kIdAhead);
  if (meta_at < meta_view.view.size()) prefetch_record(meta_view.view, meta_at, kMetaAhead);
}

std::string CoreIndex::get_external_id(uint32_t i) {
  std::string out;
  std::vector<std::pair<size_t, size_t>> spans;
  read_ids({i}, &out, &spans);
  return out;
}

bool CoreIndex::id_record_is(uint32_t i, std::string_view id) const {
  // Like every reader of the records: under the index lock, which every writer holds exclusively.
  if (8 * (size_t{i} + 1) > offsets_mmap.size()) return true;
  uint64_t off = load_u64(offsets_mmap.data() + 8 * size_t{i});
  const RecordView& rv = ids_view;
  std::string_view rec;  // the record's bytes from its length on, as far as they are known
  if (off >= kMemRecords) {
    if (off - kMemRecords < rv.mem.size()) rec = std::string_view(rv.mem).substr(off - kMemRecords);
  } else if (rv.batching && off >= rv.pending_at && off - rv.pending_at < rv.pending.size()) {
    rec = std::string_view(rv.pending).substr(off - rv.pending_at);
  } else {
    uint64_t end = std::min(ids_file_len, rv.known_len);
    if (off < end && rv.view.size() >= end)
      rec = std::string_view(reinterpret_cast<const char*>(rv.view.data()) + off, end - off);
  }
  if (rec.size() < 4) return true;
  uint32_t len = load_u32(reinterpret_cast<const uint8_t*>(rec.data()));
  if (rec.size() - 4 < len) return true;
  return rec.substr(4, len) == id;
}

namespace {

// One record file as the batched reader sees it.
struct RecordSource {
  RecordView& rv;
  int fd;
  uint64_t logical_end;
  const Mapping& slots;
  uint32_t max_len;
  std::string_view fallback;
  std::vector<std::pair<size_t, size_t>>* spans;
  size_t ahead;
};

// Reads the records named by the slots of `ids` from every source into the arena. Results are
// scattered over the files, so each record costs two dependent cache misses (its slot, then its
// bytes). Both are fetched ahead in a pipeline over all the sources at once: slots kSlotAhead
// results ahead, records (whose offsets are then in hand) kRecordAhead ahead, so that many misses
// are in flight even for a handful of results. With `validate` false the bytes are not checked as
// UTF-8 (the caller decodes them and falls back itself).
template <size_t K>
void read_batched(RecordSource (&src)[K], const std::vector<uint32_t>& ids, bool validate, std::string* arena) {
  constexpr size_t kSlotAhead = 32, kRecordAhead = 16;
  const size_t n = ids.size();
  uint64_t ends[K];
  bool mapped[K];
  size_t nslots[K];
  uint64_t ring[K][kRecordAhead];  // offsets of results j..j+kRecordAhead-1, at j % kRecordAhead
  for (size_t f = 0; f < K; ++f) {
    RecordSource& s = src[f];
    ends[f] = s.logical_end < s.rv.known_len ? s.logical_end : s.rv.known_len;
    mapped[f] = s.rv.view.size() >= ends[f];
    nslots[f] = s.slots.size() / 8;
    s.spans->reserve(s.spans->size() + n);
  }
  auto prefetch_slot = [&](size_t j) {
    for (size_t f = 0; f < K; ++f)
      if (ids[j] < nslots[f]) __builtin_prefetch(src[f].slots.data() + 8 * size_t{ids[j]});
  };
  // Reads result j's slots (fetched earlier) and starts fetching its records.
  auto take_offsets = [&](size_t j) {
    for (size_t f = 0; f < K; ++f) {
      uint64_t off = ids[j] < nslots[f] ? load_u64(src[f].slots.data() + 8 * size_t{ids[j]}) : UINT64_MAX;
      ring[f][j % kRecordAhead] = off;
      if (mapped[f] && off < ends[f]) prefetch_record(src[f].rv.view, off, src[f].ahead);
    }
  };
  for (size_t j = 0; j < n && j < kSlotAhead; ++j) prefetch_slot(j);
  for (size_t j = 0; j < n && j < kRecordAhead; ++j) take_offsets(j);
  for (size_t j = 0; j < n; ++j) {
    if (j + kSlotAhead < n) prefetch_slot(j + kSlotAhead);
    for (size_t f = 0; f < K; ++f) {
      RecordSource& s = src[f];
      size_t start = arena->size(), len = 0;
      // A record that cannot be read (or whose slot lies beyond the file) reads as the fallback.
      uint64_t off = ring[f][j % kRecordAhead];
      if (off == UINT64_MAX || !read_record(s.rv, s.logical_end, off, s.max_len, validate, arena, &len)) {
        arena->append(s.fallback);
        len = s.fallback.size();
      }
      s.spans->emplace_back(start, len);
    }
    if (j + kRecordAhead < n) take_offsets(j + kRecordAhead);
  }
}

}  // namespace

void CoreIndex::read_ids(const std::vector<uint32_t>& ids, std::string* arena,
                         std::vector<std::pair<size_t, size_t>>* spans) {
  RecordSource src[1] = {{ids_view, ids_file.get(), ids_file_len, offsets_mmap, UINT32_MAX, "", spans, kIdAhead}};
  read_batched(src, ids, true, arena);
}

void CoreIndex::read_results(const std::vector<uint32_t>& ids, std::string* arena,
                             std::vector<std::pair<size_t, size_t>>* id_spans,
                             std::vector<std::pair<size_t, size_t>>* meta_spans) {
  RecordSource both[2] = {
      {ids_view, ids_file.get(), ids_file_len, offsets_mmap, UINT32_MAX, "", id_spans, kIdAhead},
      {meta_view, meta_file.get(), meta_file_len, meta_offsets_mmap, kMaxMetadataLen, "{}", meta_spans,
       kMetaAhead}};
  // A few results: both files at once, so that all their misses overlap. Many: one file after
  // the other, which keeps fewer fetches in flight than the memory system can take.
  if (ids.size() <= 16) {
    read_batched(both, ids, false, arena);
    return;
  }
  RecordSource a[1] = {both[0]};
  read_batched(a, ids, false, arena);
  RecordSource b[1] = {both[1]};
  read_batched(b, ids, false, arena);
}

namespace {

// Appends (u32 L, bytes) at the logical end, then records the offset in the slot.
Status append_record(const Fd& f, RecordView& rv, uint64_t* logical_len, Mapping& slots, uint32_t i,
                     std::string_view bytes, const char* name, bool read_only) {
  std::string rec(4 + bytes.size(), '\0');
  store_u32(reinterpret_cast<uint8_t*>(rec.data()), static_cast<uint32_t>(bytes.size()));
  std::memcpy(rec.data() + 4, bytes.data(), bytes.size());
  if (read_only) {
    store_u64(slots.data() + 8 * static_cast<size_t>(i), kMemRecords + rv.mem.size());
    rv.mem += rec;
    return {};
  }
  uint64_t p = *logical_len;
  if (rv.batching) {
    if (rv.pending.empty()) rv.pending_at = p;
    rv.pending += rec;
    *logical_len = p + rec.size();
    store_u64(slots.data() + 8 * static_cast<size_t>(i), p);
    return {};
  }
  auto w = pwrite_all(f.get(), rec.data(), rec.size(), p, name);
  if (!w) return Error::fatal_os(w.error(), std::string("cannot write ") + name);
  if (rv.resident && !copy_written(rv, f.get(), p, rec)) drop_residence(rv);
  *logical_len = p + rec.size();
  if (*logical_len > rv.known_len) rv.known_len = *logical_len;
  (void)cover(rv, f.get(), rv.known_len);
  store_u64(slots.data() + 8 * static_cast<size_t>(i), p);
  return {};
}

}  // namespace

Status append_id_record(CoreIndex& ix, uint32_t i, std::string_view id) {
  std::lock_guard<std::mutex> g(ix.ids_mutex);
  return append_record(ix.ids_file, ix.ids_view, &ix.ids_file_len, ix.offsets_mmap, i, id, "ids.bin",
                       ix.read_only);
}

Status append_meta_record(CoreIndex& ix, uint32_t i, std::string_view text) {
  std::lock_guard<std::mutex> g(ix.meta_mutex);
  return append_record(ix.meta_file, ix.meta_view, &ix.meta_file_len, ix.meta_offsets_mmap, i, text,
                       "meta.bin", ix.read_only);
}

void map_record_views(CoreIndex& ix) {
  (void)cover(ix.ids_view, ix.ids_file.get(), ix.ids_view.known_len);
  (void)cover(ix.meta_view, ix.meta_file.get(), ix.meta_view.known_len);
}

bool make_records_resident(CoreIndex& ix) {
  auto one = [](std::mutex& mu, const Fd& f, RecordView& rv) {
    std::lock_guard<std::mutex> g(mu);
    if (!rv.resident) {
      drop_residence(rv);  // the file's mapping goes: the copy takes its place
      rv.resident = true;
      (void)cover(rv, f.get(), rv.known_len);  // which maps the file again where it cannot be had
    }
    return rv.resident;
  };
  bool ids = one(ix.ids_mutex, ix.ids_file, ix.ids_view);
  return one(ix.meta_mutex, ix.meta_file, ix.meta_view) && ids;
}

void refresh_record_views(CoreIndex& ix) {
  auto refresh = [](std::mutex& mu, const Fd& f, RecordView& rv) {
    std::lock_guard<std::mutex> g(mu);
    struct stat st;
    if (!f.valid() || ::fstat(f.get(), &st) != 0) return;
    uint64_t len = static_cast<uint64_t>(st.st_size);
    if (len > rv.known_len && cover(rv, f.get(), len)) rv.known_len = len;
  };
  refresh(ix.ids_mutex, ix.ids_file, ix.ids_view);
  refresh(ix.meta_mutex, ix.meta_file, ix.meta_view);
}

void begin_record_batch(CoreIndex& ix) {
  ix.ids_view.batching = ix.meta_view.batching = !ix.read_only;
}

Status end_record_batch(CoreIndex& ix) {
  Status result;
  auto out = [&](std::mutex& mu, const Fd& f, RecordView& rv, const char* name) {
    std::lock_guard<std::mutex> g(mu);
    rv.batching = false;
    if (rv.pending.empty()) return;
    auto w = pwrite_all(f.get(), rv.pending.data(), rv.pending.size(), rv.pending_at, name);
    if (!w && result) result = Error::fatal_os(w.error(), std::string("cannot write ") + name);
    if (w && rv.resident && !copy_written(rv, f.get(), rv.pending_at, rv.pending)) drop_residence(rv);
    if (w && rv.pending_at + rv.pending.size() > rv.known_len) rv.known_len = rv.pending_at + rv.pending.size();
    rv.pending.clear();
    (void)cover(rv, f.get(), rv.known_len);
  };
  out(ix.ids_mutex, ix.ids_file, ix.ids_view, "ids.bin");
  out(ix.meta_mutex, ix.meta_file, ix.meta_view, "meta.bin");
  return result;
}

bool reuse_record(CoreIndex& ix, bool meta, uint32_t i, std::string_view bytes) {
  std::mutex& mu = meta ? ix.meta_mutex : ix.ids_mutex;
  std::lock_guard<std::mutex> g(mu);
  RecordView& rv = meta ? ix.meta_view : ix.ids_view;
  const Fd& f = meta ? ix.meta_file : ix.ids_file;
  const Mapping& slots = meta ? ix.meta_offsets_mmap : ix.offsets_mmap;
  uint64_t* logical_end = meta ? &ix.meta_file_len : &ix.ids_file_len;
  if (8 * (size_t{i} + 1) > slots.size()) return false;
  uint64_t off = load_u64(slots.data() + 8 * size_t{i});
  uint64_t end = rv.known_len;
  if (off >= end || end - off < 4 || end - off - 4 < bytes.size()) return false;
  if (!cover(rv, f.get(), end)) return false;
  const uint8_t* p = rv.view.data() + off;
  if (load_u32(p) != bytes.size() || std::memcmp(p + 4, bytes.data(), bytes.size()) != 0) return false;
  // Later records go after this one.
  if (off + 4 + bytes.size() > *logical_end) *logical_end = off + 4 + bytes.size();
  return true;
}

namespace {

// The end of the record furthest into the file that one of the first n slots points to, within
// the file's length (a record running past it ends the file).
uint64_t referenced_end(const Mapping& slots, uint64_t n, const Fd& f, uint64_t file_len) {
  n = std::min<uint64_t>(n, slots.size() / 8);
  uint64_t best = 0;
  bool any = false;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t off = load_u64(slots.data() + 8 * i);
    if (off < file_len && (!any || off > best)) {
      best = off;
      any = true;
    }
  }
  if (!any) return 0;
  uint8_t len[4];
  if (file_len - best < 4 || !pread_exact(f.get(), len, 4, best)) return file_len;
  uint64_t end = best + 4 + load_u32(len);
  return end > file_len ? file_len : end;
}

}  // namespace

void settle_logical_ends(CoreIndex& ix) {
  uint64_t n = ix.allocated();
  auto settle = [&](uint64_t* logical, const Mapping& slots, const Fd& f, uint64_t file_len) {
    uint64_t end = std::min(*logical, file_len);
    *logical = std::max(end, referenced_end(slots, n, f, file_len));
  };
  settle(&ix.ids_file_len, ix.offsets_mmap, ix.ids_file, ix.ids_view.known_len);
  settle(&ix.meta_file_len, ix.meta_offsets_mmap, ix.meta_file, ix.meta_view.known_len);
}

void write_coords(CoreIndex& ix, uint32_t i, float lat, float lon) {
  float ll[2] = {lat, lon};
  std::memcpy(ix.coords_mmap.data() + 8 * static_cast<size_t>(i), ll, 8);
}

}  // namespace korvane
