// Guesses the source frame the next render will ask for, from the indices it has seen: the
// playback direction (+1 or -1) from the last one-frame step, and whether the source loops
// (wraps from its last frame to 0) or plays back and forth (reflects at the ends).
#pragma once

#include <cstdint>

namespace qo {

struct SourcePredictor {
  int32_t last = -1;  // the previous index; -1 before the first
  int32_t step = 1;
  bool wrap = false;

  // Records `s` (of `frames` source frames) and returns the predicted next index.
  int32_t next(int32_t s, int32_t frames) {
    const int32_t L = last;
    last = s;
    if (frames <= 1) return s;
    const int32_t d = s - L;
    const auto wrapped = [frames](int32_t p) { return ((p % frames) + frames) % frames; };
    if (L == frames - 1 && s == 0) {  // came from the last frame to the first: a loop
      wrap = true;
      if (d == 1 || d == -1) step = d;
      return wrapped(step);
    }
    if (L >= 0 && (d == 1 || d == -1)) step = d;  // a jump keeps the direction
    const int32_t p = s + step;
    if (wrap) return wrapped(p);
    if (p < 0) return 1;
    if (p >= frames) return frames - 2;
    return p;
  }
};

}  // namespace qo
