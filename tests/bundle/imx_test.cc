#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/qo_fs.h"
#include "bundle/qo_imx.h"
#include "qo/qo_bundle.h"
#include "support/test_support.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using test::fileExists;
using test::imxBytes;
using test::RawMember;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::string errorOf(const std::string& path) {
  try {
    resolveBundlePath(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

class ImxTest : public ::testing::Test {
 protected:
  test::ScopedEnv noRoot{"QO_IMX_UNWRAP_ROOT", nullptr};
  TempDir t;
};

TEST_F(ImxTest, PackThenUnwrapRoundTripsWithSubdirectories) {
  writeFile(t / "src/manifest.json", "{}");
  writeFile(t / "src/drive/xs.f32", std::string("\0\1\2\3", 4));
  writeFile(t / "src/empty.bin", "");
  imx::pack(t / "src", t / "avatar.imx");
  EXPECT_TRUE(isImxV2File(t / "avatar.imx"));

  testing::internal::CaptureStderr();
  const std::string dir = resolveBundlePath(t / "avatar.imx");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(dir, t / "avatar.qobundle");
  EXPECT_EQ(log, "[qo] unwrapped " + (t / "avatar.imx") + " -> " + dir + "\n");
  EXPECT_EQ(readFile(dir + "/manifest.json"), "{}");
  EXPECT_EQ(readFile(dir + "/drive/xs.f32"), std::string("\0\1\2\3", 4));
  EXPECT_TRUE(fileExists(dir + "/empty.bin"));
  EXPECT_EQ(readFile(dir + ".imx_unwrapped"), "avatar.imx");
}

TEST_F(ImxTest, SecondLoadWithMarkerWritesAndPrintsNothing) {
  writeFile(t / "a.imx", imxBytes({{"manifest.json", "{\"v\":1}"}}));
  const std::string dir = resolveBundlePath(t / "a.imx");
  writeFile(dir + "/manifest.json", "edited");  // a reused unwrap must not be rewritten
  writeFile(t / "a.imx", imxBytes({{"manifest.json", "{\"v\":2}"}}));
  testing::internal::CaptureStderr();
  EXPECT_EQ(resolveBundlePath(t / "a.imx"), dir);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(readFile(dir + "/manifest.json"), "edited");
  // Removing the marker invalidates the unwrap.
  ::unlink((dir + ".imx_unwrapped").c_str());
  resolveBundlePath(t / "a.imx");
  EXPECT_EQ(readFile(dir + "/manifest.json"), "{\"v\":2}");
}

TEST_F(ImxTest, InterruptedUnwrapIsRedoneFromScratch) {
  writeFile(t / "a.imx", imxBytes({{"x.bin", "payload"}}));
  // What a crash mid-unwrap leaves: the directory, a stray file, a .part, but no marker.
  writeFile(t / "a.qobundle/stale.bin", "old");
  writeFile(t / "a.qobundle/x.bin.part", "half");
  const std::string dir = resolveBundlePath(t / "a.imx");
  EXPECT_EQ(readFile(dir + "/x.bin"), "payload");
  EXPECT_FALSE(fileExists(dir + "/stale.bin"));
  EXPECT_FALSE(fileExists(dir + "/x.bin.part"));
  EXPECT_TRUE(fileExists(dir + ".imx_unwrapped"));
}

TEST_F(ImxTest, FailedPayloadLeavesNoMemberNoPartAndNoMarker) {
  std::string bytes = imxBytes({{"good.bin", "ok"}, {"big.bin", "0123456789"}});
  bytes.resize(bytes.size() - 4);  // big.bin's payload runs past the end
  writeFile(t / "a.imx", bytes);
  EXPECT_EQ(errorOf(t / "a.imx"), (t / "a.imx") + ": truncated payload for member big.bin");
  EXPECT_EQ(readFile(t / "a.qobundle/good.bin"), "ok");  // members before the failure stay
  EXPECT_FALSE(fileExists(t / "a.qobundle/big.bin"));
  EXPECT_FALSE(fileExists(t / "a.qobundle/big.bin.part"));
  EXPECT_FALSE(fileExists(t / "a.qobundle.imx_unwrapped"));
}

TEST_F(ImxTest, ContainerVersionsAndMagic) {
  writeFile(t / "v1.imx", imxBytes({{"m", "x"}}, 1));
  EXPECT_FALSE(isImxV2File(t / "v1.imx"));
  // Any IMX file reaches the unwrap, so the host sees the version, not a missing manifest.
  EXPECT_EQ(errorOf(t / "v1.imx"), (t / "v1.imx") + ": unsupported IMX container version 1");
  EXPECT_EQ(errorOf(t / "v1"), (t / "v1.imx") + ": unsupported IMX container version 1");
  writeFile(t / "v3.imx", imxBytes({}, 3));
  EXPECT_EQ(errorOf(t / "v3.imx"), (t / "v3.imx") + ": unsupported IMX container version 3");

  writeFile(t / "short.imx", std::string("IMX\0\2", 5));
  EXPECT_FALSE(isImxV2File(t / "short.imx"));
  EXPECT_EQ(errorOf(t / "short.imx"), (t / "short.imx") + ": not an IMX\\0 container");

  writeFile(t / "text.imx", "just some text file");
  EXPECT_FALSE(isImxV2File(t / "text.imx"));
  EXPECT_EQ(resolveBundlePath(t / "text.imx"), t / "text.imx");  // not a container: unchanged
  EXPECT_FALSE(isImxV2File(""));
  EXPECT_FALSE(isImxV2File(t.path()));  // a directory
}

TEST_F(ImxTest, EmptyContainerGivesEmptyDirectoryAndMarker) {
  writeFile(t / "none.imx", imxBytes({}));
  const std::string dir = resolveBundlePath(t / "none.imx");
  EXPECT_TRUE(fs::isDirectory(dir));
  EXPECT_TRUE(fileExists(dir + ".imx_unwrapped"));
}

TEST_F(ImxTest, UnsafeNamesRefuseTheWholeContainer) {
  for (const std::string name : {"../x", "/etc/x", "\\x", "", "a/../../x"}) {
    TempDir d;
    writeFile(d / "c.imx", imxBytes({{"ok.bin", "1"}, {name, "evil"}}));
    EXPECT_EQ(errorOf(d / "c.imx"), (d / "c.imx") + ": refusing unsafe member name '" + name + "'");
    EXPECT_FALSE(fileExists(d / "x"));
    EXPECT_FALSE(fileExists(d / "c.qobundle.imx_unwrapped"));
  }
  writeFile(t / "nul.imx", imxBytes({{std::string("a\0b", 3), "x"}}));
  EXPECT_THAT(errorOf(t / "nul.imx"), HasSubstr(": refusing unsafe member name 'a"));
  EXPECT_FALSE(fileExists(t / "nul.qobundle/a"));
}

TEST_F(ImxTest, TruncatedTableOfContents) {
  const std::string full = imxBytes({{"first", "1"}, {"second", "2"}});
  const std::string c = t / "c.imx";
  auto cut = [&](size_t n) {
    writeFile(c, full.substr(0, n));
    return errorOf(c);
  };
  // Entry 0 is 2 + 5 + 16 = 23 bytes at offset 8; entry 1 starts at 31.
  EXPECT_EQ(cut(9), c + ": truncated TOC at member 0");
  EXPECT_EQ(cut(31), c + ": truncated TOC at member 1");
  EXPECT_EQ(cut(12), c + ": truncated member name at 0");
  EXPECT_EQ(cut(20), c + ": truncated TOC offsets at member first");
}

TEST_F(ImxTest, SyntheticManifestIsNotMaterialised) {
  writeFile(t / "s.imx", imxBytes({{"manifest.json", "{\"_imx_synthetic_manifest\": true}"}, {"x", "y"}}));
  const std::string dir = resolveBundlePath(t / "s.imx");
  EXPECT_FALSE(fileExists(dir + "/manifest.json"));
  EXPECT_EQ(readFile(dir + "/x"), "y");
}

TEST_F(ImxTest, UnwrapDirectoryNaming) {
  writeFile(t / "avatar.qobundle.imx", imxBytes({}));
  EXPECT_EQ(resolveBundlePath(t / "avatar.qobundle.imx"), t / "avatar.qobundle");

  writeFile(t / "sub/anna.imx", imxBytes({{"f", "1"}}));
  EXPECT_EQ(resolveBundlePath(t / "sub/anna"), t / "sub/anna.qobundle");   // sibling .imx
  EXPECT_EQ(resolveBundlePath(t / "sub/anna/"), t / "sub/anna.qobundle");  // trailing slash
  EXPECT_EQ(resolveBundlePath(t / "sub/missing"), t / "sub/missing");      // nothing there: unchanged
  EXPECT_EQ(resolveBundlePath(""), "");
  EXPECT_EQ(resolveBundlePath(t / "sub"), t / "sub");                      // a directory as is

  TempDir root;
  test::ScopedEnv env("QO_IMX_UNWRAP_ROOT", (root.path() + "//").c_str());
  EXPECT_EQ(imx::unwrapDirFor(t / "sub/anna.imx"), root / "anna.qobundle");
  EXPECT_EQ(resolveBundlePath(t / "sub/anna.imx"), root / "anna.qobundle");
  EXPECT_TRUE(fileExists(root / "anna.qobundle/f"));
}

TEST_F(ImxTest, ContainerNamedLikeItsUnwrapDirectoryIsNeverDeleted) {
  const std::string bytes = imxBytes({{"f", "1"}});
  writeFile(t / "avatar.qobundle", bytes);  // a container without .imx, reached as "p itself"
  EXPECT_EQ(errorOf(t / "avatar.qobundle"), "cannot create unwrap dir " + (t / "avatar.qobundle"));
  EXPECT_EQ(readFile(t / "avatar.qobundle"), bytes);

  writeFile(t / "b.imx", bytes);
  writeFile(t / "b.qobundle", "a file where the directory would go");
  EXPECT_EQ(errorOf(t / "b.imx"), "cannot create unwrap dir " + (t / "b.qobundle"));
  EXPECT_EQ(readFile(t / "b.qobundle"), "a file where the directory would go");
}

TEST_F(ImxTest, ConcurrentLoadsUnwrapOnce) {
  writeFile(t / "src/a.bin", std::string(100000, 'a'));
  writeFile(t / "src/b.bin", std::string(100000, 'b'));
  imx::pack(t / "src", t / "c.imx");
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  std::vector<std::string> dirs(6);
  for (size_t i = 0; i < dirs.size(); ++i) threads.emplace_back([&, i] { dirs[i] = resolveBundlePath(t / "c.imx"); });
  for (auto& th : threads) th.join();
  const std::string log = testing::internal::GetCapturedStderr();
  for (const auto& d : dirs) EXPECT_EQ(d, t / "c.qobundle");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(readFile(t / "c.qobundle/b.bin"), std::string(100000, 'b'));
}

TEST_F(ImxTest, PackRefusesWhatCannotBeReadOrUnpackedSafely) {
  EXPECT_THROW(imx::pack(t / "nowhere", t / "x.imx"), std::runtime_error);
  writeFile(t / "src/ok.bin", "1");
  writeFile(t / "src/a..b", "2");  // would be refused by every reader
  try {
    imx::pack(t / "src", t / "x.imx");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), (t / "src") + ": refusing unsafe member name 'a..b'");
  }
  EXPECT_FALSE(fileExists(t / "x.imx"));
  EXPECT_FALSE(fileExists(t / "x.imx.part"));
}

TEST_F(ImxTest, PackAlignsPayloadsInSortedOrder) {
  writeFile(t / "src/b.bin", "bb");
  writeFile(t / "src/a/z.bin", "z");
  writeFile(t / "src/a.bin", "a");
  imx::pack(t / "src", t / "x.imx");
  const std::string bytes = readFile(t / "x.imx");
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(bytes[6], 3);
  size_t pos = 8;
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    size_t len = uint8_t(bytes[pos]) | (uint8_t(bytes[pos + 1]) << 8);
    names.push_back(bytes.substr(pos + 2, len));
    uint64_t offset = 0;
    for (int k = 7; k >= 0; --k) offset = (offset << 8) | uint8_t(bytes[pos + 2 + len + k]);
    EXPECT_EQ(offset % 64, 0u) << names.back();
    pos += 2 + len + 16;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "a/z.bin", "b.bin"}));
}

}  // namespace
}  // namespace qo
