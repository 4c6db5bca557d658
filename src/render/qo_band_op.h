// What GridSampleFast and WarpDirector share: the operator description's registration record,
// the input checks, and the run of one image after another in bands of 16 output rows on the
// kernel context's parallel-for.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <new>
#include <string>

namespace qo {

// Output rows [first, end) of one image; shapes as in qo::simd::gridSampleRows.
using BandFn = void (*)(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg, int first,
                        int end);

// Checks the inputs, allocates Y [N, C, Hg, Wg] and runs `band` over every image. `channels`,
// when positive, is the only channel count the operator accepts; `refuseChannels` builds its
// refusal from the count it was handed (the output is already allocated then). Throws
// std::runtime_error naming `op` on a shape it cannot serve.
void runBandOp(OrtKernelContext* context, const char* op, BandFn band, int channels,
               std::string (*refuseChannels)(long long c));

// Output shape inference shared by both operators: [N, C, Hg, Wg] from X and the grid when both
// ranks are known. Never fails: a shape it cannot serve is refused when the node runs.
OrtStatusPtr inferBandOpShape(Ort::ShapeInferContext& ctx);

template <class Op, class Kernel>
struct BandOpBase : Ort::CustomOpBase<Op, Kernel, true> {
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo*, void** kernel) const {
    *kernel = new (std::nothrow) Kernel();
    return *kernel ? nullptr : api.CreateStatus(ORT_FAIL, "out of memory creating a com.corvanta kernel");
  }
  static OrtStatusPtr InferOutputShape(Ort::ShapeInferContext& ctx) { return inferBandOpShape(ctx); }
};

// The two registration records, built once.
const OrtCustomOp* gridSampleFastOp();
const OrtCustomOp* warpDirectorOp();

}  // namespace qo
