#include "tools/devkit/demo_int8.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "render/qo_graph_index.h"
#include "render/qo_onnx_wire.h"

namespace qo::devkit {
namespace {

constexpr const char* kDomain = "com.corvanta.int8";

struct Quantised {
  std::vector<int8_t> w;  // [M][C][KH][KW], dense
  std::vector<float> scale, bias;
  int64_t dims[4];
};

// Dense int8 weights of a Conv with float weights; false when the node is not one to rewrite.
bool quantise(const GsGraphIndex& g, const GsNode& n, Quantised& out) {
  if (n.opType != "Conv" || !gsStandardDomain(n.domain) || n.inputs.size() < 2 || n.name.rfind("/cone/", 0) == 0)
    return false;
  const GsSlice* wt = g.constant(n.inputs[1]);
  std::vector<float> w;
  std::vector<int64_t> d;
  if (!wt || !hcTensorFloats(*wt, w)) return false;
  hcTensorDims(*wt, d);
  if (d.size() != 4) return false;
  const GsAttr ga = gsNodeAttr(n.payload, "group");
  const int64_t group = ga.present ? ga.i : 1, M = d[0], Cg = d[1], taps = d[2] * d[3];
  if (group < 1 || M % group != 0) return false;
  const int64_t C = Cg * group, Mg = M / group;
  out.dims[0] = M, out.dims[1] = C, out.dims[2] = d[2], out.dims[3] = d[3];
  out.w.assign(size_t(M * C * taps), 0);
  out.scale.assign(size_t(M), 1.0f);
  out.bias.assign(size_t(M), 0.0f);
  for (int64_t m = 0; m < M; ++m) {
    const float* src = w.data() + m * Cg * taps;
    float mx = 0;
    for (int64_t i = 0; i < Cg * taps; ++i) mx = std::fmax(mx, std::fabs(src[i]));
    const float s = mx > 0 ? mx / 127.0f : 1.0f;
    out.scale[size_t(m)] = s;
    const int64_t c0 = (m / Mg) * Cg;  // the group's first input channel
    for (int64_t c = 0; c < Cg; ++c)
      for (int64_t t = 0; t < taps; ++t)
        out.w[size_t((m * C + c0 + c) * taps + t)] = int8_t(std::nearbyint(src[c * taps + t] / s));
  }
  if (n.inputs.size() >= 3 && !n.inputs[2].empty()) {
    const GsSlice* bt = g.constant(n.inputs[2]);
    if (!bt || !hcTensorFloats(*bt, out.bias) || int64_t(out.bias.size()) != M) return false;
  }
  return true;
}

}  // namespace

size_t quantiseDirectorConvs(std::vector<uint8_t>& model) {
  const GsGraphIndex g{GsSlice(model)};
  if (!g.hasGraph || !g.singleGraph) return 0;
  std::vector<Quantised> q(g.nodes.size());
  std::vector<bool> hit(g.nodes.size());
  size_t count = 0;
  std::vector<uint8_t> tail;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    hit[i] = quantise(g, g.nodes[i], q[i]);
    if (!hit[i]) continue;
    ++count;
    const std::string p = "int8_" + std::to_string(i);
    const Quantised& z = q[i];
    hcInit(tail, p + "_w", 3, z.dims, 4, GsSlice(reinterpret_cast<const uint8_t*>(z.w.data()), z.w.size()));
    const int64_t m[1] = {z.dims[0]};
    hcInit(tail, p + "_ws", 1, m, 1,
           GsSlice(reinterpret_cast<const uint8_t*>(z.scale.data()), z.scale.size() * sizeof(float)));
    hcInit(tail, p + "_b", 1, m, 1, GsSlice(reinterpret_cast<const uint8_t*>(z.bias.data()), z.bias.size() * sizeof(float)));
  }
  if (count == 0) return 0;
  const std::vector<uint8_t> imports = gsImportsDomain(model, kDomain) ? std::vector<uint8_t>() : gsOpsetImport(kDomain, 1);
  GsNodeEdit edit;
  edit.graphTail = GsSlice(tail);
  edit.modelTail = GsSlice(imports);
  edit.reserveExtra = tail.size() + 1024;
  edit.rewrite = [&](size_t i, std::vector<uint8_t>& graph) {
    if (i >= hit.size() || !hit[i]) return false;
    const GsNode& n = g.nodes[i];
    std::vector<uint8_t> attrs;  // strides, pads and dilations as they were; group is now 1
    GsReader r(n.payload);
    GsField f;
    while (r.next(f)) {
      if (!f.isBytes(5)) continue;
      const std::string name = gsFirstStr(f.payloadSlice(), 1);
      if (name == "strides" || name == "pads" || name == "dilations") gsPutRaw(attrs, f.rawSlice());
    }
    const std::string p = "int8_" + std::to_string(i);
    hcNode(graph, "Int8ConvVNNI", {n.inputs[0], p + "_w", p + "_ws", p + "_b"}, n.outputs[0], n.name + "_int8",
           GsSlice(attrs), kDomain);
    return true;
  };
  std::vector<uint8_t> out;
  gsRebuildNodes(model, edit, out);
  model = std::move(out);
  return count;
}

void quantiseDemoDirectors(const std::string& dir) {
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("model_b", 0) != 0 || e.path().extension() != ".onnx") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw std::runtime_error("qo demo --int8: cannot read " + e.path().string());
    quantiseDirectorConvs(bytes);
    std::ofstream out(e.path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("qo demo --int8: cannot write " + e.path().string());
  }
}

}  // namespace qo::devkit
