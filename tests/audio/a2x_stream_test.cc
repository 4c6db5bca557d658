// Streaming conversion on the demo models: readiness cadence, push-size invariance, totals, row
// mapping, reset, positions past the table, silence priming, de-normalisation, and the demo
// mouth following the voice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "tools/devkit/demo_face.h"

namespace qo::audio {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using test::AudioRig;
using test::Frames;

devkit::DemoAudioOptions legacyOnly() {
  devkit::DemoAudioOptions o;
  o.shortWindow = false;
  return o;
}

int framesOf(int64_t samples) { return int((samples + 639) / 640); }
int blockFrames(int64_t samples) { return 8 * (framesOf(samples) / 8); }

void expectSameFrames(const Frames& a, const Frames& b, const char* what) {
  ASSERT_EQ(a.count(), b.count()) << what;
  EXPECT_EQ(a.rows, b.rows) << what;
  for (size_t i = 0; i < a.kp.size(); ++i) ASSERT_EQ(a.kp[i], b.kp[i]) << what << ": frame " << i / 63 << " value " << i % 63;
  for (size_t i = 0; i < a.wn.size(); ++i) ASSERT_EQ(a.wn[i], b.wn[i]) << what << ": wn of frame " << i;
}

TEST(a2xReadiness, SevenFramesOfAudioMakeNothingAndTheEighthABlock) {
  test::ScopedEnv right("QO_A2X_W2V_RIGHT", "0");
  devkit::DemoAudioOptions o = legacyOnly();
  o.window = 0;  // no look-ahead: a block is computable as soon as its audio is complete
  AudioRig rig(o);
  auto a = rig.create();
  const std::vector<float> audio = test::speechLike(1.0, 1);
  a->push(audio.data(), 4480);  // 7 frames
  EXPECT_EQ(a->avail(), 0);
  EXPECT_EQ(test::computedAfterPolling(*a), 0);
  a->push(audio.data() + 4480, 1);  // touches frame 8: U = 8
  EXPECT_EQ(a->avail(), 8);
  EXPECT_EQ(test::computedAfterPolling(*a), 8);
  a->push(audio.data() + 4481, 5119);  // 9600 samples, 15 frames: still one block
  EXPECT_EQ(test::computedAfterPolling(*a), 8);
  a->push(audio.data() + 9600, 1);
  EXPECT_EQ(test::computedAfterPolling(*a), 16);
}

TEST(a2xReadiness, BlocksAppearOnceTheAudioPassesTheLookAhead) {
  AudioRig rig;  // short window: the frontend needs 12 + 8 frames past a frame, the encoder 2
  auto a = rig.create();
  ASSERT_TRUE(a->shortWindow());
  ASSERT_EQ(a->right(), 20);
  const std::vector<float> audio = test::speechLike(3.0, 2);
  std::vector<int64_t> grewAt;
  int last = 0;
  for (size_t n = 1; n <= audio.size(); ++n) {
    a->push(&audio[n - 1], 1);
    const int got = test::computedAfterPolling(*a);
    ASSERT_EQ(got, std::max(0, blockFrames(int64_t(n)) - 20)) << n << " samples";
    if (got != last) grewAt.push_back(int64_t(n));
    last = got;
  }
  ASSERT_FALSE(grewAt.empty());
  EXPECT_EQ(grewAt.front(), 23 * 640 + 1);  // U reaches 24 > 20
  for (int64_t n : grewAt) EXPECT_EQ((n + 639) % 5120, 0) << n;  // only when a block completes
}

TEST(a2xReadiness, EncoderLookAheadWaitsForFinalFeatureRows) {
  // The encoder reads 3 x 8 = 24 rows past a frame, more than the frontend's own margin: frames
  // are computed only when those rows are final (the trunk finishes block b once the audio holds
  // b + 8 + 12 frames).
  devkit::DemoAudioOptions o;
  o.window = 3;
  o.layers = 8;
  AudioRig rig(o);
  auto a = rig.create();
  ASSERT_EQ(a->aheadTotal(), 24);
  const std::vector<float> audio = test::speechLike(4.0, 3);
  for (size_t n = 640; n <= audio.size(); n += 640) {
    a->push(&audio[n - 640], 640);
    const int u = blockFrames(int64_t(n));
    const int finalRows = u >= 20 ? 8 * ((u - 12) / 8) : 0;
    ASSERT_EQ(test::computedAfterPolling(*a), std::max(0, std::min(u - 24, finalRows - 24))) << n;
    if (a->decoded() > 0) {
      ASSERT_GE(a->featuresDone(), a->decoded() + 24);
    }
  }
  // Legacy: rows are final up to U - 12, so frames wait two more rows than the readiness limit.
  devkit::DemoAudioOptions l = legacyOnly();
  AudioRig legacy(l);
  auto b = legacy.create();
  ASSERT_EQ(b->right(), 12);
  b->push(audio.data(), 64000);  // 100 frames: U = 96
  EXPECT_EQ(test::computedAfterPolling(*b), 96 - 12 - 2);
}

TEST(a2xStream, TotalAfterFinish) {
  AudioRig rig;
  auto a = rig.create();
  const std::vector<float> audio = test::speechLike(0.1, 4);
  a->push(audio.data(), 641);
  EXPECT_EQ(a->total(), -1);
  EXPECT_EQ(a->avail(), 0);
  a->finish();
  EXPECT_EQ(a->total(), 2);
  Frames f;
  test::drain(*a, f, 8);
  EXPECT_EQ(f.count(), 2);
  int rows[4];
  float base[4 * 63], kp[4 * 63];
  EXPECT_EQ(a->pull(rows, base, kp, nullptr, 4), 0);
  // Pushing after finish counts towards the total.
  a->push(audio.data(), 640);
  EXPECT_EQ(a->total(), 3);
  EXPECT_EQ(a->pull(rows, base, kp, nullptr, 4), 1);
}

TEST(a2xStream, PushSizeAndPollingDoNotChangeShortWindowFrames) {
  for (int window : {1, 3}) {
    devkit::DemoAudioOptions o;
    o.window = window;
    o.layers = window == 1 ? 2 : 8;  // look-ahead 2, and 24 (past the frontend's margin)
    AudioRig rig(o);
    const std::vector<float> audio = test::speechLike(6.0, 7);
    auto ref = rig.create();
    const Frames whole = test::streamAll(*ref, audio, 64000, 1);
    ASSERT_EQ(whole.count(), 150);

    auto a = rig.create();
    expectSameFrames(whole, test::streamAll(*a, audio, 1, 1), "1 sample, polled each time");
    a->reset(0, 1, 1);
    expectSameFrames(whole, test::streamAll(*a, audio, 1, 997, 3), "1 sample, polled rarely");
    a->reset(0, 1, 1);
    expectSameFrames(whole, test::streamAll(*a, audio, 4999, 1, 1), "odd pushes");

    // Random pushes with pull alone (it computes when it has nothing left).
    a->reset(0, 1, 1);
    Frames pulled;
    uint32_t x = 12345;
    int rows[16];
    float base[16 * 63], kp[16 * 63], wn[16];
    for (size_t at = 0; at < audio.size();) {
      x = x * 1664525u + 1013904223u;
      const size_t n = std::min(audio.size() - at, size_t(1 + (x >> 8) % 7000));
      a->push(audio.data() + at, int(n));
      at += n;
      for (int got; (got = a->pull(rows, base, kp, wn, 1 + int(x >> 28))) > 0;) pulled.append(rows, base, kp, wn, got);
    }
    a->finish();
    for (int got; (got = a->pull(rows, base, kp, wn, 16)) > 0;) pulled.append(rows, base, kp, wn, got);
    expectSameFrames(whole, pulled, "random pushes, pull only");
  }
}

TEST(a2xStream, LegacyFramesDependOnHowMuchAudioTheirWindowSaw) {
  AudioRig rig(legacyOnly());
  const std::vector<float> audio = test::speechLike(6.0, 8);
  auto a = rig.create();
  auto b = rig.create();
  const Frames once = test::streamAll(*a, audio, int(audio.size()), 1);
  const Frames trickle = test::streamAll(*b, audio, 640, 1);
  ASSERT_EQ(once.count(), trickle.count());
  EXPECT_NE(once.kp, trickle.kp);  // the first window ran over less audio while it trickled in
}

void writeDistinctTarget(const std::string& dir, int nt) {
  std::vector<float> t;
  for (int r = 0; r < nt; ++r) {
    const std::array<float, 63> kp = devkit::faceKeypoints(0.0f);
    for (int j = 0; j < 63; ++j) t.push_back(kp[size_t(j)] + 0.01f * float(r));
  }
  test::writeFloats(dir + "/xs_target.bin", t);
}

std::vector<int> rowsOf(A2x& a, const std::vector<float>& audio) {
  return test::streamAll(a, audio, int(audio.size()), 1).rows;
}

TEST(a2xRows, LoopBounceAndDirection) {
  AudioRig rig;
  writeDistinctTarget(rig.dir(), 4);
  auto a = rig.create();
  ASSERT_EQ(a->nt(), 4);
  const std::vector<float> audio = test::speechLike(0.4, 9);  // 10 frames
  a->reset(0, 1, 0);
  EXPECT_EQ(rowsOf(*a, audio), (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1, 2, 3}));
  a->reset(0, 1, 1);
  EXPECT_EQ(rowsOf(*a, audio), (std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1}));
  a->reset(0, -1, 1);
  EXPECT_EQ(rowsOf(*a, audio), (std::vector<int>{0, 3, 2, 1, 0, 3, 2, 1, 0, 3}));
  a->reset(2, 7, 1);  // any positive direction is forward
  EXPECT_EQ(rowsOf(*a, audio), (std::vector<int>{2, 3, 0, 1, 2, 3, 0, 1, 2, 3}));

  // base is the target row; kp - base is the frame's delta, whatever the row.
  a->reset(0, 1, 1);
  const Frames fwd = test::streamAll(*a, audio, int(audio.size()), 1);
  a->reset(1, -1, 0);
  const Frames back = test::streamAll(*a, audio, int(audio.size()), 1);
  const std::vector<float> target = test::readFloats(rig.dir() + "/xs_target.bin");
  for (int i = 0; i < fwd.count(); ++i)
    for (int j = 0; j < 63; ++j) {
      ASSERT_EQ(fwd.base[size_t(i) * 63 + j], target[size_t(fwd.rows[size_t(i)]) * 63 + j]);
      ASSERT_EQ(back.base[size_t(i) * 63 + j], target[size_t(back.rows[size_t(i)]) * 63 + j]);
      const float dFwd = fwd.kp[size_t(i) * 63 + j] - fwd.base[size_t(i) * 63 + j];
      const float dBack = back.kp[size_t(i) * 63 + j] - back.base[size_t(i) * 63 + j];
      ASSERT_NEAR(dFwd, dBack, 1e-6f);
    }
}

