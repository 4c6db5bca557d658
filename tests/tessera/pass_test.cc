// Teeth pass: donor retrieval against a brute-force search written from the distance definitions,
// the blend head against a scalar network, the donor-set rules, push/flush, and the batch runner.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo/qo_simd.h"
#include "qo/qo_tessera.h"
#include "tessera/qo_tessera_pass.h"
#include "tools/devkit/demo_tessera.h"

namespace qo::tessera {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

float h16(float v) { return halfToFloat(f32ToF16(v)); }

// 32 x 32 canvas, 16 x 12 window, pad 2: a bank small enough for scalar references.
GeometryStamp smallStamp(int x0 = 8, int y0 = 16) {
  return GeometryStamp::fromValues({32, 32, x0, y0, 16, 12, 2, 2, 10, 2, 14, 2});
}

HeadWeights randomHead(std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-0.4f, 0.4f);
  auto v = [&](size_t n) {
    std::vector<float> x(n);
    for (float& f : x) f = u(rng);
    return x;
  };
  HeadWeights h;
  h.cand0_w = v(16 * 7 * 9), h.cand0_b = v(16), h.cand2_w = v(16 * 16 * 9), h.cand2_b = v(16);
  h.cand4_w = v(16 * 9), h.cand4_b = v(1);
  return h;
}

BankData randomBank(std::mt19937& rng, int n, const GeometryStamp& s) {
  BankData b;
  b.stamp = s;
  b.n_donors = n;
  b.bands.resize(size_t(n) * s.bandH() * s.bandW() * 3);
  for (uint8_t& x : b.bands) x = uint8_t(rng() % 256);
  b.c_canon = {s.window_x0 + s.window_w / 2.0, s.window_y0 + s.window_h / 2.0};
  for (int d = 0; d < n; ++d) {
    b.cent.push_back(b.c_canon[0] + double(int(rng() % 7) - 3) * 0.7);
    b.cent.push_back(b.c_canon[1] + double(int(rng() % 7) - 3) * 0.7);
    b.aperture.push_back(5.0 + double(rng() % 4));
  }
  return b;
}

ServeConfig smallConfig(int K, int kshort) {
  ServeConfig c;
  c.K = K;
  c.kshort = kshort;
  c.cut = kshort;
  c.hysteresis = 2;
  c.lookahead = 2;
  return c;
}

struct Canvas {
  std::vector<uint8_t> rgb, mask;
};

// Bright, grey-ish teeth pixels on random ground, mask set over the window.
Canvas randomCanvas(std::mt19937& rng, const GeometryStamp& s) {
  Canvas c;
  c.rgb.resize(size_t(s.canvas_w) * s.canvas_h * 3);
  c.mask.assign(size_t(s.canvas_w) * s.canvas_h, 0);
  for (size_t p = 0; p < c.mask.size(); ++p) {
    const bool teeth = rng() % 2;
    const uint8_t g = uint8_t(teeth ? 150 + rng() % 100 : rng() % 256);
    c.rgb[p * 3] = teeth ? uint8_t(g - rng() % 10) : uint8_t(rng() % 256);
    c.rgb[p * 3 + 1] = g;
    c.rgb[p * 3 + 2] = uint8_t(rng() % 256);
  }
  for (int y = s.window_y0; y < s.window_y0 + s.window_h; ++y)
    for (int x = s.window_x0; x < s.window_x0 + s.window_w; ++x) c.mask[size_t(y) * s.canvas_w + x] = 255;
  return c;
}

