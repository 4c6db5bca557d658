// What the compositor accepts at construction, the environment overrides it reads there, and
// its filter tables checked against their definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "paste/paste_test_util.h"
#include "paste/qo_paste_settings.h"
#include "paste/qo_paste_tables.h"

namespace qo {
namespace {

using ref::Sampling;
using test::ScopedEnv;

std::string refusal(int side, size_t maskBytes, const Unsharp& u) {
  try {
    Paste p(std::vector<uint8_t>(maskBytes, 255), side, u);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(accepted)";
}

std::string badUnsharp(int maxKsize, int side, const char* sigma, int ksize, const char* amount) {
  return "paste: bad unsharp (sigma must be > 0, ksize odd in 1.." + std::to_string(maxKsize) +
         " for a crop of side " + std::to_string(side) + ", amount finite; got sigma " + sigma + ", ksize " +
         std::to_string(ksize) + ", amount " + amount + ")";
}

TEST(pasteRefusals, ShapeOfCropAndMask) {
  EXPECT_EQ(refusal(32, 32 * 32 - 1, Unsharp{}), "paste: mask size");
  EXPECT_EQ(refusal(32, 32 * 32 + 1, Unsharp{}), "paste: mask size");
  EXPECT_EQ(refusal(0, 0, Unsharp{}), "paste: side < 1");
  EXPECT_EQ(refusal(-5, 0, Unsharp{}), "paste: side < 1");
  EXPECT_EQ(refusal(1025, 1025 * 1025, Unsharp{}), "paste: side > 1024");
}

TEST(pasteRefusals, EvenKsize) {
  for (int k : {0, 2, 12, 14, -2}) EXPECT_EQ(refusal(32, 32 * 32, Unsharp{1.3f, 2.0f, k}), "paste: ksize must be odd");
}

TEST(pasteRefusals, SettingsThatCannotMakeAKernel) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  // sigma 0 is also what a non-numeric manifest value reads as.
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, 0.0f, 13}), badUnsharp(63, 32, "0", 13, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, -2.0f, 13}), badUnsharp(63, 32, "-2", 13, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, nan, 13}), badUnsharp(63, 32, "nan", 13, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, inf, 13}), badUnsharp(63, 32, "inf", 13, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, 2.0f, -1}), badUnsharp(63, 32, "2", -1, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, 2.0f, -13}), badUnsharp(63, 32, "2", -13, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{1.3f, 2.0f, 65}), badUnsharp(63, 32, "2", 65, "1.3"));
  EXPECT_EQ(refusal(32, 1024, Unsharp{nan, 2.0f, 13}), badUnsharp(63, 32, "2", 13, "nan"));
  EXPECT_EQ(refusal(1, 1, Unsharp{1.3f, 2.0f, 3}), badUnsharp(1, 1, "2", 3, "1.3"));
}

// Mirror padding by r = ksize / 2 without repeating the edge needs r <= side - 1.
TEST(pasteRefusals, WidestKernelIsTwiceTheSideLessOne) {
  for (int side : {1, 2, 4, 7}) {
    const int widest = 2 * side - 1;
    EXPECT_EQ(refusal(side, size_t(side) * side, Unsharp{1.3f, 2.0f, widest + 2}),
              badUnsharp(widest, side, "2", widest + 2, "1.3"));
    std::mt19937 rng{unsigned(side)};
    const Unsharp u{1.3f, 1.5f, widest};
    const std::vector<uint8_t> mask = test::featheredMask(side, rng);
    Paste paste = test::pasteIn(Sampling::kLanczos8, mask, side, u);
    EXPECT_EQ(paste.ksize(), widest);
    const std::vector<float> crop = test::randomCrop(side, rng);
    test::GuardedFrame frame(12, 10, rng);
    std::vector<uint8_t> want = frame.pixels();
    const test::Affine M = test::similarity(1.2f, 0.3f, 2.0f, 1.0f);
    ref::pasteComposite(test::setupOf(side, u, Sampling::kLanczos8), mask, crop.data(), 255.0f, M.m, want.data(), 12,
                        10);
    paste.composite(crop.data(), 255.0f, M.m, frame.data(), 12, 10);
    EXPECT_EQ(test::firstDifference(want, frame.data(), 12), "") << "side " << side;
    EXPECT_TRUE(frame.guardsIntact());
  }
}

TEST(pasteRefusals, LargestSideIsAccepted) {
  Paste paste(std::vector<uint8_t>(1024 * 1024, 255), 1024, Unsharp{1.3f, 2.0f, 1});
  EXPECT_EQ(paste.side(), 1024);
}

