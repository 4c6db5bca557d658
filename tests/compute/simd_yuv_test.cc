// yuv420RowToRgb24 on every target against the reference.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "compute/simd_reference.h"
#include "compute/simd_targets.h"
#include "qo/qo_simd.h"

namespace {

using qo::test::forEachSimdTarget;

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

Rgb convertPixel(uint8_t y, uint8_t u, uint8_t v) {
  uint8_t out[3];
  qo::simd::yuv420RowToRgb24(&y, &u, &v, 1, 1, out);
  return {out[0], out[1], out[2]};
}

// Chroma buffers sized exactly for the row, so that an over-read shows under AddressSanitizer.
struct Row {
  std::vector<uint8_t> y, u, v, uv;
  int width = 0;
};

Row randomRow(int width, std::mt19937& rng) {
  Row row;
  row.width = width;
  const int chroma = (width + 1) / 2;
  row.y.resize(size_t(width));
  row.u.resize(size_t(chroma));
  row.v.resize(size_t(chroma));
  row.uv.resize(size_t(2 * chroma));
  for (uint8_t& b : row.y) b = uint8_t(rng());
  for (uint8_t& b : row.u) b = uint8_t(rng());
  for (uint8_t& b : row.v) b = uint8_t(rng());
  for (uint8_t& b : row.uv) b = uint8_t(rng());
  return row;
}

TEST(simdYuv, EveryYuvTripleMatchesReference) {
  // One row per (U, V) with Y running through 0..255: all 2^24 triples.
  constexpr int kWidth = 256;
  std::vector<uint8_t> y(kWidth), u(kWidth / 2), v(kWidth / 2);
  for (int i = 0; i < kWidth; ++i) y[i] = uint8_t(i);
  std::vector<uint8_t> expected(3 * kWidth * 65536);
  for (int uv = 0; uv < 65536; ++uv) {
    std::fill(u.begin(), u.end(), uint8_t(uv >> 8));
    std::fill(v.begin(), v.end(), uint8_t(uv));
    qo::ref::yuv420RowToRgb24(y.data(), u.data(), v.data(), kWidth, 1, &expected[size_t(uv) * 3 * kWidth]);
  }
  forEachSimdTarget([&] {
    std::vector<uint8_t> got(3 * kWidth);
    for (int uv = 0; uv < 65536; ++uv) {
      std::fill(u.begin(), u.end(), uint8_t(uv >> 8));
      std::fill(v.begin(), v.end(), uint8_t(uv));
      qo::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), kWidth, 1, got.data());
      ASSERT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + size_t(uv) * 3 * kWidth))
          << "U " << (uv >> 8) << " V " << (uv & 255);
    }
  });
}

TEST(simdYuv, RandomRowsOfEveryWidthAndBothChromaLayouts) {
  std::mt19937 rng(5);
  forEachSimdTarget([&] {
    std::vector<int> widths;
    for (int w = 0; w <= 140; ++w) widths.push_back(w);
    widths.push_back(1920);
    widths.push_back(1923);
    for (int width : widths) {
      const Row row = randomRow(width, rng);
      for (int step : {1, 2}) {
        const uint8_t* u = step == 1 ? row.u.data() : row.uv.data();
        const uint8_t* v = step == 1 ? row.v.data() : row.uv.empty() ? nullptr : row.uv.data() + 1;
        std::vector<uint8_t> expected(3 * size_t(width) + 16, 0xEE);
        std::vector<uint8_t> got(3 * size_t(width) + 16, 0xEE);
        qo::ref::yuv420RowToRgb24(row.y.data(), u, v, width, step, expected.data());
        qo::simd::yuv420RowToRgb24(row.y.data(), u, v, width, step, got.data());
        ASSERT_EQ(got, expected) << "width " << width << " chromaStep " << step;
      }
    }
  });
}

TEST(simdYuv, LimitedRangeEndpointsAndSaturation) {
  forEachSimdTarget([&] {
    EXPECT_EQ(convertPixel(16, 128, 128), (Rgb{0, 0, 0}));
    EXPECT_EQ(convertPixel(235, 128, 128), (Rgb{255, 255, 255}));
    EXPECT_EQ(convertPixel(255, 128, 255).r, 255);  // R saturates
    EXPECT_EQ(convertPixel(0, 128, 0).r, 0);        // and clamps at 0
    // The same pixels inside a long row take the vector body and give the same bytes.
    std::vector<uint8_t> y(64, 16), u(32, 128), v(32, 128), rgb(3 * 64);
    y[7] = 235;
    y[40] = 255;
    v[20] = 255;
    qo::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), 64, 1, rgb.data());
    for (int i = 0; i < 64; ++i) {
      const Rgb expected = convertPixel(y[i], u[i / 2], v[i / 2]);
      EXPECT_EQ((Rgb{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), expected) << "pixel " << i;
    }
  });
}

TEST(simdYuv, ShortRowsEqualTheirPrefixOfALongRow) {
  std::mt19937 rng(9);
  const Row row = randomRow(96, rng);
  forEachSimdTarget([&] {
    std::vector<uint8_t> full(3 * 96);
    qo::simd::yuv420RowToRgb24(row.y.data(), row.u.data(), row.v.data(), 96, 1, full.data());
    for (int width : {1, 2, 3}) {
      std::vector<uint8_t> part(3 * size_t(width));
      qo::simd::yuv420RowToRgb24(row.y.data(), row.u.data(), row.v.data(), width, 1, part.data());
      EXPECT_TRUE(std::equal(part.begin(), part.end(), full.begin())) << "width " << width;
    }
  });
}

TEST(simdYuv, InterleavedChromaReadsEveryOtherByte) {
  forEachSimdTarget([&] {
    // Pixels 2k and 2k+1 read u[2k] and v[2k]; the odd bytes in between must not matter.
    constexpr int kWidth = 40;
    std::vector<uint8_t> y(kWidth), u(kWidth), v(kWidth);
    for (int i = 0; i < kWidth; ++i) {
      y[i] = uint8_t(60 + 3 * i);
      u[i] = i % 2 ? 0 : uint8_t(90 + 5 * i);
      v[i] = i % 2 ? 255 : uint8_t(200 - 4 * i);
    }
    std::vector<uint8_t> rgb(3 * kWidth);
    qo::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), kWidth, 2, rgb.data());
    for (int i = 0; i < kWidth; ++i) {
      const int c = 2 * (i / 2);
      EXPECT_EQ((Rgb{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), convertPixel(y[i], u[c], v[c])) << "pixel " << i;
    }
  });
}

}  // namespace
