#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
  EXPECT_THAT(readFile(dir + ".imx_unwrapped"), ::testing::StartsWith("avatar.imx\n"));
}

TEST_F(ImxTest, SecondLoadWithMarkerWritesAndPrintsNothing) {
  writeFile(t / "a.imx", imxBytes({{"manifest.json", "{\"v\":1}"}}));
  const std::string dir = resolveBundlePath(t / "a.imx");
  writeFile(dir + "/manifest.json", "edited");  // a reused unwrap must not be rewritten
  testing::internal::CaptureStderr();
  EXPECT_EQ(resolveBundlePath(t / "a.imx"), dir);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(readFile(dir + "/manifest.json"), "edited");
  // Removing the marker invalidates the unwrap, and so does another container under the name.
  ::unlink((dir + ".imx_unwrapped").c_str());
  resolveBundlePath(t / "a.imx");
  EXPECT_EQ(readFile(dir + "/manifest.json"), "{\"v\":1}");
  writeFile(t / "a.imx", imxBytes({{"manifest.json", "{\"v\":22}"}}));
  EXPECT_EQ(resolveBundlePath(t / "a.imx"), dir);
  EXPECT_EQ(readFile(dir + "/manifest.json"), "{\"v\":22}");
}

// The state a crash mid-unwrap leaves: a marker from an earlier complete unwrap of this very
// container (same size and time) beside a directory being rebuilt.
TEST_F(ImxTest, MarkerOfAnEarlierUnwrapNeverVouchesForAPartialOne) {
  const std::string good = imxBytes({{"a.bin", "aaaa"}, {"b.bin", "bbbb"}});
  writeFile(t / "a.imx", good);
  struct stat st;
  ASSERT_EQ(::stat((t / "a.imx").c_str(), &st), 0);
  const std::string dir = resolveBundlePath(t / "a.imx");
  fs::rmTree(dir);
  std::string bad = good;
  bad[8 + 23 + 2 + 5 + 8] = 5;  // b.bin's size now runs one byte past the end
  writeFile(t / "a.imx", bad);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "a.imx").c_str(), times, 0), 0);
  const std::string truncated = (t / "a.imx") + ": truncated payload for member b.bin";
  EXPECT_EQ(errorOf(t / "a.imx"), truncated);
  EXPECT_FALSE(fileExists(dir + ".imx_unwrapped"));
  EXPECT_EQ(errorOf(t / "a.imx"), truncated);  // never the partial directory
}

TEST_F(ImxTest, SameNamedContainersUnderOneRootKeepTheirOwnUnwraps) {
  TempDir root;
  test::ScopedEnv env("QO_IMX_UNWRAP_ROOT", root.path().c_str());
  writeFile(t / "a/avatar.imx", imxBytes({{"who", "a"}}));
  writeFile(t / "b/avatar.imx", imxBytes({{"who", "b"}}));
  const std::string a = resolveBundlePath(t / "a/avatar.imx");
  const std::string b = resolveBundlePath(t / "b/avatar.imx");
  EXPECT_NE(a, b);
  testing::internal::CaptureStderr();
  EXPECT_EQ(resolveBundlePath(t / "a/avatar.imx"), a);
  EXPECT_EQ(resolveBundlePath(t / "b/avatar.imx"), b);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // both reused, neither redone
  EXPECT_EQ(readFile(a + "/who"), "a");
  EXPECT_EQ(readFile(b + "/who"), "b");
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

TEST_F(ImxTest, DuplicateAndReservedMemberNamesRefuseTheWholeContainer) {
  writeFile(t / "dup.imx", imxBytes({{"x.bin", "1"}, {"y", "2"}, {"x.bin", "3"}}));
  EXPECT_EQ(errorOf(t / "dup.imx"), (t / "dup.imx") +
                                        ": refusing duplicate member name 'x.bin' \xE2\x80\x94 entries 0 and 2 both "
                                        "unpack to x.bin, and only one of them could survive");
  writeFile(t / "same.imx", imxBytes({{"d/x", "1"}, {"d//./x", "2"}}));
  EXPECT_THAT(errorOf(t / "same.imx"), HasSubstr(": refusing duplicate member name 'd//./x' \xE2\x80\x94 entries 0 and 1"));
  writeFile(t / "part.imx", imxBytes({{"y.part", "1"}, {"y", "2"}}));
  EXPECT_EQ(errorOf(t / "part.imx"), (t / "part.imx") +
                                         ": refusing member name 'y.part' \xE2\x80\x94 names ending in \".part\" are "
                                         "reserved for members being unpacked");
  for (const char* c : {"dup", "same", "part"}) {
    EXPECT_FALSE(fileExists(t / (std::string(c) + ".qobundle.imx_unwrapped"))) << c;
    EXPECT_FALSE(fileExists(t / (std::string(c) + ".qobundle/y"))) << c;  // nothing written
  }
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

  // Under a shared root the name also carries a hash of where the container lives.
  TempDir root;
  test::ScopedEnv env("QO_IMX_UNWRAP_ROOT", (root.path() + "//").c_str());
  const std::string shared = imx::unwrapDirFor(t / "sub/anna.imx");
  EXPECT_THAT(shared, ::testing::MatchesRegex(root.path() + "/anna-[0-9a-f]{16}\\.qobundle"));
  EXPECT_EQ(imx::unwrapDirFor(t / "sub/../sub/anna.imx"), shared);
  EXPECT_EQ(resolveBundlePath(t / "sub/anna.imx"), shared);
  EXPECT_TRUE(fileExists(shared + "/f"));
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

// Four processes resolve one container at once: one unwraps, the others wait and reuse it, and
// every one of them sees whole members.
TEST_F(ImxTest, ConcurrentProcessesUnwrapOnceAndSeeWholeMembers) {
  const std::string a(size_t(8) << 20, 'a'), b(size_t(8) << 20, 'b');
  writeFile(t / "src/a.bin", a);
  writeFile(t / "src/b.bin", b);
  imx::pack(t / "src", t / "c.imx");
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> kids;
  for (int k = 0; k < 4; ++k) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      (void)::read(gate[0], &c, 1);  // returns when the parent closes the gate
      const int log = ::open((t / ("log" + std::to_string(k))).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(log, 2);
      int rc = 0;
      try {
        const std::string dir = resolveBundlePath(t / "c.imx");
        rc = readFile(dir + "/a.bin") == a && readFile(dir + "/b.bin") == b ? 0 : 3;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        rc = 2;
      }
      std::fflush(stderr);
      ::_exit(rc);
    }
    kids.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);
  std::string logs;
  for (size_t k = 0; k < kids.size(); ++k) {
    int status = -1;
    ASSERT_EQ(::waitpid(kids[k], &status, 0), kids[k]);
    logs += readFile(t / ("log" + std::to_string(k)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << k << " status " << status;
  }
  size_t unwraps = 0;
  for (size_t at = 0; (at = logs.find("[qo] unwrapped", at)) != std::string::npos; ++at) ++unwraps;
  EXPECT_EQ(unwraps, 1u) << logs;
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
  ::unlink((t / "src/a..b").c_str());
  writeFile(t / "src/y.part", "3");
  try {
    imx::pack(t / "src", t / "x.imx");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), (t / "src") + ": refusing member name 'y.part' \xE2\x80\x94 names ending in "
                                                   "\".part\" are reserved for members being unpacked");
  }
  EXPECT_FALSE(fileExists(t / "x.imx"));
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
