#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/qo_fs.h"
#include "qo/qo_bundle.h"
#include "qo/qo_driver.h"
#include "support/test_support.h"
#include "tests/driver/movie_fixtures.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class CursorOpenTest : public ::testing::Test {
 protected:
  test::ScopedEnv noPrefer{"QO_DRIVER_PREFER_MP4", nullptr};
  test::ScopedEnv noHw{"QO_DRIVER_HWDEC", "0"};
  test::TempDir t;
  Manifest m;
  void SetUp() override {
    m.dir = t.path();
    m.NT = 3;
    m.W = 32;
    m.H = 16;
    m.crop = 16;
  }
  std::string openLog(std::unique_ptr<DriverCursor>* out, bool prior = false) {
    testing::internal::CaptureStderr();
    try {
      *out = prior ? DriverCursor::openPrior(m, 2, 11) : DriverCursor::open(m, 2, 11);
    } catch (...) {
      testing::internal::GetCapturedStderr();
      throw;
    }
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(CursorOpenTest, PopulatedJpegDirectoryWinsOverTheMovie) {
  fs::mkdirs(t / "target_frames");
  test::writeJpgFrames(t / "target_frames", 3, 32, 16);
  test::writePatternMovie(t / "target_frames.mp4", 3, 32, 16, false);
  std::unique_ptr<DriverCursor> c;
  EXPECT_EQ(openLog(&c), "[qo-driver] target_frames/ (raw jpg, 3 frames) \xE2\x80\x94 read one frame per pull\n");
  EXPECT_EQ(c->name(), "jpg/stb");
  std::vector<uint8_t> buf(c->frameBytes());
  c->pullAt(2, buf.data());
  EXPECT_NEAR(test::redLevel(buf.data()), 40, 2);

  test::ScopedEnv prefer("QO_DRIVER_PREFER_MP4", "1");
  const std::string log = openLog(&c);
  EXPECT_THAT(log, HasSubstr("[qo-driver] QO_DRIVER_PREFER_MP4=1 \xE2\x80\x94 target_frames/ is populated and NOT "
                             "used; target_frames.mp4 is the member this consumer reads\n"));
  EXPECT_THAT(log, HasSubstr("[qo-driver] target_frames.mp4 decoded IN PLACE (mp4/libavcodec "));
  EXPECT_THAT(log, HasSubstr(", 3 frames 32x16, look-ahead 2, history 11) \xE2\x80\x94 no frame of the driver is "
                             "expanded ahead of the paste\n"));
  EXPECT_THAT(c->name(), StartsWith("mp4/"));
  c->pullAt(1, buf.data());
  EXPECT_EQ(buf, test::referenceRgb(test::patternFrame(1, 32, 16, false)));
}

TEST_F(CursorOpenTest, IncompleteJpegDirectoryFallsBackToTheMovie) {
  fs::mkdirs(t / "target_frames");
  test::writeJpgFrames(t / "target_frames", 2, 32, 16);  // frame NT - 1 missing: not populated
  test::writePatternMovie(t / "target_frames.mp4", 3, 32, 16, false);
  std::unique_ptr<DriverCursor> c;
  EXPECT_THAT(openLog(&c), HasSubstr("[qo-driver] target_frames.mp4 decoded IN PLACE"));
}

TEST_F(CursorOpenTest, ManifestRenamesTheMembers) {
  test::writeFile(t / "manifest.json", "{\"target_frames\": \"idle\", \"target_frames_mp4\": \"loop.mp4\"}");
  test::writePatternMovie(t / "loop.mp4", 3, 32, 16, false);
  std::unique_ptr<DriverCursor> c;
  EXPECT_THAT(openLog(&c), HasSubstr("[qo-driver] loop.mp4 decoded IN PLACE"));
  fs::mkdirs(t / "idle");
  test::writeJpgFrames(t / "idle", 3, 32, 16);
  EXPECT_THAT(openLog(&c), StartsWith("[qo-driver] idle/ (raw jpg, 3 frames)"));
}

TEST_F(CursorOpenTest, ManifestMemberNamesStayInsideTheBundle) {
  m.dir = t / "bundle";
  fs::mkdirs(t / "outside_frames");
  test::writeJpgFrames(t / "outside_frames", 3, 32, 16);
  test::writePatternMovie(t / "outside.mp4", 3, 32, 16, false);
  for (const char* entry : {"\"target_frames\": \"../outside_frames\"", "\"target_frames_mp4\": \"../outside.mp4\"",
                            "\"P_hevc\": \"../outside.mp4\""}) {
    test::writeFile(m.dir + "/manifest.json", std::string("{") + entry + "}");
    std::unique_ptr<DriverCursor> c;
    try {
      openLog(&c, std::strstr(entry, "P_hevc") != nullptr);
      ADD_FAILURE() << entry << " was read";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("', which leads outside the bundle directory")) << entry;
    }
  }
}

// Paths are not cut at any fixed length: a bundle deep in the file system plays like any other.
TEST_F(CursorOpenTest, DeepBundlePathsAreReadWhole) {
  std::string deep = t.path();
  while (deep.size() < 1200) deep += "/" + std::string(200, 'd');
  m.dir = deep;
  fs::mkdirs(deep + "/target_frames");
  test::writeJpgFrames(deep + "/target_frames", 3, 32, 16);
  std::unique_ptr<DriverCursor> c;
  EXPECT_THAT(openLog(&c), StartsWith("[qo-driver] target_frames/ (raw jpg, 3 frames)"));
  std::vector<uint8_t> buf(c->frameBytes());
  EXPECT_EQ(c->pullAt(2, buf.data()), 2);
  EXPECT_NEAR(test::redLevel(buf.data()), 40, 2);
}

TEST_F(CursorOpenTest, NoDriverVideoIsRefused) {
  std::unique_ptr<DriverCursor> c;
  try {
    openLog(&c);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" +
                                         (t / "target_frames.mp4") +
                                         ") \xE2\x80\x94 there is no driver video to play. REFUSING to create a "
                                         "session.");
  }
}

TEST_F(CursorOpenTest, PriorMovieAndItsRefusal) {
  std::unique_ptr<DriverCursor> c;
  try {
    openLog(&c, true);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + (t / "P_hevc.mov") +
                                         ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
  }
  test::writePatternMovie(t / "source_frames.hevc.mov", 3, 16, 16, true);
  std::rename((t / "source_frames.hevc.mov").c_str(), (t / "source_frames.hevc").c_str());  // the legacy name
  const std::string log = openLog(&c, true);
  EXPECT_THAT(log, HasSubstr("[qo-prior] P_hevc.mov decoded IN PLACE (hevc444/libavcodec "));
  EXPECT_THAT(log, HasSubstr(", 3 frames 16x16 f16 CHW, look-ahead 2, history 11) \xE2\x80\x94 no P.f16 is expanded "
                             "or mapped\n"));
  std::vector<uint16_t> planes(16 * 16 * 3);
  EXPECT_EQ(c->pullAt(2, reinterpret_cast<uint8_t*>(planes.data())), 2);
  EXPECT_EQ(planes, test::referencePriorPlanes(test::patternFrame(2, 16, 16, true)));
  // 14 slots (history 11 + look-ahead 2 + 1) plus the decoder's own buffers.
  EXPECT_GT(c->residentBytes(), c->frameBytes() * 14);
}

}  // namespace
}  // namespace qo
