// The compositor against the scalar reference, byte for byte, in every sampling mode: random
// crops, masks, sharpening settings and transforms on a tiny canvas, and 512 crops in a
// 1920 x 1080 frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "compute/simd_targets.h"
#include "paste/paste_test_util.h"

namespace qo {
namespace {

using ref::Sampling;
using test::Affine;
using test::GuardedFrame;

class pasteMatchesReference : public testing::TestWithParam<Sampling> {};

// Runs the engine on `frame` and the reference on a copy; true when the frames and guards agree.
::testing::AssertionResult compositeAgrees(Paste& paste, const ref::PasteSetup& setup, const std::vector<uint8_t>& mask,
                                           const std::vector<float>& crop, float scale, const Affine& M,
                                           GuardedFrame& frame, bool* changed) {
  std::vector<uint8_t> want = frame.pixels();
  const std::vector<uint8_t> before = want;
  ref::pasteComposite(setup, mask, crop.data(), scale, M.m, want.data(), frame.W, frame.H);
  paste.composite(crop.data(), scale, M.m, frame.data(), frame.W, frame.H);
  if (!frame.guardsIntact()) return ::testing::AssertionFailure() << "a write landed outside the frame";
  const std::string diff = test::firstDifference(want, frame.data(), frame.W);
  if (!diff.empty()) return ::testing::AssertionFailure() << diff;
  *changed = want != before;
  return ::testing::AssertionSuccess();
}

TEST_P(pasteMatchesReference, RandomScenesOnATinyCanvas) {
  constexpr int kSide = 32, kW = 96, kH = 64, kScenes = 60;
  std::mt19937 rng(20240611u + unsigned(GetParam()));
  int changedScenes = 0;
  for (int scene = 0; scene < kScenes; ++scene) {
    Unsharp u;
    u.amount = std::uniform_real_distribution<float>(0.0f, 2.0f)(rng);
    u.sigma = std::uniform_real_distribution<float>(0.4f, 4.0f)(rng);
    u.ksize = 1 + 2 * int(rng() % 16);  // 1 .. 31
    if (scene == 0) u.ksize = 2 * kSide - 1;  // widest kernel the crop can mirror-pad
    const std::vector<uint8_t> mask = test::featheredMask(kSide, rng);
    Paste paste = test::pasteIn(GetParam(), mask, kSide, u);
    const ref::PasteSetup setup = test::setupOf(kSide, u, GetParam());
    GuardedFrame frame(kW, kH, rng);
    bool changed = false;
    // Two frames through one compositor: planes and column tables are reused.
    for (int pass = 0; pass < 2; ++pass) {
      const std::vector<float> crop = test::randomCrop(kSide, rng);
      const Affine M = test::randomAffine(kSide, kW, kH, rng);
      const float scale = rng() % 2 ? 255.0f : 200.0f;
      bool passChanged = false;
      ASSERT_TRUE(compositeAgrees(paste, setup, mask, crop, scale, M, frame, &passChanged))
          << "scene " << scene << " pass " << pass << " ksize " << u.ksize;
      changed = changed || passChanged;
    }
    changedScenes += changed;
  }
  // Most placements overlap the frame; the comparison must not pass by doing nothing.
  EXPECT_GT(changedScenes, kScenes / 2);
}

TEST_P(pasteMatchesReference, FullHdFrameWith512Crop) {
  constexpr int kSide = 512, kW = 1920, kH = 1080;
  std::mt19937 rng(77u + unsigned(GetParam()));
  const Unsharp u;  // 1.3, 2.0, 13
  const std::vector<uint8_t> mask = test::featheredMask(kSide, rng);
  Paste paste = test::pasteIn(GetParam(), mask, kSide, u);
  const ref::PasteSetup setup = test::setupOf(kSide, u, GetParam());
  GuardedFrame frame(kW, kH, rng);
  // A typical placement, then one hanging over the bottom-right corner.
  const Affine placements[] = {test::similarity(1.18f, 0.06f, 690.0f, 150.0f),
                               test::similarity(1.05f, -0.12f, 1600.0f, 820.0f)};
  for (const Affine& M : placements) {
    const std::vector<float> crop = test::randomCrop(kSide, rng);
    bool changed = false;
    ASSERT_TRUE(compositeAgrees(paste, setup, mask, crop, 255.0f, M, frame, &changed));
    EXPECT_TRUE(changed);
  }
}

// Masks of a few small islands, anywhere up to the crop edge: the sharpen pass computes only
// what samples of nonzero coverage read, so the islands' rims must still see the true sharpened
// crop, and the stale rest from the first frame must not leak into the second.
TEST_P(pasteMatchesReference, SparseMaskIslands) {
  constexpr int kSide = 32, kW = 100, kH = 100, kScenes = 24;
  std::mt19937 rng(4242u + unsigned(GetParam()));
  int changedScenes = 0;
  for (int scene = 0; scene < kScenes; ++scene) {
    std::vector<uint8_t> mask(size_t(kSide) * kSide, 0);
    for (int island = 0; island < 3; ++island) {
      const int cx = int(rng() % kSide), cy = int(rng() % kSide), reach = int(rng() % 3);
      for (int y = std::max(0, cy - reach); y <= std::min(kSide - 1, cy + reach); ++y)
        for (int x = std::max(0, cx - reach); x <= std::min(kSide - 1, cx + reach); ++x)
          mask[size_t(y) * kSide + x] = uint8_t(1 + rng() % 255);
    }
    const Unsharp u{1.3f, 1.5f, 1 + 2 * int(rng() % 8)};
    Paste paste = test::pasteIn(GetParam(), mask, kSide, u);
    GuardedFrame frame(kW, kH, rng);
    bool changed = false;
    for (int pass = 0; pass < 2; ++pass) {
      const float scale = std::uniform_real_distribution<float>(1.0f, 2.0f)(rng);
      const float angle = std::uniform_real_distribution<float>(-3.2f, 3.2f)(rng);
      Affine M = test::similarity(scale, angle, 0.0f, 0.0f);
      const float h = (kSide - 1) / 2.0f;
      M.m[2] = kW / 2.0f - (M.m[0] * h + M.m[1] * h);
      M.m[5] = kH / 2.0f - (M.m[3] * h + M.m[4] * h);
      bool passChanged = false;
      ASSERT_TRUE(compositeAgrees(paste, test::setupOf(kSide, u, GetParam()), mask, test::randomCrop(kSide, rng),
                                  255.0f, M, frame, &passChanged))
          << "scene " << scene << " pass " << pass;
      changed = changed || passChanged;
    }
    changedScenes += changed;
  }
  EXPECT_EQ(changedScenes, kScenes);
}

// The compositor's own vector loops (blur, interleave, bicubic and bilinear rows) and the
// Lanczos kernel, pinned to each compiled target in turn, give the same bytes.
TEST_P(pasteMatchesReference, EveryCompiledTarget) {
  constexpr int kSide = 40, kW = 120, kH = 90;
  test::forEachSimdTarget([&] {
    std::mt19937 rng(99u + unsigned(GetParam()));
    for (int scene = 0; scene < 8; ++scene) {
      const Unsharp u{1.3f, 1.8f, 1 + 2 * int(rng() % 12)};
      const std::vector<uint8_t> mask = test::featheredMask(kSide, rng);
      Paste paste = test::pasteIn(GetParam(), mask, kSide, u);
      GuardedFrame frame(kW, kH, rng);
      const std::vector<float> crop = test::randomCrop(kSide, rng);
      bool changed = false;
      ASSERT_TRUE(compositeAgrees(paste, test::setupOf(kSide, u, GetParam()), mask, crop, 255.0f,
                                  test::randomAffine(kSide, kW, kH, rng), frame, &changed))
          << "scene " << scene;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(AllSamplings, pasteMatchesReference, testing::ValuesIn(test::kAllSamplings),
                         test::samplingName);

}  // namespace
}  // namespace qo
