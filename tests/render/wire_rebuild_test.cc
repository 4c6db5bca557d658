// gsRebuild: byte-exact copies, each edit of the graph, and edited models that ONNX Runtime runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/ort_harness.h"
#include "render/qo_onnx_wire.h"
#include "render/wire_bytes.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using test::pb::Bytes;
using test::pb::cat;
using test::pb::len;
using test::pb::varint;
using test::pb::vint;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Bytes node(const std::string& name, const std::string& in, const std::string& out) {
  return len(1, cat({len(1, in), len(2, out), len(3, name), len(4, "Relu")}));
}
Bytes valueInfo(uint32_t field, const std::string& name) {
  return len(field, cat({len(1, name), len(2, len(1, vint(1, 1)))}));
}

// A hand-made model whose graph interleaves every kind of field, including some no ONNX reader
// knows about, so that a rebuild that reorders or re-encodes anything shows.
struct Parts {
  Bytes n0 = node("n0", "x", "a"), n1 = node("n1", "a", "b"), n2 = node("n2", "b", "y");
  Bytes gname = len(2, "g");
  Bytes unknownGraphField = vint(50, 1);
  Bytes init = len(5, cat({vint(1, 1), vint(2, 1), len(8, "w"), len(9, Bytes(4, 0))}));
  Bytes inX = valueInfo(11, "x"), inP = valueInfo(11, "P_rgb"), inKp = valueInfo(11, "kp");
  Bytes outY = valueInfo(12, "y"), outZ = valueInfo(12, "z");
  Bytes viA = valueInfo(13, "a"), viB = valueInfo(13, "b");

  Bytes head = cat({vint(1, 8), len(2, "qo-test"), vint(99, 4)});
  Bytes tail = cat({len(8, cat({len(1, ""), vint(2, 17)})), len(14, cat({len(1, "k"), len(2, "v")}))});

  Bytes graph(bool withN0 = true, bool withN1 = true, bool withN2 = true, bool x = true, bool p = true,
              bool kp = true, bool outs = true, bool a = true, const Bytes& extra = {}) const {
    Bytes g;
    auto add = [&](bool on, const Bytes& b) {
      if (on) g.insert(g.end(), b.begin(), b.end());
    };
    add(withN0, n0);
    add(true, gname);
    add(withN1, n1);
    add(true, unknownGraphField);
    add(true, init);
    add(withN2, n2);
    add(x, inX);
    add(p, inP);
    add(kp, inKp);
    add(outs, outY);
    add(outs, outZ);
    add(a, viA);
    add(true, viB);
    add(true, extra);
    return g;
  }
  Bytes model(const Bytes& g) const { return cat({head, len(7, g), tail}); }
};

Bytes rebuilt(const Bytes& model, const GsGraphEdit& edit) {
  Bytes out{0xee};  // stale contents must not survive
  gsRebuild(model, edit, out);
  return out;
}

TEST(wireRebuild, EmptyEditCopiesEveryByte) {
  const Parts p;
  const Bytes model = p.model(p.graph());
  EXPECT_EQ(rebuilt(model, {}), model);

  // No graph at all, and an empty graph.
  const Bytes noGraph = cat({p.head, p.tail});
  EXPECT_EQ(rebuilt(noGraph, {}), noGraph);
  const Bytes emptyGraph = cat({p.head, len(7, Bytes{}), p.tail});
  EXPECT_EQ(rebuilt(emptyGraph, {}), emptyGraph);
  EXPECT_THAT(rebuilt(Bytes{}, {}), IsEmpty());
}

TEST(wireRebuild, OnlyTheGraphPrefixIsReencodedMinimally) {
  const Parts p;
  // A node whose own length is padded to three bytes stays exactly as it is.
  const Bytes paddedNode = cat({{0x0a, 0x80 | 0x06, 0x80, 0x00}, len(4, "Relu")});
  const Bytes g = p.graph(true, true, true, true, true, true, true, true, paddedNode);

  Bytes paddedLen = varint(g.size());
  paddedLen.back() |= 0x80;
  paddedLen.insert(paddedLen.end(), {0x80, 0x00});
  const Bytes nonMinimal = cat({p.head, {0x3a}, paddedLen, g, p.tail});
  EXPECT_EQ(rebuilt(nonMinimal, {}), p.model(g));

  const Bytes paddedTag = cat({p.head, {0xba, 0x00}, varint(g.size()), g, p.tail});
  EXPECT_EQ(rebuilt(paddedTag, {}), p.model(g));
}

TEST(wireRebuild, DropMaskCountsNodesOnly) {
  const Parts p;
  const Bytes model = p.model(p.graph());
  const std::vector<uint8_t> middle{0, 1, 0}, first{1}, beyond{0, 0, 0, 1, 1}, all{2, 3, 255};
  GsGraphEdit e;
  e.dropMask = &middle;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, false, true)));
  e.dropMask = &first;  // nodes past the end of the mask stay
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(false, true, true)));
  e.dropMask = &beyond;
  EXPECT_EQ(rebuilt(model, e), model);
  e.dropMask = &all;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(false, false, false)));
}

TEST(wireRebuild, InputAndOutputFlags) {
  const Parts p;
  const Bytes model = p.model(p.graph());
  GsGraphEdit e;
  e.dropPRgbInput = true;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, true, false, true)));
  e = {};
  e.keepOnlyPRgbInput = true;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, false, true, false)));
  e.dropPRgbInput = true;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, false, false, false)));
  e = {};
  e.dropOutputs = true;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, true, true, true, false)));
}

