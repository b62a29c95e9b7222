// Vacuum, crash-safe. Working files (each written sequentially from byte 0 in its record file's
// layout, see record_files.cpp): coords.bin.vac, offsets.bin.vac, ids.bin.vac,
// meta_offsets.bin.vac, meta.bin.vac, and snapshot.bin.vac, the snapshot of the compacted state.
//
// Protocol:
//   1. Write all six working files and force each to stable storage. The record files, the
//      snapshot and the log are untouched so far: a stop here leaves the directory as it was,
//      and the next open deletes the working files.
//   2. Commit: create `vacuum.commit` and force it and the directory to stable storage. From
//      here on the directory's state is the compacted one.
//   3. Rename each working file over its target, empty wal.bin (its records, written under the
//      old numbering, are all in the new snapshot), sync the directory, delete the marker.
//   An open that finds the marker repeats step 3 (renames of working files that are already gone
//   are skipped), so a stop anywhere in step 3 still reopens to exactly the compacted state; one
//   that finds working files without the marker deletes them.
//
// Records are carried over byte for byte; only a record that cannot be read (it lies beyond the
// logical end of its file) is replaced by "" or "{}".
#include "persist/vacuum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/coding.h"
#include "core/vacuum_renumber.h"
#include "persist/snapshot.h"