TEST(a2xRows, ResetWithMinusOneContinuesWhereTheUtteranceStopped) {
  AudioRig rig;
  writeDistinctTarget(rig.dir(), 4);
  auto a = rig.create();
  a->reset(0, 1, 0);
  const std::vector<float> audio = test::speechLike(0.4, 10);
  a->push(audio.data(), int(audio.size()));
  a->finish();
  int rows[5];
  float base[5 * 63], kp[5 * 63];
  ASSERT_EQ(a->pull(rows, base, kp, nullptr, 5), 5);  // rows 0 1 2 3 2; frame 5 would take row 1
  a->reset(-1, 1, 0);
  EXPECT_EQ(rowsOf(*a, audio), (std::vector<int>{1, 2, 3, 2, 1, 0, 1, 2, 3, 2}));
  // After a whole utterance of 10 frames from row 1 forward, bouncing: frame 10 takes row 1.
  a->reset(-1, -1, 1);
  EXPECT_EQ(rowsOf(*a, audio).front(), 1);
}

TEST(a2xStream, ResetStartsAFreshUtterance) {
  AudioRig rig;
  auto a = rig.create();
  const std::vector<float> first = test::speechLike(2.0, 13), second = test::speechLike(2.0, 14);
  const Frames one = test::streamAll(*a, first, 3000, 1);
  a->reset(0, 1, 1);
  const Frames two = test::streamAll(*a, second, 3000, 1);
  auto fresh = rig.create();
  expectSameFrames(two, test::streamAll(*fresh, second, 3000, 1), "after reset vs a new instance");
  EXPECT_NE(one.kp, two.kp);
}

