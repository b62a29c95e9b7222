#include "persist/open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "persist/vacuum.h"
#include "persist/snapshot.h"

namespace korvane {

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

Status restore_snapshot(CoreIndex& ix) {
  int dir = ix.dir.get();
  struct stat st;
  if (::fstatat(dir, "snapshot.bin", &st, 0) != 0) return {};  // none yet
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
  bool ok = read_snapshot(fd, *len, &s, max_ids) &&
            s.valid_ids.cardinality() + s.deleted.cardinality() <= max_ids;
  if (!ok) {
    // Ignored as a whole; a non-empty one is kept aside so a later persist cannot destroy what
    // may be the only copy of the data.
    if (*len > 0 && !ix.read_only) (void)::renameat(dir, "snapshot.bin", dir, "snapshot.bin.corrupt");
    return {};
  }
  static_cast<IndexSets&>(ix) = std::move(s);
  // Every restored id needs its slot, and the next insert a free one.
  do {
    KV_TRY(ensure_capacity(ix));
  } while (ix.allocated() > ix.capacity);
  // The recorded ends are only numbers in a file: they must not let a new record overwrite a
  // live one, or grow the file far past what it holds.
  settle_logical_ends(ix);
  return {};
}

struct Replayed {
  uint64_t len = 0;   // bytes of wal.bin when it was read
  uint64_t good = 0;  // bytes of its decodable prefix
};

// Replays wal.bin up to the first record that does not decode.
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
  for (;;) {
    WalEntry e;
    if (!decode_wal_entry(in, &e)) break;
    if (e.kind == WalEntry::Kind::Insert) {
      KV_TRY(insert_in_mem(ix, e.id, e.lat, e.lon, e.meta, nullptr, /*replay=*/true));
    } else {
      delete_in_mem(ix, e.id);
    }
    good = in.position();
  }
  return Replayed{*len, good};
}

}  // namespace

Result<OpenedDirectory> load_directory(Fd dir, bool read_only) {
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
  KV_TRY(restore_snapshot(index));
  auto replayed = replay_log(index);
  if (!replayed) return replayed.error();
  map_record_views(index);
  OpenedDirectory out;
  out.index = std::move(*ix);
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
