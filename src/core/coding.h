// coding.h: little-endian fixed-width integers, and the buffered file writer and reader that the
// log and the snapshot are written and read through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/error.h"

namespace korvane {

inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }  // little-endian hosts only
inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline uint32_t load_u32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t load_u64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline uint16_t load_u16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the storage formats are little-endian");

// The little-endian building blocks of every stored format (log, snapshot, record files,
// bitmaps and numeric fields), written to the sink that derives from it through its
// put(p, n): a byte string (StringSink) or a file behind a buffer (BufWriter). When the sink's put
// can fail, each piece returns its Status.
template <class Sink>
class LittleEndian {
 public:
  auto u8(uint8_t v) { return sink().put(&v, 1); }
  auto u16(uint16_t v) { return sink().put(&v, 2); }
  auto u32(uint32_t v) { return sink().put(&v, 4); }
  auto u64(uint64_t v) { return sink().put(&v, 8); }
  auto f32(float v) { return sink().put(&v, 4); }
  auto f64(double v) { return sink().put(&v, 8); }
  // A u64 byte count, then the bytes.
  auto text(std::string_view s) {
    if constexpr (std::is_void_v<decltype(sink().put(s.data(), s.size()))>) {
      u64(s.size());
      sink().put(s.data(), s.size());
    } else {
      Status count = u64(s.size());
      if (!count) return count;
      return sink().put(s.data(), s.size());
    }
  }

 private:
  Sink& sink() { return static_cast<Sink&>(*this); }
};

// Appends pieces to a byte string the caller owns (a record or a value encoded before it is
// handed on).
struct StringSink : LittleEndian<StringSink> {
  explicit StringSink(std::string& s) : out(s) {}
  std::string& out;
  void put(const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }
};

// A write buffer in front of a file descriptor. Each piece that fits in the free space is copied;
// otherwise the buffer is written out first, then a piece at least as large as the whole buffer
// goes straight to the file and a smaller one into the emptied buffer. Whatever reaches the file
// leaves the buffer, also when a write fails part way; what did not stays. Errors are Os, with
// `what` as their context.
class BufWriter : public LittleEndian<BufWriter> {
 public:
  BufWriter(int fd, size_t capacity, const char* what = "write", uint64_t written = 0)
      : fd_(fd), cap_(capacity), what_(what), written_(written) {
    buf_.reserve(capacity);
  }
  void set_fd(int fd) { fd_ = fd; }
  Status put(const void* p, size_t n);
  Status flush();
  void discard() { buf_.clear(); }
  size_t buffered() const { return buf_.size(); }
  size_t room() const { return cap_ - buf_.size(); }
  // Buffers a piece the caller knows fits (n <= room()).
  void put_fitting(const void* p, size_t n) { buf_.append(static_cast<const char*>(p), n); }
  // Keeps only the first n buffered bytes (n <= buffered()).
  void keep_buffered(size_t n) { buf_.resize(n); }
  // The bytes written to the file: those written through this writer, counted from the number
  // given at construction or by set_written.
  uint64_t written() const { return written_; }
  void set_written(uint64_t n) { written_ = n; }

 private:
  Status write_out(const char* p, size_t n);
  int fd_;
  size_t cap_;
  const char* what_;
  uint64_t written_;
  std::string buf_;
};

// A bounded reader over a file read through a fixed buffer. Every count read from the file is
// checked against `remaining()` before anything is allocated for it.
class BufReader {
 public:
  // Reads the file from byte `start` (its position counts from the file's start) to `file_len`.
  BufReader(int fd, uint64_t file_len, size_t capacity = 8192, uint64_t start = 0)
      : fd_(fd), file_len_(file_len), pos_(start), file_pos_(start), buf_(capacity) {}
  bool read(void* dst, size_t n);
  bool u8(uint8_t* v) { return read(v, 1); }
  bool u32(uint32_t* v) { return read(v, 4); }
  bool u64(uint64_t* v) { return read(v, 8); }
  bool f32(float* v) { return read(v, 4); }
  bool f64(double* v) { return read(v, 8); }
  // Reads a u64-counted text; fails when the count runs past the end of the file.
  bool text(std::string* s);
  uint64_t position() const { return pos_; }
  uint64_t remaining() const { return file_len_ - pos_; }

 private:
  bool fill();
  int fd_;
  uint64_t file_len_;
  uint64_t pos_ = 0;       // logical position: the file's bytes consumed by the caller
  uint64_t file_pos_ = 0;  // the file's bytes read so far
  std::vector<char> buf_;
  size_t head_ = 0, tail_ = 0;
};

bool valid_utf8(const uint8_t* p, size_t n);

}  // namespace korvane
