// Encoders and invariants that the Python suite cannot reach directly.
#include <gtest/gtest.h>

#include "core/coding.h"

TEST(Utf8, AcceptsAndRejects) {
  auto ok = [](const char* s) { return korvane::valid_utf8(reinterpret_cast<const uint8_t*>(s), strlen(s)); };
  EXPECT_TRUE(ok("plain ascii text that is long enough"));
  EXPECT_TRUE(ok("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_FALSE(ok("\xc0\xaf"));          // overlong
  EXPECT_FALSE(ok("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(ok("abcdefgh\xe2\x82"));  // cut short after the fast path
  EXPECT_FALSE(ok("\xf4\x90\x80\x80"));  // beyond U+10FFFF
}
