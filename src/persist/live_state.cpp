// live.bin: the one writer's word to its readers.
//
// Format: 64 bytes, eight little-endian u64 words:
//   0  magic "KVLIVE01"
//   8  seq         odd while the writer changes the words below; advanced by every change
//   16 epoch       advanced when a writer opens and when a vacuum has replaced the files
//   24 log_base    logical offset of byte 0 of wal.bin (the bytes persists have dropped)
//   32 log_len     logical end of the records on file
//   40 log_ino     inode of wal.bin
//   48 transition  1 while a persist or vacuum replaces files (snapshot, log, record files)
//   56 log_gen     advanced each time wal.bin is replaced (a file's inode number alone does not
//                  name it: a new log may get the number of one gone)
// Only the writer (holder of the directory's exclusive lock) writes it, through a shared mapping,
// and it holds a lock of byte 0 (an open file's lock, F_OFD_SETLK) for as long as it lives;
// readers map it read-only and read it as a sequence lock: seq, the words, seq again, and the copy
// counts only when both seqs are equal and even. A writer killed while changing it leaves seq odd:
// readers then keep what they have until the next writer opens, which starts a new epoch. The file
// is never removed; a writer of an older version does not know it, but it also leaves no epoch
// behind that a reader could trust (any open by this version starts a new one).
#include "persist/live_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvane {

namespace {

constexpr size_t kLiveSize = 64;
constexpr char kMagic[8] = {'K', 'V', 'L', 'I', 'V', 'E', '0', '1'};

uint64_t* word(const Mapping& m, size_t k) { return reinterpret_cast<uint64_t*>(m.data()) + k; }
uint64_t load(const Mapping& m, size_t k) { return __atomic_load_n(word(m, k), __ATOMIC_RELAXED); }
void store(const Mapping& m, size_t k, uint64_t v) { __atomic_store_n(word(m, k), v, __ATOMIC_RELAXED); }

}  // namespace

uint64_t inode_of(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

Result<LivePublisher> LivePublisher::open(int dir, uint64_t log_len, uint64_t log_ino) {
  int fd = ::openat(dir, "live.bin", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Error::os(errno, "open live.bin");
  LivePublisher p;
  p.fd_ = Fd(fd);
  auto len = file_size(fd, "live.bin");
  if (!len) return len.error();
  if (*len < kLiveSize && ::ftruncate(fd, kLiveSize) != 0) return Error::os(errno, "size live.bin");
  // A lock on byte 0 held for the writer's lifetime tells readers that it is alive (the kernel
  // lets it go when the process dies). A lock of the open file, not of the process, so that no
  // other descriptor of live.bin the process closes can let it go.
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  (void)::fcntl(fd, F_OFD_SETLK, &fl);
  auto m = Mapping::map(fd, kLiveSize);
  if (!m) return Error::os(m.error(), "map live.bin");
  p.map_ = std::move(*m);
  bool known = std::memcmp(p.map_.data(), kMagic, 8) == 0;
  p.st_.seq = known ? (load(p.map_, 1) | 1) + 1 : 2;  // even, and past whatever was there
  p.st_.epoch = known ? load(p.map_, 2) + 1 : 1;
  p.st_.log_gen = known ? load(p.map_, 7) + 1 : 1;
  p.st_.log_len = log_len;
  p.st_.log_ino = log_ino;
  std::memcpy(p.map_.data(), kMagic, 8);
  p.publish();
  return p;
}

void LivePublisher::publish() {
  st_.seq |= 1;
  store(map_, 1, st_.seq);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  store(map_, 2, st_.epoch);
  store(map_, 3, st_.log_base);
  store(map_, 4, st_.log_len);
  store(map_, 5, st_.log_ino);
  store(map_, 6, st_.transition);
  store(map_, 7, st_.log_gen);
  ++st_.seq;
  __atomic_store_n(word(map_, 1), st_.seq, __ATOMIC_RELEASE);
}

void LivePublisher::log_written(uint64_t file_len) {
  if (!valid() || st_.log_base + file_len == st_.log_len) return;
  st_.log_len = st_.log_base + file_len;
  publish();
}

void LivePublisher::log_rebased(uint64_t dropped, uint64_t file_len, uint64_t ino) {
  if (!valid()) return;
  st_.log_base += dropped;
  st_.log_len = st_.log_base + file_len;
  st_.log_ino = ino;
  ++st_.log_gen;
  publish();
}

void LivePublisher::set_transition(bool on) {
  if (!valid() || st_.transition == uint64_t{on}) return;
  st_.transition = on;
  publish();
}

void LivePublisher::new_epoch(uint64_t log_len, uint64_t log_ino) {
  if (!valid()) return;
  ++st_.epoch;
  st_.log_base = 0;
  st_.log_len = log_len;
  st_.log_ino = log_ino;
  ++st_.log_gen;
  st_.transition = 0;
  publish();
}

void LiveFollower::attach(int dir) {
  if (attached()) return;
  int fd = ::openat(dir, "live.bin", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  Fd f(fd);
  auto len = file_size(fd, "live.bin");
  if (!len || *len < kLiveSize) return;
  auto m = Mapping::map(fd, kLiveSize, /*read_only=*/true);
  if (!m || std::memcmp(m->data(), kMagic, 8) != 0) return;
  map_ = std::move(*m);
  fd_ = std::move(f);
}

bool LiveFollower::writer_alive() const {
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  if (!fd_.valid() || ::fcntl(fd_.get(), F_OFD_GETLK, &fl) != 0) return true;  // cannot tell
  return fl.l_type != F_UNLCK;
}

uint64_t LiveFollower::seq() const {
  return attached() ? __atomic_load_n(word(map_, 1), __ATOMIC_ACQUIRE) : 0;
}

bool LiveFollower::read(LiveState* out) const {
  if (!attached()) return false;
  uint64_t s1 = __atomic_load_n(word(map_, 1), __ATOMIC_ACQUIRE);
  if (s1 & 1) return false;
  out->epoch = load(map_, 2);
  out->log_base = load(map_, 3);
  out->log_len = load(map_, 4);
  out->log_ino = load(map_, 5);
  out->transition = load(map_, 6);
  out->log_gen = load(map_, 7);
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  uint64_t s2 = load(map_, 1);
  out->seq = s1;
  return s1 == s2;
}

}  // namespace korvane
