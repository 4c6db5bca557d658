// The teeth borrow on a running utterance instance, with the synchronous paste and the pipelined
// tessera stage: delivered frames equal the batch runner's on the same crops, interrupts drop the
// held frame, a failing borrow keeps frames flowing, and re-attaching during speech is safe.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capi/qo_ctx.h"
#include "pipeline/qo_utt_impl.h"
#include "qo/qo_bundle.h"
#include "qo/qo_tessera.h"
#include "qo/qo_utt.h"
#include "support/test_support.h"
#include "tessera/qo_tessera_stream.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_bundle.h"

namespace {

using ::testing::HasSubstr;

constexpr int kNT = 6;
// Small crops leave the demo's corpus geometries within a pixel of each other (ambiguous).
constexpr int kCrop = 128;

std::vector<int16_t> speech(double seconds) {
  const size_t n = size_t(seconds * 16000);
  std::vector<int16_t> pcm(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i) / 16000, env = 0.5 + 0.5 * std::sin(2 * M_PI * 4 * t);
    double v = 0;
    for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * 150 * k * t) / k;
    pcm[i] = int16_t(std::lround(6000 * env * v));
  }
  return pcm;
}

struct Pulled {
  qo_utt_frame_info info;
  std::vector<uint8_t> rgb;
};

struct Input {  // a crop as it entered the borrow
  std::vector<float> crop;
  std::array<float, 63> kp;
  int kind, driverIdx, seq;
};

struct MembersCloser {
  void operator()(qo_tessera_members* m) const { qo_tessera_members_close(m); }
};

class UttBorrow : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    bundle_ = new qo::test::TempDir;
    qo::devkit::DemoOptions o = qo::devkit::DemoOptions::tiny();
    o.nt = kNT;
    o.crop = kCrop;
    o.width = 192;
    o.height = 160;
    o.tessera = true;
    o.motion = false;
    qo::devkit::writeDemoBundle(bundle_->path(), o);
    ::setenv("W2V_ONNX", qo::devkit::demoFrontendPath(bundle_->path()).c_str(), 1);
    char err[512] = "";
    members_ = qo_tessera_members_open(bundle_->path().c_str(), err, sizeof err);
    ASSERT_NE(members_, nullptr) << err;
    const int n = qo_tessera_members_n_donors(members_);
    const std::string track = qo::test::readFile(qo_tessera_members_bank_track_path(members_));
    std::vector<int32_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    const std::vector<uint8_t> inTrack = qo::tessera::decodeBankTrack(
        reinterpret_cast<const uint8_t*>(track.data()), track.size(), n, qo_tessera_members_band_w(members_),
        qo_tessera_members_band_h(members_), order, qo_tessera_members_bank_pix_fmt(members_));
    bands_ = new std::vector<uint8_t>(qo_tessera_members_band_bytes(members_));
    ASSERT_EQ(qo_tessera_members_reorder(members_, inTrack.data(), bands_->data(), err, sizeof err), 0) << err;
  }
  static void TearDownTestSuite() {
    qo_tessera_members_close(members_);
    delete bands_;
    delete bundle_;
  }
  static qo::test::TempDir* bundle_;
  static qo_tessera_members* members_;
  static std::vector<uint8_t>* bands_;

  qo::test::ScopedEnv pipe{"QO_UTT_PIPELINE_PASTE", GetParam()};
  qo::test::ScopedEnv noHybrid{"QO_UTT_HYBRID", nullptr};
  qo::test::ScopedEnv noSteady{"QO_STEADY_MODEL", nullptr};
  qo_ctx* ctx = nullptr;
  qo_utt* u = nullptr;
  size_t bytes = 0;
  std::mutex inputsMu;
  std::vector<Input> inputs;

  void SetUp() override {
    testing::internal::CaptureStderr();
    ctx = qo_create(bundle_->path().c_str(), "b1", 1, nullptr);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(ctx, nullptr) << qo_last_error();
    bytes = size_t(qo_width(ctx)) * qo_height(ctx) * 3;
    qo_utt_opts o;
    std::memset(&o, 0, sizeof o);
    o.motion_dir = bundle_->path().c_str();
    o.silence_s = -1;  // utterances end when the test says so
    u = qo_utt_create(ctx, &o);
    ASSERT_NE(u, nullptr) << qo_utt_last_error();
    u->impl.borrowInputTap = [this](const qo::utt::PasteJob& j) {
      std::lock_guard<std::mutex> lock(inputsMu);
      inputs.push_back({j.crop, j.kp, j.kind, j.driverIdx, j.seq});
    };
    for (int i = 0; i < 3000 && qo_utt_ready(u) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(qo_utt_ready(u), 1) << qo_utt_last_error();
  }
  void TearDown() override {
    qo_utt_destroy(u);
    qo_destroy(ctx);
  }

  int attach(std::string* error = nullptr, const int32_t* stamp = nullptr, const double* canon = nullptr,
             int donors = 0) {
    char err[512] = "";
    testing::internal::CaptureStderr();
    const int rc = qo_utt_tessera_attach(
        u, bands_->data(), donors ? donors : qo_tessera_members_n_donors(members_), qo_tessera_members_cent(members_),
        canon ? canon : qo_tessera_members_c_canon(members_), qo_tessera_members_aperture(members_),
        stamp ? stamp : qo_tessera_members_stamp(members_), qo_tessera_members_head_pt(members_),
        int(qo_tessera_members_head_pt_len(members_)), qo_tessera_members_head_json(members_),
        qo_tessera_members_manifest_json(members_), err, sizeof err);
    testing::internal::GetCapturedStderr();
    if (error) *error = err;
    return rc;
  }
  void push(const std::vector<int16_t>& pcm) {
    for (size_t at = 0; at < pcm.size(); at += 3200)
      ASSERT_EQ(qo_utt_push_audio(u, pcm.data() + at, int(std::min<size_t>(3200, pcm.size() - at))), 1);
  }
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
  static int count(const std::vector<Pulled>& f, int kind) {
    int n = 0;
    for (const Pulled& p : f) n += p.info.kind == kind;
    return n;
  }
  static bool backToIdle(const std::vector<Pulled>& g) {
    return count(g, 2) > 0 && g.back().info.kind == 0;
  }
  struct Stats {
    int state;
    int64_t written, skipped;
    std::string reason;
  };
  Stats stats() {
    Stats s;
    char reason[256];
    s.state = qo_utt_tessera_stats(u, &s.written, &s.skipped, reason, sizeof reason);
    s.reason = reason;
    return s;
  }
};
qo::test::TempDir* UttBorrow::bundle_ = nullptr;
qo_tessera_members* UttBorrow::members_ = nullptr;
std::vector<uint8_t>* UttBorrow::bands_ = nullptr;

