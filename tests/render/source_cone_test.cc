// The source cone and the warp block of a director-shaped graph: what each transformation
// refuses and why, and that ONNX Runtime computes the same output from the hoisted pair of
// graphs and from the warp node as from the graph as written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "render/ort_harness.h"
#include "render/qo_graph_index.h"
#include "render/qo_source_cone.h"
#include "render/warp_graphs.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using namespace qo::onnx;
using ::testing::HasSubstr;

constexpr int64_t kSide = 20;

struct Toy {
  bool twoConcats = false;   // a second Concat reads P_rgb
  bool leafInput = false;    // the cone reads the keypoint input
  bool escape = false;       // a cone value is read outside the cone
  bool twoExits = false;     // an intermediate recombination value is also a graph output
  bool alignCorners = false; // align_corners 1 on the tip's GridSample
  bool residual = false;     // an Add after the recombination reading a keypoint value
  bool coneOutput = false;   // a cone value is also a graph output
};

std::vector<float> plane(bool columns) {
  std::vector<float> v(size_t(kSide * kSide));
  for (int64_t y = 0; y < kSide; ++y)
    for (int64_t x = 0; x < kSide; ++x) v[size_t(y * kSide + x)] = 2.0f * (float(columns ? x : y) + 0.5f) / kSide - 1.0f;
  return v;
}

// The director's warp in miniature: the edge-padded source and its second differences
// concatenated (the cone, with a Constant node for the pads), a keypoint-shifted grid, one
// GridSample, Slices and the recombination with correction weights computed from the grid.
std::vector<uint8_t> toyDirector(const Toy& t) {
  ModelBuilder b;
  b.input("P_rgb", kFloat, {1, 3, kSide, kSide});
  b.input("kp", kFloat, {1, 2, 1, 1});
  b.constant("cone_pads", tensorOf<int64_t>({8}, {0, 0, 1, 1, 0, 0, 1, 1}));
  b.node("Pad", {"P_rgb", "cone_pads"}, {"xp"}, {attrString("mode", "edge")});
  test::addSecondDifferences(b, "xp", t.leafInput ? "dxx0" : "dxx", "dyy", "dxy");
  if (t.leafInput) b.node("Add", {"dxx0", "kp"}, {"dxx"});
  b.node("Concat", {"P_rgb", "dxx", "dyy", "dxy"}, {"cone"}, {attrInt("axis", 1)});
  if (t.twoConcats) b.node("Concat", {"P_rgb", "P_rgb"}, {"cone2"}, {attrInt("axis", 1)});
  if (t.escape) b.node("Relu", {"dyy"}, {"escaped"});

  b.initializer("xx", tensorOf<float>({1, 1, kSide, kSide}, plane(true)));
  b.initializer("yy", tensorOf<float>({1, 1, kSide, kSide}, plane(false)));
  b.initializer("c0", tensorOf<int64_t>({1}, {0}));
  b.initializer("c1", tensorOf<int64_t>({1}, {1}));
  b.initializer("c2", tensorOf<int64_t>({1}, {2}));
  b.node("Slice", {"kp", "c0", "c1", "c1"}, {"kx"});
  b.node("Slice", {"kp", "c1", "c2", "c1"}, {"ky"});
  b.node("Add", {"xx", "kx"}, {"gx"});
  b.node("Add", {"yy", "ky"}, {"gy"});
  b.node("Concat", {"gx", "gy"}, {"gxy"}, {attrInt("axis", 1)});
  b.node("Transpose", {"gxy"}, {"grid"}, {attrInts("perm", {0, 2, 3, 1})});
  b.initializer("one", tensorOf<float>({}, {1.0f}));
  b.initializer("half", tensorOf<float>({}, {0.5f}));
  b.initializer("side", tensorOf<float>({}, {float(kSide)}));
  for (const std::string a : {"x", "y"}) {
    const std::string g = "g" + a, p = "q" + a;
    b.node("Add", {g, "one"}, {p + "_1"});
    b.node("Mul", {p + "_1", "side"}, {p + "_2"});
    b.node("Sub", {p + "_2", "one"}, {p + "_3"});
    b.node("Mul", {p + "_3", "half"}, {p + "_pix"});
    b.node("Floor", {p + "_pix"}, {p + "_floor"});
    b.node("Sub", {p + "_pix", p + "_floor"}, {p + "_t"});
    b.node("Sub", {"one", p + "_t"}, {p + "_omt"});
    b.node("Mul", {p + "_omt", p + "_t"}, {p + "_tt"});
    b.node("Mul", {p + "_tt", "half"}, {p});
  }
  test::addWarpBlock(b, "cone", "grid", "qx", "qy", "face", t.alignCorners, /*constantStarts=*/true);
  if (t.residual) {
    b.node("Slice", {"kp", "c0", "c1", "c1"}, {"bias0"});
    b.node("Mul", {"bias0", "half"}, {"bias"});
    b.node("Add", {"face", "bias"}, {"y"});
  } else {
    b.node("Identity", {"face"}, {"y"});
  }
  b.valueInfo("r2", kFloat, {1, 3, kSide, kSide});
  b.valueInfo("dxx", kFloat, {1, 3, kSide, kSide});
  b.output("y", kFloat, {1, 3, kSide, kSide});
  if (t.twoExits) b.output("r1", kFloat, {1, 3, kSide, kSide});
  if (t.coneOutput) b.output("dxy", kFloat, {1, 3, kSide, kSide});
  return b.bytes();
}


