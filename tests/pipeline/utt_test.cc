#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capi/qo_ctx.h"
#include "qo/qo_image.h"
#include "qo/qo_utt.h"
#include "support/test_support.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_bundle.h"

namespace {

using ::testing::HasSubstr;

constexpr int kNT = 6;

struct Pulled {
  qo_utt_frame_info info;
  std::vector<uint8_t> rgb;
};

// A voiced, speech-like signal: a 150 Hz harmonic buzz under a syllable envelope.
std::vector<int16_t> speech(double seconds) {
  const size_t n = size_t(seconds * 16000);
  std::vector<int16_t> pcm(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i) / 16000;
    const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 4 * t);
    double v = 0;
    for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * 150 * k * t) / k;
    pcm[i] = int16_t(std::lround(6000 * env * v));
  }
  return pcm;
}

class UttTest : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    bundle_ = new qo::test::TempDir;
    qo::devkit::DemoOptions o;
    o.width = 96;
    o.height = 64;
    o.crop = 32;
    o.nt = kNT;
    qo::devkit::writeDemoBundle(bundle_->path(), o);
    ::setenv("W2V_ONNX", qo::devkit::demoFrontendPath(bundle_->path()).c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete bundle_;
    bundle_ = nullptr;
  }
  static qo::test::TempDir* bundle_;

  // The parameter: the paste mode ("0" synchronous, "1" paste thread), then "m" for the demo
  // motion directory (qo_motion, eager) instead of the bundle's streaming a2x.
  const std::string param = GetParam();
  const bool motion = param.size() > 1 && param[1] == 'm';
  qo::test::ScopedEnv pipe{"QO_UTT_PIPELINE_PASTE", param.substr(0, 1).c_str()};
  qo::test::ScopedEnv noHybrid{"QO_UTT_HYBRID", nullptr};
  qo::test::ScopedEnv noSteady{"QO_STEADY_MODEL", nullptr};
  qo_ctx* ctx = nullptr;
  qo_utt* u = nullptr;
  size_t bytes = 0;

  void SetUp() override {
    testing::internal::CaptureStderr();
    ctx = qo_create(bundle_->path().c_str(), "b1", 1, nullptr);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(ctx, nullptr) << qo_last_error();
    bytes = size_t(qo_width(ctx)) * qo_height(ctx) * 3;
  }
  void TearDown() override {
    qo_utt_destroy(u);
    qo_destroy(ctx);
  }
  void create(double silence = 0, const char* dir = nullptr) {
    qo_utt_opts o;
    std::memset(&o, 0, sizeof o);
    const std::string d = bundle_->path() + (motion ? "/motion" : "");
    o.motion_dir = dir ? dir : d.c_str();
    o.silence_s = silence;
    // Without the eager step qo_motion serves an open utterance only per 80-frame chunk.
    if (motion) o.eager = 3;
    u = qo_utt_create(ctx, &o);
    ASSERT_NE(u, nullptr) << qo_utt_last_error();
  }
  void waitReady() {
    for (int i = 0; i < 3000 && qo_utt_ready(u) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(qo_utt_ready(u), 1) << qo_utt_last_error();
  }
  // Pulls frames until `enough` says so (or a generous safety limit of wall time passes).
  std::vector<Pulled> pullUntil(const std::function<bool(const std::vector<Pulled>&)>& enough) {
    std::vector<Pulled> got;
    std::vector<uint8_t> buf(bytes);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!enough(got) && std::chrono::steady_clock::now() < limit) {
      qo_utt_frame_info info;
      if (qo_utt_pull_frame(u, buf.data(), buf.size(), &info)) got.push_back({info, buf});
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
  }
  // Pulls whatever arrives within `ms` milliseconds.
  std::vector<Pulled> pullFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    return pullUntil([&](const auto&) { return std::chrono::steady_clock::now() >= end; });
  }
  static int count(const std::vector<Pulled>& f, int kind) {
    int n = 0;
    for (const Pulled& p : f) n += p.info.kind == kind;
    return n;
  }
  void push(const std::vector<int16_t>& pcm) {
    for (size_t at = 0; at < pcm.size(); at += 3200)
      ASSERT_EQ(qo_utt_push_audio(u, pcm.data() + at, int(std::min<size_t>(3200, pcm.size() - at))), 1);
  }
};
qo::test::TempDir* UttTest::bundle_ = nullptr;

