// Pure pieces of the speech path checked against their definitions: half-precision feature
// rounding, window normalisation, positional and target rows, encoder chunks, trunk columns and
// the meta reader.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "audio/qo_a2x_meta.h"
#include "audio/qo_a2x_position.h"
#include "audio/qo_audio_norm.h"
#include "audio/qo_feature_half.h"
#include "audio/qo_feature_stream.h"

namespace qo::audio {
namespace {

uint32_t bitsOf(float f) { return std::bit_cast<uint32_t>(f); }

TEST(featureHalf, RoundsToNearestEvenInTheNormalRange) {
  // 1 + 2^-11 lies halfway between 1 and the next half (1 + 2^-10): ties go to the even 1.
  EXPECT_EQ(roundFeature(1.0f + std::ldexp(1.0f, -11)), 1.0f);
  // 1 + 3 * 2^-11 lies halfway between 1 + 2^-10 (odd) and 1 + 2^-9 (even).
  EXPECT_EQ(roundFeature(1.0f + 3 * std::ldexp(1.0f, -11)), 1.0f + std::ldexp(1.0f, -9));
  EXPECT_EQ(roundFeature(1.0f + std::ldexp(1.0f, -11) + std::ldexp(1.0f, -20)), 1.0f + std::ldexp(1.0f, -10));
  EXPECT_EQ(roundFeature(-3.14159f), -3.140625f);  // nearest half: 3 + 9/64
  EXPECT_EQ(roundFeature(65504.0f), 65504.0f);      // the largest half
  EXPECT_EQ(roundFeature(std::ldexp(1.0f, -14)), std::ldexp(1.0f, -14));  // the smallest normal half
}

TEST(featureHalf, FlushesBelowTheNormalRangeToSignedZero) {
  const float sub = std::ldexp(1.0f, -15);  // a half subnormal, kept by plain conversion
  EXPECT_EQ(bitsOf(roundFeature(sub)), bitsOf(0.0f));
  EXPECT_EQ(bitsOf(roundFeature(-sub)), bitsOf(-0.0f));
  EXPECT_EQ(bitsOf(roundFeature(std::ldexp(1.0f, -14) * 0.999f)), bitsOf(0.0f));
  EXPECT_EQ(bitsOf(roundFeature(-0.0f)), bitsOf(-0.0f));
}

TEST(featureHalf, OverflowAndNanBecomeSignedInfinity) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(roundFeature(65520.0f), inf);  // rounds past 65504
  EXPECT_EQ(roundFeature(-1e6f), -inf);
  EXPECT_EQ(roundFeature(std::numeric_limits<float>::quiet_NaN()), inf);
  EXPECT_EQ(roundFeature(-std::numeric_limits<float>::quiet_NaN()), -inf);
  std::vector<float> v = {1e6f, 0.1f};
  roundFeatures(v.data(), v.data(), v.size());  // in place
  EXPECT_EQ(v[0], inf);
  EXPECT_EQ(v[1], 0.0999755859375f);  // 0.1 as a half: 1638 / 16384
}

TEST(windowNorm, MeanAndVarianceInDoubleSquareRootInSingle) {
  std::vector<float> x(1000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(std::sin(double(i) * 0.37) * 0.2 + 0.05 + (i % 7) * 0.01);
  std::vector<float> want(x.size());
  double mean = 0, var = 0;
  for (float v : x) mean += v;
  mean /= double(x.size());
  for (float v : x) var += (v - mean) * (v - mean);
  var /= double(x.size());
  const float root = std::sqrt(float(var + 1e-7));
  for (size_t i = 0; i < x.size(); ++i) want[i] = float((x[i] - mean) * (1.0 / double(root)));
  normaliseWindow(x.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(x[i], want[i]) << i;
  double m2 = 0, v2 = 0;
  for (float v : x) m2 += v;
  for (float v : x) v2 += double(v) * v;
  EXPECT_NEAR(m2 / double(x.size()), 0.0, 1e-6);
  EXPECT_NEAR(v2 / double(x.size()), 1.0, 1e-4);
}

TEST(windowNorm, SilenceStaysZero) {
  std::vector<float> x(32000, 0.0f);
  normaliseWindow(x.data(), x.size());
  for (float v : x) ASSERT_EQ(bitsOf(v), 0u);
}

TEST(positions, CycleThroughTheSecondHalfBeyondTheTable) {
  // npos 10: rows 0..9, then 5, 6, 7, 8, 9, 5, ...
  const int64_t want[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 5, 6, 7, 8, 9, 5, 6};
  for (int64_t i = 0; i < int64_t(std::size(want)); ++i) EXPECT_EQ(positionRow(i, 10), want[i]) << i;
  // Odd size: the second half starts at 7 / 2 = 3 and has 4 rows.
  const int64_t odd[] = {0, 1, 2, 3, 4, 5, 6, 3, 4, 5, 6, 3};
  for (int64_t i = 0; i < int64_t(std::size(odd)); ++i) EXPECT_EQ(positionRow(i, 7), odd[i]) << i;
  EXPECT_EQ(positionRow(2, 2), 1);
  EXPECT_EQ(positionRow(3, 2), 1);
}

TEST(targetRows, LoopBounceAndDirection) {
  auto seq = [](int start, int dir, bool loop, int nt, int n) {
    std::vector<int> r;
    for (int t = 0; t < n; ++t) r.push_back(targetRow(t, start, dir, loop, nt));
    return r;
  };
  EXPECT_EQ(seq(0, 1, false, 4, 9), (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1, 2}));
  EXPECT_EQ(seq(0, 1, true, 4, 6), (std::vector<int>{0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(seq(0, -1, true, 4, 5), (std::vector<int>{0, 3, 2, 1, 0}));
  EXPECT_EQ(seq(0, -1, false, 4, 5), (std::vector<int>{0, 1, 2, 3, 2}));  // bounces off row 0
  EXPECT_EQ(seq(7, 1, true, 1, 3), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(seq(0, 1, false, 2, 5), (std::vector<int>{0, 1, 0, 1, 0}));
  // Extreme starts do not overflow.
  EXPECT_EQ(targetRow(3, INT32_MAX, 1, true, 4), int((int64_t(INT32_MAX) + 3) % 4));
  EXPECT_EQ(targetRow(3, INT32_MIN, -1, true, 4), int(((int64_t(INT32_MIN) - 3) % 4 + 4) % 4));
}

TEST(encoderChunks, CutAtTheTableEndWhenStartingInside) {
  // Plain chunk: 64 frames, look-back 8, look-ahead 2.
  EncoderChunk k = planChunk(100, 300, 400, 8, 2, 512, 64);
  EXPECT_EQ(k.c1, 164);
  EXPECT_EQ(k.a, 92);
  EXPECT_EQ(k.e, 166);
  // Starting inside a 128-row table: the chunk and its context stop at 128.
  k = planChunk(100, 300, 400, 8, 2, 128, 64);
  EXPECT_EQ(k.c1, 128);
  EXPECT_EQ(k.e, 128);
  // Starting at or past the end: no cut.
  k = planChunk(128, 300, 400, 8, 2, 128, 64);
  EXPECT_EQ(k.c1, 192);
  EXPECT_EQ(k.a, 120);
  EXPECT_EQ(k.e, 194);
  // Near the start and the usable end.
  k = planChunk(0, 10, 11, 8, 2, 512, 64);
  EXPECT_EQ(k.c1, 10);
  EXPECT_EQ(k.a, 0);
  EXPECT_EQ(k.e, 11);
}

TEST(trunkColumns, FramesTakeTheLegacyWindowsColumn) {
  // Frame 250 comes from the legacy window starting at frame 100 (sample 64 000), position 150;
  // the trunk window of its block (248) ends at sample (248 + 8 + 12) * 640 = 171 520.
  EXPECT_DOUBLE_EQ(trunkColumn(250, 171520), (64000.0 - (171520.0 - 32000.0)) / 80.0 + 150.0 * 1598.0 / 199.0);
  EXPECT_NEAR(trunkColumn(250, 171520), 260.5226130653, 1e-9);
  // Inside the first legacy window the window starts at sample 0.
  EXPECT_DOUBLE_EQ(trunkColumn(5, 12800), (0.0 - (12800.0 - 32000.0)) / 80.0 + 5.0 * 1598.0 / 199.0);
  // Frame 199 (block 192) still belongs to the first window; frame 200 (block 200) to the window
  // at frame 100, position 100.
  EXPECT_DOUBLE_EQ(trunkColumn(199, 135680), (0.0 - 103680.0) / 80.0 + 199.0 * 1598.0 / 199.0);
  EXPECT_DOUBLE_EQ(trunkColumn(200, 140800), (64000.0 - 108800.0) / 80.0 + 100.0 * 1598.0 / 199.0);
}

TEST(metaReader, KeysDefaultsAndWidth) {
  A2xMeta m = parseA2xMeta(R"({"window": 2, "left":   5, "layers":3,"h" : 64})");
  EXPECT_EQ(m.h, 64);
  EXPECT_EQ(m.window, 2);
  EXPECT_EQ(m.left, 5);
  EXPECT_EQ(m.layers, 3);
  EXPECT_EQ(m.width, 0);
  EXPECT_EQ(m.silencePrime, 0);
  m = parseA2xMeta(R"({"left": 1})");
  EXPECT_EQ(m.h, 256);
  EXPECT_EQ(m.layers, 6);
  EXPECT_EQ(m.window, -1);  // required, absent
  EXPECT_EQ(parseA2xMeta(R"({"width": true})").width, 1);
  EXPECT_EQ(parseA2xMeta(R"({"width": false})").width, 0);
  EXPECT_EQ(parseA2xMeta(R"({"width": 1})").width, 1);
  EXPECT_EQ(parseA2xMeta(R"({"silence_prime": 12, "h": -3})").silencePrime, 12);
  EXPECT_EQ(parseA2xMeta(R"({"h": -3})").h, -3);
  EXPECT_EQ(parseA2xMeta(R"({"h": "wide"})").h, 256);  // no integer: the default
  int64_t v = 0;
  EXPECT_FALSE(metaInteger(R"({"h"})", "h", &v));
  // A key is a key: not a string value that spells it, and a top-level one before a nested one.
  m = parseA2xMeta(R"({"label": "h", "window": 1, "left": 4, "enc": {"layers": 9}, "layers": 2})");
  EXPECT_EQ(m.h, 256);
  EXPECT_EQ(m.window, 1);
  EXPECT_EQ(m.layers, 2);
}

}  // namespace
}  // namespace qo::audio
