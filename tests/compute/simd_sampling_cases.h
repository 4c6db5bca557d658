// Images, grids and guarded runs shared by the grid-sampling and warp kernel tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace qo::test::sampling {

constexpr float kUnwritten = -12345.0f;
constexpr size_t kGuard = 64;

// Smooth: rotated by 0.05 rad and scaled by 0.95; Shifted: the identity moved by a quarter pixel
// up and left, onto the last row and column; Stretched: scaled by 1.12, rotated by 0.03 rad.
enum class Grid { Random, Smooth, Shifted, Stretched, AllMinus1, AllPlus1, Outside, Special };
constexpr Grid kAllGrids[] = {Grid::Random,    Grid::Smooth,   Grid::Shifted, Grid::Stretched,
                              Grid::AllMinus1, Grid::AllPlus1, Grid::Outside, Grid::Special};

inline const char* gridName(Grid g) {
  switch (g) {
    case Grid::Random:
      return "random";
    case Grid::Smooth:
      return "smooth";
    case Grid::Shifted:
      return "shifted";
    case Grid::Stretched:
      return "stretched";
    case Grid::AllMinus1:
      return "all -1";
    case Grid::AllPlus1:
      return "all +1";
    case Grid::Outside:
      return "outside";
    case Grid::Special:
      return "special values";
  }
  return "?";
}

// Hg x Wg (x, y) pairs.
inline std::vector<float> makeGrid(Grid kind, int Hg, int Wg, std::mt19937& rng) {
  std::vector<float> g(size_t(Hg) * Wg * 2);
  std::uniform_real_distribution<float> inside(-1.1f, 1.1f), outside(-4.0f, 4.0f);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            kInf,
                            -kInf,
                            1e30f,
                            -1e30f,
                            3e38f,
                            -0.0f,
                            0.0f,
                            1.0f,
                            -1.0f,
                            std::nextafter(1.0f, 2.0f),
                            std::nextafter(-1.0f, -2.0f),
                            1e-40f};
  const auto affine = [](double scale, double angle, double u, double v, double du, double dv, int k) {
    const double c = scale * std::cos(angle), s = scale * std::sin(angle);
    return float(k == 0 ? c * u - s * v + du : s * u + c * v + dv);
  };
  for (int i = 0; i < Hg; ++i) {
    for (int j = 0; j < Wg; ++j) {
      float* p = &g[(size_t(i) * Wg + j) * 2];
      const double u = (2.0 * j + 1.0) / Wg - 1.0, v = (2.0 * i + 1.0) / Hg - 1.0;
      for (int k = 0; k < 2; ++k) {
        switch (kind) {
          case Grid::Random:
            p[k] = inside(rng);
            break;
          case Grid::Smooth:
            p[k] = affine(0.95, 0.05, u, v, 0.01, -0.02, k);
            break;
          case Grid::Shifted:
            p[k] = affine(1.0, 0.0, u, v, -0.5 / Wg, -0.5 / Hg, k);
            break;
          case Grid::Stretched:
            p[k] = affine(1.12, 0.03, u, v, 0.0, 0.0, k);
            break;
          case Grid::AllMinus1:
            p[k] = -1.0f;
            break;
          case Grid::AllPlus1:
            p[k] = 1.0f;
            break;
          case Grid::Outside:
            p[k] = outside(rng);
            break;
          case Grid::Special:
            p[k] = rng() % 2 ? specials[rng() % std::size(specials)] : inside(rng);
            break;
        }
      }
    }
  }
  return g;
}

struct Case {
  int C, H, W, Hg, Wg;
  std::vector<float> x, grid;
};

// Image values drawn from multiples of 1/64 in [-4, 4): few significant bits, so that sums of
// quarters of equal taps are exact.
inline Case makeCase(int C, int H, int W, int Hg, int Wg, Grid kind, std::mt19937& rng) {
  Case c{C, H, W, Hg, Wg, std::vector<float>(size_t(C) * H * W), makeGrid(kind, Hg, Wg, rng)};
  for (float& f : c.x) f = float(int(rng() % 512) - 256) / 64.0f;
  return c;
}

using Kernel = std::function<void(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg,
                                  int rowBegin, int rowEnd)>;

