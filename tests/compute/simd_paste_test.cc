// pasteLanczos8Row on every target against the reference, plus properties that hold without it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "compute/simd_reference.h"
#include "compute/simd_targets.h"
#include "qo/qo_simd.h"

namespace {

using qo::test::forEachSimdTarget;

constexpr int kPhases = 32;

// Windowed-sinc weights, 8 taps at offsets -3..4 from the sample's integer position, normalised.
std::vector<float> lanczosTable() {
  std::vector<float> tab(kPhases * 8);
  const auto sinc = [](double x) { return x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); };
  for (int p = 0; p < kPhases; ++p) {
    double w[8], sum = 0.0;
    for (int t = 0; t < 8; ++t) {
      const double d = double(t - 3) - double(p) / kPhases;
      w[t] = std::fabs(d) < 4.0 ? sinc(d) * sinc(d / 4.0) : 0.0;
      sum += w[t];
    }
    for (int t = 0; t < 8; ++t) tab[8 * p + t] = float(w[t] / sum);
  }
  return tab;
}

std::vector<float> bilinearTable() {
  std::vector<float> tab(kPhases * 2);
  for (int p = 0; p < kPhases; ++p) {
    tab[2 * p] = 1.0f - float(p) / kPhases;
    tab[2 * p + 1] = float(p) / kPhases;
  }
  return tab;
}

struct Scene {
  int side;
  std::vector<float> crop;    // side * side * 4
  std::vector<uint8_t> mask;  // side * side
  std::vector<float> lanczos = lanczosTable();
  std::vector<float> bilin = bilinearTable();
};

// Random crop; a mask that is full in the middle, feathered, empty in one corner, noisy elsewhere.
Scene randomScene(int side, std::mt19937& rng) {
  Scene s;
  s.side = side;
  s.crop.resize(size_t(side) * side * 4);
  for (float& f : s.crop) f = std::uniform_real_distribution<float>(-20.0f, 275.0f)(rng);
  s.mask.resize(size_t(side) * side);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const double r = std::hypot(x - side / 2.0, y - side / 2.0) / (side / 2.0);
      uint8_t m = r < 0.6 ? 255 : r < 0.9 ? uint8_t(255 * (0.9 - r) / 0.3) : uint8_t(rng() % 256);
      if (x < side / 5 && y < side / 5) m = 0;
      s.mask[size_t(y) * side + x] = m;
    }
  }
  return s;
}

// The crop positions of one output row under a rotation and scale, split the way the caller
// splits them: column-dependent maps and row-dependent offsets (with half a phase added).
struct RowMap {
  std::vector<int> mapX, mapY;
  int offX = 0, offY = 0;
};

RowMap affineRow(int x0, int x1, int frameY, double angle, double scale, double cx, double cy) {
  RowMap m;
  const double c = std::cos(angle) * scale, s = std::sin(angle) * scale;
  for (int x = x0; x <= x1; ++x) {
    m.mapX.push_back(int(std::lround(1024.0 * (c * x))));
    m.mapY.push_back(int(std::lround(1024.0 * (s * x))));
  }
  m.offX = int(std::lround(1024.0 * (-s * frameY + cx))) + 16;
  m.offY = int(std::lround(1024.0 * (c * frameY + cy))) + 16;
  return m;
}

std::vector<uint8_t> randomFrameRow(int width, std::mt19937& rng) {
  std::vector<uint8_t> row(3 * size_t(width));
  for (uint8_t& b : row) b = uint8_t(rng());
  return row;
}

void pasteBoth(const Scene& s, const RowMap& m, int x0, int x1, std::vector<uint8_t>& refRow,
               std::vector<uint8_t>& simdRow) {
  qo::ref::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(), m.mapX.data(),
                            m.mapY.data(), m.offX, m.offY, x0, x1, refRow.data());
  qo::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(), m.mapX.data(),
                             m.mapY.data(), m.offX, m.offY, x0, x1, simdRow.data());
}

