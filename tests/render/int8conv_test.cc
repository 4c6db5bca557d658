// Int8ConvVNNI inside ONNX Runtime: against ORT's own standard quantised chain
// (DynamicQuantizeLinear -> ConvInteger -> Cast -> Mul -> Add) on the same tensors, against a
// float convolution of the dequantised tensors, its edge cases, its refusals, and concurrent
// first runs of one session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include "render/int8conv_vnni.h"
#include "render/ort_harness.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using namespace qo::onnx;
using ::testing::HasSubstr;

struct Conv {
  int64_t N, C, H, W, M, KH, KW;
  std::vector<int64_t> strides, pads, dilations;  // empty: attribute absent
};

struct Weights {
  std::vector<int8_t> w;
  std::vector<float> scale, bias;
};

Weights randomWeights(const Conv& c, uint32_t seed, int wmax = 127) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> q(-wmax, wmax);
  std::uniform_real_distribution<float> s(0.001f, 0.02f), b(-1, 1);
  Weights w;
  w.w.resize(size_t(c.M * c.C * c.KH * c.KW));
  for (int8_t& v : w.w) v = int8_t(q(rng));
  for (int64_t m = 0; m < c.M; ++m) w.scale.push_back(s(rng)), w.bias.push_back(b(rng));
  return w;
}

std::vector<Attr> attrs(const Conv& c) {
  std::vector<Attr> a;
  if (!c.strides.empty()) a.push_back(attrInts("strides", c.strides));
  if (!c.pads.empty()) a.push_back(attrInts("pads", c.pads));
  if (!c.dilations.empty()) a.push_back(attrInts("dilations", c.dilations));
  return a;
}

// X declares xChannels channels when positive (W keeps c.C).
std::vector<uint8_t> int8Graph(const Conv& c, const Weights& w, std::vector<Attr> extra = {}, int64_t xChannels = 0) {
  ModelBuilder b;
  b.opset("com.corvanta.int8", 1);
  b.input("x", kFloat, {c.N, xChannels > 0 ? xChannels : c.C, c.H, c.W});
  b.initializer("w", tensorOf<int8_t>({c.M, c.C, c.KH, c.KW}, w.w));
  b.initializer("ws", tensorOf<float>({int64_t(w.scale.size())}, w.scale));
  b.initializer("b", tensorOf<float>({int64_t(w.bias.size())}, w.bias));
  std::vector<Attr> a = attrs(c);
  a.insert(a.end(), extra.begin(), extra.end());
  b.node("Int8ConvVNNI", {"x", "w", "ws", "b"}, {"y"}, a, {.domain = "com.corvanta.int8"});
  b.output("y", kFloat);
  return b.bytes();
}

std::vector<uint8_t> ortChainGraph(const Conv& c, const Weights& w) {
  ModelBuilder b;
  b.input("x", kFloat, {c.N, c.C, c.H, c.W});
  b.initializer("w", tensorOf<int8_t>({c.M, c.C, c.KH, c.KW}, w.w));
  b.initializer("ws", tensorOf<float>({c.M, 1, 1}, w.scale));
  b.initializer("b", tensorOf<float>({c.M, 1, 1}, w.bias));
  b.node("DynamicQuantizeLinear", {"x"}, {"xq", "xs", "xzp"});
  b.node("ConvInteger", {"xq", "w", "xzp"}, {"acc"}, attrs(c));
  b.node("Cast", {"acc"}, {"accf"}, {attrInt("to", kFloat)});
  b.node("Mul", {"xs", "ws"}, {"k"});
  b.node("Mul", {"accf", "k"}, {"yk"});
  b.node("Add", {"yk", "b"}, {"y"});
  b.output("y", kFloat);
  return b.bytes();
}

Ort::Session int8Session(const std::vector<uint8_t>& model) {
  Ort::SessionOptions o = test::quietSessionOptions();
  registerInt8ConvVNNI(o);
  return Ort::Session(test::ortEnv(), model.data(), model.size(), o);
}

