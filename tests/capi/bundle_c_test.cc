#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qo/qo.h"
#include "support/test_support.h"

namespace {

using qo::test::TempDir;
using qo::test::writeFile;

class BundleCTest : public ::testing::Test {
 protected:
  qo::test::ScopedEnv noRoot{"QO_IMX_UNWRAP_ROOT", nullptr};
  TempDir t;
};

TEST_F(BundleCTest, ResolveHandleCopiesOrReports) {
  writeFile(t / "a.imx", qo::test::imxBytes({{"manifest.json", "{}"}}));
  const std::string dir = t / "a.qobundle";
  std::vector<char> out(dir.size() + 1, 'x');
  EXPECT_EQ(qo_bundle_resolve_handle((t / "a").c_str(), out.data(), out.size()), 1);
  EXPECT_EQ(std::string(out.data()), dir);
  EXPECT_STREQ(qo_last_error(), "");

  out.assign(dir.size(), 'x');
  EXPECT_EQ(qo_bundle_resolve_handle((t / "a").c_str(), out.data(), out.size()), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(qo_last_error(), "qo_bundle_resolve_handle: buffer too small");

  writeFile(t / "bad.imx", qo::test::imxBytes({{"../up", "x"}}));
  out.assign(4096, 'x');
  EXPECT_EQ(qo_bundle_resolve_handle((t / "bad.imx").c_str(), out.data(), out.size()), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(qo_last_error()),
            "qo_bundle_resolve_handle: " + (t / "bad.imx") + ": refusing unsafe member name '../up'");

  // Bad arguments: -1 and no message (the entry still cleared the old one).
  EXPECT_EQ(qo_bundle_resolve_handle(nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(qo_bundle_resolve_handle("x", nullptr, 10), -1);
  EXPECT_EQ(qo_bundle_resolve_handle("x", out.data(), 0), -1);
  EXPECT_STREQ(qo_last_error(), "");
}

TEST_F(BundleCTest, ResolveMemberExactBufferAndExistence) {
  writeFile(t / "idle_loop/source_index.i32", "legacy");
  const std::string path = t / "idle_loop/source_index.i32";
  std::vector<char> out(path.size() + 1);
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), "drive/si.i32", out.data(), out.size()), 1);
  EXPECT_EQ(std::string(out.data()), path);

  std::vector<char> shortOut(path.size(), 'x');
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), "drive/si.i32", shortOut.data(), shortOut.size()), -1);
  EXPECT_EQ(shortOut[0], '\0');

  std::vector<char> big(4096);
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), "M.f32", big.data(), big.size()), 0);
  EXPECT_EQ(std::string(big.data()), t / "M.f32");

  EXPECT_EQ(qo_bundle_resolve_member(nullptr, "M.f32", big.data(), big.size()), -1);
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), nullptr, big.data(), big.size()), -1);
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), "M.f32", nullptr, 10), -1);
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), "M.f32", big.data(), 0), -1);
}

TEST_F(BundleCTest, ResolveMemberNeverTouchesTheLastError) {
  qo_create(nullptr, nullptr, 0, nullptr);  // leaves a text behind
  writeFile(t / "broken.imx", qo::test::imxBytes({{"m", "x"}}, 1));
  std::vector<char> out(4096, 'x');
  EXPECT_EQ(qo_bundle_resolve_member((t / "broken.imx").c_str(), "manifest.json", out.data(), out.size()), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(qo_last_error(), "qo_create: NULL bundle_dir/model_key");
  EXPECT_EQ(qo_bundle_resolve_member(t.path().c_str(), "x", out.data(), out.size()), 0);
  EXPECT_STREQ(qo_last_error(), "qo_create: NULL bundle_dir/model_key");
}

}  // namespace