TEST(simdPaste, RotatedRowsMatchReference) {
  std::mt19937 rng(21);
  const Scene s = randomScene(40, rng);
  forEachSimdTarget([&] {
    constexpr int kFrameWidth = 64;
    // Rows sweep from above the crop to below it, columns from left of it to right of it.
    for (int frameY = -12; frameY < 56; ++frameY) {
      for (double angle : {0.0, 0.3, -1.1}) {
        const int x0 = 2, x1 = kFrameWidth - 3;
        const RowMap m = affineRow(x0, x1, frameY, angle, 0.83, -6.5, 3.25);
        std::vector<uint8_t> refRow = randomFrameRow(kFrameWidth, rng);
        std::vector<uint8_t> simdRow = refRow;
        pasteBoth(s, m, x0, x1, refRow, simdRow);
        ASSERT_EQ(simdRow, refRow) << "frame row " << frameY << " angle " << angle;
      }
    }
  });
}

TEST(simdPaste, EveryPositionAndPhaseAroundTheCropEdges) {
  std::mt19937 rng(22);
  const Scene s = randomScene(24, rng);
  // Integer positions from beyond one edge to beyond the other, crossing the band where the
  // taps start to fall outside, at several phases, in x and in y.
  RowMap m;
  for (int i = -3; i <= s.side + 1; ++i) {
    for (int phase : {0, 1, 15, 16, 31}) {
      for (int j : {-2, -1, 0, 2, 3, 4, 11, s.side - 5, s.side - 4, s.side - 2, s.side - 1, s.side}) {
        m.mapX.push_back(i * 1024 + phase * 32 - 16);
        m.mapY.push_back(j * 1024 + (31 - phase) * 32 - 16);
        m.mapX.push_back(j * 1024 + (31 - phase) * 32 - 16);
        m.mapY.push_back(i * 1024 + phase * 32 - 16);
      }
    }
  }
  m.offX = 16;
  m.offY = 16;
  const int width = int(m.mapX.size());
  forEachSimdTarget([&] {
    std::vector<uint8_t> refRow = randomFrameRow(width, rng);
    std::vector<uint8_t> simdRow = refRow;
    pasteBoth(s, m, 0, width - 1, refRow, simdRow);
    ASSERT_EQ(simdRow, refRow);
  });
}

TEST(simdPaste, PositionsOutsideTheCropLeaveThePixel) {
  std::mt19937 rng(23);
  Scene s = randomScene(16, rng);
  std::fill(s.mask.begin(), s.mask.end(), 255);
  // Just below -1 pixel and at or beyond side, in either axis.
  RowMap m;
  m.mapX = {-1025, 5 * 1024, 16 * 1024, 5 * 1024, 20 * 1024, -1024 - 512};
  m.mapY = {5 * 1024, -1025, 5 * 1024, 16 * 1024, -3000, 3 * 1024};
  forEachSimdTarget([&] {
    const std::vector<uint8_t> before = randomFrameRow(6, rng);
    std::vector<uint8_t> row = before;
    qo::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(),
                               m.mapX.data(), m.mapY.data(), 0, 0, 0, 5, row.data());
    EXPECT_EQ(row, before);
  });
}

TEST(simdPaste, ZeroMaskLeavesTheFrame) {
  std::mt19937 rng(24);
  Scene s = randomScene(32, rng);
  std::fill(s.mask.begin(), s.mask.end(), 0);
  forEachSimdTarget([&] {
    for (int frameY = 0; frameY < 32; frameY += 3) {
      const RowMap m = affineRow(0, 47, frameY, 0.2, 0.7, 1.0, 1.0);
      const std::vector<uint8_t> before = randomFrameRow(48, rng);
      std::vector<uint8_t> row = before;
      qo::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(),
                                 m.mapX.data(), m.mapY.data(), m.offX, m.offY, 0, 47, row.data());
      EXPECT_EQ(row, before) << "frame row " << frameY;
    }
  });
}

TEST(simdPaste, FullMaskInteriorWritesTheTruncatedSample) {
  std::mt19937 rng(25);
  Scene s = randomScene(32, rng);
  std::fill(s.mask.begin(), s.mask.end(), 255);  // coverage exactly 255: alpha 1
  RowMap m;
  std::vector<int> ix, iy, fx, fy;
  for (int k = 0; k < 200; ++k) {
    ix.push_back(3 + int(rng() % (s.side - 7)));
    iy.push_back(3 + int(rng() % (s.side - 7)));
    fx.push_back(int(rng() % kPhases));
    fy.push_back(int(rng() % kPhases));
    m.mapX.push_back(ix.back() * 1024 + fx.back() * 32);
    m.mapY.push_back(iy.back() * 1024 + fy.back() * 32);
  }
  forEachSimdTarget([&] {
    for (uint8_t old : {uint8_t(0), uint8_t(200)}) {
      std::vector<uint8_t> row(3 * 200, old);
      qo::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(),
                                 m.mapX.data(), m.mapY.data(), 0, 0, 0, 199, row.data());
      for (int k = 0; k < 200; ++k) {
        float sample[3];
        qo::ref::lanczosSample(s.crop.data(), s.side, s.lanczos.data(), ix[k], iy[k], fx[k], fy[k], sample);
        for (int c = 0; c < 3; ++c) {
          const float v = sample[c];
          const uint8_t expected = v < 0.0f ? 0 : v > 255.0f ? 255 : uint8_t(std::trunc(v));
          ASSERT_EQ(row[3 * k + c], expected) << "column " << k << " channel " << c << " old " << int(old);
        }
      }
    }
  });
}

