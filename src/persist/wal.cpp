// wal.bin: a plain concatenation of records, with no header, length or checksum; replay decodes
// records from the start until the first one that does not decode. Little-endian, no padding.
//
//   record   := u32 variant (0 = Insert, 1 = Delete, 2 = Replace), payload
//   Insert   := text id, f32 lat, f32 lon, u64 m, m x (text key, value)   keys in ascending byte order
//   Delete   := text id
//   Replace  := as Insert: the live point of the id, if any, is deleted, then the point inserted
//   text     := u64 byte count n, n bytes of UTF-8
//   value    := u8 kind, then by kind:
//                 0 null     nothing
//                 1 boolean  1 byte: 1 true, 0 false
//                 2 u64      8 bytes: an integer literal that fits in 64 bits unsigned
//                 3 i64      8 bytes: a negative integer literal that fits in 64 bits signed
//                 4 f64      8 bytes: any other number (fraction, exponent, too large, -0)
//                 5 string   text
//                 6 array    u64 element count, then each element's value
//                 7 object   u64 entry count, then per entry key (text) and value, keys ascending
//
// Example: delete("ab") is 01 00 00 00, 02 00 00 00 00 00 00 00, 61 62.
// Zero bytes: a file system that extended the file before a crash may leave its new end filled
// with zeros, and 28 zero bytes decode as an insert of the id "" at (0, 0) with {}. So that
// such a tail never becomes a point, a run of these all-zero records is applied only once a
// record that is not all zeros decodes after it; a run that ends the file, or is followed by
// bytes that do not decode, is a torn tail like any other. The writer follows each all-zero
// record it appends (a real add("", 0.0, 0.0, "{}")) at once with a guard, the same insert
// with latitude -0.0 (00 00 00 80), which replay ignores as the id is then present. A log
// written before the guard existed loses an all-zero record only when it is the log's last.
// A tail cut inside a record whose remaining bytes fell in a zeroed region can still decode
// (an insert whose coordinates and metadata count read as zeros): without a per-record
// checksum it cannot be told from a point stored at (0, 0) with {}.
//
// A replacement (upsert of a present id) is one Replace record rather than a Delete and an
// Insert: a kill can cut even one write(2) at a page boundary, and replay takes a record whole
// or not at all, so a crash leaves the old point or the new one, never neither.
//
// Each piece (variant, kind byte, count, text bytes, float) is handed to the buffer in turn; a
// piece that does not fit makes the buffer go to the file first, and a piece at least as large
// as the buffer goes straight to the file. A record that fails to reach the file is cut back off
// it, so later records stay reachable by replay.
#include "persist/wal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace korvane {
WalWriter::~WalWriter() { (void)flush(); }

Status WalWriter::flush() { return out_.flush(); }

Status WalWriter::sync() {
  if (::fdatasync(fd_.get()) != 0) return Error::os(errno, "sync wal.bin");
  return {};
}

void WalWriter::roll_back(uint64_t logical_len) {
  if (out_.written() > logical_len) {
    // Part of the failed record reached the file: cut it off, or later records would sit behind
    // bytes that do not decode.
    if (::ftruncate(fd_.get(), static_cast<off_t>(logical_len)) != 0) {
      broken_ = true;
      broken_at_ = logical_len;
    }
    out_.set_written(logical_len);
    out_.discard();
  } else {
    out_.keep_buffered(static_cast<size_t>(logical_len - out_.written()));
  }
}

Status WalWriter::settle_tail() {
  cut_pending_ = false;
  auto len = file_size(fd_.get(), "wal.bin");
  if (!len) return len.error();
  if (*len != open_len_) {
    out_.set_written(*len);  // someone else appended since the open: nothing here is ours to cut
    return {};
  }
  if (::ftruncate(fd_.get(), static_cast<off_t>(cut_to_)) != 0) return Error::os(errno, "truncate wal.bin");
  out_.set_written(cut_to_);
  return {};
}

template <class F>
Status WalWriter::append_record(F&& encode) {
  if (cut_pending_) KV_TRY(settle_tail());
  if (broken_) {
    if (::ftruncate(fd_.get(), static_cast<off_t>(broken_at_)) != 0)
      return Error::os(errno, "repair wal.bin");
    broken_ = false;
  }
  uint64_t start = out_.written() + out_.buffered();
  auto s = encode(out_);
  if (!s) roll_back(start);
  return s;
}

Status WalWriter::append_insert(std::string_view id, float lat, float lon, const Json& meta) {
  PreparedMeta prepared;
  prepare_from_document(meta, &prepared);
  return append_insert_encoded(id, lat, lon, prepared.log());
}

bool is_zero_record(const WalEntry& e) {
  uint32_t lat, lon;
  std::memcpy(&lat, &e.lat, 4);
  std::memcpy(&lon, &e.lon, 4);
  return e.kind == WalEntry::Kind::Insert && e.id.empty() && lat == 0 && lon == 0 && e.meta.empty();
}

Status WalWriter::append_replace(std::string_view id, float lat, float lon, std::string_view meta_log) {
  return append_point(WalEntry::Kind::Replace, id, lat, lon, meta_log);
}

