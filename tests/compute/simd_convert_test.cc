// Half-float conversions and the RGB8-to-planar kernel, on every target, against the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "compute/simd_reference.h"
#include "compute/simd_targets.h"
#include "qo/qo_simd.h"

namespace {

using qo::test::forEachSimdTarget;

uint32_t bitsOf(float f) { return std::bit_cast<uint32_t>(f); }
float floatOf(uint32_t bits) { return std::bit_cast<float>(bits); }

// Bit patterns that probe every rounding decision of binary32 -> binary16: all combinations of
// sign, exponent and kept mantissa bits with the interesting dropped-bit patterns, every
// rounding position of the subnormal range, and random patterns.
std::vector<float> f32Sample() {
  std::vector<float> out;
  const uint32_t low13[] = {0x0000, 0x0001, 0x0FFE, 0x0FFF, 0x1000, 0x1001, 0x1FFE, 0x1FFF};
  for (uint32_t high = 0; high < (1u << 19); ++high) {
    for (uint32_t low : low13) out.push_back(floatOf((high << 13) | low));
  }
  for (uint32_t sign = 0; sign < 2; ++sign) {
    for (uint32_t exponent = 99; exponent <= 114; ++exponent) {
      // Mantissa bits below the rounding position (all 23 once even the hidden bit drops).
      const uint32_t dropped = std::clamp<uint32_t>(126 - exponent, 13, 23);
      const uint32_t half = 1u << (dropped - 1);
      const uint32_t lowPatterns[] = {0, 1, half - 1, half, half + 1, 2 * half - 1};
      for (uint32_t kept = 0; kept < (1u << (23 - dropped)); ++kept) {
        for (uint32_t low : lowPatterns) {
          out.push_back(floatOf((sign << 31) | (exponent << 23) | (kept << dropped) | low));
        }
      }
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < (1 << 21); ++i) out.push_back(floatOf(uint32_t(rng())));
  return out;
}

TEST(simdConvert, HalfToFloatIsExactForAllHalves) {
  std::vector<uint16_t> halves(65536);
  for (uint32_t h = 0; h < 65536; ++h) halves[h] = uint16_t(h);
  std::vector<uint32_t> expected(65536);
  for (uint32_t h = 0; h < 65536; ++h) expected[h] = bitsOf(qo::ref::f16ToF32(uint16_t(h)));
  for (uint32_t h = 0; h < 65536; ++h) ASSERT_EQ(bitsOf(qo::halfToFloat(uint16_t(h))), expected[h]) << h;

  forEachSimdTarget([&] {
    std::vector<float> body(65536);
    qo::simd::f16ToF32(halves.data(), body.data(), halves.size());
    for (uint32_t h = 0; h < 65536; ++h) {
      float tail;
      qo::simd::f16ToF32(&halves[h], &tail, 1);
      ASSERT_EQ(bitsOf(body[h]), expected[h]) << "vector body, half " << h;
      ASSERT_EQ(bitsOf(tail), expected[h]) << "scalar tail, half " << h;
    }
  });
}

TEST(simdConvert, FloatToHalfMatchesReferenceOnAllRoundingCases) {
  const std::vector<float> sample = f32Sample();
  std::vector<uint16_t> expected(sample.size());
  for (size_t i = 0; i < sample.size(); ++i) expected[i] = qo::ref::f32ToF16(sample[i]);
  for (size_t i = 0; i < sample.size(); ++i) {
    ASSERT_EQ(qo::f32ToF16(sample[i]), expected[i]) << std::hex << "input bits 0x" << bitsOf(sample[i]);
  }

  forEachSimdTarget([&] {
    std::vector<uint16_t> body(sample.size());
    qo::simd::f32ToF16(sample.data(), body.data(), sample.size());
    for (size_t i = 0; i < sample.size(); ++i) {
      ASSERT_EQ(body[i], expected[i]) << std::hex << "vector body, input bits 0x" << bitsOf(sample[i]);
    }
    // The same inputs one at a time take the scalar tail.
    for (size_t i = 0; i < sample.size(); i += 97) {
      uint16_t tail;
      qo::simd::f32ToF16(&sample[i], &tail, 1);
      ASSERT_EQ(tail, expected[i]) << std::hex << "scalar tail, input bits 0x" << bitsOf(sample[i]);
    }
  });
}

TEST(simdConvert, FloatToHalfEdgeValues) {
  struct Case {
    float in;
    uint16_t out;
  };
  const Case cases[] = {
      {65520.0f, 0x7C00},                    // midpoint above the largest half: ties to even = infinity
      {65504.0f, 0x7BFF},                    // largest half
      {65519.99f, 0x7BFF},                   // just below the midpoint
      {-65520.0f, 0xFC00},                   // signed overflow
      {std::ldexp(1.0f, -25), 0x0000},       // half the smallest subnormal: ties to even zero
      {-std::ldexp(1.0f, -25), 0x8000},      // signed zero
      {1.5f * std::ldexp(1.0f, -25), 0x0001},  // rounds up to the smallest subnormal
      {std::ldexp(1.0f, -24), 0x0001},       // smallest subnormal
      {std::ldexp(3.0f, -25), 0x0002},       // 1.5 units: tie to even, up
      {std::ldexp(5.0f, -25), 0x0002},       // 2.5 units: tie to even, down
      {std::ldexp(1.0f, -14), 0x0400},       // smallest normal
      {std::ldexp(1023.5f, -24), 0x0400},    // subnormal tie that carries into the exponent
      {1.0f, 0x3C00},
      {1.0f + std::ldexp(1.0f, -11), 0x3C00},  // tie between 1 and its successor: even
      {1.0f + std::ldexp(3.0f, -11), 0x3C02},  // tie above an odd significand: up
      {INFINITY, 0x7C00},
      {-INFINITY, 0xFC00},
      {floatOf(0x7F800001), 0x7E00},  // signalling NaN with only low payload: quiet bit set
      {floatOf(0xFFC00000), 0xFE00},
      {floatOf(0x7FA02000), 0x7F01},  // top payload bits kept
      {floatOf(0x00000001), 0x0000},  // binary32 subnormals vanish
      {floatOf(0x80000001), 0x8000},
  };
  for (const Case& c : cases) EXPECT_EQ(qo::ref::f32ToF16(c.in), c.out) << "reference, input " << c.in;
  for (const Case& c : cases) EXPECT_EQ(qo::f32ToF16(c.in), c.out) << "input " << c.in;
  std::vector<float> in;
  for (int copy = 0; copy < 5; ++copy) {
    for (const Case& c : cases) in.push_back(c.in);
  }
  forEachSimdTarget([&] {
    std::vector<uint16_t> out(in.size());
    qo::simd::f32ToF16(in.data(), out.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], cases[i % std::size(cases)].out) << "position " << i;
  });
}

TEST(simdConvert, HalfToFloatEdgeValues) {
  EXPECT_EQ(bitsOf(qo::halfToFloat(0x3C00)), bitsOf(1.0f));
  EXPECT_EQ(bitsOf(qo::halfToFloat(0x0001)), bitsOf(std::ldexp(1.0f, -24)));
  EXPECT_EQ(bitsOf(qo::halfToFloat(0x03FF)), bitsOf(std::ldexp(1023.0f, -24)));
  EXPECT_EQ(bitsOf(qo::halfToFloat(0x7BFF)), bitsOf(65504.0f));
  EXPECT_EQ(bitsOf(qo::halfToFloat(0x8000)), 0x80000000u);
  EXPECT_EQ(bitsOf(qo::halfToFloat(0xFC00)), bitsOf(-INFINITY));
  EXPECT_EQ(bitsOf(qo::halfToFloat(0x7C01)), 0x7F802000u);  // signalling NaN stays signalling
  EXPECT_EQ(bitsOf(qo::halfToFloat(0xFE55)), 0xFFCAA000u);
}

TEST(simdConvert, ConversionsWriteOnlyCountElements) {
  std::mt19937 rng(11);
  forEachSimdTarget([&] {
    for (size_t count = 0; count <= 40; ++count) {
      std::vector<float> src(count);
      for (float& f : src) f = std::uniform_real_distribution<float>(-70000.0f, 70000.0f)(rng);
      std::vector<uint16_t> halves(count + 8, 0xABCD);
      qo::simd::f32ToF16(src.data(), halves.data(), count);
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(halves[i], qo::ref::f32ToF16(src[i]));
      for (size_t i = count; i < halves.size(); ++i) ASSERT_EQ(halves[i], 0xABCD) << "count " << count;

      std::vector<float> back(count + 8, -7.0f);
      qo::simd::f16ToF32(halves.data(), back.data(), count);
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(bitsOf(back[i]), bitsOf(qo::ref::f16ToF32(halves[i])));
      for (size_t i = count; i < back.size(); ++i) ASSERT_EQ(back[i], -7.0f) << "count " << count;
    }
  });
}

TEST(simdConvert, Rgb8ToPlanarHalfDividesBy255) {
  EXPECT_EQ(qo::ref::f32ToF16(255.0f / 255.0f), 0x3C00);
  std::mt19937 rng(3);
  forEachSimdTarget([&] {
    // Every byte value in every channel, then random rows of awkward lengths.
    std::vector<uint8_t> all(3 * 256);
    for (int i = 0; i < 256; ++i) {
      all[3 * i] = uint8_t(i);
      all[3 * i + 1] = uint8_t(255 - i);
      all[3 * i + 2] = uint8_t(i * 7);
    }
    std::vector<uint8_t> rgb;
    for (size_t count : {size_t(256), size_t(1), size_t(2), size_t(3), size_t(9), size_t(31), size_t(33), size_t(100)}) {
      if (count == 256) {
        rgb = all;
      } else {
        rgb.resize(3 * count);
        for (uint8_t& b : rgb) b = uint8_t(rng());
      }
      const size_t stride = count + 5;
      std::vector<uint16_t> planes(3 * stride, 0x5555);
      qo::simd::rgb8ToPlanarF16(rgb.data(), planes.data(), stride, count);
      for (size_t c = 0; c < 3; ++c) {
        for (size_t i = 0; i < stride; ++i) {
          const uint16_t expected = i < count ? qo::ref::f32ToF16(float(rgb[3 * i + c]) / 255.0f) : 0x5555;
          ASSERT_EQ(planes[c * stride + i], expected) << "count " << count << " channel " << c << " pixel " << i;
        }
      }
      if (count == 256) {
        EXPECT_EQ(planes[255], 0x3C00);          // red 255 -> 1.0
        EXPECT_EQ(planes[0], 0x0000);            // red 0 -> 0.0
        EXPECT_EQ(planes[stride + 0], 0x3C00);   // green 255 -> 1.0
      }
    }
  });
}

TEST(simdDispatch, TargetNamesTheBestUsableTarget) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  EXPECT_STREQ(qo::simd::target(), hwy::TargetName(targets.front()));
  EXPECT_STRNE(qo::simd::target(), "Unknown");
}

}  // namespace

