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

#include <cerrno>

#include "core/coding.h"
#include "core/core_index.h"

namespace korvane {
namespace {

Result<Fd> open_rw(int dir, const char* name) {
  int fd = ::openat(dir, name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Error::fatal_os(errno, std::string("cannot open ") + name);
  return Fd(fd);
}

Result<Mapping> map_slot_file(const Fd& f, const char* name) {
  auto len = file_size(f.get(), name);
  if (!len) return Error::fatal_os(len.error().errnum, std::string("cannot measure ") + name);
  auto m = Mapping::map(f.get(), static_cast<size_t>(*len));
  if (!m) return Error::fatal_os(m.error().errnum, std::string("cannot map ") + name);
  m->advise_random();
  return m;
}

Status size_slot_file(const Fd& f, uint64_t len, const char* name) {
  auto r = grow_file(f.get(), len, name);
  if (!r) return Error::fatal_os(r.error().errnum, std::string("cannot size ") + name);
  return {};
}

// Remaps a record view so that it covers at least `need` bytes, with room to grow.
bool cover(RecordView& rv, int fd, uint64_t need) {
  if (rv.view.size() >= need) return true;
  uint64_t len = need < (1u << 20) ? (1u << 20) : need * 2;
  auto m = Mapping::map(fd, static_cast<size_t>(len), /*read_only=*/true);
  if (!m) return false;
  rv.view = std::move(*m);
  return true;
}

// Reads the record at `off` into arena: (u32 L, L bytes), bounded by the logical end and by the
// bytes known to be on file; false when it cannot be read (or, with `validate`, is not UTF-8).
bool read_record(RecordView& rv, int fd, uint64_t logical_end, uint64_t off, uint32_t max_len,
                 bool validate, std::string* arena, size_t* len_out) {
  uint64_t end = logical_end < rv.known_len ? logical_end : rv.known_len;
  if (off >= end || end - off < 4) return false;
  if (!cover(rv, fd, end)) return false;
  const uint8_t* p = rv.view.data() + off;
  uint32_t L = load_u32(p);
  if (L > max_len || end - off - 4 < L) return false;
  if (validate && !valid_utf8(p + 4, L)) return false;
  arena->append(reinterpret_cast<const char*>(p + 4), L);
  *len_out = L;
  return true;
}

}  // namespace

Result<std::unique_ptr<CoreIndex>> open_record_files(Fd dir) {
  auto ix = std::make_unique<CoreIndex>();
  ix->dir = std::move(dir);
  int d = ix->dir.get();
  auto coords = open_rw(d, "coords.bin");
  if (!coords) return coords.error();
  auto offsets = open_rw(d, "offsets.bin");
  if (!offsets) return offsets.error();
  auto ids = open_rw(d, "ids.bin");
  if (!ids) return ids.error();
  auto meta_offsets = open_rw(d, "meta_offsets.bin");
  if (!meta_offsets) return meta_offsets.error();
  auto meta = open_rw(d, "meta.bin");
  if (!meta) return meta.error();

  uint64_t lens[5];
  const Fd* files[5] = {&*coords, &*offsets, &*ids, &*meta_offsets, &*meta};
  const char* names[5] = {"coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin"};
  for (int k = 0; k < 5; ++k) {
    auto len = file_size(files[k]->get(), names[k]);
    if (!len) return Error::fatal_os(len.error().errnum, std::string("cannot measure ") + names[k]);
    lens[k] = *len;
  }
  ix->capacity = lens[0] / 8 > kInitialSlots ? lens[0] / 8 : kInitialSlots;
  KV_TRY(size_slot_file(*coords, 8 * ix->capacity, "coords.bin"));
  KV_TRY(size_slot_file(*offsets, 8 * ix->capacity, "offsets.bin"));
  KV_TRY(size_slot_file(*meta_offsets, 8 * ix->capacity, "meta_offsets.bin"));
  auto cm = map_slot_file(*coords, "coords.bin");
  if (!cm) return cm.error();
  auto om = map_slot_file(*offsets, "offsets.bin");
  if (!om) return om.error();
  auto mm = map_slot_file(*meta_offsets, "meta_offsets.bin");
  if (!mm) return mm.error();

  ix->coords_mmap = std::move(*cm);
  ix->coords_file = std::move(*coords);
  ix->offsets_mmap = std::move(*om);
  ix->offsets_file = std::move(*offsets);
  ix->ids_file = std::move(*ids);
  ix->meta_offsets_mmap = std::move(*mm);
  ix->meta_offsets_file = std::move(*meta_offsets);
  ix->meta_file = std::move(*meta);
  ix->ids_file_len = lens[2];
  ix->meta_file_len = lens[4];
  ix->ids_view.known_len = lens[2];
  ix->meta_view.known_len = lens[4];
  return ix;
}

namespace {

Status grow_one(Mapping& m, const Fd& f, uint64_t len, const char* name) {
  auto s = m.sync();
  if (!s) return Error::fatal_os(s.error().errnum, std::string("cannot flush ") + name);
  KV_TRY(size_slot_file(f, len, name));
  auto nm = map_slot_file(f, name);
  if (!nm) return nm.error();
  m = std::move(*nm);  // the old mapping is unmapped only now that the new one exists
  return {};
}

}  // namespace

Status ensure_capacity(CoreIndex& ix) {
  if (ix.allocated() < ix.capacity) return {};
  uint64_t c = ix.capacity + kGrowthSlots;
  KV_TRY(grow_one(ix.coords_mmap, ix.coords_file, 8 * c, "coords.bin"));
  KV_TRY(grow_one(ix.offsets_mmap, ix.offsets_file, 8 * c, "offsets.bin"));
  KV_TRY(grow_one(ix.meta_offsets_mmap, ix.meta_offsets_file, 8 * c, "meta_offsets.bin"));
  ix.capacity = c;
  return {};
}

std::string CoreIndex::get_external_id(uint32_t i) {
  std::string out;
  std::vector<std::pair<size_t, size_t>> spans;
  read_ids({i}, &out, &spans);
  return out;
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
    mapped[f] = cover(s.rv, s.fd, ends[f]);
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
      if (mapped[f] && off < ends[f]) {
        const uint8_t* p = src[f].rv.view.data() + off;
        __builtin_prefetch(p);
      }
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
      if (off == UINT64_MAX || !read_record(s.rv, s.fd, s.logical_end, off, s.max_len, validate, arena, &len)) {
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
  std::lock_guard<std::mutex> g(ids_mutex);
  RecordSource src[1] = {{ids_view, ids_file.get(), ids_file_len, offsets_mmap, UINT32_MAX, "", spans}};
  read_batched(src, ids, true, arena);
}

void CoreIndex::read_results(const std::vector<uint32_t>& ids, std::string* arena,
                             std::vector<std::pair<size_t, size_t>>* id_spans,
                             std::vector<std::pair<size_t, size_t>>* meta_spans) {
  std::scoped_lock g(ids_mutex, meta_mutex);
  RecordSource both[2] = {
      {ids_view, ids_file.get(), ids_file_len, offsets_mmap, UINT32_MAX, "", id_spans},
      {meta_view, meta_file.get(), meta_file_len, meta_offsets_mmap, kMaxMetadataLen, "{}", meta_spans}};
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
                     std::string_view bytes, const char* name) {
  uint64_t p = *logical_len;
  std::string rec(4 + bytes.size(), '\0');
  store_u32(reinterpret_cast<uint8_t*>(rec.data()), static_cast<uint32_t>(bytes.size()));
  std::memcpy(rec.data() + 4, bytes.data(), bytes.size());
  auto w = pwrite_all(f.get(), rec.data(), rec.size(), p, name);
  if (!w) return Error::fatal_os(w.error().errnum, std::string("cannot write ") + name);
  *logical_len = p + rec.size();
  if (*logical_len > rv.known_len) rv.known_len = *logical_len;
  store_u64(slots.data() + 8 * static_cast<size_t>(i), p);
  return {};
}

}  // namespace

Status append_id_record(CoreIndex& ix, uint32_t i, std::string_view id) {
  std::lock_guard<std::mutex> g(ix.ids_mutex);
  return append_record(ix.ids_file, ix.ids_view, &ix.ids_file_len, ix.offsets_mmap, i, id, "ids.bin");
}

Status append_meta_record(CoreIndex& ix, uint32_t i, std::string_view text) {
  std::lock_guard<std::mutex> g(ix.meta_mutex);
  return append_record(ix.meta_file, ix.meta_view, &ix.meta_file_len, ix.meta_offsets_mmap, i, text,
                       "meta.bin");
}

void write_coords(CoreIndex& ix, uint32_t i, float lat, float lon) {
  float ll[2] = {lat, lon};
  std::memcpy(ix.coords_mmap.data() + 8 * static_cast<size_t>(i), ll, 8);
}

}  // namespace korvane
