// The designed demo audio models themselves: the interfaces the engine relies on, a mask that
// really restricts attention, and features that carry the voicing the decoder turns into lips.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/graph_runner.h"
#include "audio/qo_feature_stream.h"

namespace qo::devkit {
namespace {

using test::GraphOutput;
using test::runGraph;

std::vector<float> maskFor(int T, int window, int left) {
  std::vector<float> m(size_t(T) * T);
  for (int r = 0; r < T; ++r)
    for (int k = 0; k < T; ++k)
      m[size_t(r) * T + k] = (k > r + window || k < r - left) ? -std::numeric_limits<float>::infinity() : 0.0f;
  return m;
}

struct EncoderRun {
  std::vector<float> ctx, wn;
};

EncoderRun runEncoder(const std::string& dir, const std::vector<float>& feat, int T, int h, const std::vector<float>& mask) {
  const std::vector<float> pos = test::readFloats(dir + "/a2x_pos.f32");
  std::vector<float> pw(pos.begin(), pos.begin() + T * h);
  const auto out = runGraph(dir + "/a2x_enc_stream.onnx",
                            {{"feat", {1, T, 12, 768}, feat}, {"pos_window", {1, T, h}, pw}, {"attn", {1, 1, T, T}, mask}},
                            {"ctx", "wn"});
  EXPECT_EQ(out[0].shape, (std::vector<int64_t>{1, T, h}));
  EXPECT_EQ(out[1].shape, (std::vector<int64_t>{1, T}));
  return {out[0].values, out[1].values};
}

TEST(demoAudio, EncoderAttendsOnlyWhereTheMaskAllows) {
  test::AudioRig rig;  // window 1, left 4, 2 layers: frame r sees rows r - 8 .. r + 2
  const int T = 40, h = 32;
  std::vector<float> feat(size_t(T) * 9216);
  for (size_t i = 0; i < feat.size(); ++i) feat[i] = float(std::sin(double(i) * 0.0137) * 1.5);
  const EncoderRun base = runEncoder(rig.dir(), feat, T, h, maskFor(T, 1, 4));

  // A wrong mask changes the context.
  const EncoderRun open = runEncoder(rig.dir(), feat, T, h, std::vector<float>(size_t(T) * T, 0.0f));
  EXPECT_NE(base.ctx, open.ctx);

  // Changing row 30 moves frames 28 .. 38 only.
  std::vector<float> edited = feat;
  for (int k = 0; k < 9216; ++k) edited[30 * 9216 + size_t(k)] += 2.0f;
  const EncoderRun moved = runEncoder(rig.dir(), edited, T, h, maskFor(T, 1, 4));
  for (int r = 0; r < T; ++r) {
    bool same = true;
    for (int j = 0; j < h; ++j) same = same && moved.ctx[size_t(r) * h + j] == base.ctx[size_t(r) * h + j];
    EXPECT_EQ(same, r < 28 || r > 38) << "frame " << r;
  }
  for (float w : base.wn) EXPECT_TRUE(w > 0.0f && w < 1.0f);
}

TEST(demoAudio, FrontendGraphsKeepTheirInterfaces) {
  test::AudioRig rig;
  const std::vector<float> audio = test::speechLike(8.0, 41);
  const GraphOutput legacy = runGraph(demoFrontendPath(rig.dir()), {{"input_values", {1, 128000}, test::normalised(audio)}},
                                      {"audio_emb"})[0];
  EXPECT_EQ(legacy.shape, (std::vector<int64_t>{12, 200, 768}));
  const GraphOutput trunk = runGraph(demoTrunkPath(rig.dir()),
                                     {{"input_values", {1, 32000}, std::vector<float>(audio.begin(), audio.begin() + 32000)}},
                                     {"trunk_out"})[0];
  EXPECT_EQ(trunk.shape, (std::vector<int64_t>{1, 640, kDemoTrunkColumns}));
  EXPECT_EQ(trunk.halves.size(), size_t(640) * kDemoTrunkColumns);
  const GraphOutput head = runGraph(demoHeadPath(rig.dir()), {{"x", {8, 640}, std::vector<float>(8 * 640, 0.5f)}}, {"emb"})[0];
  EXPECT_EQ(head.shape, (std::vector<int64_t>{8, 9216}));
  const GraphOutput dec = runGraph(rig.dir() + "/a2x_dec.onnx",
                                   {{"ctx_t", {1, 32}, std::vector<float>(32, 1.0f)},
                                    {"prev", {1, 63}, std::vector<float>(63, 0.0f)},
                                    {"h", {1, 1, 32}, std::vector<float>(32, 0.0f)}},
                                   {"m", "h_out"})[0];
  EXPECT_EQ(dec.shape, (std::vector<int64_t>{1, 63}));
}

TEST(demoAudio, VoicingFeatureSeparatesVoiceFromSilenceAndNoiseInBothDeployments) {
  test::AudioRig rig;
  audio::SpeechFrontend& fe = rig.frontend();
  fe.legacySession(rig.frontendPath(), 1);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
  testing::internal::GetCapturedStderr();
  // 2 s silence, 2 s voiced, 2 s noise, 2 s voiced.
  const std::vector<float> audio =
      test::concat({test::silence(2.0), test::voiced(2.0, 150, 0.3, 0.4), test::noise(2.0, 0.2, 9), test::voiced(2.0, 190)});
  audio::AudioView v;
  v.samples = audio.data();
  v.count = int64_t(audio.size());
  v.finished = true;
  v.usableFrames = 200;
  audio::FeatureStream legacy(fe, false, 12, 12), shortWindow(fe, true, 20, 12);
  legacy.fill(200, v);
  shortWindow.fill(200, v);
  auto voicing = [](const audio::FeatureStream& s, int from, int to) {
    double sum = 0;
    for (int i = from; i < to; ++i) sum += s.row(i)[16];
    return sum / (to - from);
  };
  for (const audio::FeatureStream* s : {&legacy, &shortWindow}) {
    EXPECT_LT(std::fabs(voicing(*s, 5, 45)), 0.05);     // silence: flat floor
    EXPECT_GT(voicing(*s, 55, 95), 0.9);                // voiced
    EXPECT_LT(std::fabs(voicing(*s, 105, 145)), 0.35);  // white noise: flat spectrum
    EXPECT_GT(voicing(*s, 155, 195), 0.9);
  }
  // The pair reproduces the legacy voicing closely: the tilt does not depend on the window's gain
  // (but for the energy floor under the quiet high bands).
  double diff = 0;
  for (int i = 55; i < 95; ++i) diff += std::fabs(legacy.row(i)[16] - shortWindow.row(i)[16]);
  EXPECT_LT(diff / 40, 0.1);
}

}  // namespace
}  // namespace qo::devkit
