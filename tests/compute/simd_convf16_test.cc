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

void checkLayer(int taps, int W, int H, int cin, int cout, bool relu) {
  std::vector<uint16_t> in(size_t(H + 2) * (W + 2) * cin, 0), out(size_t(H + 2) * (W + 2) * cout, 0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < cin; ++c)
        in[(size_t(y + 1) * (W + 2) + x + 1) * cin + c] = f32ToF16(std::sin(float(y * 131 + x * 17 + c * 7)) * 0.8f);
  std::vector<float> w(size_t(taps) * cin * cout), b(static_cast<size_t>(cout));
  for (size_t i = 0; i < w.size(); ++i) w[i] = halfToFloat(f32ToF16(std::cos(float(i) * 0.37f) * 0.2f));
  for (int i = 0; i < cout; ++i) b[size_t(i)] = 0.05f * float(i % 5) - 0.1f;
  std::vector<float> stage(simd::convF16StageFloats(W, cin));
  const simd::ConvF16Layer L{taps, cin, cout, w.data(), b.data(), relu};
  simd::convF16Rows(L, {in.data(), out.data(), W}, 0, H / 2, stage.data());  // two bands
  simd::convF16Rows(L, {in.data(), out.data(), W}, H / 2, H, stage.data());
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
        // One fp16 rounding of the result, plus float summation error.
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

}  // namespace
}  // namespace qo
