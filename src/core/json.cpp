#include "core/json.h"

#include <cmath>
#include <cstdlib>
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

std::string at_position(std::string_view text, size_t consumed) {
  size_t line = 1, col = 0;
  for (size_t i = 0; i < consumed && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      col = 0;
    } else {
      ++col;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(col);
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
  bool parse_error(std::size_t position, const std::string&, const Json::exception& ex) {
    // The parser's message reads "[json.exception.parse_error.N] parse error at line L, column C:
    // <description>"; keep the description and its position. Other kinds (a number beyond the
    // double range) read "[json.exception.out_of_range.N] <description>" and carry no position:
    // the parser's count of characters read gives it.
    std::string what = ex.what();
    if (what.rfind("[json.exception.", 0) == 0) {
      size_t close = what.find("] ");
      if (close != std::string::npos) what.erase(0, close + 2);
    }
    size_t line = 0, col = 0;
    size_t at = what.find(" at line ");
    size_t colon = what.find(": ", at == std::string::npos ? 0 : at);
    if (at != std::string::npos) {
      const char* s = what.c_str() + at + 9;
      char* end = nullptr;
      line = std::strtoull(s, &end, 10);
      size_t cpos = what.find("column ", at);
      if (cpos != std::string::npos) col = std::strtoull(what.c_str() + cpos + 7, nullptr, 10);
    }
    std::string desc = colon == std::string::npos ? what : what.substr(colon + 2);
    if (at != std::string::npos)
      error_ = desc + " at line " + std::to_string(line) + " column " + std::to_string(col);
    else
      error_ = desc + at_position(text_, position < text_.size() ? position : text_.size());
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