test::FloatArray runInt8(const Conv& c, const Weights& w, const test::FloatArray& x) {
  Ort::Session s = int8Session(int8Graph(c, w));
  return test::runFloats(s, {{"x", x}}, {"y"})[0];
}

// Zero-padded float convolution of (q - zp) * scale with W * weight scale, plus bias, in double;
// q, scale and zp by the quantisation formula.
test::FloatArray dequantisedReference(const Conv& c, const Weights& w, const test::FloatArray& x) {
  float lo = 0, hi = 0;
  for (float v : x.data) lo = std::min(lo, v), hi = std::max(hi, v);
  float scale = (hi - lo) / 255.0f;
  float zp;
  if (scale <= 0) scale = 1, zp = std::clamp(std::nearbyint(-lo), 0.0f, 255.0f);
  else zp = std::clamp(std::nearbyint(-lo / scale), 0.0f, 255.0f);
  const int64_t sh = c.strides.empty() ? 1 : c.strides[0], sw = c.strides.empty() ? 1 : c.strides[1];
  const int64_t dh = c.dilations.empty() ? 1 : c.dilations[0], dw = c.dilations.empty() ? 1 : c.dilations[1];
  const std::vector<int64_t> p = c.pads.empty() ? std::vector<int64_t>{0, 0, 0, 0} : c.pads;
  const int64_t OH = (c.H + p[0] + p[2] - dh * (c.KH - 1) - 1) / sh + 1;
  const int64_t OW = (c.W + p[1] + p[3] - dw * (c.KW - 1) - 1) / sw + 1;
  test::FloatArray y{{c.N, c.M, OH, OW}, std::vector<float>(size_t(c.N * c.M * OH * OW))};
  auto xq = [&](int64_t n, int64_t ch, int64_t ih, int64_t iw) {
    const float v = x.data[size_t(((n * c.C + ch) * c.H + ih) * c.W + iw)];
    return (double(std::clamp(zp + std::nearbyint(v / scale), 0.0f, 255.0f)) - zp) * scale;
  };
  for (int64_t n = 0; n < c.N; ++n)
    for (int64_t m = 0; m < c.M; ++m)
      for (int64_t oh = 0; oh < OH; ++oh)
        for (int64_t ow = 0; ow < OW; ++ow) {
          double s = 0;
          for (int64_t ch = 0; ch < c.C; ++ch)
            for (int64_t kh = 0; kh < c.KH; ++kh)
              for (int64_t kw = 0; kw < c.KW; ++kw) {
                const int64_t ih = oh * sh + kh * dh - p[0], iw = ow * sw + kw * dw - p[1];
                if (ih < 0 || ih >= c.H || iw < 0 || iw >= c.W) continue;
                s += xq(n, ch, ih, iw) * (double(w.w[size_t(((m * c.C + ch) * c.KH + kh) * c.KW + kw)]) * w.scale[m]);
              }
          y.data[size_t(((n * c.M + m) * OH + oh) * OW + ow)] = float(s + w.bias[m]);
        }
  return y;
}

float maxAbs(const test::FloatArray& a) {
  float m = 0;
  for (float v : a.data) m = std::max(m, std::fabs(v));
  return m;
}

const Conv kShapes[] = {
    {2, 3, 9, 11, 5, 3, 3, {}, {1, 1, 1, 1}, {}},             // channels not a multiple of 4
    {1, 64, 12, 14, 64, 3, 3, {1, 1}, {1, 1, 1, 1}, {1, 1}},  // 3x3 64 -> 64
    {1, 30, 8, 8, 20, 1, 1, {}, {}, {}},                       // 1x1
    {1, 5, 12, 13, 9, 3, 3, {2, 1}, {1, 0, 2, 1}, {2, 2}},     // strides, dilations, uneven pads
    {1, 7, 1, 1, 3, 3, 3, {}, {1, 1, 1, 1}, {}},               // one pixel
};