TEST_P(UttBorrow, AttachRefusalsAndReports) {
  Stats s = stats();
  EXPECT_EQ(s.state, 0);
  EXPECT_EQ(s.written, 0);
  EXPECT_EQ(s.skipped, 0);
  EXPECT_EQ(s.reason, "");
  char geo[8] = "x";
  EXPECT_EQ(qo_utt_tessera_geometry(u, geo, sizeof geo), 0);
  EXPECT_STREQ(geo, "");
  double mean = -5;
  EXPECT_EQ(qo_utt_tessera_synth_w(u, &mean, nullptr, nullptr), 0);

  char err[256];
  EXPECT_NE(qo_utt_tessera_attach(nullptr, nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                  nullptr, err, sizeof err),
            0);
  EXPECT_STREQ(err, "qo_utt_tessera_attach: null session");
  EXPECT_NE(qo_utt_tessera_attach(u, nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  err, sizeof err),
            0);
  EXPECT_THAT(err, HasSubstr("a required member is null"));
  std::string e;
  EXPECT_NE(attach(&e, nullptr, nullptr, -3), 0);
  EXPECT_EQ(e, "qo_utt_tessera_attach: n_donors <= 0");
  EXPECT_NE(attach(&e, nullptr, nullptr, 1025), 0);
  EXPECT_THAT(e, HasSubstr("n_donors=1025 is over the cap of 1024"));
  // A coherent stamp whose band bytes would wrap a 64-bit count: refused before a byte is read.
  const int32_t big = INT32_MAX - 2;
  const int32_t huge[12] = {big, big, 0, 0, big, big, 1, 0, big, 0, big, 1};
  EXPECT_NE(attach(&e, huge, nullptr, 1024), 0);
  EXPECT_THAT(e, HasSubstr("overflow a 64-bit byte count"));
  int32_t stamp[12];
  std::memcpy(stamp, qo_tessera_members_stamp(members_), sizeof stamp);
  stamp[1] = kCrop + 16;
  EXPECT_NE(attach(&e, stamp), 0);
  EXPECT_THAT(e, HasSubstr("qo_utt_tessera_attach: bank canvas 128x144 != this bundle's render crop 128"));
  EXPECT_EQ(stats().state, 0);  // refusals leave no borrow behind

  ASSERT_EQ(attach(&e), 0) << e;
  EXPECT_EQ(stats().state, 1);
  EXPECT_EQ(qo_utt_tessera_geometry(u, geo, sizeof geo), 1);
  EXPECT_STREQ(geo, "v1");
  EXPECT_EQ(qo_utt_tessera_geometry(u, geo, 0), 0);
}