TEST(a2xStream, BatchEqualsStreamingOverTheWholeAudioWithTheLegacyFrontend) {
  AudioRig rig(legacyOnly());
  auto a = rig.create();
  const std::vector<float> audio = test::speechLike(10.0, 15);  // 250 frames: three windows
  // Finished before the first poll, so no window runs over partial audio.
  a->push(audio.data(), int(audio.size()));
  a->finish();
  Frames streamed;
  test::drain(*a, streamed, 64);
  ASSERT_EQ(streamed.count(), 250);
  std::vector<float> out(250 * 63), wn(250);
  ASSERT_EQ(a->deltas(audio.data(), int(audio.size()), out.data(), wn.data(), 250), 250);
  for (int i = 0; i < 250; ++i) {
    for (int j = 0; j < 63; ++j)
      ASSERT_EQ(streamed.kp[size_t(i) * 63 + j], streamed.base[size_t(i) * 63 + j] + out[size_t(i) * 63 + j]) << i;
    ASSERT_EQ(streamed.wn[size_t(i)], wn[size_t(i)]) << i;
  }
}

TEST(a2xStream, PositionsPastTheTableCycleThroughItsSecondHalf) {
  devkit::DemoAudioOptions o = legacyOnly();
  o.npos = 40;
  AudioRig rig(o);
  const std::vector<float> audio = test::speechLike(4.0, 16);  // 100 frames
  // The same table written out to 100 rows: rows 40.. repeat rows 20..39.
  AudioRig unrolled(o);
  const std::vector<float> pos = test::readFloats(rig.dir() + "/a2x_pos.f32");
  const int h = o.h;
  std::vector<float> longPos;
  for (int i = 0; i < 100; ++i) {
    const int r = i < 40 ? i : 20 + (i - 40) % 20;
    longPos.insert(longPos.end(), pos.begin() + r * h, pos.begin() + (r + 1) * h);
  }
  test::writeFloats(unrolled.dir() + "/a2x_pos.f32", longPos);

  auto a = rig.create();
  auto b = unrolled.create();
  std::vector<float> da(100 * 63), db(100 * 63);
  ASSERT_EQ(a->deltas(audio.data(), int(audio.size()), da.data(), nullptr, 100), 100);
  ASSERT_EQ(b->deltas(audio.data(), int(audio.size()), db.data(), nullptr, 100), 100);
  EXPECT_EQ(da, db);

  // Streaming with the 100-row table never reaches its end and agrees with the batch; with the
  // 40-row table the chunk reaching row 40 is cut there, so frames whose look-ahead (2) would
  // cross it differ from frame 38 on.
  auto finishedStream = [&](A2x& m) {
    m.push(audio.data(), int(audio.size()));
    m.finish();
    Frames f;
    test::drain(m, f, 64);
    return f;
  };
  const Frames longStream = finishedStream(*b);
  const Frames cut = finishedStream(*a);
  ASSERT_EQ(cut.count(), 100);
  int firstDiff = -1;
  for (int i = 0; i < 100 && firstDiff < 0; ++i)
    for (int j = 0; j < 63; ++j) {
      if (cut.kp[size_t(i) * 63 + j] != longStream.kp[size_t(i) * 63 + j]) {
        firstDiff = i;
        break;
      }
    }
  EXPECT_EQ(firstDiff, 40 - 2);
  for (int i = 0; i < 100; ++i)
    for (int j = 0; j < 63; ++j)
      ASSERT_EQ(longStream.kp[size_t(i) * 63 + j], longStream.base[size_t(i) * 63 + j] + db[size_t(i) * 63 + j]);
}

