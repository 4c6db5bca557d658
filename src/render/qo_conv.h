// The native fp16 convolution engine for the fused director. Not compiled into this build yet:
// available() reports false and the renderer takes the ONNX Runtime path.
#pragma once

namespace qo {

class ConvBackend {
 public:
  static bool available() { return false; }
};

}  // namespace qo