TEST(simdPaste, MissingBorderTapsDropOutLikeZeroPadding) {
  // A crop framed by 8 pixels of zeros (mask and colour) puts every border column of the
  // original on the interior path; the bytes must not change.
  std::mt19937 rng(26);
  const Scene s = randomScene(20, rng);
  constexpr int kPad = 8;
  Scene padded = s;
  padded.side = s.side + 2 * kPad;
  padded.crop.assign(size_t(padded.side) * padded.side * 4, 0.0f);
  padded.mask.assign(size_t(padded.side) * padded.side, 0);
  for (int y = 0; y < s.side; ++y) {
    for (int x = 0; x < s.side; ++x) {
      const size_t from = size_t(y) * s.side + x, to = size_t(y + kPad) * padded.side + x + kPad;
      padded.mask[to] = s.mask[from];
      for (int c = 0; c < 4; ++c) padded.crop[to * 4 + c] = s.crop[from * 4 + c];
    }
  }
  RowMap m, shifted;
  for (int i = -1; i <= s.side; ++i) {
    for (int j = -1; j <= s.side; j += 3) {
      const int phaseX = int(rng() % kPhases), phaseY = int(rng() % kPhases);
      m.mapX.push_back(i * 1024 + phaseX * 32);
      m.mapY.push_back(j * 1024 + phaseY * 32);
      shifted.mapX.push_back(m.mapX.back() + kPad * 1024);
      shifted.mapY.push_back(m.mapY.back() + kPad * 1024);
    }
  }
  const int width = int(m.mapX.size());
  forEachSimdTarget([&] {
    const std::vector<uint8_t> before = randomFrameRow(width, rng);
    std::vector<uint8_t> border = before, interior = before;
    qo::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(),
                               m.mapX.data(), m.mapY.data(), 0, 0, 0, width - 1, border.data());
    qo::simd::pasteLanczos8Row(padded.crop.data(), padded.side, padded.mask.data(), padded.lanczos.data(),
                               padded.bilin.data(), shifted.mapX.data(), shifted.mapY.data(), 0, 0, 0, width - 1,
                               interior.data());
    EXPECT_EQ(border, interior);
    EXPECT_NE(border, before);
  });
}

TEST(simdPaste, NonFiniteSamplesAndEmptyRanges) {
  std::mt19937 rng(27);
  Scene s = randomScene(24, rng);
  for (size_t i = 0; i < s.crop.size(); i += 37) s.crop[i] = NAN;
  for (size_t i = 5; i < s.crop.size(); i += 53) s.crop[i] = (i % 2) ? INFINITY : -INFINITY;
  forEachSimdTarget([&] {
    for (int frameY = 0; frameY < 30; ++frameY) {
      const RowMap m = affineRow(0, 29, frameY, 0.4, 0.9, -2.0, -1.0);
      std::vector<uint8_t> refRow = randomFrameRow(30, rng);
      std::vector<uint8_t> simdRow = refRow;
      pasteBoth(s, m, 0, 29, refRow, simdRow);
      ASSERT_EQ(simdRow, refRow) << "frame row " << frameY;
    }
    // x1 < x0 touches nothing.
    const RowMap m = affineRow(0, 29, 12, 0.0, 1.0, 0.0, 0.0);
    const std::vector<uint8_t> before = randomFrameRow(30, rng);
    std::vector<uint8_t> row = before;
    qo::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), s.lanczos.data(), s.bilin.data(),
                               m.mapX.data(), m.mapY.data(), m.offX, m.offY, 10, 9, row.data());
    EXPECT_EQ(row, before);
  });
}

}  // namespace
