// Models written by the devkit builder, loaded and run in ONNX Runtime against values the test
// computes itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/ort_harness.h"
#include "render/qo_onnx_wire.h"
#include "support/test_support.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo::onnx {
namespace {

using test::FloatArray;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pointwise;

std::vector<float> ramp(size_t n, float start, float step) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = start + step * float(i);
  return v;
}

MATCHER(Near, "") { return std::fabs(std::get<0>(arg) - std::get<1>(arg)) <= 1e-5f * (1 + std::fabs(std::get<1>(arg))); }

TEST(wireModelBuilder, AddWithSymbolicDims) {
  ModelBuilder b;
  b.input("a", kFloat, {"n", 3});
  b.input("b", kFloat, {"n", 3});
  const std::string y = b.node("Add", {"a", "b"}, {"sum"});
  b.output(y, kFloat, {"n", 3});
  Ort::Session s = test::openSession(b.bytes());

  const Ort::TypeInfo info = s.GetInputTypeInfo(0);
  const auto shape = info.GetTensorTypeAndShapeInfo();
  EXPECT_THAT(shape.GetShape(), ElementsAre(-1, 3));
  EXPECT_EQ(shape.GetElementType(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT);

  for (int64_t n : {1, 4}) {
    const FloatArray a{{n, 3}, ramp(size_t(n) * 3, -2.f, 0.5f)}, c{{n, 3}, ramp(size_t(n) * 3, 10.f, -1.f)};
    const auto got = test::runFloats(s, {{"a", a}, {"b", c}}, {"sum"});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0].shape, ElementsAre(n, 3));
    for (size_t i = 0; i < a.data.size(); ++i) EXPECT_EQ(got[0].data[i], a.data[i] + c.data[i]);
  }
}

TEST(wireModelBuilder, ConvWithInitializers) {
  const int cin = 2, cout = 3, h = 5, w = 5, k = 3, stride = 2, pad = 1;
  const int oh = (h + 2 * pad - k) / stride + 1, ow = (w + 2 * pad - k) / stride + 1;
  const std::vector<float> weights = ramp(size_t(cout * cin * k * k), -0.4f, 0.05f);
  const std::vector<float> bias{0.5f, -1.f, 2.f};
  ModelBuilder b;
  b.input("x", kFloat, {1, cin, h, w});
  b.initializer("w", tensorOf<float>({cout, cin, k, k}, weights));
  b.initializer("b", tensorOf<float>({cout}, bias));
  auto y = b.node("Conv", {"x", "w", "b"}, {"y"},
                  {attrInts("pads", {pad, pad, pad, pad}), attrInts("strides", {stride, stride}),
                   attrInts("kernel_shape", {k, k})},
                  {.name = "conv0"});
  b.output(y, kFloat, {1, cout, oh, ow});

  const FloatArray x{{1, cin, h, w}, ramp(size_t(cin * h * w), 1.f, -0.03f)};
  Ort::Session s = test::openSession(b.bytes());
  const auto got = test::runFloats(s, {{"x", x}}, {"y"});

  std::vector<float> want;
  for (int o = 0; o < cout; ++o)
    for (int r = 0; r < oh; ++r)
      for (int c = 0; c < ow; ++c) {
        double acc = bias[size_t(o)];
        for (int i = 0; i < cin; ++i)
          for (int dy = 0; dy < k; ++dy)
            for (int dx = 0; dx < k; ++dx) {
              const int yy = r * stride - pad + dy, xx = c * stride - pad + dx;
              if (yy < 0 || yy >= h || xx < 0 || xx >= w) continue;
              acc += double(weights[size_t(((o * cin + i) * k + dy) * k + dx)]) * x.data[size_t((i * h + yy) * w + xx)];
            }
        want.push_back(float(acc));
      }
  EXPECT_THAT(got.at(0).shape, ElementsAre(1, cout, oh, ow));
  EXPECT_THAT(got.at(0).data, Pointwise(Near(), want));
}

