#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capi/qo_ctx.h"
#include "qo/qo.h"
#include "qo/qo_driver.h"
#include "qo/qo_image.h"
#include "support/test_support.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_face.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

qo::devkit::DemoOptions tinyDemo() {
  qo::devkit::DemoOptions o = qo::devkit::DemoOptions::tiny();
  o.frames = 6;
  return o;
}

class FramesTest : public ::testing::Test {
 protected:
  qo::test::ScopedEnv noHw{"QO_DRIVER_HWDEC", "0"};
  qo::test::TempDir t;
  qo_ctx* ctx = nullptr;
  size_t rgbBytes = 0;

  void open(const qo::devkit::DemoOptions& o = tinyDemo()) {
    qo::devkit::writeDemoBundle(t.path(), o);
    testing::internal::CaptureStderr();
    ctx = qo_create(t.path().c_str(), "b1", 1, nullptr);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(ctx, nullptr) << qo_last_error();
    rgbBytes = size_t(qo_width(ctx)) * qo_height(ctx) * 3;
  }
  void TearDown() override { qo_destroy(ctx); }
  std::vector<uint8_t> driverFrame(int si) {
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", si);
    int w, h;
    return qo::loadImageRGB(t.path() + name, &w, &h);
  }
};

TEST_F(FramesTest, BadArgumentsAreRefusedWithTheirTexts) {
  open();
  const std::array<float, 63> kp = qo::devkit::faceKeypoints(0);
  EXPECT_EQ(qo_render_kp_crop(nullptr, 0, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_render_kp_crop: bad args");
  EXPECT_EQ(qo_render_kp_crop(ctx, 4, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(qo_render_kp_crop(ctx, -1, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(qo_render_kp_crop(ctx, 0, nullptr, kp.data()), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_render_kp_crop: bad args");
  EXPECT_EQ(qo_render_drive_crop(ctx, 6), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_render_drive_crop: bad frame index");
  EXPECT_EQ(qo_paste_last(ctx, 0), nullptr);  // nothing rendered yet
  EXPECT_STREQ(qo_last_error(), "qo_paste_last: bad args / no prior render");
  EXPECT_EQ(qo_target_frame(ctx, 4), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_target_frame: bad args");
  std::vector<uint8_t> rgba(rgbBytes / 3 * 4);
  EXPECT_EQ(qo_render_drive_rgba(ctx, 6, rgba.data(), rgba.size()), 0);
  EXPECT_STREQ(qo_last_error(), "qo_render_drive_crop: bad frame index");
  EXPECT_EQ(qo_render_drive_rgba(ctx, 0, rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(qo_last_error(), "qo_render_drive_rgba: out buffer too small");
  EXPECT_EQ(qo_render_kp_rgba(ctx, 0, kp.data(), kp.data(), nullptr, rgba.size()), 0);
  EXPECT_STREQ(qo_last_error(), "qo_render_kp_rgba: out buffer too small");
  EXPECT_EQ(qo_render_kp_rgba(nullptr, 0, kp.data(), kp.data(), rgba.data(), rgba.size()), 0);
  EXPECT_STREQ(qo_last_error(), "qo_render_kp_crop: bad args");
}

// A failure inside the renderer carries the name of the function the host called.
TEST_F(FramesTest, RenderFailuresNameTheCallersFunction) {
  qo::devkit::DemoOptions o = tinyDemo();
  o.priorMovie = true;
  open(o);
  std::remove((t / "P_hevc.mov").c_str());  // the prior cursor opens on the first render
  const std::string refusal = "this bundle carries neither a raw P.f16 nor P_hevc.mov";
  // The demo director's source cone is hoisted, so the prior is read for the prep graph and its
  // failure is reported (and kept) as the hoisted cone's.
  EXPECT_EQ(qo_render_drive_crop(ctx, 0), nullptr);
  EXPECT_THAT(qo_last_error(), StartsWith("qo_render_drive_crop: "));
  EXPECT_THAT(qo_last_error(), HasSubstr(refusal));
  std::vector<uint8_t> rgba(rgbBytes / 3 * 4);
  EXPECT_EQ(qo_render_drive_rgba(ctx, 0, rgba.data(), rgba.size()), 0);
  EXPECT_THAT(qo_last_error(), StartsWith("qo_render_drive_crop: "));
  EXPECT_THAT(qo_last_error(), HasSubstr(refusal));
}

TEST_F(FramesTest, PasteCropNeedsAWholeFrameAndLeavesShortBuffersUntouched) {
  open();
  const float* crop = qo_render_drive_crop(ctx, 0);
  ASSERT_NE(crop, nullptr) << qo_last_error();
  std::vector<uint8_t> out(rgbBytes - 1, 0xAB);
  EXPECT_EQ(qo_paste_crop(ctx, 0, crop, out.data(), out.size()), 0);
  EXPECT_STREQ(qo_last_error(), "qo_paste_crop: bad args / out too small");
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xAB; }));
  out.assign(rgbBytes, 0xAB);
  EXPECT_EQ(qo_paste_crop(ctx, 0, crop, out.data(), out.size()), 1) << qo_last_error();
  EXPECT_STREQ(qo_last_error(), "");
  // The same crop through qo_paste_last gives the same frame, and again the same.
  const uint8_t* last = qo_paste_last(ctx, 0);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(std::memcmp(last, out.data(), rgbBytes), 0);
  std::vector<uint8_t> first(last, last + rgbBytes);
  last = qo_paste_last(ctx, 0);
  EXPECT_EQ(std::memcmp(last, first.data(), rgbBytes), 0);
}

TEST_F(FramesTest, TargetFramesAreTheDriverFramesWithoutSeeks) {
  open();
  const uint64_t seeks = ctx->cursor->seeks();
  for (int si = 0; si < 4; ++si) {
    const uint8_t* f = qo_target_frame(ctx, si);
    ASSERT_NE(f, nullptr) << qo_last_error();
    EXPECT_EQ(std::vector<uint8_t>(f, f + rgbBytes), driverFrame(si)) << si;
  }
  EXPECT_EQ(ctx->cursor->seeks(), seeks);
}

TEST_F(FramesTest, RgbaIsThePastedFrameWithOpaqueAlpha) {
  open();
  std::vector<uint8_t> rgba(rgbBytes / 3 * 4);
  ASSERT_EQ(qo_render_drive_rgba(ctx, 5, rgba.data(), rgba.size()), 1) << qo_last_error();
  const int si = ctx->drive.si[5];
  const uint8_t* rgb = qo_paste_last(ctx, si);
  ASSERT_NE(rgb, nullptr);
  for (size_t p = 0; p < rgbBytes / 3; ++p) {
    ASSERT_EQ(rgba[4 * p + 3], 255);
    ASSERT_EQ(0, std::memcmp(&rgba[4 * p], rgb + 3 * p, 3)) << p;
  }
}

// The first end-to-end picture: the mouth follows the lip keypoints, and nothing outside the
// paste footprint changes.
TEST_F(FramesTest, RenderedFaceIsPastedWhereTheTransformPutsIt) {
  qo::devkit::DemoOptions o = tinyDemo();
  o.width = 192;
  o.height = 128;
  o.crop = 64;
  open(o);
  const int si = 1, W = qo_width(ctx), H = qo_height(ctx);
  const std::array<float, 63> closed = qo::devkit::faceKeypoints(0), open1 = qo::devkit::faceKeypoints(1);
  ASSERT_NE(qo_render_kp_crop(ctx, si, closed.data(), closed.data()), nullptr) << qo_last_error();
  std::vector<uint8_t> a(qo_paste_last(ctx, si), qo_paste_last(ctx, si) + rgbBytes);
  ASSERT_NE(qo_render_kp_crop(ctx, si, closed.data(), open1.data()), nullptr);
  std::vector<uint8_t> b(qo_paste_last(ctx, si), qo_paste_last(ctx, si) + rgbBytes);
  const std::vector<uint8_t> driver = driverFrame(si);

  const float* M = ctx->identity.M(si);
  auto frameOf = [&](float cx, float cy) {
    return std::make_pair(M[0] * cx + M[1] * cy + M[2], M[3] * cx + M[4] * cy + M[5]);
  };
  // Footprint: the crop square grown by 4 pixels, mapped into the frame.
  float x0 = 1e9f, x1 = -1e9f, y0 = 1e9f, y1 = -1e9f;
  for (float cx : {-4.0f, 64.0f + 3}) for (float cy : {-4.0f, 64.0f + 3}) {
      auto [fx, fy] = frameOf(cx, cy);
      x0 = std::min(x0, fx), x1 = std::max(x1, fx), y0 = std::min(y0, fy), y1 = std::max(y1, fy);
    }
  long changedInside = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const size_t i = (size_t(y) * W + x) * 3;
      const bool outside = x < std::floor(x0) || x > std::ceil(x1) || y < std::floor(y0) || y > std::ceil(y1);
      if (outside) {
        ASSERT_EQ(0, std::memcmp(&a[i], &driver[i], 3)) << x << "," << y;
        ASSERT_EQ(0, std::memcmp(&b[i], &driver[i], 3)) << x << "," << y;
      }
    }
  // The mouth (crop coordinates around (0, 0.45) normalised) darkens when the lips open.
  auto lum = [](const std::vector<uint8_t>& f, size_t i) { return int(f[i]) + f[i + 1] + f[i + 2]; };
  long darker = 0;
  for (int cy = 34; cy < 54; ++cy)
    for (int cx = 22; cx < 42; ++cx) {
      auto [fx, fy] = frameOf(float(cx), float(cy));
      const size_t i = (size_t(std::lround(fy)) * W + size_t(std::lround(fx))) * 3;
      if (lum(b, i) + 60 < lum(a, i)) ++darker;
      if (std::memcmp(&a[i], &b[i], 3) != 0) ++changedInside;
    }
  EXPECT_GT(darker, 15);
  EXPECT_GT(changedInside, darker);
}

TEST(PriorFunctions, MoviePriorRowsAndRefusals) {
  qo::test::TempDir t;
  qo::test::ScopedEnv noHw("QO_DRIVER_HWDEC", "0");
  qo::devkit::DemoOptions o = tinyDemo();
  o.priorMovie = true;
  qo::devkit::writeDemoBundle(t.path(), o);

  EXPECT_EQ(qo_prior_open(nullptr, 2, 0), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_prior_open: NULL bundle_dir");
  EXPECT_EQ(qo_prior_open(t.path().c_str(), 1000, 0), nullptr);
  EXPECT_THAT(qo_last_error(), StartsWith("qo_prior_open: ahead/back too large"));
  EXPECT_EQ(qo_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(qo_prior_backend(nullptr), "");
  qo_prior_close(nullptr);

  testing::internal::CaptureStderr();
  qo_prior* h = qo_prior_open(t.path().c_str(), 0, -3);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_NE(h, nullptr) << qo_last_error();
  EXPECT_THAT(log, HasSubstr("look-ahead 2, history 0)"));  // ahead 0 behaves as 2, back < 0 as 0
  EXPECT_THAT(qo_prior_backend(h), StartsWith("hevc444/libavcodec "));
  const size_t row = qo_prior_row_bytes(h);
  EXPECT_EQ(row, size_t(32 * 32 * 3 * 2));
  uint8_t one;
  EXPECT_EQ(qo_prior_row(h, 0, &one, 1), 0);
  EXPECT_EQ(std::string(qo_last_error()), "qo_prior_row: cap 1 < row bytes " + std::to_string(row));
  EXPECT_EQ(qo_prior_row(h, 0, nullptr, row), 0);
  EXPECT_STREQ(qo_last_error(), "qo_prior_row: NULL prior/out");

  auto direct = qo::driver::openPriorHevc(t / "P_hevc.mov", 4, 32);
  std::vector<uint8_t> got(row), want(row);
  for (int si = 0; si < 4; ++si) {
    ASSERT_TRUE(direct->next(want.data()));
    ASSERT_EQ(qo_prior_row(h, si, got.data(), got.size()), 1) << qo_last_error();
    EXPECT_EQ(got, want) << si;
  }
  EXPECT_EQ(qo_prior_row(h, 4, got.data(), got.size()), 0);
  EXPECT_STREQ(qo_last_error(), "qo_prior_row: qo_driver: seek(4) outside [0,4)");
  qo_prior_close(h);

  // A bundle with a raw P.f16 has no movie to play.
  qo::test::TempDir raw;
  qo::devkit::writeDemoBundle(raw.path(), tinyDemo());
  EXPECT_EQ(qo_prior_open(raw.path().c_str(), 2, 2), nullptr);
  EXPECT_THAT(qo_last_error(), StartsWith("qo_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov"));
}

}  // namespace
