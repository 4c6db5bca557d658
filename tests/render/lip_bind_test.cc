// Binding the lip contour into the director's compose alpha: which graphs the rewrite accepts,
// what it refuses and why, and that the bound director computes the blend with the clamped alpha,
// both in ONNX Runtime directly and through the renderer's per-frame rasterisation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>

#include "qo/qo_bundle.h"
#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "qo/qo_simd.h"
#include "render/ort_harness.h"
#include "render/qo_graph_index.h"
#include "render/qo_graph_rewrites.h"
#include "support/test_support.h"
#include "tessera/qo_tessera_pi.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_director.h"
#include "tools/devkit/demo_pi.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using namespace qo::onnx;
using ::testing::HasSubstr;

// A compose tail on small tensors: rgb = Identity(Add(Mul(a, x), Mul(Sub(one, a), Clip(y)))),
// with the alpha a = Mul(ellipse [1,1,S,S], gain), or Sigmoid(m) when no initializer names S.
struct Tail {
  int64_t side = 8;
  float one = 1.0f;
  bool alphaFromInitializer = true;
  bool squareOther = false;  // the other Mul reads a twice
  bool swapped = false;      // every commutative input order reversed
  bool thirdConsumer = false;
  bool declareLip = false;
  std::vector<int64_t> pRgb = {};  // P_rgb dims; empty: no such input
  int64_t pooledBatch = 0;    // 0: no pooled64 input
  int64_t kpBatch = 0;        // 0: no kp_driving input
  // Nodes placed before the tail, for the self-check cases.
  std::function<void(ModelBuilder&)> prelude = {};
};

std::vector<uint8_t> tailModel(const Tail& t) {
  ModelBuilder b;
  const int64_t S = t.side;
  b.input("x", kFloat, {1, 3, S, S});
  b.input("y", kFloat, {1, 3, S, S});
  if (!t.pRgb.empty()) b.input("P_rgb", kFloat, Shape(t.pRgb.begin(), t.pRgb.end()));
  if (t.pooledBatch) b.input("pooled64", kFloat, {t.pooledBatch, 64, 32, 32});
  if (t.kpBatch) b.input("kp_driving", kFloat, {t.kpBatch, 21, 3});
  if (t.declareLip) b.input("lip_delivery", kFloat, {1, 1, S, S});
  if (t.prelude) t.prelude(b);
  std::string a;
  if (t.alphaFromInitializer) {
    b.initializer("ellipse", tensorOf<float>({1, 1, S, S}, std::vector<float>(size_t(S * S), 0.5f)));
    b.initializer("gain", tensorOf<float>({}, {1.0f}));
    a = b.node("Mul", {"ellipse", "gain"}, {"a"});
  } else {
    b.input("m", kFloat, {1, 1, S, S});
    a = b.node("Sigmoid", {"m"}, {"a"});
  }
  b.initializer("lo", tensorOf<float>({}, {0.0f}));
  b.initializer("hi", tensorOf<float>({}, {1.0f}));
  b.initializer("one", tensorOf<float>({1}, {t.one}));
  const std::string clip = b.node("Clip", {"y", "lo", "hi"}, {"clip"});
  const std::string inv = b.node("Sub", {"one", a}, {"inv"});
  auto pair = [&](std::string p, std::string q) { return t.swapped ? std::vector<std::string>{q, p} : std::vector{p, q}; };
  const std::string gen = b.node("Mul", pair(a, t.squareOther ? a : "x"), {"gen"});
  const std::string src = b.node("Mul", pair(inv, clip), {"src"});
  b.node("Add", pair(gen, src), {"sum"});
  b.node("Identity", {"sum"}, {"rgb"});
  b.output("rgb", kFloat, {1, 3, S, S});
  if (t.thirdConsumer) {
    b.node("Relu", {a}, {"side_out"});
    b.output("side_out", kFloat, {1, 1, S, S});
  }
  return b.bytes();
}

struct Bound {
  bool ok = false;
  std::string reason;
  int32_t canvas = -1, batch = -1;
  bool unchanged = false;
};