TEST(pasteEnvironment, SampleModeParsing) {
  EXPECT_EQ(paste::sampleModeFrom(nullptr), 0);
  EXPECT_EQ(paste::sampleModeFrom("1"), 1);
  EXPECT_EQ(paste::sampleModeFrom("2"), 2);
  EXPECT_EQ(paste::sampleModeFrom("3"), 0);
  EXPECT_EQ(paste::sampleModeFrom("-1"), 0);
  EXPECT_EQ(paste::sampleModeFrom("bicubic"), 0);
  EXPECT_EQ(paste::sampleModeFrom(""), 0);
  EXPECT_EQ(paste::sampleModeFrom("2 "), 2);
  EXPECT_EQ(paste::sampleModeFrom("4294967297"), 0);  // not 1 after narrowing
}

TEST(pasteEnvironment, KsizeParsing) {
  EXPECT_EQ(paste::ksizeFrom(nullptr, 13), 13);
  EXPECT_EQ(paste::ksizeFrom("7", 13), 7);
  EXPECT_EQ(paste::ksizeFrom("3", 13), 3);
  EXPECT_EQ(paste::ksizeFrom("13", 13), 13);
  EXPECT_EQ(paste::ksizeFrom("15", 13), 13);  // larger than the manifest's
  EXPECT_EQ(paste::ksizeFrom("8", 13), 13);   // even
  EXPECT_EQ(paste::ksizeFrom("1", 13), 13);   // not above 2
  EXPECT_EQ(paste::ksizeFrom("-7", 13), 13);
  EXPECT_EQ(paste::ksizeFrom("seven", 13), 13);
  EXPECT_EQ(paste::ksizeFrom("4294967303", 13), 13);  // 2^32 + 7 must not narrow to 7
}

// Composites one random scene with a compositor built under the current environment and with
// the reference at `ksize` and `sampling`; true when they agree byte for byte.
bool agreesWithReference(int ksize, Sampling sampling, Paste& paste) {
  constexpr int kSide = 32, kW = 96, kH = 64;
  std::mt19937 rng(31);
  const Unsharp u{1.6f, 2.5f, ksize};
  const std::vector<uint8_t> mask = test::featheredMask(kSide, rng);
  const std::vector<float> crop = test::randomCrop(kSide, rng);
  test::GuardedFrame frame(kW, kH, rng);
  std::vector<uint8_t> want = frame.pixels();
  const test::Affine M = test::similarity(1.1f, 0.15f, 30.0f, 10.0f);
  ref::pasteComposite(test::setupOf(kSide, u, sampling), mask, crop.data(), 255.0f, M.m, want.data(), kW, kH);
  paste.composite(crop.data(), 255.0f, M.m, frame.data(), kW, kH);
  return test::firstDifference(want, frame.data(), kW).empty();
}

Paste sceneCompositor(const char* fast, const char* ksize) {
  ScopedEnv f("QO_PASTE_FAST", fast);
  ScopedEnv k("QO_PASTE_KSIZE", ksize);
  std::mt19937 rng(31);
  return Paste(test::featheredMask(32, rng), 32, Unsharp{1.6f, 2.5f, 13});
}

TEST(pasteEnvironment, KsizeOverrideBlursWithItsTaps) {
  Paste seven = sceneCompositor(nullptr, "7");
  EXPECT_EQ(seven.ksize(), 7);
  EXPECT_TRUE(agreesWithReference(7, Sampling::kLanczos8, seven));
  Paste sevenAgain = sceneCompositor(nullptr, "7");
  EXPECT_FALSE(agreesWithReference(13, Sampling::kLanczos8, sevenAgain));  // the taps do matter
  for (const char* ignored : {"15", "8", "1", "x"}) {
    Paste p = sceneCompositor(nullptr, ignored);
    EXPECT_EQ(p.ksize(), 13) << ignored;
    EXPECT_TRUE(agreesWithReference(13, Sampling::kLanczos8, p)) << ignored;
  }
}

// The override never exceeds the manifest's ksize, which was already held to 2 * side - 1.
TEST(pasteEnvironment, KsizeOverrideStaysWithinTheCrop) {
  for (const auto& [value, want] : {std::pair{"9", 7}, std::pair{"5", 5}, std::pair{"7", 7}}) {
    ScopedEnv k("QO_PASTE_KSIZE", value);
    Paste p(std::vector<uint8_t>(16, 255), 4, Unsharp{1.3f, 2.0f, 7});
    EXPECT_EQ(p.ksize(), want) << value;
  }
}

