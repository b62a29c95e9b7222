// The log's values, in the encoding wal.cpp describes: their decoder, and metadata made ready for
// insertion, whose log part is that encoding.
//
// One pass over a metadata text yields what parsing it to a document, dumping that compact
// and encoding it for the log would. The pass takes only plain, well-formed JSON objects; any
// text it is unsure of (an error of any kind, a byte order mark, nesting near the limit, a number
// out of range) goes the document's way, so that results and error messages stay those of
// parse_metadata.
#include "persist/wal_values.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "core/coding.h"
#include "core/numeric_bsi.h"

namespace korvane {
namespace {

// The two-character escapes, as (byte, letter after the reverse solidus). The compact writer
// uses them for these bytes and \u00XX for the other control characters; the reader also takes
// "\/" for the solidus.
constexpr std::pair<char, char> kShortEscapes[] = {
    {'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}};

// Byte -> its escape letter (0 for none) when `by_byte`, else escape letter -> its byte.
constexpr std::array<char, 256> escape_table(bool by_byte) {
  std::array<char, 256> t{};
  for (auto [byte, letter] : kShortEscapes)
    t[static_cast<unsigned char>(by_byte ? byte : letter)] = by_byte ? letter : byte;
  return t;
}
constexpr std::array<char, 256> kEscapeLetter = escape_table(true);
constexpr std::array<char, 256> kUnescaped = escape_table(false);

// The compact writer's escaping: quotation mark, reverse solidus and control characters; every
// other byte as it is.
void put_escaped(std::string& out, std::string_view s) {
  size_t from = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + from, i - from);
    from = i + 1;
    if (char letter = kEscapeLetter[c]) {
      char e[2] = {'\\', letter};
      out.append(e, 2);
    } else {
      static const char hex[] = "0123456789abcdef";
      char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
      out.append(u, 6);
    }
  }
  out.append(s.data() + from, s.size() - from);
}

// A finite double as the compact writer (dump_compact) writes it: the library's own shortest
// form, which always has a fraction or an exponent ("1.0", "1e+100").
void put_double_text(std::string& out, double d) { out.append(Json(d).dump()); }

template <class T>
void put_integer_text(std::string& out, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

// strtod over a number's text, which is not followed by a NUL where it lies.
double read_double(const char* start, size_t n) {
  char buf[64];
  if (n < sizeof buf) {
    std::memcpy(buf, start, n);
    buf[n] = '\0';
    return std::strtod(buf, nullptr);
  }
  return std::strtod(std::string(start, n).c_str(), nullptr);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void put_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The pass. Values leave their compact text and log bytes at the end of text_ and log_, each a
// contiguous range; a container gathers its members' ranges and writes itself out after them.
class FastPass {
 public:
  bool run(std::string_view in, PreparedMeta* out);

 private:
  struct Range {
    uint32_t at = 0, len = 0;
  };
  struct Member {
    Range key;            // decoded, in names_ (objects only)
    Range text, log;      // the value's fragments
    uint8_t kind = kLogNull;  // the value's log kind
    float num = 0;         // numbers: the value as the numeric index keeps it
    Range str;             // strings and booleans: the value in names_
  };

  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool string(Range* decoded);
  // After "\\u": the code point (a surrogate pair read whole) into names_ as UTF-8.
  bool unicode_escape();
  bool number(Member* m);
  template <class T>
  bool put_number(Member* m, uint8_t kind, T v);
  bool value(int depth, Member* m);
  bool object(int depth, bool top, Member* m);
  bool array(int depth, Member* m);
  // After a container's opening bracket: its members, each read by one(), up to `close`.
  template <class One>
  bool members(char close, One&& one);
  // The members from `base` on, by key (a repeated key keeping its last value), as positions
  // appended to order_; returns where they start.
  size_t order_by_key(size_t base);
  // The top-level object's text, log part and index fields into out_.
  void publish(const Member& m, size_t first, size_t kept);
  std::string_view key_of(uint32_t k) const {
    return std::string_view(names_.data() + members_[k].key.at, members_[k].key.len);
  }
  Range mark(const std::string& s, size_t from) const {
    return {static_cast<uint32_t>(from), static_cast<uint32_t>(s.size() - from)};
  }

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  std::string names_, text_, log_;
  std::vector<Member> members_;  // a stack: each open container's members
  std::vector<uint32_t> order_;
  PreparedMeta* out_ = nullptr;
};

bool FastPass::unicode_escape() {
  auto quad = [&](uint32_t* v) {
    if (end_ - p_ < 4) return false;
    uint32_t x = 0;
    for (int k = 0; k < 4; ++k) {
      int d = hex_digit(p_[k]);
      if (d < 0) return false;
      x = (x << 4) | static_cast<uint32_t>(d);
    }
    p_ += 4;
    *v = x;
    return true;
  };
  uint32_t cp;
  if (!quad(&cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    uint32_t lo;
    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
    p_ += 2;
    if (!quad(&lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
  }
  put_utf8(names_, cp);
  return true;
}

bool FastPass::string(Range* decoded) {
  // At the opening quotation mark.
  ++p_;
  size_t from = names_.size();
  const char* run = p_;
  bool high = false;
  for (;;) {
    if (p_ >= end_) return false;
    auto c = static_cast<unsigned char>(*p_);
    if (c == '"') break;
    if (c < 0x20) return false;
    if (c >= 0x80) high = true;
    if (c != '\\') {
      ++p_;
      continue;
    }
    names_.append(run, static_cast<size_t>(p_ - run));
    if (end_ - p_ < 2) return false;
    char e = p_[1];
    p_ += 2;
    if (char byte = kUnescaped[static_cast<unsigned char>(e)]) {
      names_.push_back(byte);
    } else if (e == '/') {
      names_.push_back('/');
    } else if (e != 'u' || !unicode_escape()) {
      return false;
    }
    run = p_;
  }
  names_.append(run, static_cast<size_t>(p_ - run));
  ++p_;  // the closing quotation mark
  *decoded = mark(names_, from);
  if (high && !valid_utf8(reinterpret_cast<const uint8_t*>(names_.data() + from), decoded->len)) return false;
  return true;
}

// A number's value at the end of text_ and log_, as the compact writer and the log would have it.
template <class T>
bool FastPass::put_number(Member* m, uint8_t kind, T v) {
  size_t text_from = text_.size(), log_from = log_.size();
  StringSink log(log_);
  log.u8(kind);
  if constexpr (std::is_same_v<T, double>) {
    put_double_text(text_, v);
    log.f64(v);
  } else {
    put_integer_text(text_, v);
    log.u64(static_cast<uint64_t>(v));
  }
  m->kind = kind;
  m->num = narrow_to_f32(static_cast<double>(v));
  m->text = mark(text_, text_from);
  m->log = mark(log_, log_from);
  return true;
}

bool FastPass::number(Member* m) {
  const char* start = p_;
  bool neg = false;
  if (*p_ == '-') {
    neg = true;
    ++p_;
  }
  auto digit = [&] { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; };
  if (!digit()) return false;
  if (*p_ == '0') {
    ++p_;
  } else {
    while (digit()) ++p_;
  }
  bool integral = true;
  if (p_ < end_ && *p_ == '.') {
    integral = false;
    ++p_;
    if (!digit()) return false;
    while (digit()) ++p_;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    integral = false;
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (!digit()) return false;
    while (digit()) ++p_;
  }
  if (integral) {
    // Integers that fit 64 bits keep their type; the literal -0 is the double -0.0, and an
    // integer too large for 64 bits is read as a double.
    uint64_t mag = 0;
    bool fits = true;
    for (const char* q = start + (neg ? 1 : 0); q < p_; ++q) {
      auto d = static_cast<uint64_t>(*q - '0');
      if (mag > (UINT64_MAX - d) / 10) {
        fits = false;
        break;
      }
      mag = mag * 10 + d;
    }
    if (fits && !neg) return put_number(m, kLogU64, mag);
    if (fits && neg && mag != 0 && mag <= uint64_t{1} << 63)
      return put_number(m, kLogI64, mag == uint64_t{1} << 63 ? INT64_MIN : -static_cast<int64_t>(mag));
  }
  double d;
  if (neg && integral && p_ - start == 2 && start[1] == '0') {
    d = -0.0;
  } else {
    d = read_double(start, static_cast<size_t>(p_ - start));
    if (!std::isfinite(d)) return false;
  }
  return put_number(m, kLogF64, d);
}

bool FastPass::value(int depth, Member* m) {
  if (p_ >= end_) return false;
  size_t text_from = text_.size(), log_from = log_.size();
  auto literal = [&](const char* word, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    text_.append(word, n);
    return true;
  };
  switch (*p_) {
    case '{':
      return object(depth + 1, false, m);
    case '[':
      return array(depth + 1, m);
    case '"': {
      Range s;
      if (!string(&s)) return false;
      text_.push_back('"');
      put_escaped(text_, std::string_view(names_.data() + s.at, s.len));
      text_.push_back('"');
      log_.push_back(static_cast<char>(kLogStr));
      StringSink(log_).u64(s.len);
      log_.append(names_, s.at, s.len);
      m->kind = kLogStr;
      m->str = s;
      break;
    }
    case 't':
    case 'f': {
      bool v = *p_ == 't';
      if (!(v ? literal("true", 4) : literal("false", 5))) return false;
      log_.push_back(static_cast<char>(kLogBool));
      log_.push_back(v ? 1 : 0);
      size_t at = names_.size();
      names_.append(v ? "true" : "false");
      m->kind = kLogBool;
      m->str = mark(names_, at);
      break;
    }
    case 'n':
      if (!literal("null", 4)) return false;
      log_.push_back(static_cast<char>(kLogNull));
      m->kind = kLogNull;
      break;
    default:
      if (*p_ != '-' && (*p_ < '0' || *p_ > '9')) return false;
      return number(m);
  }
  m->text = mark(text_, text_from);
  m->log = mark(log_, log_from);
  return true;
}

template <class One>
bool FastPass::members(char close, One&& one) {
  ++p_;
  skip_ws();
  if (p_ < end_ && *p_ == close) {
    ++p_;
    return true;
  }
  for (;;) {
    skip_ws();
    Member e;
    if (!one(&e)) return false;
    members_.push_back(e);
    skip_ws();
    if (p_ >= end_) return false;
    if (*p_ == close) {
      ++p_;
      return true;
    }
    if (*p_ != ',') return false;
    ++p_;
  }
}

bool FastPass::array(int depth, Member* m) {
  if (depth > kMaxJsonDepth - 1) return false;  // near the limit: the document's way decides
  size_t base = members_.size();
  if (!members(']', [&](Member* e) { return value(depth, e); })) return false;
  size_t text_from = text_.size(), log_from = log_.size();
  text_.push_back('[');
  log_.push_back(static_cast<char>(kLogArr));
  StringSink(log_).u64(members_.size() - base);
  for (size_t k = base; k < members_.size(); ++k) {
    if (k > base) text_.push_back(',');
    text_.append(text_, members_[k].text.at, members_[k].text.len);
    log_.append(log_, members_[k].log.at, members_[k].log.len);
  }
  text_.push_back(']');
  members_.resize(base);
  m->kind = kLogArr;
  m->text = mark(text_, text_from);
  m->log = mark(log_, log_from);
  return true;
}

size_t FastPass::order_by_key(size_t base) {
  // A stable sort, then the last of each run of equal keys.
  size_t first = order_.size();
  for (size_t k = base; k < members_.size(); ++k) order_.push_back(static_cast<uint32_t>(k));
  auto before = [&](uint32_t x, uint32_t y) { return key_of(x) < key_of(y); };
  const size_t n = order_.size() - first;  // 0 for {}: no iterator may step past the end then
  if (n > 16) {
    std::stable_sort(order_.begin() + static_cast<std::ptrdiff_t>(first), order_.end(), before);
  } else {
    // Objects are small: an insertion sort, stable and without a buffer.
    for (size_t i = first + 1; i < order_.size(); ++i)
      for (size_t j = i; j > first && before(order_[j], order_[j - 1]); --j) std::swap(order_[j], order_[j - 1]);
  }
  size_t kept = first;
  for (size_t k = first; k < order_.size(); ++k) {
    if (k + 1 < order_.size() && key_of(order_[k]) == key_of(order_[k + 1])) continue;
    order_[kept++] = order_[k];
  }
  order_.resize(kept);
  return first;
}

void FastPass::publish(const Member& m, size_t first, size_t kept) {
  // The result: text, log part, then the names the index fields point to.
  std::string& bytes = out_->bytes;
  bytes.clear();
  bytes.append(text_, m.text.at, m.text.len);
  bytes.append(log_, m.log.at, m.log.len);
  out_->text_len = m.text.len;
  out_->log_len = m.log.len;
  out_->fields.clear();
  for (size_t k = first; k < kept; ++k) {
    const Member& e = members_[order_[k]];
    PreparedMeta::Field f{};
    if (e.kind == kLogStr || e.kind == kLogBool) {
      f.kind = PreparedMeta::Field::Str;
    } else if (e.kind == kLogU64 || e.kind == kLogI64 || e.kind == kLogF64) {
      f.kind = PreparedMeta::Field::Num;
      f.num = e.num;
    } else {
      continue;  // null, arrays and objects stay in the text only
    }
    f.key_at = static_cast<uint32_t>(bytes.size());
    f.key_len = e.key.len;
    bytes.append(names_, e.key.at, e.key.len);
    if (f.kind == PreparedMeta::Field::Str) {
      f.val_at = static_cast<uint32_t>(bytes.size());
      f.val_len = e.str.len;
      bytes.append(names_, e.str.at, e.str.len);
    }
    out_->fields.push_back(f);
  }
}

bool FastPass::object(int depth, bool top, Member* m) {
  if (depth > kMaxJsonDepth - 1) return false;
  size_t base = members_.size();
  bool read = members('}', [&](Member* e) {
    if (p_ >= end_ || *p_ != '"') return false;
    if (!string(&e->key)) return false;
    skip_ws();
    if (p_ >= end_ || *p_ != ':') return false;
    ++p_;
    skip_ws();
    return value(depth, e);
  });
  if (!read) return false;
  // Keys in ascending byte order, a repeated key keeping its last value.
  size_t first = order_by_key(base);
  size_t kept = order_.size();

  size_t text_from = text_.size(), log_from = log_.size();
  text_.push_back('{');
  if (!top) log_.push_back(static_cast<char>(kLogObj));
  StringSink(log_).u64(kept - first);
  for (size_t k = first; k < kept; ++k) {
    const Member& e = members_[order_[k]];
    if (k > first) text_.push_back(',');
    text_.push_back('"');
    put_escaped(text_, key_of(order_[k]));
    text_.append("\":");
    text_.append(text_, e.text.at, e.text.len);
    StringSink(log_).u64(e.key.len);
    log_.append(names_, e.key.at, e.key.len);
    log_.append(log_, e.log.at, e.log.len);
  }
  text_.push_back('}');
  m->kind = kLogObj;
  m->text = mark(text_, text_from);
  m->log = mark(log_, log_from);
  if (top) publish(*m, first, kept);
  order_.resize(first);
  members_.resize(base);
  return true;
}

bool FastPass::run(std::string_view in, PreparedMeta* out) {
  // Offsets are 32-bit; longer texts (far beyond what can be stored) go the document's way.
  if (in.size() >= (uint64_t{1} << 30)) return false;
  p_ = in.data();
  end_ = in.data() + in.size();
  out_ = out;
  names_.clear();
  text_.clear();
  log_.clear();
  members_.clear();
  order_.clear();
  skip_ws();
  if (p_ >= end_ || *p_ != '{') return false;
  Member top;
  if (!object(1, true, &top)) return false;
  skip_ws();
  return p_ == end_;
}

void put_log_value(std::string& log, const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      log.push_back(static_cast<char>(kLogNull));
      return;
    case Json::value_t::boolean:
      log.push_back(static_cast<char>(kLogBool));
      log.push_back(v.get<bool>() ? 1 : 0);
      return;
    case Json::value_t::number_unsigned:
      log.push_back(static_cast<char>(kLogU64));
      StringSink(log).u64(v.get<uint64_t>());
      return;
    case Json::value_t::number_integer: {
      // The parser gives signed integers only for negative literals, but a value built in code
      // may be signed and non-negative: it is logged as the u64 the decoder expects for it.
      int64_t x = v.get<int64_t>();
      log.push_back(static_cast<char>(x >= 0 ? kLogU64 : kLogI64));
      StringSink(log).u64(static_cast<uint64_t>(x));
      return;
    }
    case Json::value_t::number_float: {
      double x = v.get<double>();
      log.push_back(static_cast<char>(kLogF64));
      StringSink(log).f64(x);
      return;
    }
    case Json::value_t::string: {
      const std::string& s = v.get_ref<const std::string&>();
      log.push_back(static_cast<char>(kLogStr));
      StringSink(log).text(s);
      return;
    }
    case Json::value_t::array:
      log.push_back(static_cast<char>(kLogArr));
      StringSink(log).u64(v.size());
      for (const auto& e : v) put_log_value(log, e);
      return;
    case Json::value_t::object:
      log.push_back(static_cast<char>(kLogObj));
      StringSink(log).u64(v.size());
      for (auto it = v.begin(); it != v.end(); ++it) {
        StringSink(log).text(it.key());
        put_log_value(log, it.value());
      }
      return;
    default:
      log.push_back(static_cast<char>(kLogNull));  // binary values never come out of the parser
  }
}

// Skips one encoded value, recording its pieces; false past the end.
bool value_pieces(std::string_view log, size_t* at, std::vector<uint32_t>* ends) {
  auto piece = [&](size_t n) {
    if (n > log.size() - *at) return false;
    *at += n;
    ends->push_back(static_cast<uint32_t>(*at));
    return true;
  };
  auto count = [&](uint64_t* n) {
    if (log.size() - *at < 8) return false;
    *n = load_u64(reinterpret_cast<const uint8_t*>(log.data() + *at));
    return piece(8);
  };
  if (*at >= log.size()) return false;
  auto kind = static_cast<uint8_t>(log[*at]);
  if (!piece(1)) return false;
  uint64_t n;
  switch (kind) {
    case kLogNull: return true;
    case kLogBool: return piece(1);
    case kLogU64:
    case kLogI64:
    case kLogF64: return piece(8);
    case kLogStr: return count(&n) && piece(static_cast<size_t>(n));
    case kLogArr:
      if (!count(&n)) return false;
      for (uint64_t k = 0; k < n; ++k)
        if (!value_pieces(log, at, ends)) return false;
      return true;
    case kLogObj:
      if (!count(&n)) return false;
      for (uint64_t k = 0; k < n; ++k) {
        uint64_t len;
        if (!count(&len) || !piece(static_cast<size_t>(len)) || !value_pieces(log, at, ends)) return false;
      }
      return true;
    default:
      return false;
  }
}

// Each thread keeps its scratch space. Reached through a pointer, so that the pass's code does
// not look the thread's storage up at every member access.
thread_local std::unique_ptr<FastPass> tls_pass;

}  // namespace

void prepare_from_document(const Json& meta, PreparedMeta* out) {
  std::string text;
  try {
    text = dump_compact(meta);
  } catch (const nlohmann::json::exception&) {
    text = "{}";
  }
  std::string& bytes = out->bytes;
  bytes = std::move(text);
  out->text_len = static_cast<uint32_t>(bytes.size());
  size_t log_at = bytes.size();
  StringSink(bytes).u64(meta.size());
  for (auto it = meta.begin(); it != meta.end(); ++it) {
    StringSink(bytes).text(it.key());
    put_log_value(bytes, it.value());
  }
  out->log_len = static_cast<uint32_t>(bytes.size() - log_at);
  out->fields.clear();
  for (auto it = meta.begin(); it != meta.end(); ++it) {
    const Json& v = it.value();
    PreparedMeta::Field f{};
    std::string_view value;
    switch (v.type()) {
      case Json::value_t::string:
        f.kind = PreparedMeta::Field::Str;
        value = v.get_ref<const std::string&>();
        break;
      case Json::value_t::boolean:
        f.kind = PreparedMeta::Field::Str;
        value = v.get<bool>() ? "true" : "false";
        break;
      case Json::value_t::number_unsigned:
        f.kind = PreparedMeta::Field::Num;
        f.num = narrow_to_f32(static_cast<double>(v.get<uint64_t>()));
        break;
      case Json::value_t::number_integer:
        f.kind = PreparedMeta::Field::Num;
        f.num = narrow_to_f32(static_cast<double>(v.get<int64_t>()));
        break;
      case Json::value_t::number_float:
        f.kind = PreparedMeta::Field::Num;
        f.num = narrow_to_f32(v.get<double>());
        break;
      default:
        continue;
    }
    f.key_at = static_cast<uint32_t>(bytes.size());
    f.key_len = static_cast<uint32_t>(it.key().size());
    bytes.append(it.key());
    if (f.kind == PreparedMeta::Field::Str) {
      f.val_at = static_cast<uint32_t>(bytes.size());
      f.val_len = static_cast<uint32_t>(value.size());
      bytes.append(value);
    }
    out->fields.push_back(f);
  }
}

Status prepare_metadata(std::string_view text, PreparedMeta* out) {
  if (!tls_pass) tls_pass = std::make_unique<FastPass>();
  if (tls_pass->run(text, out)) return {};
  auto parsed = parse_metadata(text);
  if (!parsed) return parsed.error();
  prepare_from_document(*parsed, out);
  return {};
}

void log_pieces(std::string_view log, std::vector<uint32_t>* ends) {
  size_t at = 0;
  auto piece = [&](size_t n) {
    at += n;
    ends->push_back(static_cast<uint32_t>(at));
  };
  if (log.size() < 8) return;
  uint64_t m = load_u64(reinterpret_cast<const uint8_t*>(log.data()));
  piece(8);
  for (uint64_t k = 0; k < m && at + 8 <= log.size(); ++k) {
    uint64_t len = load_u64(reinterpret_cast<const uint8_t*>(log.data() + at));
    piece(8);
    if (len > log.size() - at) return;
    piece(static_cast<size_t>(len));
    if (!value_pieces(log, &at, ends)) return;
  }
}

// The decoder: every count is checked against the bytes left before anything is allocated.
namespace {

// Reads a text that must sort strictly after `prev` (keys of one object).
bool read_key(BufReader& in, std::string* key, const std::string* prev) {
  if (!in.text(key)) return false;
  return prev == nullptr || *prev < *key;
}

bool read_value(BufReader& in, Json* out, int depth);

bool read_entries(BufReader& in, Json* obj, int depth) {
  uint64_t m;
  if (!in.u64(&m)) return false;
  if (m > in.remaining() / 9) return false;  // each entry takes at least a count and a kind byte
  *obj = Json::object();
  std::string prev, key;
  for (uint64_t k = 0; k < m; ++k) {
    if (!read_key(in, &key, k == 0 ? nullptr : &prev)) return false;
    Json v;
    if (!read_value(in, &v, depth)) return false;
    (*obj)[key] = std::move(v);
    prev.swap(key);
  }
  return true;
}

bool read_value(BufReader& in, Json* out, int depth) {
  uint8_t kind;
  if (!in.u8(&kind)) return false;
  switch (kind) {
    case kLogNull:
      *out = nullptr;
      return true;
    case kLogBool: {
      uint8_t b;
      if (!in.u8(&b) || b > 1) return false;
      *out = b == 1;
      return true;
    }
    case kLogU64: {
      uint64_t x;
      if (!in.u64(&x)) return false;
      *out = x;
      return true;
    }
    case kLogI64: {
      int64_t x;
      if (!in.read(&x, 8) || x >= 0) return false;  // non-negative integers are logged as u64
      *out = x;
      return true;
    }
    case kLogF64: {
      double x;
      if (!in.f64(&x) || !std::isfinite(x)) return false;
      *out = x;
      return true;
    }
    case kLogStr: {
      std::string s;
      if (!in.text(&s)) return false;
      *out = std::move(s);
      return true;
    }
    case kLogArr: {
      if (depth + 1 > kMaxJsonDepth) return false;
      uint64_t n;
      if (!in.u64(&n) || n > in.remaining()) return false;  // one kind byte per element at least
      *out = Json::array();
      for (uint64_t k = 0; k < n; ++k) {
        Json v;
        if (!read_value(in, &v, depth + 1)) return false;
        out->push_back(std::move(v));
      }
      return true;
    }
    case kLogObj:
      if (depth + 1 > kMaxJsonDepth) return false;
      return read_entries(in, out, depth + 1);
    default:
      return false;
  }
}

}  // namespace

bool read_log_object(BufReader& in, Json* out) { return read_entries(in, out, 1); }

}  // namespace korvane
