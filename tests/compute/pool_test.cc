#include <dirent.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "compute/qo_pool.h"

namespace qo::pool {
namespace {

using detail::partRange;
using detail::threadCountFrom;

TEST(PoolThreadCount, EnvironmentRules) {
  EXPECT_EQ(threadCountFrom(nullptr, nullptr, 8), 4);  // default
  EXPECT_EQ(threadCountFrom(nullptr, nullptr, 2), 2);  // default capped by the hardware
  EXPECT_EQ(threadCountFrom(nullptr, nullptr, 0), 4);  // unknown hardware
  EXPECT_EQ(threadCountFrom("0", nullptr, 8), 1);
  EXPECT_EQ(threadCountFrom("-3", nullptr, 8), 1);
  EXPECT_EQ(threadCountFrom("lots", nullptr, 8), 1);
  EXPECT_EQ(threadCountFrom("3x", nullptr, 8), 3);     // leading digits
  EXPECT_EQ(threadCountFrom("16", nullptr, 8), 8);     // capped
  EXPECT_EQ(threadCountFrom("", "3", 8), 3);           // empty core falls back to paste
  EXPECT_EQ(threadCountFrom("5", "3", 8), 5);          // core wins
  EXPECT_EQ(threadCountFrom("", "", 8), 4);
  EXPECT_EQ(threadCountFrom("99999999999999999999", nullptr, 0), 2147483647);
}

TEST(PoolSplit, CeilChunksWithShortOrMissingTail) {
  // total 5 in 4 parts: chunk 2 -> [0,2) [2,4) [4,5), part 3 empty.
  EXPECT_EQ(partRange(5, 4, 0), std::make_pair(size_t{0}, size_t{2}));
  EXPECT_EQ(partRange(5, 4, 1), std::make_pair(size_t{2}, size_t{4}));
  EXPECT_EQ(partRange(5, 4, 2), std::make_pair(size_t{4}, size_t{5}));
  auto last = partRange(5, 4, 3);
  EXPECT_EQ(last.first, last.second);
  // total 10 in 2 parts (grain 4): [0,5) and [5,10).
  EXPECT_EQ(partRange(10, 2, 0), std::make_pair(size_t{0}, size_t{5}));
  EXPECT_EQ(partRange(10, 2, 1), std::make_pair(size_t{5}, size_t{10}));
}

TEST(PoolParts, GrainAndThreadLimits) {
  const int n = threads();
  ASSERT_GE(n, 1);
  EXPECT_EQ(parts(0, 1), 1);
  EXPECT_EQ(parts(7, 4), 1);  // 7 / 4 == 1
  EXPECT_EQ(parts(5, 0), parts(5, 1));
  EXPECT_EQ(parts(10, 4), n > 1 ? 2 : 1);
  EXPECT_EQ(parts(1000000, 1), n);
  EXPECT_TRUE(available());
}

// Records every call: which range, on which thread.
struct Recorder {
  std::mutex mu;
  std::vector<std::pair<size_t, size_t>> ranges;
  std::set<std::thread::id> threads;
  void operator()(size_t b, size_t e) {
    std::lock_guard<std::mutex> lock(mu);
    ranges.emplace_back(b, e);
    threads.insert(std::this_thread::get_id());
  }
};

TEST(PoolParallelRange, CoversEveryIndexExactlyOnce) {
  for (size_t total : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, size_t{10}, size_t{97}, size_t{4096}}) {
    for (size_t grain : {size_t{0}, size_t{1}, size_t{3}, size_t{64}}) {
      std::vector<std::atomic<int>> hits(total);
      std::atomic<int> calls{0};
      parallelRange(total, grain, [&](size_t b, size_t e) {
        ++calls;
        ASSERT_LE(b, e);
        ASSERT_LE(e, total);
        for (size_t i = b; i < e; ++i) ++hits[i];
      });
      for (size_t i = 0; i < total; ++i) ASSERT_EQ(hits[i].load(), 1) << "total " << total << " index " << i;
      EXPECT_LE(calls.load(), parts(total, grain));
      EXPECT_GE(calls.load(), 1);
    }
  }
}

TEST(PoolParallelClaim, EveryJobOnceAndAHeldThreadLeavesTheRest) {
  for (size_t jobs : {size_t{0}, size_t{1}, size_t{7}, size_t{1000}}) {
    std::vector<std::atomic<int>> hits(jobs);
    parallelClaim(jobs, [&](size_t i) { ++hits[i]; });
    for (size_t i = 0; i < jobs; ++i) ASSERT_EQ(hits[i].load(), 1) << "jobs " << jobs << " index " << i;
  }
  if (threads() < 2) GTEST_SKIP() << "one thread configured";
  // The thread that takes job 0 stays on it until every other job is done: static halves would
  // leave its half waiting, claiming lets the other thread take them all.
  constexpr size_t kJobs = 64;
  std::atomic<size_t> done{0};
  std::atomic<bool> timedOut{false};
  parallelClaim(kJobs, [&](size_t i) {
    if (i == 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (done.load() < kJobs - 1)
        if (std::chrono::steady_clock::now() > deadline) return void(timedOut = true);
    }
    ++done;
  });
  EXPECT_FALSE(timedOut.load());
  EXPECT_EQ(done.load(), kJobs);
}

TEST(PoolParallelRange, SmallJobsRunAsOneCallOnTheCaller) {
  Recorder r;
  parallelRange(0, 1, std::ref(r));
  parallelRange(7, 4, std::ref(r));  // fewer than two grains
  ASSERT_EQ(r.ranges.size(), 2u);
  EXPECT_EQ(r.ranges[0], std::make_pair(size_t{0}, size_t{0}));
  EXPECT_EQ(r.ranges[1], std::make_pair(size_t{0}, size_t{7}));
  EXPECT_EQ(r.threads, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(PoolParallelRange, SplitsAcrossThreadsWithCallerOnPartZero) {
  if (threads() < 2) GTEST_SKIP() << "single-threaded machine";
  const auto caller = std::this_thread::get_id();
  Recorder r;
  std::atomic<bool> partZeroOnCaller{false};
  parallelRange(1000, 1, [&](size_t b, size_t e) {
    if (b == 0) partZeroOnCaller = std::this_thread::get_id() == caller;
    r(b, e);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // let every worker take its part
  });
  EXPECT_EQ(int(r.ranges.size()), threads());
  EXPECT_EQ(int(r.threads.size()), threads());
  EXPECT_TRUE(partZeroOnCaller.load());
}

TEST(PoolParallelRange, NestedCallInsidePartZeroIsSerial) {
  const auto caller = std::this_thread::get_id();
  std::atomic<int> innerCalls{0};
  std::atomic<bool> innerLeftCaller{false};
  size_t innerRange = 0;
  parallelRange(100, 1, [&](size_t b, size_t e) {
    if (b != 0 || std::this_thread::get_id() != caller) return;
    parallelRange(500, 1, [&](size_t ib, size_t ie) {
      ++innerCalls;
      innerRange = ie - ib;
      if (std::this_thread::get_id() != caller) innerLeftCaller = true;
    });
  });
  EXPECT_EQ(innerCalls.load(), 1);
  EXPECT_EQ(innerRange, 500u);
  EXPECT_FALSE(innerLeftCaller.load());
}

TEST(PoolParallelRange, NestedCallOnAWorkerUsesThatWorkersPool) {
  if (threads() < 2) GTEST_SKIP() << "single-threaded machine";
  const auto caller = std::this_thread::get_id();
  std::atomic<long> sum{0};
  parallelRange(2, 1, [&](size_t b, size_t e) {
    if (std::this_thread::get_id() == caller) return;
    parallelRange(1000, 1, [&](size_t ib, size_t ie) {
      for (size_t i = ib; i < ie; ++i) sum += long(i);
    });
  });
  EXPECT_EQ(sum.load(), 999L * 1000 / 2);
}

TEST(PoolParallelRange, ExceptionInPartZeroWaitsForWorkersAndClearsNesting) {
  if (threads() < 2) GTEST_SKIP() << "single-threaded machine";
  std::atomic<int> finished{0};
  EXPECT_THROW(parallelRange(1000, 1,
                             [&](size_t b, size_t) {
                               if (b == 0) throw std::runtime_error("part zero failed");
                               std::this_thread::sleep_for(std::chrono::milliseconds(20));
                               ++finished;
                             }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), threads() - 1);  // every worker part completed before the throw left
  Recorder r;  // nesting flag cleared: the next call is parallel again
  parallelRange(1000, 1, [&](size_t b, size_t e) {
    r(b, e);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  EXPECT_EQ(int(r.ranges.size()), threads());
}

TEST(PoolParallelRange, ExceptionInAWorkerReachesTheCaller) {
  if (threads() < 2) GTEST_SKIP() << "single-threaded machine";
  try {
    parallelRange(1000, 1, [&](size_t b, size_t) {
      if (b != 0) throw std::logic_error("worker failed");
    });
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "worker failed");
  }
  std::atomic<int> calls{0};
  parallelRange(1000, 1, [&](size_t, size_t) { ++calls; });  // the pool still works
  EXPECT_EQ(calls.load(), threads());
}

TEST(PoolParallelRange, IndependentCallersRunAtOnce) {
  std::atomic<long> sums[2] = {0, 0};
  auto job = [&](int k) {
    for (int rep = 0; rep < 50; ++rep)
      parallelRange(10000, 16, [&](size_t b, size_t e) {
        long s = 0;
        for (size_t i = b; i < e; ++i) s += long(i);
        sums[k] += s;
      });
  };
  std::thread a(job, 0), b(job, 1);
  a.join();
  b.join();
  EXPECT_EQ(sums[0].load(), 50L * 9999 * 10000 / 2);
  EXPECT_EQ(sums[1].load(), sums[0].load());
}

int taskCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// threads() is fixed per process, so the single-thread configuration runs in a child process.
TEST(PoolParallelRangeDeathTest, OneThreadConfiguredStartsNoWorker) {
  // The threadsafe style re-executes the binary, which qemu-user cannot do without a binfmt handler.
  if (std::getenv("QO_TEST_UNDER_QEMU")) GTEST_SKIP() << "cannot re-execute a foreign binary under qemu-user";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ::setenv("QO_CORE_THREADS", "1", 1);
  EXPECT_EXIT(
      {
        const int before = taskCount();
        std::set<std::thread::id> seen;
        parallelRange(100000, 1, [&](size_t, size_t) { seen.insert(std::this_thread::get_id()); });
        bool ok = threads() == 1 && seen.size() == 1 && taskCount() == before;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  ::unsetenv("QO_CORE_THREADS");
}

}  // namespace
}  // namespace qo::pool
