// The engine's own ONNX Runtime operators in the "com.corvanta" domain, run by the CPU provider:
//   GridSampleFast(X [N, C, H, W], grid [N, Hg, Wg, 2]) -> Y [N, C, Hg, Wg]
//     ONNX GridSample with mode bilinear, padding_mode border, align_corners 0;
//   WarpDirector(X [N, 3, H, W], grid [N, Hg, Wg, 2]) -> Y [N, 3, Hg, Wg]
//     the director's curvature-corrected bilinear warp (the warp block the load-time rewrite
//     folds into one node).
// Images run one after another, each in bands of 16 output rows on ORT's intra-op threads. The
// kernels keep no state between runs. A grid that is not [N, Hg, Wg, 2] with X's N is refused
// with an error status, never read past.
//
//   Ort::SessionOptions opts;
//   qo::registerGridSampleFast(opts);  // both operators become available
//   Ort::Session session(env, modelBytes.data(), modelBytes.size(), opts);
#pragma once

#include <onnxruntime_cxx_api.h>

namespace qo {

// The process-wide domain holding both operators, created on first use and destroyed at process
// exit, so it outlives every session that uses it. Thread-safe.
Ort::CustomOpDomain& domainOps();

// Add the "com.corvanta" domain to `options`. Either call makes both operators available; call
// one of them once per options (ORT refuses a domain added twice).
// ORT's errors throw Ort::Exception.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

// One image, the grid covering X (one grid point per pixel of X). gridsample_fast_band computes
// output rows [max(first, 0), min(end, H)) of all C channels, warpDirectorBand rows [first, end)
// of a 3-channel image; the whole-image forms compute every row on the calling thread.
void gridsample_fast_band(const float* X, const float* grid, float* out, int C, int H, int W, int first, int end);
void gridsample_fast(const float* X, const float* grid, float* out, int C, int H, int W);
void warpDirectorBand(const float* X, const float* grid, float* out, int W, int H, int first, int end);
void warpDirector(const float* X, const float* grid, float* out, int W, int H);

}  // namespace qo