TEST(pasteEnvironment, SampleModeOverride) {
  const struct {
    const char* value;
    Sampling sampling;
  } cases[] = {{nullptr, Sampling::kLanczos8}, {"0", Sampling::kLanczos8}, {"1", Sampling::kBicubic},
               {"2", Sampling::kBilinear},     {"3", Sampling::kLanczos8}, {"-1", Sampling::kLanczos8}};
  for (const auto& c : cases) {
    Paste p = sceneCompositor(c.value, nullptr);
    EXPECT_EQ(p.fast(), int(c.sampling)) << (c.value ? c.value : "unset");
    EXPECT_TRUE(agreesWithReference(13, c.sampling, p)) << (c.value ? c.value : "unset");
  }
  Paste bicubic = sceneCompositor("1", nullptr);
  EXPECT_FALSE(agreesWithReference(13, Sampling::kLanczos8, bicubic));  // the modes do differ here
}

TEST(pasteEnvironment, ReadAtConstructionOnly) {
  Paste p = sceneCompositor("2", "5");
  ScopedEnv f("QO_PASTE_FAST", "1");
  ScopedEnv k("QO_PASTE_KSIZE", "9");
  EXPECT_EQ(p.fast(), 2);
  EXPECT_EQ(p.ksize(), 5);
  EXPECT_TRUE(agreesWithReference(5, Sampling::kBilinear, p));
}

TEST(pasteTables, LanczosPhases) {
  const std::vector<float> tab = paste::lanczosTable();
  ASSERT_EQ(tab.size(), 32u * 8);
  for (int t = 0; t < 8; ++t) EXPECT_EQ(tab[t], t == 3 ? 1.0f : 0.0f);
  const auto sinc = [](double x) { return std::sin(M_PI * x) / (M_PI * x); };
  for (int j = 1; j < 32; ++j) {
    const float* w = &tab[8 * j];
    EXPECT_NEAR(std::accumulate(w, w + 8, 0.0), 1.0, 1e-6) << j;
    for (int t = 0; t < 8; ++t) EXPECT_NEAR(w[t], tab[8 * (32 - j) + 7 - t], 1e-6) << j;  // mirror phase
    // Ratio of two taps is the ratio of their windowed sincs: normalisation cancels.
    const double p = j / 32.0, t3 = p, t4 = p - 1;
    EXPECT_NEAR(double(w[3]) / w[4], sinc(t3) * sinc(t3 / 4) / (sinc(t4) * sinc(t4 / 4)), 1e-5) << j;
  }
  EXPECT_EQ(tab[8 * 16 + 3], tab[8 * 16 + 4]);  // half phase: taps at -1/2 and +1/2
}

TEST(pasteTables, BilinearAndCubicPhases) {
  const std::vector<float> bil = paste::bilinearTable(), cub = paste::cubicTable();
  ASSERT_EQ(bil.size(), 64u);
  ASSERT_EQ(cub.size(), 128u);
  for (int j = 0; j < 32; ++j) {
    EXPECT_EQ(bil[2 * j], 1.0f - j / 32.0f);
    EXPECT_EQ(bil[2 * j + 1], j / 32.0f);
    EXPECT_NEAR(cub[4 * j] + cub[4 * j + 1] + cub[4 * j + 2] + cub[4 * j + 3], 1.0, 1e-6);
  }
  EXPECT_EQ(cub[0], 0.0f);
  EXPECT_EQ(cub[1], 1.0f);
  EXPECT_EQ(cub[2], 0.0f);
  EXPECT_EQ(cub[3], 0.0f);
  // Keys with a = -0.75 at p = 1/2: outer taps (a/8) = -0.09375, inner 0.59375.
  EXPECT_FLOAT_EQ(cub[4 * 16], -0.09375f);
  EXPECT_FLOAT_EQ(cub[4 * 16 + 1], 0.59375f);
  EXPECT_FLOAT_EQ(cub[4 * 16 + 2], 0.59375f);
  EXPECT_FLOAT_EQ(cub[4 * 16 + 3], -0.09375f);
}

TEST(pasteTables, GaussianWeights) {
  const std::vector<float> g = paste::gaussianWeights(13, 2.0f);
  ASSERT_EQ(g.size(), 13u);
  EXPECT_NEAR(std::accumulate(g.begin(), g.end(), 0.0), 1.0, 1e-6);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(g[i], g[12 - i]);
  for (int i = 6; i < 12; ++i) {
    const double d = i - 6;
    EXPECT_NEAR(double(g[i + 1]) / g[i], std::exp(-(2 * d + 1) / 8.0), 1e-6);  // sigma^2 = 4
  }
  EXPECT_EQ(paste::gaussianWeights(1, 0.5f), std::vector<float>{1.0f});
  // A tiny sigma is a delta, not NaN.
  const std::vector<float> delta = paste::gaussianWeights(5, 1e-30f);
  EXPECT_EQ(delta, (std::vector<float>{0, 0, 1, 0, 0}));
}

}  // namespace
}  // namespace qo