// Donor d's window byte (channel c) under frame shift (ry, rx), straight from the geometry.
int donorByte(const BankData& b, const ServeConfig&, int d, int ry, int rx, int i, int j, int c) {
  const GeometryStamp& s = b.stamp;
  const int P = s.pad, S = s.shift_margin;
  const int dy = int(std::nearbyint(b.cent[2 * d + 1] - b.c_canon[1]));
  const int dx = int(std::nearbyint(b.cent[2 * d] - b.c_canon[0]));
  const int sy = std::clamp(P + dy - ry, 0, 2 * P), sx = std::clamp(P + dx - rx, 0, 2 * P);
  const int by = i + sy + S - P - s.band_r0, bx = j + sx + S - P - s.band_c0;
  if (by < 0 || by >= s.bandH() || bx < 0 || bx >= s.bandW()) return -1;
  return b.bands[((size_t(d) * s.bandH() + by) * s.bandW() + bx) * 3 + c];
}

// Exhaustive exact search (every donor in the short list) from the definitions, first frame of a
// pass: returns the K chosen donors.
std::vector<int32_t> bruteForce(const BankData& b, const ServeConfig& cfg, const Canvas& cv, int ry, int rx) {
  const GeometryStamp& s = b.stamp;
  const int H = s.window_h, W = s.window_w;
  std::vector<int> px(size_t(H) * W * 3);
  std::vector<float> w(size_t(H) * W);
  auto at = [&](int i, int j) {
    const int y = std::clamp(s.window_y0 + ry + i, 0, s.canvas_h - 1);
    const int x = std::clamp(s.window_x0 + rx + j, 0, s.canvas_w - 1);
    return size_t(y) * s.canvas_w + x;
  };
  float sum = 0;
  for (int i = 0; i < H; ++i)
    for (int j = 0; j < W; ++j) {
      const size_t p = at(i, j);
      const float R = cv.rgb[p * 3], G = cv.rgb[p * 3 + 1], B = cv.rgb[p * 3 + 2];
      for (int c = 0; c < 3; ++c) px[(size_t(i) * W + j) * 3 + c] = cv.rgb[p * 3 + c];
      const bool in = cv.mask[p] / 255.0f > 0.5f;
      w[size_t(i) * W + j] = in && 0.299f * R + 0.587f * G + 0.114f * B >= 100.0f && std::fabs(G - R) < 25.0f;
      sum += w[size_t(i) * W + j];
    }
  if (sum < 32)
    for (int i = 0; i < H; ++i)
      for (int j = 0; j < W; ++j) w[size_t(i) * W + j] = cv.mask[at(i, j)] / 255.0f > 0.5f;
  float total = 0;
  for (float x : w) total += x;
  total = std::max(total, 1.0f);
  std::vector<float> dist(size_t(b.n_donors));
  for (int d = 0; d < b.n_donors; ++d) {
    float acc = 0;
    for (int i = 0; i < H; ++i)
      for (int j = 0; j < W; ++j) {
        if (w[size_t(i) * W + j] == 0) continue;
        float sc = 0;
        for (int c = 0; c < 3; ++c) {
          const int q = std::max(0, donorByte(b, cfg, d, 0, 0, i, j, c));
          sc += std::fabs(h16(h16(px[(size_t(i) * W + j) * 3 + c] / 255.0f) - h16(q / 255.0f)));
        }
        acc += w[size_t(i) * W + j] * h16(sc / 3.0f);
      }
    dist[size_t(d)] = acc / total;
  }
  std::vector<int32_t> order(size_t(b.n_donors));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int c) { return dist[size_t(a)] < dist[size_t(c)]; });
  const double ap = b.aperture[size_t(order[0])];
  std::vector<int32_t> out;
  for (size_t i = 0; i < std::min(order.size(), size_t(cfg.cut)) && out.size() < size_t(cfg.K); ++i)
    if (std::fabs(b.aperture[size_t(order[i])] - ap) <= std::max(ap, 1e-6) * cfg.aperture_tol) out.push_back(order[i]);
  while (out.size() < size_t(cfg.K)) out.push_back(out.back());
  return out;
}

