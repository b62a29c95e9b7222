#include "core/json.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

namespace korvane {
namespace {

// An input iterator over the text that publishes how far the parser has read, so that errors
// the parser does not position itself (nesting, range) get a line and column too.
struct TrackingIter {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* p;
  const char** cursor;
  reference operator*() const { return *p; }
  TrackingIter& operator++() {
    ++p;
    *cursor = p;
    return *this;
  }
  TrackingIter operator++(int) {
    TrackingIter t = *this;
    ++*this;
    return t;
  }
  bool operator==(const TrackingIter& o) const { return p == o.p; }
  bool operator!=(const TrackingIter& o) const { return p != o.p; }
};

struct LineColumn {
  size_t line = 1, column = 0;
};

// Where the parser stands after reading `consumed` bytes: lines counted from 1 by line feeds, the
// column in bytes since the last one. The parser counts reading the end of the input as a byte
// too, so a count past the end adds to the column.
LineColumn line_column(std::string_view text, size_t consumed) {
  LineColumn at;
  for (size_t i = 0; i < consumed; ++i) {
    if (i < text.size() && text[i] == '\n') {
      ++at.line;
      at.column = 0;
    } else {
      ++at.column;
    }
  }
  return at;
}

std::string position_text(LineColumn at) {
  return " at line " + std::to_string(at.line) + " column " + std::to_string(at.column);
}

std::string at_position(std::string_view text, size_t consumed) {
  return position_text(line_column(text, consumed));
}

// Whether a token the parser read is a whole number literal.
bool number_literal(std::string_view t) {
  size_t i = 0, n = t.size();
  auto digits = [&] {
    size_t from = i;
    while (i < n && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < n && t[i] == '-') ++i;
  if (i < n && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < n && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == n;
}

// Builds the value and enforces the nesting limit and the number rules.
class Builder {
 public:
  Builder(std::string_view text, const char** cursor) : text_(text), cursor_(cursor) {}

  bool null() { return put(Json(nullptr)); }
  bool boolean(bool v) { return put(Json(v)); }
  bool number_integer(int64_t v) {
    // The parser hands non-negative integers to number_unsigned, so a signed zero can only be
    // the literal -0, which is a double.
    if (v == 0) return put(Json(-0.0));
    return put(Json(v));
  }
  bool number_unsigned(uint64_t v) { return put(Json(v)); }
  bool number_float(double v, const std::string&) {
    if (!std::isfinite(v)) return fail("number out of range");
    return put(Json(v));
  }
  bool string(std::string& v) { return put(Json(std::move(v))); }
  bool binary(Json::binary_t&) { return fail("unexpected binary value"); }
  bool start_object(std::size_t) {
    if (++depth_ > kMaxJsonDepth) return fail("recursion limit exceeded");
    return open(Json::object());
  }
  bool key(std::string& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    if (++depth_ > kMaxJsonDepth) return fail("recursion limit exceeded");
    return open(Json::array());
  }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string& last_token, const Json::exception& ex) {
    // The description exists only in the exception's text: "[json.exception.KIND.N] " then, for
    // a syntax error, "parse error at line L, column C: " before it. That text is read for the
    // description alone; the position comes from the count of bytes read.
    std::string_view what = ex.what();
    size_t name_end = what.find("] ");
    if (what.starts_with("[json.exception.") && name_end != std::string_view::npos) what.remove_prefix(name_end + 2);
    size_t colon = what.find(": ");
    if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
    error_.assign(what);
    if (dynamic_cast<const Json::parse_error*>(&ex) == nullptr) {
      // Other kinds (a number beyond the double range) are reported once the token is read.
      error_ += at_position(text_, std::min(position, text_.size()));
      return false;
    }
    LineColumn at = line_column(text_, position);
    // The parser finds a number's end by reading one byte past it and handing it back; a line
    // feed handed back leaves the column at 0 (the line is right).
    if (position < text_.size() && text_[position] == '\n' && number_literal(last_token)) at.column = 0;
    error_ += position_text(at);
    return false;
  }

  Json root;
  std::string error_;

 private:
  size_t consumed() const { return static_cast<size_t>(*cursor_ - text_.data()); }

  bool fail(const char* what) {
    error_ = std::string(what) + at_position(text_, consumed());
    return false;
  }

  Json* target() {
    if (stack_.empty()) return &root;
    Json* top = stack_.back();
    if (top->is_array()) {
      top->push_back(Json());
      return &top->back();
    }
    return &(*top)[key_];  // a repeated key keeps its last value
  }
  bool put(Json v) {
    *target() = std::move(v);
    return true;
  }
  bool open(Json v) {
    Json* t = target();
    *t = std::move(v);
    stack_.push_back(t);
    return true;
  }
  bool close() {
    stack_.pop_back();
    --depth_;
    return true;
  }

  std::string_view text_;
  const char** cursor_;
  std::vector<Json*> stack_;
  std::string key_;
  int depth_ = 0;
};

}  // namespace

Result<Json> parse_json(std::string_view text) {
  const char* cursor = text.data();
  TrackingIter first{text.data(), &cursor};
  TrackingIter last{text.data() + text.size(), &cursor};
  Builder b(text, &cursor);
  bool ok = Json::sax_parse(first, last, &b, nlohmann::json::input_format_t::json, true);
  if (!ok) {
    if (b.error_.empty()) b.error_ = "invalid JSON" + at_position(text, text.size());
    return Error::json(std::move(b.error_));
  }
  // The parser takes a NUL byte for the end of its input. Inside a string it is refused as a
  // control character, and before a complete value it ends the value early, so a NUL in
  // accepted text is always the start of trailing characters.
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos)
    return Error::json("syntax error while parsing value - unexpected character U+0000; expected end of input" +
                       at_position(text, nul + 1));
  return std::move(b.root);
}

Result<Json> parse_metadata(std::string_view text) {
  auto r = parse_json(text);
  if (!r) return r;
  if (!r->is_object()) {
    size_t start = 0;
    while (start < text.size() &&
           (text[start] == ' ' || text[start] == '\t' || text[start] == '\n' || text[start] == '\r'))
      ++start;
    std::string where = at_position(text, start + 1);
    return Error::json("invalid type: expected a JSON object" + where);
  }
  return r;
}

std::string dump_compact(const Json& v) { return v.dump(); }

}  // namespace korvane
