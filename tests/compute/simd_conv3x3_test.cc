// conv3x3Range on every target against the reference.
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

constexpr float kUnwritten = -12345.0f;

struct ConvCase {
  int N, Cin, H, W, Cout;
  std::vector<float> in, weights, bias;
};

ConvCase randomCase(int N, int Cin, int H, int W, int Cout, std::mt19937& rng) {
  ConvCase c{N, Cin, H, W, Cout, {}, {}, {}};
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  c.in.resize(size_t(N) * Cin * H * W);
  c.weights.resize(size_t(Cout) * Cin * 9);
  c.bias.resize(size_t(Cout));
  for (float& f : c.in) f = value(rng);
  for (float& f : c.weights) f = value(rng);
  for (float& f : c.bias) f = value(rng);
  return c;
}

std::vector<float> run(const ConvCase& c, int lo, int hi, bool reference) {
  std::vector<float> out(size_t(c.N) * c.Cout * c.H * c.W, kUnwritten);
  (reference ? qo::ref::conv3x3Range : qo::simd::conv3x3Range)(c.in.data(), c.N, c.Cin, c.H, c.W, c.weights.data(),
                                                                c.bias.data(), c.Cout, out.data(), lo, hi);
  return out;
}

// Bitwise comparison, reporting the first differing element.
::testing::AssertionResult sameBits(const std::vector<float>& expected, const std::vector<float>& actual) {
  if (expected.size() != actual.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::bit_cast<uint32_t>(expected[i]) != std::bit_cast<uint32_t>(actual[i])) {
      return ::testing::AssertionFailure() << "element " << i << ": expected " << expected[i] << ", got "
                                           << actual[i];
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(simdConv3x3, PlaneShapesAndRangesMatchReference) {
  std::mt19937 rng(41);
  struct Shape {
    int H, W;
  };
  // Widths around every block: partial 8-column blocks, 16-column blocks, runs of several blocks.
  const Shape shapes[] = {{1, 1}, {1, 2}, {2, 1}, {1, 5}, {5, 1}, {2, 2}, {3, 3},  {4, 6},  {3, 7},
                          {2, 9}, {3, 13}, {3, 16}, {4, 17}, {5, 18}, {3, 19}, {2, 21}, {4, 22},
                          {3, 33}, {2, 34}, {6, 35}, {3, 37}, {2, 50}, {9, 64}};
  std::vector<ConvCase> cases;
  for (const Shape& s : shapes) cases.push_back(randomCase(2, 3, s.H, s.W, 5, rng));
  cases.push_back(randomCase(1, 16, 8, 40, 16, rng));
  cases.push_back(randomCase(3, 1, 4, 20, 1, rng));
  // Wide blocks of a lone plane, equal runs across a plane wider than the tile, and channels too
  // many for the tile.
  cases.push_back(randomCase(1, 16, 5, 71, 1, rng));
  cases.push_back(randomCase(1, 16, 4, 197, 6, rng));
  cases.push_back(randomCase(1, 180, 3, 11, 2, rng));
  forEachSimdTarget([&] {
    for (const ConvCase& c : cases) {
      const int planes = c.N * c.Cout;
      for (auto [lo, hi] : {std::pair{0, planes}, std::pair{1, planes - 1}, std::pair{3, 4}, std::pair{2, 2}}) {
        if (hi < lo || hi > planes) continue;
        EXPECT_TRUE(sameBits(run(c, lo, hi, true), run(c, lo, hi, false)))
            << "H " << c.H << " W " << c.W << " Cin " << c.Cin << " Cout " << c.Cout << " planes [" << lo << ", "
            << hi << ")";
      }
    }
  });
}

TEST(simdConv3x3, WritesOnlyItsPlanes) {
  std::mt19937 rng(42);
  const ConvCase c = randomCase(2, 2, 5, 23, 3, rng);
  const size_t plane = size_t(c.H) * c.W;
  forEachSimdTarget([&] {
    const std::vector<float> out = run(c, 2, 5, false);
    for (size_t k = 0; k < 6; ++k) {
      const bool inside = k >= 2 && k < 5;
      for (size_t i = 0; i < plane; ++i) {
        ASSERT_EQ(out[k * plane + i] == kUnwritten, !inside) << "plane " << k << " element " << i;
      }
    }
  });
}

TEST(simdConv3x3, SinglePixelPlaneUsesOnlyTheCentreTap) {
  std::mt19937 rng(43);
  const ConvCase c = randomCase(2, 4, 1, 1, 3, rng);
  forEachSimdTarget([&] {
    const std::vector<float> out = run(c, 0, 6, false);
    for (int k = 0; k < 6; ++k) {
      const int nb = k / 3, oc = k % 3;
      float acc = 0.0f;
      for (int ci = 0; ci < 4; ++ci) acc += c.weights[(size_t(oc) * 4 + ci) * 9 + 4] * c.in[size_t(nb) * 4 + ci];
      EXPECT_EQ(std::bit_cast<uint32_t>(out[k]), std::bit_cast<uint32_t>(c.bias[oc] + acc)) << "plane " << k;
    }
  });
}

TEST(simdConv3x3, NarrowPlaneEqualsTheInteriorOfAWidePlane) {
  // Columns 1..15 of a 17-wide plane see only columns 0..16, so they must equal the same columns
  // of a 40-wide plane holding the same first 17 columns.
  std::mt19937 rng(44);
  const ConvCase wide = randomCase(1, 3, 6, 40, 2, rng);
  ConvCase narrow = wide;
  narrow.W = 17;
  narrow.in.resize(size_t(3) * 6 * 17);
  for (size_t p = 0; p < 3 * 6; ++p) {
    for (int x = 0; x < 17; ++x) narrow.in[p * 17 + x] = wide.in[p * 40 + x];
  }
  forEachSimdTarget([&] {
    const std::vector<float> outWide = run(wide, 0, 2, false);
    const std::vector<float> outNarrow = run(narrow, 0, 2, false);
    for (size_t p = 0; p < 2 * 6; ++p) {
      for (int x = 1; x <= 15; ++x) {
        ASSERT_EQ(std::bit_cast<uint32_t>(outNarrow[p * 17 + x]), std::bit_cast<uint32_t>(outWide[p * 40 + x]))
            << "row " << p << " column " << x;
      }
    }
  });
}

TEST(simdConv3x3, SignedZerosAndNoOutputChannels) {
  std::mt19937 rng(45);
  ConvCase c = randomCase(1, 2, 4, 21, 2, rng);
  std::fill(c.in.begin(), c.in.end(), 0.0f);
  c.bias = {-0.0f, 0.0f};
  for (size_t i = 0; i < c.weights.size(); i += 2) c.weights[i] = -c.weights[i];
  forEachSimdTarget([&] {
    // The sum starts from +0, so a -0 bias with all-zero products gives +0.
    const std::vector<float> out = run(c, 0, 2, false);
    for (float f : out) ASSERT_EQ(std::bit_cast<uint32_t>(f), 0u);
    ConvCase none = c;
    none.Cout = 0;
    std::vector<float> untouched(16, kUnwritten);
    qo::simd::conv3x3Range(none.in.data(), 1, 2, 4, 21, none.weights.data(), none.bias.data(), 0, untouched.data(),
                           0, 2);
    for (float f : untouched) ASSERT_EQ(f, kUnwritten);
  });
}

}  // namespace
