#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bundle/qo_fs.h"
#include "support/test_support.h"

namespace qo::fs {
namespace {

using test::TempDir;

TEST(FsNames, BaseAndDirName) {
  EXPECT_EQ(baseName("a/b/avatar.imx"), "avatar.imx");
  EXPECT_EQ(baseName("a/b/dir//"), "dir");
  EXPECT_EQ(baseName("plain"), "plain");
  EXPECT_EQ(dirName("a/b/avatar.imx"), "a/b");
  EXPECT_EQ(dirName("a/b/dir/"), "a/b");
  EXPECT_EQ(dirName("plain"), ".");
  EXPECT_EQ(dirName("/top"), "/");
  EXPECT_EQ(dirName("/top/"), "/");
}

TEST(FsMkdirs, CreatesParentsAndAcceptsExisting) {
  TempDir t;
  EXPECT_TRUE(mkdirs(""));
  EXPECT_TRUE(mkdirs("/"));
  EXPECT_TRUE(mkdirs("."));
  EXPECT_TRUE(mkdirs(t / "x/y/z"));
  EXPECT_TRUE(isDirectory(t / "x/y/z"));
  EXPECT_TRUE(mkdirs(t / "x/y/z"));  // already there
  test::writeFile(t / "file", "f");
  EXPECT_FALSE(mkdirs(t / "file"));      // a file is in the way
  EXPECT_FALSE(mkdirs(t / "file/sub"));  // and cannot be a parent
}

TEST(FsRmTree, RemovesEverythingButNeverFollowsLinks) {
  TempDir t;
  test::writeFile(t / "outside/keep.txt", "precious");
  test::writeFile(t / "tree/a/b/c.bin", "x");
  test::writeFile(t / "tree/top.bin", "y");
  ASSERT_EQ(::symlink((t / "outside").c_str(), (t / "tree/a/link").c_str()), 0);
  rmTree(t / "tree");
  EXPECT_FALSE(exists(t / "tree"));
  EXPECT_EQ(test::readFile(t / "outside/keep.txt"), "precious");
  rmTree(t / "does-not-exist");  // silently nothing
  test::writeFile(t / "single", "z");
  rmTree(t / "single");
  EXPECT_FALSE(exists(t / "single"));
}

}  // namespace
}  // namespace qo::fs
