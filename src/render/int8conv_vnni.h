// The engine's quantised convolution as an ONNX Runtime operator, domain "com.corvanta.int8",
// run by the CPU provider:
//   Int8ConvVNNI(X float [N, C, H, W], W int8 [M, C, KH, KW], weight scale float [M],
//                bias float [M]) -> Y float [N, M, OH, OW]
// attributes "strides" [2], "pads" [4] (top, left, bottom, right), "dilations" [2], "group"
// (1 only). X is quantised per run to uint8 with a dynamic scale and zero point (its range
// including 0), products are summed exactly in int32, and
//   Y = (x_scale * weight_scale[m]) * (acc - zp * sum of W[m] over the in-image taps) + bias[m],
// a zero-padded float convolution of the dequantised tensors. The run uses the engine pool
// (qo::pool), not ORT's threads. Shapes the kernel cannot serve, and non-finite X, are refused
// with an error status naming the shapes.
//
//   Ort::SessionOptions opts;
//   qo::registerInt8ConvVNNI(opts);  // once per options
//   Ort::Session session(env, modelBytes.data(), modelBytes.size(), opts);
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>

namespace qo {

// The process-wide "com.corvanta.int8" domain, created on first use and kept until process exit
// (past every session that uses it). Thread-safe.
Ort::CustomOpDomain& domainInt8();

// Adds the domain to `options`; call once per options (ORT refuses a domain added twice).
// ORT's errors throw Ort::Exception.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

// Weight prepacks done by Int8ConvVNNI kernels in this process (one per kernel, on its first
// run). Thread-safe.
size_t int8ConvPrepacks();

}  // namespace qo
