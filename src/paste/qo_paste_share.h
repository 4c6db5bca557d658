// Chunks of one index range handed out on demand to the pool's parts. With a fixed split, a
// part whose thread the host holds up elsewhere (a decoder, the renderer, another process on a
// shared core) makes the whole call wait; taking chunks from a counter, the other parts take up
// its share instead. Each chunk's result depends only on its own indices.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "qo/qo_pool.h"

namespace qo::paste {

// Calls body(begin, end, part) on chunks of `chunk` indices covering [0, total), spread over
// `parts` pool parts (at most qo::pool::threads()); part is in [0, parts) and no two calls with
// the same part run at once, so it can pick per-part scratch. Returns when all chunks finished.
template <class Body>
void shareChunks(size_t total, size_t chunk, int parts, Body& body) {
  struct Shared {
    std::atomic<size_t> next{0};
    size_t total, chunk;
    Body* body;
  } shared{{}, total, std::max<size_t>(chunk, 1), &body};
  const auto run = [s = &shared](size_t first, size_t last) {
    for (size_t part = first; part < last; ++part) {
      for (;;) {
        const size_t at = s->next.fetch_add(s->chunk, std::memory_order_relaxed);
        if (at >= s->total) break;
        (*s->body)(at, std::min(s->total, at + s->chunk), part);
      }
    }
  };
  pool::parallelRange(size_t(std::max(parts, 1)), 1, run);
}

}  // namespace qo::paste