TEST(int8ConvOp, MatchesOrtQuantisedChainAndDequantisedFloat) {
  uint32_t seed = 1;
  for (const Conv& c : kShapes) {
    SCOPED_TRACE(testing::Message() << "C " << c.C << " M " << c.M << " " << c.KH << "x" << c.KW << " on " << c.H
                                    << "x" << c.W);
    const Weights w = randomWeights(c, seed++);
    const test::FloatArray x = test::randomArray({c.N, c.C, c.H, c.W}, seed++, -1.5f, 2.5f);
    const test::FloatArray got = runInt8(c, w, x);
    Ort::Session chain = test::openSession(ortChainGraph(c, w));
    const test::FloatArray ort = test::runFloats(chain, {{"x", x}}, {"y"})[0];
    const float roundOff = 4e-7f * maxAbs(ort);
    EXPECT_LE(test::maxAbsDiff(got, ort), roundOff);
    EXPECT_LE(test::maxAbsDiff(got, dequantisedReference(c, w, x)), 2e-6f * maxAbs(got) + 1e-6f);
  }
}

// Sums at the int32 lanes' worst case: q = 255 against weight -128.
TEST(int8ConvOp, FullRangeWeightsAreExact) {
  const Conv c{1, 48, 10, 10, 16, 3, 3, {}, {1, 1, 1, 1}, {}};
  Weights w = randomWeights(c, 7, 127);
  for (size_t i = 0; i < w.w.size(); i += 2) w.w[i] = int8_t(-128);
  test::FloatArray x = test::randomArray({c.N, c.C, c.H, c.W}, 8, 0.0f, 1.0f);
  for (size_t i = 0; i < x.data.size(); i += 2) x.data[i] = 1.0f;  // q = 255 next to -128 weights
  const test::FloatArray got = runInt8(c, w, x);
  EXPECT_LE(test::maxAbsDiff(got, dequantisedReference(c, w, x)), 2e-6f * maxAbs(got));
}

TEST(int8ConvOp, EdgeCases) {
  const Conv c{1, 6, 7, 5, 4, 3, 3, {}, {1, 1, 1, 1}, {}};
  const Weights w = randomWeights(c, 11);
  const size_t n = size_t(c.C * c.H * c.W);
  {  // all zero: Y is the bias
    const test::FloatArray y = runInt8(c, w, {{c.N, c.C, c.H, c.W}, std::vector<float>(n, 0.0f)});
    for (size_t i = 0; i < y.data.size(); ++i) ASSERT_EQ(y.data[i], w.bias[i / size_t(c.H * c.W)]) << i;
  }
  // All positive (zp 0) and all negative (zp 255, where a zero point leaking into the padding would
  // shift every border output); a constant input makes every value hit a quantisation level.
  for (auto [lo, hi] : {std::pair{0.5f, 3.0f}, std::pair{-3.0f, -0.5f}, std::pair{-1.0f, -1.0f}}) {
    test::FloatArray x = test::randomArray({c.N, c.C, c.H, c.W}, 12, lo, hi == lo ? lo + 1 : hi);
    if (hi == lo) std::fill(x.data.begin(), x.data.end(), lo);
    const test::FloatArray y = runInt8(c, w, x);
    EXPECT_LE(test::maxAbsDiff(y, dequantisedReference(c, w, x)), 2e-6f * maxAbs(y)) << lo << ".." << hi;
  }
  {  // absent attributes are strides 1, pads 0, dilations 1, group 1
    const Conv bare{1, 6, 7, 5, 4, 3, 3, {}, {}, {}};
    const Conv spelled{1, 6, 7, 5, 4, 3, 3, {1, 1}, {0, 0, 0, 0}, {1, 1}};
    const test::FloatArray x = test::randomArray({1, 6, 7, 5}, 13, -1, 1);
    Ort::Session s = int8Session(int8Graph(spelled, w, {attrInt("group", 1)}));
    const test::FloatArray y = runInt8(bare, w, x);
    EXPECT_EQ(y.shape, (std::vector<int64_t>{1, 4, 5, 3}));
    EXPECT_EQ(test::maxAbsDiff(y, test::runFloats(s, {{"x", x}}, {"y"})[0]), 0.0f);
    // Short lists take the defaults too.
    Ort::Session s2 = int8Session(int8Graph(bare, w, {attrInts("strides", {2}), attrInts("pads", {1, 1})}));
    EXPECT_EQ(test::maxAbsDiff(y, test::runFloats(s2, {{"x", x}}, {"y"})[0]), 0.0f);
  }
}

