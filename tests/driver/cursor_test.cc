#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qo/qo_driver.h"
#include "tests/driver/movie_fixtures.h"

namespace qo {
namespace {

using test::FakeSource;
using ::testing::EndsWith;
using ::testing::StartsWith;

constexpr int kW = 4, kH = 2;
constexpr size_t kBytes = kW * kH * 3;

std::unique_ptr<DriverCursor> cursor(int nt, int ahead, int back, FakeSource::Stats* stats, int length = -1) {
  return DriverCursor::over(std::make_unique<FakeSource>(nt, length < 0 ? nt : length, kW, kH, stats), ahead, back);
}

// The frame index a fake frame carries.
int frameOf(const uint8_t* p, int nt) {
  for (int i = 0; i < nt; ++i)
    if (p[0] == FakeSource::byteOf(i)) return i;
  return -1;
}

TEST(Cursor, SequentialPullsLoopWithoutSeeking) {
  FakeSource::Stats stats;
  auto c = cursor(5, 2, 3, &stats);
  EXPECT_EQ(c->NT(), 5);
  EXPECT_EQ(c->frameBytes(), kBytes);
  EXPECT_EQ(c->name(), "fake");
  std::vector<uint8_t> buf(kBytes);
  for (int k = 0; k < 17; ++k) {
    EXPECT_EQ(c->position(), k % 5);
    EXPECT_EQ(c->pull(buf.data()), k % 5);
    EXPECT_EQ(frameOf(buf.data(), 5), k % 5);
  }
  EXPECT_EQ(c->seeks(), 0u);
  EXPECT_EQ(stats.seeks.load(), 0);
  EXPECT_GE(stats.rewinds.load(), 3);  // the loop wraps by rewinding, not seeking
  EXPECT_EQ(c->residentBytes(), kBytes * (3 + 2 + 1) + 1234);
}

TEST(Cursor, HistoryHitsCostNoSeek) {
  FakeSource::Stats stats;
  auto c = cursor(50, 2, 11, &stats);
  int si;
  for (int k = 0; k < 20; ++k) c->pull(&si);
  // The last back + 1 = 12 frames taken are 8..19.
  for (int k : {19, 8, 12, 19, 15}) {
    int got;
    const uint8_t* p = c->pullAt(k, &got);
    EXPECT_EQ(got, k);
    EXPECT_EQ(frameOf(p, 50), k);
  }
  EXPECT_EQ(c->seeks(), 0u);
  // After serving 15 from history, sequential pulls continue from 16.
  EXPECT_EQ(c->pull(&si)[0], FakeSource::byteOf(16));
  EXPECT_EQ(si, 16);
  EXPECT_EQ(c->seeks(), 0u);
}

TEST(Cursor, FarJumpCostsOneSourceSeek) {
  FakeSource::Stats stats;
  auto c = cursor(100, 2, 4, &stats);
  std::vector<uint8_t> buf(kBytes);
  c->pull(buf.data());
  EXPECT_EQ(c->pullAt(70, buf.data()), 70);
  EXPECT_EQ(frameOf(buf.data(), 100), 70);
  EXPECT_EQ(c->seeks(), 1u);
  EXPECT_EQ(c->pull(buf.data()), 71);
  EXPECT_EQ(c->pullAt(3, buf.data()), 3);  // behind the history: another seek
  EXPECT_EQ(c->seeks(), 2u);
  EXPECT_EQ(stats.seeks.load(), 2);
}

TEST(Cursor, MutablePullsAreNeverServedAgain) {
  auto c = cursor(40, 2, 11, nullptr);
  int si;
  uint8_t* p = c->pullMut(&si);
  EXPECT_EQ(si, 0);
  p[0] = 0xEE;  // the caller owns this frame now
  c->pull(&si);
  c->pull(&si);
  int got;
  const uint8_t* again = c->pullAt(0, &got);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(again[0], FakeSource::byteOf(0));  // decoded afresh, not the modified slot
  EXPECT_EQ(c->seeks(), 1u);
}

TEST(Cursor, SeekOutsideTheLoopIsRefused) {
  auto c = cursor(6, 2, 2, nullptr);
  try {
    c->seek(6);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "qo_driver: seek(6) outside [0,6)");
  }
  EXPECT_THROW(c->seek(-1), std::runtime_error);
  std::vector<uint8_t> buf(kBytes);
  EXPECT_EQ(c->pull(buf.data()), 0);  // still healthy
}

TEST(Cursor, ShortSourceFailsEveryLaterCall) {
  auto c = cursor(5, 2, 2, nullptr, /*length=*/3);
  std::vector<uint8_t> buf(kBytes);
  // Frames already decoded may or may not be served before the failure lands; once it has, every
  // call reports it.
  int served = 0;
  try {
    for (; served < 10; ++served) EXPECT_EQ(c->pull(buf.data()), served);
  } catch (const std::runtime_error&) {
  }
  EXPECT_LE(served, 3);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      c->pull(buf.data());
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), StartsWith("qo_driver: fake ended after 3 frames, the manifest says NT=5"));
      EXPECT_THAT(e.what(), EndsWith("\xE2\x80\x94 a short driver is a session that stops part way through the loop, "
                                     "refusing"));
    }
  }
  EXPECT_THROW(c->seek(1), std::runtime_error);
}

TEST(Cursor, ZeroCopyFramesStayValidForBackPulls) {
  auto c = cursor(30, 2, 5, nullptr);
  int si;
  const uint8_t* first = c->pull(&si);
  for (int k = 0; k < 5; ++k) c->pull(&si);
  EXPECT_EQ(first[0], FakeSource::byteOf(0));  // 5 further pulls: still untouched
  EXPECT_EQ(first[kBytes - 1], FakeSource::byteOf(0));
}

// A decoder waiting for room must be woken by the destructor; a hang here fails by timeout.
TEST(Cursor, DestructionWakesADecoderWaitingForRoom) {
  FakeSource::Stats stats;
  auto c = cursor(1000, 3, 2, &stats);
  while (stats.nexts.load() < 3) std::this_thread::yield();  // the look-ahead is full
  c.reset();
  EXPECT_EQ(stats.nexts.load(), 3);
}

TEST(Cursor, ConsumersOnSeveralThreadsAreSerialised) {
  auto c = cursor(64, 2, 11, nullptr);
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      std::vector<uint8_t> buf(kBytes);
      for (int k = 0; k < 200; ++k) {
        int want = (k * 7 + t * 13) % 64;
        if (c->pullAt(want, buf.data()) != want || frameOf(buf.data(), 64) != want) ++bad;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace qo
