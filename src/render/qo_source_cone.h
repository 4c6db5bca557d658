// The director's source cone and warp block, found in the model bytes, and the two load-time
// transformations built on them:
// - the hoist: a prep graph holding the cone ("P_rgb" through constants-only nodes up to the one
//   Concat that reads it, the boundary), run once per source frame, and a per-frame graph that
//   takes the boundary as an input;
// - the warp node: the cone, the GridSample on its tip, the Slices and the Add/Sub/Mul
//   recombination replaced by one com.corvanta::WarpDirector reading "P_rgb" and the grid.
// Every failure leaves the model unchanged and says why in `reason`; malformed bytes throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/qo_graph_index.h"

namespace qo {

struct WarpBlock {
  std::string tip;   // the boundary: output of the Concat that reads "P_rgb"
  std::string grid;  // the GridSample's second input
  std::string exit;  // the one value through which the recombination leaves the block
  int64_t nodeCount = 0;  // GridSample + Slices + recombination nodes
};

// Number of Concat nodes reading "P_rgb"; `boundary` is set to the one Concat's output when that
// number is 1 and cleared otherwise.
size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& boundary);
size_t findSourceConeBoundary(const GsGraphIndex& g, std::string& boundary);

// Marks in `coneMask` (one byte per node) the nodes the boundary depends on, back to "P_rgb",
// initializers and Constant nodes (which stay outside the cone). Fails when the cone reads
// another graph input, a value without producer, or when a cone value other than the boundary
// (or "P_rgb" itself) is read outside the cone.
bool gsSourceCone(const GsGraphIndex& g, const std::string& boundary, std::vector<uint8_t>& coneMask,
                  std::string& reason);

// The prep graph: the cone and every Constant node, input "P_rgb" only, the boundary as its one
// output (four symbolic dims).
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prep,
                         std::string& reason);

// The per-frame graph: without the cone nodes and the "P_rgb" input, with the boundary as an
// input of the given dims.
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t dimCount, std::vector<uint8_t>& perFrame, std::string& reason);

// The warp block on the cone's tip; returns its node count, 0 when there is none (with reason).
int64_t findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason);

// Replaces cone and warp block with one WarpDirector node named "qo_warp_director"; returns the
// number of nodes removed, 0 when the model is unchanged (with reason).
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

}  // namespace qo
