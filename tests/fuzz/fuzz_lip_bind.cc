// Fuzzes the lip-contour binding rewrite on arbitrary model bytes. Parse errors are expected;
// what must never happen is a crash, a refusal that touches the bytes or leaves an output set,
// or an acceptance whose graph does not hold the declared input and the one Min node.
//
//   QO_FUZZ_SEEDS=dir fuzz_lip_bind   writes seed models into dir and exits
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/qo_graph_index.h"
#include "render/qo_graph_rewrites.h"
#include "tests/fuzz/fuzz_seeds.h"
#include "tools/devkit/onnx_model_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

void require(bool ok) {
  if (!ok) __builtin_trap();
}

// Compose tails the rewrite accepts: initializer and Constant one, canvas off the alpha's
// initializer or off P_rgb, a trailing Identity, and a third reader of the alpha.
std::vector<Bytes> seedModels() {
  using namespace qo::onnx;
  std::vector<Bytes> seeds;
  for (int variant = 0; variant < 2; ++variant) {
    ModelBuilder b;
    b.input("x", kFloat, {1, 3, 4, 4});
    b.input("P_rgb", kFloat, {1, 3, 4, 4});
    b.input("kp_driving", kFloat, {2, 21, 3});
    std::string a;
    if (variant == 0) {
      b.initializer("e", tensorOf<float>({1, 1, 4, 4}, std::vector<float>(16, 0.5f)));
      b.initializer("one", tensorOf<float>({1}, {1.0f}));
      a = b.node("Mul", {"e", "e"}, {"a"});
    } else {
      b.constant("one", tensorOf<float>({}, {1.0f}));
      a = b.node("Sigmoid", {"x"}, {"a"});
      b.node("Relu", {a}, {"side"});
    }
    b.node("Clip", {"P_rgb"}, {"c"});
    b.node("Sub", {"one", a}, {"inv"});
    b.node("Add", {b.node("Mul", {"x", a}, {"gen"}), b.node("Mul", {"c", "inv"}, {"src"})}, {"sum"});
    b.node("Identity", {"sum"}, {"rgb"});
    b.output("rgb", kFloat, {1, 3, 4, 4});
    seeds.push_back(b.bytes());
  }
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::getenv("QO_FUZZ_SEEDS")) return 0;
  std::vector<std::string> seeds;
  for (const Bytes& m : seedModels()) seeds.emplace_back(m.begin(), m.end());
  qo::fuzz::writeSeedsIfAsked(seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes in(data, data + size);
  Bytes model = in;
  std::string reason = "stale";
  int32_t canvas = -1, batch = -1;
  bool ok = false;
  try {
    ok = qo::rewriteBindLipContour(model, reason, &canvas, &batch);
  } catch (const std::runtime_error&) {
    require(model == in);
    return 0;
  }
  if (!ok) {
    require(model == in && !reason.empty() && canvas == 0 && batch == 0);
    return 0;
  }
  require(reason.empty() && canvas != 0 && batch >= 0);
  const qo::GsGraphIndex g{qo::GsSlice(model)};  // must not throw: the rewrite parsed it
  require(g.graphInputs.count("lip_delivery") == 1);
  size_t mins = 0;
  for (const qo::GsNode& n : g.nodes) mins += n.name == "tessera_lipdel_min";
  require(mins == 1);
  // Bound once, the graph refuses a second binding and stays as it is.
  Bytes again = model;
  require(!qo::rewriteBindLipContour(again, reason, nullptr, nullptr) && again == model);
  require(reason == "the graph already carries an input named lip_delivery");
  return 0;
}