TEST(TeethPassRetrieval, ChosenDonorsEqualBruteForceAndTermsAgreeWithKernels) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    // Seed 3 puts the window at the canvas corner and shifts it by the full pad outward, so the
    // moved window reaches past the canvas on two sides.
    const GeometryStamp s = seed == 3 ? smallStamp(0, 20) : smallStamp();
    const int ry = seed == 3 ? 2 : 1, rx = seed == 3 ? -2 : 0;
    const BankData bank = randomBank(rng, 12, s);
    const ServeConfig cfg = smallConfig(4, 12);
    TeethPass pass(bank, randomHead(rng), cfg);
    const Canvas cv = randomCanvas(rng, s);
    std::vector<int32_t> got;
    pass.retrieve(cv.rgb.data(), cv.mask.data(), ry, rx, got);
    EXPECT_EQ(got, bruteForce(bank, cfg, cv, ry, rx)) << "seed " << seed;

    // Exact term: the byte/table road equals the binary16 kernel on the converted images.
    const size_t hw = size_t(s.window_h) * s.window_w;
    std::vector<uint16_t> frame(hw * 3), donor(hw * 3);
    simd::rgb8ToPlanarF16(pass.frameWindowU8().data(), frame.data(), hw, hw);
    for (int d = 0; d < 12; ++d) {
      pass.canonicalWindowF16(d, donor.data());
      EXPECT_EQ(pass.exactTermFromBand(d), simd::retrieveTermExact(frame.data(), donor.data(),
                                                                   pass.teethWeights().data(), hw));
    }
    // Pooled term from its definition (pool by 4, half rounding at every step).
    const int H4 = s.window_h / 4, W4 = s.window_w / 4;
    for (int d = 0; d < 12; ++d) {
      pass.canonicalWindowF16(d, donor.data());
      float acc = 0;
      for (int y = 0; y < H4; ++y)
        for (int x = 0; x < W4; ++x) {
          float sc = 0, wsum = 0;
          for (int c = 0; c < 3; ++c) {
            float fa = 0, fb = 0;
            for (int by = 0; by < 4; ++by)
              for (int bx = 0; bx < 4; ++bx) {
                const size_t p = size_t(y * 4 + by) * s.window_w + x * 4 + bx;
                fa += halfToFloat(donor[c * hw + p]);
                fb += pass.frameWindowU8()[p * 3 + c] / 255.0f;
                if (c == 0) wsum += pass.teethWeights()[p];
              }
            sc += std::fabs(h16(h16(fa * (1.0f / 16)) - h16(fb * (1.0f / 16))));
          }
          acc += h16(h16(wsum * (1.0f / 16)) * h16(sc / 3.0f));
        }
      EXPECT_EQ(pass.pooledDistances()[size_t(d)], h16(acc) / pass.pooledWeightTotal()) << "donor " << d;
    }
  }
}

TEST(TeethPassRetrieval, ShortListAndRepeatsAndCarry) {
  std::mt19937 rng(7);
  const GeometryStamp s = smallStamp();
  // Fewer donors than K: the last kept donor repeats up to K.
  {
    const BankData bank = randomBank(rng, 3, s);
    TeethPass pass(bank, randomHead(rng), smallConfig(5, 3));
    const Canvas cv = randomCanvas(rng, s);
    std::vector<int32_t> got;
    pass.retrieve(cv.rgb.data(), cv.mask.data(), 0, 0, got);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[3], got[2]);
    EXPECT_EQ(got[4], got[2]);
  }
  // kshort < n: exact distances only for the pooled best kshort; the teeth weights carry over.
  const BankData bank = randomBank(rng, 12, s);
  TeethPass pass(bank, randomHead(rng), smallConfig(2, 4));
  const Canvas a = randomCanvas(rng, s), b = randomCanvas(rng, s);
  std::vector<int32_t> got;
  pass.retrieve(a.rgb.data(), a.mask.data(), 0, 0, got);
  const std::vector<float> first = pass.teethWeights();
  std::vector<int32_t> order(12);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int x, int y) { return pass.pooledDistances()[size_t(x)] < pass.pooledDistances()[size_t(y)]; });
  for (int i = 0; i < 12; ++i) EXPECT_EQ(pass.exactDistances()[size_t(order[size_t(i)])] != 0.0f, i < 4) << i;
  pass.retrieve(b.rgb.data(), b.mask.data(), 0, 0, got);
  int carried = 0;
  for (size_t p = 0; p < first.size(); ++p) {
    EXPECT_GE(pass.teethWeights()[p], 0.6f * first[p]);
    carried += pass.teethWeights()[p] == 0.6f * first[p];
  }
  EXPECT_GT(carried, 0);
}