Bound bind(std::vector<uint8_t> model) {
  const std::vector<uint8_t> before = model;
  Bound r;
  r.ok = rewriteBindLipContour(model, r.reason, &r.canvas, &r.batch);
  r.unchanged = model == before;
  return r;
}

const GsNode* nodeWriting(const GsGraphIndex& g, const std::string& tensor) {
  const auto it = g.producer.find(tensor);
  return it == g.producer.end() ? nullptr : &g.nodes[it->second];
}

TEST(lipBind, RewiresBothBlendFactorsInEitherInputOrder) {
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped ? "swapped" : "as written");
    std::vector<uint8_t> model = tailModel({.swapped = swapped, .thirdConsumer = true, .kpBatch = 2});
    std::string reason = "stale";
    int32_t canvas = -1, batch = -1;
    ASSERT_TRUE(rewriteBindLipContour(model, reason, &canvas, &batch)) << reason;
    EXPECT_EQ(reason, "");
    EXPECT_EQ(canvas, 8);
    EXPECT_EQ(batch, 2);

    const GsGraphIndex g{GsSlice(model)};
    ASSERT_TRUE(g.graphInputs.count("lip_delivery"));
    std::vector<int64_t> dims;
    ASSERT_TRUE(gsInputDims(g.inputInfo.at("lip_delivery"), dims));
    EXPECT_EQ(dims, (std::vector<int64_t>{2, 1, 8, 8}));
    const GsNode* min = nodeWriting(g, "tessera_lipdel_alpha");
    ASSERT_NE(min, nullptr);
    EXPECT_EQ(min->opType, "Min");
    EXPECT_EQ(min->name, "tessera_lipdel_min");
    EXPECT_EQ(min->inputs, (std::vector<std::string>{"a", "lip_delivery"}));
    // Right after the alpha's producer, so the order stays topological.
    EXPECT_EQ(size_t(min - g.nodes.data()), g.producer.at("a") + 1);
    for (const char* reader : {"inv", "gen"})
      EXPECT_THAT(nodeWriting(g, reader)->inputs, ::testing::Contains("tessera_lipdel_alpha")) << reader;
    // A reader outside the tail keeps the unclamped alpha.
    EXPECT_EQ(nodeWriting(g, "side_out")->inputs, std::vector<std::string>{"a"});

    EXPECT_NO_THROW(test::openSession(model));  // ORT takes the rebuilt graph
  }
}

