#include "paste/qo_paste_spans.h"

#include <algorithm>
#include <cstddef>

namespace qo::paste {
namespace {

// Grows [lo, hi] inside [0, side) to a multiple of 16 columns where the side allows, so that
// the row kernels run whole vectors rather than scalar tails.
void roundSpan(int side, int32_t& lo, int32_t& hi) {
  if (lo > hi) return;
  const int length = std::min(side, (hi - lo + 1 + 15) / 16 * 16);
  lo = std::max(0, std::min(int(lo), side - length));
  hi = lo + length - 1;
}

}  // namespace

void readSpans(const uint8_t* mask, int side, int ksize, std::vector<int32_t>* readLo, std::vector<int32_t>* readHi,
               std::vector<int32_t>* blurLo, std::vector<int32_t>* blurHi) {
  const int none = side;  // lo of an empty span; its hi is -1
  std::vector<int32_t> first(size_t(side), none), last(size_t(side), -1);
  for (int y = 0; y < side; ++y) {
    const uint8_t* row = mask + size_t(y) * size_t(side);
    for (int x = 0; x < side; ++x) {
      if (row[x] == 0) continue;
      first[size_t(y)] = std::min(first[size_t(y)], x);
      last[size_t(y)] = x;
    }
  }
  readLo->assign(size_t(side), none);
  readHi->assign(size_t(side), -1);
  for (int y = 0; y < side; ++y) {
    int lo = none, hi = -1;
    for (int m = std::max(0, y - kReadReach); m <= std::min(side - 1, y + kReadReach); ++m) {
      lo = std::min(lo, first[size_t(m)]);
      hi = std::max(hi, last[size_t(m)]);
    }
    if (lo > hi) continue;
    (*readLo)[size_t(y)] = std::max(0, lo - kReadReach);
    (*readHi)[size_t(y)] = std::min(side - 1, hi + kReadReach);
    roundSpan(side, (*readLo)[size_t(y)], (*readHi)[size_t(y)]);
  }
  const int padded = side + ksize - 1;
  blurLo->assign(size_t(padded), none);
  blurHi->assign(size_t(padded), -1);
  for (int i = 0; i < padded; ++i) {
    for (int y = std::max(0, i - (ksize - 1)); y <= std::min(side - 1, i); ++y) {
      (*blurLo)[size_t(i)] = std::min((*blurLo)[size_t(i)], (*readLo)[size_t(y)]);
      (*blurHi)[size_t(i)] = std::max((*blurHi)[size_t(i)], (*readHi)[size_t(y)]);
    }
    roundSpan(side, (*blurLo)[size_t(i)], (*blurHi)[size_t(i)]);
  }
}

}  // namespace qo::paste
