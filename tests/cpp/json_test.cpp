// The JSON reader: number kinds (the literal -0 as a double), nesting limit, trailing input and
// the position that ends every error description; the compact writer's key order.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/json.h"

using korvane::Json;
using korvane::parse_json;
using korvane::parse_metadata;

namespace {

std::string error_of(const std::string& text) {
  auto r = parse_json(text);
  EXPECT_FALSE(r) << text;
  return r ? std::string() : r.error().message;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool is_negative_zero(const Json& v) {
  return v.is_number_float() && v.get<double>() == 0.0 && std::signbit(v.get<double>());
}

}  // namespace

TEST(Json, NegativeZeroIsADouble) {
  for (const char* text : {"-0", "-0 ", " -0\n", "-0.0", "-0e0"}) {
    auto r = parse_json(text);
    ASSERT_TRUE(r) << text;
    EXPECT_TRUE(is_negative_zero(*r)) << text;
  }
  auto arr = parse_json("[-0]");
  ASSERT_TRUE(arr);
  EXPECT_TRUE(is_negative_zero((*arr)[0]));
  auto obj = parse_json("{\"a\":-0}");
  ASSERT_TRUE(obj);
  EXPECT_TRUE(is_negative_zero((*obj)["a"]));
  auto two = parse_json("[-0,1, -0 ,0]");
  ASSERT_TRUE(two);
  EXPECT_TRUE(is_negative_zero((*two)[0]));
  EXPECT_TRUE((*two)[1].is_number_unsigned());
  EXPECT_TRUE(is_negative_zero((*two)[2]));
  EXPECT_TRUE((*two)[3].is_number_unsigned());
  EXPECT_FALSE(std::signbit((*two)[3].get<double>()));
  auto text = parse_json("{\"z\":[-0],\"a\":-0}");
  ASSERT_TRUE(text);
  EXPECT_EQ(korvane::dump_compact(*text), "{\"a\":-0.0,\"z\":[-0.0]}");
}

TEST(Json, NumberKinds) {
  auto r = parse_json("[0, 7, 18446744073709551615, 18446744073709551616, -1, -9223372036854775808,"
                      " -9223372036854775809, 1.5, 1e2, 1.0]");
  ASSERT_TRUE(r);
  const Json& a = *r;
  EXPECT_TRUE(a[0].is_number_unsigned());
  EXPECT_TRUE(a[1].is_number_unsigned());
  EXPECT_EQ(a[2].get<uint64_t>(), UINT64_MAX);
  EXPECT_TRUE(a[2].is_number_unsigned());
  EXPECT_TRUE(a[3].is_number_float());
  EXPECT_TRUE(a[4].is_number_integer() && !a[4].is_number_unsigned());
  EXPECT_EQ(a[5].get<int64_t>(), INT64_MIN);
  EXPECT_TRUE(a[6].is_number_float());
  EXPECT_TRUE(a[7].is_number_float());
  EXPECT_TRUE(a[8].is_number_float());
  EXPECT_TRUE(a[9].is_number_float());
}

TEST(Json, NestingLimit) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(parse_json(ok));
  EXPECT_EQ(error_of(std::string(128, '[')), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of(std::string(128, '[') + std::string(128, ']')),
            "recursion limit exceeded at line 1 column 128");
  // Objects count as levels too, and the limit is on depth, not on the number of containers.
  std::string objs;
  for (int i = 0; i < 127; ++i) objs += "{\"k\":";
  objs += '1';
  objs.append(127, '}');
  EXPECT_TRUE(parse_json(objs));
  EXPECT_EQ(error_of("{\"k\":" + objs), "recursion limit exceeded at line 1 column 636");
  std::string flat = "[";
  for (int i = 0; i < 1000; ++i) flat += i ? ",[[]]" : "[[]]";
  flat += "]";
  EXPECT_TRUE(parse_json(flat));
  EXPECT_EQ(error_of(std::string("{\"a\":\n").append(127, '[')), "recursion limit exceeded at line 2 column 127");
}

TEST(Json, ErrorsEndWithLineAndColumn) {
  for (const char* text : {"", "x", "{", "{\"a\":1,}", "[1,2", "{\"a\" 1}", "\"\\ud800\"", "01",
                           "1e400", "-1e400", "[1e999]", "{\"a\":1}\n x", "nul", "\"\x01\""}) {
    std::string msg = error_of(text);
    size_t at = msg.rfind(" at line ");
    ASSERT_NE(at, std::string::npos) << text << " -> " << msg;
    EXPECT_NE(msg.find(" column ", at), std::string::npos) << msg;
    EXPECT_EQ(msg.find("[json.exception"), std::string::npos) << msg;
    EXPECT_GT(at, 0u) << "a description comes first: " << msg;
  }
  EXPECT_TRUE(ends_with(error_of("{\"a\":1}\n\n  }"), " at line 3 column 3"));
  EXPECT_TRUE(ends_with(error_of("[1,\n2,\n"), " at line 3 column 1"));
  EXPECT_EQ(error_of("[1e999]"), "number overflow parsing '1e999' at line 1 column 6");
}

TEST(Json, TrailingInputIsRefused) {
  for (std::string text : {std::string("{} x"), std::string("{}{}"), std::string("1 2"),
                           std::string("{}\0", 3), std::string("{\"a\":1}\0junk", 12),
                           std::string("[]\0]", 4)}) {
    auto r = parse_json(text);
    EXPECT_FALSE(r) << "accepted " << text.size() << " bytes";
    if (!r) {
      EXPECT_NE(r.error().message.find(" at line 1 column "), std::string::npos);
    }
  }
  EXPECT_TRUE(parse_json(" {} \n\t\r"));
}

TEST(Json, RepeatedKeyKeepsTheLastValueAndKeysSort) {
  auto r = parse_json("{\"b\":1,\"a\":2,\"b\":3,\"B\":4,\"\xc3\xa9\":5,\"aa\":6}");
  ASSERT_TRUE(r);
  EXPECT_EQ(korvane::dump_compact(*r), "{\"B\":4,\"a\":2,\"aa\":6,\"b\":3,\"\xc3\xa9\":5}");
}

TEST(Json, MetadataMustBeAnObject) {
  EXPECT_TRUE(parse_metadata("{}"));
  for (const char* text : {"[1,2]", "5", "null", "\"s\"", "true"}) {
    auto r = parse_metadata(text);
    ASSERT_FALSE(r) << text;
    EXPECT_TRUE(ends_with(r.error().message, " at line 1 column 1")) << r.error().message;
  }
  auto r = parse_metadata("\n  [1]");
  ASSERT_FALSE(r);
  EXPECT_TRUE(ends_with(r.error().message, " at line 2 column 3")) << r.error().message;
}
