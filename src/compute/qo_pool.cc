#include "compute/qo_pool.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qo::pool {
namespace {

using Fn = std::function<void(size_t, size_t)>;

using detail::partRange;

class Pool {
 public:
  explicit Pool(int n) {
    workers_.reserve(size_t(std::max(n - 1, 0)));
    for (int i = 1; i < n; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      ++generation_;
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  // One fork-join: every worker acknowledges the job, whether or not it has a part of it.
  void run(size_t total, int parts, const Fn& fn) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      job_ = &fn;
      total_ = total;
      parts_ = parts;
      pending_ = int(workers_.size());
      error_ = nullptr;
      ++generation_;
    }
    work_.notify_all();

    std::exception_ptr mine;
    try {
      auto [b, e] = partRange(total, parts, 0);
      fn(b, e);
    } catch (...) {
      mine = std::current_exception();
    }

    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
    std::exception_ptr theirs = std::move(error_);
    lock.unlock();
    if (mine) std::rethrow_exception(mine);
    if (theirs) std::rethrow_exception(theirs);
  }

 private:
  void workerLoop(int index) {
    uint64_t seen = 0;
    for (;;) {
      const Fn* fn;
      size_t total;
      int parts;
      {
        std::unique_lock<std::mutex> lock(mu_);
        work_.wait(lock, [&] { return generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        fn = job_;
        total = total_;
        parts = parts_;
      }
      std::exception_ptr failure;
      auto [b, e] = partRange(total, parts, index);
      if (index < parts && b < e) {
        try {
          (*fn)(b, e);
        } catch (...) {
          failure = std::current_exception();
        }
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (failure && !error_) error_ = std::move(failure);
      if (--pending_ == 0) done_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable work_, done_;
  const Fn* job_ = nullptr;
  size_t total_ = 0;
  int parts_ = 0;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
  std::vector<std::thread> workers_;
};

thread_local bool tNested = false;
thread_local std::unique_ptr<Pool> tPool;  // joined at this thread's exit

}  // namespace

namespace detail {

int threadCountFrom(const char* core, const char* paste, unsigned hw) {
  const char* v = (core && *core) ? core : paste;
  long want = 4;
  if (v && *v) {
    long parsed = std::strtol(v, nullptr, 10);
    want = parsed <= 0 ? 1 : std::min<long>(parsed, INT_MAX);
  }
  return int(hw > 0 && want > long(hw) ? long(hw) : want);
}

std::pair<size_t, size_t> partRange(size_t total, int parts, int i) {
  const size_t chunk = total / size_t(parts) + (total % size_t(parts) != 0);
  const size_t begin = size_t(i) * chunk;
  if (begin >= total) return {total, total};
  return {begin, std::min(total, begin + chunk)};
}

}  // namespace detail

int threads() {
  static const int n = detail::threadCountFrom(std::getenv("QO_CORE_THREADS"), std::getenv("QO_PASTE_THREADS"),
                                               std::thread::hardware_concurrency());
  return n;
}

bool available() { return true; }

int parts(size_t total, size_t grain) {
  const int n = threads();
  if (n <= 1) return 1;
  size_t q = total / std::max<size_t>(grain, 1);
  if (q <= 1) return 1;
  return int(std::min<size_t>(q, size_t(n)));
}

void parallelRange(size_t total, size_t grain, const Fn& fn) {
  const int p = tNested ? 1 : parts(total, grain);
  if (p < 2) {
    fn(0, total);
    return;
  }
  tNested = true;
  struct Unnest {
    ~Unnest() { tNested = false; }
  } unnest;
  if (!tPool) tPool = std::make_unique<Pool>(threads());
  tPool->run(total, p, fn);
}

void parallelClaim(size_t jobs, const std::function<void(size_t job)>& fn) {
  const int p = tNested ? 1 : parts(jobs, 1);
  if (p < 2) {
    for (size_t i = 0; i < jobs; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  parallelRange(size_t(p), 1, [&](size_t, size_t) {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < jobs;) fn(i);
  });
}

}  // namespace qo::pool
