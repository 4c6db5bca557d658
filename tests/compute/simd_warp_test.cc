// warpDirectorRows on every target against the reference: the 4x4-block interior path, the
// clamped border path and the tail, on grids inside, on and beyond the image.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "compute/simd_reference.h"
#include "compute/simd_sampling_cases.h"
#include "compute/simd_targets.h"
#include "qo/qo_simd.h"

namespace {

using namespace qo::test::sampling;
using qo::test::forEachSimdTarget;

void refWarp(const float* x, const float* grid, float* y, int, int H, int W, int Hg, int Wg, int begin, int end) {
  qo::ref::warpDirectorRows(x, grid, y, H, W, Hg, Wg, begin, end);
}

void simdWarp(const float* x, const float* grid, float* y, int, int H, int W, int Hg, int Wg, int begin, int end) {
  qo::simd::warpDirectorRows(x, grid, y, H, W, Hg, Wg, begin, end);
}

struct Shape {
  int H, W, Hg, Wg;
};

// Images too small for any interior block (under 4 in either direction), just large enough, and
// large with grids of other sizes.
constexpr Shape kShapes[] = {{1, 1, 1, 1},  {1, 1, 3, 9}, {2, 3, 2, 3},     {3, 5, 4, 11},    {4, 4, 4, 4},
                             {5, 4, 6, 17}, {4, 9, 5, 9}, {17, 23, 17, 23}, {33, 40, 12, 37}, {24, 64, 30, 16}};

TEST(simdWarpDirector, EveryGridMatchesReference) {
  std::mt19937 rng(71);
  std::vector<Case> cases;
  for (const Shape& s : kShapes) {
    for (Grid kind : kAllGrids) cases.push_back(makeCase(3, s.H, s.W, s.Hg, s.Wg, kind, rng));
  }
  forEachSimdTarget([&] {
    for (size_t k = 0; k < cases.size(); ++k) {
      const Case& c = cases[k];
      for (auto [begin, end] : rowRanges(c.Hg)) {
        EXPECT_TRUE(sameBits(runGuarded(c, refWarp, begin, end), runGuarded(c, simdWarp, begin, end), c.Hg, c.Wg))
            << gridName(kAllGrids[k % std::size(kAllGrids)]) << " grid, X " << c.H << "x" << c.W << " grid " << c.Hg
            << "x" << c.Wg << " rows [" << begin << ", " << end << ")";
      }
    }
  });
}

TEST(simdWarpDirector, PixelCentresReproduceX) {
  // On a pixel centre both fractions are 0, so the correction weights vanish and the bilinear
  // weight is all on one tap.
  std::mt19937 rng(72);
  Case c = makeCase(3, 8, 16, 11, 21, Grid::Random, rng);
  const std::vector<float> expected =
      placeOnCentres(c, [](float g, int size) { return ((g + 1.0f) * float(size) - 1.0f) * 0.5f; });
  forEachSimdTarget([&] { EXPECT_TRUE(sameBits(expected, runGuarded(c, simdWarp, 0, c.Hg), c.Hg, c.Wg)); });
}

}  // namespace
