// Creation of qo_a2x (its refusals, the mended ones included, and its warnings) and the C
// functions: argument checks, the last-error text, the one-output encoder and batch capacity.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/qo_a2x_error.h"
#include "qo/qo_a2x.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo::audio {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using test::AudioRig;

// The C functions use the process's frontend, loaded from the first $W2V_ONNX they see: every
// test here points it at this rig.
AudioRig& sharedRig() {
  static AudioRig rig;
  return rig;
}

struct CInstance {
  qo_a2x* a = nullptr;
  ~CInstance() { qo_a2x_destroy(a); }
};

// Creates through the C function with $W2V_ONNX set to the shared rig's graph; "" on success,
// else the last-error text.
std::string createError(const std::string& dir) {
  test::ScopedEnv w2v("W2V_ONNX", sharedRig().frontendPath().c_str());
  qo_a2x* a = qo_a2x_create(dir.c_str(), 1);
  if (a) {
    qo_a2x_destroy(a);
    return "";
  }
  return qo_a2x_last_error();
}

qo_a2x* createC(const std::string& dir) {
  test::ScopedEnv w2v("W2V_ONNX", sharedRig().frontendPath().c_str());
  return qo_a2x_create(dir.c_str(), 1);
}

void writeMeta(const AudioRig& rig, const std::string& text) { test::writeFile(rig.dir() + "/a2x_meta.json", text); }

TEST(a2xCreate, RefusesWhatTheMembersCannotServe) {
  {
    test::TempDir empty;
    EXPECT_EQ(createError(empty.path()), "qo_a2x_create: a2x_meta.json missing in " + empty.path());
  }
  AudioRig rig;
  ASSERT_EQ(createError(rig.dir()), "");
  writeMeta(rig, "");
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: a2x_meta.json missing in " + rig.dir());
  for (const char* meta : {R"({"h": 32, "left": 4})", R"({"h": 32, "window": 1})", R"({"h": 32, "window": 1, "left": -1})"}) {
    writeMeta(rig, meta);
    EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: meta lacks causal window/left (not a streaming a2x)") << meta;
  }
  writeMeta(rig, devkit::demoMetaText({}));

  const std::vector<float> pos = test::readFloats(rig.dir() + "/a2x_pos.f32");
  test::writeFloats(rig.dir() + "/a2x_pos.f32", std::vector<float>(pos.begin(), pos.begin() + 2 * 32 - 1));
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: pos/norm/xs_target read failed");
  test::writeFloats(rig.dir() + "/a2x_pos.f32", std::vector<float>(pos.begin(), pos.begin() + 2 * 32));
  EXPECT_EQ(createError(rig.dir()), "");  // two rows are enough
  test::writeFloats(rig.dir() + "/a2x_pos.f32", pos);

  const std::vector<float> norm = test::readFloats(rig.dir() + "/a2x_norm.f32");
  test::writeFloats(rig.dir() + "/a2x_norm.f32", std::vector<float>(norm.begin(), norm.begin() + 125));
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: pos/norm/xs_target read failed");
  test::writeFloats(rig.dir() + "/a2x_norm.f32", norm);

  const std::vector<float> target = test::readFloats(rig.dir() + "/xs_target.bin");
  test::writeFloats(rig.dir() + "/xs_target.bin", {});
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: pos/norm/xs_target read failed");
  test::writeFloats(rig.dir() + "/xs_target.bin", std::vector<float>(10, 0.5f));
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: xs_target.bin holds 10 floats, fewer than one keypoint set of 63");
  test::writeFloats(rig.dir() + "/xs_target.bin", std::vector<float>(target.begin(), target.begin() + 63 + 62));
  {
    CInstance one{createC(rig.dir())};
    ASSERT_NE(one.a, nullptr);
    EXPECT_EQ(qo_a2x_nt(one.a), 1);  // NT = floats / 63, the partial row ignored
  }
  test::writeFloats(rig.dir() + "/xs_target.bin", target);

  {
    test::ScopedEnv unset("W2V_ONNX", nullptr);
    EXPECT_EQ(qo_a2x_create(rig.dir().c_str(), 1), nullptr);
    EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_create: $W2V_ONNX not set");
    test::ScopedEnv empty("W2V_ONNX", "");
    EXPECT_EQ(qo_a2x_create(rig.dir().c_str(), 1), nullptr);
    EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_create: $W2V_ONNX not set");
  }
  EXPECT_EQ(qo_a2x_create(nullptr, 1), nullptr);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_create: NULL bundle");

  std::remove((rig.dir() + "/a2x_enc_stream.onnx").c_str());
  EXPECT_THAT(createError(rig.dir()), StartsWith("qo_a2x_create: "));
  EXPECT_THAT(createError(rig.dir()), HasSubstr("a2x_enc_stream.onnx"));
}

