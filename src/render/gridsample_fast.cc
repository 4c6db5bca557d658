// com.corvanta::GridSampleFast: ONNX GridSample in its bilinear / border / align_corners 0 form,
// on the engine's vector kernel.
#include <exception>

#include "qo/qo_simd.h"
#include "render/qo_band_op.h"
#include "render/qo_custom_ops.h"

namespace qo {
namespace {

void gridSampleBand(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg, int first,
                    int end) {
  simd::gridSampleRows(x, grid, y, C, H, W, Hg, Wg, first, end);
}

struct GridSampleFastKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    try {
      runBandOp(context, "GridSampleFast", gridSampleBand, 0, nullptr);
      return nullptr;
    } catch (const std::exception& e) {
      return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
    }
  }
};

struct GridSampleFastOp : BandOpBase<GridSampleFastOp, GridSampleFastKernel> {
  const char* GetName() const { return "GridSampleFast"; }
};

}  // namespace

const OrtCustomOp* gridSampleFastOp() {
  static const GridSampleFastOp op;
  return &op;
}

void gridsample_fast_band(const float* X, const float* grid, float* out, int C, int H, int W, int first, int end) {
  simd::gridSampleRows(X, grid, out, C, H, W, H, W, first, end);
}

void gridsample_fast(const float* X, const float* grid, float* out, int C, int H, int W) {
  simd::gridSampleRows(X, grid, out, C, H, W, H, W, 0, H);
}

}  // namespace qo
