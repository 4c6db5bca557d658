#include "tests/render/director_graphs.h"

#include "tools/devkit/onnx_model_builder.h"

namespace qo::test {

using namespace qo::onnx;

namespace {
Dim dim(int64_t v, const char* symbol) { return v < 0 ? Dim(symbol) : Dim(v); }
}  // namespace

void writeTestDirector(const std::string& path, const DirectorShape& s) {
  ModelBuilder b;
  const int64_t pb = s.pooledBatch == 0 ? s.batch : s.pooledBatch;
  const std::string kd = s.featSynth ? "kd" : "kp_driving", ks = s.featSynth ? "ks" : "kp_source";
  const std::string pooled = s.featSynth ? "pooled" : "pooled64";
  if (s.featSynth) b.input("fs_red", kFloat, {dim(s.batch, "B"), 64, 64, 64});
  b.input(pooled, kFloat, {dim(pb, "B"), 64, 32, 32});
  if (!s.featSynth) b.input("P_rgb", kFloat, {dim(s.batch, "B"), 3, s.crop, s.crop});
  b.input(kd, kFloat, {dim(s.batch, "B"), dim(s.kpRows, "K"), 3});
  b.input(ks, kFloat, {dim(s.batch, "B"), dim(s.kpRows, "K"), 3});

  b.initializer("axes12", tensorOf<int64_t>({2}, {1, 2}));
  b.initializer("axis3", tensorOf<int64_t>({1}, {3}));
  b.initializer("s00", tensorOf<int64_t>({2}, {0, 0}));
  b.initializer("e11", tensorOf<int64_t>({2}, {1, 1}));
  b.initializer("s01", tensorOf<int64_t>({2}, {0, 1}));
  b.initializer("e12", tensorOf<int64_t>({2}, {1, 2}));
  b.initializer("ten", tensorOf<float>({}, {10.0f}));
  b.initializer("hundred", tensorOf<float>({}, {100.0f}));
  b.node("Slice", {kd, "s00", "e11", "axes12"}, {"kd0"});
  b.node("Unsqueeze", {"kd0", "axis3"}, {"kd0u"});
  b.node("Slice", {ks, "s01", "e12", "axes12"}, {"ks1"});
  b.node("Unsqueeze", {"ks1", "axis3"}, {"ks1u"});
  b.node("Mul", {"kd0u", "ten"}, {"kdTerm"});
  b.node("Mul", {"ks1u", "hundred"}, {"ksTerm"});
  b.node("ReduceMean", {pooled}, {"pooledMean"}, {attrInts("axes", {1, 2, 3}), attrInt("keepdims", 1)});
  b.node("Add", {"kdTerm", "ksTerm"}, {"kpTerms"});
  b.node("Add", {"kpTerms", "pooledMean"}, {"offset"});
  if (s.featSynth) {
    b.node("ReduceMean", {"fs_red"}, {"fsMean"}, {attrInts("axes", {1, 2, 3}), attrInt("keepdims", 1)});
    b.initializer("zeros", tensorOf<float>({1, 3, s.crop, s.crop}, std::vector<float>(size_t(3 * s.crop * s.crop))));
    b.node("Add", {"zeros", "fsMean"}, {"image"});
  }
  b.node("Add", {s.featSynth ? "image" : "P_rgb", "offset"}, {"rgb"});
  b.output("rgb", kFloat, {dim(s.batch, "B"), 3, s.crop, s.crop});
  b.save(path);
}

}  // namespace qo::test
