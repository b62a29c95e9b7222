#include "core/coding.h"

#include <unistd.h>

#include <cerrno>

#include "core/fd.h"

namespace korvane {

Status BufWriter::write_out(const char* p, size_t n) { return write_all(fd_, p, n, what_, &written_); }

Status BufWriter::put(const void* p, size_t n) {
  if (n <= cap_ - buf_.size()) {
    buf_.append(static_cast<const char*>(p), n);
    return {};
  }
  KV_TRY(flush());
  if (n >= cap_) return write_out(static_cast<const char*>(p), n);
  buf_.append(static_cast<const char*>(p), n);
  return {};
}

Status BufWriter::flush() {
  if (buf_.empty()) return {};
  // On failure the bytes that did not reach the file stay: a record is never half-dropped
  // silently.
  uint64_t before = written_;
  auto s = write_out(buf_.data(), buf_.size());
  buf_.erase(0, static_cast<size_t>(written_ - before));
  return s;
}

bool BufReader::fill() {
  head_ = 0;
  tail_ = 0;
  if (file_pos_ >= file_len_) return false;
  size_t want = buf_.size();
  if (file_len_ - file_pos_ < want) want = static_cast<size_t>(file_len_ - file_pos_);
  if (!pread_exact(fd_, buf_.data(), want, file_pos_)) return false;
  file_pos_ += want;
  tail_ = want;
  return true;
}

bool BufReader::read(void* dst, size_t n) {
  if (n > remaining()) return false;
  auto* out = static_cast<char*>(dst);
  while (n > 0) {
    if (head_ == tail_) {
      // Large pieces bypass the buffer.
      if (n >= buf_.size()) {
        if (!pread_exact(fd_, out, n, file_pos_)) return false;
        file_pos_ += n;
        pos_ += n;
        return true;
      }
      if (!fill()) return false;
    }
    size_t take = tail_ - head_;
    if (take > n) take = n;
    std::memcpy(out, buf_.data() + head_, take);
    head_ += take;
    out += take;
    n -= take;
    pos_ += take;
  }
  return true;
}

bool BufReader::text(std::string* s) {
  uint64_t n;
  if (!u64(&n) || n > remaining()) return false;
  s->resize(static_cast<size_t>(n));
  if (!read(s->data(), static_cast<size_t>(n))) return false;
  return valid_utf8(reinterpret_cast<const uint8_t*>(s->data()), s->size());
}

bool valid_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      uint8_t d = p[i + k];
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

}  // namespace korvane
