// The int8 convolution kernels on every target against plain loops over the unpacked tensors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "compute/simd_targets.h"
#include "qo/qo_simd.h"

namespace {

using qo::simd::Int8ConvGeometry;
using qo::test::forEachSimdTarget;

struct Case {
  int H, W, C, M, KH, KW, sh, sw, dh, dw, pt, pl, pb, pr;
};

struct Data {
  Case k;
  int Cp, OH, OW;
  std::vector<uint8_t> q;  // [H][W][Cp], padding channels hold junk: their weights are zero
  std::vector<int8_t> w;   // [M][C][KH][KW]
};

Data makeData(const Case& k, std::mt19937& rng, bool extreme) {
  Data d{k, (k.C + 3) / 4 * 4, 0, 0, {}, {}};
  d.OH = (k.H + k.pt + k.pb - k.dh * (k.KH - 1) - 1) / k.sh + 1;
  d.OW = (k.W + k.pl + k.pr - k.dw * (k.KW - 1) - 1) / k.sw + 1;
  std::uniform_int_distribution<int> u8(0, 255), i8(-128, 127);
  d.q.resize(size_t(k.H) * k.W * d.Cp);
  for (uint8_t& v : d.q) v = extreme ? 255 : uint8_t(u8(rng));
  d.w.resize(size_t(k.M) * k.C * k.KH * k.KW);
  for (int8_t& v : d.w) v = extreme ? int8_t(-128) : int8_t(i8(rng));
  return d;
}

std::vector<int32_t> reference(const Data& d, int oh) {
  const Case& k = d.k;
  std::vector<int32_t> acc(size_t(d.OW) * k.M);
  for (int ow = 0; ow < d.OW; ++ow)
    for (int m = 0; m < k.M; ++m) {
      int64_t s = 0;
      for (int kh = 0; kh < k.KH; ++kh)
        for (int kw = 0; kw < k.KW; ++kw) {
          const int ih = oh * k.sh + kh * k.dh - k.pt, iw = ow * k.sw + kw * k.dw - k.pl;
          if (ih < 0 || ih >= k.H || iw < 0 || iw >= k.W) continue;
          for (int c = 0; c < k.C; ++c)
            s += int64_t(d.w[((size_t(m) * k.C + c) * k.KH + kh) * k.KW + kw]) *
                 d.q[(size_t(ih) * k.W + iw) * d.Cp + c];
        }
      acc[size_t(ow) * k.M + m] = int32_t(s);
    }
  return acc;
}

std::vector<int32_t> kernel(const Data& d, int oh) {
  const Case& k = d.k;
  const int blocks = (k.M + qo::simd::kInt8ConvChannelBlock - 1) / qo::simd::kInt8ConvChannelBlock;
  const Int8ConvGeometry g{k.H, k.W, d.Cp, k.KH, k.KW, k.sh, k.sw, k.dh, k.dw, k.pt, k.pl, d.OW,
                           (d.OW - 1) * k.sw + (k.KW - 1) * k.dw + 1, blocks};
  std::vector<int16_t> packed(qo::simd::int8ConvPackedSize(k.M, d.Cp, k.KH, k.KW));
  qo::simd::int8ConvPack(d.w.data(), k.M, k.C, k.KH, k.KW, d.Cp, packed.data());
  std::vector<int16_t> scratch(qo::simd::int8ConvScratchSize(g), int16_t(-7777));
  const size_t mp = size_t(blocks) * qo::simd::kInt8ConvChannelBlock;
  std::vector<int32_t> acc(size_t(d.OW) * mp, 0x5a5a5a5a);
  qo::simd::int8ConvRow(g, d.q.data(), packed.data(), oh, scratch.data(), acc.data());
  std::vector<int32_t> out(size_t(d.OW) * k.M);
  for (int ow = 0; ow < d.OW; ++ow)
    for (int m = 0; m < k.M; ++m) out[size_t(ow) * k.M + m] = acc[size_t(ow) * mp + m];
  return out;
}

TEST(simdInt8Conv, RowSumsMatchReferenceExactly) {
  const Case cases[] = {
      {9, 13, 3, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},      // the demo's shape, small
      {4, 53, 4, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},      // four channels: pixel pairs per vector, every tail
      {5, 61, 2, 2, 3, 3, 1, 2, 2, 1, 2, 1, 2, 0},      // pixel pairs with strides and dilations
      {7, 40, 64, 64, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},    // two-block tiles and pixel tails
      {6, 9, 256, 24, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},    // 1x1, odd block count
      {3, 10, 64, 40, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},    // block pairs, then one block; pixel tails
      {4, 11, 8, 72, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},     // nine blocks over 3x3 taps
      {11, 17, 5, 9, 3, 2, 2, 3, 2, 1, 2, 0, 1, 3},     // strides, dilations, uneven pads
      {1, 1, 7, 17, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},      // one pixel, only the centre tap inside
      {5, 6, 1, 1, 3, 3, 1, 1, 1, 1, 4, 4, 4, 4},       // rows and columns with every tap outside
  };
  std::mt19937 rng(15);
  for (const Case& k : cases) {
    for (bool extreme : {false, true}) {
      const Data d = makeData(k, rng, extreme);
      std::vector<std::vector<int32_t>> want;
      for (int oh = 0; oh < d.OH; ++oh) want.push_back(reference(d, oh));
      forEachSimdTarget([&] {
        for (int oh = 0; oh < d.OH; ++oh)
          ASSERT_EQ(kernel(d, oh), want[size_t(oh)]) << "C " << k.C << " M " << k.M << " " << k.KH << "x" << k.KW
                                                     << " row " << oh << (extreme ? " (255 x -128)" : "");
      });
    }
  }
}

TEST(simdInt8Conv, RangeAndQuantisation) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> val(-4.0f, 5.0f);
  const int C = 5, Cp = 8;
  const size_t plane = 37;
  std::vector<float> x(C * plane);
  for (float& v : x) v = val(rng);
  x[3] = 1.5f * 0.03125f;  // a tie of x / scale below
  const float scale = 0.03125f;  // both ends clamp
  const int zp = 100;
  forEachSimdTarget([&] {
    float lo = 1, hi = -1;
    ASSERT_TRUE(qo::simd::int8Range(x.data(), x.size(), &lo, &hi));
    float wantLo = 0, wantHi = 0;
    for (float v : x) wantLo = std::min(wantLo, v), wantHi = std::max(wantHi, v);
    EXPECT_EQ(lo, wantLo);
    EXPECT_EQ(hi, wantHi);
    float plo, phi;  // all positive: the range still starts at 0
    ASSERT_TRUE(qo::simd::int8Range(x.data() + 3, 1, &plo, &phi));
    EXPECT_EQ(plo, 0.0f);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), INFINITY, -INFINITY}) {
      std::vector<float> y = x;
      y[y.size() - 20] = bad;
      EXPECT_FALSE(qo::simd::int8Range(y.data(), y.size(), &lo, &hi)) << bad;
    }

    std::vector<uint8_t> q(plane * Cp, 0xee);
    qo::simd::int8QuantizeNhwc(x.data(), plane, C, 2, plane, scale, zp, q.data(), Cp);
    for (size_t p = 0; p < plane; ++p)
      for (int c = 0; c < Cp; ++c) {
        int want = 0xee;
        if (p >= 2) want = c < C ? int(std::clamp(zp + std::nearbyint(x[c * plane + p] / scale), 0.0f, 255.0f)) : zp;
        ASSERT_EQ(q[p * Cp + c], want) << "pixel " << p << " channel " << c;
      }
    EXPECT_EQ(q[3 * Cp], zp + 2);  // 1.5 rounds to the even 2

    // Four channels: whole pixels are written as one vector.
    std::vector<uint8_t> q4(plane * 4, 0xee);
    qo::simd::int8QuantizeNhwc(x.data(), plane, 3, 2, plane, scale, zp, q4.data(), 4);
    for (size_t p = 0; p < plane; ++p)
      for (int c = 0; c < 4; ++c)
        ASSERT_EQ(q4[p * 4 + c], c < 3 || p < 2 ? q[p * Cp + c] : zp) << "pixel " << p << " channel " << c;
  });
}

