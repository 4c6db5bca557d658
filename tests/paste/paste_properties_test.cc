// Properties of the composite that follow from its definition: the identity placement shows the
// sharpened crop itself, amount 0 leaves it unsharpened, an empty mask or an unplaceable
// transform leaves the frame alone, and a crop hanging over the edge writes only inside.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "paste/paste_test_util.h"

namespace qo {
namespace {

using ref::Sampling;
using test::Affine;
using test::GuardedFrame;

constexpr int kSide = 32, kW = 96, kH = 64;

class pasteProperties : public testing::TestWithParam<Sampling> {};

// The identity places crop pixel (x, y) at phase 0 on frame pixel (x, y): every filter's
// phase-0 taps are (.., 1, ..), the full mask gives alpha 1, so the byte is the truncated
// plane value. Frame pixels outside the square stay as they were.
void expectSquareShows(const std::vector<std::vector<float>>& planes, const std::vector<uint8_t>& before,
                       const GuardedFrame& frame) {
  ASSERT_TRUE(frame.guardsIntact());
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(y) * kW + x) * 3 + c;
        const int want = x < kSide && y < kSide ? int(planes[c][size_t(y) * kSide + x]) : before[i];
        ASSERT_EQ(int(frame.data()[i]), want) << "pixel (" << x << ", " << y << ") channel " << c;
      }
    }
  }
}

TEST_P(pasteProperties, IdentityWithFullMaskShowsTheSharpenedCrop) {
  std::mt19937 rng(5);
  const Unsharp u{1.3f, 2.0f, 13};
  Paste paste = test::pasteIn(GetParam(), std::vector<uint8_t>(kSide * kSide, 255), kSide, u);
  const std::vector<float> crop = test::randomCrop(kSide, rng);
  GuardedFrame frame(kW, kH, rng);
  const std::vector<uint8_t> before = frame.pixels();
  paste.composite(crop.data(), 255.0f, test::identity().m, frame.data(), kW, kH);
  expectSquareShows(ref::sharpenedPlanes(test::setupOf(kSide, u, GetParam()), crop.data(), 255.0f), before, frame);
}

TEST_P(pasteProperties, AmountZeroShowsTheScaledCropClamped) {
  std::mt19937 rng(6);
  const Unsharp u{0.0f, 2.0f, 13};
  Paste paste = test::pasteIn(GetParam(), std::vector<uint8_t>(kSide * kSide, 255), kSide, u);
  const std::vector<float> crop = test::randomCrop(kSide, rng);
  GuardedFrame frame(kW, kH, rng);
  const std::vector<uint8_t> before = frame.pixels();
  paste.composite(crop.data(), 255.0f, test::identity().m, frame.data(), kW, kH);
  std::vector<std::vector<float>> scaled(3, std::vector<float>(kSide * kSide));
  int clamped = 0;
  for (int c = 0; c < 3; ++c) {
    for (size_t i = 0; i < scaled[c].size(); ++i) {
      const float v = crop[c * scaled[c].size() + i] * 255.0f;
      scaled[c][i] = std::fmin(std::fmax(v, 0.0f), 255.0f);
      clamped += v != scaled[c][i];
    }
  }
  ASSERT_GT(clamped, 0);  // the crop does reach past both ends
  expectSquareShows(scaled, before, frame);
}

TEST_P(pasteProperties, ZeroMaskLeavesEveryByte) {
  std::mt19937 rng(7);
  Paste paste = test::pasteIn(GetParam(), std::vector<uint8_t>(kSide * kSide, 0), kSide, Unsharp{});
  GuardedFrame frame(kW, kH, rng);
  const std::vector<uint8_t> before = frame.pixels();
  for (int i = 0; i < 20; ++i) {
    const std::vector<float> crop = test::randomCrop(kSide, rng);
    paste.composite(crop.data(), 255.0f, test::randomAffine(kSide, kW, kH, rng).m, frame.data(), kW, kH);
  }
  EXPECT_EQ(test::firstDifference(before, frame.data(), kW), "");
  EXPECT_TRUE(frame.guardsIntact());
}

TEST_P(pasteProperties, UnplaceableTransformsLeaveEveryByte) {
  std::mt19937 rng(8);
  Paste paste = test::pasteIn(GetParam(), std::vector<uint8_t>(kSide * kSide, 255), kSide, Unsharp{});
  const std::vector<float> crop = test::randomCrop(kSide, rng);
  GuardedFrame frame(kW, kH, rng);
  const std::vector<uint8_t> before = frame.pixels();
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const Affine cases[] = {
      {{1.0f, 2.0f, 10.0f, 0.5f, 1.0f, 10.0f}},      // det = 1 - 1 = 0
      {{0.0f, 0.0f, 10.0f, 0.0f, 0.0f, 10.0f}},      // all of the crop on one point
      {{1.0f, 0.0f, 500.0f, 0.0f, 1.0f, 10.0f}},     // right of the frame
      {{1.0f, 0.0f, -80.0f, 0.0f, 1.0f, -80.0f}},    // above and left of it
      {{nan, 0.0f, 10.0f, 0.0f, 1.0f, 10.0f}},       // not a number
      {{inf, 0.0f, 10.0f, 0.0f, 1.0f, 10.0f}},       // infinite
      {{1e-7f, 0.0f, 50.0f, 0.0f, 1e-7f, 30.0f}},    // inverse too steep for 10-bit fixed point
      {{1e-4f, 1.0f, 40.0f, 1e-4f, 1.0f + 1e-4f, 20.0f}},  // nearly singular shear
  };
  for (const Affine& M : cases) paste.composite(crop.data(), 255.0f, M.m, frame.data(), kW, kH);
  paste.composite(crop.data(), 255.0f, test::identity().m, frame.data(), 0, kH);  // empty frames
  paste.composite(crop.data(), 255.0f, test::identity().m, frame.data(), kW, 0);
  EXPECT_EQ(test::firstDifference(before, frame.data(), kW), "");
  EXPECT_TRUE(frame.guardsIntact());
}

// The footprint reaches past every side of the frame; only pixels inside change.
TEST_P(pasteProperties, OverhangingCropWritesOnlyInsideTheFrame) {
  std::mt19937 rng(9);
  const Unsharp u;
  const std::vector<uint8_t> mask(kSide * kSide, 255);
  Paste paste = test::pasteIn(GetParam(), mask, kSide, u);
  const ref::PasteSetup setup = test::setupOf(kSide, u, GetParam());
  const int W = 24, H = 20;  // smaller than the crop
  GuardedFrame frame(W, H, rng);
  const Affine M = test::similarity(1.1f, 0.2f, -6.0f, -9.0f);
  const std::vector<float> crop = test::randomCrop(kSide, rng);
  std::vector<uint8_t> want = frame.pixels();
  ref::pasteComposite(setup, mask, crop.data(), 255.0f, M.m, want.data(), W, H);
  paste.composite(crop.data(), 255.0f, M.m, frame.data(), W, H);
  EXPECT_TRUE(frame.guardsIntact());
  EXPECT_EQ(test::firstDifference(want, frame.data(), W), "");
}

INSTANTIATE_TEST_SUITE_P(AllSamplings, pasteProperties, testing::ValuesIn(test::kAllSamplings), test::samplingName);

}  // namespace
}  // namespace qo