// Linear sample of `in` (rows x cols) at fractional position (y, x), edges clamped.
float bilinearClamped(const std::vector<float>& in, int rows, int cols, double y, double x) {
  y = std::clamp(y, 0.0, double(rows - 1));
  x = std::clamp(x, 0.0, double(cols - 1));
  const int y0 = int(std::floor(y)), x0 = int(std::floor(x));
  const int y1 = std::min(y0 + 1, rows - 1), x1 = std::min(x0 + 1, cols - 1);
  const double fy = y - y0, fx = x - x0;
  auto at = [&](int r, int c) { return double(in[size_t(r * cols + c)]); };
  return float((1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) + fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1)));
}

TEST(wireModelBuilder, ResizeWithConstantScales) {
  const int h = 3, w = 4;
  ModelBuilder b;
  b.input("x", kFloat, {1, 1, h, w});
  b.constant("scales", tensorOf<float>({4}, {1.f, 1.f, 2.f, 2.f}), {.name = "scales_const"});
  auto y = b.node("Resize", {"x", "", "scales"}, {"y"},
                  {attrString("mode", "linear"), attrString("coordinate_transformation_mode", "half_pixel")});
  b.output(y, kFloat, {1, 1, 2 * h, 2 * w});

  const FloatArray x{{1, 1, h, w}, {0.f, 1.f, 4.f, 9.f, -2.f, 3.f, 5.f, 1.f, 7.f, -6.f, 2.f, 8.f}};
  Ort::Session s = test::openSession(b.bytes());
  const auto got = test::runFloats(s, {{"x", x}}, {"y"});

  std::vector<float> want;
  for (int r = 0; r < 2 * h; ++r)
    for (int c = 0; c < 2 * w; ++c) want.push_back(bilinearClamped(x.data, h, w, (r + 0.5) / 2 - 0.5, (c + 0.5) / 2 - 0.5));
  EXPECT_THAT(got.at(0).shape, ElementsAre(1, 1, 2 * h, 2 * w));
  EXPECT_THAT(got.at(0).data, Pointwise(Near(), want));
}

TEST(wireModelBuilder, GridSampleBilinearBorder) {
  const int h = 3, w = 4;
  ModelBuilder b;
  b.opset("", 16);
  b.input("x", kFloat, {1, 1, h, w});
  b.input("grid", kFloat, {1, 2, 3, 2});
  auto y = b.node("GridSample", {"x", "grid"}, {"y"},
                  {attrString("mode", "bilinear"), attrString("padding_mode", "border"), attrInt("align_corners", 0)});
  b.output(y, kFloat, {1, 1, 2, 3});

  const FloatArray x{{1, 1, h, w}, ramp(size_t(h * w), -1.f, 0.75f)};
  // (x, y) pairs in [-1, 1], some outside to reach the border.
  const FloatArray grid{{1, 2, 3, 2}, {-1.2f, -1.f, 0.1f, 0.3f, 0.9f, -0.4f, 1.3f, 1.1f, -0.5f, 0.6f, 0.f, 0.f}};
  Ort::Session s = test::openSession(b.bytes());
  const auto got = test::runFloats(s, {{"x", x}, {"grid", grid}}, {"y"});

  std::vector<float> want;
  for (size_t i = 0; i < 6; ++i) {
    const double gx = grid.data[2 * i], gy = grid.data[2 * i + 1];
    want.push_back(bilinearClamped(x.data, h, w, ((gy + 1) * h - 1) / 2, ((gx + 1) * w - 1) / 2));
  }
  EXPECT_THAT(got.at(0).data, Pointwise(Near(), want));
}

