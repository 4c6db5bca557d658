#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/qo_fs.h"
#include "qo/qo_driver.h"
#include "qo/qo_image.h"
#include "support/test_support.h"
#include "tests/driver/movie_fixtures.h"

namespace qo {
namespace {

using ::testing::HasSubstr;

TEST(JpgDirSource, ReadsInOrderSeeksAndRewinds) {
  test::TempDir t;
  fs::mkdirs(t / "f");
  test::writeJpgFrames(t / "f", 3, 16, 8);
  auto src = driver::openJpgDir(t / "f", 3, 16, 8);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->frameBytes(), size_t(16 * 8 * 3));
  EXPECT_EQ(src->residentBytes(), 0u);
  std::vector<uint8_t> buf(src->frameBytes());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(src->next(buf.data()));
    int w, h;
    char path[64];
    std::snprintf(path, sizeof path, "/frame_%06d.jpg", i);
    EXPECT_EQ(buf, loadImageRGB(t / "f" + path, &w, &h));  // exactly the decoded file
  }
  EXPECT_FALSE(src->next(buf.data()));
  src->rewind();
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_NEAR(test::redLevel(buf.data()), 0, 2);

  EXPECT_THROW(
      {
        try {
          src->seek(3);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "qo_driver: seek outside the member");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(src->seek(-1), std::runtime_error);
  src->seek(2);
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_NEAR(test::redLevel(buf.data()), 40, 2);
  EXPECT_FALSE(src->next(buf.data()));
}

TEST(JpgDirSource, RefusesWrongSizesAndMissingFiles) {
  test::TempDir t;
  fs::mkdirs(t / "f");
  test::writeJpgFrames(t / "f", 1, 16, 8);
  auto src = driver::openJpgDir(t / "f", 2, 16, 9);
  std::vector<uint8_t> buf(src->frameBytes());
  try {
    src->next(buf.data());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "qo_driver: " + (t / "f") +
                                         "/frame_000000.jpg is 16x8, the manifest says 16x9 \xE2\x80\x94 refusing");
  }
  // The position did not advance: the same frame fails again.
  EXPECT_THROW(src->next(buf.data()), std::runtime_error);

  auto shortDir = driver::openJpgDir(t / "f", 2, 16, 8);
  ASSERT_TRUE(shortDir->next(buf.data()));
  try {
    shortDir->next(buf.data());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "decode failed: " + (t / "f") + "/frame_000001.jpg");
  }
}

TEST(Images, PngRoundTripAndLoadFailure) {
  test::TempDir t;
  std::vector<uint8_t> rgb(5 * 3 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 17);
  writePNG(t / "a.png", rgb.data(), 5, 3);
  int w, h;
  EXPECT_EQ(loadImageRGB(t / "a.png", &w, &h), rgb);
  EXPECT_EQ(w, 5);
  EXPECT_EQ(h, 3);
  EXPECT_THROW(writePNG(t / "missing/dir/a.png", rgb.data(), 5, 3), std::runtime_error);
  test::writeFile(t / "junk.png", "not an image");
  EXPECT_THROW(loadImageRGB(t / "junk.png", &w, &h), std::runtime_error);
}

}  // namespace
}  // namespace qo
