// qo_fca: frame counts and refusals of the C functions, the 7-frame context and the recurrence
// seen through a probe stream graph, the running speech-normalisation on a hand-computed case,
// and the demo graph's lips following the audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/qo_fca_features.h"
#include "qo/qo_fca.h"
#include "tools/devkit/demo_fca.h"
#include "tools/devkit/onnx_model_builder.h"

namespace {

using qo::onnx::kFloat;
using qo::onnx::tensorOf;

constexpr int kProbeValues = 14;  // cond[k * 768 + j] for j = 0, 1 and the 7 context blocks k

// m[2k + j] = cond[k * 768 + j] (k < 7, j < 2), m[14] = h[0], m[15] = prev[15] + 1, hn = h + 1.
void writeProbeStream(const std::string& path) {
  qo::onnx::ModelBuilder b;
  b.input("cond", kFloat, {1, 5376});
  b.input("prev", kFloat, {1, 63});
  b.input("h", kFloat, {1, 1, 384});
  std::vector<int64_t> at;
  for (int k = 0; k < 7; ++k)
    for (int j = 0; j < 2; ++j) at.push_back(k * 768 + j);
  b.initializer("at", tensorOf<int64_t>({kProbeValues}, at));
  const std::string picked = b.node("Gather", {"cond", "at"}, {"picked"}, {qo::onnx::attrInt("axis", 1)});
  b.initializer("one", tensorOf<float>({1}, {1.0f}));
  b.initializer("state_shape", tensorOf<int64_t>({2}, {1, 384}));
  b.initializer("s0", tensorOf<int64_t>({1}, {0}));
  b.initializer("s1", tensorOf<int64_t>({1}, {1}));
  b.initializer("s15", tensorOf<int64_t>({1}, {15}));
  b.initializer("s16", tensorOf<int64_t>({1}, {16}));
  const std::string state = b.node("Reshape", {"h", "state_shape"}, {"state"});
  const std::string h0 = b.node("Slice", {state, "s0", "s1", "s1"}, {"h0"});
  const std::string p15 = b.node("Slice", {"prev", "s15", "s16", "s1"}, {"p15"});
  const std::string next15 = b.node("Add", {p15, "one"}, {"next15"});
  b.initializer("rest", tensorOf<float>({1, 63 - kProbeValues - 2}, std::vector<float>(63 - kProbeValues - 2, 0.0f)));
  b.node("Concat", {picked, h0, next15, "rest"}, {"m"}, {qo::onnx::attrInt("axis", 1)});
  b.node("Add", {"h", "one"}, {"hn"});
  b.output("m", kFloat, {1, 63});
  b.output("hn", kFloat, {1, 1, 384});
  b.save(path);
}

class FcaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new qo::test::TempDir;
    qo::devkit::writeDemoFrontend(frontend());
    writeProbeStream(*dir_ / "probe.onnx");
    qo::devkit::writeDemoFcaStream(*dir_ / "fca_stream.onnx");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string frontend() { return *dir_ / "w2v.onnx"; }
  static std::string probe() { return *dir_ / "probe.onnx"; }
  static std::string demo() { return *dir_ / "fca_stream.onnx"; }

  static qo::test::TempDir* dir_;
};
qo::test::TempDir* FcaTest::dir_ = nullptr;

TEST_F(FcaTest, FrameCountsCapsAndRefusals) {
  qo_fca* f = qo_fca_create(frontend().c_str(), probe().c_str(), 1);
  ASSERT_NE(f, nullptr) << qo_fca_last_error();
  const std::vector<float> audio = qo::test::speechLike(0.1, 3);
  std::vector<float> out(3 * 63, -7.0f);
  EXPECT_EQ(qo_fca_deltas(f, audio.data(), 1, out.data(), 1), 1);
  EXPECT_EQ(qo_fca_deltas(f, audio.data(), 640, out.data(), 1), 1);
  EXPECT_EQ(qo_fca_deltas(f, audio.data(), 641, out.data(), 2), 2);
  EXPECT_EQ(qo_fca_deltas(f, audio.data(), 0, nullptr, 0), 0);
  EXPECT_STREQ(qo_fca_last_error(), "");

  // Too small a buffer: -1 and not a value written.
  std::fill(out.begin(), out.end(), -7.0f);
  EXPECT_EQ(qo_fca_deltas(f, audio.data(), 1281, out.data(), 2), -1);
  EXPECT_EQ(std::string(qo_fca_last_error()), "qo_fca_deltas: cap 2 < 3 frames");
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == -7.0f; }));

  EXPECT_EQ(qo_fca_deltas(nullptr, audio.data(), 640, out.data(), 3), -1);
  EXPECT_EQ(std::string(qo_fca_last_error()), "qo_fca_deltas: bad args");
  EXPECT_EQ(qo_fca_deltas(f, nullptr, 640, out.data(), 3), -1);
  EXPECT_EQ(qo_fca_deltas(f, audio.data(), 640, nullptr, 3), -1);
  EXPECT_EQ(std::string(qo_fca_last_error()), "qo_fca_deltas: bad args");
  qo_fca_destroy(f);

  EXPECT_EQ(qo_fca_create(nullptr, probe().c_str(), 1), nullptr);
  EXPECT_EQ(std::string(qo_fca_last_error()), "qo_fca_create: bad args");
  EXPECT_EQ(qo_fca_create(frontend().c_str(), (*dir_ / "missing.onnx").c_str(), 1), nullptr);
  EXPECT_EQ(std::string(qo_fca_last_error()).rfind("qo_fca_create: ", 0), 0u) << qo_fca_last_error();
  qo_fca_destroy(nullptr);
}

