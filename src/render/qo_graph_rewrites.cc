#include "render/qo_graph_rewrites.h"

#include "render/qo_onnx_wire.h"

namespace qo {

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  GsReader graph(gsGraphOf(model));
  GsField f;
  while (graph.next(f)) {
    if (!f.isBytes(1)) continue;
    const GsSlice node = f.payloadSlice();
    if (gsFirstStr(node, 4) == "GridSampleFast" && gsFirstStr(node, 7) == "com.corvanta") return true;
  }
  return false;
}

}  // namespace qo
