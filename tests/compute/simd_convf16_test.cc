// The fp16 channel-last convolution kernel on every compiled target, against a plain float loop
// over the same fp16 values, for both kernel sizes, several channel-vector groupings and widths
// that leave a pixel tail; the zero border must stay untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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
    checkLayer(9, 32, 8, 8, 8, true, true);      // eight blocks: products for six and for two
    checkLayer(9, 16, 12, 32, 32, false, true);  // four channel vectors as two pairs, bands of 4 and 8
    checkLayer(9, 4, 4, 24, 40, true, true);     // a single block, 3 + 2 vectors
    checkLayer(9, 28, 4, 16, 24, false, true);   // seven blocks (6 + 1); three vectors take blocks 4 + 2
    checkLayer(9, 16, 24, 8, 16, true, true);    // narrow: bands of 4 and 20 rows, windows of 4 block rows + 1
    checkLayer(9, 56, 8, 32, 8, true, true);     // eight outputs from two 16-channel runs (paired positions)
    checkLayer(9, 12, 8, 16, 8, false, true);    // the same on a narrow map
    checkLayer(9, 56, 8, 16, 32, true, true);    // wide: 14 blocks per row, a group of 12 and one of 2
  });
}

// One to four frames of coefficients against a blocked basis, columns [8, 96) of 104 (eleven
// blocks: full passes and a shorter last one for every frame count): the columns outside the range
// and the rows of frames not asked for stay untouched, and a column's bits do not depend on the
// frame count.
TEST(SimdConvF16, BlockedBasisProductMatchesPlainLoopOnEveryTarget) {
  test::forEachSimdTarget([] {
    constexpr int k = 5, columns = 104;
    std::vector<float> basis(size_t(k) * columns), blocked(basis.size()), coef(4 * k, 0.0f);
    for (size_t i = 0; i < basis.size(); ++i) basis[i] = std::sin(float(i) * 0.7f);
    for (int j = 0; j < k; ++j)
      for (int c = 0; c < columns; ++c) blocked[size_t((c / 8 * k + j) * 8 + c % 8)] = basis[size_t(j * columns + c)];
    for (int i = 0; i < 4 * k; ++i) coef[size_t(i)] = 0.3f * float(i % 7) - 0.9f;
    std::vector<float> first;  // frame 0 of the one-frame call
    for (int frames = 1; frames <= 4; ++frames) {
      std::vector<std::vector<float>> out(4, std::vector<float>(columns, -7.0f));
      float* rows[4] = {out[0].data(), out[1].data(), out[2].data(), out[3].data()};
      simd::basisColumns(coef.data(), k, blocked.data(), 8, 96, rows, frames);
      if (frames == 1) first = out[0];
      ASSERT_EQ(out[0], first) << frames;
      for (int f = 0; f < 4; ++f)
        for (int c = 0; c < columns; ++c) {
          if (f >= frames || c < 8 || c >= 96) {
            ASSERT_EQ(out[size_t(f)][size_t(c)], -7.0f) << frames << ": " << f << "," << c;
            continue;
          }
          double s = 0;
          for (int j = 0; j < k; ++j) s += double(coef[size_t(f * k + j)]) * basis[size_t(j * columns + c)];
          ASSERT_NEAR(out[size_t(f)][size_t(c)], s, 1e-5) << frames << ": " << f << "," << c;
        }
    }
  });
}

