#include "render/qo_graph_rewrites.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "render/qo_graph_index.h"

namespace qo {
namespace {

constexpr uint32_t kNodeOpType = 4, kNodeAttribute = 5, kNodeDomain = 7;
constexpr const char* kCorvanta = "com.corvanta";

// The node as a graph field with op_type, attributes (when `dropAttributes`) and domain removed
// and the new op_type and domain appended.
void retypeNode(GsSlice node, std::string_view opType, std::string_view domain, bool dropAttributes,
                std::vector<uint8_t>& graph) {
  std::vector<uint8_t> n;
  n.reserve(node.len + 32);
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.isBytes(kNodeOpType) || f.isBytes(kNodeDomain) || (dropAttributes && f.isBytes(kNodeAttribute))) continue;
    gsPutRaw(n, f.rawSlice());
  }
  gsPutBytes(n, kNodeOpType, opType);
  if (!domain.empty()) gsPutBytes(n, kNodeDomain, domain);
  gsPutBytes(graph, 1, n);
}

size_t retypeMatching(std::vector<uint8_t>& model, bool (*test)(GsSlice), std::string_view opType,
                      std::string_view domain, bool dropAttributes, bool importDomain) {
  const GsGraphIndex g{GsSlice(model)};
  if (!g.hasGraph || !g.singleGraph) return 0;
  std::vector<bool> hit(g.nodes.size());
  size_t count = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    hit[i] = test(g.nodes[i].payload);
    count += hit[i] ? 1 : 0;
  }
  if (count == 0) return 0;
  const std::vector<uint8_t> tail =
      importDomain && !gsImportsDomain(model, domain) ? gsOpsetImport(domain, 1) : std::vector<uint8_t>();
  std::vector<uint8_t> out;
  GsNodeEdit edit;
  edit.rewrite = [&](size_t i, std::vector<uint8_t>& graph) {
    if (i >= hit.size() || !hit[i]) return false;
    retypeNode(g.nodes[i].payload, opType, domain, dropAttributes, graph);
    return true;
  };
  edit.modelTail = GsSlice(tail);
  gsRebuildNodes(model, edit, out);
  model = std::move(out);
  return count;
}

bool floatsEqual(const GsSlice* tensor, std::initializer_list<float> want) {
  std::vector<float> v;
  if (!tensor || !hcTensorFloats(*tensor, v) || v.size() != want.size()) return false;
  return std::equal(v.begin(), v.end(), want.begin());
}

uint64_t tensorDataType(GsSlice tensor) {
  GsReader r(tensor);
  GsField f;
  uint64_t t = 0;
  while (r.next(f))
    if (f.number == 2 && f.wireType == 0) t = f.varint;
  return t;
}

bool isCubicX2Candidate(const GsGraphIndex& g, const GsNode& n) {
  if (n.opType != "Resize" || !n.domain.empty()) return false;
  const HcAttrs a = hcReadAttrs(n.payload);
  if (a.mode != "cubic" || a.coordinateTransformationMode != "half_pixel" || a.antialias || a.excludeOutside ||
      a.hasAxes || !(a.keepAspectRatioPolicy.empty() || a.keepAspectRatioPolicy == "stretch"))
    return false;
  if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return false;
  return floatsEqual(g.constant(n.inputs[2]), {1.0f, 1.0f, 2.0f, 2.0f});
}

// The channel count the Resize feeds: group x weight dims[1] of its only consumer, a Conv with
// float32 weights. 0 when the rewrite does not apply.
int64_t consumerChannels(const GsGraphIndex& g, const GsNode& resize) {
  const auto it = g.consumers.find(resize.outputs[0]);
  if (it == g.consumers.end() || it->second.size() != 1) return 0;
  const GsNode& conv = g.nodes[it->second[0]];
  if (conv.opType != "Conv" || conv.inputs.size() < 2) return 0;
  const GsSlice* w = g.constant(conv.inputs[1]);
  if (!w) return 0;
  std::vector<int64_t> dims;
  hcTensorDims(*w, dims);
  if (dims.size() != 4) return 0;
  // The new weights and pads are float32: a graph of another precision would not load.
  if (tensorDataType(*w) != 1) return 0;
  const GsAttr group = gsNodeAttr(conv.payload, "group");
  const int64_t groups = group.present && group.hasI ? group.i : 1;
  if (groups < 1 || dims[1] < 1 || dims[1] > 1048576 / groups) return 0;
  return groups * dims[1];
}

// A per-channel [N, 1, 1] constant within 4 producers upstream must agree with C.
bool upstreamChannelsAgree(const GsGraphIndex& g, const GsNode& resize, int64_t channels) {
  std::string cur = resize.inputs[0];
  for (int step = 0; step < 4; ++step) {
    const auto p = g.producer.find(cur);
    if (p == g.producer.end()) return true;
    const GsNode& n = g.nodes[p->second];
    if (n.inputs.empty()) return true;
    for (const std::string& in : n.inputs) {
      const GsSlice* c = g.constant(in);
      if (!c) continue;
      std::vector<int64_t> dims;
      hcTensorDims(*c, dims);
      if (dims.size() == 3 && dims[1] == 1 && dims[2] == 1) return dims[0] == channels;
    }
    cur = n.inputs[0];
  }
  return true;
}

}  // namespace

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  GsReader graph(gsGraphOf(model));
  GsField f;
  while (graph.next(f)) {
    if (!f.isBytes(1)) continue;
    const GsSlice node = f.payloadSlice();
    if (gsFirstStr(node, kNodeOpType) == "GridSampleFast" && gsFirstStr(node, kNodeDomain) == kCorvanta) return true;
  }
  return false;
}