TEST(wireModelBuilder, EveryAttributeKind) {
  ModelBuilder b;
  b.input("x", kFloat, {2, 3});
  b.initializer("shape", tensorOf<int64_t>({2}, {3, 2}));
  b.node("LeakyRelu", {"x"}, {"a"}, {attrFloat("alpha", 0.125f)});
  b.node("Constant", {}, {"c"}, {attrFloats("value_floats", {1.f, 2.f, 3.f})});
  b.node("Add", {"a", "c"}, {"s"});
  b.node("Transpose", {"s"}, {"t"}, {attrInts("perm", {1, 0})});
  b.node("ConstantOfShape", {"shape"}, {"k"}, {attrTensor("value", tensorOf<float>({1}, {0.5f}))});
  b.node("Concat", {"t", "k"}, {"out"}, {attrInt("axis", 1)});
  b.node("Constant", {}, {"tag"}, {attrStrings("value_strings", {"left", "right"})});
  b.valueInfo("t", kFloat, {3, 2});
  b.output("out", kFloat, {3, 4});
  b.output("tag", kString, {2});

  const FloatArray x{{2, 3}, {-8.f, 1.f, -2.f, 4.f, -0.5f, 6.f}};
  Ort::Session s = test::openSession(b.bytes());
  const auto got = test::runFloats(s, {{"x", x}}, {"out"});
  std::vector<float> want;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 2; ++c) {
      const float v = x.data[size_t(c * 3 + r)];
      want.push_back((v < 0 ? v * 0.125f : v) + float(r + 1));
    }
    want.insert(want.end(), {0.5f, 0.5f});
  }
  EXPECT_THAT(got.at(0).shape, ElementsAre(3, 4));
  EXPECT_EQ(got.at(0).data, want);

  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, const_cast<float*>(x.data.data()), 6, x.shape.data(), 2);
  const char* inName = "x";
  const char* outName = "tag";
  auto tags = s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  EXPECT_EQ(tags.at(0).GetStringTensorElement(0), "left");
  EXPECT_EQ(tags.at(0).GetStringTensorElement(1), "right");
}

