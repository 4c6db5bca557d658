// Internal view of the thread pool: the pure rules behind threads() and the part split.
#pragma once

#include <cstddef>
#include <utility>

#include "qo/qo_pool.h"

namespace qo::pool::detail {

// The thread count for the given QO_CORE_THREADS / QO_PASTE_THREADS values (nullptr = unset)
// and hardware concurrency (0 = unknown).
int threadCountFrom(const char* core, const char* paste, unsigned hw);

// Part i of a job of `total` indices in `parts` parts: [i * chunk, min(total, (i + 1) * chunk))
// with chunk = ceil(total / parts); empty when i * chunk >= total.
std::pair<size_t, size_t> partRange(size_t total, int parts, int i);

}  // namespace qo::pool::detail
