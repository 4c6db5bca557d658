// The shared speech frontend: loading and sharing, the short-window pair search, the CUDA and
// Gelu fall-backs, and both feature procedures against the graphs run directly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/graph_runner.h"
#include "audio/qo_feature_stream.h"
#include "audio/qo_ort_setup.h"
#include "audio/qo_speech_frontend.h"
#include "qo/qo_simd.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo::audio {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using test::AudioRig;

devkit::DemoAudioOptions legacyOnly() {
  devkit::DemoAudioOptions o;
  o.shortWindow = false;
  return o;
}

// A trunk stand-in that reshapes its 32 000 samples into [1, channels, 32000 / channels] halves
// and declares `declared` columns (0: symbolic). Its input length is left open so that ONNX
// Runtime cannot infer the output length over the declaration.
void writeReshapeTrunk(const std::string& path, int channels, int declared) {
  onnx::ModelBuilder b;
  b.input("input_values", onnx::kFloat, {1, "samples"});
  b.initializer("shape", onnx::tensorOf<int64_t>({3}, {1, channels, -1}));
  const std::string r = b.node("Reshape", {"input_values", "shape"}, {"r"});
  b.node("Cast", {r}, {"out"}, {onnx::attrInt("to", onnx::kFloat16)});
  if (declared > 0)
    b.output("out", onnx::kFloat16, {1, channels, declared});
  else
    b.output("out", onnx::kFloat16, {1, channels, "LT"});
  b.save(path);
}

AudioView finishedView(const std::vector<float>& audio) {
  AudioView v;
  v.samples = audio.data();
  v.count = int64_t(audio.size());
  v.finished = true;
  v.usableFrames = int((audio.size() + 639) / 640);
  return v;
}

AudioView openView(const std::vector<float>& audio, int64_t pushed) {
  AudioView v;
  v.samples = audio.data();
  v.count = pushed;
  v.finished = false;
  v.usableFrames = 8 * (int((pushed + 639) / 640) / 8);
  return v;
}

TEST(speechFrontend, FirstLegacyPathWins) {
  AudioRig rig(legacyOnly());
  SpeechFrontend fe;
  EXPECT_FALSE(fe.legacyLoaded());
  Ort::Session* first = fe.legacySession(rig.frontendPath(), 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(fe.legacySession(rig.dir() + "/no_such_graph.onnx", 1), first);
  EXPECT_EQ(fe.legacyPath(), rig.frontendPath());
}

TEST(speechFrontend, LegacyLoadErrorsPropagateAndLeaveItUnloaded) {
  AudioRig rig(legacyOnly());
  SpeechFrontend fe;
  EXPECT_THROW(fe.legacySession(rig.dir() + "/no_such_graph.onnx", 1), std::exception);
  EXPECT_FALSE(fe.legacyLoaded());
  EXPECT_NE(fe.legacySession(rig.frontendPath(), 1), nullptr);
}

TEST(speechFrontend, NotDeployedIsSaidOnceAndTheLegacyGraphServes) {
  AudioRig rig(legacyOnly());
  SpeechFrontend fe;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(fe.tryShortWindow(1, rig.frontendPath()));
  EXPECT_FALSE(fe.tryShortWindow(1, rig.frontendPath()));
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string line =
      "[qo_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither QO_A2X_W2V_WIN_ONNX/QO_A2X_W2V_HEAD_ONNX "
      "are set nor is the pair beside $W2V_ONNX (" +
      rig.frontendPath() +
      ") as audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY "
      "8s window — same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside the encoder "
      "(tools/export_w2v_window).\n";
  EXPECT_EQ(err, line);
}

TEST(speechFrontend, PairBesideTheLegacyGraphUnderEitherName) {
  {
    AudioRig rig;
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string t = devkit::demoTrunkPath(rig.dir()), h = devkit::demoHeadPath(rig.dir());
    EXPECT_EQ(err, "[qo_a2x] short-window w2v frontend loaded (LT=399) trunk=" + t + " (" +
                       std::to_string(fileSize(t)) + " B) head=" + h + " (" + std::to_string(fileSize(h)) + " B)\n");
    EXPECT_GT(fileSize(t), 0);
    EXPECT_EQ(fe.trunkLength(), 399);
    EXPECT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
  }
  {
    AudioRig rig(legacyOnly());
    devkit::writeDemoTrunk(rig.dir() + "/w2v_trunk32.onnx", true);
    devkit::writeDemoHead(rig.dir() + "/w2v_head32.onnx");
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("trunk=" + rig.dir() + "/w2v_trunk32.onnx ("));
  }
  {
    // A graph path without a directory looks in ".".
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fe.tryShortWindow(1, "no_dir_graph.onnx"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("beside $W2V_ONNX (no_dir_graph.onnx)"));
  }
}