// Each element type as an initializer, cast to float: raw_data and the typed fields must agree.
TEST(wireModelBuilder, InitializersOfCommonTypes) {
  struct Case {
    std::string name;
    Tensor t;
    std::vector<float> want;
  };
  auto bits = [](std::vector<uint16_t> v) {
    std::vector<uint8_t> b(v.size() * 2);
    std::memcpy(b.data(), v.data(), b.size());
    return b;
  };
  const std::vector<Case> cases = {
      {"f32", tensorOf<float>({2}, {0.25f, -3.5f}), {0.25f, -3.5f}},
      {"f64", tensorOf<double>({2}, {0.5, -1.25}), {0.5f, -1.25f}},
      {"i8", tensorOf<int8_t>({2}, {-3, 100}), {-3.f, 100.f}},
      {"u8", tensorOf<uint8_t>({2}, {200, 1}), {200.f, 1.f}},
      {"i16", tensorOf<int16_t>({2}, {-300, 7}), {-300.f, 7.f}},
      {"u16", tensorOf<uint16_t>({2}, {60000, 2}), {60000.f, 2.f}},
      {"i32", tensorOf<int32_t>({2}, {-70000, 9}), {-70000.f, 9.f}},
      {"u32", tensorOf<uint32_t>({2}, {4000000000u, 3}), {4000000000.f, 3.f}},
      {"i64", tensorOf<int64_t>({2}, {-(int64_t(1) << 40), 5}), {-1099511627776.f, 5.f}},
      {"u64", tensorOf<uint64_t>({2}, {uint64_t(1) << 63, 11}), {9223372036854775808.f, 11.f}},
      {"b", tensorOfBools({2}, {true, false}), {1.f, 0.f}},
      {"f16", tensorRaw(kFloat16, {2}, bits({0x3c00, 0xc000})), {1.f, -2.f}},   // 1.0, -2.0
      {"bf16", tensorRaw(kBfloat16, {2}, bits({0x3f80, 0xc040})), {1.f, -3.f}}, // 1.0, -3.0
  };
  for (bool typed : {false, true}) {
    SCOPED_TRACE(typed ? "typed fields" : "raw_data");
    ModelBuilder b;
    std::vector<std::string> outs;
    for (const Case& c : cases) {
      b.initializer(c.name, typed ? c.t.typed() : c.t);
      outs.push_back(b.node("Cast", {c.name}, {"o_" + c.name}, {attrInt("to", kFloat)}));
      b.output(outs.back(), kFloat, {2});
    }
    Ort::Session s = test::openSession(b.bytes());
    const auto got = test::runFloats(s, {}, outs);
    ASSERT_EQ(got.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(got[i].data, cases[i].want) << cases[i].name;
  }
}

TEST(wireModelBuilder, ModelMetadataOpsetsAndDomains) {
  ModelBuilder b;
  b.irVersion(9).opset("", 18).opset("com.example.unused", 3).graphName("named_graph");
  b.producer("qo-devkit", "0.1").metadata("purpose", "fixture");
  b.input("x", kFloat, {2, -1});
  b.input("free", kFloat);  // rank left unknown
  b.node("Relu", {"x"}, {"r"}, {}, {.name = "relu", .domain = "ai.onnx"});
  b.node("Identity", {"free"}, {"f"});
  b.output("r", kFloat, {2, -1});
  b.output("f", kFloat);
  const std::vector<uint8_t> model = b.bytes();

  Ort::Session s = test::openSession(model);
  Ort::AllocatorWithDefaultOptions alloc;
  const Ort::ModelMetadata meta = s.GetModelMetadata();
  EXPECT_STREQ(meta.GetGraphNameAllocated(alloc).get(), "named_graph");
  EXPECT_STREQ(meta.GetProducerNameAllocated(alloc).get(), "qo-devkit");
  EXPECT_STREQ(meta.LookupCustomMetadataMapAllocated("purpose", alloc).get(), "fixture");
  const auto got = test::runFloats(s, {{"x", {{2, 2}, {-1.f, 2.f, 3.f, -4.f}}}, {"free", {{3}, {1.f, 2.f, 3.f}}}},
                                   {"r", "f"});
  EXPECT_THAT(got.at(0).data, ElementsAre(0.f, 2.f, 3.f, 0.f));
  EXPECT_THAT(got.at(1).data, ElementsAre(1.f, 2.f, 3.f));

  // What ORT does not report, read back with the wire reader.
  std::vector<std::pair<std::string, uint64_t>> opsets;
  uint64_t ir = 0;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (f.number == 1 && f.wireType == 0) ir = f.varint;
    if (f.isBytes(8)) {
      GsReader o(f.payloadSlice());
      GsField of;
      std::pair<std::string, uint64_t> entry;
      while (o.next(of)) {
        if (of.isBytes(1)) entry.first = std::string(of.payloadSlice().view());
        if (of.number == 2) entry.second = of.varint;
      }
      opsets.push_back(entry);
    }
  }
  EXPECT_EQ(ir, 9u);
  EXPECT_THAT(opsets, ElementsAre(std::pair<std::string, uint64_t>{"", 18},
                                  std::pair<std::string, uint64_t>{"com.example.unused", 3}));

  // A node of a domain nobody registered is ORT's to refuse: the domain reached the file.
  ModelBuilder custom;
  custom.opset("com.example.missing", 1);
  custom.input("x", kFloat, {1});
  custom.node("Mystery", {"x"}, {"y"}, {}, {.domain = "com.example.missing"});
  custom.output("y", kFloat, {1});
  EXPECT_THROW(test::openSession(custom.bytes()), Ort::Exception);
}

