// gridSampleRows on every target against the reference, and its border semantics.
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

struct Shape {
  int C, H, W, Hg, Wg;
};

// 1x1 images and grids, sizes off every lane count, grids larger and smaller than X, one channel
// and more than one tail pass of channels.
constexpr Shape kShapes[] = {{1, 1, 1, 1, 1},      {3, 1, 1, 5, 7},   {2, 5, 7, 5, 7},  {3, 17, 23, 17, 23},
                             {3, 16, 16, 9, 33},   {1, 1, 9, 3, 13},  {4, 9, 1, 11, 3}, {17, 6, 10, 7, 9},
                             {12, 31, 45, 31, 45}, {3, 40, 24, 6, 8}, {2, 2, 2, 2, 64}};

TEST(simdGridSample, EveryGridMatchesReference) {
  std::mt19937 rng(61);
  std::vector<Case> cases;
  for (const Shape& s : kShapes) {
    for (Grid kind : kAllGrids) cases.push_back(makeCase(s.C, s.H, s.W, s.Hg, s.Wg, kind, rng));
  }
  forEachSimdTarget([&] {
    for (size_t k = 0; k < cases.size(); ++k) {
      const Case& c = cases[k];
      for (auto [begin, end] : rowRanges(c.Hg)) {
        EXPECT_TRUE(sameBits(runGuarded(c, qo::ref::gridSampleRows, begin, end),
                             runGuarded(c, qo::simd::gridSampleRows, begin, end), c.Hg, c.Wg))
            << gridName(kAllGrids[k % std::size(kAllGrids)]) << " grid, C " << c.C << " X " << c.H << "x" << c.W
            << " grid " << c.Hg << "x" << c.Wg << " rows [" << begin << ", " << end << ")";
      }
    }
  });
}

TEST(simdGridSample, CornersAndPixelCentresReproduceX) {
  std::mt19937 rng(62);
  Case centres = makeCase(3, 8, 16, 11, 21, Grid::Random, rng);
  const std::vector<float> onCentres =
      placeOnCentres(centres, [](float g, int size) { return ((g + 1.0f) * 0.5f) * float(size) - 0.5f; });
  const Case base = makeCase(3, 7, 19, 7, 19, Grid::Random, rng);
  Case low = base, high = base;
  low.grid = makeGrid(Grid::AllMinus1, base.H, base.W, rng);
  high.grid = makeGrid(Grid::AllPlus1, base.H, base.W, rng);
  const size_t plane = size_t(base.H) * base.W;
  forEachSimdTarget([&] {
    EXPECT_TRUE(
        sameBits(onCentres, runGuarded(centres, qo::simd::gridSampleRows, 0, centres.Hg), centres.Hg, centres.Wg));
    const std::vector<float> y0 = runGuarded(low, qo::simd::gridSampleRows, 0, base.H);
    const std::vector<float> y1 = runGuarded(high, qo::simd::gridSampleRows, 0, base.H);
    for (int c = 0; c < 3; ++c) {
      for (size_t i = 0; i < plane; ++i) {
        ASSERT_EQ(y0[c * plane + i], base.x[c * plane]) << "all -1, channel " << c;
        ASSERT_EQ(y1[c * plane + i], base.x[c * plane + plane - 1]) << "all +1, channel " << c;
      }
    }
  });
}

}  // namespace
