// The load-time rewrites on builder-made graphs: which nodes qualify, what the rebuilt graph
// holds, and that ONNX Runtime computes the same values before and after.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>

#include "render/ort_harness.h"
#include "render/qo_graph_index.h"
#include "render/qo_graph_rewrites.h"
#include "render/tensor_proto_decode.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using namespace qo::onnx;
using ::testing::ElementsAre;

std::vector<float> randomFloats(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

size_t opsetImports(const std::vector<uint8_t>& model, const std::string& domain) {
  GsReader r{GsSlice(model)};
  GsField f;
  size_t n = 0;
  while (r.next(f)) n += f.isBytes(8) && gsFirstStr(f.payloadSlice(), 1) == domain;
  return n;
}

// ---- GridSample -> GridSampleFast ----

std::vector<uint8_t> gridSampleModel(const std::vector<Attr>& attrs, const std::string& domain = "") {
  ModelBuilder b;
  b.input("x", kFloat, {1, 2, 5, 6});
  b.input("g", kFloat, {1, 5, 6, 2});
  b.node("Relu", {"x"}, {"xr"});
  b.node("GridSample", {"xr", "g"}, {"y"}, attrs, {.name = "/warp/gs", .domain = domain});
  b.output("y", kFloat, {1, 2, 5, 6});
  return b.bytes();
}

TEST(gridSampleRewrite, OnlyTheBilinearBorderUnalignedFormQualifies) {
  const Attr bil = attrString("mode", "bilinear"), lin = attrString("mode", "linear");
  const Attr border = attrString("padding_mode", "border");
  struct Case {
    std::vector<Attr> attrs;
    std::string domain;
    size_t expected;
  } cases[] = {
      {{bil, border}, "", 1},
      {{lin, border}, "", 1},
      {{bil, border, attrInt("align_corners", 0)}, "ai.onnx", 1},
      {{bil, border, attrInt("align_corners", 1)}, "", 0},
      {{attrString("mode", "nearest"), border}, "", 0},
      {{attrString("mode", "bicubic"), border}, "", 0},
      {{bil, attrString("padding_mode", "zeros")}, "", 0},
      {{bil}, "", 0},     // padding_mode defaults to zeros
      {{border}, "", 0},  // mode must be stated
      {{bil, border}, "com.example", 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> model = gridSampleModel(c.attrs, c.domain);
    const std::vector<uint8_t> before = model;
    SCOPED_TRACE(c.domain + " case expecting " + std::to_string(c.expected));
    ASSERT_EQ(rewriteGridSampleToFast(model), c.expected);
    if (!c.expected) {
      EXPECT_EQ(model, before);
      continue;
    }
    const GsGraphIndex g{GsSlice(model)};
    ASSERT_EQ(g.nodes.size(), 2u);
    const GsNode& n = g.nodes[1];
    EXPECT_EQ(n.opType, "GridSampleFast");
    EXPECT_EQ(n.domain, "com.corvanta");
    EXPECT_EQ(n.name, "/warp/gs");
    EXPECT_THAT(n.inputs, ElementsAre("xr", "g"));
    EXPECT_THAT(n.outputs, ElementsAre("y"));
    EXPECT_EQ(gsAttrCount(n.payload), 0u);
    EXPECT_EQ(g.nodes[0].raw.view(), GsGraphIndex{GsSlice(before)}.nodes[0].raw.view());
    EXPECT_EQ(opsetImports(model, "com.corvanta"), 1u);
    EXPECT_TRUE(graphHasBakedGridSampleFast(model));
  }
}

TEST(gridSampleRewrite, ExistingDomainImportIsKept) {
  ModelBuilder b;
  b.opset("com.corvanta", 1);
  b.input("x", kFloat, {1, 1, 2, 2});
  b.input("g", kFloat, {1, 2, 2, 2});
  for (const char* out : {"y0", "y1"})
    b.node("GridSample", {"x", "g"}, {out}, {attrString("mode", "bilinear"), attrString("padding_mode", "border")});
  b.output("y1", kFloat, {1, 1, 2, 2});
  std::vector<uint8_t> model = b.bytes();
  EXPECT_EQ(rewriteGridSampleToFast(model), 2u);
  EXPECT_EQ(opsetImports(model, "com.corvanta"), 1u);
}

// ---- /s2/blend MatMul -> Gemm ----

TEST(studentBlend, NamedTwoInputMatMulBecomesAnEqualGemm) {
  auto model = [](const std::string& name, bool third, bool attr) {
    ModelBuilder b;
    b.input("a", kFloat, {3, 4});
    b.input("w", kFloat, {4, 5});
    std::vector<std::string> in = {"a", "w"};
    if (third) in.push_back("w");
    b.node("MatMul", in, {"y"}, attr ? std::vector<Attr>{attrInt("x", 1)} : std::vector<Attr>{}, {.name = name});
    b.output("y", kFloat, {3, 5});
    return b.bytes();
  };
  for (auto [name, third, attr] : {std::tuple{"/s2/blendx", false, false}, {"/s2/blend", true, false},
                                   {"/s2/blend", false, true}}) {
    std::vector<uint8_t> m = model(name, third, attr);
    EXPECT_EQ(normaliseStudentBlend(m), 0u) << name;
  }
  std::vector<uint8_t> m = model("/s2/blend", false, false);
  const std::vector<uint8_t> before = m;
  ASSERT_EQ(normaliseStudentBlend(m), 1u);
  const GsGraphIndex g{GsSlice(m)};
  EXPECT_EQ(g.nodes[0].opType, "Gemm");
  EXPECT_EQ(opsetImports(m, "com.corvanta"), 0u);

  const test::FloatArray a{{3, 4}, randomFloats(12, 1)}, w{{4, 5}, randomFloats(20, 2)};
  Ort::Session s0 = test::openSession(before), s1 = test::openSession(m);
  const auto y0 = test::runFloats(s0, {{"a", a}, {"w", w}}, {"y"});
  const auto y1 = test::runFloats(s1, {{"a", a}, {"w", w}}, {"y"});
  for (size_t i = 0; i < y0[0].data.size(); ++i) EXPECT_NEAR(y0[0].data[i], y1[0].data[i], 1e-6f);
}

// ---- cubic x2 head Resize -> Pad + depthwise Conv + DepthToSpace ----

TEST(headCubicResize, TapsAreTheNormalisedCubicKernel) {
  double w[4];
  hcTaps(0.75, -0.75, w);
  EXPECT_THAT(std::vector<double>(w, w + 4), ElementsAre(-0.03515625, 0.26171875, 0.87890625, -0.10546875));
  hcTaps(0.25, -0.75, w);
  EXPECT_THAT(std::vector<double>(w, w + 4), ElementsAre(-0.10546875, 0.87890625, 0.26171875, -0.03515625));
  hcTaps(0.3, -0.5, w);
  EXPECT_NEAR(w[0] + w[1] + w[2] + w[3], 1.0, 1e-15);
}

struct HeadSpec {
  int64_t channels = 3, h = 6, w = 7;
  int64_t gainChannels = -1;  // the upstream [N, 1, 1] constant; -1: N = channels
  int leadingNodes = 0;       // Identity nodes before the head
  std::string name = "/head/Resize";
  std::vector<float> scales = {1, 1, 2, 2};
  bool sizesInput = false, secondResize = false, secondConsumer = false, reluConsumer = false;
  bool halfWeights = false, aiOnnxDomain = false;
  std::string collidingTensor = {};  // written by an extra node after the head
  std::vector<Attr> extraAttrs = {};
};

std::vector<uint8_t> headModel(const HeadSpec& s) {
  ModelBuilder b;
  const int64_t C = s.channels;
  b.input("x", kFloat, {1, C, s.h, s.w});
  std::string cur = "x";
  for (int i = 0; i < s.leadingNodes; ++i) {
    const std::string next = "lead" + std::to_string(i);
    b.node("Identity", {cur}, {next});
    cur = next;
  }
  const int64_t gc = s.gainChannels < 0 ? C : s.gainChannels;
  b.initializer("gain", tensorOf<float>({gc, 1, 1}, std::vector<float>(size_t(gc), 1.5f)));
  b.node("Mul", {cur, "gain"}, {"gained"});
  b.initializer("scales", tensorOf<float>({4}, s.scales));
  std::vector<std::string> in = {"gained", "", "scales"};
  if (s.sizesInput) {
    b.initializer("sizes", tensorOf<int64_t>({4}, {1, C, 2 * s.h, 2 * s.w}));
    in.push_back("sizes");
  }
  std::vector<Attr> attrs = {attrString("mode", "cubic"), attrString("coordinate_transformation_mode", "half_pixel")};
  attrs.insert(attrs.end(), s.extraAttrs.begin(), s.extraAttrs.end());
  b.node("Resize", in, {"up"}, attrs, {.name = s.name, .domain = s.aiOnnxDomain ? "ai.onnx" : ""});
  if (s.secondResize) b.node("Resize", {"gained", "", "scales"}, {"up2"}, attrs);
  const std::vector<float> w = randomFloats(size_t(2 * C * 9), 7);
  if (s.halfWeights) {
    std::vector<uint8_t> raw(w.size() * 2, 0x3c);
    b.initializer("conv_w", tensorRaw(kFloat16, {2, C, 3, 3}, raw));
  } else {
    b.initializer("conv_w", tensorOf<float>({2, C, 3, 3}, w));
  }
  b.node(s.reluConsumer ? "Relu" : "Conv", s.reluConsumer ? std::vector<std::string>{"up"}
                                                          : std::vector<std::string>{"up", "conv_w"},
         {"y"}, s.reluConsumer ? std::vector<Attr>{} : std::vector<Attr>{attrInts("pads", {1, 1, 1, 1})});
  if (s.secondConsumer) b.node("Relu", {"up"}, {"y2"});
  if (!s.collidingTensor.empty()) b.node("Identity", {"x"}, {s.collidingTensor});
  b.output("y", kFloat, {1, s.reluConsumer ? C : 2, 2 * s.h, 2 * s.w});
  return b.bytes();
}

TEST(headCubicResize, RefusesEveryNonMatchingForm) {
  HeadSpec fourth, two, consumers, relu, upstream, half, domain, odd, antialias, axes;
  fourth.sizesInput = true;
  two.secondResize = true;
  consumers.secondConsumer = true;
  relu.reluConsumer = true;
  upstream.channels = 32;
  upstream.gainChannels = 64;
  half.halfWeights = true;  // the new float weights would not load beside fp16 ones
  domain.aiOnnxDomain = true;
  odd.scales = {1, 1, 2, 3};
  antialias.extraAttrs = {attrInt("antialias", 1)};
  axes.extraAttrs = {attrInts("axes", {2, 3})};
  for (const HeadSpec* s : {&fourth, &two, &consumers, &relu, &upstream, &half, &domain, &odd, &antialias, &axes}) {
    std::vector<uint8_t> model = headModel(*s);
    const std::vector<uint8_t> before = model;
    EXPECT_EQ(rewriteHeadCubicResize(model), 0u) << "case " << (s - &fourth);
    EXPECT_EQ(model, before);
  }
  HeadSpec collide;
  collide.collidingTensor = "rz1_padout";  // the Resize is node 1
  std::vector<uint8_t> model = headModel(collide);
  EXPECT_EQ(rewriteHeadCubicResize(model), 0u);
}

TEST(headCubicResize, NamesPositionsAndInitializers) {
  HeadSpec s;
  s.leadingNodes = 56;  // Mul at 56, Resize at 57
  s.name = "";
  std::vector<uint8_t> model = headModel(s);
  ASSERT_EQ(rewriteHeadCubicResize(model), 1u);
  const GsGraphIndex g{GsSlice(model)};
  ASSERT_EQ(g.nodes.size(), 56u + 1 + 3 + 1);
  const GsNode &pad = g.nodes[57], &conv = g.nodes[58], &d2s = g.nodes[59];
  EXPECT_EQ(pad.opType, "Pad");
  EXPECT_EQ(pad.name, "/Resize/pad");
  EXPECT_THAT(pad.inputs, ElementsAre("gained", "rz57_pads"));
  EXPECT_EQ(gsNodeAttr(pad.payload, "mode").s, "edge");
  EXPECT_EQ(conv.name, "/Resize/dwconv");
  EXPECT_THAT(conv.inputs, ElementsAre("rz57_padout", "rz57_dw_w"));
  EXPECT_EQ(gsNodeAttr(conv.payload, "group").i, 3);
  EXPECT_EQ(d2s.name, "/Resize/d2s");
  EXPECT_THAT(d2s.inputs, ElementsAre("rz57_convout"));
  EXPECT_THAT(d2s.outputs, ElementsAre("up"));
  EXPECT_EQ(gsNodeAttr(d2s.payload, "mode").s, "CRD");
  std::vector<int64_t> dims;
  hcTensorDims(*g.constant("rz57_dw_w"), dims);
  EXPECT_THAT(dims, ElementsAre(12, 1, 5, 5));
  EXPECT_TRUE(g.constants.count("scales"));  // the Resize's own inputs stay
}

// The head graph before and after the rewrite, run by ORT on the same input.
void expectSameHead(const HeadSpec& s, uint32_t seed) {
  std::vector<uint8_t> model = headModel(s);
  const std::vector<uint8_t> before = model;
  ASSERT_EQ(rewriteHeadCubicResize(model), 1u);
  const test::FloatArray x{{1, s.channels, s.h, s.w}, randomFloats(size_t(s.channels * s.h * s.w), seed)};
  Ort::Session s0 = test::openSession(before), s1 = test::openSession(model);
  const auto y0 = test::runFloats(s0, {{"x", x}}, {"y"}), y1 = test::runFloats(s1, {{"x", x}}, {"y"});
  ASSERT_EQ(y0[0].shape, y1[0].shape);
  float worst = 0;
  for (size_t i = 0; i < y0[0].data.size(); ++i) worst = std::max(worst, std::fabs(y0[0].data[i] - y1[0].data[i]));
  EXPECT_LT(worst, 2e-5f) << s.channels << "x" << s.h << "x" << s.w;
}

TEST(headCubicResize, SameFilterAsOrtCubicResizeBordersIncluded) {
  HeadSpec small, wide, coeff;
  small.h = 1;
  small.w = 2;
  wide.channels = 16;
  wide.h = 9;
  wide.w = 23;
  coeff.extraAttrs = {attrFloat("cubic_coeff_a", -0.5f)};
  expectSameHead(small, 1);
  expectSameHead(wide, 2);
  expectSameHead(coeff, 3);
}

// ONNX's own cubic x2 half_pixel test, its input and expected output, through the rewritten
// filter: the node test feeds scales as a graph input, so the Resize is rebuilt here with them
// as a constant and an identity 1x1 Conv as the consumer the rewrite asks for.
TEST(headCubicResize, MatchesOnnxReferenceUpsample) {
  const std::filesystem::path dir = "/usr/share/libonnx-testdata/data/node/test_resize_upsample_scales_cubic";
  auto read = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  test::DecodedTensor x, scales, want;
  std::string why;
  ASSERT_TRUE(test::decodeTensorProto(read(dir / "test_data_set_0/input_0.pb"), x, why)) << why;
  ASSERT_TRUE(test::decodeTensorProto(read(dir / "test_data_set_0/input_1.pb"), scales, why)) << why;
  ASSERT_TRUE(test::decodeTensorProto(read(dir / "test_data_set_0/output_0.pb"), want, why)) << why;
  ASSERT_EQ(x.dims.size(), 4u);
  std::vector<float> sv(scales.elementCount());
  std::memcpy(sv.data(), scales.bytes.data(), sv.size() * 4);
  ASSERT_THAT(sv, ElementsAre(1, 1, 2, 2));

  const int64_t C = x.dims[1];
  ModelBuilder b;
  b.input("x", kFloat, {x.dims[0], C, x.dims[2], x.dims[3]});
  b.initializer("scales", tensorOf<float>({4}, sv));
  b.node("Resize", {"x", "", "scales"}, {"up"}, {attrString("mode", "cubic"),
                                                  attrString("coordinate_transformation_mode", "half_pixel")});
  std::vector<float> id(size_t(C * C), 0.0f);
  for (int64_t c = 0; c < C; ++c) id[size_t(c * C + c)] = 1.0f;
  b.initializer("id", tensorOf<float>({C, C, 1, 1}, id));
  b.node("Conv", {"up", "id"}, {"y"});
  b.output("y", kFloat, {want.dims[0], want.dims[1], want.dims[2], want.dims[3]});
  std::vector<uint8_t> model = b.bytes();
  ASSERT_EQ(rewriteHeadCubicResize(model), 1u);

  Ort::Session s = test::openSession(model);
  test::FloatArray in{x.dims, std::vector<float>(x.elementCount())};
  std::memcpy(in.data.data(), x.bytes.data(), in.data.size() * 4);
  const auto y = test::runFloats(s, {{"x", in}}, {"y"});
  ASSERT_EQ(y[0].shape, want.dims);
  for (size_t i = 0; i < y[0].data.size(); ++i) {
    float w;
    std::memcpy(&w, want.bytes.data() + 4 * i, 4);
    EXPECT_NEAR(y[0].data[i], w, 1e-5f + 1e-5f * std::fabs(w)) << "element " << i;
  }
}

}  // namespace
}  // namespace qo