// Every delivered speech and ramp frame is what the batch runner's window on that frame's crop,
// written back and pasted, gives.
TEST_P(UttBorrow, DeliveredFramesMatchTheBatchRunner) {
  std::string e;
  ASSERT_EQ(attach(&e), 0) << e;
  pullUntil([](const auto& g) { return g.size() >= 2; });
  push(speech(0.8));
  qo_utt_end_utterance(u);
  std::vector<Pulled> f = pullUntil(backToIdle);
  ASSERT_TRUE(backToIdle(f));
  const Stats s = stats();
  EXPECT_EQ(s.state, 1) << s.reason;
  int64_t synthFrames = 0;
  EXPECT_EQ(qo_utt_tessera_synth_w(u, nullptr, nullptr, &synthFrames), 1);
  qo_utt_destroy(u);
  u = nullptr;

  std::vector<const Pulled*> borrowed;
  for (const Pulled& p : f)
    if (p.info.kind != 0) borrowed.push_back(&p);
  ASSERT_EQ(borrowed.size(), inputs.size());
  ASSERT_GE(inputs.size(), size_t(20 + 6));
  EXPECT_EQ(s.written, int64_t(inputs.size()));
  EXPECT_EQ(s.skipped, 0);
  EXPECT_EQ(synthFrames, int64_t(inputs.size()));

  // The batch runner over the same crops, with masks and shifts derived independently.
  using namespace qo::tessera;
  const int N = kCrop, frames = int(inputs.size());
  const size_t canvas = size_t(N) * N;
  const std::string targetBytes = qo::test::readFile(qo::resolveMember(bundle_->path(), "xs_target.bin"));
  const double* canon = qo_tessera_members_c_canon(members_);
  const UnifiedPi pi = UnifiedPi::corpusFromManifestJson(qo_tessera_members_manifest_json(members_), N,
                                                         reinterpret_cast<const float*>(targetBytes.data()), kNT,
                                                         canon, nullptr);
  LipContour contour = LipContour::fromTemplateJson(qo_tessera_members_lip_template_json(members_), N);
  std::vector<uint8_t> rgb(frames * canvas * 3), masks(frames * canvas);
  std::vector<int32_t> shifts(2 * frames);
  for (int k = 0; k < frames; ++k) {
    for (size_t p = 0; p < canvas; ++p)
      for (int c = 0; c < 3; ++c) rgb[(k * canvas + p) * 3 + c] = StreamBorrow::quantise(inputs[k].crop[c * canvas + p]);
    int32_t ry = 0, rx = 0;
    const bool ok = contour.deliveredU8AndShift(inputs[k].kp.data(), pi, canon, &masks[k * canvas], &ry, &rx);
    shifts[2 * k] = ok ? ry : -10000;
    shifts[2 * k + 1] = ok ? rx : 0;
  }
  const GeometryStamp st = GeometryStamp::fromValues([] {
    std::array<int32_t, 12> v;
    std::copy_n(qo_tessera_members_stamp(members_), 12, v.begin());
    return v;
  }());
  const size_t window = size_t(st.window_w) * st.window_h * 3;
  std::vector<uint8_t> windows(frames * window);
  std::vector<uint32_t> flags(frames);
  char err[256] = "";
  ASSERT_EQ(0, qo_tessera_run_shift(bands_->data(), qo_tessera_members_n_donors(members_),
                                    qo_tessera_members_cent(members_), canon, qo_tessera_members_aperture(members_),
                                    qo_tessera_members_stamp(members_), qo_tessera_members_head_pt(members_),
                                    int(qo_tessera_members_head_pt_len(members_)),
                                    qo_tessera_members_head_json(members_), rgb.data(), masks.data(), shifts.data(),
                                    frames, windows.data(), flags.data(), err, sizeof err))
      << err;
  std::vector<uint8_t> want(bytes);
  for (int k = 0; k < frames; ++k) {
    const Input& in = inputs[k];
    ASSERT_EQ(borrowed[k]->info.kind, in.kind) << k;
    ASSERT_EQ(borrowed[k]->info.driver_idx, in.driverIdx) << k;
    ASSERT_EQ(flags[k], 0u) << k;
    FrameResult r;
    r.rgb.assign(windows.begin() + ptrdiff_t(k * window), windows.begin() + ptrdiff_t((k + 1) * window));
    std::vector<float> c = in.crop;
    StreamBorrow::writeWindowDelta(c.data(), N, r, st);
    ctx->cursor->pullAt(in.driverIdx, want.data());
    ctx->paste->composite(c.data(), 255.0f, ctx->identity.M(in.driverIdx), want.data(), ctx->manifest.W,
                          ctx->manifest.H);
    ASSERT_EQ(borrowed[k]->rgb, want) << "frame " << k;
  }
}