std::string runError(const std::vector<uint8_t>& model, const test::FloatArray& x) {
  try {
    Ort::Session s = int8Session(model);
    test::runFloats(s, {{"x", x}}, {"y"});
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(int8ConvOp, RefusesWhatItCannotServe) {
  const Conv c{1, 4, 5, 5, 3, 3, 3, {}, {}, {}};
  const Weights w = randomWeights(c, 21);
  const test::FloatArray x = test::randomArray({1, 4, 5, 5}, 22, -1, 1);
  {  // W's channels against X's
    const test::FloatArray x5 = test::randomArray({1, 5, 5, 5}, 23, -1, 1);
    EXPECT_THAT(runError(int8Graph(c, w, {}, 5), x5), AllOf(HasSubstr("input channels (4) differ from X's (5)"),
                                                       HasSubstr("X [1, 5, 5, 5], W [3, 4, 3, 3]")));
  }
  Weights shortScale = w;
  shortScale.scale.pop_back();
  EXPECT_THAT(runError(int8Graph(c, shortScale), x), HasSubstr("must hold M = 3 values"));
  Weights longBias = w;
  longBias.bias.push_back(0);
  EXPECT_THAT(runError(int8Graph(c, longBias), x), HasSubstr("they hold 3 and 4"));
  const Conv dilated{1, 4, 5, 5, 3, 3, 3, {}, {}, {3, 1}};  // spans 7 rows of 5
  EXPECT_THAT(runError(int8Graph(dilated, w), x), HasSubstr("OH, OW below 1"));
  EXPECT_THAT(runError(int8Graph(c, w, {attrInt("group", 2)}), x), HasSubstr("group 2 is not served"));
  EXPECT_THAT(runError(int8Graph(c, w, {attrInts("strides", {0, 1})}), x), HasSubstr("strides and dilations"));
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), INFINITY}) {
    test::FloatArray y = x;
    y.data[17] = bad;
    EXPECT_THAT(runError(int8Graph(c, w), y), HasSubstr("holds a NaN or an infinity"));
  }
  test::FloatArray wide = x;
  wide.data[0] = 3e38f, wide.data[1] = -3e38f;
  EXPECT_THAT(runError(int8Graph(c, w), wide), HasSubstr("range too wide"));
}

// Threads racing into the first run of one session share one prepack and agree with a lone run.
TEST(int8ConvOp, ConcurrentFirstRunsPackOnce) {
  const Conv c{1, 16, 24, 20, 12, 3, 3, {}, {1, 1, 1, 1}, {}};
  const Weights w = randomWeights(c, 31);
  const test::FloatArray x = test::randomArray({c.N, c.C, c.H, c.W}, 32, -1, 1);
  const test::FloatArray want = runInt8(c, w, x);
  Ort::Session s = int8Session(int8Graph(c, w));
  const size_t before = int8ConvPrepacks();
  std::vector<test::FloatArray> got(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i)
    threads.emplace_back([&, i] { got[i] = test::runFloats(s, {{"x", x}}, {"y"})[0]; });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(int8ConvPrepacks() - before, 1u);
  for (const test::FloatArray& y : got) EXPECT_EQ(test::maxAbsDiff(y, want), 0.0f);
}

}  // namespace
}  // namespace qo
