// The quantised demo director: the demo bundle's float director with its head convolutions as
// com.corvanta.int8::Int8ConvVNNI nodes, int8 weights with per-output-channel scales taken from
// the float weights (max |w| / 127, rounded to nearest even). Depthwise convolutions become
// dense ones with block-diagonal weights (the operator serves group 1 only). The source cone's
// convolutions stay float: the cone may be hoisted into a session that carries no custom
// operators.
//
//   qo::devkit::writeDemoBundle(dir, options);
//   qo::devkit::quantiseDemoDirectors(dir);  // rewrites every model_b<N>.onnx in place
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qo::devkit {

// Rewrites the convolutions of one serialized model as described above; returns how many.
size_t quantiseDirectorConvs(std::vector<uint8_t>& model);

// Applies quantiseDirectorConvs to every director graph of the bundle in `dir`. Throws
// std::runtime_error naming the file on I/O failure.
void quantiseDemoDirectors(const std::string& dir);

}  // namespace qo::devkit
