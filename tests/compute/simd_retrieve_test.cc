// Retrieval-distance kernels on every target against the reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "compute/simd_reference.h"
#include "compute/simd_targets.h"
#include "qo/qo_simd.h"

namespace {

using qo::test::forEachSimdTarget;

// Equal bits, or both not a number (which NaN a sum ends with is not pinned down).
::testing::AssertionResult sameFloat(float expected, float actual) {
  if (std::bit_cast<uint32_t>(expected) == std::bit_cast<uint32_t>(actual)) return ::testing::AssertionSuccess();
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex
                                       << std::bit_cast<uint32_t>(expected) << "), got " << actual << " (0x"
                                       << std::bit_cast<uint32_t>(actual) << ")";
}

struct Images {
  size_t n;
  std::vector<uint16_t> a, b;   // 3 planes of n
  std::vector<uint16_t> wHalf;  // n
  std::vector<float> w;         // n
};

// Band-like images (byte values / 255, as the teeth pass stores them), some elements with
// extreme values, and weights with zeros, whole zero runs and a few infinities.
Images randomImages(size_t n, std::mt19937& rng) {
  Images im{n, std::vector<uint16_t>(3 * n), std::vector<uint16_t>(3 * n), std::vector<uint16_t>(n),
            std::vector<float>(n)};
  for (size_t i = 0; i < 3 * n; ++i) {
    im.a[i] = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
    im.b[i] = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
    if (rng() % 97 == 0) im.a[i] = qo::ref::f32ToF16(std::uniform_real_distribution<float>(-70000, 70000)(rng));
    if (rng() % 211 == 0) im.b[i] = 0x7E00 | uint16_t(rng() % 0x200);  // NaN
  }
  for (size_t i = 0; i < n; ++i) {
    const bool zeroRun = (i / 16) % 5 == 3;
    float w = zeroRun || rng() % 4 == 0 ? 0.0f : std::uniform_real_distribution<float>(0.0f, 2.0f)(rng);
    if (rng() % 301 == 0) w = -0.0f;
    im.w[i] = w;
    im.wHalf[i] = qo::ref::f32ToF16(w);
  }
  return im;
}

TEST(simdRetrieve, RandomImagesMatchReference) {
  std::mt19937 rng(31);
  std::vector<Images> sets;
  for (size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 100, 64 * 80}) sets.push_back(randomImages(n, rng));
  forEachSimdTarget([&] {
    for (const Images& im : sets) {
      EXPECT_TRUE(sameFloat(qo::ref::retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), im.n),
                            qo::simd::retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), im.n)))
          << "pooled, n " << im.n;
      EXPECT_TRUE(sameFloat(qo::ref::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), im.n, 0, im.n),
                            qo::simd::retrieveTermExact(im.a.data(), im.b.data(), im.w.data(), im.n)))
          << "exact, n " << im.n;
      for (size_t begin : {size_t(0), size_t(1), size_t(5), im.n / 3}) {
        for (size_t end : {im.n, im.n / 2 + 1, begin + 9}) {
          if (end > im.n) continue;
          EXPECT_TRUE(sameFloat(
              qo::ref::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), im.n, begin, end),
              qo::simd::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), im.n, begin, end)))
              << "range [" << begin << ", " << end << "), n " << im.n;
        }
      }
    }
  });
}

TEST(simdRetrieve, FiniteImagesGiveFiniteSumsEqualToReference) {
  // Without NaNs the result bits are fully determined; compare them exactly.
  std::mt19937 rng(32);
  forEachSimdTarget([&] {
    for (size_t n : {size_t(6), size_t(29), size_t(640)}) {
      Images im = randomImages(n, rng);
      for (uint16_t& h : im.a) h = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
      for (uint16_t& h : im.b) h = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
      const float pooled = qo::simd::retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), n);
      const float exact = qo::simd::retrieveTermExact(im.a.data(), im.b.data(), im.w.data(), n);
      ASSERT_TRUE(std::isfinite(pooled) && std::isfinite(exact));
      EXPECT_EQ(std::bit_cast<uint32_t>(pooled),
                std::bit_cast<uint32_t>(qo::ref::retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), n)));
      EXPECT_EQ(std::bit_cast<uint32_t>(exact), std::bit_cast<uint32_t>(qo::ref::retrieveTermExactRange(
                                                    im.a.data(), im.b.data(), im.w.data(), n, 0, n)));
    }
  });
}

TEST(simdRetrieve, IdenticalImagesAreZeroApart) {
  std::mt19937 rng(33);
  Images im = randomImages(300, rng);
  for (uint16_t& h : im.a) h = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
  for (float& w : im.w) w = std::fabs(w);
  forEachSimdTarget([&] {
    EXPECT_EQ(qo::simd::retrieveTermPooled(im.a.data(), im.a.data(), im.wHalf.data(), im.n), 0.0f);
    EXPECT_EQ(qo::simd::retrieveTermExact(im.a.data(), im.a.data(), im.w.data(), im.n), 0.0f);
    EXPECT_EQ(qo::simd::retrieveTermExactRange(im.a.data(), im.a.data(), im.w.data(), im.n, 7, 250), 0.0f);
  });
}