TEST(a2xStream, SilencePrimingStartsTheMouthClosed) {
  devkit::DemoAudioOptions o;
  o.silencePrime = 20;
  AudioRig rig(o);
  testing::internal::CaptureStderr();
  auto primed = rig.create();
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("[qo_a2x] silence-primed AR state cached (20 frames)\n"));
  std::unique_ptr<A2x> plain;
  {
    test::ScopedEnv off("QO_A2X_SILENCE_PRIME", "0");  // the variable wins over the meta
    testing::internal::CaptureStderr();
    plain = rig.create();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), Not(HasSubstr("silence-primed")));
  }
  {
    test::ScopedEnv five("QO_A2X_SILENCE_PRIME", "5");
    testing::internal::CaptureStderr();
    rig.create();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("cached (5 frames)"));
  }
  const std::vector<float> audio = test::concat({test::silence(2.0), test::voiced(1.0, 140)});
  const Frames p = test::streamAll(*primed, audio, 6400, 1);
  const Frames z = test::streamAll(*plain, audio, 6400, 1);
  ASSERT_EQ(p.count(), z.count());
  EXPECT_NE(p.kp[20 * 3 + 1], z.kp[20 * 3 + 1]);
  EXPECT_LT(p.gap(0), z.gap(0) - 0.01f);  // the zero state is half open, silence closed
  // The difference fades as the silence goes on.
  EXPECT_LT(std::fabs(p.gap(40) - z.gap(40)), 1e-4f);
  // Batch conversion starts from the primed state too.
  std::vector<float> dp(75 * 63), dz(75 * 63);
  primed->deltas(audio.data(), int(audio.size()), dp.data(), nullptr, 75);
  plain->deltas(audio.data(), int(audio.size()), dz.data(), nullptr, 75);
  EXPECT_LT(dp[20 * 3 + 1] - dp[19 * 3 + 1], dz[20 * 3 + 1] - dz[19 * 3 + 1]);
}