std::string warpReason(const Toy& t) {
  std::vector<uint8_t> model = toyDirector(t);
  const std::vector<uint8_t> before = model;
  std::string reason;
  EXPECT_EQ(rewriteWarpBlockToCustomOp(model, reason), 0u);
  EXPECT_EQ(model, before);
  return reason;
}

std::string hoistReason(const Toy& t) {
  const std::vector<uint8_t> model = toyDirector(t);
  std::string boundary, reason;
  if (findSourceConeBoundary(model, boundary) != 1) return "concats";
  std::vector<uint8_t> prep;
  return buildSourceConePrep(model, boundary, prep, reason) ? "" : reason;
}

TEST(sourceCone, RefusalsOfBothTransformations) {
  Toy two, leaf, esc, exits, corners, coneOut;
  two.twoConcats = true;
  leaf.leafInput = true;
  esc.escape = true;
  exits.twoExits = true;
  corners.alignCorners = true;
  coneOut.coneOutput = true;
  EXPECT_EQ(warpReason(two), "not one Concat consuming P_rgb");
  std::string boundary = "stale";
  EXPECT_EQ(findSourceConeBoundary(toyDirector(two), boundary), 2u);
  EXPECT_EQ(boundary, "");
  EXPECT_EQ(warpReason(leaf), "cone reads graph input 'kp'");
  EXPECT_EQ(hoistReason(leaf), "cone reads graph input 'kp'");
  EXPECT_EQ(warpReason(esc), "cone value 'dyy' escapes to Relu");
  EXPECT_EQ(hoistReason(esc), "cone value 'dyy' escapes to Relu");
  EXPECT_EQ(warpReason(exits), "the recombination has 2 exits, not 1");
  EXPECT_EQ(warpReason(corners), "the fused GridSample is not bilinear/border/align_corners=0");
  EXPECT_EQ(hoistReason(corners), "");  // the hoist does not care how the tip is sampled
  EXPECT_EQ(hoistReason(coneOut), "cone value 'dxy' escapes to the graph outputs");

  WarpBlock block;
  std::string reason;
  EXPECT_EQ(findWarpBlock(toyDirector({}), nullptr, reason), 0);
  EXPECT_EQ(reason, "no out param");
  EXPECT_EQ(findWarpBlock(toyDirector({}), &block, reason), 1 + 4 + 6);
  EXPECT_EQ(block.tip, "cone");
  EXPECT_EQ(block.grid, "grid");
  EXPECT_EQ(block.exit, "face");
}