TEST(simdInt8Conv, DequantisationMatchesScalarFormula) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> val(-3000000, 3000000);
  const int width = 29;
  const size_t outStride = 40;
  // (M, acc stride): one partial channel group; whole groups then a partial one; a stride too
  // narrow for whole groups.
  for (auto [M, stride] : {std::pair<int, size_t>{5, 8}, {19, 24}, {6, 6}}) {
    std::vector<int32_t> acc(width * stride), offset(M);
    std::vector<float> k(M), bias(M);
    for (int32_t& v : acc) v = val(rng);
    acc[7 * stride + 2] = INT32_MIN + 5;  // the difference wraps back into range
    for (int c = 0; c < M; ++c) offset[c] = val(rng), k[c] = 1e-4f * float(c + 1), bias[c] = 0.25f * float(c) - 0.5f;
    offset[2] = 10;
    forEachSimdTarget([&] {
      std::vector<float> out(M * outStride, -7.0f);
      qo::simd::int8Dequantize(acc.data(), stride, width, M, offset.data(), k.data(), bias.data(), out.data(),
                               outStride);
      for (int c = 0; c < M; ++c)
        for (size_t ow = 0; ow < outStride; ++ow) {
          float want = -7.0f;
          if (ow < size_t(width))
            want = k[c] * float(int32_t(uint32_t(acc[ow * stride + c]) - uint32_t(offset[c]))) + bias[c];
          ASSERT_EQ(out[c * outStride + ow], want) << "M " << M << " channel " << c << " column " << ow;
        }
    });
  }
}

}  // namespace
