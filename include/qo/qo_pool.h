// The engine-wide fork-join pool: one call splits one index range into contiguous parts and
// runs them at once, the calling thread working on part 0.
//
//   qo::pool::parallelRange(rows, 16, [&](size_t b, size_t e) {
//     for (size_t y = b; y < e; ++y) processRow(y);
//   });
//
// Each calling thread owns a private pool of threads() - 1 workers, created on its first
// parallel call and joined when that thread exits. A call made from inside part 0 runs
// serially. No allocation per call: the job is a pointer to the caller's function.
#pragma once

#include <cstddef>
#include <functional>

#include "qo/qo_export.h"

namespace qo::pool {

// Process-wide thread count (at least 1), fixed at the first call: QO_CORE_THREADS, else
// QO_PASTE_THREADS, else 4; capped by the hardware concurrency.
QO_API int threads();

// Always true (kept for hosts that probe for a pool).
QO_API bool available();

// Parts a parallelRange(total, grain, ...) call would use: min(total / max(grain, 1), threads()),
// or 1 when that is 1 or less.
QO_API int parts(size_t total, size_t grain);

// Calls fn on disjoint half-open sub-ranges covering [0, total) and returns when all finished.
// `grain` is the smallest range worth a part of its own. fn must be safe to run concurrently on
// disjoint ranges. If parts throw, every part still finishes before one exception is rethrown here
// (part 0's if it threw, else the first a worker caught); the process is never terminated.
QO_API void parallelRange(size_t total, size_t grain, const std::function<void(size_t begin, size_t end)>& fn);

// Calls fn(i) once for every i in [0, jobs), each thread claiming the next unclaimed index: for
// jobs of uneven cost, and so that a thread losing its core to another process leaves its share to
// the others instead of holding the call up. Same safety and exception rules as parallelRange.
QO_API void parallelClaim(size_t jobs, const std::function<void(size_t job)>& fn);

}  // namespace qo::pool
