// 3x3 convolution, stride 1, zero padding 1, over output planes [lo, hi) of a batch.
//
// Every output pixel sums its taps in one fixed order: tap row, tap column, input channel, each
// product and sum rounded on its own, starting from +0; the bias is added last. Lanes hold
// neighbouring columns, so a vector sums exactly like each of its columns alone. Column 0 and
// the columns after the last block go one at a time with tests; in between, blocks of 16 (then
// 4) columns need none. Several output planes of one image share each input load, which gives
// the adds enough independent chains to keep the pipes busy.
//
// The input rows of a block are first copied into a small stack tile: with plane sizes a
// multiple of 4 KiB, the same column of every channel maps to the same cache set, and reading
// them straight from the planes thrashes the first-level cache.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_conv3x3_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

#if HWY_ARCH_X86
using Block16Tag = hn::CappedTag<float, 16>;
#else
using Block16Tag = hn::FixedTag<float, 4>;  // lane count known at compile time
#endif
using Block4Tag = hn::CappedTag<float, 4>;

constexpr size_t kVectorsPer16 = 16 / hn::MaxLanes(Block16Tag());
constexpr size_t kVectorsPer4 = 4 / hn::MaxLanes(Block4Tag());
// Planes computed together: about eight accumulators in flight.
constexpr int kPlaneGroup = int(kVectorsPer16 >= 8 ? 1 : 8 / kVectorsPer16);
constexpr size_t kTileFloats = 4096;  // 16 KiB: three tap rows of every channel for a run of blocks

// One image, the output planes being computed and the output row.
struct Job {
  const float* HWY_RESTRICT image;  // channel 0 of image nb
  ptrdiff_t plane;                  // H * W
  int cin, height, width;
  const float* HWY_RESTRICT weights;  // first output plane's [Cin][3][3]
  const float* HWY_RESTRICT bias;
  float* HWY_RESTRICT out;  // first output plane
  int y, kyFirst, kyLast;   // output row and its tap rows inside the plane
};

// Where the blocks read input: element (ci, tap row ky, column col) is at
// row[ky][ci * channelStride + col - firstColumn].
struct Source {
  const float* HWY_RESTRICT row[3];
  ptrdiff_t channelStride;
  int firstColumn;
};

// One column with per-tap tests, for output planes [g0, g1); up to kPlaneGroup planes at a
// time so that their sums advance side by side.
void ColumnTested(const Job& j, int g0, int g1, int x) {
  const ptrdiff_t wPlane = ptrdiff_t(j.cin) * 9;
  for (int first = g0; first < g1; first += kPlaneGroup) {
    const int planes = std::min(kPlaneGroup, g1 - first);
    float acc[kPlaneGroup] = {};
    for (int ky = j.kyFirst; ky <= j.kyLast; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const int col = x + kx - 1;
        if (col < 0 || col >= j.width) continue;
        const float* HWY_RESTRICT src = j.image + ptrdiff_t(j.y + ky - 1) * j.width + col;
        const float* HWY_RESTRICT w = j.weights + first * wPlane + ky * 3 + kx;
        for (int ci = 0; ci < j.cin; ++ci) {
          const float v = src[ci * j.plane];
          for (int g = 0; g < planes; ++g) acc[g] = acc[g] + w[g * wPlane + ci * 9] * v;
        }
      }
    }
    for (int g = 0; g < planes; ++g) {
      j.out[(first + g) * j.plane + ptrdiff_t(j.y) * j.width + x] = j.bias[first + g] + acc[g];
    }
  }
}

// kVectors vectors of columns from x on, all taps inside the plane, for output planes
// [g0, g0 + kPlanes).
template <int kPlanes, size_t kVectors, class D>
HWY_INLINE void ColumnsInterior(D d, const Job& j, const Source& src, int g0, int x) {
  const size_t L = hn::Lanes(d);
  const ptrdiff_t wPlane = ptrdiff_t(j.cin) * 9;
  Held<D> acc[kPlanes][kVectors];
  for (int g = 0; g < kPlanes; ++g) {
    for (size_t v = 0; v < kVectors; ++v) acc[g][v] = hn::Zero(d);
  }
  for (int ky = j.kyFirst; ky <= j.kyLast; ++ky) {
    for (int kx = 0; kx < 3; ++kx) {
      const float* HWY_RESTRICT in = src.row[ky] + (x + kx - 1 - src.firstColumn);
      const float* HWY_RESTRICT w = j.weights + g0 * wPlane + ky * 3 + kx;
      for (int ci = 0; ci < j.cin; ++ci) {
        Held<D> v[kVectors];
        for (size_t i = 0; i < kVectors; ++i) v[i] = hn::LoadU(d, in + ci * src.channelStride + i * L);
        for (int g = 0; g < kPlanes; ++g) {
          const auto wv = hn::Set(d, w[g * wPlane + ci * 9]);
          for (size_t i = 0; i < kVectors; ++i) acc[g][i] = hn::Add(acc[g][i], hn::Mul(wv, v[i]));
        }
      }
    }
  }
  for (int g = 0; g < kPlanes; ++g) {
    const auto b = hn::Set(d, j.bias[g0 + g]);
    float* HWY_RESTRICT dst = j.out + (g0 + g) * j.plane + ptrdiff_t(j.y) * j.width + x;
    for (size_t i = 0; i < kVectors; ++i) hn::StoreU(hn::Add(b, acc[g][i]), d, dst + i * L);
  }
}

