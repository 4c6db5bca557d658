// conv3x3F23 on every target: the direct convolution (in double) to rounding, the same bits on
// every target, and nothing written for shapes it does not take.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "compute/simd_targets.h"
#include "qo/qo_conv_f23.h"

namespace {

using qo::test::forEachSimdTarget;

struct Layer {
  int cin, H, W, cout;
  std::vector<float> in, weights, bias, u;
};

Layer randomLayer(int cin, int H, int W, int cout, std::mt19937& rng) {
  Layer l{cin, H, W, cout, {}, {}, {}, {}};
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  l.in.resize(size_t(cin) * H * W);
  l.weights.resize(size_t(cout) * cin * 9);
  l.bias.resize(size_t(cout));
  for (float& f : l.in) f = value(rng);
  for (float& f : l.weights) f = value(rng);
  for (float& f : l.bias) f = value(rng);
  l.u.resize(qo::simd::conv3x3F23WeightFloats(cin, cout));
  qo::simd::conv3x3F23Weights(l.weights.data(), cin, cout, l.u.data());
  return l;
}

// The direct convolution in double, and the sum of the magnitudes of its terms (the scale of
// its rounding error) per output.
void direct(const Layer& l, std::vector<double>& out, std::vector<double>& scale) {
  const size_t plane = size_t(l.H) * l.W;
  out.assign(size_t(l.cout) * plane, 0.0);
  scale.assign(out.size(), 0.0);
  for (int oc = 0; oc < l.cout; ++oc)
    for (int y = 0; y < l.H; ++y)
      for (int x = 0; x < l.W; ++x) {
        double acc = l.bias[size_t(oc)], mag = std::fabs(acc);
        for (int ci = 0; ci < l.cin; ++ci)
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int yy = y + ky - 1, xx = x + kx - 1;
              if (yy < 0 || yy >= l.H || xx < 0 || xx >= l.W) continue;
              const double t = double(l.weights[((size_t(oc) * l.cin + ci) * 3 + ky) * 3 + kx]) *
                               l.in[ci * plane + size_t(yy) * l.W + xx];
              acc += t;
              mag += std::fabs(t);
            }
        out[oc * plane + size_t(y) * l.W + x] = acc;
        scale[oc * plane + size_t(y) * l.W + x] = mag;
      }
}

TEST(simdConvF23, MatchesTheDirectConvolutionWithTheSameBitsOnEveryTarget) {
  std::mt19937 rng(23);
  // Single pixels, odd sides (a partial last tile), one run and several runs of tiles (W 100 is
  // 50 tile columns), one and several output-channel chunks, one to the largest input count.
  const int shapes[][4] = {{1, 1, 1, 1},   {3, 2, 3, 5},    {7, 5, 7, 16},  {16, 9, 17, 4},
                           {7, 56, 71, 16}, {16, 6, 100, 17}, {16, 4, 97, 33}, {2, 13, 2, 3}};
  for (const auto& s : shapes) {
    const Layer l = randomLayer(s[0], s[1], s[2], s[3], rng);
    SCOPED_TRACE(::testing::Message() << "cin " << l.cin << " " << l.H << "x" << l.W << " cout " << l.cout);
    std::vector<double> ref, scale;
    direct(l, ref, scale);
    for (bool relu : {false, true}) {
      std::vector<float> first;
      forEachSimdTarget([&] {
        std::vector<float> out(ref.size(), NAN);
        qo::simd::conv3x3F23(l.in.data(), l.cin, l.H, l.W, l.u.data(), l.bias.data(), l.cout, relu, out.data());
        for (size_t i = 0; i < out.size(); ++i) {
          const double want = relu ? std::max(ref[i], 0.0) : ref[i];
          ASSERT_NEAR(out[i], want, 1e-6 * scale[i] + 1e-7) << "element " << i << (relu ? " relu" : "");
        }
        if (first.empty()) first = out;
        for (size_t i = 0; i < out.size(); ++i)
          ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(first[i])) << "element " << i;
      });
    }
  }
}

TEST(simdConvF23, ShapesOutOfRangeWriteNothing) {
  std::mt19937 rng(5);
  const Layer wide = randomLayer(qo::simd::kConv3x3F23MaxCin + 1, 4, 4, 2, rng);
  std::vector<float> out(2 * 16, -7.0f);
  qo::simd::conv3x3F23(wide.in.data(), wide.cin, 4, 4, wide.u.data(), wide.bias.data(), 2, false, out.data());
  qo::simd::conv3x3F23(wide.in.data(), 0, 4, 4, wide.u.data(), wide.bias.data(), 2, false, out.data());
  qo::simd::conv3x3F23(wide.in.data(), 2, 0, 4, wide.u.data(), wide.bias.data(), 2, false, out.data());
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float f) { return f == -7.0f; }));
  EXPECT_EQ(qo::simd::conv3x3F23WeightFloats(0, 4), 0u);
}

}  // namespace
