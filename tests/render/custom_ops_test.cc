// GridSampleFast and WarpDirector inside ONNX Runtime, against ORT's own GridSample, against
// ONNX's GridSample reference data, and against the standard-operator warp block WarpDirector
// replaces; the refusals of shapes the kernels cannot serve.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "render/ort_harness.h"
#include "render/qo_custom_ops.h"
#include "render/qo_graph_index.h"
#include "render/qo_graph_rewrites.h"
#include "render/tensor_proto_decode.h"
#include "render/warp_graphs.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using namespace qo::onnx;
using ::testing::HasSubstr;
namespace fs = std::filesystem;


std::vector<uint8_t> gridSampleGraph(int64_t N, int64_t C, int64_t H, int64_t W, int64_t Hg, int64_t Wg) {
  ModelBuilder b;
  b.input("x", kFloat, {N, C, H, W});
  b.input("g", kFloat, {N, Hg, Wg, 2});
  b.node("GridSample", {"x", "g"}, {"y"},
         {attrString("mode", "bilinear"), attrString("padding_mode", "border"), attrInt("align_corners", 0)});
  b.output("y", kFloat, {N, C, Hg, Wg});
  return b.bytes();
}

TEST(gridSampleFastOp, MatchesOrtGridSampleOnRandomGrids) {
  struct Shape {
    int64_t N, C, H, W, Hg, Wg;
  } shapes[] = {{2, 5, 13, 17, 13, 17}, {1, 12, 33, 20, 33, 20}, {1, 3, 9, 11, 20, 6}, {1, 2, 1, 1, 3, 3}};
  uint32_t seed = 1;
  for (const Shape& s : shapes) {
    const std::vector<uint8_t> plain = gridSampleGraph(s.N, s.C, s.H, s.W, s.Hg, s.Wg);
    std::vector<uint8_t> fast = plain;
    ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
    const test::FloatArray x = test::randomArray({s.N, s.C, s.H, s.W}, seed++, -2, 2);
    const test::FloatArray g = test::randomArray({s.N, s.Hg, s.Wg, 2}, seed++, -1.3f, 1.3f);
    Ort::Session ref = test::openSession(plain);
    for (int threads : {1, 2}) {
      Ort::Session got = test::openCustomSession(fast, threads);
      const auto y0 = test::runFloats(ref, {{"x", x}, {"g", g}}, {"y"});
      const auto y1 = test::runFloats(got, {{"x", x}, {"g", g}}, {"y"});
      EXPECT_LE(test::maxAbsDiff(y0[0], y1[0]), 1e-5f) << s.C << "x" << s.H << "x" << s.W << " grid " << s.Hg << "x" << s.Wg;
    }
  }
}

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

test::FloatArray floatsOf(const test::DecodedTensor& t) {
  test::FloatArray a{t.dims, std::vector<float>(t.elementCount())};
  std::memcpy(a.data.data(), t.bytes.data(), a.data.size() * 4);
  return a;
}

