// The one-pass metadata preparation against the document's way (parse, dump compact, encode for
// the log), on random texts and random damage to them: the same bytes, fields and errors.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "persist/wal_values.h"

using korvane::Json;
using korvane::PreparedMeta;

namespace {

struct Gen {
  std::mt19937_64 rnd;
  size_t pick(size_t n) { return static_cast<size_t>(rnd() % n); }

  std::string ws() {
    static const char* spaces[] = {"", "", "", " ", "\n", "\t ", "\r\n  "};
    return spaces[pick(7)];
  }
  std::string str() {
    static const char* parts[] = {"a", "b", "kind", "Z", "é", "日本", "\\n", "\\\"", "\\\\", "\\/", "\\u0000",
                                  "\\u001f", "\\u00e9", "\\ud83d\\ude00", "\x7f", "😀", " ", "\\t", "~", "\\b"};
    std::string s = "\"";
    for (size_t k = pick(4); k > 0; --k) s += parts[pick(20)];
    return s + "\"";
  }
  std::string number() {
    static const char* nums[] = {"0", "-0", "1", "-1", "42", "4.7", "-0.0", "1e5", "1E-7", "2.5e+3", "-12.75",
                                 "18446744073709551615", "18446744073709551616", "-9223372036854775808",
                                 "-9223372036854775809", "123456789012345678901234567890", "1e308", "5e-324",
                                 "0.1", "3.14159265358979323846", "1e400", "-1e400", "1e-400"};
    return nums[pick(23)];
  }
  std::string value(int depth) {
    switch (pick(depth > 3 ? 5 : 7)) {
      case 0: return str();
      case 1: return number();
      case 2: return pick(2) ? "true" : "false";
      case 3: return "null";
      case 4: return number();
      case 5: {
        std::string s = "[" + ws();
        for (size_t k = pick(4); k > 0; --k) s += value(depth + 1) + ws() + (k > 1 ? "," + ws() : "");
        return s + "]";
      }
      default: return object(depth + 1);
    }
  }
  std::string object(int depth) {
    std::string s = "{" + ws();
    for (size_t k = pick(6); k > 0; --k)
      s += str() + ws() + ":" + ws() + value(depth) + ws() + (k > 1 ? "," + ws() : "");
    return s + "}";
  }
  std::string damaged(std::string s) {
    switch (pick(5)) {
      case 0: return s.substr(0, pick(s.size() + 1));
      case 1: s[pick(s.size())] = "{}[]\",:0-e.\\x\x80\xff \x01"[pick(17)]; return s;
      case 2: return s.insert(pick(s.size() + 1), 1, ",}]:\"\0"[pick(6)]);
      case 3: return s.erase(pick(s.size()), 1);
      default: return s + (pick(2) ? " x" : std::string(1, '\0'));
    }
  }
};

void same_as_document(const std::string& text) {
  SCOPED_TRACE(text);
  PreparedMeta fast;
  auto got = korvane::prepare_metadata(text, &fast);
  auto doc = korvane::parse_metadata(text);
  ASSERT_EQ(static_cast<bool>(got), static_cast<bool>(doc));
  if (!doc) {
    EXPECT_EQ(got.error().message, doc.error().message);
    return;
  }
  PreparedMeta slow;
  korvane::prepare_from_document(*doc, &slow);
  EXPECT_EQ(fast.text(), slow.text());
  EXPECT_EQ(fast.log(), slow.log());
  EXPECT_EQ(fast.bytes, slow.bytes);
  ASSERT_EQ(fast.fields.size(), slow.fields.size());
  for (size_t k = 0; k < fast.fields.size(); ++k) {
    const auto &a = fast.fields[k], &b = slow.fields[k];
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(fast.key(a), slow.key(b));
    EXPECT_EQ(std::memcmp(&a.num, &b.num, 4), 0);
    if (a.kind == PreparedMeta::Field::Str) EXPECT_EQ(fast.value(a), slow.value(b));
  }
  // The pieces cover the log part exactly, in order.
  std::vector<uint32_t> ends;
  korvane::log_pieces(fast.log(), &ends);
  ASSERT_FALSE(ends.empty());
  EXPECT_EQ(ends.back(), fast.log_len);
  for (size_t k = 1; k < ends.size(); ++k) EXPECT_LE(ends[k - 1], ends[k]);
}

TEST(PreparedMeta, MatchesTheDocumentOnRandomAndDamagedTexts) {
  Gen g{std::mt19937_64(7)};
  for (int n = 0; n < 20000; ++n) {
    std::string text = g.ws() + g.object(1) + g.ws();
    same_as_document(text);
    same_as_document(g.damaged(text));
  }
}

TEST(PreparedMeta, NestingAtAndBeyondTheLimit) {
  for (int depth : {120, 126, 127, 128, 200}) {
    std::string text(static_cast<size_t>(depth) - 1, '[');
    text = "{\"k\":" + text + std::string(static_cast<size_t>(depth) - 1, ']') + "}";
    same_as_document(text);
  }
  same_as_document("\xEF\xBB\xBF{\"a\":1}");  // a byte order mark
  same_as_document("[1]");
  same_as_document("");
}

}  // namespace