TEST(wireRebuild, AddedValueReplacesItsValueInfo) {
  const Parts p;
  const Bytes model = p.model(p.graph());
  const std::string name = "a";
  const int64_t dims[] = {1, -1};
  for (uint32_t field : {11u, 12u}) {
    SCOPED_TRACE(field);
    Bytes decl;
    gsPutTensorValueInfo(decl, field, name, dims, 2);
    GsGraphEdit e;
    e.addedName = &name;
    e.addedDims = dims;
    e.addedDimCount = 2;
    e.addedField = field;
    EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, true, true, true, true, false, decl)));
  }
  // Field 0 declares nothing, but the old declaration still goes.
  GsGraphEdit e;
  e.addedName = &name;
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, true, true, true, true, false)));
  // A name nothing carries just adds the declaration; symbolic dims without a dims array.
  const std::string fresh = "fresh";
  e.addedName = &fresh;
  e.addedDimCount = 3;
  e.addedField = 12;
  Bytes decl;
  gsPutTensorValueInfo(decl, 12, fresh, nullptr, 3);
  EXPECT_EQ(rebuilt(model, e), p.model(p.graph(true, true, true, true, true, true, true, true, decl)));
}

TEST(wireRebuild, RepeatedGraphFieldsEditAsOneGraph) {
  // Protobuf merges repeated graph fields; node positions run on across them and the added
  // value closes the last one.
  const Parts p;
  const Bytes g1 = cat({p.n0, p.n1}), g2 = cat({p.n2, p.viA});
  const Bytes model = cat({p.head, len(7, g1), p.tail, len(7, g2)});
  const std::vector<uint8_t> mask{0, 0, 1};
  const std::string name = "a";
  GsGraphEdit e;
  e.dropMask = &mask;
  e.addedName = &name;
  e.addedField = 12;
  e.addedDimCount = 1;
  Bytes decl;
  gsPutTensorValueInfo(decl, 12, name, nullptr, 1);
  EXPECT_EQ(rebuilt(model, e), cat({p.head, len(7, g1), p.tail, len(7, decl)}));
}

TEST(wireRebuild, MalformedModelsThrowAndLeaveTheOutputAlone) {
  const Parts p;
  Bytes good = p.model(p.graph());
  const Bytes truncated(good.begin(), good.end() - 1);
  Bytes badInGraph = cat({p.head, len(7, cat({p.n0, {0x0b}})), p.tail});  // a group in the graph
  Bytes out{1, 2, 3};
  EXPECT_THROW(gsRebuild(truncated, {}, out), std::runtime_error);
  EXPECT_THROW(gsRebuild(badInGraph, {}, out), std::runtime_error);
  EXPECT_EQ(out, Bytes({1, 2, 3}));

  // The output may be the input itself.
  const Bytes before = good;
  GsGraphEdit e;
  e.dropOutputs = true;
  gsRebuild(good, e, good);
  EXPECT_EQ(good, p.model(p.graph(true, true, true, true, true, true, false)));
  EXPECT_NE(good, before);
}

// ---- edited models in ONNX Runtime ----

// P_rgb -> Relu -> r -> Neg -> y: the Relu is a stand-in for a source-only prefix.
std::vector<uint8_t> twoStageModel() {
  using namespace onnx;
  ModelBuilder b;
  b.input("P_rgb", kFloat, {1, 4});
  b.input("unused", kFloat, {1});
  b.node("Relu", {"P_rgb"}, {"r"}, {}, {.name = "relu"});
  b.node("Neg", {"r"}, {"y"}, {}, {.name = "neg"});
  b.valueInfo("r", kFloat, {"n", 4});
  b.output("y", kFloat, {1, 4});
  return b.bytes();
}

TEST(wireRebuild, SplitModelsRunInOnnxRuntime) {
  const std::vector<uint8_t> model = twoStageModel();
  const test::FloatArray x{{1, 4}, {-1.f, 2.f, -3.f, 4.f}};
  const std::vector<float> relu{0.f, 2.f, 0.f, 4.f};
  const std::string r = "r";

  // First stage: keep Relu, only P_rgb in, r out.
  const std::vector<uint8_t> dropNeg{0, 1};
  GsGraphEdit prep;
  prep.dropMask = &dropNeg;
  prep.keepOnlyPRgbInput = true;
  prep.dropOutputs = true;
  prep.addedName = &r;
  prep.addedDimCount = 2;
  prep.addedField = 12;
  std::vector<uint8_t> prepModel;
  gsRebuild(model, prep, prepModel);
  Ort::Session s1 = test::openSession(prepModel);
  EXPECT_EQ(s1.GetInputCount(), 1u);
  auto got = test::runFloats(s1, {{"P_rgb", x}}, {"r"});
  EXPECT_EQ(got.at(0).data, relu);

  // Second stage: r comes in, Relu and P_rgb are gone.
  const std::vector<uint8_t> dropRelu{1};
  const int64_t dims[] = {1, 4};
  GsGraphEdit perFrame;
  perFrame.dropMask = &dropRelu;
  perFrame.dropPRgbInput = true;
  perFrame.addedName = &r;
  perFrame.addedDims = dims;
  perFrame.addedDimCount = 2;
  perFrame.addedField = 11;
  std::vector<uint8_t> frameModel;
  gsRebuild(model, perFrame, frameModel);
  Ort::Session s2 = test::openSession(frameModel);
  const std::vector<std::string> inputs = s2.GetInputNames();
  EXPECT_THAT(inputs, ElementsAre("unused", "r"));
  got = test::runFloats(s2, {{"r", {{1, 4}, relu}}, {"unused", {{1}, {0.f}}}}, {"y"});
  EXPECT_THAT(got.at(0).data, ElementsAre(-0.f, -2.f, -0.f, -4.f));
}

}  // namespace
}  // namespace qo
