#include <cstdio>
#include <cstring>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/qo_fs.h"
#include "bundle/qo_raw.h"
#include "qo/qo_driver.h"
#include "qo/qo_identity.h"
#include "support/test_support.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_face.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

devkit::DemoOptions tiny() {
  devkit::DemoOptions o;
  o.width = 48;
  o.height = 32;
  o.crop = 16;
  o.nt = 3;
  return o;
}

class IdentityTest : public ::testing::Test {
 protected:
  test::ScopedEnv noHw{"QO_DRIVER_HWDEC", nullptr};
  test::TempDir t;
  Manifest make(const devkit::DemoOptions& o) {
    devkit::writeDemoBundle(t.path(), o);
    return loadManifest(t.path());
  }
  std::string errorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(IdentityTest, MappedPriorNeverOpensACursor) {
  Manifest m = make(tiny());
  testing::internal::CaptureStderr();
  {
    Identity id(m);
    EXPECT_TRUE(id.hasMappedPrior());
    EXPECT_EQ(id.priorBackend(), "mmap P.f16");
    EXPECT_EQ(id.priorSeeks(), 0u);
    EXPECT_EQ(id.priorResidentBytes(), 0u);
    const std::string raw = test::readFile(t / "P.f16");
    const size_t frameBytes = 16 * 16 * 3 * 2;
    EXPECT_EQ(std::memcmp(id.P(2), raw.data() + 2 * frameBytes, frameBytes), 0);
    const std::string pooled = test::readFile(t / "pooled64.f16");
    EXPECT_EQ(std::memcmp(id.pooled64(1), pooled.data() + 131072, 131072), 0);
    id.walkP(1);  // nothing to walk
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no prior cursor, no closing line
}

TEST_F(IdentityTest, FsRedOnlyBundleLoadsWithoutAPrior) {
  devkit::DemoOptions o = tiny();
  o.fsRed = true;
  Manifest m = make(o);
  std::remove((t / "P.f16").c_str());
  Identity id(m);
  EXPECT_TRUE(id.hasFsRed());
  EXPECT_EQ(id.priorBackend(), "none");
  const std::string raw = test::readFile(t / "fs_red.f16");
  EXPECT_EQ(std::memcmp(id.fsRed(2), raw.data() + 2 * 524288, 524288), 0);
  // Asking for the prior anyway fails with the cursor's refusal.
  EXPECT_THAT(errorOf([&] { id.P(0); }), StartsWith("this bundle carries neither a raw P.f16 nor P_hevc.mov"));
}

TEST_F(IdentityTest, RefusesBundlesWithoutAWarpPrior) {
  Manifest m = make(tiny());
  std::remove((t / "P.f16").c_str());
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
            "from \xE2\x80\x94 the renderer has no warp prior and qo::Identity would hand it a null pointer. REFUSING "
            "to create a session.");

  std::string text = test::readFile(t / "manifest.json");
  text.insert(text.rfind('}'), ", \"P_hevc\": \"prior.mov\"");
  test::writeFile(t / "manifest.json", text);
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" + (t / "prior.mov") +
                ") \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");

  text.insert(text.rfind('}'), ", \"P_rgb\": \"faces.f16\"");
  test::writeFile(t / "manifest.json", text);
  test::writeFile(t / "faces.f16", "x");
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "this bundle's manifest names its raw warp prior 'faces.f16' (P_rgb) but qo::Identity maps the welded name "
            "P.f16 and would find nothing \xE2\x80\x94 it maps NOTHING silently and Identity::P(si) is then an offset "
            "from a null pointer. REFUSING rather than rendering off a prior nothing will read.");
}

TEST_F(IdentityTest, ManifestMemberNamesStayInsideTheBundle) {
  Manifest m = make(tiny());
  std::remove((t / "P.f16").c_str());
  const std::string text = test::readFile(t / "manifest.json");
  for (const char* entry : {"\"P_hevc\": \"../prior.mov\"", "\"P_rgb\": \"/etc/prior.f16\""}) {
    std::string edited = text;
    edited.insert(edited.rfind('}'), std::string(", ") + entry);
    test::writeFile(t / "manifest.json", edited);
    EXPECT_THAT(errorOf([&] { Identity id(m); }), HasSubstr("', which leads outside the bundle directory")) << entry;
  }
}

TEST_F(IdentityTest, SizesThatOverflowAreRefusedBeforeAnythingIsMapped) {
  Manifest m = make(tiny());
  m.NT = 16;
  m.crop = 1 << 30;  // NT x crop x crop x 6 wraps to 0 in 64 bits
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "qo::Identity: NT=16 source frames of a 1073741824x1073741824 warp prior (NT x crop x crop x 6 bytes) do "
            "not fit in 64 bits \xE2\x80\x94 refusing a manifest whose members cannot be addressed");
}