TEST(TeethPassShift, RangeEmptyMaskAndConstruction) {
  std::mt19937 rng(11);
  const GeometryStamp s = smallStamp();
  const BankData bank = randomBank(rng, 4, s);
  TeethPass pass(bank, randomHead(rng), smallConfig(2, 4));
  std::vector<uint8_t> mask(32 * 32, 127);
  int32_t ry = 0, rx = 0;
  std::string reason;
  EXPECT_FALSE(pass.deriveShift(mask.data(), nullptr, ry, rx, reason));
  EXPECT_EQ(reason, "empty-pi");
  const int32_t okShift[2] = {2, -2}, farRow[2] = {3, 0}, farCol[2] = {0, -3};
  EXPECT_TRUE(pass.deriveShift(mask.data(), okShift, ry, rx, reason));
  EXPECT_FALSE(pass.deriveShift(mask.data(), farRow, ry, rx, reason));
  EXPECT_EQ(reason, "shift-out-of-range");
  reason.clear();
  EXPECT_FALSE(pass.deriveShift(mask.data(), farCol, ry, rx, reason));
  EXPECT_EQ(reason, "shift-out-of-range");
  // Mask centroid one column right of and two rows above the canonical centre (16, 22).
  mask.assign(32 * 32, 0);
  mask[20 * 32 + 17] = mask[20 * 32 + 16] = mask[20 * 32 + 18] = 200;
  ASSERT_TRUE(pass.deriveShift(mask.data(), nullptr, ry, rx, reason));
  EXPECT_EQ(ry, -2);
  EXPECT_EQ(rx, 1);

  BankData odd = bank;
  odd.stamp = GeometryStamp::fromValues({32, 32, 8, 16, 15, 12, 2, 2, 10, 2, 13, 2});
  odd.bands.resize(size_t(4) * odd.stamp.bandH() * odd.stamp.bandW() * 3);
  EXPECT_THROW(
      {
        try {
          TeethPass p(odd, randomHead(rng), smallConfig(2, 4));
        } catch (const std::runtime_error& e) {
          EXPECT_THAT(e.what(), HasSubstr("teeth: window 15x12 has an odd side"));
          throw;
        }
      },
      std::runtime_error);
  BankData shortBands = bank;
  shortBands.bands.pop_back();
  EXPECT_THROW(TeethPass(shortBands, randomHead(rng), smallConfig(2, 4)), std::runtime_error);
}

