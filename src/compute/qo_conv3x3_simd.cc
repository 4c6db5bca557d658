// 3x3 convolution, stride 1, zero padding 1, over output planes [lo, hi) of a batch.
//
// Every output pixel sums its taps in one fixed order: tap row, tap column, input channel, each
// product and sum rounded on its own, starting from +0; the bias is added last. Lanes hold
// neighbouring columns, so a vector sums exactly like each of its columns alone.
//
// The input rows are first copied into a small stack tile with a zero column on each side and
// zeros past the last column, so that every column, the edges included, takes the vector path.
// A tap that falls on the padding adds a product of +-0, which leaves the sum as it was: the sum
// starts from +0 and a round-to-nearest sum is -0 only when both terms are, so it is never -0.
// The tile also keeps the reads in the first-level cache: with plane sizes a multiple of 4 KiB,
// the same column of every channel maps to the same cache set.
//
// Several output planes of one image share each input load; fewer planes get wider column
// blocks, so that about eight independent sums are always in flight.
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
using Block8Tag = hn::CappedTag<float, 8>;
#else
using Block16Tag = hn::FixedTag<float, 4>;  // lane count known at compile time
using Block8Tag = hn::FixedTag<float, 4>;
#endif

constexpr size_t kVectorsPer16 = 16 / hn::MaxLanes(Block16Tag());
constexpr size_t kVectorsPer8 = 8 / hn::MaxLanes(Block8Tag());
// Planes computed together: about eight accumulators in flight.
constexpr int kPlaneGroup = int(kVectorsPer16 >= 8 ? 1 : 8 / kVectorsPer16);
// 16-column units per wide block for a group of kPlanes planes.
template <int kPlanes>
constexpr size_t kUnits = std::max<size_t>(1, size_t(kPlaneGroup / kPlanes));
constexpr size_t kTileFloats = 4096;  // 16 KiB: three tap rows of every channel for a run of columns

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

// Where a block writes plane g: dst + g * planeStride.
struct Dest {
  float* HWY_RESTRICT dst;
  ptrdiff_t planeStride;
};

// One column with per-tap tests, for output planes [0, planes), straight from the planes; only
// for channel counts whose three rows do not fit the tile.
void ColumnTested(const Job& j, int planes, int x) {
  const ptrdiff_t wPlane = ptrdiff_t(j.cin) * 9;
  for (int g = 0; g < planes; ++g) {
    float acc = 0.0f;
    for (int ky = j.kyFirst; ky <= j.kyLast; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const int col = x + kx - 1;
        if (col < 0 || col >= j.width) continue;
        const float* HWY_RESTRICT src = j.image + ptrdiff_t(j.y + ky - 1) * j.width + col;
        const float* HWY_RESTRICT w = j.weights + g * wPlane + ky * 3 + kx;
        for (int ci = 0; ci < j.cin; ++ci) acc = acc + w[ci * 9] * src[ci * j.plane];
      }
    }
    j.out[g * j.plane + ptrdiff_t(j.y) * j.width + x] = j.bias[g] + acc;
  }
}

// kVectors vectors of columns from x on, for output planes [g0, g0 + kPlanes).
template <int kPlanes, size_t kVectors, class D>
HWY_INLINE void Columns(D d, const Job& j, const Source& src, int g0, int x, Dest out) {
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
    for (size_t i = 0; i < kVectors; ++i) hn::StoreU(hn::Add(b, acc[g][i]), d, out.dst + g * out.planeStride + i * L);
  }
}

