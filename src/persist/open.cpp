#include "persist/open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/coding.h"
#include "core/hash_id.h"
#include "persist/live_state.h"
#include "persist/vacuum.h"
#include "persist/snapshot.h"
#include "persist/vacuum.h"

namespace korvane {

Status apply_wal_entry(CoreIndex& ix, const WalEntry& e) {
  if (e.kind == WalEntry::Kind::Replace) delete_in_mem(ix, e.id);
  if (e.kind == WalEntry::Kind::Delete) {
    delete_in_mem(ix, e.id);
    return {};
  }
  return insert_in_mem(ix, e.id, e.lat, e.lon, e.meta, nullptr, /*replay=*/true);
}

Status make_dirs(const std::string& path) {
  if (path.empty()) return {};
  std::string cur;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    cur = path.substr(0, j);
    i = j + 1;
    if (cur.empty() || cur == "." || cur == "..") continue;
    if (::mkdir(cur.c_str(), 0777) != 0) {
      int e = errno;
      struct stat st;
      if (e == EEXIST && ::stat(cur.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      return Error::os(e, "create " + cur).at(cur);
    }
  }
  return {};
}

namespace {

// True when there was a snapshot to restore.
Result<bool> restore_snapshot(CoreIndex& ix) {
  int dir = ix.dir.get();
  struct stat st;
  if (::fstatat(dir, "snapshot.bin", &st, 0) != 0) return false;  // none yet
  int fd = ::openat(dir, "snapshot.bin", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno, "open snapshot.bin");
  Fd f(fd);
  auto len = file_size(fd, "snapshot.bin");
  if (!len) return len.error();
  // Every allocated id has a slot in coords.bin and a record of at least 4 bytes in ids.bin
  // and in meta.bin. A snapshot naming more ids than any of the record files could hold is not
  // of this directory (a few bytes of run-form bitmap can name billions of ids), and growing
  // the slot files to match it would fill the disk.
  uint64_t max_ids = std::max({ix.capacity, ix.ids_file_len / 4, ix.meta_file_len / 4});
  SnapshotData s;
  KV_TRY(read_snapshot(fd, *len, &s, max_ids));
  if (s.valid_ids.cardinality() + s.deleted.cardinality() > max_ids)
    return snapshot_damaged("it names more points than the record files can hold");
  static_cast<IndexSets&>(ix) = std::move(s);
  // Every restored id needs its slot, and the next insert a free one.
  do {
    KV_TRY(ensure_capacity(ix));
  } while (ix.allocated() > ix.capacity);
  // The recorded ends are only numbers in a file: they must not let a new record overwrite a
  // live one, or grow the file far past what it holds.
  settle_logical_ends(ix);
  // The grid's cells keep deleted points until vacuum; its block counts are of live ones.
  ix.deleted.for_each([&](uint32_t i) { ix.uncount_deleted(i); });
  return true;
}

// Record i of a record file (u32 length, then the bytes), read through calls: false when it does
// not lie whole within the file's `len` bytes, is longer than `max`, or is not UTF-8.
bool read_whole_record(const Fd& f, uint64_t len, uint64_t off, uint32_t max, std::string* out) {
  uint8_t head[4];
  if (f.get() < 0 || off >= len || len - off < 4 || !pread_exact(f.get(), head, 4, off)) return false;
  uint32_t n = load_u32(head);
  if (n > max || len - off - 4 < n) return false;
  out->resize(n);
  if (n > 0 && !pread_exact(f.get(), out->data(), n, off + 4)) return false;
  return valid_utf8(reinterpret_cast<const uint8_t*>(out->data()), n);
}

// Rebuilds the points from the record files alone (the snapshot being lost): records follow one
// another in the order of the ids they belong to, so the written slots are those from 0 on whose
// offsets rise in both slot files and whose id and metadata records read whole. Each becomes
// point i again through the insert that replay uses (its records kept where they are); an id
// met again later is the same point stored anew after a deletion, so the earlier one is deleted
// first. What the records cannot tell: points deleted before the snapshot come back, unless
// their deletion is still in the log.
void rebuild_from_records(CoreIndex& ix, Recovery* r) {
  const uint64_t slots = std::min({ix.offsets_mmap.size(), ix.meta_offsets_mmap.size(), ix.coords_mmap.size()}) / 8;
  const uint64_t ids_len = ix.ids_view.known_len, meta_len = ix.meta_view.known_len;
  std::string id, text;
  uint64_t prev_io = 0, prev_mo = 0, i = 0;
  for (; i < slots && i <= UINT32_MAX; ++i) {
    uint64_t io = load_u64(ix.offsets_mmap.data() + 8 * i), mo = load_u64(ix.meta_offsets_mmap.data() + 8 * i);
    if (i > 0 && (io <= prev_io || mo <= prev_mo)) break;
    if (!read_whole_record(ix.ids_file, ids_len, io, UINT32_MAX, &id) ||
        !read_whole_record(ix.meta_file, meta_len, mo, kMaxMetadataLen, &text))
      break;
    prev_io = io;
    prev_mo = mo;
    auto meta = parse_metadata(text);
    if (!meta) break;  // never written by an insert
    auto [lat, lon] = ix.get_coords(static_cast<uint32_t>(i));
    if (ix.ext_to_int.count(hash_id(id)) != 0) {
      delete_in_mem(ix, id);
      ++r->superseded;
    }
    if (!insert_in_mem(ix, id, lat, lon, *meta, &text, /*replay=*/true) || ix.allocated() != i + 1) break;
  }
  r->from_records = ix.valid_ids.cardinality();
  // Slots past the last one restored whose offsets still rise: written, but not readable.
  for (uint64_t j = i; j < slots && j > 0; ++j) {
    uint64_t io = load_u64(ix.offsets_mmap.data() + 8 * j);
    if (io <= prev_io || io >= ids_len) break;
    prev_io = io;
    ++r->unread_slots;
  }
}

// Keeps the damaged snapshot under the first free name of snapshot.bin.damaged,
// snapshot.bin.damaged.1, ...: a hard link, so that nothing is copied and the persist that
// follows, replacing snapshot.bin, leaves its bytes in place.
Result<std::string> keep_damaged(int dir) {
  for (int k = 0; k < 1000; ++k) {
    std::string name = k == 0 ? "snapshot.bin.damaged" : "snapshot.bin.damaged." + std::to_string(k);
    if (::linkat(dir, "snapshot.bin", dir, name.c_str(), 0) == 0) {
      if (::fsync(dir) != 0) return Error::os(errno, "sync directory");
      return name;
    }
    if (errno != EEXIST) return Error::os(errno, "link snapshot.bin");
  }
  return Error::os(EEXIST, "link snapshot.bin");
}

struct Replayed {
  uint64_t len = 0;   // bytes of wal.bin when it was read
  uint64_t good = 0;  // bytes of its decodable prefix
  uint64_t ino = 0;   // its inode
};

// Replays wal.bin up to the first record that does not decode. All-zero records wait until a
// record that is not all zeros decodes after them: a run of them at the end is a zero-filled
// torn tail, never points (see wal.cpp).
Result<Replayed> replay_log(CoreIndex& ix) {
  int dir = ix.dir.get();
  struct stat st;
  if (::fstatat(dir, "wal.bin", &st, 0) != 0) return Replayed{};
  int fd = ::openat(dir, "wal.bin", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno, "open wal.bin");
  Fd f(fd);
  auto len = file_size(fd, "wal.bin");
  if (!len) return len.error();
  BufReader in(fd, *len);
  uint64_t good = 0;
  bool zeros_waiting = false;  // only the first of a run can change anything: the rest repeat it
  for (;;) {
    WalEntry e;
    if (!decode_wal_entry(in, &e)) break;
    if (is_zero_record(e)) {
      zeros_waiting = true;
      continue;
    }
    if (zeros_waiting) {
      KV_TRY(insert_in_mem(ix, "", 0.0f, 0.0f, Json::object(), nullptr, /*replay=*/true));
      zeros_waiting = false;
    }
    KV_TRY(apply_wal_entry(ix, e));
    good = in.position();
  }
  return Replayed{*len, good, inode_of(fd)};
}

}  // namespace

Result<OpenedDirectory> load_directory(Fd dir, bool read_only, bool recover) {
  int dfd = dir.get();
  if (read_only) {
    if (vacuum_committed(dfd))
      return Error::os_message(EROFS, "the storage directory holds a vacuum that was committed but not completed; "
                               "open it once without read_only to complete it");
  } else {
    KV_TRY(finish_interrupted_vacuum(dfd));
  }

  auto ix = open_record_files(std::move(dir), read_only);
  if (!ix) return ix.error();
  CoreIndex& index = **ix;
  std::unique_ptr<Recovery> recovery;
  if (auto restored = restore_snapshot(index); !restored) {
    if (!recover || restored.error().kind != ErrorKind::Damaged) return restored.error();
    recovery = std::make_unique<Recovery>();
    recovery->damage = restored.error().message;
    if (!read_only) {
      auto kept = keep_damaged(index.dir.get());
      if (!kept) return kept.error();
      recovery->kept_as = *kept;
    }
    rebuild_from_records(index, recovery.get());
  } else if (recover && !*restored && index.ids_file_len > 0) {
    // No snapshot, yet records on file: one that was removed leaves its points only there (and
    // a store never persisted loses nothing by being rebuilt from them).
    recovery = std::make_unique<Recovery>();
    recovery->damage = "snapshot.bin is missing";
    rebuild_from_records(index, recovery.get());
  }
  auto replayed = replay_log(index);
  if (!replayed) return replayed.error();
  map_record_views(index);
  OpenedDirectory out;
  if (recovery) recovery->restored = index.valid_ids.cardinality();
  out.recovery = std::move(recovery);
  out.index = std::move(*ix);
  out.wal_ino = replayed->ino;
  out.wal_good = replayed->good;
  if (read_only) return out;

  int d = index.dir.get();
  int wfd = ::openat(d, "wal.bin", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (wfd < 0) return Error::os(errno, "open wal.bin");
  Fd wal(wfd);
  auto wlen = file_size(wfd, "wal.bin");
  if (!wlen) return wlen.error();
  out.wal = std::make_unique<WalWriter>(std::move(wal), *wlen);
  // A torn or damaged tail is cut off before this store's first record, not at open: an open
  // that only reads changes nothing.
  if (*wlen == replayed->len) out.wal->cut_tail_before_first_write(replayed->len, replayed->good);
  return out;
}

}  // namespace korvane