TEST(speechFrontend, ExplicitPairPathsNeedBothVariables) {
  AudioRig legacy(legacyOnly());
  AudioRig elsewhere;
  {
    test::ScopedEnv t("QO_A2X_W2V_WIN_ONNX", devkit::demoTrunkPath(elsewhere.dir()).c_str());
    test::ScopedEnv h("QO_A2X_W2V_HEAD_ONNX", devkit::demoHeadPath(elsewhere.dir()).c_str());
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(fe.tryShortWindow(1, legacy.frontendPath()));
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("trunk=" + devkit::demoTrunkPath(elsewhere.dir())));
  }
  {
    test::ScopedEnv t("QO_A2X_W2V_WIN_ONNX", devkit::demoTrunkPath(elsewhere.dir()).c_str());
    test::ScopedEnv h("QO_A2X_W2V_HEAD_ONNX", "");
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fe.tryShortWindow(1, legacy.frontendPath()));  // probes beside the legacy graph instead
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("NOT DEPLOYED"));
  }
}

TEST(speechFrontend, BrokenPairFallsBackOnce) {
  AudioRig rig(legacyOnly());
  test::writeFile(devkit::demoTrunkPath(rig.dir()), "not an onnx graph");
  test::writeFile(devkit::demoHeadPath(rig.dir()), "not an onnx graph either");
  SpeechFrontend fe;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(fe.tryShortWindow(1, rig.frontendPath()));
  EXPECT_FALSE(fe.tryShortWindow(1, rig.frontendPath()));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("[qo_a2x] short-window w2v load FAILED ("));
  EXPECT_THAT(err, HasSubstr(") — legacy 8s path\n"));
  EXPECT_EQ(err.find("FAILED"), err.rfind("FAILED"));  // one attempt only
}

TEST(speechFrontend, TrunkLengthLearnedFromTheFirstRun) {
  devkit::DemoAudioOptions o;
  o.trunkDeclaresLT = false;
  AudioRig rig(o);
  SpeechFrontend fe;
  fe.legacySession(rig.frontendPath(), 1);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("(LT=from-first-run)"));
  EXPECT_EQ(fe.trunkLength(), 0);
  const std::vector<float> audio = test::speechLike(1.0, 3);
  FeatureStream fs(fe, true, 20, 12);
  fs.fill(8, finishedView(audio));
  EXPECT_EQ(fs.done(), 8);
  EXPECT_EQ(fe.trunkLength(), devkit::kDemoTrunkColumns);
}

