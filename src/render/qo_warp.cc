// com.corvanta::WarpDirector: the director's whole warp block (the GridSample of the source cone,
// its Slices and the curvature recombination) as one node over the 3-channel source.
#include <exception>
#include <string>

#include "qo/qo_simd.h"
#include "render/qo_band_op.h"
#include "render/qo_custom_ops.h"

namespace qo {
namespace {

void warpBand(const float* x, const float* grid, float* y, int, int H, int W, int Hg, int Wg, int first, int end) {
  simd::warpDirectorRows(x, grid, y, H, W, Hg, Wg, first, end);
}

std::string refuseChannels(long long c) {
  return "com.corvanta::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=" +
         std::to_string(c) + ". REFUSING rather than writing a frame nobody asked for.";
}

struct WarpKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    try {
      runBandOp(context, "WarpDirector", warpBand, 3, refuseChannels);
      return nullptr;
    } catch (const std::exception& e) {
      return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
    }
  }
};

struct WarpOp : BandOpBase<WarpOp, WarpKernel> {
  const char* GetName() const { return "WarpDirector"; }
};

}  // namespace

const OrtCustomOp* warpDirectorOp() {
  static const WarpOp op;
  return &op;
}

void warpDirectorBand(const float* X, const float* grid, float* out, int W, int H, int first, int end) {
  simd::warpDirectorRows(X, grid, out, H, W, H, W, first, end);
}

void warpDirector(const float* X, const float* grid, float* out, int W, int H) {
  simd::warpDirectorRows(X, grid, out, H, W, H, W, 0, H);
}

}  // namespace qo
