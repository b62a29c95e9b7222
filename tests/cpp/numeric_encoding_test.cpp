// The order-keeping image of a 32-bit float that the numeric index stores, and the narrowing of
// JSON numbers to 32-bit floats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/numeric_bsi.h"

using korvane::decode_f32;
using korvane::encode_f32;
using korvane::narrow_to_f32;

namespace {

float from_bits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}
uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

}  // namespace

TEST(FloatEncoding, Table) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(encode_f32(-inf), 0x007FFFFFu);
  EXPECT_EQ(encode_f32(-2.0f), 0x3FFFFFFFu);
  EXPECT_EQ(encode_f32(-1.0f), 0x407FFFFFu);
  EXPECT_EQ(encode_f32(-0.0f), 0x7FFFFFFFu);
  EXPECT_EQ(encode_f32(0.0f), 0x80000000u);
  EXPECT_EQ(encode_f32(0.5f), 0xBF000000u);
  EXPECT_EQ(encode_f32(1.0f), 0xBF800000u);
  EXPECT_EQ(encode_f32(inf), 0xFF800000u);
}

TEST(FloatEncoding, OrderOverASweep) {
  // Every non-NaN float from a sweep of bit patterns plus the special values, sorted by value,
  // must come out strictly ascending when encoded (equal values only for equal bit patterns).
  std::vector<float> xs = {-std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::max(),
                           -1.0f,
                           -std::numeric_limits<float>::min(),
                           -std::numeric_limits<float>::denorm_min(),
                           -0.0f,
                           0.0f,
                           std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::min(),
                           1.0f,
                           std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::infinity()};
  for (uint64_t b = 0; b <= 0xFFFFFFFFull; b += 0x10001) {
    float f = from_bits(static_cast<uint32_t>(b));
    if (!std::isnan(f)) xs.push_back(f);
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    float f = from_bits(static_cast<uint32_t>(rng()));
    if (!std::isnan(f)) xs.push_back(f);
  }
  for (size_t i = 0; i < xs.size(); ++i) {
    float a = xs[i], b = xs[(i * 7919 + 1) % xs.size()];
    uint32_t ea = encode_f32(a), eb = encode_f32(b);
    if (a < b) {
      EXPECT_LT(ea, eb) << a << " " << b;
    } else if (b < a) {
      EXPECT_LT(eb, ea) << a << " " << b;
    } else if (bits(a) == bits(b)) {
      EXPECT_EQ(ea, eb);
    } else {
      // -0 and +0: equal as numbers, neighbours as encodings, -0 below.
      EXPECT_EQ(ea < eb, std::signbit(a));
      EXPECT_EQ((ea < eb ? eb - ea : ea - eb), 1u);
    }
  }
  // Neighbouring bit patterns of one sign are neighbouring encodings.
  EXPECT_EQ(encode_f32(from_bits(0x3F800001)), encode_f32(1.0f) + 1);
  EXPECT_EQ(encode_f32(from_bits(0xBF800001)), encode_f32(-1.0f) - 1);
  EXPECT_EQ(encode_f32(-0.0f) + 1, encode_f32(0.0f));
}

TEST(FloatEncoding, DecodeInvertsEncode) {
  std::mt19937 rng(11);
  for (int i = 0; i < 100000; ++i) {
    uint32_t b = static_cast<uint32_t>(rng());
    EXPECT_EQ(bits(decode_f32(encode_f32(from_bits(b)))), b);
  }
  EXPECT_EQ(bits(decode_f32(0x7FFFFFFFu)), 0x80000000u);
  EXPECT_EQ(bits(decode_f32(0x80000000u)), 0u);
}

TEST(Narrowing, NearestFloatAndInfinityBeyondTheRange) {
  EXPECT_EQ(narrow_to_f32(16777217.0), 16777216.0f);  // tie to even
  EXPECT_EQ(narrow_to_f32(16777219.0), 16777220.0f);  // tie to even, upwards
  EXPECT_EQ(narrow_to_f32(0.1), 0.1f);
  EXPECT_EQ(bits(narrow_to_f32(-0.0)), 0x80000000u);
  const double fmax = std::numeric_limits<float>::max();
  EXPECT_EQ(narrow_to_f32(fmax), std::numeric_limits<float>::max());
  // Just below the midpoint between the largest float and 2^128 stays finite; the midpoint
  // itself and beyond become infinity.
  EXPECT_EQ(narrow_to_f32(0x1.fffffefffffffp127), std::numeric_limits<float>::max());
  EXPECT_TRUE(std::isinf(narrow_to_f32(0x1.ffffffp127)));
  EXPECT_TRUE(std::isinf(narrow_to_f32(1e39)));
  EXPECT_EQ(narrow_to_f32(-1e300), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(narrow_to_f32(1e-50), 0.0f);
  EXPECT_EQ(bits(narrow_to_f32(-1e-50)), 0x80000000u);
  EXPECT_TRUE(std::isnan(narrow_to_f32(std::nan(""))));
}
