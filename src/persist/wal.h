// wal.h: the write-ahead log of insertions and deletions since the last persist.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/coding.h"
#include "core/error.h"
#include "core/fd.h"
#include "core/json.h"
#include "persist/wal_values.h"

namespace korvane {

struct WalEntry {
  enum class Kind : uint32_t { Insert = 0, Delete = 1, Replace = 2 };
  Kind kind = Kind::Insert;
  std::string id;
  float lat = 0, lon = 0;  // Insert and Replace only
  Json meta;               // Insert and Replace only: an object
};

constexpr size_t kWalBufferSize = 8192;

// The log writer: wal.bin opened for appending behind an 8192-byte buffer. Records reach the
// file when a later piece does not fit, on flush(), or when the writer is destroyed.
class WalWriter {
 public:
  WalWriter(Fd fd, uint64_t file_len)
      : fd_(std::move(fd)), out_(fd_.get(), kWalBufferSize, "write wal.bin", file_len) {}
  ~WalWriter();  // one last flush; its outcome is ignored (nothing can report it)

  // The log at open ended in `open_len - decodable_len` bytes that replay could not decode (a
  // torn or damaged tail). They are cut off before this writer's first record, or that record
  // and every later one would sit behind them, out of reach of the next replay. Not at open:
  // another process may be appending to the log, and the part of a record its buffer has
  // written out is not a torn tail; so the cut happens only if the file still has the length
  // seen at open.
  void cut_tail_before_first_write(uint64_t open_len, uint64_t decodable_len) {
    cut_pending_ = open_len > decodable_len;
    open_len_ = open_len;
    cut_to_ = decodable_len;
  }

  Status append_insert(std::string_view id, float lat, float lon, const Json& meta);
  // The same with the metadata already in its logged form (PreparedMeta::log()).
  Status append_insert_encoded(std::string_view id, float lat, float lon, std::string_view meta_log);
  Status append_delete(std::string_view id);
  // A Replace record: replay deletes the live point of `id` and inserts this one, both or
  // neither (see wal.cpp).
  Status append_replace(std::string_view id, float lat, float lon, std::string_view meta_log);
  Status flush();
  // Forces what the file holds to stable storage (data only).
  Status sync();
  // Discards everything the log holds, buffered or written (in place: a reader of the file loses
  // the records; see drop_covered).
  Status empty();
  // Bytes of the log on file (the buffer not included).
  uint64_t file_len() const { return out_.written(); }
  // The descriptor of wal.bin (replaced when a persist rewrites the log).
  int fd() const { return fd_.get(); }
  // Removes the first `covered` bytes of the log, the records a new snapshot holds, and keeps
  // every record after them, written out or buffered. `dir` is the directory of wal.bin.
  Status drop_covered(int dir, uint64_t covered);
  // Drops the buffer without writing it (a forked child's copy of its parent's records).
  void abandon() { out_.discard(); }

 private:
  template <class F>
  Status append_record(F&& encode);
  Status append_point(WalEntry::Kind kind, std::string_view id, float lat, float lon, std::string_view meta_log);
  void roll_back(uint64_t logical_len);
  Status settle_tail();

  Fd fd_;
  BufWriter out_;  // its written() is the bytes of the log on file
  bool broken_ = false;  // a failed record could not be cut back off the file
  uint64_t broken_at_ = 0;
  bool cut_pending_ = false;
  uint64_t open_len_ = 0, cut_to_ = 0;
};

// Decodes one record from the reader; false on any decoding failure (including a clean end).
bool decode_wal_entry(BufReader& in, WalEntry* out);

// True for the record whose 28 bytes are all zero (an insert of "" at (0, 0) with {}): replay
// applies it only when a record that is not all zeros decodes after it (see wal.cpp).
bool is_zero_record(const WalEntry& e);

}  // namespace korvane
