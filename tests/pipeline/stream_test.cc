// qo_stream: creation refusals, the rows rule with skip, delivery order, frames identical to a
// plain render-then-paste loop, an IMX container, and the overlap loop's failure paths (a failed
// paste must wake and stop a render thread that waits for a free ring slot).
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bundle/qo_imx.h"
#include "pipeline/qo_stream_overlap.h"
#include "qo/qo.h"
#include "qo/qo_fca.h"
#include "qo/qo_stream.h"
#include "support/test_support.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_bundle.h"

namespace {

constexpr int kNT = 3;

std::vector<float> speech(int frames) {
  std::vector<float> a(size_t(frames) * 640);
  for (size_t i = 0; i < a.size(); ++i) a[i] = 0.3f * std::sin(float(i) * 0.06f) * std::sin(float(i) * 0.0007f);
  return a;
}

struct Seen {
  std::vector<int> order;
  std::vector<std::vector<uint8_t>> frames;
};

void record(void* user, int i, const uint8_t* rgb, int w, int h) {
  auto* s = static_cast<Seen*>(user);
  s->order.push_back(i);
  s->frames.emplace_back(rgb, rgb + size_t(w) * size_t(h) * 3);
}

class StreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new qo::test::TempDir;
    qo::devkit::DemoOptions o = qo::devkit::DemoOptions::tiny();
    o.nt = kNT;
    qo::devkit::writeDemoBundle(dir_->path(), o);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string bundle() { return dir_->path(); }
  static std::string frontend() { return qo::devkit::demoFrontendPath(dir_->path()); }

  // Frames i = skip .. N - 1 rendered and pasted one after the other on this thread, with the
  // rows rule written out: row i mod NT, xd = target row + scale x deltas of frame i.
  static std::vector<std::vector<uint8_t>> plainLoop(const std::vector<float>& audio, int skip, float scale) {
    qo_fca* fca = qo_fca_create(frontend().c_str(), (bundle() + "/fca_stream.onnx").c_str(), 0);
    qo_ctx* ctx = qo_create(bundle().c_str(), "render", 0, "");
    EXPECT_TRUE(fca && ctx);
    const int N = int((audio.size() + 639) / 640);
    std::vector<float> deltas(size_t(N) * 63), target(size_t(kNT) * 63), xd(63);
    EXPECT_EQ(qo_fca_deltas(fca, audio.data(), int(audio.size()), deltas.data(), N), N);
    FILE* f = std::fopen((bundle() + "/xs_target.bin").c_str(), "rb");
    EXPECT_EQ(std::fread(target.data(), 4, target.size(), f), target.size());
    std::fclose(f);
    std::vector<std::vector<uint8_t>> out;
    for (int i = skip; i < N; ++i) {
      const int row = i % kNT;
      for (int j = 0; j < 63; ++j) xd[size_t(j)] = target[size_t(row) * 63 + j] + scale * deltas[size_t(i) * 63 + j];
      const float* crop = qo_render_kp_crop(ctx, row, target.data() + size_t(row) * 63, xd.data());
      EXPECT_NE(crop, nullptr);
      std::vector<uint8_t> frame(size_t(qo_width(ctx)) * qo_height(ctx) * 3);
      EXPECT_EQ(qo_paste_crop(ctx, row, crop, frame.data(), frame.size()), 1);
      out.push_back(std::move(frame));
    }
    qo_destroy(ctx);
    qo_fca_destroy(fca);
    return out;
  }

  static qo::test::TempDir* dir_;
};
qo::test::TempDir* StreamTest::dir_ = nullptr;

