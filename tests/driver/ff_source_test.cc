#include <algorithm>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qo/qo_driver.h"
#include "qo/qo_simd.h"
#include "support/test_support.h"
#include "tests/driver/movie_fixtures.h"
#include "tools/devkit/media_writer.h"

namespace qo {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

class FfSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    test::writePatternMovie(*dir_ / "drv.mp4", 6, 64, 48, false);
    test::writePatternMovie(*dir_ / "prior.mov", 4, 32, 32, true);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static test::TempDir* dir_;
  std::string drv() const { return *dir_ / "drv.mp4"; }
  std::string prior() const { return *dir_ / "prior.mov"; }
};
test::TempDir* FfSourceTest::dir_ = nullptr;

TEST_F(FfSourceTest, DriverDecodesEveryFrameExactlyInOrder) {
  auto src = driver::openMp4(drv(), 6, 64, 48);
  EXPECT_EQ(src->frameBytes(), size_t(64 * 48 * 3));
  EXPECT_THAT(src->name(), StartsWith("mp4/libavcodec "));
  std::vector<uint8_t> buf(src->frameBytes());
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(src->next(buf.data())) << i;
    EXPECT_EQ(buf, test::referenceRgb(test::patternFrame(i, 64, 48, false))) << "frame " << i;
  }
  EXPECT_FALSE(src->next(buf.data()));
  EXPECT_FALSE(src->next(buf.data()));  // and keeps saying so
  src->rewind();
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, test::referenceRgb(test::patternFrame(0, 64, 48, false)));
}

TEST_F(FfSourceTest, SeekForwardBackwardAndOutside) {
  auto src = driver::openMp4(drv(), 6, 64, 48);
  std::vector<uint8_t> buf(src->frameBytes());
  src->seek(4);
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, test::referenceRgb(test::patternFrame(4, 64, 48, false)));
  src->seek(5);  // already there: nothing to decode
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, test::referenceRgb(test::patternFrame(5, 64, 48, false)));
  src->seek(1);  // backwards: restart
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, test::referenceRgb(test::patternFrame(1, 64, 48, false)));
  EXPECT_EQ(errorOf([&] { src->seek(6); }), "qo_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { src->seek(-1); }), "qo_driver: seek outside the member");
}

TEST_F(FfSourceTest, ResidentBytesEstimate) {
  auto src = driver::openMp4(drv(), 6, 64, 48);
  std::vector<uint8_t> buf(src->frameBytes());
  const size_t before = src->residentBytes();
  EXPECT_EQ(before, size_t(64 * 48 * 3 / 2) * (4 + 5));  // 4 frame threads, no packet read yet
  while (src->next(buf.data())) {
  }
  EXPECT_GT(src->residentBytes(), before);  // plus the largest packet
}

TEST_F(FfSourceTest, PriorDecodesToHalfPlanesThroughTheLevelTable) {
  auto src = driver::openPriorHevc(prior(), 4, 32);
  EXPECT_EQ(src->frameBytes(), size_t(32 * 32 * 3 * 2));
  EXPECT_THAT(src->name(), StartsWith("hevc444/libavcodec "));
  EXPECT_THAT(src->name(), EndsWith(" hevc"));
  std::vector<uint16_t> planes(32 * 32 * 3);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(planes.data())));
    EXPECT_EQ(planes, test::referencePriorPlanes(test::patternFrame(i, 32, 32, true))) << "frame " << i;
  }
}