Status WalWriter::append_insert_encoded(std::string_view id, float lat, float lon, std::string_view meta_log) {
  return append_point(WalEntry::Kind::Insert, id, lat, lon, meta_log);
}

Status WalWriter::append_point(WalEntry::Kind kind, std::string_view id, float lat, float lon,
                               std::string_view meta_log) {
  uint32_t lat_bits, lon_bits;
  std::memcpy(&lat_bits, &lat, 4);
  std::memcpy(&lon_bits, &lon, 4);
  if (kind == WalEntry::Kind::Insert && id.empty() && lat_bits == 0 && lon_bits == 0 &&
      meta_log == std::string_view("\0\0\0\0\0\0\0\0", 8)) {
    // All zeros: followed by its guard in the same append (see the top of this file).
    return append_record([&](BufWriter& out) -> Status {
      char both[56] = {};
      both[28 + 4 + 8 + 3] = static_cast<char>(0x80);
      return out.put(both, sizeof both);
    });
  }
  return append_record([&](BufWriter& out) -> Status {
    size_t whole = 4 + 8 + id.size() + 4 + 4 + meta_log.size();
    if (whole <= out.room()) {
      // Every piece fits: the buffer takes the record at once.
      char head[12];
      store_u32(reinterpret_cast<uint8_t*>(head), static_cast<uint32_t>(kind));
      store_u64(reinterpret_cast<uint8_t*>(head + 4), id.size());
      out.put_fitting(head, 12);
      out.put_fitting(id.data(), id.size());
      out.put_fitting(&lat, 4);
      out.put_fitting(&lon, 4);
      out.put_fitting(meta_log.data(), meta_log.size());
      return {};
    }
    KV_TRY(out.u32(static_cast<uint32_t>(kind)));
    KV_TRY(out.text(id));
    KV_TRY(out.f32(lat));
    KV_TRY(out.f32(lon));
    std::vector<uint32_t> ends;
    log_pieces(meta_log, &ends);
    size_t from = 0;
    for (uint32_t end : ends) {
      KV_TRY(out.put(meta_log.data() + from, end - from));
      from = end;
    }
    if (from < meta_log.size()) KV_TRY(out.put(meta_log.data() + from, meta_log.size() - from));
    return {};
  });
}

Status WalWriter::append_delete(std::string_view id) {
  return append_record([&](BufWriter& out) -> Status {
    KV_TRY(out.u32(static_cast<uint32_t>(WalEntry::Kind::Delete)));
    return out.text(id);
  });
}

Status WalWriter::empty() {
  out_.discard();
  if (::ftruncate(fd_.get(), 0) != 0) return Error::os(errno, "truncate wal.bin");
  out_.set_written(0);
  broken_ = false;
  cut_pending_ = false;
  if (::lseek(fd_.get(), 0, SEEK_SET) < 0) return Error::os(errno, "seek wal.bin");
  return {};
}

Status WalWriter::drop_covered(int dir, uint64_t covered) {
  if (covered > out_.written()) covered = out_.written();
  // The log becomes the records written out after the snapshot was taken (none, often), through a
  // new file that replaces it in one step: a stop before the rename leaves the whole old log, whose
  // covered records replay harmlessly over the new snapshot, and a reader still reading the old
  // file finds it whole.
  std::string tail(static_cast<size_t>(out_.written() - covered), '\0');
  {
    int rfd = ::openat(dir, "wal.bin", O_RDONLY | O_CLOEXEC);
    if (rfd < 0) return Error::os(errno, "open wal.bin");
    Fd r(rfd);
    if (!pread_exact(rfd, tail.data(), tail.size(), covered)) return Error::os(EIO, "read wal.bin");
  }
  int tfd = ::openat(dir, "wal.bin.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (tfd < 0) return Error::os(errno, "create wal.bin.tmp");
  Fd t(tfd);
  KV_TRY(write_all(tfd, tail.data(), tail.size(), "wal.bin.tmp"));
  if (::fdatasync(tfd) != 0) return Error::os(errno, "sync wal.bin.tmp");
  if (::renameat(dir, "wal.bin.tmp", dir, "wal.bin") != 0) return Error::os(errno, "rename wal.bin.tmp");
  if (::fsync(dir) != 0) return Error::os(errno, "sync directory");
  fd_ = std::move(t);
  out_.set_fd(fd_.get());
  out_.set_written(tail.size());
  broken_ = false;
  cut_pending_ = false;
  return {};
}

bool decode_wal_entry(BufReader& in, WalEntry* out) {
  uint32_t variant;
  if (!in.u32(&variant)) return false;
  if (variant == 1) {
    out->kind = WalEntry::Kind::Delete;
    return in.text(&out->id);
  }
  if (variant != 0 && variant != 2) return false;
  out->kind = variant == 0 ? WalEntry::Kind::Insert : WalEntry::Kind::Replace;
  if (!in.text(&out->id) || !in.f32(&out->lat) || !in.f32(&out->lon)) return false;
  return read_log_object(in, &out->meta);
}

}  // namespace korvane