// The stated network in plain loops: pool 2, 7-plane input, three convs, bilinear 2x, softmax.
void scalarHead(const HeadWeights& hw, const std::vector<float>& cands, int n, const std::vector<float>& frame,
                const std::vector<uint8_t>& del, int H, int W, std::vector<float>& blended, std::vector<float>& wts) {
  const int h = H / 2, w = W / 2;
  auto pool2 = [&](const float* img, int c, int y, int x) {
    float s = 0;
    for (int by = 0; by < 2; ++by)
      for (int bx = 0; bx < 2; ++bx) s += img[size_t(c) * H * W + size_t(2 * y + by) * W + 2 * x + bx];
    return s * 0.25f;
  };
  auto conv = [&](const std::vector<float>& in, int cin, const std::vector<float>& wt, const std::vector<float>& b,
                  int cout, bool relu) {
    std::vector<float> out(size_t(cout) * h * w);
    for (int oc = 0; oc < cout; ++oc)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          double acc = b[size_t(oc)];
          for (int ci = 0; ci < cin; ++ci)
            for (int ky = 0; ky < 3; ++ky)
              for (int kx = 0; kx < 3; ++kx) {
                const int yy = y + ky - 1, xx = x + kx - 1;
                if (yy < 0 || yy >= h || xx < 0 || xx >= w) continue;
                acc += double(wt[((size_t(oc) * cin + ci) * 3 + ky) * 3 + kx]) * in[(size_t(ci) * h + yy) * w + xx];
              }
          out[(size_t(oc) * h + y) * w + x] = relu ? std::max(float(acc), 0.0f) : float(acc);
        }
    return out;
  };
  std::vector<std::vector<float>> up(size_t(n), std::vector<float>(size_t(H) * W));
  for (int k = 0; k < n; ++k) {
    std::vector<float> in(size_t(7) * h * w);
    const float* c = cands.data() + size_t(k) * 3 * H * W;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float mad = 0;
        for (int ch = 0; ch < 3; ++ch) {
          in[(size_t(ch) * h + y) * w + x] = pool2(c, ch, y, x);
          in[(size_t(ch + 3) * h + y) * w + x] = pool2(frame.data(), ch, y, x);
          mad += std::fabs(pool2(c, ch, y, x) - pool2(frame.data(), ch, y, x));
        }
        in[(size_t(6) * h + y) * w + x] = mad / 3;
      }
    const auto l = conv(conv(conv(in, 7, hw.cand0_w, hw.cand0_b, 16, true), 16, hw.cand2_w, hw.cand2_b, 16, true), 16,
                        hw.cand4_w, hw.cand4_b, 1, false);
    for (int i = 0; i < H; ++i)
      for (int j = 0; j < W; ++j) {
        const double y = std::max(0.0, (i + 0.5) * 0.5 - 0.5), x = std::max(0.0, (j + 0.5) * 0.5 - 0.5);
        const int y0 = int(y), x0 = int(x), y1 = std::min(y0 + 1, h - 1), x1 = std::min(x0 + 1, w - 1);
        const double fy = y - y0, fx = x - x0;
        auto p = [&](int a, int b2) { return double(l[size_t(a) * w + b2]); };
        up[size_t(k)][size_t(i) * W + j] =
            float((1 - fy) * ((1 - fx) * p(y0, x0) + fx * p(y0, x1)) + fy * ((1 - fx) * p(y1, x0) + fx * p(y1, x1)));
      }
  }
  const size_t HW = size_t(H) * W;
  wts.assign(size_t(n + 1) * HW, 0.0f);
  blended.assign(3 * HW, 0.0f);
  for (size_t p = 0; p < HW; ++p) {
    double m = -1e30, sum = 0;
    for (int k = 0; k < n; ++k) m = std::max(m, double(up[size_t(k)][p]));
    for (int k = 0; k < n; ++k) sum += std::exp(up[size_t(k)][p] - m);
    for (int k = 0; k < n; ++k) wts[size_t(k) * HW + p] = float(std::exp(up[size_t(k)][p] - m) / sum);
    for (int c = 0; c < 3; ++c) {
      double acc = 0;
      for (int k = 0; k < n; ++k) acc += double(wts[size_t(k) * HW + p]) * cands[(size_t(k) * 3 + c) * HW + p];
      blended[c * HW + p] = del[p] ? float(acc) : frame[c * HW + p];
    }
  }
}