TEST(simdConvert, PlanarFloatToRgb8RoundsTiesToEven) {
  // Reference: the byte nearest min(v, 1) x 255, ties to even, 0 for v <= 0 and NaN.
  auto ref = [](float v) -> uint8_t {
    if (!(v > 0.0f)) return 0;
    return uint8_t(std::nearbyint(std::min(v, 1.0f) * 255.0f));
  };
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-0.2f, 1.2f);
  forEachSimdTarget([&] {
    for (size_t count : {size_t(1), size_t(7), size_t(8), size_t(33), size_t(600)}) {
      const size_t stride = count + 3;
      std::vector<float> planes(3 * stride);
      for (float& v : planes) v = u(rng);
      // Exact halves (k + 0.5) / 255 where the product is exact, NaN, and the clamp ends.
      for (size_t i = 0; i < count && i < 256; ++i) {
        float v = (float(i) + 0.5f) / 255.0f;
        while (v * 255.0f != float(i) + 0.5f) v = std::nextafter(v, v * 255.0f < float(i) + 0.5f ? 2.0f : 0.0f);
        planes[i] = v;
      }
      planes[stride] = std::nanf("");
      planes[2 * stride] = 7.0f;
      std::vector<uint8_t> rgb(3 * count + 4, 0xAB);
      qo::simd::planarF32ToRgb8(planes.data(), stride, rgb.data(), count);
      for (size_t i = 0; i < count; ++i)
        for (size_t c = 0; c < 3; ++c)
          ASSERT_EQ(rgb[3 * i + c], ref(planes[c * stride + i])) << "count " << count << " pixel " << i << " ch " << c;
      EXPECT_EQ(rgb[3 * count], 0xAB);  // nothing written past the pixels
      if (count >= 4) {
        EXPECT_EQ(rgb[3 * 2], 2);  // 2.5 -> 2
        EXPECT_EQ(rgb[3 * 3], 4);  // 3.5 -> 4
      }
    }
  });
}