namespace korvane {

int (*vacuum_rename_fault)(const char* name) = nullptr;

namespace {

constexpr const char* kRecordFiles[5] = {"coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin"};
constexpr const char* kMarker = "vacuum.commit";
constexpr size_t kVacBuffer = 1 << 20;

std::string vac(const char* name) { return std::string(name) + ".vac"; }


Status sync_dir(int dir) {
  if (::fsync(dir) != 0) return Error::os_plain(errno, "sync directory");
  return {};
}

// Raw record bytes at `off` when the whole record lies below `end`.
std::string_view raw_record(const Mapping& m, uint64_t end, uint64_t off, bool* ok) {
  *ok = false;
  if (end > m.size()) end = m.size();
  if (off >= end || end - off < 4) return {};
  uint32_t len = load_u32(m.data() + off);
  if (end - off - 4 < len) return {};
  *ok = true;
  return std::string_view(reinterpret_cast<const char*>(m.data() + off + 4), len);
}

Status remove_working_files(int dir) {
  for (const char* n : kRecordFiles)
    if (::unlinkat(dir, vac(n).c_str(), 0) != 0 && errno != ENOENT) return Error::os(errno, "remove " + vac(n));
  if (::unlinkat(dir, "snapshot.bin.vac", 0) != 0 && errno != ENOENT) return Error::os(errno, "remove snapshot.bin.vac");
  return {};
}

int rename_into_place(int dir, const char* name) {
  if (vacuum_rename_fault != nullptr) {
    if (int e = vacuum_rename_fault(name)) {
      errno = e;
      return -1;
    }
  }
  return ::renameat(dir, vac(name).c_str(), dir, name);
}

// Step 3 of the protocol; every part may already have been done.
Status complete(int dir, const std::function<Status()>& empty_log) {
  for (const char* n : kRecordFiles)
    if (rename_into_place(dir, n) != 0 && errno != ENOENT) return Error::os_plain(errno, "rename " + vac(n));
  if (::renameat(dir, "snapshot.bin.vac", dir, "snapshot.bin") != 0 && errno != ENOENT)
    return Error::os_plain(errno, "rename snapshot.bin.vac");
  KV_TRY(empty_log());
  KV_TRY(sync_dir(dir));
  if (::unlinkat(dir, kMarker, 0) != 0 && errno != ENOENT) return Error::os_plain(errno, "remove vacuum.commit");
  return sync_dir(dir);
}

struct Working {
  Fd fd;
  std::unique_ptr<BufWriter> w;
};

}  // namespace

bool vacuum_committed(int dir) {
  struct stat st;
  return ::fstatat(dir, kMarker, &st, 0) == 0;
}

Status finish_interrupted_vacuum(int dir) {
  struct stat st;
  if (::fstatat(dir, kMarker, &st, 0) != 0) return remove_working_files(dir);
  return complete(dir, [dir]() -> Status {
    int fd = ::openat(dir, "wal.bin", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Error::os(errno, "open wal.bin");
    Fd f(fd);
    if (::ftruncate(fd, 0) != 0 || ::fsync(fd) != 0) return Error::os(errno, "empty wal.bin");
    return {};
  });
}

namespace {

// Step 1 for the record files: the live points' records, renumbered, each working file written
// sequentially and sized, then forced to stable storage. *ids_len and *meta_len are the bytes
// written to ids.bin.vac and meta.bin.vac.
Status write_working_records(CoreIndex& ix, const Renumbering& r, uint64_t* ids_len, uint64_t* meta_len) {
  const int dir = ix.dir.get();
  Working files[5];
  for (int k = 0; k < 5; ++k) {
    int fd = ::openat(dir, vac(kRecordFiles[k]).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Error::os_plain(errno, "create " + vac(kRecordFiles[k]));
    files[k].fd = Fd(fd);
    files[k].w = std::make_unique<BufWriter>(fd, kVacBuffer);
  }
  BufWriter& w_coords = *files[0].w;
  BufWriter& w_offsets = *files[1].w;
  BufWriter& w_ids = *files[2].w;
  BufWriter& w_meta_offsets = *files[3].w;
  BufWriter& w_meta = *files[4].w;

  auto ids_file_len = file_size(ix.ids_file.get(), "ids.bin");
  auto meta_file_len = file_size(ix.meta_file.get(), "meta.bin");
  if (!ids_file_len) return Error::os_plain(ids_file_len.error());
  if (!meta_file_len) return Error::os_plain(meta_file_len.error());
  auto ids_map = Mapping::map(ix.ids_file.get(), static_cast<size_t>(*ids_file_len), true);
  auto meta_map = Mapping::map(ix.meta_file.get(), static_cast<size_t>(*meta_file_len), true);
  if (!ids_map) return Error::os_plain(ids_map.error());
  if (!meta_map) return Error::os_plain(meta_map.error());

  uint64_t p_ids = 0, p_meta = 0;
  for (uint32_t o : r.live) {
    auto [lat, lon] = ix.get_coords(o);
    bool ok;
    std::string_view id = raw_record(*ids_map, ix.ids_file_len, load_u64(ix.offsets_mmap.data() + 8 * size_t{o}), &ok);
    if (!ok) id = "";
    std::string_view meta = raw_record(*meta_map, ix.meta_file_len, load_u64(ix.meta_offsets_mmap.data() + 8 * size_t{o}), &ok);
    if (!ok) meta = "{}";
    uint8_t b[8];
    float ll[2] = {lat, lon};
    Status s = w_coords.put(ll, 8);
    if (s) { store_u32(b, static_cast<uint32_t>(id.size())); s = w_ids.put(b, 4); }
    if (s) s = w_ids.put(id.data(), id.size());
    if (s) { store_u64(b, p_ids); s = w_offsets.put(b, 8); }
    if (s) { store_u32(b, static_cast<uint32_t>(meta.size())); s = w_meta.put(b, 4); }
    if (s) s = w_meta.put(meta.data(), meta.size());
    if (s) { store_u64(b, p_meta); s = w_meta_offsets.put(b, 8); }
    if (!s) return Error::os_plain(s.error());
    p_ids += 4 + id.size();
    p_meta += 4 + meta.size();
  }
  for (auto& f : files)
    if (auto s = f.w->flush(); !s) return Error::os_plain(s.error());
  // The slot files' sizes after a vacuum: room for the live points, at least the initial size.
  const uint64_t n = r.live.size();
  uint64_t coords_len = std::max<uint64_t>(8ull * n, 8 * kInitialSlots);
  uint64_t slots_len = std::max<uint64_t>(8ull * n + 8000, 8 * kInitialSlots);
  for (auto [k, len] : {std::pair{0, coords_len}, std::pair{1, slots_len}, std::pair{3, slots_len}})
    if (auto s = grow_file(files[k].fd.get(), len, kRecordFiles[k]); !s) return Error::os_plain(s.error());
  for (int k : {0, 2, 1, 4, 3})
    if (::fsync(files[k].fd.get()) != 0) return Error::os_plain(errno, "sync " + vac(kRecordFiles[k]));
  *ids_len = p_ids;
  *meta_len = p_meta;
  return {};
}

// Step 1 for the snapshot: the compacted state's, forced to stable storage.
Status write_working_snapshot(int dir, const IndexSets& nx) {
  int fd = ::openat(dir, "snapshot.bin.vac", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error::os_plain(errno, "create snapshot.bin.vac");
  Fd snap(fd);
  auto s = write_snapshot(nx, fd);
  if (!s) return s.error().kind == ErrorKind::Os ? Error::os_plain(s.error()) : s.error();
  if (::fsync(fd) != 0) return Error::os_plain(errno, "sync snapshot.bin.vac");
  return {};
}

// Step 2.
Status commit(int dir) {
  int fd = ::openat(dir, kMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error::os_plain(errno, "create vacuum.commit");
  Fd marker(fd);
  if (::fsync(fd) != 0) return Error::os_plain(errno, "sync vacuum.commit");
  return sync_dir(dir);
}

// The record files in place after step 3, opened and the slot files mapped.
Result<CompactedFiles> reopen_compacted(int dir) {
  CompactedFiles out;
  for (int k = 0; k < 5; ++k) {
    int fd = ::openat(dir, kRecordFiles[k], O_RDWR | O_CLOEXEC);
    if (fd < 0) return Error::os_plain(errno, std::string("reopen ") + kRecordFiles[k]);
    out.files[k] = Fd(fd);
  }
  for (auto [k, map] : {std::pair{0, &out.coords}, std::pair{1, &out.offsets}, std::pair{3, &out.meta_offsets}}) {
    auto len = file_size(out.files[k].get(), kRecordFiles[k]);
    if (!len) return Error::os_plain(len.error());
    auto m = Mapping::map(out.files[k].get(), static_cast<size_t>(*len));
    if (!m) return Error::os_plain(m.error());
    m->advise_random();
    *map = std::move(*m);
  }
  return out;
}

}  // namespace

Status vacuum(CoreIndex& ix, const std::function<Status()>& empty_log, bool* committed,
              const std::function<void()>& committing) {
  *committed = false;
  const int dir = ix.dir.get();
  // 1. The working files.
  Renumbering r = renumber_live(ix);
  uint64_t ids_len = 0, meta_len = 0;
  KV_TRY(write_working_records(ix, r, &ids_len, &meta_len));
  IndexSets nx = renumbered_indexes(ix, r, ids_len, meta_len);
  KV_TRY(write_working_snapshot(dir, nx));
  // 2. Commit.
  if (committing) committing();
  KV_TRY(commit(dir));
  *committed = true;
  // 3. Into place, then swap the new files and indexes into the open index.
  KV_TRY(complete(dir, empty_log));
  auto files = reopen_compacted(dir);
  if (!files) return files.error();
  adopt_compacted(ix, std::move(*files), std::move(nx));
  return {};
}

}  // namespace korvane