// Through the probe: block k of frame t holds the feature of frame clamp(t + OFFS[k]), so block k
// of frame t equals block k - 1 of frame t + 1; near the ends the first and last features repeat.
TEST_F(FcaTest, ContextClampsAtBothEndsAndStateCarriesOver) {
  qo_fca* f = qo_fca_create(frontend().c_str(), probe().c_str(), 1);
  ASSERT_NE(f, nullptr) << qo_fca_last_error();
  const std::vector<float> audio = qo::test::speechLike(0.6, 11);
  const int N = int((audio.size() + 639) / 640);
  std::vector<float> m(size_t(N) * 63);
  ASSERT_EQ(qo_fca_deltas(f, audio.data(), int(audio.size()), m.data(), N), N) << qo_fca_last_error();
  qo_fca_destroy(f);
  auto block = [&](int t, int k, int j) { return m[size_t(t) * 63 + size_t(2 * k + j)]; };

  ASSERT_NE(block(0, 1, 0), block(N / 2, 1, 0)) << "frames must differ for the checks to mean anything";
  for (int j = 0; j < 2; ++j) {
    EXPECT_EQ(block(0, 0, j), block(0, 1, j));  // frame -1 is frame 0
    for (int k = 2; k < 7; ++k) EXPECT_EQ(block(N - 1, k, j), block(N - 1, 1, j)) << k;
    for (int k = 4; k < 7; ++k) EXPECT_EQ(block(N - 3, k, j), block(N - 1, 1, j)) << k;
    EXPECT_NE(block(N - 3, 3, j), block(N - 3, 1, j));
    for (int t = 0; t + 1 < N; ++t)
      for (int k = 1; k < 7; ++k) EXPECT_EQ(block(t, k, j), block(t + 1, k - 1, j)) << t << " " << k;
  }
  for (int t = 0; t < N; ++t) {
    EXPECT_EQ(m[size_t(t) * 63 + 14], float(t)) << "h follows hn";
    EXPECT_EQ(m[size_t(t) * 63 + 15], float(t + 1)) << "prev follows m";
  }
}

// Norms 1..7 all join (threshold 0 up to frame 6). Frame 7 (2.5): sorted 1 2 2.5 3 4 5 6 7,
// p = 1.4, threshold 2 + 0.4 x 0.5 = 2.2 -> joins; mean 30.5 / 8. Frame 8 (-1.5, norm 1.5):
// sorted 1 1.5 2 2.5 ..., p = 1.6, threshold 1.5 + 0.6 x 0.5 = 1.8 -> stays out. Frame 9 (2):
// sorted 1 1.5 2 2 ..., p = 1.8, threshold 1.9 -> joins; mean 32.5 / 9.
TEST(FcaFeatures, SpeechNormalisationFollowsThePercentileThreshold) {
  std::vector<float> rows = {1, 2, 3, 4, 5, 6, 7, 2.5f, -1.5f, 2};
  qo::audio::speechNormalise(rows.data(), int(rows.size()), 1);
  const std::vector<double> want = {0, 0.5, 1, 1.5, 2, 2.5, 3, 2.5 - 30.5 / 8, -1.5 - 30.5 / 8, 2 - 32.5 / 9};
  for (size_t t = 0; t < want.size(); ++t) EXPECT_NEAR(rows[t], want[t], 1e-6) << t;

  // The norm is over the whole row: (3, 4) has norm 5.
  std::vector<float> wide = {3, 4, 0, 0};
  qo::audio::speechNormalise(wide.data(), 2, 2);
  EXPECT_EQ(wide, (std::vector<float>{0, 0, -3, -4}));
}

// The demo graph opens the mouth over voiced sound and closes it over the pause after it.
TEST_F(FcaTest, DemoGraphOpensTheLipsWithTheSpeech) {
  qo_fca* f = qo_fca_create(frontend().c_str(), demo().c_str(), 1);
  ASSERT_NE(f, nullptr) << qo_fca_last_error();
  const std::vector<float> audio = qo::test::concat({qo::test::voiced(1.6, 140), qo::test::silence(1.6)});
  const int N = int(audio.size() / 640);
  std::vector<float> m(size_t(N) * 63);
  ASSERT_EQ(qo_fca_deltas(f, audio.data(), int(audio.size()), m.data(), N), N) << qo_fca_last_error();
  qo_fca_destroy(f);
  auto gap = [&](int t) { return m[size_t(t) * 63 + 20 * 3 + 1] - m[size_t(t) * 63 + 19 * 3 + 1]; };
  double speech = 0, pause = 0;
  for (int t = 10; t < 35; ++t) speech += gap(t) / 25;
  for (int t = 50; t < 75; ++t) pause += gap(t) / 25;
  EXPECT_GT(speech, 0.1) << "lips apart while speaking";
  EXPECT_LT(pause, 0.5 * speech) << "and closer in the pause";
}

}  // namespace