// Every ONNX GridSample node test in the form the rewrite serves (bilinear or linear, which is
// also the default mode; border; align_corners 0), through a graph that states the mode and was
// rewritten to GridSampleFast.
TEST(gridSampleFastOp, MatchesOnnxReferenceData) {
  size_t matched = 0;
  for (const auto& e : fs::directory_iterator("/usr/share/libonnx-testdata/data/node")) {
    if (e.path().filename().string().rfind("test_gridsample", 0) != 0) continue;
    const std::vector<uint8_t> model = readFile(e.path() / "model.onnx");
    const GsGraphIndex g{GsSlice(model)};
    ASSERT_EQ(g.nodes.size(), 1u);
    const GsSlice node = g.nodes[0].payload;
    const GsAttr mode = gsNodeAttr(node, "mode"), pad = gsNodeAttr(node, "padding_mode");
    const GsAttr corners = gsNodeAttr(node, "align_corners");
    if ((mode.present && mode.s != "bilinear" && mode.s != "linear") || pad.s != "border" ||
        (corners.present && corners.i != 0))
      continue;
    SCOPED_TRACE(e.path().filename().string());
    test::DecodedTensor x, grid, want;
    std::string why;
    const fs::path set = e.path() / "test_data_set_0";
    ASSERT_TRUE(test::decodeTensorProto(readFile(set / "input_0.pb"), x, why)) << why;
    ASSERT_TRUE(test::decodeTensorProto(readFile(set / "input_1.pb"), grid, why)) << why;
    ASSERT_TRUE(test::decodeTensorProto(readFile(set / "output_0.pb"), want, why)) << why;
    std::vector<uint8_t> fast = gridSampleGraph(x.dims[0], x.dims[1], x.dims[2], x.dims[3], grid.dims[1], grid.dims[2]);
    ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
    Ort::Session s = test::openCustomSession(fast);
    const auto y = test::runFloats(s, {{"x", floatsOf(x)}, {"g", floatsOf(grid)}}, {"y"});
    const test::FloatArray w = floatsOf(want);
    ASSERT_EQ(y[0].shape, w.shape);
    for (size_t i = 0; i < w.data.size(); ++i) EXPECT_NEAR(y[0].data[i], w.data[i], 1e-6f + 1e-5f * std::fabs(w.data[i]));
    ++matched;
  }
  EXPECT_GE(matched, 1u);
}

// The warp block as the director graph writes it with standard operators: the edge-padded
// source with its second differences, one GridSample, Slices and the recombination with the
// correction weights (fed here as inputs computed from the grid).
std::vector<uint8_t> warpBlockGraph(int64_t H, int64_t W, int64_t Hg, int64_t Wg) {
  ModelBuilder b;
  b.input("x", kFloat, {1, 3, H, W});
  b.input("g", kFloat, {1, Hg, Wg, 2});
  b.input("qx", kFloat, {1, 1, Hg, Wg});
  b.input("qy", kFloat, {1, 1, Hg, Wg});
  b.initializer("pads", tensorOf<int64_t>({8}, {0, 0, 1, 1, 0, 0, 1, 1}));
  b.node("Pad", {"x", "pads"}, {"xp"}, {attrString("mode", "edge")});
  test::addSecondDifferences(b, "xp", "dxx", "dyy", "dxy");
  b.node("Concat", {"x", "dxx", "dyy", "dxy"}, {"cone"}, {attrInt("axis", 1)});
  test::addWarpBlock(b, "cone", "g", "qx", "qy", "y");
  b.output("y", kFloat, {1, 3, Hg, Wg});
  return b.bytes();
}

std::vector<uint8_t> warpNodeGraph(int64_t C, int64_t H, int64_t W, int64_t Hg, int64_t Wg) {
  ModelBuilder b;
  b.opset("com.corvanta", 1);
  b.input("x", kFloat, {1, C, H, W});
  b.input("g", kFloat, {1, Hg, Wg, 2});
  b.node("WarpDirector", {"x", "g"}, {"y"}, {}, {.domain = "com.corvanta"});
  b.output("y", kFloat, {1, C, Hg, Wg});
  return b.bytes();
}

// q = (1 - t) t / 2 of the pixel coordinate's fraction, per grid component.
test::FloatArray correction(const test::FloatArray& g, int component, int64_t size) {
  const int64_t Hg = g.shape[1], Wg = g.shape[2];
  test::FloatArray q{{1, 1, Hg, Wg}, std::vector<float>(size_t(Hg * Wg))};
  for (size_t i = 0; i < q.data.size(); ++i) {
    const float p = ((g.data[2 * i + size_t(component)] + 1.0f) * float(size) - 1.0f) * 0.5f;
    const float t = p - std::floor(p);
    q.data[i] = (1.0f - t) * t * 0.5f;
  }
  return q;
}