// The graph rewrites read builder-made fixtures with the wire readers; both encodings of float
// data and the Resize attributes must come through.
TEST(wireModelBuilder, WireReadersSeeWhatTheBuilderWrote) {
  ModelBuilder b;
  b.input("x", kFloat, {1, 2, 4, 4});
  b.initializer("raw", tensorOf<float>({2, 1, 1}, {0.5f, -4.f}));
  b.initializer("listed", tensorOf<float>({2, 1, 1}, {0.5f, -4.f}).typed());
  b.constant("scales", tensorOf<float>({4}, {1.f, 1.f, 2.f, 2.f}));
  b.node("Resize", {"x", "", "scales"}, {"y"},
         {attrString("mode", "cubic"), attrString("coordinate_transformation_mode", "half_pixel"),
          attrFloat("cubic_coeff_a", -0.5f), attrInt("antialias", 0)},
         {.name = "/Resize"});
  b.output("y", kFloat, {1, 2, 8, 8});
  const std::vector<uint8_t> model = b.bytes();

  std::vector<std::vector<float>> initValues;
  std::vector<std::vector<int64_t>> initDims;
  std::vector<GsSlice> nodes;
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.isBytes(1)) nodes.push_back(f.payloadSlice());
    if (f.isBytes(5)) {
      initValues.emplace_back();
      EXPECT_TRUE(hcTensorFloats(f.payloadSlice(), initValues.back()));
      initDims.emplace_back();
      hcTensorDims(f.payloadSlice(), initDims.back());
    }
  }
  ASSERT_EQ(initValues.size(), 2u);
  EXPECT_THAT(initValues[0], ElementsAre(0.5f, -4.f));
  EXPECT_EQ(initValues[1], initValues[0]);
  EXPECT_THAT(initDims[0], ElementsAre(2, 1, 1));
  EXPECT_EQ(initDims[1], initDims[0]);

  ASSERT_EQ(nodes.size(), 2u);
  std::vector<float> scales;
  ASSERT_TRUE(hcTensorFloats(hcConstValue(nodes[0]), scales));
  EXPECT_THAT(scales, ElementsAre(1.f, 1.f, 2.f, 2.f));
  const HcAttrs a = hcReadAttrs(nodes[1]);
  EXPECT_EQ(a.mode, "cubic");
  EXPECT_EQ(a.coordinateTransformationMode, "half_pixel");
  EXPECT_TRUE(a.hasCubicCoeffA);
  EXPECT_EQ(a.cubicCoeffA, -0.5f);
  EXPECT_FALSE(a.antialias);
  EXPECT_EQ(gsFirstStr(nodes[1], 3), "/Resize");
  std::vector<std::string> inputs;
  gsAllStr(nodes[1], 1, inputs);
  EXPECT_THAT(inputs, ElementsAre("x", "", "scales"));
}

TEST(wireModelBuilder, SaveWritesTheBytes) {
  ModelBuilder b;
  b.input("x", kFloat, {1});
  b.output(b.node("Neg", {"x"}, {"y"}), kFloat, {1});
  test::TempDir dir;
  b.save(dir / "m.onnx");
  const std::string onDisk = test::readFile(dir / "m.onnx");
  const std::vector<uint8_t> bytes = b.bytes();
  EXPECT_EQ(std::vector<uint8_t>(onDisk.begin(), onDisk.end()), bytes);
  try {
    b.save(dir / "missing/m.onnx");
    ADD_FAILURE() << "saved into a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr(dir / "missing/m.onnx"));
  }
}

TEST(wireModelBuilder, TensorsCheckTheirElementCount) {
  EXPECT_THROW(tensorOf<float>({2, 2}, {1.f, 2.f, 3.f}), std::invalid_argument);
  EXPECT_THROW(tensorRaw(kFloat16, {3}, {1, 2, 3, 4}), std::invalid_argument);
  EXPECT_THROW(tensorOfStrings({2}, {"one"}), std::invalid_argument);
  EXPECT_EQ(tensorOf<int64_t>({}, {42}).elementCount(), 1u);  // a scalar
  EXPECT_EQ(tensorOf<float>({0, 3}, {}).elementCount(), 0u);
}

}  // namespace
}  // namespace qo::onnx