// Runs the kernel with X between NaN guards (any read past X that reaches a sample poisons it) and
// the output between kUnwritten guards, then again with X and the grid at their exact sizes, where
// the sanitizers see reads of lanes that are thrown away. Returns the output planes, whose
// unwritten elements keep kUnwritten; fails the test if an output guard changed or the runs differ.
inline std::vector<float> runGuarded(const Case& c, const Kernel& kernel, int rowBegin, int rowEnd) {
  std::vector<float> x(c.x.size() + 2 * kGuard, std::numeric_limits<float>::quiet_NaN());
  std::copy(c.x.begin(), c.x.end(), x.begin() + kGuard);
  const std::vector<float> grid = c.grid;
  const size_t outSize = size_t(c.C) * c.Hg * c.Wg;
  std::vector<float> y(outSize + 2 * kGuard, kUnwritten);
  kernel(x.data() + kGuard, grid.data(), y.data() + kGuard, c.C, c.H, c.W, c.Hg, c.Wg, rowBegin, rowEnd);
  for (size_t i = 0; i < kGuard; ++i) {
    EXPECT_EQ(y[i], kUnwritten) << "written " << kGuard - i << " before the output";
    EXPECT_EQ(y[kGuard + outSize + i], kUnwritten) << "written " << i << " past the output";
  }
  std::vector<float> out(y.begin() + kGuard, y.begin() + kGuard + outSize), exact(outSize, kUnwritten);
  kernel(c.x.data(), grid.data(), exact.data(), c.C, c.H, c.W, c.Hg, c.Wg, rowBegin, rowEnd);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), exact.begin(), exact.end(),
                         [](float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }));
  return out;
}

// Bitwise comparison, reporting the first differing element as (channel, row, column).
inline ::testing::AssertionResult sameBits(const std::vector<float>& expected, const std::vector<float>& actual, int Hg,
                                           int Wg) {
  if (expected.size() != actual.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::bit_cast<uint32_t>(expected[i]) != std::bit_cast<uint32_t>(actual[i])) {
      const size_t plane = size_t(Hg) * Wg;
      return ::testing::AssertionFailure() << "channel " << i / plane << " row " << i % plane / Wg << " column "
                                           << i % Wg << ": expected " << expected[i] << ", got " << actual[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// The row ranges every case runs: whole, partial, clamped at both ends, empty and reversed.
inline std::vector<std::pair<int, int>> rowRanges(int Hg) {
  return {{0, Hg}, {1, Hg - 1}, {-5, 2}, {Hg - 1, Hg + 7}, {3, 3}, {5, 2}};
}

// Grid coordinate (2k + 1) / size - 1 of pixel centre k, for a power-of-two size: then it and
// every step of unnormalise are exact, which the test checks.
inline float centreCoordinate(int k, int size, const std::function<float(float)>& unnormalise) {
  const float g = float(2 * k + 1) / float(size) - 1.0f;
  EXPECT_EQ(unnormalise(g), float(k)) << "pixel " << k << " of " << size;
  return g;
}

// Grid and expected output where output pixel (i, j) sits on the centre of pixel
// ((5 i) mod H, (7 j) mod W) of X: every pixel of a power-of-two X, on a grid of another size.
inline std::vector<float> placeOnCentres(Case& c, const std::function<float(float, int)>& unnormalise) {
  std::vector<float> expected(size_t(c.C) * c.Hg * c.Wg);
  for (int i = 0; i < c.Hg; ++i) {
    for (int j = 0; j < c.Wg; ++j) {
      const int r = 5 * i % c.H, q = 7 * j % c.W;
      const size_t o = size_t(i) * c.Wg + j;
      c.grid[2 * o] = centreCoordinate(q, c.W, [&](float g) { return unnormalise(g, c.W); });
      c.grid[2 * o + 1] = centreCoordinate(r, c.H, [&](float g) { return unnormalise(g, c.H); });
      for (int ch = 0; ch < c.C; ++ch) {
        expected[ch * size_t(c.Hg) * c.Wg + o] = c.x[(size_t(ch) * c.H + r) * c.W + q];
      }
    }
  }
  return expected;
}

}  // namespace qo::test::sampling
