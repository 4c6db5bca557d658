// Once-per-process behaviour: the executor line, and a steady state that allocates nothing.
// Counting replaces the global operator new of this test binary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "paste/paste_test_util.h"
#include "paste/qo_paste_share.h"
#include "qo/qo_pool.h"

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
}  // namespace

// Both halves are replaced together, so malloc and free do pair up.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace qo {
namespace {

using ref::Sampling;

class pasteSteadyState : public testing::TestWithParam<Sampling> {};

TEST_P(pasteSteadyState, FramesAfterTheWidestAllocateNothing) {
  constexpr int kSide = 64, kW = 320, kH = 200;
  std::mt19937 rng(3);
  Paste paste = test::pasteIn(GetParam(), test::featheredMask(kSide, rng), kSide, Unsharp{});
  const std::vector<float> crop = test::randomCrop(kSide, rng);
  test::GuardedFrame frame(kW, kH, rng);
  const std::vector<uint8_t> before = frame.pixels();
  // The widest footprint first: the column tables grow to it here.
  paste.composite(crop.data(), 255.0f, test::similarity(2.5f, 0.4f, 120.0f, 10.0f).m, frame.data(), kW, kH);
  gAllocations = 0;
  gCounting = true;
  for (int i = 0; i < 4; ++i) {
    const test::Affine M = test::similarity(0.9f + 0.2f * i, 0.1f * i, 40.0f + 30.0f * i, 20.0f);
    paste.composite(crop.data(), 255.0f, M.m, frame.data(), kW, kH);
  }
  gCounting = false;
  EXPECT_EQ(gAllocations.load(), 0);
  EXPECT_NE(test::firstDifference(before, frame.data(), kW), "");  // the frames were composited
}

INSTANTIATE_TEST_SUITE_P(AllSamplings, pasteSteadyState, testing::ValuesIn(test::kAllSamplings), test::samplingName);

// Rows and bands go to the pool's parts on demand: every index exactly once, in whole chunks
// but for the last, and never two chunks at once on one part (parts own scratch buffers).
TEST(pasteChunks, EveryIndexOnceAndNoPartTwiceAtOnce) {
  for (size_t total : {size_t(0), size_t(1), size_t(7), size_t(64), size_t(629)}) {
    for (size_t chunk : {size_t(1), size_t(8), size_t(1000)}) {
      const int parts = pool::threads();
      std::vector<std::atomic<int>> seen(total), busy(static_cast<size_t>(parts));
      std::atomic<int> bad{0};
      const auto body = [&](size_t begin, size_t end, size_t part) {
        if (part >= size_t(parts) || busy[part].fetch_add(1) != 0) ++bad;
        if (end <= begin || end > total || (end - begin != chunk && end != total)) ++bad;
        for (size_t i = begin; i < end; ++i) seen[i].fetch_add(1);
        busy[part].fetch_sub(1);
      };
      paste::shareChunks(total, chunk, parts, body);
      EXPECT_EQ(bad.load(), 0) << "total " << total << " chunk " << chunk;
      for (size_t i = 0; i < total; ++i) ASSERT_EQ(seen[i].load(), 1) << "index " << i << " of " << total;
    }
  }
}

// Two compositors, a singular call first (which returns before printing), then three frames.
[[noreturn]] void compositeSeveralFramesAndExit() {
  test::ScopedEnv k("QO_PASTE_KSIZE", "7");
  std::mt19937 rng(1);
  const std::vector<float> crop = test::randomCrop(32, rng);
  std::vector<uint8_t> frame(96 * 64 * 3, 0);
  const test::Affine M = test::similarity(1.0f, 0.1f, 20.0f, 10.0f);
  const test::Affine singular{{0, 0, 0, 0, 0, 0}};
  Paste first(test::featheredMask(32, rng), 32, Unsharp{});
  first.composite(crop.data(), 255.0f, singular.m, frame.data(), 96, 64);
  first.composite(crop.data(), 255.0f, M.m, frame.data(), 96, 64);
  first.composite(crop.data(), 255.0f, M.m, frame.data(), 96, 64);
  Paste second(test::featheredMask(32, rng), 32, Unsharp{});
  second.composite(crop.data(), 255.0f, M.m, frame.data(), 96, 64);
  std::exit(0);
}

// Runs in a fresh process of its own, so the line cannot have been printed before.
TEST(pasteExecutorLine, PrintedOnceOnTheFirstComposite) {
  // A threadsafe death test re-executes the binary, which under user-mode emulation without a
  // binfmt handler the kernel cannot run (execv fails with ENOEXEC); the cross script sets this.
  if (std::getenv("QO_TEST_UNDER_QEMU")) GTEST_SKIP() << "cannot re-execute a foreign binary under qemu-user";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char want[160];
  std::snprintf(want, sizeof want, "[qo-paste] executor=cpu (side=32, ksize=7, threads=%d) \xE2\x80\x94 1080p composite\n",
                qo::pool::threads());
  EXPECT_EXIT(compositeSeveralFramesAndExit(), testing::ExitedWithCode(0), testing::StrEq(want));
}

}  // namespace
}  // namespace qo
