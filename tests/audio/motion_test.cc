// qo_motion: creation refusals, the log-mel frames against a double-precision DFT, streaming
// invariance, the eager step's undo, and the row mapping.
#include <cmath>
#include <complex>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio/audio_fixtures.h"
#include "audio/qo_motion_mel.h"
#include "qo/qo_motion.h"
#include "support/test_support.h"
#include "tools/devkit/demo_motion.h"

namespace qo::test {
namespace {

using ::testing::HasSubstr;

struct MotionDeleter {
  void operator()(qo_motion* m) const { qo_motion_destroy(m); }
};
using MotionPtr = std::unique_ptr<qo_motion, MotionDeleter>;

class MotionRig {
 public:
  explicit MotionRig(const devkit::DemoMotionOptions& o = {}) { devkit::writeDemoMotion(dir_.path(), o); }
  const std::string& dir() const { return dir_.path(); }
  std::string operator/(const std::string& rel) const { return dir_ / rel; }
  MotionPtr create(const char* ep = nullptr) const {
    MotionPtr m(qo_motion_create(dir().c_str(), 1, ep));
    EXPECT_NE(m, nullptr) << qo_motion_last_error();
    return m;
  }

 private:
  TempDir dir_;
};

struct Pulled {
  std::vector<int> rows;
  std::vector<float> xs, xd;
  std::vector<int> ready;  // frames pulled or ready after each push (when polled)
  int count() const { return int(rows.size()); }
};

// Pulls what is available, while fewer than `cap` frames have been pulled; returns pulled +
// available.
int pullAll(qo_motion* m, Pulled& p, int cap = INT32_MAX) {
  int rows[8];
  float xs[8 * 63], xd[8 * 63];
  int a = qo_motion_avail(m);
  for (; a > 0 && p.count() < cap; a = qo_motion_avail(m)) {
    const int want = std::min({a, 8, cap - p.count()});
    const int got = qo_motion_pull(m, rows, xs, xd, want);
    EXPECT_EQ(got, want) << "avail promised frames pull did not deliver";
    if (got < 1) break;
    p.rows.insert(p.rows.end(), rows, rows + got);
    p.xs.insert(p.xs.end(), xs, xs + got * 63);
    p.xd.insert(p.xd.end(), xd, xd + got * 63);
  }
  return p.count() + std::max(a, 0);
}

// Pushes `pushSize` samples at a time, polling after every `pollEvery` pushes (pulling at most
// `cap` frames while open); then finishes and pulls the rest.
Pulled stream(qo_motion* m, const std::vector<float>& audio, size_t pushSize, int pollEvery, int cap = INT32_MAX) {
  Pulled p;
  int pushes = 0;
  for (size_t at = 0; at < audio.size(); at += pushSize) {
    EXPECT_EQ(qo_motion_push(m, audio.data() + at, int(std::min(pushSize, audio.size() - at))), 1);
    p.ready.push_back(++pushes % pollEvery == 0 ? pullAll(m, p, cap) : p.count());
  }
  qo_motion_finish(m);
  pullAll(m, p);
  return p;
}

TEST(MotionCreate, RefusesBadMembersAndArguments) {
  const MotionRig rig;
  EXPECT_EQ(qo_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(qo_motion_last_error(), "qo_motion_create: NULL motion_dir");

  // One float short: path, count and expected count.
  {
    const MotionRig shortRig;
    const std::string path = shortRig / "ch_sc.bin";
    std::string bytes = readFile(path);
    bytes.resize(bytes.size() - 4);
    writeFile(path, bytes);
    EXPECT_EQ(qo_motion_create(shortRig.dir().c_str(), 1, nullptr), nullptr);
    EXPECT_EQ(std::string(qo_motion_last_error()), "qo_motion_create: " + path + ": 62 floats, expected 63");
  }
  {
    devkit::DemoMotionOptions o;
    o.nt = 6;
    o.nSrc = 7;
    const MotionRig mismatch(o);
    EXPECT_EQ(qo_motion_create(mismatch.dir().c_str(), 1, nullptr), nullptr);
    EXPECT_STREQ(qo_motion_last_error(), "qo_motion_create: qo_motion: n_src != nt unsupported");
  }
  EXPECT_EQ(qo_motion_create(rig.dir().c_str(), 1, "cuda"), nullptr);
  EXPECT_STREQ(qo_motion_last_error(), "qo_motion_create: qo_motion: unknown ep 'cuda'");
  {
    const MotionRig metaRig;
    writeFile(metaRig / "meta.json", "{\"nt\": 100, \"n_src\": 100, \"n_emo\": 3}");
    EXPECT_EQ(qo_motion_create(metaRig.dir().c_str(), 1, nullptr), nullptr);
    EXPECT_STREQ(qo_motion_last_error(), "qo_motion_create: meta.json: missing s_bridge");
    writeFile(metaRig / "meta.json", "{\"s_bridge\": 1, \"n_src\": 100, \"n_emo\": 3, \"nt\"}");
    EXPECT_EQ(qo_motion_create(metaRig.dir().c_str(), 1, nullptr), nullptr);
    EXPECT_STREQ(qo_motion_last_error(), "qo_motion_create: meta.json: bad nt");
  }

  MotionPtr m = rig.create();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(qo_motion_nt(m.get()), 100);
  EXPECT_EQ(qo_motion_nt(nullptr), 0);
  const std::vector<float> s(641, 0.1f);
  EXPECT_EQ(qo_motion_push(m.get(), s.data(), 0), 1);
  EXPECT_EQ(qo_motion_push(m.get(), s.data(), 641), 1);
  EXPECT_EQ(qo_motion_total(m.get()), -1);
  qo_motion_finish(m.get());
  EXPECT_EQ(qo_motion_total(m.get()), 2);
  EXPECT_EQ(qo_motion_push(m.get(), s.data(), 1), 0);
  EXPECT_STREQ(qo_motion_last_error(), "qo_motion_push: bad args / already finished");
  EXPECT_EQ(qo_motion_push(m.get(), nullptr, 1), 0);
  EXPECT_EQ(qo_motion_push(m.get(), s.data(), -1), 0);

  int rows[2];
  float xs[126], xd[126];
  EXPECT_EQ(qo_motion_pull(m.get(), nullptr, xs, xd, 2), 0);
  EXPECT_STREQ(qo_motion_last_error(), "qo_motion_pull: bad args");
  EXPECT_EQ(qo_motion_pull(m.get(), rows, xs, nullptr, 2), 0);
  EXPECT_EQ(qo_motion_pull(m.get(), rows, xs, xd, 0), 0);
  EXPECT_EQ(qo_motion_pull(nullptr, rows, xs, xd, 2), 0);
  EXPECT_EQ(qo_motion_avail(m.get()), 2);
  EXPECT_EQ(qo_motion_pull(m.get(), rows, xs, xd, 2), 2);
  EXPECT_STREQ(qo_motion_last_error(), "");  // pull clears the text on entry
  EXPECT_EQ(qo_motion_avail(m.get()), 0);
  EXPECT_LT(qo_motion_avail(nullptr), 0);
}

// Reference log-mel of one window in double precision: reflect padding, a direct DFT.
std::vector<double> referenceLogMel(const std::vector<float>& x, const std::vector<float>& win,
                                    const std::vector<float>& mel) {
  const int n = int(x.size()), pad = 256;
  std::vector<double> p(size_t(n + 2 * pad));
  for (int i = 0; i < n + 2 * pad; ++i) {
    int j = i - pad;
    if (j < 0) j = -j;
    if (j >= n) j = 2 * (n - 1) - j;
    p[size_t(i)] = x[size_t(j)];
  }
  std::vector<double> out(80 * 21);
  for (int f = 0; f < 21; ++f) {
    std::vector<double> mag(257);
    for (int k = 0; k < 257; ++k) {
      std::complex<double> acc = 0;
      for (int t = 0; t < 512; ++t)
        acc += p[size_t(320 * f + t)] * double(win[size_t(t)]) * std::polar(1.0, -2.0 * M_PI * k * t / 512.0);
      mag[size_t(k)] = std::abs(acc);
    }
    for (int m = 0; m < 80; ++m) {
      double s = 0;
      for (int k = 0; k < 257; ++k) s += double(mel[size_t(k) * 80 + m]) * mag[size_t(k)];
      out[size_t(m) * 21 + f] = std::log(s + 1e-8);
    }
  }
  return out;
}

TEST(MotionMel, MatchesADoublePrecisionDft) {
  const MotionRig rig;
  const std::vector<float> win = readFloats(rig / "hubert_stft_window.bin");
  const std::vector<float> mel = readFloats(rig / "hubert_stft_binmat.bin");
  audio::MotionMel frontend(win, mel);
  // Speech with a faint noise floor (every band holds energy), and a tone burst at the edges,
  // where the reflection matters.
  std::vector<float> x = concat({voiced(0.2, 170.0), noise(0.205, 0.01, 7u)});
  x.resize(audio::kMelWindowSamples);
  const std::vector<float> floorNoise = noise(0.405, 0.002, 9u);
  for (size_t i = 0; i < x.size(); ++i) x[i] += floorNoise[i] + (i < 300 ? 0.3f * float(std::sin(0.3 * i)) : 0.0f);
  std::vector<float> got(80 * 21);
  frontend.compute(x.data(), got.data());
  const std::vector<double> want = referenceLogMel(x, win, mel);
  double worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(double(got[i]) - want[i]));
  EXPECT_LE(worst, 1e-4);
}

// The same audio in different pushes and polls gives identical frames (eager off), and every
// frame is handed out exactly once, in the row order of the mapping.
TEST(MotionStream, FramesDoNotDependOnPushSizes) {
  const MotionRig rig;
  const std::vector<float> audio = concat({silence(0.5), speechLike(4.5, 3u)});  // 125 frames
  MotionPtr m = rig.create();
  ASSERT_NE(m, nullptr);
  const Pulled whole = stream(m.get(), audio, audio.size(), 1);
  ASSERT_EQ(whole.count(), 125);
  for (const auto& [push, poll] : std::vector<std::pair<size_t, int>>{{1, 331}, {333, 1}, {5120, 2}}) {
    qo_motion_reset(m.get(), 0, 1, 1);
    const Pulled p = stream(m.get(), audio, push, poll);
    EXPECT_EQ(p.rows, whole.rows) << push;
    EXPECT_EQ(p.xs, whole.xs) << push;
    EXPECT_EQ(p.xd, whole.xd) << push;
    // Without the eager step an open utterance serves only what a real chunk covers: frames
    // flow before the end once the audio passes the first chunk's 80 rows.
    EXPECT_GT(p.ready.back(), 0) << push;
    EXPECT_LE(p.ready.back(), 125 - 11) << push;
  }
}

// Frames from speculative rows are served early and never change; everything the eager step
// speculated is withdrawn, so the frames served after the end are those of the plain model.
TEST(MotionStream, EagerStepIsUndoneExactly) {
  const MotionRig rig;
  // Leading silence: the first frame (whose expression the lips are measured from) is the
  // same whether its window ran speculatively or not.
  const std::vector<float> audio = concat({silence(1.0), speechLike(5.0, 11u)});  // 150 frames
  MotionPtr m = rig.create();
  ASSERT_NE(m, nullptr);
  const Pulled plain = stream(m.get(), audio, 1600, 1);
  // Frames from 60 on are left unpulled while open, so they come from the rows the model holds at
  // the end; the eager step keeps speculating past the first real chunk (which blends into its
  // rows 70 .. 79 and feeds the generator its previous prediction).
  constexpr int kCap = 60;
  constexpr size_t kAt80 = 31;  // push after which the audio touches 80 frames
  for (int eager : {3, 24}) {
    qo_motion_reset(m.get(), 0, 1, 1);
    qo_motion_set_eager(m.get(), eager);
    const Pulled p = stream(m.get(), audio, 1600, 1, kCap);
    ASSERT_EQ(p.count(), 150) << eager;
    EXPECT_EQ(p.rows, plain.rows);
    EXPECT_GT(p.ready[kAt80], plain.ready[kAt80] + 40) << "the eager step served nothing early (eager " << eager << ")";
    // While open the eager step never serves past the audio: after push k, at most the frames
    // its samples touch.
    for (size_t k = 0; k < p.ready.size(); ++k) EXPECT_LE(p.ready[k], int((k + 1) * 1600 / 640 + 1)) << k;
    int differs = 0;
    for (int f = 0; f < 150; ++f) {
      const bool same = std::memcmp(&p.xd[size_t(f) * 63], &plain.xd[size_t(f) * 63], 63 * sizeof(float)) == 0;
      if (f >= kCap) {
        EXPECT_TRUE(same) << "frame " << f << " served after the end differs (eager " << eager << ")";
      }
      differs += !same;
    }
    EXPECT_GT(differs, 0) << "no frame came from speculative rows";
    qo_motion_set_eager(m.get(), 0);
  }
}

TEST(MotionStream, RowsFollowTheMappingAndLipsFollowTheEnergy) {
  devkit::DemoMotionOptions o;
  o.nt = 4;
  TempDir dir;
  std::vector<float> target(4 * 63);
  for (size_t i = 0; i < target.size(); ++i) target[i] = float(i) * 0.001f;
  writeFloats(dir / "xs_target.bin", target);
  devkit::writeDemoMotion(dir.path(), o);
  MotionPtr m(qo_motion_create(dir.path().c_str(), 1, ""));
  ASSERT_NE(m, nullptr) << qo_motion_last_error();
  const std::vector<float> audio = concat({silence(0.6), voiced(1.2, 150.0, 0.3, 1.2), silence(0.6)});  // 60 frames
  struct Case {
    int start, dir, loop;
    std::vector<int> first;
  };
  for (const Case& c : std::vector<Case>{{0, 1, 0, {0, 1, 2, 3, 2, 1, 0, 1}},
                                         {2, 1, 1, {2, 3, 0, 1, 2, 3, 0, 1}},
                                         {0, -1, 1, {0, 3, 2, 1, 0, 3, 2, 1}},
                                         {99, 1, 1, {3, 0, 1, 2, 3, 0, 1, 2}},
                                         {-5, -1, 0, {0, 1, 2, 3, 2, 1, 0, 1}}}) {
    qo_motion_reset(m.get(), c.start, c.dir, c.loop);
    const Pulled p = stream(m.get(), audio, 3200, 1);
    ASSERT_EQ(p.count(), 60);
    EXPECT_EQ(std::vector<int>(p.rows.begin(), p.rows.begin() + 8), c.first) << c.start << " " << c.dir;
    for (int f = 0; f < p.count(); ++f)
      ASSERT_EQ(0, std::memcmp(&p.xs[size_t(f) * 63], &target[size_t(p.rows[size_t(f)]) * 63], 63 * sizeof(float)));
    // Lip gap (bottom y - top y) relative to the target row: shut in the silences, open in the
    // voiced middle.
    auto gap = [&](int f) {
      const float* d = &p.xd[size_t(f) * 63];
      const float* t = &target[size_t(p.rows[size_t(f)]) * 63];
      return (d[20 * 3 + 1] - t[20 * 3 + 1]) - (d[19 * 3 + 1] - t[19 * 3 + 1]);
    };
    EXPECT_NEAR(gap(3), 0.0f, 0.02f);
    EXPECT_NEAR(gap(57), 0.0f, 0.02f);
    EXPECT_GT(gap(30), 0.1f);
  }
}

TEST(MotionDump, WritesTheFirstArrays) {
  const MotionRig rig;
  TempDir dump;
  ScopedEnv env("QO_MOTION_DUMP", dump.path().c_str());
  MotionPtr m = rig.create();
  ASSERT_NE(m, nullptr);
  const std::vector<float> audio = speechLike(1.0, 5u);
  stream(m.get(), audio, audio.size(), 1);
  const std::vector<std::pair<const char*, size_t>> want = {
      {"mel0.bin", 80 * 21},      {"feat0.bin", 20 * 1024},  {"cond.bin", 5 * 1103}, {"lmdm0_kp.bin", 265},
      {"lmdm0_aud.bin", 80 * 1103}, {"lmdm0_pred.bin", 80 * 265}, {"res_post.bin", 265}, {"xs.bin", 63},
      {"xd.bin", 63},             {"final.bin", 63}};
  for (const auto& [name, n] : want) EXPECT_EQ(readFloats(dump / name).size(), n) << name;
  // The first conditioning row is the mean of student frames 6 and 7, after de-normalisation.
  const std::vector<float> feat = readFloats(dump / "feat0.bin"), cond = readFloats(dump / "cond.bin");
  ASSERT_EQ(feat.size(), 20u * 1024);
  for (int j : {0, 1, 500, 1023}) EXPECT_FLOAT_EQ(cond[size_t(j)], (feat[6 * 1024 + size_t(j)] + feat[7 * 1024 + size_t(j)]) * 0.5f);
  // The source motion row the generator got is the character's description, remapped.
  const std::vector<float> ch = readFloats(rig / "ch_xs_info.bin"), kp = readFloats(dump / "lmdm0_kp.bin");
  EXPECT_FLOAT_EQ(kp[0], ch[258] - 1.0f);
  EXPECT_EQ(std::vector<float>(kp.begin() + 67, kp.begin() + 133), std::vector<float>(ch.begin() + 262, ch.end()));
  EXPECT_EQ(std::vector<float>(kp.begin() + 202, kp.end()), std::vector<float>(ch.begin(), ch.begin() + 63));
}

}  // namespace
}  // namespace qo::test
