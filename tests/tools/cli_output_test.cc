// What the qo tool writes: progress that suits a terminal and a log, and a bundle path's diagnosis.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/qo_imx.h"
#include "support/test_support.h"
#include "tools/qo/bundle_check.h"
#include "tools/qo/commands.h"
#include "tools/qo/progress.h"
#include "tools/devkit/demo_tessera.h"

namespace qo::tool {
namespace {

using ::testing::HasSubstr;

std::string contents(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

TEST(Progress, LiveLineOnlyOnATerminal) {
  FILE* log = std::tmpfile();
  {
    Progress p(log);
    EXPECT_FALSE(p.isLive());
    p.live("[x] frame %d", 1);
    p.stage("[x] %s", "started");
    p.live("[x] frame %d", 2);
    p.stage("[x] done");
  }
  EXPECT_EQ(contents(log), "[x] started\n[x] done\n");
  std::fclose(log);

  FILE* tty = std::tmpfile();
  {
    Progress p(tty, true);
    p.live("[x] frame %d", 10);
    p.live("[x] frame %d", 10);  // unchanged: not written again
    p.live("[x] frame %d", 9);
    p.stage("[x] done");
    p.live("[x] frame %d", 1);
  }
  EXPECT_EQ(contents(tty), "\r[x] frame 10\r[x] frame 9 \r            \r[x] done\n\r[x] frame 1\n");
  std::fclose(tty);

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  FILE* terminal = std::fopen(::ptsname(master), "w");
  ASSERT_NE(terminal, nullptr);
  EXPECT_TRUE(Progress(terminal).isLive());
  std::fclose(terminal);
  ::close(master);
}

TEST(BundleCheck, SaysWhatAPathIsNot) {
  test::TempDir t;
  test::writeFile(t / "notes.txt", "hello");
  EXPECT_EQ(whyNotABundle(t / "notes.txt"),
            (t / "notes.txt") + " is neither a bundle directory nor an IMX container: it is a file of 5 bytes that "
                                "does not begin with the IMX magic");
  EXPECT_EQ(whyNotABundle(t / "nothing"),
            (t / "nothing") + " does not exist, and neither does " + (t / "nothing.imx") +
                ": it is neither a bundle directory nor an IMX container");
  EXPECT_EQ(whyNotABundle(t.path()), "");  // a directory: its manifest is checked when it is loaded
  test::writeFile(t / "a.imx", test::imxBytes({}));
  EXPECT_EQ(whyNotABundle(t / "a"), "");  // the container beside it
  EXPECT_EQ(whyNotABundle(t / "a.imx"), "");

  char* argv[] = {const_cast<char*>("")};
  const std::string notes = t / "notes.txt";
  argv[0] = const_cast<char*>(notes.c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(cmdInfo(1, argv), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "qo info: " + whyNotABundle(notes) + "\n");
}

TEST(Info, ShowsTheTeethCarriage) {
  test::TempDir t;
  test::writeFile(t / "manifest.json", test::manifestText());
  devkit::writeDemoTessera(t.path(), 32, 4);
  std::string dir = t.path();
  char* argv[] = {dir.data()};
  testing::internal::CaptureStdout();
  EXPECT_EQ(cmdInfo(1, argv), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("tessera    complete (4 of 4 members)\n"));
  EXPECT_THAT(out, HasSubstr("  loaded                 4 donors, band "));
  std::remove((t / "tessera_head.v1.pt").c_str());
  testing::internal::CaptureStdout();
  EXPECT_EQ(cmdInfo(1, argv), 0);
  out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("tessera    incomplete (3 of 4 members)\n"));
  EXPECT_THAT(out, HasSubstr("  head_weights           missing (tessera_head.v1.pt)\n"));
}

}  // namespace
}  // namespace qo::tool