// Output columns [from, to) of row j.y for planes [g0, g0 + kPlanes): wide blocks, then 8-column
// blocks; the tile holds zeros up to the next multiple of 8, and the last block's columns past
// `to` go to a scratch block.
template <int kPlanes>
void Blocks(const Job& j, const Source& src, int g0, int from, int to) {
  constexpr size_t kWide = 16 * kUnits<kPlanes>;
  const auto dest = [&](int x) { return Dest{j.out + g0 * j.plane + ptrdiff_t(j.y) * j.width + x, j.plane}; };
  int x = from;
  for (; x + int(kWide) <= to; x += int(kWide)) {
    Columns<kPlanes, kVectorsPer16 * kUnits<kPlanes>>(Block16Tag(), j, src, g0, x, dest(x));
  }
  for (; x + 8 <= to; x += 8) Columns<kPlanes, kVectorsPer8>(Block8Tag(), j, src, g0, x, dest(x));
  if (x < to) {
    alignas(64) float part[kPlanes][8];
    Columns<kPlanes, kVectorsPer8>(Block8Tag(), j, src, g0, x, Dest{&part[0][0], 8});
    for (int g = 0; g < kPlanes; ++g) {
      std::memcpy(dest(x).dst + g * j.plane, part[g], size_t(to - x) * sizeof(float));
    }
  }
}

template <int kPlanes>
void BlocksUpTo(int planes, const Job& j, const Source& src, int g0, int from, int to) {
  if constexpr (kPlanes > 1) {
    if (planes < kPlanes) return BlocksUpTo<kPlanes - 1>(planes, j, src, g0, from, to);
  }
  Blocks<kPlanes>(j, src, g0, from, to);
}

HWY_INLINE void RowTaps(Job& j, int y) {
  j.y = y;
  j.kyFirst = y == 0 ? 1 : 0;
  j.kyLast = y == j.height - 1 ? 1 : 2;
}

// Output planes [0, planes) of job.out, all of one image.
void ImagePlanes(Job j, int planes) {
  const int H = j.height, W = j.width;
  // Tile columns per channel row: the run, rounded up to 8, plus the zero column on each side.
  const size_t perChannel = j.cin > 0 ? kTileFloats / (3 * size_t(j.cin)) : 0;
  const int maxRun = perChannel >= 10 ? int((perChannel - 2) / 8 * 8) : 0;
  if (maxRun == 0) {
    for (int y = 0; y < H; ++y) {
      RowTaps(j, y);
      for (int x = 0; x < W; ++x) ColumnTested(j, planes, x);
    }
    return;
  }

  // Runs of equal length walk down the plane keeping three input rows per channel in a ring of
  // tile slots, copying one new row per output row.
  const int runs = (W + maxRun - 1) / maxRun;
  const int run = (W + runs - 1) / runs;
  alignas(64) float tile[kTileFloats];
  for (int from = 0; from < W; from += run) {
    const int to = std::min(from + run, W);
    const int columns = (to - from + 7) / 8 * 8 + 2;  // tile columns from - 1 ...
    const int copyFrom = std::max(from - 1, 0), copyTo = std::min(from - 1 + columns, W);
    const ptrdiff_t channelStride = 3 * ptrdiff_t(columns);
    const auto slot = [&](int inputRow) { return tile + (inputRow % 3) * columns; };
    const auto stage = [&](int inputRow) {
      for (int ci = 0; ci < j.cin; ++ci) {
        float* dst = slot(inputRow) + ci * channelStride;
        std::memcpy(dst + (copyFrom - (from - 1)), j.image + ci * j.plane + ptrdiff_t(inputRow) * W + copyFrom,
                    size_t(copyTo - copyFrom) * sizeof(float));
      }
    };
    // The padding columns stay zero while the rows ring through the slots.
    std::fill(tile, tile + channelStride * j.cin, 0.0f);
    stage(0);
    for (int y = 0; y < H; ++y) {
      if (y + 1 < H) stage(y + 1);
      RowTaps(j, y);
      Source src{{nullptr, nullptr, nullptr}, channelStride, from - 1};
      for (int ky = j.kyFirst; ky <= j.kyLast; ++ky) src.row[ky] = slot(y + ky - 1);
      for (int g0 = 0; g0 < planes; g0 += kPlaneGroup) {
        BlocksUpTo<kPlaneGroup>(std::min(kPlaneGroup, planes - g0), j, src, g0, from, to);
      }
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