TEST(lipBind, RefusalsLeaveTheBytesAlone) {
  struct Case {
    const char* what;
    Tail tail;
    const char* reason;
  } cases[] = {
      {"declared", {.declareLip = true}, "the graph already carries an input named lip_delivery"},
      {"0.999", {.one = 0.999f}, "the graph does not carry the unified compose tail"},
      {"a*a", {.squareOther = true}, "the graph does not carry the unified compose tail"},
      {"no canvas", {.alphaFromInitializer = false}, "cannot read the compose canvas off the graph"},
      {"P_rgb of 3 dims", {.alphaFromInitializer = false, .pRgb = {3, 512, 512}},
       "cannot read the compose canvas off the graph"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bound r = bind(tailModel(c.tail));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_TRUE(r.unchanged);
    EXPECT_EQ(r.canvas, 0);
    EXPECT_EQ(r.batch, 0);
  }
  EXPECT_EQ(bind({0x08, 0x08}).reason, "no graph");

  // The alpha is a graph input: the tail matches, but there is nothing to insert the Min after.
  ModelBuilder b;
  b.input("a", kFloat, {1, 1, 4, 4});
  b.input("x", kFloat, {1, 3, 4, 4});
  b.initializer("one", tensorOf<float>({}, {1.0f}));
  b.node("Clip", {"x"}, {"c"});
  b.node("Sub", {"one", "a"}, {"inv"});
  b.node("Add", {b.node("Mul", {"a", "x"}, {"gen"}), b.node("Mul", {"inv", "c"}, {"src"})}, {"rgb"});
  b.output("rgb", kFloat, {1, 3, 4, 4});
  const Bound r = bind(b.bytes());
  EXPECT_EQ(r.reason, "the compose alpha 'a' has no producer node");
  EXPECT_TRUE(r.unchanged);
}

TEST(lipBind, CanvasAndBatchFallBackToTheGraphInputs) {
  Bound r = bind(tailModel({.alphaFromInitializer = false, .pRgb = {1, 3, 512, 512}, .pooledBatch = -1, .kpBatch = 4}));
  ASSERT_TRUE(r.ok) << r.reason;
  EXPECT_EQ(r.canvas, 512);
  EXPECT_EQ(r.batch, 4);
  r = bind(tailModel({.pooledBatch = 3, .kpBatch = 4}));
  EXPECT_EQ(r.batch, 3);
  // No batch anywhere: the declared input carries a symbolic first dimension.
  std::vector<uint8_t> model = tailModel({});
  std::string reason;
  int32_t batch = -1;
  ASSERT_TRUE(rewriteBindLipContour(model, reason, nullptr, &batch));
  EXPECT_EQ(batch, 0);
  std::vector<int64_t> dims;
  ASSERT_TRUE(gsInputDims(GsGraphIndex(GsSlice(model)).inputInfo.at("lip_delivery"), dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{-1, 1, 8, 8}));
}

TEST(lipBind, SelfCheckRefusesWhatTheRebuildCannotVouchFor) {
  const std::string dash = " \xE2\x80\x94 ";
  struct Case {
    const char* what;
    std::function<void(ModelBuilder&)> prelude = {};
    std::string reason;
  } cases[] = {
      {"a reader of the clamped name already exists",
       [](ModelBuilder& b) {
         b.input("tessera_lipdel_alpha", kFloat, {1});
         b.node("Neg", {"tessera_lipdel_alpha"}, {"n0"});
       },
       "self-check: rewire did not take: 3 consumers of tessera_lipdel_alpha" + dash +
           "refusing a graph that would serve the ellipse with the input attached and ignored"},
      {"and it reads the alpha too",
       [](ModelBuilder& b) {
         b.input("tessera_lipdel_alpha", kFloat, {1});
         b.node("Add", {"tessera_lipdel_alpha", "a"}, {"n0"});
       },
       "self-check: rewire did not take: 3 consumers of tessera_lipdel_alpha, one still reads the alpha" + dash +
           "refusing a graph that would serve the ellipse with the input attached and ignored"},
      {"a second node of the Min's name",
       [](ModelBuilder& b) { b.node("Neg", {"x"}, {"n0"}, {}, {.name = "tessera_lipdel_min"}); },
       "self-check: the Min node did not survive the rebuild"},
      {"a graph out of order",
       [](ModelBuilder& b) {
         b.node("Neg", {"late"}, {"n0"});
         b.node("Neg", {"x"}, {"late"});
       },
       "self-check: node 0 reads 'late' produced at 1" + dash + "the rewritten graph is not topologically ordered"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bound r = bind(tailModel({.prelude = c.prelude}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_TRUE(r.unchanged);
  }
}

// ---- the demo director, bound, against the blend recomputed with min(alpha, mask) ----

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The unbound director with the blend's three operands exposed as outputs.
std::vector<uint8_t> withBlendOperands(std::vector<uint8_t> model) {
  for (const std::string name : {"compose/alpha", "head/x", "warp/face_clip"}) {
    GsGraphEdit edit;
    edit.addedName = &name;
    edit.addedDimCount = 4;
    edit.addedField = 12;
    gsRebuild(GsSlice(model), edit, model);
  }
  return model;
}

// rgb = m X + (1 - m) F with m = min(alpha, mask), per batch slot.
std::vector<float> clampedBlend(const std::vector<test::FloatArray>& ops, const float* mask, int64_t batch, int64_t C) {
  const std::vector<float>&alpha = ops[0].data, &x = ops[1].data, &f = ops[2].data;
  std::vector<float> out(size_t(batch * 3 * C * C));
  for (int64_t b = 0; b < batch; ++b)
    for (int64_t c = 0; c < 3; ++c)
      for (int64_t p = 0; p < C * C; ++p) {
        const size_t i = size_t((b * 3 + c) * C * C + p);
        const float m = std::min(alpha[size_t(p)], mask[size_t(b * C * C + p)]);
        out[i] = m * x[i] + (1 - m) * f[i];
      }
  return out;
}

std::vector<float> lipKeypoints(int k) {
  std::vector<float> kp(63);
  for (int i = 0; i < 63; ++i) kp[size_t(i)] = 0.2f * std::sin(0.7f * float(i) + 0.3f * float(k));
  // Lips around the demo mouth, opening with k.
  const float open = 0.05f + 0.04f * float(k % 3);
  const float lips[4][2] = {{-0.2f, 0.45f}, {0.2f, 0.45f}, {0.0f, 0.45f - open}, {0.0f, 0.45f + open}};
  for (int r = 0; r < 4; ++r) kp[size_t(17 + r) * 3] = lips[r][0], kp[size_t(17 + r) * 3 + 1] = lips[r][1];
  return kp;
}

TEST(lipBind, BoundDemoDirectorBlendsWithTheClampedAlpha) {
  constexpr int64_t C = 64, B = 2;
  test::TempDir t;
  devkit::writeDemoDirector(t / "d.onnx", int(C), int(B));
  const std::vector<uint8_t> plain = readFile(t / "d.onnx");
  std::vector<uint8_t> bound = plain;
  std::string reason;
  int32_t canvas = 0, batch = 0;
  ASSERT_TRUE(rewriteBindLipContour(bound, reason, &canvas, &batch)) << reason;
  EXPECT_EQ(canvas, C);
  EXPECT_EQ(batch, B);

  tessera::LipContour lip = tessera::LipContour::fromTemplateJson(devkit::demoLipTemplateJson(int(C)), int32_t(C));
  test::FloatArray mask{{B, 1, C, C}, std::vector<float>(size_t(B * C * C))};
  test::FloatArray kd{{B, 21, 3}, {}}, ks{{B, 21, 3}, {}};
  for (int b = 0; b < B; ++b) {
    const std::vector<float> k = lipKeypoints(b + 1), s = lipKeypoints(0);
    kd.data.insert(kd.data.end(), k.begin(), k.end());
    ks.data.insert(ks.data.end(), s.begin(), s.end());
    lip.contourF32Canvas(k.data(), mask.data.data() + size_t(b) * C * C);
  }
  const std::vector<std::pair<std::string, test::FloatArray>> inputs = {
      {"pooled64", test::randomArray({B, 64, 32, 32}, 7, 0, 1)},
      {"P_rgb", test::randomArray({B, 3, C, C}, 8, 0.2f, 0.8f)},
      {"kp_driving", kd},
      {"kp_source", ks}};
  Ort::Session exposed = test::openSession(withBlendOperands(plain));
  const std::vector<test::FloatArray> ops =
      test::runFloats(exposed, inputs, {"rgb", "compose/alpha", "head/x", "warp/face_clip"});
  const std::vector<float> expected =
      clampedBlend({ops[1], ops[2], ops[3]}, mask.data.data(), B, C);

  auto withMask = inputs;
  withMask.push_back({"lip_delivery", mask});
  Ort::Session s = test::openSession(bound);
  const test::FloatArray got = test::runFloats(s, withMask, {"rgb"})[0];
  ASSERT_EQ(got.data.size(), expected.size());
  float worst = 0, moved = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    worst = std::max(worst, std::fabs(got.data[i] - expected[i]));
    moved = std::max(moved, std::fabs(got.data[i] - ops[0].data[i]));
  }
  EXPECT_LE(worst, 1e-5f);
  EXPECT_GT(moved, 0.05f);  // the mask cuts into the ellipse: the test sees a clamp, not the graph's own blend
}

// ---- the renderer's lip hooks on the demo bundle ----

class RendererLipTest : public ::testing::Test {
 protected:
  static constexpr int kCrop = 32;
  test::ScopedEnv noBackend{"QO_CONV_BACKEND", nullptr};
  test::ScopedEnv noGsFast{"QO_GS_FAST", nullptr};
  test::ScopedEnv noWarp{"QO_WARP_NODE", nullptr};
  test::TempDir t;
  std::unique_ptr<Manifest> manifest;
  std::unique_ptr<Identity> identity;

  void SetUp() override {
    devkit::DemoOptions o = devkit::DemoOptions::tiny();
    o.audio = false;
    o.motion = false;
    o.directorBatches = {1, 4};
    o.fsRed = true;
    devkit::writeDemoBundle(t.path(), o);
    devkit::writeDemoPi(t.path(), kCrop);
    manifest = std::make_unique<Manifest>(loadManifest(t.path()));
    identity = std::make_unique<Identity>(*manifest);
  }
  std::unique_ptr<Renderer> renderer(const std::string& key, std::string& log) {
    testing::internal::CaptureStderr();
    try {
      auto r = std::make_unique<Renderer>(*manifest, *identity, key, 1, "");
      log = testing::internal::GetCapturedStderr();
      return r;
    } catch (...) {
      log = testing::internal::GetCapturedStderr();
      throw;
    }
  }
  // What the bound director must return for these frames: the unbound graph's blend operands,
  // recombined with min(alpha, contour of each driving set).
  std::vector<float> reference(const std::string& key, int64_t B, const std::vector<int32_t>& si,
                               const std::vector<float>& ks, const std::vector<float>& kd) {
    const int64_t C = kCrop;
    tessera::LipContour lip = tessera::LipContour::fromTemplateJson(devkit::demoLipTemplateJson(kCrop), kCrop);
    test::FloatArray pooled{{B, 64, 32, 32}, std::vector<float>(size_t(B) * 65536)};
    test::FloatArray prior{{B, 3, C, C}, std::vector<float>(size_t(B * 3 * C * C))};
    std::vector<float> mask(size_t(B * C * C));
    for (int64_t b = 0; b < B; ++b) {
      const size_t j = std::min(size_t(b), si.size() - 1);
      halfToFloat(identity->pooled64(si[j]), pooled.data.data() + size_t(b) * 65536, 65536);
      halfToFloat(identity->P(si[j]), prior.data.data() + size_t(b * 3 * C * C), size_t(3 * C * C));
      lip.contourF32Canvas(kd.data() + j * 63, mask.data() + size_t(b * C * C));
    }
    test::FloatArray kdA{{B, 21, 3}, {}}, ksA{{B, 21, 3}, {}};
    for (int64_t b = 0; b < B; ++b) {
      const size_t j = std::min(size_t(b), si.size() - 1);
      kdA.data.insert(kdA.data.end(), kd.begin() + long(j * 63), kd.begin() + long(j * 63 + 63));
      ksA.data.insert(ksA.data.end(), ks.begin() + long(j * 63), ks.begin() + long(j * 63 + 63));
    }
    Ort::Session s = test::openSession(withBlendOperands(readFile(manifest->modelPath(key))));
    const std::vector<test::FloatArray> ops = test::runFloats(
        s, {{"pooled64", pooled}, {"P_rgb", prior}, {"kp_driving", kdA}, {"kp_source", ksA}},
        {"compose/alpha", "head/x", "warp/face_clip"});
    return clampedBlend(ops, mask.data(), B, C);
  }
};

TEST_F(RendererLipTest, HoistedAndBatchedDirectorsFeedTheContourPerSlot) {
  std::string log;
  auto hoisted = renderer("b1", log);
  EXPECT_THAT(log, HasSubstr("[qo] compose alpha: LIP CONTOUR (b1) \xE2\x80\x94 Min(a, lip_delivery) bound at load, "
                             "32 verts, feather 1.0 px; the graph's ellipse is not reachable in this session\n"));
  EXPECT_THAT(log, HasSubstr("[qo] source-cone hoist: 'cone/features'"));
  auto batched = renderer("b4", log);
  EXPECT_THAT(log, HasSubstr("[qo] compose alpha: LIP CONTOUR (b4)"));

  const size_t frame = size_t(3) * kCrop * kCrop;
  std::vector<float> ks, kd;
  for (int k = 0; k < 2; ++k) {
    const std::vector<float> s = lipKeypoints(0), d = lipKeypoints(k + 1);
    ks.insert(ks.end(), s.begin(), s.end());
    kd.insert(kd.end(), d.begin(), d.end());
  }
  const std::vector<int32_t> si = {2, 1};
  // Two frames in a batch of four: slots 2 and 3 repeat frame 1, its contour included.
  const std::vector<float> want4 = reference("b4", 4, si, ks, kd);
  const float* got4 = batched->render(si.data(), ks.data(), kd.data(), 2);
  float worst = 0;
  for (size_t i = 0; i < 4 * frame; ++i) worst = std::max(worst, std::fabs(got4[i] - want4[i]));
  EXPECT_LE(worst, 1e-4f);

  for (int k = 0; k < 2; ++k) {
    const std::vector<float> want = reference("b1", 1, {si[size_t(k)]}, {ks.begin() + 63 * k, ks.end()},
                                              {kd.begin() + 63 * k, kd.end()});
    const float* got = hoisted->render(&si[size_t(k)], ks.data() + 63 * k, kd.data() + 63 * k, 1);
    worst = 0;
    for (size_t i = 0; i < frame; ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
    EXPECT_LE(worst, 1e-4f) << "frame " << k;
  }
  testing::internal::CaptureStderr();
  hoisted.reset();
  batched.reset();
  testing::internal::GetCapturedStderr();
}

TEST_F(RendererLipTest, UnboundAndMisfitDirectorsAreReported) {
  // A graph without the compose tail keeps its own alpha and says why.
  ModelBuilder b;
  b.input("pooled64", kFloat, {1, 64, 32, 32});
  b.input("P_rgb", kFloat, {1, 3, kCrop, kCrop});
  b.input("kp_driving", kFloat, {1, 21, 3});
  b.input("kp_source", kFloat, {1, 21, 3});
  b.node("Identity", {"P_rgb"}, {"rgb"});
  b.output("rgb", kFloat, {1, 3, kCrop, kCrop});
  b.save(t / "model_plain.onnx");
  std::string log;
  renderer("plain", log);
  EXPECT_THAT(log, HasSubstr("[qo] !!! lip contour NOT bound to the compose alpha (plain): the graph does not carry "
                             "the unified compose tail \xE2\x80\x94 this session serves the graph's own ELLIPSE\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("LIP CONTOUR")));

  // A FeatSynth director is never fed the mask: its compose tail stays as it is, and it renders.
  {
    ModelBuilder f;
    f.input("fs_red", kFloat, {1, 64, 64, 64});
    f.input("pooled", kFloat, {1, 64, 32, 32});
    f.input("kd", kFloat, {1, 21, 3});
    f.input("ks", kFloat, {1, 21, 3});
    const std::vector<float> half(size_t(3 * kCrop * kCrop), 0.5f);
    f.initializer("x", tensorOf<float>({1, 3, kCrop, kCrop}, half));
    f.initializer("ellipse", tensorOf<float>({1, 1, kCrop, kCrop}, std::vector<float>(size_t(kCrop * kCrop), 0.25f)));
    f.initializer("one", tensorOf<float>({}, {1.0f}));
    f.node("Mul", {"ellipse", "one"}, {"a"});
    f.node("Clip", {"x"}, {"c"});
    f.node("Sub", {"one", "a"}, {"inv"});
    f.node("Add", {f.node("Mul", {"a", "x"}, {"gen"}), f.node("Mul", {"inv", "c"}, {"src"})}, {"rgb"});
    f.output("rgb", kFloat, {1, 3, kCrop, kCrop});
    f.save(t / "model_fs.onnx");
    auto r = renderer("fs", log);
    EXPECT_THAT(log, HasSubstr("[qo] !!! lip contour NOT bound to the compose alpha (fs): a FeatSynth graph (fs_red "
                               "input) is not fed lip_delivery"));
    const int32_t si = 0;
    const std::vector<float> kp = lipKeypoints(1);
    EXPECT_FLOAT_EQ(r->render(&si, kp.data(), kp.data(), 1)[0], 0.5f);
  }

  // A director composing on another canvas than the bundle's crop is refused at load.
  devkit::writeDemoDirector(t / "model_c64.onnx", 2 * kCrop, 1);
  try {
    renderer("c64", log);
    ADD_FAILURE() << "a 64 canvas bound on a crop-32 bundle";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Renderer: the director's compose canvas is 64 and this bundle's manifest declares crop 32 "
                           "\xE2\x80\x94 refusing to bind a lip contour rasterised on the wrong canvas");
  }
}

}  // namespace
}  // namespace qo
