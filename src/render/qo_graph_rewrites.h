// Load-time inspection and rewrites of the director graph, over the model bytes. Each rewrite
// copies every byte it does not change, replaces the bytes in place and returns how many nodes
// it rewrote; 0 means the bytes are untouched. Malformed bytes throw std::runtime_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/qo_onnx_wire.h"

namespace qo {

// True when any node of the graph is com.corvanta::GridSampleFast. Parse errors throw.
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

// Standard GridSample nodes in the bilinear / border / align_corners 0 form become
// com.corvanta::GridSampleFast (inputs, output and name kept); the domain is imported once.
size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);

// An old student graph's "/s2/blend" MatMul becomes the two-input Gemm that computes the same
// product: as MatMul it aborts Apple's MPSGraph compiler.
size_t normaliseStudentBlend(std::vector<uint8_t>& model);

// The head's cubic x2 Resize (half_pixel, scales [1, 1, 2, 2]) feeding a Conv becomes an edge Pad
// of 2, a 5x5 depthwise Conv holding both sub-pixel phases of the cubic filter per channel, and a
// DepthToSpace(2, CRD): the same filter, run by kernels far faster than ORT's cubic Resize.
// Returns 1 when rewritten.
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

// Clamps the director's compose alpha by a new graph input, float [B, 1, S, S] "lip_delivery":
// in the tail out = Add(Mul(a, X), Mul(Sub(1, a), Clip(...))) both blend factors read
// Min(a, lip_delivery) instead of a. The rebuilt graph is checked before it replaces `model`.
// On success sets the compose canvas side S and the batch B (0: symbolic) and returns true; on
// failure leaves `model` as it was, puts why into `reason` and returns false. Parse errors throw.
bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int32_t* canvasSide, int32_t* batch);

// The node tests behind the rewrites, over a NodeProto.
bool gsIsRewritableGridSample(GsSlice node);
bool gsIsStudentBlendMatMul(GsSlice node);

// The four normalised cubic-convolution taps (coefficient a) of a sample at fraction t past the
// second tap: distances t + 1, t, 1 - t, 2 - t.
void hcTaps(double t, double a, double w[4]);

}  // namespace qo