TEST(speechFrontend, TrunkOutputCheckedAgainstItsInterface) {
  AudioRig rig(legacyOnly());
  const std::vector<float> audio = test::speechLike(1.0, 4);
  struct Case {
    int channels, declared;
    const char* message;
  };
  const Case cases[] = {
      {320, 100, "w2v_win: trunk output is [1, 320, 100], expected float16 [1, 640, LT]"},
      {640, 0, "w2v_win: trunk pos out of range"},                      // 50 columns; frame 0 wants 240
      {640, 399, "w2v_win: trunk output has 50 columns, LT is 399"},  // a declared length is binding
  };
  for (const Case& c : cases) {
    const std::string t = rig.dir() + "/t.onnx", h = devkit::demoHeadPath(rig.dir());
    writeReshapeTrunk(t, c.channels, c.declared);
    devkit::writeDemoHead(h);
    test::ScopedEnv et("QO_A2X_W2V_WIN_ONNX", t.c_str());
    test::ScopedEnv eh("QO_A2X_W2V_HEAD_ONNX", h.c_str());
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    const bool pair = fe.tryShortWindow(1, rig.frontendPath());
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(pair);
    FeatureStream fs(fe, true, 20, 12);
    try {
      fs.fill(8, finishedView(audio));
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(fs.done(), 0);
  }
}

TEST(speechFrontend, CudaRuleFallsBackToTheCpu) {
  AudioRig rig(legacyOnly());
  {
    test::ScopedEnv cuda("QO_A2X_CUDA", "1");
    SpeechFrontend fe;
    testing::internal::CaptureStderr();
    ASSERT_NE(fe.legacySession(rig.frontendPath(), 1), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("[qo_a2x] CUDA EP append failed (w2v): "));
    EXPECT_THAT(err, HasSubstr(" -- falling back to CPU\n"));
    // The session serves on the CPU.
    const std::vector<float> zeros(kLegacySamples, 0.0f);
    EXPECT_NO_THROW(fe.runLegacy(zeros.data()));

    testing::internal::CaptureStderr();
    Ort::SessionOptions o;
    applyCudaRule(o, "enc/dec");  // other tags only with QO_A2X_CUDA_ALL
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    test::ScopedEnv all("QO_A2X_CUDA_ALL", "1");
    testing::internal::CaptureStderr();
    applyCudaRule(o, "enc/dec");
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("[qo_a2x] CUDA EP append failed (enc/dec): "));
  }
  {
    test::ScopedEnv cuda("QO_A2X_CUDA", "yes");  // only exactly "1" asks for it
    testing::internal::CaptureStderr();
    Ort::SessionOptions o;
    applyCudaRule(o, "w2v");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

TEST(speechFrontend, GeluFallbackReopensAtBasicOptimisation) {
  AudioRig rig(legacyOnly());
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "qo_test_gelu");
  const std::string path = rig.dir() + "/a2x_dec.onnx";
  {
    auto setup = makeSessionSetup(1);
    int calls = 0;
    testing::internal::CaptureStderr();
    auto s = openWithGeluFallback(path, *setup, [&](const Ort::SessionOptions& o) {
      if (++calls == 1)
        throw std::runtime_error("Could not find an implementation for Gelu(1) node with name 'g' (float16)");
      return std::make_unique<Ort::Session>(env, path.c_str(), o);
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[qo_a2x] " + path +
                  ": ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no CPU kernel "
                  "for; reopening at ORT_ENABLE_BASIC\n");
    EXPECT_EQ(calls, 2);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(setup->level, ORT_ENABLE_BASIC);  // stays lowered for later sessions
  }
  for (const char* other : {"Gelu kernel missing", "float16 tensor unsupported", "Load model failed"}) {
    auto setup = makeSessionSetup(1);
    int calls = 0;
    EXPECT_THROW(openWithGeluFallback(path, *setup,
                                      [&](const Ort::SessionOptions&) -> std::unique_ptr<Ort::Session> {
                                        ++calls;
                                        throw std::runtime_error(other);
                                      }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1) << other;
    EXPECT_EQ(setup->level, ORT_ENABLE_ALL);
  }
}

TEST(speechFrontend, SilenceFeaturesAreTheLegacyOutputForZeros) {
  AudioRig rig(legacyOnly());
  SpeechFrontend fe;
  fe.legacySession(rig.frontendPath(), 1);
  const std::vector<float>& s = fe.silenceFeatures();
  const auto want = test::runGraph(rig.frontendPath(), {{"input_values", {1, kLegacySamples}, std::vector<float>(kLegacySamples, 0.0f)}},
                                   {"audio_emb"});
  ASSERT_EQ(s.size(), want[0].values.size());
  EXPECT_EQ(s, want[0].values);
  EXPECT_EQ(&fe.silenceFeatures(), &s);
}

// Legacy rows for window start s (in frames) over the usable audio, from the graph run directly.
std::vector<float> legacyWindow(const AudioRig& rig, const std::vector<float>& usable, int s) {
  const std::vector<float> w = test::normalised(test::windowOf(usable, int64_t(s) * 640, kLegacySamples));
  return test::runGraph(rig.frontendPath(), {{"input_values", {1, kLegacySamples}, w}},
                        {"audio_emb"})[0]
      .values;
}

void expectRowFromWindow(const float* row, const std::vector<float>& emb, int position) {
  SCOPED_TRACE("window position " + std::to_string(position));
  for (int layer = 0; layer < kFeatureLayers; ++layer)
    for (int d = 0; d < kFeatureWidth; ++d) {
      const float want = test::viaHalf(emb[(size_t(layer) * kLegacyFrames + size_t(position)) * kFeatureWidth + d]);
      ASSERT_EQ(row[layer * kFeatureWidth + d], want) << "layer " << layer << " value " << d;
    }
}

TEST(legacyFeatures, Frame250ComesFromTheWindowAtFrame100Position150) {
  AudioRig rig(legacyOnly());
  SpeechFrontend fe;
  fe.legacySession(rig.frontendPath(), 1);
  const std::vector<float> audio = test::speechLike(12.6, 11);  // 315 frames
  FeatureStream fs(fe, false, 12, 12);
  fs.fill(315, finishedView(audio));
  EXPECT_GE(fs.done(), 315);

  const std::vector<float> at100 = legacyWindow(rig, audio, 100);
  expectRowFromWindow(fs.row(250), at100, 150);
  expectRowFromWindow(fs.row(200), at100, 100);  // the window's first frame not already final
  expectRowFromWindow(fs.row(299), at100, 199);  // and its last
  expectRowFromWindow(fs.row(300), legacyWindow(rig, audio, 200), 100);
  const std::vector<float> at0 = legacyWindow(rig, audio, 0);
  expectRowFromWindow(fs.row(10), at0, 10);
  expectRowFromWindow(fs.row(150), at0, 150);  // window 100 skips its first 50 and keeps 150..199
  // The window at frame 200 also covers frame 250 (position 50), with other numbers.
  const std::vector<float> at200 = legacyWindow(rig, audio, 200);
  int differ = 0;
  for (int k = 0; k < kFeatureRow; ++k)
    differ += fs.row(250)[k] != test::viaHalf(at200[(size_t(k / 768) * 200 + 50) * 768 + size_t(k % 768)]);
  EXPECT_GT(differ, kFeatureRow / 2);
}

TEST(legacyFeatures, OpenUtteranceRerunsTheWindowItCouldNotFinish) {
  AudioRig rig(legacyOnly());
  SpeechFrontend fe;
  fe.legacySession(rig.frontendPath(), 1);
  // Voice in the audio that arrives later, so the rerun's normalisation surely differs.
  const std::vector<float> audio = test::concat({test::speechLike(6.0, 5), test::voiced(3.0, 170)});
  FeatureStream fs(fe, false, 12, 12);
  fs.fill(200, openView(audio, 6 * 16000));  // U = 144: frames below 132 are taken
  EXPECT_EQ(fs.done(), 132);
  const std::vector<float> early(fs.row(0), fs.row(0) + size_t(132) * kFeatureRow);
  std::vector<float> usable6(audio.begin(), audio.begin() + 144 * 640);
  expectRowFromWindow(fs.row(100), legacyWindow(rig, usable6, 0), 100);

  fs.fill(200, openView(audio, 8 * 16000));  // U = 200: the same window again, frames 132..187
  EXPECT_EQ(fs.done(), 188);
  EXPECT_EQ(std::vector<float>(fs.row(0), fs.row(0) + early.size()), early);  // final rows stay
  std::vector<float> usable8(audio.begin(), audio.begin() + 200 * 640);
  const std::vector<float> rerun = legacyWindow(rig, usable8, 0);
  expectRowFromWindow(fs.row(140), rerun, 140);
  expectRowFromWindow(fs.row(187), rerun, 187);
  // The rerun saw more audio: its numbers for the voiced early frames differ from the first run's
  // (frames in pauses sit at the silence floor either way).
  int differ = 0;
  for (int j = 0; j < 132; ++j)
    for (int k = 0; k < kFeatureRow; ++k)
      differ += early[size_t(j) * kFeatureRow + k] != test::viaHalf(rerun[(size_t(k / 768) * 200 + j) * 768 + size_t(k % 768)]);
  EXPECT_GT(differ, 132 * kFeatureRow / 4);
}

TEST(shortWindowFeatures, Frame250UsesTheColumnOfItsLegacyWindow) {
  AudioRig rig;
  SpeechFrontend fe;
  fe.legacySession(rig.frontendPath(), 1);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
  testing::internal::GetCapturedStderr();
  const std::vector<float> audio = test::speechLike(11.0, 12);  // 275 frames
  FeatureStream fs(fe, true, 20, 12);
  fs.fill(256, finishedView(audio));
  ASSERT_EQ(fs.done(), 256);

  // Block 248's trunk window ends at sample (248 + 8 + 12) * 640 = 171 520.
  const int64_t end = 171520, begin = end - 32000;
  const std::vector<float> w = test::normalised(test::windowOf(audio, begin, 32000));
  const test::GraphOutput trunk =
      test::runGraph(devkit::demoTrunkPath(rig.dir()), {{"input_values", {1, 32000}, w}}, {"trunk_out"})[0];
  ASSERT_EQ(trunk.shape, (std::vector<int64_t>{1, 640, 399}));
  std::vector<float> x(8 * 640);
  for (int i = 248; i < 256; ++i) {
    // Frames 248..255 sit in the legacy window starting at frame 100 (sample 64 000), at
    // positions 148..155.
    const double p = (64000.0 - double(begin)) / 80.0 + (i - 100) * 1598.0 / 199.0;
    const int k = int(std::floor(p));
    const double t = p - k;
    for (int c = 0; c < 640; ++c) {
      const double v = double(halfToFloat(trunk.halves[size_t(c) * 399 + k])) * (1 - t) +
                       double(halfToFloat(trunk.halves[size_t(c) * 399 + k + 1])) * t;
      x[size_t(i - 248) * 640 + c] = test::viaHalf(float(v));
    }
  }
  const test::GraphOutput emb = test::runGraph(devkit::demoHeadPath(rig.dir()), {{"x", {8, 640}, x}}, {"emb"})[0];
  for (int k = 0; k < kFeatureRow; ++k) ASSERT_EQ(fs.row(250)[k], test::viaHalf(emb.values[2 * 9216 + size_t(k)])) << k;
}

TEST(shortWindowFeatures, ABlockWaitsForItsWholeTrunkWindow) {
  AudioRig rig;
  SpeechFrontend fe;
  fe.legacySession(rig.frontendPath(), 1);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(fe.tryShortWindow(1, rig.frontendPath()));
  testing::internal::GetCapturedStderr();
  const std::vector<float> audio = test::speechLike(2.0, 6);
  FeatureStream fs(fe, true, 20, 12);
  // Block 0 needs samples up to (0 + 8 + 12) * 640 = 12 800, usable once U reaches 24 frames.
  fs.fill(64, openView(audio, 23 * 640));  // U = 16: usable 10 240
  EXPECT_EQ(fs.done(), 0);
  fs.fill(64, openView(audio, 23 * 640 + 1));  // U = 24: usable 14 721
  EXPECT_EQ(fs.done(), 8);
  // The rows equal those of a stream that saw all the audio at once.
  FeatureStream all(fe, true, 20, 12);
  all.fill(8, finishedView(audio));
  EXPECT_EQ(std::vector<float>(fs.row(0), fs.row(8)), std::vector<float>(all.row(0), all.row(8)));
}

}  // namespace
}  // namespace qo::audio