TEST_P(UttTest, IdleFramesStepThroughTheDriverVideo) {
  create();
  waitReady();
  std::vector<Pulled> f = pullUntil([](const auto& g) { return g.size() >= kNT + 3; });
  ASSERT_GE(f.size(), size_t(kNT + 3));
  for (size_t i = 1; i < f.size(); ++i) {
    EXPECT_EQ(f[i].info.kind, 0);
    EXPECT_EQ(f[i].info.seq, -1);
    EXPECT_EQ(f[i].info.frame_no, f[i - 1].info.frame_no + 1);
    EXPECT_EQ(f[i].info.driver_idx, (f[i - 1].info.driver_idx + 1) % kNT);
  }
  // An idle frame is the decoded driver frame, untouched.
  char name[64];
  std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", f[2].info.driver_idx);
  int w, h;
  EXPECT_EQ(f[2].rgb, qo::loadImageRGB(bundle_->path() + name, &w, &h));
}

TEST_P(UttTest, UtteranceEndsAfterSilenceThenRampsToIdle) {
  create();
  waitReady();
  const std::vector<Pulled> before = pullUntil([](const auto& g) { return g.size() >= 2; });
  const std::vector<int16_t> pcm = speech(1.2);  // 30 frames of 640 samples
  push(pcm);
  auto f = pullUntil([](const auto& g) { return count(g, 2) >= 6 && !g.empty() && g.back().info.kind == 0; });
  // Speech frames 0..29 without gaps, then exactly six ramp frames, then idle again.
  int firstSpeech = -1;
  for (size_t i = 0; i < f.size(); ++i)
    if (f[i].info.kind == 1) {
      firstSpeech = int(i);
      break;
    }
  ASSERT_GE(firstSpeech, 0) << "no speech frame";
  for (int s = 0; s < 30; ++s) {
    ASSERT_LT(size_t(firstSpeech + s), f.size());
    const qo_utt_frame_info& fi = f[size_t(firstSpeech + s)].info;
    EXPECT_EQ(fi.kind, 1) << s;
    EXPECT_EQ(fi.seq, s);
  }
  // The first speech frame uses the driver frame idle would have shown next.
  const Pulled& previous = firstSpeech > 0 ? f[size_t(firstSpeech - 1)] : before.back();
  EXPECT_EQ(previous.info.kind, 0);
  EXPECT_EQ(f[size_t(firstSpeech)].info.driver_idx, (previous.info.driver_idx + 1) % kNT);
  for (int r = 0; r < 6; ++r) {
    const qo_utt_frame_info& fi = f[size_t(firstSpeech + 30 + r)].info;
    EXPECT_EQ(fi.kind, 2) << r;
    EXPECT_EQ(fi.seq, -1);
  }
  EXPECT_EQ(f[size_t(firstSpeech + 36)].info.kind, 0);
  for (size_t i = 1; i < f.size(); ++i) EXPECT_EQ(f[i].info.frame_no, f[i - 1].info.frame_no + 1);
  qo_utt_stats st;
  qo_utt_get_stats(u, &st);
  EXPECT_EQ(st.utterances, 1);
  EXPECT_GE(st.speech_frames, 30);
  EXPECT_GT(st.first_frame_ms, 0.0);
  EXPECT_GT(st.render_ms, 0.0);
}

TEST_P(UttTest, NegativeSilenceWaitsForTheExplicitEnd) {
  create(-1);
  waitReady();
  // 50 frames; the model's look-ahead holds the last ones back until the end is known.
  push(speech(2.0));
  auto f = pullUntil([](const auto& g) { return count(g, 1) >= 10; });
  ASSERT_GE(count(f, 1), 10);
  auto more = pullFor(900);  // longer than the default silence
  EXPECT_EQ(count(more, 2), 0);  // no ramp: the utterance is still open
  qo_utt_end_utterance(u);
  auto rest = pullUntil([](const auto& g) { return count(g, 2) >= 6; });
  EXPECT_EQ(count(f, 1) + count(more, 1) + count(rest, 1), 50);
  EXPECT_EQ(count(rest, 2), 6);
}