TEST(a2xCreate, RefusesContextWidthsAndLayerCountsThatBreakTheArithmetic) {
  AudioRig rig;
  writeMeta(rig, R"({"h": 0, "window": 1, "left": 4, "layers": 2})");
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: a2x_meta.json \"h\" is 0: the context width must be at least 1");
  writeMeta(rig, R"({"h": -32, "window": 1, "left": 4, "layers": 2})");
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: a2x_meta.json \"h\" is -32: the context width must be at least 1");
  for (int layers : {0, -2}) {
    writeMeta(rig, R"({"h": 32, "window": 1, "left": 4, "layers": )" + std::to_string(layers) + "}");
    EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: a2x_meta.json \"layers\" is " + std::to_string(layers) +
                                          ": the encoder must have at least 1 layer");
  }
  writeMeta(rig, R"({"h": 32, "window": 1, "left": 3000000000, "layers": 2})");
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: a2x_meta.json \"left\" = 3000000000 is too large");
  writeMeta(rig, R"({"h": 32, "window": 1000000000, "left": 4, "layers": 6})");
  EXPECT_EQ(createError(rig.dir()), "qo_a2x_create: a2x_meta.json \"window\" x \"layers\" = 6000000000 is too large");

  // The graphs' declared widths must agree with h.
  writeMeta(rig, R"({"h": 16, "window": 1, "left": 4, "layers": 2})");
  EXPECT_THAT(createError(rig.dir()), HasSubstr("the encoder's output \"ctx\" is 32 wide but a2x_meta.json gives h = 16"));
  writeMeta(rig, devkit::demoMetaText({}));
  devkit::writeDemoDecoder(rig.dir() + "/a2x_dec.onnx", 16);
  EXPECT_THAT(createError(rig.dir()),
              HasSubstr("the decoder's \"h_out\" is declared with 16 values but a2x_meta.json gives h = 32"));
  devkit::writeDemoDecoder(rig.dir() + "/a2x_dec.onnx", 32);
  EXPECT_EQ(createError(rig.dir()), "");
}

