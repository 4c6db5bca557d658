// The fp16 channel-last convolution kernel on every compiled target, against a plain float loop
// over the same fp16 values, for both kernel sizes, several channel-vector groupings and widths
// that leave a pixel tail; the zero border must stay untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "compute/qo_convf16.h"
#include "qo/qo_simd.h"
#include "simd_targets.h"

namespace qo {
namespace {

void checkLayer(int taps, int W, int H, int cin, int cout, bool relu, bool winograd = false) {
  std::vector<uint16_t> in(size_t(H + 2) * (W + 2) * cin, 0), out(size_t(H + 2) * (W + 2) * cout, 0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < cin; ++c)
        in[(size_t(y + 1) * (W + 2) + x + 1) * cin + c] = f32ToF16(std::sin(float(y * 131 + x * 17 + c * 7)) * 0.8f);
  std::vector<float> w(size_t(taps) * cin * cout), b(static_cast<size_t>(cout));
  for (size_t i = 0; i < w.size(); ++i) w[i] = halfToFloat(f32ToF16(std::cos(float(i) * 0.37f) * 0.2f));
  for (int i = 0; i < cout; ++i) b[size_t(i)] = 0.05f * float(i % 5) - 0.1f;
  if (winograd) {
    std::vector<float> u(simd::winogradWeightFloats(cin, cout)), stage(simd::winogradStageFloats(W, cin, cout));
    const simd::ConvF16Layer L{taps, cin, cout, u.data(), b.data(), relu};
    simd::winogradWeights(w.data(), cin, cout, u.data());
    simd::winogradRows(L, {in.data(), out.data(), W}, 0, 4, stage.data());  // two bands
    simd::winogradRows(L, {in.data(), out.data(), W}, 4, H, stage.data());
  } else {
    std::vector<float> stage(simd::convF16StageFloats(W, cin));
    const simd::ConvF16Layer L{taps, cin, cout, w.data(), b.data(), relu};
    simd::convF16Rows(L, {in.data(), out.data(), W}, 0, H / 2, stage.data());  // two bands
    simd::convF16Rows(L, {in.data(), out.data(), W}, H / 2, H, stage.data());
  }
  for (int y = -1; y <= H; ++y)
    for (int x = -1; x <= W; ++x)
      for (int co = 0; co < cout; ++co) {
        const float got = halfToFloat(out[(size_t(y + 1) * (W + 2) + x + 1) * cout + co]);
        if (y < 0 || x < 0 || y == H || x == W) {
          ASSERT_EQ(got, 0.0f) << "border written at " << y << "," << x;
          continue;
        }
        double s = b[size_t(co)];
        for (int t = 0; t < taps; ++t) {
          const int ky = taps == 1 ? 1 : t / 3, kx = taps == 1 ? 1 : t % 3;
          for (int ci = 0; ci < cin; ++ci)
            s += double(w[(size_t(t) * cin + ci) * cout + co]) *
                 halfToFloat(in[(size_t(y + ky) * (W + 2) + x + kx) * cin + ci]);
        }
        if (relu) s = std::max(s, 0.0);
        // One fp16 rounding of the result, plus float summation (and transform) error.
        ASSERT_NEAR(got, s, std::fabs(s) / 1024.0 + 1e-4) << y << "," << x << " channel " << co;
      }
}

TEST(SimdConvF16, MatchesPlainLoopOnEveryTarget) {
  test::forEachSimdTarget([] {
    checkLayer(9, 10, 6, 8, 8, true);     // one channel vector group, a 2-pixel tail
    checkLayer(9, 12, 4, 16, 32, false);  // 32 channels as two groups of two
    checkLayer(9, 5, 3, 24, 40, true);    // 3 + 2 vectors, width below one block
    checkLayer(1, 8, 2, 88, 24, true);    // the 1x1 layer
  });
}

TEST(SimdConvF16, WinogradMatchesPlainLoopOnEveryTarget) {
  test::forEachSimdTarget([] {
    checkLayer(9, 32, 8, 8, 8, true, true);      // eight blocks: one group of six and a tail of two
    checkLayer(9, 16, 12, 32, 32, false, true);  // four channel vectors as two pairs, bands of 4 and 8
    checkLayer(9, 4, 4, 24, 40, true, true);     // a single block, 3 + 2 vectors
    checkLayer(9, 28, 4, 16, 24, false, true);   // seven blocks (6 + 1); three vectors take blocks 4 + 2
    checkLayer(9, 16, 24, 8, 16, true, true);    // narrow: bands of 4 and 20 rows, windows of 4 block rows + 1
  });
}

// Three frames of coefficients against a blocked basis, columns [8, 32) of 40: the columns outside
// the range and the fourth (unused) frame's output stay untouched.
TEST(SimdConvF16, BlockedBasisProductMatchesPlainLoopOnEveryTarget) {
  test::forEachSimdTarget([] {
    constexpr int k = 5, columns = 40, frames = 3;
    std::vector<float> basis(size_t(k) * columns), blocked(basis.size()), coef(4 * k, 0.0f);
    for (size_t i = 0; i < basis.size(); ++i) basis[i] = std::sin(float(i) * 0.7f);
    for (int j = 0; j < k; ++j)
      for (int c = 0; c < columns; ++c) blocked[size_t((c / 8 * k + j) * 8 + c % 8)] = basis[size_t(j * columns + c)];
    for (int i = 0; i < frames * k; ++i) coef[size_t(i)] = 0.3f * float(i % 7) - 0.9f;
    std::vector<std::vector<float>> out(4, std::vector<float>(columns, -7.0f));
    float* rows[4] = {out[0].data(), out[1].data(), out[2].data(), out[3].data()};
    simd::basisColumns(coef.data(), k, blocked.data(), 8, 32, rows, frames);
    for (int f = 0; f < 4; ++f)
      for (int c = 0; c < columns; ++c) {
        if (f == frames || c < 8 || c >= 32) {
          ASSERT_EQ(out[size_t(f)][size_t(c)], -7.0f) << f << "," << c;
          continue;
        }
        double s = 0;
        for (int j = 0; j < k; ++j) s += double(coef[size_t(f * k + j)]) * basis[size_t(j * columns + c)];
        ASSERT_NEAR(out[size_t(f)][size_t(c)], s, 1e-5) << f << "," << c;
      }
  });
}

}  // namespace
}  // namespace qo