// Both graphs of the hoist keep every Constant node; run one after the other they compute
// what the whole graph does.
TEST(sourceCone, HoistedPairComputesTheSameOutput) {
  const std::vector<uint8_t> model = toyDirector({});
  std::string boundary, reason;
  ASSERT_EQ(findSourceConeBoundary(model, boundary), 1u);
  std::vector<uint8_t> prep, perFrame;
  ASSERT_TRUE(buildSourceConePrep(model, boundary, prep, reason)) << reason;
  Ort::Session prepSession = test::openSession(prep);
  const std::vector<int64_t> dims = prepSession.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  ASSERT_EQ(dims, (std::vector<int64_t>{1, 12, kSide, kSide}));  // inferred through the symbolic declaration
  ASSERT_TRUE(buildSourceConePerFrame(model, boundary, dims.data(), dims.size(), perFrame, reason)) << reason;

  const GsGraphIndex p{GsSlice(prep)}, f{GsSlice(perFrame)};
  for (const GsGraphIndex* g : {&p, &f}) {
    size_t constants = 0;
    for (const GsNode& n : g->nodes) constants += n.opType == "Constant";
    EXPECT_EQ(constants, 5u);
  }
  EXPECT_EQ(p.graphInputs, (std::set<std::string>{"P_rgb"}));
  EXPECT_EQ(f.graphInputs, (std::set<std::string>{"kp", "cone"}));

  const test::FloatArray x = test::randomArray({1, 3, kSide, kSide}, 1, 0, 1), kp = test::randomArray({1, 2, 1, 1}, 2, -0.2f, 0.2f);
  Ort::Session whole = test::openSession(model), frame = test::openSession(perFrame);
  const auto y0 = test::runFloats(whole, {{"P_rgb", x}, {"kp", kp}}, {"y"});
  const auto cone = test::runFloats(prepSession, {{"P_rgb", x}}, {boundary});
  const auto y1 = test::runFloats(frame, {{"cone", cone[0]}, {"kp", kp}}, {"y"});
  EXPECT_LE(test::maxAbsDiff(y0[0], y1[0]), 1e-6f);
}

// The warp node replaces cone and block; Constant nodes stay, a residual after the
// recombination stays, and the output is unchanged.
TEST(sourceCone, WarpNodeComputesTheSameOutput) {
  for (bool residual : {false, true}) {
    Toy t;
    t.residual = residual;
    const std::vector<uint8_t> model = toyDirector(t);
    std::vector<uint8_t> warped = model;
    std::string reason;
    ASSERT_EQ(rewriteWarpBlockToCustomOp(warped, reason), 5u + 11u) << reason;
    const GsGraphIndex g{GsSlice(warped)};
    size_t constants = 0, warps = 0, adds = 0;
    for (const GsNode& n : g.nodes) {
      constants += n.opType == "Constant";
      warps += n.opType == "WarpDirector" && n.domain == "com.corvanta" && n.name == "qo_warp_director";
      adds += n.opType == "Add" && n.inputs[0] == "face";
    }
    EXPECT_EQ(constants, 5u);
    EXPECT_EQ(warps, 1u);
    EXPECT_EQ(adds, residual ? 1u : 0u);

    const test::FloatArray x = test::randomArray({1, 3, kSide, kSide}, 3, 0, 1), kp = test::randomArray({1, 2, 1, 1}, 4, -0.3f, 0.3f);
    Ort::Session s0 = test::openSession(model), s1 = test::openCustomSession(warped);
    const auto y0 = test::runFloats(s0, {{"P_rgb", x}, {"kp", kp}}, {"y"});
    const auto y1 = test::runFloats(s1, {{"P_rgb", x}, {"kp", kp}}, {"y"});
    EXPECT_LE(test::maxAbsDiff(y0[0], y1[0]), 1e-4f) << "residual " << residual;
  }
}

}  // namespace
}  // namespace qo