TEST_F(FfSourceTest, PriorLevelMappingOfLimitedRangeExtremes) {
  test::YuvFrame f;
  f.w = f.h = f.cw = f.ch = 2;
  f.y = {235, 16, 235, 16};
  f.u = f.v = {128, 128, 128, 128};
  auto planes = test::referencePriorPlanes(f);
  EXPECT_EQ(planes[0], 0x3C00);  // 1.0
  EXPECT_EQ(planes[1], 0x0000);
  // And the engine agrees on a movie of such frames.
  test::TempDir t;
  {
    devkit::MovieOptions o;
    o.width = o.height = 16;
    o.codec = devkit::VideoCodec::kHevc444;
    o.lossless = true;
    devkit::MovieWriter w(t / "flat.mov", o);
    std::vector<uint8_t> y(256, 235), uv(256, 128);
    w.addYuv(y.data(), uv.data(), uv.data());
    std::fill(y.begin(), y.end(), 16);
    w.addYuv(y.data(), uv.data(), uv.data());
    w.finish();
  }
  auto src = driver::openPriorHevc(t / "flat.mov", 2, 16);
  std::vector<uint16_t> out(16 * 16 * 3);
  ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(out.data())));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint16_t h) { return h == 0x3C00; }));
  ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(out.data())));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint16_t h) { return h == 0; }));
}

TEST_F(FfSourceTest, RefusesMembersThatDisagreeWithTheManifest) {
  EXPECT_EQ(errorOf([&] { driver::openMp4(drv(), 6, 64, 40); }),
            "qo_driver: " + drv() + " is 64x48, the manifest says 64x40 \xE2\x80\x94 refusing to rescale the driver");
  EXPECT_EQ(errorOf([&] { driver::openMp4(drv(), 5, 64, 48); }),
            "qo_driver: " + drv() + " carries 6 frames, the manifest says NT=5 \xE2\x80\x94 member/manifest mismatch, "
                                    "refusing");
  test::TempDir t;
  test::writeFile(t / "junk.mp4", "not a movie");
  EXPECT_EQ(errorOf([&] { driver::openMp4(t / "junk.mp4", 1, 8, 8); }),
            "qo_driver: " + (t / "junk.mp4") + " is not a readable container");
  EXPECT_EQ(errorOf([&] { driver::openMp4(t / "none.mp4", 1, 8, 8); }),
            "qo_driver: " + (t / "none.mp4") + " is not a readable container");
}

TEST_F(FfSourceTest, RefusesTheWrongChromaLayoutForEachRole) {
  std::vector<uint8_t> buf(32 * 32 * 6);
  auto asDriver = driver::openMp4(prior(), 4, 32, 32);
  EXPECT_EQ(errorOf([&] { asDriver->next(buf.data()); }),
            "qo_driver: " + prior() +
                " decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) "
                "\xE2\x80\x94 refusing rather than pasting onto a different pixel domain");
  test::TempDir t;
  test::writePatternMovie(t / "sub.mp4", 2, 32, 32, false);
  auto asPrior = driver::openPriorHevc(t / "sub.mp4", 2, 32);
  EXPECT_THAT(errorOf([&] { asPrior->next(buf.data()); }),
              HasSubstr(" decoded to yuv420p, not the yuv444p a warp prior is authored in \xE2\x80\x94 a subsampled "
                        "prior is a different mouth, refusing"));
}

TEST_F(FfSourceTest, UndeclaredFrameCountIsAccepted) {
  test::TempDir t;
  test::writePatternMovie(t / "drv.mkv", 3, 32, 16, false);  // Matroska declares no frame count
  auto src = driver::openMp4(t / "drv.mkv", 99, 32, 16);
  std::vector<uint8_t> buf(src->frameBytes());
  int n = 0;
  while (src->next(buf.data())) ++n;
  EXPECT_EQ(n, 3);
}

TEST_F(FfSourceTest, SoftwareDecoderOnlyWhenAsked) {
  test::ScopedEnv env("QO_DRIVER_HWDEC", "0");
  testing::internal::CaptureStderr();
  auto src = driver::openMp4(drv(), 6, 64, 48);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "[qo-driver] QO_DRIVER_HWDEC=0 \xE2\x80\x94 h264_cuvid not attempted; the software decoder is the one "
            "decoder on this fleet (same samples)\n");
  EXPECT_THAT(src->name(), EndsWith(" h264"));
  EXPECT_THAT(movieDecoderBuild(), StartsWith("libavcodec "));
}

}  // namespace
}  // namespace qo