TEST_F(StreamTest, CreationRefusals) {
  EXPECT_EQ(qo_stream_create(nullptr, frontend().c_str(), 1, 0, 1), nullptr);
  EXPECT_EQ(std::string(qo_stream_last_error()), "qo_stream_create: bad args");
  EXPECT_EQ(qo_stream_create(bundle().c_str(), frontend().c_str(), 1, -1, 1), nullptr);
  EXPECT_EQ(std::string(qo_stream_last_error()).rfind("qo_stream_create: negative skip -1", 0), 0u);
  EXPECT_EQ(qo_stream_create("/nonexistent/bundle", frontend().c_str(), 1, 0, 1), nullptr);
  EXPECT_EQ(std::string(qo_stream_last_error()).rfind("qo_create: ", 0), 0u) << qo_stream_last_error();
  EXPECT_EQ(qo_stream_create(bundle().c_str(), (bundle() + "/none.onnx").c_str(), 1, 0, 1), nullptr);
  EXPECT_EQ(std::string(qo_stream_last_error()).rfind("qo_fca_create: ", 0), 0u) << qo_stream_last_error();

  // One float short of NT x 63.
  qo::test::TempDir copy;
  qo::devkit::DemoOptions o = qo::devkit::DemoOptions::tiny();
  o.nt = kNT;
  qo::devkit::writeDemoBundle(copy.path(), o);
  const std::string target = qo::test::readFile(copy / "xs_target.bin");
  qo::test::writeFile(copy / "xs_target.bin", target.substr(0, target.size() - 4));
  EXPECT_EQ(qo_stream_create(copy.path().c_str(), frontend().c_str(), 1, 0, 1), nullptr);
  EXPECT_EQ(std::string(qo_stream_last_error()), "qo_stream_create: cannot read xs_target.bin (NT*63 f32)");

  EXPECT_EQ(qo_stream_run(nullptr, nullptr, 0, nullptr, nullptr), -1);
  EXPECT_EQ(std::string(qo_stream_last_error()), "qo_stream_run: bad args");
  EXPECT_EQ(qo_stream_width(nullptr), 0);
  qo_stream_destroy(nullptr);
}

// Rows 0 1 2 0 1 2 0 with skip 0; with skip 2 the first delivered frame is frame 2 on row 2. The
// frames must be the plain loop's, byte for byte, and each index must come once, in order.
TEST_F(StreamTest, FramesMatchThePlainLoopWithAndWithoutSkip) {
  const std::vector<float> audio = speech(7);
  for (int skip : {0, 2}) {
    qo_stream* s = qo_stream_create(bundle().c_str(), frontend().c_str(), 0, skip, 1.5f);
    ASSERT_NE(s, nullptr) << qo_stream_last_error();
    Seen seen;
    ASSERT_EQ(qo_stream_run(s, audio.data(), int(audio.size()), record, &seen), 7 - skip) << qo_stream_last_error();
    qo_stream_destroy(s);
    std::vector<int> want(size_t(7 - skip));
    for (size_t i = 0; i < want.size(); ++i) want[i] = int(i);
    EXPECT_EQ(seen.order, want);
    const auto plain = plainLoop(audio, skip, 1.5f);
    ASSERT_EQ(plain.size(), seen.frames.size());
    for (size_t k = 0; k < plain.size(); ++k) EXPECT_TRUE(plain[k] == seen.frames[k]) << "skip " << skip << " frame " << k;
  }
  // The rows really differ: frames on rows 0 and 1 are not alike.
  const auto plain = plainLoop(audio, 0, 1.5f);
  EXPECT_FALSE(plain[0] == plain[1]);
}

TEST_F(StreamTest, SkipPastTheEndDeliversNothing) {
  qo_stream* s = qo_stream_create(bundle().c_str(), frontend().c_str(), 1, 3, 1);
  ASSERT_NE(s, nullptr) << qo_stream_last_error();
  Seen seen;
  const std::vector<float> audio = speech(3);
  EXPECT_EQ(qo_stream_run(s, audio.data(), int(audio.size()), record, &seen), 0);
  EXPECT_EQ(qo_stream_run(s, audio.data(), 1000, record, &seen), 0);
  EXPECT_TRUE(seen.order.empty());
  qo_stream_destroy(s);
}