bool gsIsRewritableGridSample(GsSlice node) {
  if (gsFirstStr(node, kNodeOpType) != "GridSample" || !gsStandardDomain(gsFirstStr(node, kNodeDomain))) return false;
  const GsAttr mode = gsNodeAttr(node, "mode"), padding = gsNodeAttr(node, "padding_mode");
  const GsAttr corners = gsNodeAttr(node, "align_corners");
  if (!mode.present || (mode.s != "bilinear" && mode.s != "linear")) return false;
  if (!padding.present || padding.s != "border") return false;
  return !corners.present || corners.i == 0;
}

bool gsIsStudentBlendMatMul(GsSlice node) {
  const GsNode h = gsNodeOf({}, node);
  return h.name == "/s2/blend" && h.opType == "MatMul" && h.inputs.size() == 2 && gsAttrCount(node) == 0 &&
         gsStandardDomain(h.domain);
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  return retypeMatching(model, gsIsRewritableGridSample, "GridSampleFast", kCorvanta, true, true);
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  return retypeMatching(model, gsIsStudentBlendMatMul, "Gemm", "", false, false);
}

void hcTaps(double t, double a, double w[4]) {
  const double d[4] = {t + 1.0, t, 1.0 - t, 2.0 - t};
  double sum = 0.0;
  for (int k = 0; k < 4; ++k) {
    w[k] = d[k] <= 1.0 ? ((a + 2.0) * d[k] - (a + 3.0)) * d[k] * d[k] + 1.0 : ((d[k] - 5.0) * d[k] + 8.0) * d[k] * a - 4.0 * a;
    sum += w[k];
  }
  for (int k = 0; k < 4; ++k) w[k] /= sum;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const GsGraphIndex g{GsSlice(model)};
  if (!g.hasGraph || !g.singleGraph) return 0;
  size_t at = 0, candidates = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isCubicX2Candidate(g, g.nodes[i])) {
      at = i;
      ++candidates;
    }
  if (candidates != 1) return 0;
  const GsNode& resize = g.nodes[at];
  const HcAttrs attrs = hcReadAttrs(resize.payload);
  const double a = attrs.hasCubicCoeffA ? double(attrs.cubicCoeffA) : -0.75;

  const int64_t channels = consumerChannels(g, resize);
  if (channels < 1 || !upstreamChannelsAgree(g, resize, channels)) return 0;

  const std::string prefix = "rz" + std::to_string(at);
  const std::string base = resize.name.empty() ? "/Resize" : resize.name;
  const std::string pads = prefix + "_pads", weights = prefix + "_dw_w", padded = prefix + "_padout",
                    convOut = prefix + "_convout";
  for (const std::string* n : {&pads, &weights, &padded, &convOut})
    if (g.namesTensor(*n)) return 0;

  // Kernel 4c + 2dy + dx holds output phase (dy, dx): phase 0 samples 0.25 before the centre
  // pixel (taps at window rows 0..3), phase 1 0.25 after it (rows 1..4).
  double phase[2][5] = {};
  double taps[4];
  hcTaps(0.75, a, taps);
  for (int k = 0; k < 4; ++k) phase[0][k] = taps[k];
  hcTaps(0.25, a, taps);
  for (int k = 0; k < 4; ++k) phase[1][k + 1] = taps[k];
  std::vector<float> w(size_t(channels) * 4 * 25);
  for (int64_t c = 0; c < channels; ++c)
    for (int dy = 0; dy < 2; ++dy)
      for (int dx = 0; dx < 2; ++dx) {
        float* k = w.data() + (size_t(c) * 4 + size_t(2 * dy + dx)) * 25;
        for (int r = 0; r < 5; ++r)
          for (int q = 0; q < 5; ++q) k[r * 5 + q] = float(phase[dy][r] * phase[dx][q]);
      }

  std::vector<uint8_t> tail;
  const int64_t padValues[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  const int64_t padDims[1] = {8};
  hcInit(tail, pads, 7, padDims, 1, GsSlice(reinterpret_cast<const uint8_t*>(padValues), sizeof padValues));
  const int64_t wDims[4] = {4 * channels, 1, 5, 5};
  hcInit(tail, weights, 1, wDims, 4, GsSlice(reinterpret_cast<const uint8_t*>(w.data()), w.size() * sizeof(float)));

  std::vector<uint8_t> out;
  GsNodeEdit edit;
  edit.graphTail = GsSlice(tail);
  edit.reserveExtra = tail.size() + 512;
  edit.rewrite = [&](size_t i, std::vector<uint8_t>& graph) {
    if (i != at) return false;
    std::vector<uint8_t> attr;
    hcAttrS(attr, "edge");
    hcNode(graph, "Pad", {resize.inputs[0], pads}, padded, base + "/pad", attr);
    attr.clear();
    const int64_t ones[2] = {1, 1}, five[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
    hcAttrIs(attr, "dilations", ones, 2);
    hcAttrI(attr, "group", channels);
    hcAttrIs(attr, "kernel_shape", five, 2);
    hcAttrIs(attr, "pads", zeros, 4);
    hcAttrIs(attr, "strides", ones, 2);
    hcNode(graph, "Conv", {padded, weights}, convOut, base + "/dwconv", attr);
    attr.clear();
    hcAttrI(attr, "blocksize", 2);
    hcAttrS(attr, "CRD");
    hcNode(graph, "DepthToSpace", {convOut}, resize.outputs[0], base + "/d2s", attr);
    return true;
  };
  gsRebuildNodes(model, edit, out);
  model = std::move(out);
  return 1;
}

}  // namespace qo