TEST(TeethPassHead, ForwardMatchesScalarNetworkAndMixesOnlyInsideTheMask) {
  std::mt19937 rng(5);
  const GeometryStamp s = smallStamp();
  const BankData bank = randomBank(rng, 6, s);
  const HeadWeights head = randomHead(rng);
  TeethPass pass(bank, head, smallConfig(4, 6));
  const int H = s.window_h, W = s.window_w, n = 3;
  const size_t HW = size_t(H) * W;
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> cands(size_t(n) * 3 * HW), frame(3 * HW), blended(3 * HW), wts(size_t(n + 1) * HW);
  for (float& f : cands) f = u(rng);
  for (float& f : frame) f = u(rng);
  std::vector<uint8_t> del(HW);
  for (auto& d : del) d = uint8_t(rng() % 2);
  pass.headForward(cands.data(), n, frame.data(), del.data(), blended.data(), wts.data());
  std::vector<float> refB, refW;
  scalarHead(head, cands, n, frame, del, H, W, refB, refW);
  // The reference accumulates in double in another order: agreement to 2e-5 absolute.
  for (size_t i = 0; i < wts.size(); ++i) ASSERT_NEAR(wts[i], refW[i], 2e-5f) << i;
  for (size_t p = 0; p < HW; ++p) {
    float sum = 0;
    for (int k = 0; k < n; ++k) sum += wts[size_t(k) * HW + p];
    EXPECT_NEAR(sum, 1.0f, 1e-6f);
    EXPECT_EQ(wts[size_t(n) * HW + p], 0.0f);
    for (int c = 0; c < 3; ++c) {
      if (del[p]) EXPECT_NEAR(blended[c * HW + p], refB[c * HW + p], 2e-5f);
      else EXPECT_EQ(blended[c * HW + p], frame[c * HW + p]);
    }
  }
}

TEST(TeethPassEmit, PushFlushOrderSkipsAndUntouchedPixels) {
  std::mt19937 rng(9);
  const GeometryStamp s = smallStamp();
  const BankData bank = randomBank(rng, 8, s);
  TeethPass pass(bank, randomHead(rng), smallConfig(3, 8));
  Canvas f0 = randomCanvas(rng, s), f1 = randomCanvas(rng, s), f2 = randomCanvas(rng, s);
  std::fill(f1.mask.begin(), f1.mask.end(), 0);  // no delivered mouth: skipped
  // Frame 2: left half of the window unmasked, must come back byte for byte.
  for (int y = s.window_y0; y < s.window_y0 + s.window_h; ++y)
    for (int x = s.window_x0; x < s.window_x0 + 8; ++x) f2.mask[size_t(y) * 32 + x] = 0;
  FrameResult r;
  EXPECT_FALSE(pass.push(0, f0.rgb.data(), f0.mask.data(), nullptr, r));
  ASSERT_TRUE(pass.push(1, f1.rgb.data(), f1.mask.data(), nullptr, r));
  EXPECT_FALSE(r.skipped);
  EXPECT_EQ(pass.lastEmitted(), 0);
  EXPECT_EQ(r.donors, int(pass.lastSet().size()));
  EXPECT_EQ(r.rgb.size(), size_t(s.window_w) * s.window_h * 3);
  const int32_t zero[2] = {0, 0};  // its half mask would move the centroid past the pad
  ASSERT_TRUE(pass.push(2, f2.rgb.data(), f2.mask.data(), zero, r));
  EXPECT_TRUE(r.skipped);
  EXPECT_EQ(r.reason, "empty-pi");
  EXPECT_TRUE(r.rgb.empty());
  EXPECT_EQ(pass.lastEmitted(), 0);  // a skipped frame leaves the last emitted index
  const std::vector<int32_t> heldBefore = pass.heldSet();
  ASSERT_TRUE(pass.flush(r));
  EXPECT_FALSE(r.skipped);
  EXPECT_EQ(pass.lastEmitted(), 2);
  EXPECT_FALSE(pass.flush(r));
  ASSERT_FALSE(heldBefore.empty());
  int untouched = 0;
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < 8; ++j)
      for (int c = 0; c < 3; ++c) {
        const size_t cp = (size_t(s.window_y0 + i) * 32 + s.window_x0 + j) * 3 + c;
        EXPECT_EQ(r.rgb[(size_t(i) * s.window_w + j) * 3 + c], f2.rgb[cp]);
        ++untouched;
      }
  EXPECT_EQ(untouched, s.window_h * 8 * 3);
  // The masked, delivered part is blended, so at least some bytes change.
  int changed = 0;
  for (int i = s.band_r0; i < s.band_r1; ++i)
    for (int j = 8; j < s.band_c1; ++j)
      changed += r.rgb[(size_t(i) * s.window_w + j) * 3] != f2.rgb[(size_t(s.window_y0 + i) * 32 + s.window_x0 + j) * 3];
  EXPECT_GT(changed, 0);
  EXPECT_EQ(pass.stats().frames, 2);
  EXPECT_EQ(r.synth_mean, 0.0f);
}