TEST(a2xCreate, OlderMemberNamesServeToo) {
  AudioRig rig;
  for (const auto& [now, old] : {std::pair{"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
                                  std::pair{"a2x_dec.onnx", "audio_motion_decoder.onnx"},
                                  std::pair{"xs_target.bin", "target_keypoints.bin"}})
    ASSERT_EQ(std::rename((rig.dir() + "/" + now).c_str(), (rig.dir() + "/" + old).c_str()), 0);
  CInstance c{createC(rig.dir())};
  ASSERT_NE(c.a, nullptr) << qo_a2x_last_error();
  EXPECT_EQ(qo_a2x_nt(c.a), 100);
  EXPECT_EQ(qo_a2x_width(c.a), 1);
}

TEST(a2xCreate, CadenceLineIsPrintedOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whatever ran before
  EXPECT_EXIT(
      {
        testing::internal::CaptureStderr();
        qo_a2x* a = createC(sharedRig().dir());
        qo_a2x* b = createC(sharedRig().dir());
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string line =
            "[qo_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size invariant, threads=1\n";
        const size_t at = err.find(line);
        qo_a2x_destroy(a);
        qo_a2x_destroy(b);
        std::exit(a && b && at != std::string::npos && err.find(line, at + 1) == std::string::npos ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(a2xCreate, WidthDisagreementWarnsAndServesTheGraph) {
  {
    devkit::DemoAudioOptions o;
    o.wn = false;
    o.metaWidth = 1;
    AudioRig rig(o);
    testing::internal::CaptureStderr();
    CInstance c{createC(rig.dir())};
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("[qo_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the GRAPH "
                          "(width=0). Repackage this bundle.\n"));
    ASSERT_NE(c.a, nullptr);
    EXPECT_EQ(qo_a2x_width(c.a), 0);
  }
  {
    devkit::DemoAudioOptions o;
    o.metaWidth = 0;
    AudioRig rig(o);
    testing::internal::CaptureStderr();
    CInstance c{createC(rig.dir())};
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("[qo_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) — serving the GRAPH "
                          "(width=1). Repackage this bundle.\n"));
    EXPECT_EQ(qo_a2x_width(c.a), 1);
  }
  {
    AudioRig rig;  // agreeing
    testing::internal::CaptureStderr();
    CInstance c{createC(rig.dir())};
    EXPECT_THAT(testing::internal::GetCapturedStderr(), ::testing::Not(HasSubstr("WARNING")));
  }
}

TEST(a2xCApi, OneOutputEncoderHasNoWn) {
  devkit::DemoAudioOptions o;
  o.wn = false;
  AudioRig rig(o);
  CInstance c{createC(rig.dir())};
  ASSERT_NE(c.a, nullptr) << qo_a2x_last_error();
  EXPECT_EQ(qo_a2x_width(c.a), 0);
  const std::vector<float> audio = test::speechLike(1.0, 21);
  ASSERT_EQ(qo_a2x_push(c.a, audio.data(), int(audio.size())), 1);
  qo_a2x_finish(c.a);
  std::vector<int> rows(25);
  std::vector<float> base(25 * 63), kp(25 * 63), wn(25, 9.0f);
  ASSERT_EQ(qo_a2x_pull_wn(c.a, rows.data(), base.data(), kp.data(), wn.data(), 25), 25);
  for (float v : wn) EXPECT_EQ(v, 0.0f);
  std::vector<float> out(25 * 63);
  EXPECT_EQ(qo_a2x_deltas_wn(c.a, audio.data(), int(audio.size()), out.data(), wn.data(), 25), -3);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_deltas_wn: encoder declares no wn output");
  EXPECT_EQ(qo_a2x_deltas(c.a, audio.data(), int(audio.size()), out.data(), 25), 25);
}

TEST(a2xCApi, StreamsAndConvertsThroughTheCFunctions) {
  CInstance c{createC(sharedRig().dir())};
  ASSERT_NE(c.a, nullptr) << qo_a2x_last_error();
  EXPECT_EQ(qo_a2x_nt(c.a), 100);
  EXPECT_EQ(qo_a2x_width(c.a), 1);
  const std::vector<float> audio = test::speechLike(2.0, 22);
  EXPECT_EQ(qo_a2x_total(c.a), -1);
  EXPECT_EQ(qo_a2x_push(c.a, audio.data(), int(audio.size())), 1);
  EXPECT_EQ(qo_a2x_push(c.a, nullptr, 0), 1);  // n < 1: nothing
  EXPECT_EQ(qo_a2x_push(c.a, audio.data(), -4), 1);
  qo_a2x_set_eager(c.a, 5);  // stored only
  qo_a2x_finish(c.a);
  EXPECT_EQ(qo_a2x_total(c.a), 50);
  std::vector<int> rows(50);
  std::vector<float> base(50 * 63), kp(50 * 63), wn(50);
  int got = 0;
  while (qo_a2x_avail(c.a) > 0) got += qo_a2x_pull_wn(c.a, &rows[size_t(got)], &base[size_t(got) * 63], &kp[size_t(got) * 63], &wn[size_t(got)], 50 - got);
  ASSERT_EQ(got, 50);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(rows[size_t(i)], i);
    EXPECT_GT(wn[size_t(i)], 0.0f);
    EXPECT_LT(wn[size_t(i)], 1.0f);
  }
  // Batch conversion runs the legacy frontend (streaming ran the short window here): its values
  // differ, so only their count and range are checked.
  std::vector<float> out(50 * 63, 7.0f), bwn(50, 7.0f);
  EXPECT_EQ(qo_a2x_deltas_wn(c.a, audio.data(), int(audio.size()), out.data(), bwn.data(), 50), 50);
  for (float v : bwn) EXPECT_TRUE(v > 0.0f && v < 1.0f);

  // Same stream with another eager value: identical frames.
  qo_a2x_reset(c.a, 0, 1, 1);
  qo_a2x_set_eager(c.a, -1);
  qo_a2x_push(c.a, audio.data(), int(audio.size()));
  qo_a2x_finish(c.a);
  std::vector<float> kp2(50 * 63);
  std::vector<int> rows2(50);
  std::vector<float> base2(50 * 63);
  int got2 = 0;
  while (qo_a2x_avail(c.a) > 0) got2 += qo_a2x_pull(c.a, &rows2[size_t(got2)], &base2[size_t(got2) * 63], &kp2[size_t(got2) * 63], 50 - got2);
  EXPECT_EQ(got2, 50);
  EXPECT_EQ(kp2, kp);
}

TEST(a2xCApi, CapacityTooSmallWritesNothing) {
  CInstance c{createC(sharedRig().dir())};
  ASSERT_NE(c.a, nullptr);
  const std::vector<float> audio = test::speechLike(0.5, 23);
  std::vector<float> out(20 * 63, 7.0f), wn(20, 7.0f);
  EXPECT_EQ(qo_a2x_deltas(c.a, audio.data(), 6401, out.data(), 10), -2);  // 11 frames
  EXPECT_EQ(qo_a2x_deltas_wn(c.a, audio.data(), 6401, out.data(), wn.data(), 10), -2);
  for (float v : out) ASSERT_EQ(v, 7.0f);
  for (float v : wn) ASSERT_EQ(v, 7.0f);
  EXPECT_EQ(qo_a2x_deltas(c.a, audio.data(), 0, out.data(), 10), 0);
  EXPECT_EQ(qo_a2x_deltas(c.a, audio.data(), -3, out.data(), 10), 0);
  EXPECT_EQ(qo_a2x_deltas(c.a, audio.data(), 6401, out.data(), 11), 11);
  EXPECT_EQ(out[11 * 63], 7.0f);  // nothing past the frames
}

TEST(a2xCApi, NullArgumentsAreRefusedNotFollowed) {
  EXPECT_NE(qo_a2x_last_error(), nullptr);
  qo_a2x_destroy(nullptr);
  qo_a2x_finish(nullptr);
  qo_a2x_reset(nullptr, 0, 1, 1);
  qo_a2x_set_eager(nullptr, 3);
  EXPECT_EQ(qo_a2x_nt(nullptr), 0);
  EXPECT_EQ(qo_a2x_width(nullptr), 0);
  EXPECT_EQ(qo_a2x_total(nullptr), -1);
  EXPECT_EQ(qo_a2x_avail(nullptr), -1);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_avail: NULL instance");
  float x[63];
  int r[1];
  EXPECT_EQ(qo_a2x_push(nullptr, x, 1), 0);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_push: NULL instance");
  EXPECT_EQ(qo_a2x_pull(nullptr, r, x, x, 1), 0);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_pull: NULL instance or output array");
  EXPECT_EQ(qo_a2x_deltas(nullptr, x, 1, x, 1), -1);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_deltas: NULL instance");

  CInstance c{createC(sharedRig().dir())};
  ASSERT_NE(c.a, nullptr);
  EXPECT_EQ(qo_a2x_push(c.a, nullptr, 5), 0);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_push: NULL samples");
  EXPECT_EQ(qo_a2x_total(c.a), -1);
  EXPECT_EQ(qo_a2x_pull_wn(c.a, r, nullptr, x, x, 1), 0);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_pull_wn: NULL instance or output array");
  EXPECT_EQ(qo_a2x_pull(c.a, r, x, x, 0), 0);
  EXPECT_EQ(qo_a2x_deltas(c.a, nullptr, 640, x, 1), -1);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_deltas: NULL audio or output array");
}

TEST(a2xCApi, LastErrorIsPerThreadAndKeptBySuccesses) {
  EXPECT_EQ(qo_a2x_create(nullptr, 0), nullptr);
  CInstance ok{createC(sharedRig().dir())};
  ASSERT_NE(ok.a, nullptr);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_create: NULL bundle");  // success leaves it
  std::string other = "unset";
  std::thread([&] { other = qo_a2x_last_error(); }).join();
  EXPECT_EQ(other, "");
}

TEST(a2xCApi, PreloadAndASecondGraphPath) {
  {
    test::ScopedEnv unset("W2V_ONNX", nullptr);
    EXPECT_EQ(qo_a2x_preload_w2v(nullptr), 0);
    EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x_preload_w2v: no path and $W2V_ONNX unset");
    EXPECT_EQ(qo_a2x_preload_w2v(""), 0);
  }
  EXPECT_EQ(qo_a2x_preload_w2v(sharedRig().frontendPath().c_str()), 1);
  // Loaded once: later paths, even missing ones, get the same session.
  EXPECT_EQ(qo_a2x_preload_w2v("/no/such/frontend.onnx"), 1);
  test::ScopedEnv other("W2V_ONNX", "/no/such/frontend.onnx");
  qo_a2x* a = qo_a2x_create(sharedRig().dir().c_str(), 1);
  EXPECT_NE(a, nullptr) << qo_a2x_last_error();
  qo_a2x_destroy(a);
}

TEST(a2xExtend, FailuresGoToTheLastErrorAndKeepWhatWasComputed) {
  AudioRig rig;
  // A trunk whose time axis is far too short for any frame's column.
  const std::string bad = rig.dir() + "/short_trunk.onnx";
  {
    onnx::ModelBuilder b;
    b.input("input_values", onnx::kFloat, {1, 32000});
    b.initializer("shape", onnx::tensorOf<int64_t>({3}, {1, 640, 50}));
    b.node("Reshape", {"input_values", "shape"}, {"r"});
    b.node("Cast", {"r"}, {"out"}, {onnx::attrInt("to", onnx::kFloat16)});
    b.output("out", onnx::kFloat16, {1, 640, 50});
    b.save(bad);
  }
  test::ScopedEnv t("QO_A2X_W2V_WIN_ONNX", bad.c_str());
  test::ScopedEnv h("QO_A2X_W2V_HEAD_ONNX", devkit::demoHeadPath(rig.dir()).c_str());
  auto a = rig.create();
  ASSERT_TRUE(a->shortWindow());
  const std::vector<float> audio = test::speechLike(2.0, 24);
  a->push(audio.data(), int(audio.size()));
  setA2xError("");
  EXPECT_EQ(a->avail(), 0);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x extend: w2v_win: trunk pos out of range");
  setA2xError("");
  int rows[4];
  float base[4 * 63], kp[4 * 63];
  EXPECT_EQ(a->pull(rows, base, kp, nullptr, 4), 0);
  EXPECT_STREQ(qo_a2x_last_error(), "qo_a2x extend: w2v_win: trunk pos out of range");
  EXPECT_EQ(a->featuresDone(), 0);
}

}  // namespace
}  // namespace qo::audio