TEST_F(IdentityTest, MoviePriorPlaysThroughACursor) {
  devkit::DemoOptions o = tiny();
  o.priorMovie = true;
  Manifest m = make(o);
  EXPECT_FALSE(fs::exists(t / "P.f16"));
  testing::internal::CaptureStderr();
  {
    Identity id(m);
    EXPECT_EQ(id.hevcPath(), t / "P_hevc.mov");
    EXPECT_THAT(id.priorBackend(), StartsWith("hevc444/libavcodec "));
    auto direct = driver::openPriorHevc(t / "P_hevc.mov", 3, 16);
    std::vector<uint8_t> want(direct->frameBytes());
    for (int si = 0; si < 3; ++si) {
      ASSERT_TRUE(direct->next(want.data()));
      EXPECT_EQ(std::memcmp(id.P(si), want.data(), want.size()), 0) << si;
    }
    id.walkP(0);  // still in the history: no seek
    EXPECT_GT(id.priorResidentBytes(), 0u);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("[qo-prior] P_hevc.mov decoded IN PLACE"));
  EXPECT_THAT(log, HasSubstr("[qo-prior] closed: 0 source seek(s) over the session (hevc444/libavcodec "));
}

TEST_F(IdentityTest, ExactMemberSizes) {
  Manifest m = make(tiny());
  std::string M = test::readFile(t / "M.f32");
  test::writeFile(t / "M.f32", M.substr(0, M.size() - 4));
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + (t / "M.f32"));
  test::writeFile(t / "M.f32", M + std::string(4, '\0'));
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + (t / "M.f32"));
  test::writeFile(t / "M.f32", M);

  std::string pooled = test::readFile(t / "pooled64.f16");
  test::writeFile(t / "pooled64.f16", pooled.substr(1));
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + (t / "pooled64.f16"));
  std::remove((t / "pooled64.f16").c_str());
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "cannot open " + (t / "pooled64.f16"));
}

TEST_F(IdentityTest, TransformsAreRescaledFromTheStampCanvas) {
  devkit::DemoOptions o = tiny();
  o.width = 96;
  o.height = 54;
  o.stampWidth = 192;  // authored at twice the canvas
  o.stampHeight = 108;
  Manifest m = make(o);
  Identity id(m);
  for (int si = 0; si < 3; ++si) {
    const std::array<float, 6> want = devkit::demoTransform(si, 3, 96, 54, 16);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(id.M(si)[k], want[k]) << si << "," << k;  // halved exactly
  }
  Manifest unstamped = m;
  unstamped.M_src_w = 0;
  EXPECT_THAT(errorOf([&] { id.rescaleM(unstamped); }),
              StartsWith("qo::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h)"));
}

TEST_F(IdentityTest, DriveTables) {
  devkit::DemoOptions o = tiny();
  o.frames = 5;
  Manifest m = make(o);
  Drive d = loadDrive(m);
  EXPECT_EQ(d.frames, 5);
  ASSERT_EQ(d.xs.size(), 5u * 63);
  ASSERT_EQ(d.si.size(), 5u);
  EXPECT_EQ(d.si[4], 1);  // 4 mod NT
  const std::array<float, 63> open4 = devkit::faceKeypoints(devkit::demoIdleOpen(4));
  EXPECT_EQ(std::vector<float>(d.xd.begin() + 4 * 63, d.xd.end()), std::vector<float>(open4.begin(), open4.end()));

  std::vector<int32_t> bad = {0, 1, 2, 3, 0};
  test::writeFile(t / "drive/si.i32", std::string(reinterpret_cast<const char*>(bad.data()), 20));
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "drive: si out of range");
  test::writeFile(t / "drive/si.i32", std::string(16, '\0'));
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + (t / "drive/si.i32"));

  // The older layout's names are found too.
  fs::mkdirs(t / "idle_loop");
  std::rename((t / "drive/xs.f32").c_str(), (t / "idle_loop/source_keypoints.f32").c_str());
  test::writeFile(t / "drive/si.i32", std::string(20, '\0'));
  EXPECT_EQ(loadDrive(m).xs, d.xs);
}

// The size is compared before anything is allocated: no gigabytes, no std::bad_alloc.
TEST_F(IdentityTest, HugeDeclaredDriveTablesAreRefusedBySize) {
  devkit::DemoOptions o = tiny();
  Manifest m = make(o);
  m.frames = 200000000;
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + (t / "drive/xs.f32"));
  EXPECT_EQ(errorOf([&] { readRaw<int32_t>(t / "drive/si.i32", ~uint64_t{0} / 2); }),
            "size mismatch " + (t / "drive/si.i32"));
  EXPECT_EQ(errorOf([&] { readRaw<float>(t.path(), 1); }), "size mismatch " + t.path());  // a directory
}

TEST_F(IdentityTest, ZeroDriveFramesNeedEmptyMembers) {
  devkit::DemoOptions o = tiny();
  o.frames = 0;
  Manifest m = make(o);
  EXPECT_EQ(loadDrive(m).frames, 0);
  test::writeFile(t / "drive/xd.f32", std::string(4, '\0'));
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + (t / "drive/xd.f32"));
}

}  // namespace
}  // namespace qo