TEST_P(UttTest, InterruptDropsUndeliveredFramesAndRampsFromTheLastPose) {
  create(-1);
  waitReady();
  push(speech(4.0));
  auto f = pullUntil([](const auto& g) { return count(g, 1) >= 3; });
  // Let the pipeline fill its ring, then interrupt.
  for (int i = 0; i < 400 && qo_utt_frames_available(u) < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int lastDriver = f.back().info.driver_idx;
  EXPECT_GT(qo_utt_frames_available(u), 0);  // undelivered speech frames for the interrupt to drop
  qo_utt_interrupt(u);
  // Whatever is in the ring from here on was made after the interrupt (the pipeline may already
  // have produced ramp frames by the time this thread looks), never a frame of the old utterance.
  auto after = pullUntil([](const auto& g) { return count(g, 2) >= 4 && g.back().info.kind == 0; });
  ASSERT_GE(after.size(), 5u);
  EXPECT_EQ(count(after, 1), 0);  // nothing of the interrupted utterance
  for (int r = 0; r < 4; ++r) EXPECT_EQ(after[size_t(r)].info.kind, 2) << r;
  EXPECT_EQ(after[0].info.driver_idx, (lastDriver + 1) % kNT);
  EXPECT_EQ(after[4].info.kind, 0);
  EXPECT_GT(after[0].info.frame_no, f.back().info.frame_no);
}

TEST_P(UttTest, PullArgumentsAndBufferSize) {
  create();
  waitReady();
  for (int i = 0; i < 2000 && qo_utt_frames_available(u) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(qo_utt_frames_available(u), 0);
  std::vector<uint8_t> buf(bytes);
  qo_utt_frame_info a, b;
  EXPECT_EQ(qo_utt_pull_frame(u, buf.data(), bytes - 1, &a), 0);
  EXPECT_STREQ(qo_utt_last_error(), "qo_utt_pull_frame: buffer too small");
  EXPECT_EQ(qo_utt_pull_frame(u, buf.data(), bytes, &b), 1);
  EXPECT_STREQ(qo_utt_last_error(), "qo_utt_pull_frame: buffer too small");  // success leaves the text
  EXPECT_EQ(b.frame_no, 0);  // the refused frame was kept
  EXPECT_EQ(qo_utt_pull_frame(u, nullptr, bytes, &b), 0);
  EXPECT_STREQ(qo_utt_last_error(), "qo_utt_pull_frame: bad args");
  const int16_t s[2] = {-32768, 32767};
  EXPECT_EQ(qo_utt_push_audio(u, s, 0), 1);
  EXPECT_EQ(qo_utt_push_audio(u, s, -1), 0);
  EXPECT_STREQ(qo_utt_last_error(), "qo_utt_push_audio: bad args");
  EXPECT_EQ(qo_utt_push_audio(nullptr, s, 2), 0);
  char msg[8] = "xxxxxxx";
  int64_t failures = -1;
  EXPECT_EQ(qo_utt_render_status(u, msg, 1, &failures), 0);
  EXPECT_EQ(msg[0], '\0');
  EXPECT_EQ(failures, 0);
}

// One corrupt driver JPEG stops the cursor for good, so every paste fails from then on. A failed
// frame is consumed like a failed render, so the utterance still ends; idle production backs off
// instead of retrying in a spin.
TEST_P(UttTest, PersistentPasteFailureEndsTheUtteranceAndIdleBacksOff) {
  qo::test::TempDir broken;
  qo::devkit::DemoOptions o;
  o.width = 96, o.height = 64, o.crop = 32, o.nt = kNT, o.audio = false;
  qo::devkit::writeDemoBundle(broken.path(), o);
  qo::test::writeFile(broken / "target_frames/frame_000003.jpg", "not a jpeg");
  qo_destroy(ctx);
  testing::internal::CaptureStderr();
  ctx = qo_create(broken.path().c_str(), "b1", 1, nullptr);
  testing::internal::GetCapturedStderr();
  ASSERT_NE(ctx, nullptr) << qo_last_error();
  create(-1);
  waitReady();
  auto failures = [&] {
    int64_t n = 0;
    qo_utt_render_status(u, nullptr, 0, &n);
    return n;
  };
  auto state = [&] {
    qo_utt_stats st;
    qo_utt_get_stats(u, &st);
    return st.state;
  };
  pullUntil([&](const auto&) { return failures() > 0; });
  ASSERT_GT(failures(), 0);
  const int64_t idleStart = failures();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_LE(failures() - idleStart, 8) << "idle frames retried against a dead driver without a pause";

  const int64_t speechStart = failures();
  push(speech(0.6));  // 15 frames
  for (int i = 0; i < 5000 && state() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_NE(state(), 0) << "the utterance never opened";
  qo_utt_end_utterance(u);
  for (int i = 0; i < 6000 && state() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(state(), 0) << "the utterance never ended";
  EXPECT_GE(failures() - speechStart, 15);  // every speech frame was tried and given up once
  char msg[256];
  EXPECT_EQ(qo_utt_render_status(u, msg, sizeof msg, nullptr), -1);
  EXPECT_THAT(msg, HasSubstr("qo_driver:"));
}

INSTANTIATE_TEST_SUITE_P(PasteModes, UttTest, ::testing::Values("0", "1"),
                         [](const auto& p) { return std::string(p.param[0] == '1' ? "PasteThread" : "Synchronous"); });
INSTANTIATE_TEST_SUITE_P(MotionModel, UttTest, ::testing::Values("0m", "1m"),
                         [](const auto& p) { return std::string(p.param[0] == '1' ? "PasteThread" : "Synchronous"); });

TEST(UttCreate, RefusalsAndLoadFailures) {
  qo_utt_opts o;
  std::memset(&o, 0, sizeof o);
  EXPECT_EQ(qo_utt_create(nullptr, &o), nullptr);
  EXPECT_STREQ(qo_utt_last_error(), "qo_utt_create: NULL ctx/opts");
  EXPECT_EQ(qo_utt_ready(nullptr), -1);
  EXPECT_EQ(qo_utt_frames_available(nullptr), 0);
  qo_utt_destroy(nullptr);
  qo_utt_end_utterance(nullptr);
  qo_utt_interrupt(nullptr);

  qo::test::TempDir t;
  qo::devkit::DemoOptions d;
  d.width = 96, d.height = 64, d.crop = 32, d.nt = 4, d.audio = false;
  qo::devkit::writeDemoBundle(t.path(), d);
  testing::internal::CaptureStderr();
  qo_ctx* ctx = qo_create(t.path().c_str(), "b1", 1, nullptr);
  testing::internal::GetCapturedStderr();
  ASSERT_NE(ctx, nullptr) << qo_last_error();
  o.motion_dir = "";
  EXPECT_EQ(qo_utt_create(ctx, &o), nullptr);
  EXPECT_STREQ(qo_utt_last_error(), "qo_utt_create: opts.motion_dir required");

  // A motion directory whose target table does not match the bundle is refused at load, and the
  // instance keeps serving idle frames.
  qo::test::TempDir motion;
  qo::devkit::DemoAudioOptions a;
  a.targetRows = 9;
  qo::devkit::writeDemoAudioModels(motion.path(), a);
  qo::test::ScopedEnv w2v("W2V_ONNX", qo::devkit::demoFrontendPath(motion.path()).c_str());
  qo_utt* u = qo_utt_open(ctx, motion.path().c_str());
  ASSERT_NE(u, nullptr) << qo_utt_last_error();
  int r = 0;
  for (int i = 0; i < 3000 && (r = qo_utt_ready(u)) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(r, -1);
  EXPECT_THAT(qo_utt_last_error(), HasSubstr("9 rows"));
  EXPECT_THAT(qo_utt_last_error(), HasSubstr("NT=4"));
  std::vector<uint8_t> buf(96 * 64 * 3);
  qo_utt_frame_info info;
  bool gotIdle = false;
  for (int i = 0; i < 2000 && !gotIdle; ++i) {
    if (qo_utt_pull_frame(u, buf.data(), buf.size(), &info)) gotIdle = info.kind == 0;
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(gotIdle);
  qo_utt_destroy(u);
  qo_destroy(ctx);
}

}  // namespace