TEST(TeethPassEmit, LookAheadVoteAndHysteresis) {
  std::mt19937 rng(13);
  const GeometryStamp s = smallStamp();
  const BankData bank = randomBank(rng, 12, s);
  const Canvas cv = randomCanvas(rng, s);
  for (int hyst : {0, 2}) {
    ServeConfig cfg = smallConfig(3, 12);
    cfg.hysteresis = hyst;
    TeethPass pass(bank, randomHead(rng), cfg);
    Pending p;
    p.frame = 0;
    p.rgb = cv.rgb;
    p.mask = cv.mask;
    for (int y = s.window_y0; y < s.window_y0 + s.window_h; y += 2) p.mask[size_t(y) * s.canvas_w + s.window_x0 + y % 5] = 0;
    p.ok = true;
    p.ry = 1;
    p.rx = -1;
    p.donors = {7, 9};
    const std::vector<int32_t> ahead = {5, 7};
    FrameResult r;
    pass.emit(p, &ahead, r);
    EXPECT_THAT(pass.lastSet(), ElementsAre(5, 7, 9));
    EXPECT_EQ(r.donors, 3);
    // The donors' windows moved onto the frame by its shift (1, -1), black where no band covers.
    for (int k = 0; k < 3; ++k)
      for (int i = 0; i < s.window_h; ++i)
        for (int j = 0; j < s.window_w; ++j)
          for (int c = 0; c < 3; ++c)
            ASSERT_EQ(pass.candU8()[((size_t(k) * s.window_h + i) * s.window_w + j) * 3 + c],
                      std::max(0, donorByte(bank, cfg, pass.lastSet()[size_t(k)], 1, -1, i, j, c)));
    // Delivered: inside the band, mask set, and every donor's band covering the pixel.
    size_t delivered = 0;
    for (int i = 0; i < s.window_h; ++i)
      for (int j = 0; j < s.window_w; ++j) {
        bool want = i >= s.band_r0 && i < s.band_r1 && j >= s.band_c0 && j < s.band_c1 &&
                    p.mask[size_t(s.window_y0 + i) * s.canvas_w + s.window_x0 + j] != 0;
        for (int k = 0; k < 3; ++k) want = want && donorByte(bank, cfg, pass.lastSet()[size_t(k)], 1, -1, i, j, 0) >= 0;
        ASSERT_EQ(pass.lastDelivery()[size_t(i) * s.window_w + j], want ? 1 : 0) << i << "," << j;
        delivered += want;
      }
    EXPECT_GT(delivered, 0u);
    EXPECT_LT(delivered, size_t(s.band_r1 - s.band_r0) * size_t(s.band_c1 - s.band_c0));
    EXPECT_EQ(pass.heldSet().size(), size_t(hyst));
    // The next frame reuses the held set first, then the new donors not in it.
    p.frame = 1;
    p.donors = {1, 2, 3};
    const std::vector<int32_t> held = pass.heldSet();
    pass.emit(p, nullptr, r);
    if (hyst == 0) {
      EXPECT_THAT(pass.lastSet(), ElementsAre(1, 2, 3));
    } else {
      ASSERT_EQ(pass.lastSet().size(), 3u);
      EXPECT_EQ(pass.lastSet()[0], held[0]);
      EXPECT_EQ(pass.lastSet()[1], held[1]);
      EXPECT_EQ(pass.lastSet()[2], 1);
    }
  }
}