TEST(simdRetrieve, OverflowingDifferenceIsInfiniteAndZeroWeightsDiffer) {
  // Element 5 differs by 65504 - (-65504) in channel 1: beyond 65520, so d_1 is infinite.
  constexpr size_t n = 21;
  std::vector<uint16_t> a(3 * n, 0x3C00), b(3 * n, 0x3C00);
  a[n + 5] = 0x7BFF;
  b[n + 5] = 0xFBFF;
  std::vector<uint16_t> wHalf(n, 0x3C00);
  std::vector<float> w(n, 1.0f);
  EXPECT_TRUE(std::isinf(qo::ref::channelDistance(a.data(), b.data(), n, 5)));
  forEachSimdTarget([&] {
    EXPECT_EQ(qo::simd::retrieveTermPooled(a.data(), b.data(), wHalf.data(), n), INFINITY);
    EXPECT_EQ(qo::simd::retrieveTermExact(a.data(), b.data(), w.data(), n), INFINITY);
    std::vector<uint16_t> wHalfZero = wHalf;
    std::vector<float> wZero = w;
    wHalfZero[5] = 0x0000;
    wZero[5] = 0.0f;
    // The pooled term multiplies anyway: 0 * inf is not a number; the exact terms skip it.
    EXPECT_TRUE(std::isnan(qo::simd::retrieveTermPooled(a.data(), b.data(), wHalfZero.data(), n)));
    EXPECT_EQ(qo::simd::retrieveTermExact(a.data(), b.data(), wZero.data(), n), 0.0f);
    wZero[5] = -0.0f;
    EXPECT_EQ(qo::simd::retrieveTermExactRange(a.data(), b.data(), wZero.data(), n, 0, n), 0.0f);
  });
}

TEST(simdRetrieve, OneLevelDifferenceIsRoundedTwice) {
  // A difference of 1/255 in one channel: m = h(h(1/255) / 3), which is not 1/765.
  constexpr size_t n = 13;
  std::vector<uint16_t> a(3 * n, 0), b(3 * n, 0);
  const uint16_t oneLevel = qo::ref::f32ToF16(1.0f / 255.0f);
  for (size_t i = 0; i < n; ++i) a[2 * n + i] = oneLevel;
  const float m = qo::ref::roundToHalf(qo::ref::f16ToF32(oneLevel) / 3.0f);
  ASSERT_NE(m, 1.0f / 765.0f);
  std::vector<uint16_t> wHalf(n, 0x3C00);
  std::vector<float> w(n, 1.0f);
  float expected = 0.0f;
  for (size_t i = 0; i < n; ++i) expected += m;
  forEachSimdTarget([&] {
    EXPECT_EQ(qo::simd::retrieveTermPooled(a.data(), b.data(), wHalf.data(), n), expected);
    EXPECT_EQ(qo::simd::retrieveTermExact(a.data(), b.data(), w.data(), n), expected);
  });
}

TEST(simdRetrieve, SumIsTrulyDividedByThree) {
  // d_0 = 3 + 2^-8 and d_1 = 2^-11 - 2^-22 sum exactly to s = 3T - ulp(3T) for the half tie
  // T = 1 + 1.5 * 2^-10. A true division lands just below T and rounds down to 1 + 2^-10; a
  // multiplication by 1/3 would land on T and round to the even 1 + 2^-9.
  constexpr size_t n = 9;
  std::vector<uint16_t> a(3 * n, 0), b(3 * n, 0);
  for (size_t i = 0; i < n; ++i) {
    a[i] = qo::ref::f32ToF16(3.0f + std::ldexp(1.0f, -8));
    a[n + i] = qo::ref::f32ToF16(std::ldexp(1.0f, -11) - std::ldexp(1.0f, -22));
  }
  const float s = (3.0f + std::ldexp(1.0f, -8)) + (std::ldexp(1.0f, -11) - std::ldexp(1.0f, -22));
  ASSERT_EQ(qo::ref::roundToHalf(s / 3.0f), 1.0f + std::ldexp(1.0f, -10));
  ASSERT_EQ(qo::ref::roundToHalf(s * (1.0f / 3.0f)), 1.0f + std::ldexp(1.0f, -9));
  const float m = qo::ref::channelDistance(a.data(), b.data(), n, 0);
  ASSERT_EQ(m, 1.0f + std::ldexp(1.0f, -10));
  std::vector<uint16_t> wHalf(n, 0x3C00);
  std::vector<float> w(n, 1.0f);
  float expected = 0.0f;
  for (size_t i = 0; i < n; ++i) expected += m;
  forEachSimdTarget([&] {
    EXPECT_EQ(qo::simd::retrieveTermPooled(a.data(), b.data(), wHalf.data(), n), expected);
    EXPECT_EQ(qo::simd::retrieveTermExact(a.data(), b.data(), w.data(), n), expected);
  });
}

TEST(simdRetrieve, RangeReadsOnlyItsElements) {
  std::mt19937 rng(34);
  Images im = randomImages(90, rng);
  for (uint16_t& h : im.b) h = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
  for (uint16_t& h : im.a) h = qo::ref::f32ToF16(float(rng() % 256) / 255.0f);
  forEachSimdTarget([&] {
    EXPECT_EQ(qo::simd::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), im.n, 40, 40), 0.0f);
    EXPECT_EQ(qo::simd::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), im.n, 50, 40), 0.0f);
    // Poisoning everything outside [begin, end) changes nothing.
    const size_t begin = 17, end = 71;
    Images poisoned = im;
    for (size_t i = 0; i < im.n; ++i) {
      if (i >= begin && i < end) continue;
      poisoned.w[i] = NAN;
      for (size_t c = 0; c < 3; ++c) poisoned.a[c * im.n + i] = 0x7E00;
    }
    const float clean = qo::simd::retrieveTermExactRange(im.a.data(), im.b.data(), im.w.data(), im.n, begin, end);
    EXPECT_TRUE(std::isfinite(clean));
    EXPECT_TRUE(sameFloat(clean, qo::simd::retrieveTermExactRange(poisoned.a.data(), poisoned.b.data(),
                                                                  poisoned.w.data(), im.n, begin, end)));
  });
}

}  // namespace
