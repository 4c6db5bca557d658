#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bundle/qo_imx.h"
#include "capi/qo_ctx.h"
#include "compute/qo_pool.h"
#include "qo/qo.h"
#include "support/test_support.h"
#include "tools/devkit/demo_bundle.h"

namespace {

using qo::test::manifestText;
using qo::test::TempDir;
using qo::test::writeFile;

qo::devkit::DemoOptions tinyDemo() { return qo::devkit::DemoOptions::tiny(); }

class ContextTest : public ::testing::Test {
 protected:
  qo::test::ScopedEnv noRoot{"QO_IMX_UNWRAP_ROOT", nullptr};
  TempDir t;
  void SetUp() override { qo::devkit::writeDemoBundle(t.path(), tinyDemo()); }
};

TEST_F(ContextTest, CreateReadsTheBundleAndAnswersGetters) {
  qo_ctx* ctx = qo_create(t.path().c_str(), "b1", 3, "");
  ASSERT_NE(ctx, nullptr) << qo_last_error();
  EXPECT_STREQ(qo_last_error(), "");
  EXPECT_EQ(qo_nt(ctx), 4);
  EXPECT_EQ(qo_width(ctx), 96);
  EXPECT_EQ(qo_height(ctx), 64);
  EXPECT_EQ(qo_crop(ctx), 32);
  EXPECT_EQ(qo_drive_frames(ctx), 4);
  EXPECT_EQ(ctx->threads, 3);
  EXPECT_EQ(ctx->frame.size(), size_t(96 * 64 * 3));
  EXPECT_EQ(ctx->last_crop, nullptr);
  qo_destroy(ctx);
}

TEST_F(ContextTest, DefaultThreadsAndNullEp) {
  for (int threads : {0, -5}) {
    qo_ctx* ctx = qo_create(t.path().c_str(), "b1", threads, nullptr);
    ASSERT_NE(ctx, nullptr) << qo_last_error();
    EXPECT_EQ(ctx->threads, qo::pool::threads());
    EXPECT_EQ(ctx->ep, "");
    qo_destroy(ctx);
  }
}

TEST_F(ContextTest, NullArgumentsAndFailuresSetTheText) {
  EXPECT_EQ(qo_create(nullptr, "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_create: NULL bundle_dir/model_key");
  EXPECT_EQ(qo_create(t.path().c_str(), nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_create: NULL bundle_dir/model_key");

  const std::string good = qo::test::readFile(t / "manifest.json");
  writeFile(t / "manifest.json", manifestText(96, 64, 32, 0));
  EXPECT_EQ(qo_create(t.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_create: manifest: bad dims");

  // Getters neither fail nor touch the text.
  EXPECT_EQ(qo_nt(nullptr), 0);
  EXPECT_EQ(qo_width(nullptr), 0);
  EXPECT_EQ(qo_height(nullptr), 0);
  EXPECT_EQ(qo_crop(nullptr), 0);
  EXPECT_EQ(qo_drive_frames(nullptr), 0);
  qo_destroy(nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_create: manifest: bad dims");

  // A successful call clears it.
  writeFile(t / "manifest.json", good);
  qo_ctx* ctx = qo_create(t.path().c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr);
  EXPECT_STREQ(qo_last_error(), "");
  qo_destroy(ctx);
}

TEST_F(ContextTest, MaskMustHoldCropSquaredBytes) {
  const std::string mask = qo::test::readFile(t / "mask_512.u8");
  ASSERT_EQ(mask.size(), 32u * 32);
  writeFile(t / "mask_512.u8", mask.substr(1));
  EXPECT_EQ(qo_create(t.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_create: mask read failed");
  writeFile(t / "mask_512.u8", mask + std::string(32 * 32 * 3, '\x80'));  // a mask of a larger crop
  EXPECT_EQ(qo_create(t.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(qo_last_error()),
            "qo_create: the paste mask " + (t / "mask_512.u8") +
                " holds 4096 bytes but crop 32 needs exactly 1024 (crop x crop) \xE2\x80\x94 a mask laid out for "
                "another crop would be misread. REFUSING to create a session.");
  std::remove((t / "mask_512.u8").c_str());
  writeFile(t / "paste_mask.u8", mask);  // the older name
  qo_ctx* ctx = qo_create(t.path().c_str(), "b1", 1, nullptr);
  EXPECT_NE(ctx, nullptr) << qo_last_error();
  qo_destroy(ctx);
}

TEST_F(ContextTest, RendererFailuresComeThrough) {
  EXPECT_EQ(qo_create(t.path().c_str(), "b9", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(qo_last_error()), "qo_create: Renderer: cannot open " + (t / "model_b9.onnx"));
  EXPECT_EQ(qo_create(t.path().c_str(), "b1", 1, "cpu"), nullptr);
  EXPECT_STREQ(qo_last_error(), "qo_create: Renderer: unknown ep 'cpu'");
  qo_ctx* ctx = qo_create(t.path().c_str(), "b1", 2, nullptr);
  ASSERT_NE(ctx, nullptr) << qo_last_error();
  EXPECT_STREQ(ctx->renderer->ep(), "cpu");
  EXPECT_EQ(ctx->renderer->batch(), 1);
  qo_destroy(ctx);
}

TEST_F(ContextTest, MemberFailuresNameTheMember) {
  std::remove((t / "drive/si.i32").c_str());
  EXPECT_EQ(qo_create(t.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(qo_last_error()), "qo_create: cannot open " + (t / "drive/si.i32"));
}

TEST_F(ContextTest, ContainerFailuresComeBackThroughTheText) {
  writeFile(t / "old.imx", qo::test::imxBytes({{"manifest.json", "{}"}}, 1));
  EXPECT_EQ(qo_create((t / "old.imx").c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(qo_last_error()), "qo_create: " + (t / "old.imx") + ": unsupported IMX container version 1");

  TempDir src;
  qo::devkit::writeDemoBundle(src.path(), tinyDemo());
  qo::imx::pack(src.path(), t / "ok.imx");
  qo_ctx* ctx = qo_create((t / "ok").c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << qo_last_error();
  EXPECT_EQ(ctx->manifest.dir, t / "ok.qobundle");
  qo_destroy(ctx);
}

TEST_F(ContextTest, LastErrorIsPerThread) {
  EXPECT_EQ(qo_create(nullptr, nullptr, 0, nullptr), nullptr);
  std::string seenElsewhere = "unset";
  std::thread other([&] {
    seenElsewhere = qo_last_error();
    qo_create("/nonexistent/bundle", "b1", 1, nullptr);
  });
  other.join();
  EXPECT_EQ(seenElsewhere, "");
  EXPECT_STREQ(qo_last_error(), "qo_create: NULL bundle_dir/model_key");
  EXPECT_EQ(qo_host_kp_rows(), 21);
  EXPECT_EQ(qo::kHostKpRows, 21);
}

}  // namespace
