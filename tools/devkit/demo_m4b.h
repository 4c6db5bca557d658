// The fused "m4b" demo director: an ONNX graph of exactly the network written down in
// src/render/qo_conv.h, with designed weights (an encoder whose heads keep the warp and the
// correction and tile paths close to identity over the warped source), so that ONNX Runtime and
// the native conv engine render the same plausible face and ORT is the engine's reference.
//
// Inputs pooled64 [B,64,32,32], P_rgb [B,3,512,512], kp_driving / kp_source [B,21,3]; output
// "rgb" [B,3,512,512]. Every initializer is a weight the engine reads; all other constants are
// Constant nodes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tools/devkit/onnx_values.h"

namespace qo::devkit {

using NamedTensors = std::vector<std::pair<std::string, onnx::Tensor>>;

struct M4bOptions {
  int batch = 1;
  uint32_t seed = 16;
  // Also declares every intermediate the engine can dump as a graph output, under the same name.
  bool intermediates = false;
  // The 1x1 "pre" layer's exported names (the engine finds the bias by the weight's counter).
  std::string preWeight = "onnx::Conv_313", preBias = "onnx::Conv_314";
  // Called with the initializers before they are written (tests derive broken graphs from it).
  std::function<void(NamedTensors&)> editInitializers;
};

// The dump names, in network order.
const std::vector<std::string>& m4bIntermediateNames();

std::vector<uint8_t> m4bDirectorBytes(const M4bOptions& options);
void writeM4bDirector(const std::string& path, const M4bOptions& options);

}  // namespace qo::devkit