// The warp row against its formula, bit for bit: grids reaching past the image (zeros there), a
// width with a tail the vectors do not cover, and a NaN grid value that must not read outside.
TEST(SimdConvF16, WarpRowMatchesFormulaOnEveryTarget) {
  constexpr int side = 40;
  std::vector<float> gridA(128), gridB(128), planes(3 * side * side), occ(64), colDa(side), colDb(side);
  std::vector<int> colA(side), colB(side);
  for (int i = 0; i < 128; ++i) {
    gridA[size_t(i)] = 1.3f * std::sin(float(i) * 1.7f);
    gridB[size_t(i)] = 1.3f * std::cos(float(i) * 0.9f);
  }
  for (size_t i = 0; i < planes.size(); ++i) planes[i] = std::sin(float(i) * 0.31f);
  for (int i = 0; i < 64; ++i) occ[size_t(i)] = 0.5f + 0.5f * std::sin(float(i));
  for (int x = 0; x < side; ++x) {
    colA[size_t(x)] = (x * 7) % 64, colB[size_t(x)] = std::min(colA[size_t(x)] + 1, 63);
    colDa[size_t(x)] = float(x % 9) / 8.0f, colDb[size_t(x)] = 1.0f - colDa[size_t(x)];
  }
  const float dya = 0.375f, dyb = 0.625f;
  std::vector<float> want(3 * side * side, -9.0f), wantOcc(side);
  for (int x = 0; x < side; ++x) {
    const int xa = colA[size_t(x)], xb = colB[size_t(x)];
    const float dxa = colDa[size_t(x)], dxb = colDb[size_t(x)];
    float q[2];
    for (int c = 0; c < 2; ++c)
      q[c] = dxb * dyb * gridA[size_t(2 * xa + c)] + dxa * dyb * gridA[size_t(2 * xb + c)] +
             dxb * dya * gridB[size_t(2 * xa + c)] + dxa * dya * gridB[size_t(2 * xb + c)];
    const float ix = ((q[0] + 1.0f) * side - 1.0f) / 2.0f, iy = ((q[1] + 1.0f) * side - 1.0f) / 2.0f;
    const float fx = std::floor(ix), fy = std::floor(iy);
    const int x0 = int(fx), y0 = int(fy);
    const float wx1 = ix - fx, wx0 = 1.0f - wx1, wy1 = iy - fy, wy0 = 1.0f - wy1;
    const auto at = [&](int c, int yy, int xx) {
      return yy >= 0 && yy < side && xx >= 0 && xx < side ? planes[size_t((c * side + yy) * side + xx)] : 0.0f;
    };
    wantOcc[size_t(x)] = occ[size_t(x / 8)];
    for (int c = 0; c < 3; ++c) {
      const float s = wy0 * (wx0 * at(c, y0, x0) + wx1 * at(c, y0, x0 + 1)) +
                      wy1 * (wx0 * at(c, y0 + 1, x0) + wx1 * at(c, y0 + 1, x0 + 1));
      want[size_t(c * side * side + x)] = s * occ[size_t(x / 8)];
    }
  }
  test::forEachSimdTarget([&] {
    std::vector<float> out(3 * side * side, -9.0f), outOcc(side, -9.0f);
    simd::ConvWarpRowArgs a;
    a.gridA = gridA.data(), a.gridB = gridB.data(), a.dya = dya, a.dyb = dyb;
    a.colA = colA.data(), a.colB = colB.data(), a.colDa = colDa.data(), a.colDb = colDb.data();
    a.planes = planes.data(), a.occRow = occ.data(), a.side = side, a.out = out.data(), a.occOut = outOcc.data();
    simd::convWarpRow(a);
    int outside = 0;
    for (int x = 0; x < side; ++x) {
      ASSERT_EQ(outOcc[size_t(x)], wantOcc[size_t(x)]) << x;
      for (int c = 0; c < 3; ++c) {
        const size_t i = size_t(c * side * side + x);
        ASSERT_EQ(std::memcmp(&out[i], &want[i], sizeof(float)), 0)
            << "c " << c << " x " << x << ": " << out[i] << " vs " << want[i];
        outside += want[i] == 0.0f;
      }
    }
    EXPECT_GT(outside, 0);  // the grid reaches outside the image somewhere
    std::vector<float> nanGrid = gridA;
    for (size_t i = 0; i < nanGrid.size(); i += 3) nanGrid[i] = std::nanf("");
    a.gridA = nanGrid.data(), a.gridB = nanGrid.data();
    simd::convWarpRow(a);
    for (int c = 0; c < 3; ++c)
      for (int x = 0; x < side; ++x) {
        const float v = out[size_t(c * side * side + x)];
        EXPECT_TRUE(std::isnan(v) || std::fabs(v) <= 1.0f) << v;
      }
  });
}

// The refine and feather rows against their formulas, bit for bit, on both sub-pixel phases and
// widths with a tail the vectors do not cover: rounding to fp16 is to nearest even, halves that
// round up included.
TEST(SimdConvF16, RefineAndFeatherRowsMatchFormulaOnEveryTarget) {
  constexpr int side = 45, half = (side + 1) / 2;
  std::vector<uint16_t> k2(size_t(half) * 16), tile(size_t(side) * 8);
  for (size_t i = 0; i < k2.size(); ++i) k2[i] = f32ToF16(std::sin(float(i) * 0.7f) * 0.3f);
  for (size_t i = 0; i < tile.size(); ++i) tile[i] = f32ToF16(std::cos(float(i) * 0.45f) * 2.0f);
  std::vector<float> warped(3 * side), occ(side), w(side), base(side);
  for (int i = 0; i < 3 * side; ++i) warped[size_t(i)] = std::sin(float(i) * 1.3f) + 1.0f / 4096;
  for (int i = 0; i < side; ++i) {
    occ[size_t(i)] = 0.5f + 0.5f * std::cos(float(i));
    w[size_t(i)] = float(i % 11) / 10.0f;
    base[size_t(i)] = std::sin(float(i) * 0.2f);
  }
  test::forEachSimdTarget([&] {
    for (int phase = 0; phase < 2; ++phase) {
      std::vector<float> refined(3 * side, -9.0f);
      std::vector<uint16_t> row8(size_t(side) * 8, 0xFFFF);
      simd::ConvRefineRowArgs a;
      a.k2 = k2.data(), a.phase = phase, a.occ = occ.data(), a.row8 = row8.data(), a.side = side;
      for (int c = 0; c < 3; ++c) a.warped[c] = warped.data() + c * side, a.refined[c] = refined.data() + c * side;
      simd::convRefineRow(a);
      for (int x = 0; x < side; ++x) {
        const uint16_t* o = row8.data() + size_t(x) * 8;
        for (int c = 0; c < 3; ++c) {
          const float wc = warped[size_t(c * side + x)];
          const float r = wc + halfToFloat(k2[size_t(x / 2) * 16 + size_t(4 * c + 2 * phase + x % 2)]);
          ASSERT_EQ(std::memcmp(&refined[size_t(c * side + x)], &r, sizeof r), 0) << phase << " " << c << " " << x;
          ASSERT_EQ(o[c], f32ToF16(r)) << x;
          ASSERT_EQ(o[3 + c], f32ToF16(wc)) << x;
        }
        ASSERT_EQ(o[6], f32ToF16(occ[size_t(x)])) << x;
        ASSERT_EQ(o[7], 0) << x;
      }
    }
    for (int c = 0; c < 3; ++c) {
      std::vector<float> out = base;
      simd::convFeatherRow(tile.data(), c, w.data(), out.data(), side);
      for (int x = 0; x < side; ++x) {
        const float want = base[size_t(x)] + halfToFloat(tile[size_t(x) * 8 + size_t(c)]) * w[size_t(x)];
        ASSERT_EQ(std::memcmp(&out[size_t(x)], &want, sizeof want), 0) << c << " " << x;
      }
    }
  });
}

}  // namespace
}  // namespace qo
