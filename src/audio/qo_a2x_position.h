// Positional rows and the row mapping of qo_a2x: pure index arithmetic.
#pragma once

#include <algorithm>
#include <cstdint>

namespace qo::audio {

// The positional row of frame i in a table of npos rows: i inside the table; beyond it the
// positions cycle through the table's second half.
inline int64_t positionRow(int64_t i, int64_t npos) {
  if (i < npos) return i;
  const int64_t half = npos / 2;
  return half + (i - npos) % (npos - half);
}

// The target row of frame t: rows advance from `start` in direction `dir` (+1 / -1), wrapping
// when `loop` is set and bouncing between 0 and NT - 1 otherwise; 0 when NT <= 1.
inline int targetRow(int64_t t, int64_t start, int dir, bool loop, int nt) {
  if (nt <= 1) return 0;
  const int64_t x = t * dir + start;
  if (loop) return int(((x % nt) + nt) % nt);
  const int64_t period = 2 * (int64_t(nt) - 1);
  const int64_t y = ((x % period) + period) % period;
  return int(y <= nt - 1 ? y : period - y);
}

// One streaming encoder run: frames [c0, c1) get their context from features [a, e).
struct EncoderChunk {
  int c0, c1, a, e;
};

// Chunk starting at c0 towards `ret`: at most `maxFrames` frames, look-back and look-ahead
// around them, cut at the utterance's usable end and, when it starts inside the positional
// table, at the table's end so one run never crosses it.
inline EncoderChunk planChunk(int c0, int ret, int usable, int leftTotal, int aheadTotal, int npos, int maxFrames) {
  EncoderChunk k;
  k.c0 = c0;
  k.c1 = int(std::min<int64_t>(ret, int64_t(c0) + maxFrames));
  k.a = int(std::max<int64_t>(0, int64_t(c0) - leftTotal));
  k.e = int(std::min<int64_t>(int64_t(k.c1) + aheadTotal, usable));
  if (c0 < npos) {
    k.c1 = std::min(k.c1, npos);
    k.e = std::min(k.e, npos);
  }
  return k;
}

}  // namespace qo::audio