// Blocks of columns [from, to): 16-column blocks below end16, 4-column blocks from there.
template <int kPlanes>
void Blocks(const Job& j, const Source& src, int g0, int from, int to, int end16) {
  int x = from;
  for (; x < std::min(to, end16); x += 16) ColumnsInterior<kPlanes, kVectorsPer16>(Block16Tag(), j, src, g0, x);
  for (; x < to; x += 4) ColumnsInterior<kPlanes, kVectorsPer4>(Block4Tag(), j, src, g0, x);
}

template <int kPlanes>
void BlocksUpTo(int planes, const Job& j, const Source& src, int g0, int from, int to, int end16) {
  if constexpr (kPlanes > 1) {
    if (planes < kPlanes) return BlocksUpTo<kPlanes - 1>(planes, j, src, g0, from, to, end16);
  }
  Blocks<kPlanes>(j, src, g0, from, to, end16);
}

void AllPlaneGroups(const Job& j, const Source& src, int planes, int from, int to, int end16) {
  for (int g0 = 0; g0 < planes; g0 += kPlaneGroup) {
    BlocksUpTo<kPlaneGroup>(std::min(kPlaneGroup, planes - g0), j, src, g0, from, to, end16);
  }
}

HWY_INLINE void RowTaps(Job& j, int y) {
  j.y = y;
  j.kyFirst = y == 0 ? 1 : 0;
  j.kyLast = y == j.height - 1 ? 1 : 2;
}

// Output planes [0, planes) of job.out, all of one image.
void ImagePlanes(Job j, int planes) {
  const int H = j.height, W = j.width;
  // 16-column blocks start at column 1 while they end at or before column W - 2, as do the
  // 4-column blocks after them.
  const int end16 = W >= 18 ? 1 + 16 * ((W - 2) / 16) : 1;
  const int end4 = W - 1 > end16 ? end16 + 4 * ((W - 1 - end16) / 4) : end16;

  for (int y = 0; y < H; ++y) {
    RowTaps(j, y);
    ColumnTested(j, 0, planes, 0);
    for (int x = std::max(end4, 1); x < W; ++x) ColumnTested(j, 0, planes, x);
  }
  if (end4 <= 1) return;

  // Columns per staged run: a multiple of 16 whose three rows of every channel (plus one column
  // each side) fit the tile; with runs shorter than 16 the blocks read the planes directly.
  const size_t perChannel = j.cin > 0 ? kTileFloats / (3 * size_t(j.cin)) : 0;
  const int run = perChannel >= 18 ? int((perChannel - 2) / 16 * 16) : 0;
  if (run < 16) {
    for (int y = 0; y < H; ++y) {
      RowTaps(j, y);
      Source src{{nullptr, nullptr, nullptr}, j.plane, 0};
      for (int ky = j.kyFirst; ky <= j.kyLast; ++ky) src.row[ky] = j.image + ptrdiff_t(y + ky - 1) * W;
      AllPlaneGroups(j, src, planes, 1, end4, end16);
    }
    return;
  }

  // Each run walks down the plane keeping three input rows per channel in a ring of tile slots,
  // copying one new row per output row.
  alignas(64) float tile[kTileFloats];
  for (int from = 1; from < end4; from += run) {
    const int to = std::min(from + run, end4);
    const int columns = to - from + 2;
    const ptrdiff_t channelStride = 3 * ptrdiff_t(columns);
    const auto slot = [&](int inputRow) { return tile + (inputRow % 3) * columns; };
    const auto stage = [&](int inputRow) {
      for (int ci = 0; ci < j.cin; ++ci) {
        std::memcpy(slot(inputRow) + ci * channelStride, j.image + ci * j.plane + ptrdiff_t(inputRow) * W + (from - 1),
                    size_t(columns) * sizeof(float));
      }
    };
    stage(0);
    for (int y = 0; y < H; ++y) {
      if (y + 1 < H) stage(y + 1);
      RowTaps(j, y);
      Source src{{nullptr, nullptr, nullptr}, channelStride, from - 1};
      for (int ky = j.kyFirst; ky <= j.kyLast; ++ky) src.row[ky] = slot(y + ky - 1);
      AllPlaneGroups(j, src, planes, from, to, end16);
    }
  }
}

}  // namespace

void Conv3x3Range(const float* HWY_RESTRICT in, int N, int Cin, int H, int W, const float* HWY_RESTRICT weights,
                  const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, int lo, int hi) {
  if (Cout < 1 || H < 1 || W < 1) return;
  const ptrdiff_t plane = ptrdiff_t(H) * W;
  const ptrdiff_t wPlane = ptrdiff_t(Cin) * 9;
  for (int k = lo; k < hi;) {
    const int nb = k / Cout, oc = k % Cout;
    const int planes = std::min(hi - k, Cout - oc);  // the rest of image nb's planes in range
    Job job{in + ptrdiff_t(nb) * Cin * plane, plane, Cin, H, W, weights + oc * wPlane, bias + oc,
            out + ptrdiff_t(k) * plane, 0, 0, 0};
    ImagePlanes(job, planes);
    k += planes;
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(Conv3x3Range);

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int lo, int hi) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weights, bias, Cout, out, lo, hi);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