TEST(TeethRun, DemoBankDeterministicWithFlags) {
  const int crop = 64;
  const devkit::DemoBank b = devkit::demoBank(crop, 8);
  const std::array<int32_t, 12> st = devkit::demoTesseraStamp(crop);
  const std::string pt = devkit::demoHeadPt(), cfg = devkit::demoHeadConfig();
  const int frames = 4;
  const size_t canvas = size_t(crop) * crop, window = size_t(st[4]) * st[5] * 3;
  std::vector<uint8_t> rgb(frames * canvas * 3), masks(frames * canvas, 0);
  std::mt19937 rng(3);
  for (auto& x : rgb) x = uint8_t(140 + rng() % 100);
  for (int f = 0; f < frames; ++f)
    if (f != 1)  // frame 1 has an empty mask
      for (int y = 44; y < 49; ++y)  // centred on the canonical centre (32, 46.4): shift 0
        for (int x = 30; x < 35; ++x) masks[f * canvas + size_t(y) * crop + x] = 255;
  // Frames 1 and 2 derive their shift (-10000), frame 3 asks for one beyond the pad.
  const std::vector<int32_t> shifts = {0, 0, -10000, 0, -10000, 0, st[6] + 1, 0};
  auto run = [&](std::vector<uint8_t>& out, std::vector<uint32_t>& flags, const int32_t* sh) {
    out.assign(frames * window, 7);
    flags.assign(frames, 99);
    char err[256] = "";
    const int rc = qo_tessera_run_shift(b.donorBands.data(), b.n, b.cent.data(), b.c_canon.data(), b.aperture.data(),
                                        st.data(), reinterpret_cast<const uint8_t*>(pt.data()), int(pt.size()),
                                        cfg.c_str(), rgb.data(), masks.data(), sh, frames, out.data(), flags.data(),
                                        err, sizeof err);
    EXPECT_EQ(rc, 0) << err;
  };
  std::vector<uint8_t> o1, o2;
  std::vector<uint32_t> f1, f2;
  run(o1, f1, shifts.data());
  run(o2, f2, shifts.data());
  EXPECT_EQ(o1, o2);
  EXPECT_THAT(f1, ElementsAre(0u, 1u, 0u, 1u));
  EXPECT_EQ(std::count(o1.begin() + std::ptrdiff_t(window), o1.begin() + std::ptrdiff_t(2 * window), 7),
            std::ptrdiff_t(window));  // a skipped frame's window is not written
  run(o2, f2, nullptr);
  EXPECT_THAT(f2, ElementsAre(0u, 1u, 0u, 0u));

  char err[256] = "";
  std::vector<uint32_t> flags(frames);
  EXPECT_NE(qo_tessera_run(b.donorBands.data(), 0, b.cent.data(), b.c_canon.data(), b.aperture.data(),
                           st.data(), reinterpret_cast<const uint8_t*>(pt.data()), int(pt.size()), cfg.c_str(),
                           rgb.data(), masks.data(), frames, o1.data(), flags.data(), err, sizeof err),
            0);
  EXPECT_STREQ(err, "teeth: n_donors <= 0");
  const std::string badCfg = "{}";
  EXPECT_NE(qo_tessera_run(b.donorBands.data(), b.n, b.cent.data(), b.c_canon.data(), b.aperture.data(), st.data(),
                           reinterpret_cast<const uint8_t*>(pt.data()), int(pt.size()), badCfg.c_str(), rgb.data(),
                           masks.data(), frames, o1.data(), flags.data(), err, sizeof err),
            0);
  EXPECT_THAT(err, HasSubstr("teeth:"));
}

}  // namespace
}  // namespace qo::tessera
