// Load-time inspection and rewrites of the director graph, over the model bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace qo {

// True when any node of the graph is com.corvanta::GridSampleFast. Parse errors throw.
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

}  // namespace qo
