// Fuzzes the ONNX wire readers and gsRebuild. Parse errors are expected; what must never happen
// is a crash, a reader disagreement, or a rebuild that changes bytes it was not asked to change.
//
//   QO_FUZZ_SEEDS=dir fuzz_onnx_wire   writes seed models into dir and exits
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/onnx_walk.h"
#include "render/qo_conv_init.h"
#include "render/qo_onnx_wire.h"
#include "tools/devkit/onnx_model_builder.h"

namespace {

using qo::GsField;
using qo::GsGraphEdit;
using qo::GsReader;
using qo::GsSlice;
using Bytes = std::vector<uint8_t>;

void require(bool ok) {
  if (!ok) __builtin_trap();
}

std::vector<Bytes> seedModels() {
  using namespace qo::onnx;
  std::vector<Bytes> seeds;
  {
    ModelBuilder b;
    b.input("P_rgb", kFloat, {1, 3, 8, 8});
    b.input("grid", kFloat, {1, 8, 8, 2});
    b.initializer("w", tensorOf<float>({4, 3, 3, 3}, std::vector<float>(108, 0.125f)));
    b.node("Conv", {"P_rgb", "w"}, {"c"}, {attrInts("pads", {1, 1, 1, 1})}, {.name = "conv"});
    b.node("Concat", {"c", "P_rgb"}, {"tip"}, {attrInt("axis", 1)});
    b.node("GridSample", {"tip", "grid"}, {"warped"},
           {attrString("mode", "bilinear"), attrString("padding_mode", "border"), attrInt("align_corners", 0)});
    b.valueInfo("c", kFloat, {1, 4, 8, 8});
    b.output("warped", kFloat, {1, 7, 8, 8});
    seeds.push_back(b.bytes());
  }
  {
    ModelBuilder b;
    b.opset("", 19).opset("com.corvanta", 1).metadata("k", "v");
    b.input("x", kFloat, {"n", 4, -1, -1});
    b.constant("scales", tensorOf<float>({4}, {1, 1, 2, 2}));
    b.node("Resize", {"x", "", "scales"}, {"y"},
           {attrString("mode", "cubic"), attrString("coordinate_transformation_mode", "half_pixel"),
            attrFloat("cubic_coeff_a", -0.5f), attrInt("exclude_outside", 0), attrInts("axes", {2, 3})});
    b.output("y", kFloat, {"n", 4, -1, -1});
    seeds.push_back(b.bytes());
  }
  {
    ModelBuilder b;
    b.input("a", kInt64, {2});
    b.initializer("i", tensorOf<int64_t>({2}, {-1, 3}).typed());
    b.initializer("f", tensorOf<float>({3}, {1.5f, -2.f, 0.f}).typed());
    b.initializer("s", tensorOfStrings({2}, {"x", "yz"}));
    b.node("Add", {"a", "i"}, {"o"}, {attrFloats("unused", {1.f, 2.f}), attrStrings("tags", {"p", "q"})});
    b.node("Constant", {}, {"t"}, {attrTensor("value", tensorOf<double>({1}, {2.5}))});
    b.output("o", kInt64, {2});
    seeds.push_back(b.bytes());
  }
  return seeds;
}

bool writeSeeds(const char* dir) {
  struct stat st;
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const std::vector<Bytes> seeds = seedModels();
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(dir) + "/seed_" + std::to_string(i) + ".onnx";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(seeds[i].data(), 1, seeds[i].size(), f) == seeds[i].size();
    if (std::fclose(f) != 0 || !ok) return false;
  }
  return true;
}

// Top-level fields of `s`, counting those with the given number and wire type 2.
size_t countBytesFields(GsSlice s, uint32_t number) {
  size_t n = 0;
  GsReader r(s);
  GsField f;
  while (r.next(f)) n += f.isBytes(number);
  return n;
}