TEST(warpDirectorOp, MatchesTheStandardWarpBlock) {
  struct Shape {
    int64_t H, W, Hg, Wg;
  } shapes[] = {{19, 23, 19, 23}, {32, 48, 32, 48}, {12, 10, 7, 17}};
  uint32_t seed = 11;
  for (const Shape& s : shapes) {
    const test::FloatArray x = test::randomArray({1, 3, s.H, s.W}, seed++, 0, 1);
    const test::FloatArray g = test::randomArray({1, s.Hg, s.Wg, 2}, seed++, -1.2f, 1.2f);
    Ort::Session ref = test::openSession(warpBlockGraph(s.H, s.W, s.Hg, s.Wg));
    Ort::Session got = test::openCustomSession(warpNodeGraph(3, s.H, s.W, s.Hg, s.Wg), 2);
    const auto y0 = test::runFloats(
        ref, {{"x", x}, {"g", g}, {"qx", correction(g, 0, s.W)}, {"qy", correction(g, 1, s.H)}}, {"y"});
    const auto y1 = test::runFloats(got, {{"x", x}, {"g", g}}, {"y"});
    EXPECT_LE(test::maxAbsDiff(y0[0], y1[0]), 1e-4f) << s.H << "x" << s.W << " grid " << s.Hg << "x" << s.Wg;
  }
}

std::string runError(Ort::Session& s, const test::FloatArray& x, const test::FloatArray& g) {
  try {
    test::runFloats(s, {{"x", x}, {"g", g}}, {"y"});
  } catch (const Ort::Exception& e) {
    return e.what();
  }
  return "";
}

TEST(customOps, RefuseShapesTheyCannotServe) {
  Ort::Session warp4 = test::openCustomSession(warpNodeGraph(4, 5, 5, 5, 5));
  EXPECT_THAT(runError(warp4, test::randomArray({1, 4, 5, 5}, 1, 0, 1), test::randomArray({1, 5, 5, 2}, 2, -1, 1)),
              HasSubstr("com.corvanta::WarpDirector: this node warps the director's 3-channel source and the graph "
                        "handed it C=4. REFUSING rather than writing a frame nobody asked for."));

  // Symbolic shapes let a mismatched grid reach the kernel.
  ModelBuilder b;
  b.opset("com.corvanta", 1);
  b.input("x", kFloat, {"n", 2, "h", "w"});
  b.input("g", kFloat, {"m", "hg", "wg", "two"});
  b.node("GridSampleFast", {"x", "g"}, {"y"}, {}, {.domain = "com.corvanta"});
  b.output("y", kFloat, {"n", 2, "hg", "wg"});
  Ort::Session fast = test::openCustomSession(b.bytes());
  const test::FloatArray x = test::randomArray({2, 2, 4, 4}, 3, 0, 1);
  EXPECT_THAT(runError(fast, x, test::randomArray({1, 4, 4, 2}, 4, -1, 1)),
              HasSubstr("com.corvanta::GridSampleFast: the grid must be [N, Hg, Wg, 2] with X's N = 2, got [1, 4, 4, 2]"));
  EXPECT_THAT(runError(fast, x, test::randomArray({2, 4, 4, 3}, 5, -1, 1)), HasSubstr("got [2, 4, 4, 3]"));
  EXPECT_THAT(runError(fast, test::randomArray({2, 2, 0, 4}, 6, 0, 1), test::randomArray({2, 3, 3, 2}, 7, -1, 1)),
              HasSubstr("has no pixels to sample"));
  const test::FloatArray wide{{1, 2, 1, int64_t(1) << 23}, std::vector<float>(size_t(2) << 23)};
  EXPECT_THAT(runError(fast, wide, test::randomArray({1, 1, 1, 2}, 9, -1, 1)), HasSubstr("larger than the kernel serves"));
  EXPECT_EQ(runError(fast, x, test::randomArray({2, 3, 5, 2}, 8, -1, 1)), "");
}

}  // namespace
}  // namespace qo