// An interrupt while the borrow holds a frame: the held crop is dropped, nothing of the old
// utterance is delivered afterwards, and the borrow carries on with the ramp and the next speech.
TEST_P(UttBorrow, InterruptWhileAFrameIsHeld) {
  ASSERT_EQ(attach(), 0);
  push(speech(2.0));
  std::vector<Pulled> f = pullUntil([](const auto& g) { return count(g, 1) >= 6; });
  ASSERT_GE(count(f, 1), 6);
  qo_utt_interrupt(u);
  const int64_t writtenBefore = stats().written;
  std::vector<Pulled> after = pullUntil([](const auto& g) { return !g.empty() && g.back().info.kind == 0; });
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(count(after, 1), 0);
  EXPECT_EQ(count(after, 2), 4);
  Stats s = stats();
  EXPECT_EQ(s.state, 1) << s.reason;
  EXPECT_GT(s.written, writtenBefore);

  push(speech(0.6));
  qo_utt_end_utterance(u);
  std::vector<Pulled> next = pullUntil(backToIdle);
  int seq = 0;
  for (const Pulled& p : next)
    if (p.info.kind == 1) {
      EXPECT_EQ(p.info.seq, seq++);
    }
  EXPECT_GE(seq, 15);
  EXPECT_EQ(stats().state, 1);
}

// A borrow that cannot serve the mouths (a bank frame 7 px off, past the shift margin) is reported
// degraded, and the frames still arrive, every one of them, counted as skipped.
TEST_P(UttBorrow, AFailingBorrowKeepsFramesFlowing) {
  const double* c = qo_tessera_members_c_canon(members_);
  const double far[2] = {c[0], c[1] - 7};
  std::string e;
  ASSERT_EQ(attach(&e, nullptr, far), 0) << e;
  push(speech(0.8));
  qo_utt_end_utterance(u);
  std::vector<Pulled> f = pullUntil(backToIdle);
  ASSERT_TRUE(backToIdle(f));
  EXPECT_GE(count(f, 1), 20);
  EXPECT_EQ(count(f, 2), 6);
  const Stats s = stats();
  EXPECT_EQ(s.state, -1);
  EXPECT_EQ(s.written, 0);
  EXPECT_EQ(s.skipped, count(f, 1) + count(f, 2));
  EXPECT_EQ(s.reason, "shift-out-of-range");
}

// Re-attaching over and over while speech streams: no frame is lost (seq without gaps) and the
// borrow in use is never freed under the stage (ASan/TSan).
TEST_P(UttBorrow, ReattachDuringSpeech) {
  ASSERT_EQ(attach(), 0);
  push(speech(1.6));
  qo_utt_end_utterance(u);
  std::vector<Pulled> f;
  std::vector<uint8_t> buf(bytes);
  int attaches = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!backToIdle(f) && std::chrono::steady_clock::now() < limit) {
    qo_utt_frame_info info;
    if (qo_utt_pull_frame(u, buf.data(), buf.size(), &info)) {
      f.push_back({info, {}});
      if (info.kind == 1 && info.seq % 5 == 0) {
        ASSERT_EQ(attach(), 0);
        ++attaches;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_GE(attaches, 5);
  int seq = 0;
  for (const Pulled& p : f)
    if (p.info.kind == 1) {
      EXPECT_EQ(p.info.seq, seq++);
    }
  EXPECT_EQ(seq, 40);
  EXPECT_EQ(stats().state, 1);
  // Destruction while a borrow stage may be running.
  push(speech(0.4));
  ASSERT_EQ(attach(), 0);
}

INSTANTIATE_TEST_SUITE_P(Paste, UttBorrow, ::testing::Values("0", "1"),
                         [](const auto& i) { return std::string(i.param[0] == '0' ? "Sync" : "Pipelined"); });

}  // namespace
