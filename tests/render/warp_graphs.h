// The director's source cone and warp block written with standard operators, for the tests of
// the warp node and the hoist.
#pragma once

#include <string>

#include "tools/devkit/onnx_model_builder.h"

namespace qo::test {

// Depthwise 3x3 second differences of `padded` (the edge-padded 3-channel source): outputs
// dxx, dyy and the mixed dxxyy; their weights are initializers "<output>_w".
void addSecondDifferences(onnx::ModelBuilder& b, const std::string& padded, const std::string& dxx,
                          const std::string& dyy, const std::string& dxy);

// One bilinear/border GridSample of the 12-channel `cone` by `grid`, Slices into the value and the
// three second differences, and the recombination with the correction weights `qx`, `qy`:
//   out = (qx qy) Dxxyy + ((V - qx Dxx) - qy Dyy)
// Slice starts are Constant nodes when `constantStarts`; the other constants are initializers.
void addWarpBlock(onnx::ModelBuilder& b, const std::string& cone, const std::string& grid, const std::string& qx,
                  const std::string& qy, const std::string& out, bool alignCorners = false,
                  bool constantStarts = false);

}  // namespace qo::test