TEST(a2xStream, DeltasAreMeanPlusOutputTimesDeviation) {
  AudioRig rig;
  const std::vector<float> audio = test::speechLike(2.0, 17);
  // Zero deviations: every delta is exactly the mean.
  std::vector<float> norm(126, 0.0f);
  for (int j = 0; j < 63; ++j) norm[size_t(j)] = 0.001f * float(j + 1);
  test::writeFloats(rig.dir() + "/a2x_norm.f32", norm);
  auto a = rig.create();
  const Frames f = test::streamAll(*a, audio, 8000, 1);
  ASSERT_EQ(f.count(), 50);
  for (int i = 0; i < f.count(); ++i)
    for (int j = 0; j < 63; ++j) ASSERT_EQ(f.kp[size_t(i) * 63 + j], f.base[size_t(i) * 63 + j] + norm[size_t(j)]);
  std::vector<float> out(50 * 63);
  ASSERT_EQ(a->deltas(audio.data(), int(audio.size()), out.data(), nullptr, 50), 50);
  for (int i = 0; i < 50; ++i)
    for (int j = 0; j < 63; ++j) ASSERT_EQ(out[size_t(i) * 63 + j], norm[size_t(j)]);

  // Doubled deviations (zero means) double every delta exactly; extra floats are ignored.
  devkit::writeDemoNorm(rig.dir() + "/a2x_norm.f32");
  std::vector<float> demo = test::readFloats(rig.dir() + "/a2x_norm.f32");
  auto one = rig.create();
  std::vector<float> twice = demo;
  for (int j = 63; j < 126; ++j) twice[size_t(j)] *= 2;
  twice.push_back(123.0f);
  test::writeFloats(rig.dir() + "/a2x_norm.f32", twice);
  auto two = rig.create();
  std::vector<float> d1(50 * 63), d2(50 * 63);
  one->deltas(audio.data(), int(audio.size()), d1.data(), nullptr, 50);
  two->deltas(audio.data(), int(audio.size()), d2.data(), nullptr, 50);
  for (size_t k = 0; k < d1.size(); ++k) ASSERT_EQ(d2[k], 2 * d1[k]) << k;
}

TEST(a2xStream, TheDemoMouthOpensOnVoiceAndClosesInSilenceAndNoise) {
  AudioRig rig;
  auto a = rig.create();
  // 1 s silence, 1.5 s voiced, 1 s silence, 1 s white noise, 1 s silence, 1 s voiced, 0.5 s silence.
  const std::vector<float> audio =
      test::concat({test::silence(1.0), test::voiced(1.5, 130, 0.3, 0.3), test::silence(1.0), test::noise(1.0, 0.2, 5),
                    test::silence(1.0), test::voiced(1.0, 210, 0.3, 0.25), test::silence(0.5)});
  const Frames f = test::streamAll(*a, audio, 5120, 1);
  ASSERT_EQ(f.count(), 175);
  auto meanGap = [&](int from, int to) {
    double s = 0;
    for (int i = from; i < to; ++i) s += f.gap(i);
    return s / (to - from);
  };
  const double closed = 2 * 0.01;  // faceKeypoints(0): lips 0.01 from the mouth line
  const double voice1 = meanGap(28, 60), voice2 = meanGap(140, 160);
  const double quiet = meanGap(70, 85), hiss = meanGap(90, 110), start = meanGap(5, 20);
  EXPECT_GT(voice1, closed + 0.1);
  EXPECT_GT(voice2, closed + 0.1);
  EXPECT_LT(quiet, closed + 0.04);
  EXPECT_LT(hiss, closed + 0.06);
  EXPECT_LT(start, closed + 0.04);
  // Only the lips move: the contour, eyes and nose keep the target's values.
  for (int i = 0; i < f.count(); ++i)
    for (int j = 0; j < 17 * 3; ++j) ASSERT_NEAR(f.kp[size_t(i) * 63 + j], f.base[size_t(i) * 63 + j], 1e-6f);
}

}  // namespace
}  // namespace qo::audio