// Checks an edited rebuild: it parses, it holds exactly the nodes and inputs the edit keeps, and
// the added declaration closes the last graph.
void checkEditedRebuild(GsSlice model, const Bytes& out, const GsGraphEdit& e) {
  const size_t graphs = countBytesFields(model, 7);
  size_t nodesIn = 0, dropped = 0;
  {
    GsReader r(model);
    GsField f;
    while (r.next(f)) {
      if (!f.isBytes(7)) continue;
      GsReader g(f.payloadSlice());
      GsField gf;
      while (g.next(gf)) {
        if (!gf.isBytes(1)) continue;
        dropped += e.dropMask && nodesIn < e.dropMask->size() && (*e.dropMask)[nodesIn] != 0;
        ++nodesIn;
      }
    }
  }
  const bool addsInput = e.addedName && e.addedField == 11 && graphs > 0;
  const bool addsOutput = e.addedName && e.addedField == 12 && graphs > 0;
  size_t nodesOut = 0, outputs = 0, inputs = 0, pRgbInputs = 0;
  GsField lastGraphField;
  bool anyGraphField = false;
  GsReader r(out);
  GsField f;
  while (r.next(f)) {  // must not throw: everything in `out` was parsed or written by the rebuild
    if (!f.isBytes(7)) continue;
    GsReader g(f.payloadSlice());
    GsField gf;
    while (g.next(gf)) {
      lastGraphField = gf;
      anyGraphField = true;
      nodesOut += gf.isBytes(1);
      outputs += gf.isBytes(12);
      if (gf.isBytes(11)) {
        ++inputs;
        // Input names parse whenever the rebuild had to read them, which is under these flags.
        if (e.keepOnlyPRgbInput || e.dropPRgbInput) pRgbInputs += qo::gsFirstStr(gf.payloadSlice(), 1) == "P_rgb";
      }
    }
  }
  require(nodesOut == nodesIn - dropped);
  if (e.dropOutputs) require(outputs == (addsOutput ? 1u : 0u));
  if (e.keepOnlyPRgbInput) require(pRgbInputs == inputs);
  if (e.dropPRgbInput) require(pRgbInputs == (addsInput ? 1u : 0u));
  if (addsInput || addsOutput) {
    require(anyGraphField && lastGraphField.number == e.addedField);
    require(qo::gsFirstStr(lastGraphField.payloadSlice(), 1) == *e.addedName);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("QO_FUZZ_SEEDS")) {
    if (!writeSeeds(dir)) {
      std::fprintf(stderr, "QO_FUZZ_SEEDS=%s: not a writable directory\n", dir);
      std::exit(1);
    }
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const GsSlice in(data, size);

  // Readers: a whole-model walk, and the message readers on the bytes as they come.
  try {
    qo::test::walkModel(in);
  } catch (const std::runtime_error&) {
  }
  try {
    std::vector<float> floats;
    std::vector<int64_t> dims;
    (void)qo::hcReadAttrs(in);
    (void)qo::hcConstValue(in);
    if (qo::hcTensorFloats(in, floats)) require(!floats.empty());
    qo::hcTensorDims(in, dims);
  } catch (const std::runtime_error&) {
  }

  // Initializer reader of the native conv engine: values come back only at the declared size.
  try {
    for (const qo::OnnxInitializer& t : qo::onnxInitializers(in)) {
      try {
        const std::vector<float> v = qo::onnxInitializerFloats(t);
        require(t.elements > 0 && v.size() == uint64_t(t.elements));
        require(!t.hasRaw || t.raw.len == v.size() * 4);
      } catch (const std::runtime_error&) {
      }
    }
    std::vector<int64_t> dims;
    (void)qo::onnxGraphInputDims(in, "P_rgb", dims);
  } catch (const std::runtime_error&) {
  }

  // Empty edit: the same bytes, graph prefixes aside; and a rebuild of that is a fixed point.
  Bytes out;
  try {
    qo::gsRebuild(in, {}, out);
  } catch (const std::runtime_error&) {
    return 0;
  }
  require(out == qo::test::expectedEmptyRebuild(in));
  Bytes again;
  qo::gsRebuild(out, {}, again);
  require(again == out);

  // An edit drawn from the input itself.
  const uint8_t knobs = size ? data[0] : 0;
  std::vector<uint8_t> mask(data, data + std::min<size_t>(size, 16));
  const std::string name = "P_rgb";
  const int64_t dims[] = {1, -1, 0, 512};
  GsGraphEdit e;
  e.dropMask = (knobs & 1) ? &mask : nullptr;
  e.dropPRgbInput = knobs & 2;
  e.keepOnlyPRgbInput = knobs & 4;
  e.dropOutputs = knobs & 8;
  if (knobs & 16) {
    e.addedName = &name;
    e.addedDims = (knobs & 32) ? dims : nullptr;
    e.addedDimCount = 4;
    e.addedField = (knobs & 64) ? 12 : 11;
  }
  // The edit may look inside inputs and value_info entries, which an empty edit never parses.
  Bytes edited;
  try {
    qo::gsRebuild(in, e, edited);
  } catch (const std::runtime_error&) {
    return 0;
  }
  checkEditedRebuild(in, edited, e);
  return 0;
}