// An IMX container: the runner finds fca_stream.onnx in the unwrap directory, not beside the
// container path.
TEST_F(StreamTest, RunsFromAContainer) {
  qo::test::ScopedEnv noRoot{"QO_IMX_UNWRAP_ROOT", nullptr};
  qo::test::TempDir t;
  qo::imx::pack(bundle(), t / "avatar.imx");
  qo_stream* s = qo_stream_create((t / "avatar.imx").c_str(), frontend().c_str(), 1, 0, 1);
  ASSERT_NE(s, nullptr) << qo_stream_last_error();
  const std::vector<float> audio = speech(2);
  EXPECT_EQ(qo_stream_run(s, audio.data(), int(audio.size()), nullptr, nullptr), 2) << qo_stream_last_error();
  qo_stream_destroy(s);
}

// A driver frame that cannot be decoded fails a paste: the run ends, with the failing call's text,
// instead of leaving the render thread waiting for a slot.
TEST_F(StreamTest, AFailedPasteEndsTheRun) {
  qo::test::TempDir copy;
  qo::devkit::DemoOptions o = qo::devkit::DemoOptions::tiny();
  o.nt = kNT;
  qo::devkit::writeDemoBundle(copy.path(), o);
  qo::test::writeFile(copy / "target_frames/frame_000002.jpg", "not a jpeg");
  qo_stream* s = qo_stream_create(copy.path().c_str(), frontend().c_str(), 1, 0, 1);
  ASSERT_NE(s, nullptr) << qo_stream_last_error();
  Seen seen;
  const std::vector<float> audio = speech(9);
  EXPECT_EQ(qo_stream_run(s, audio.data(), int(audio.size()), record, &seen), -1);
  EXPECT_EQ(std::string(qo_stream_last_error()).rfind("qo_stream_run: render/paste failed (qo_paste_crop: ", 0), 0u)
      << qo_stream_last_error();
  // The cursor may meet the bad frame while reading ahead: what came before it arrived, in order.
  ASSERT_LE(seen.order.size(), 2u);
  for (size_t k = 0; k < seen.order.size(); ++k) EXPECT_EQ(seen.order[k], int(k));
  qo_stream_destroy(s);
}

// The paste fails while the render thread has filled the ring and waits for a slot: the run must
// end (not hang in the join) as failed, after the frames pasted before.
TEST(StreamOverlap, FailedPasteWakesAndStopsTheRenderThread) {
  std::atomic<int> renders{0};
  std::vector<float> crop(12, 1.0f);
  qo::pipeline::OverlapSteps steps;
  steps.render = [&](int) {
    ++renders;
    return crop.data();
  };
  int delivered = 0;
  steps.paste = [&](int k, const float*) {
    if (k < 1) return true;
    while (renders.load() < 1 + qo::pipeline::kStreamRing) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the wait
    return false;
  };
  steps.deliver = [&](int) { ++delivered; };
  const auto r = qo::pipeline::runOverlapped(50, crop.size(), steps);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.delivered, 1);
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(renders.load(), 1 + qo::pipeline::kStreamRing) << "one crop pasted, four waiting, none beyond";

  // A failed render ends the run after the frames rendered before it.
  steps.render = [&](int k) { return k < 3 ? crop.data() : nullptr; };
  steps.paste = [](int, const float*) { return true; };
  delivered = 0;
  const auto r2 = qo::pipeline::runOverlapped(10, crop.size(), steps);
  EXPECT_TRUE(r2.failed);
  EXPECT_EQ(r2.delivered, 3);
}

// Each crop is pasted from its ring slot as rendered, even with the ring full all along.
TEST(StreamOverlap, RingHandsEachCropToItsPaste) {
  qo::pipeline::OverlapSteps steps;
  std::vector<float> crop(5);
  steps.render = [&](int k) {
    std::fill(crop.begin(), crop.end(), float(k));
    return crop.data();
  };
  std::vector<int> pasted;
  steps.paste = [&](int k, const float* c) {
    if (k % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pasted.push_back(c[0] == float(k) && c[4] == float(k) ? k : -1);
    return true;
  };
  steps.deliver = [](int) {};
  const auto r = qo::pipeline::runOverlapped(23, crop.size(), steps);
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(r.delivered, 23);
  std::vector<int> want(23);
  for (int k = 0; k < 23; ++k) want[size_t(k)] = k;
  EXPECT_EQ(pasted, want);
}

}  // namespace
