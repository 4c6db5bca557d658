// ONNX's own backend test models (Debian's libonnx-testdata): every model must walk with the
// wire readers, and an empty-edit rebuild must be a model that ONNX Runtime runs with the same
// outputs as the original, on each test's own inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "render/onnx_walk.h"
#include "render/ort_harness.h"
#include "render/ort_values.h"
#include "render/qo_onnx_wire.h"
#include "render/tensor_proto_decode.h"
#include "tools/devkit/onnx_values.h"

namespace qo {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCorpus = "/usr/share/libonnx-testdata/data";

std::vector<uint8_t> readBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> corpusModels() {
  std::vector<fs::path> models;
  for (const auto& e : fs::recursive_directory_iterator(kCorpus))
    if (e.is_regular_file() && e.path().filename() == "model.onnx") models.push_back(e.path());
  std::sort(models.begin(), models.end());
  return models;
}

// input_0.pb, input_1.pb, ... of the model's first data set, in index order.
std::vector<fs::path> inputFiles(const fs::path& model) {
  std::vector<fs::path> files;
  const fs::path set = model.parent_path() / "test_data_set_0";
  for (int i = 0;; ++i) {
    const fs::path p = set / ("input_" + std::to_string(i) + ".pb");
    if (!fs::exists(p)) break;
    files.push_back(p);
  }
  return files;
}
struct Tally {
  size_t models = 0, walked = 0, identical = 0, loaded = 0, ran = 0, equal = 0;
  size_t ortRefused = 0, undecodableInputs = 0, ortRunFailed = 0, nondeterministic = 0, incomparable = 0;
  size_t referenceMatched = 0, referenceDiffers = 0, noReference = 0;
  std::vector<std::string> skipped;  // "model: reason", for the log
};

std::string testName(const fs::path& model) { return model.parent_path().filename().string(); }

std::optional<test::DecodedTensor> decodeFile(const fs::path& p, std::string& why) {
  test::DecodedTensor t;
  if (!test::decodeTensorProto(readBytes(p), t, why)) {
    why = p.filename().string() + ": " + why;
    return std::nullopt;
  }
  return t;
}

// The session's inputs filled from the data set: by the name a file carries when the session has
// such an input, else by position. Tensors and sequences of tensors.
std::optional<std::vector<std::pair<std::string, Ort::Value>>> feedsFor(Ort::Session& s, const fs::path& model,
                                                                       std::string& why) {
  const std::vector<std::string> names = s.GetInputNames();
  const std::vector<fs::path> files = inputFiles(model);
  if (files.size() != names.size()) {
    why = std::to_string(files.size()) + " input files for " + std::to_string(names.size()) + " inputs";
    return std::nullopt;
  }
  std::vector<std::pair<std::string, Ort::Value>> feeds;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::vector<uint8_t> bytes = readBytes(files[i]);
    size_t slot = i;
    for (const std::string& n : {gsFirstStr(bytes, 8), gsFirstStr(bytes, 1)}) {  // TensorProto.name, SequenceProto.name
      const auto it = std::find(names.begin(), names.end(), n);
      if (!n.empty() && it != names.end()) {
        slot = size_t(it - names.begin());
        break;
      }
    }
    const Ort::TypeInfo type = s.GetInputTypeInfo(slot);
    if (type.GetONNXType() == ONNX_TYPE_SEQUENCE) {
      std::vector<test::DecodedTensor> items;
      if (!test::decodeTensorSequence(bytes, items, why) || items.empty()) {
        why = files[i].filename().string() + ": " + (items.empty() && why.empty() ? "empty sequence" : why);
        return std::nullopt;
      }
      std::vector<Ort::Value> values;
      for (const test::DecodedTensor& t : items) values.push_back(test::toOrtValue(t));
      feeds.emplace_back(names[slot], Ort::Value::CreateSequence(values));
      continue;
    }
    if (type.GetONNXType() != ONNX_TYPE_TENSOR) {
      why = "input '" + names[slot] + "' is neither a tensor nor a sequence";
      return std::nullopt;
    }
    test::DecodedTensor t;
    if (!test::decodeTensorProto(bytes, t, why)) {
      why = files[i].filename().string() + ": " + why;
      return std::nullopt;
    }
    // The data sets keep 16-bit floats as UINT16 bit patterns.
    const int32_t wanted = int32_t(type.GetTensorTypeAndShapeInfo().GetElementType());
    if (t.dataType == onnx::kUint16 && (wanted == onnx::kBfloat16 || wanted == onnx::kFloat16)) t.dataType = wanted;
    feeds.emplace_back(names[slot], test::toOrtValue(t));
  }
  return feeds;
}

std::vector<Ort::Value> runAll(Ort::Session& s, std::vector<std::pair<std::string, Ort::Value>>& feeds) {
  std::vector<const char*> inNames;
  std::vector<Ort::Value> values;
  for (auto& [name, v] : feeds) {
    inNames.push_back(name.c_str());
    values.push_back(std::move(v));
  }
  const std::vector<std::string> outs = s.GetOutputNames();
  std::vector<const char*> outNames;
  for (const std::string& o : outs) outNames.push_back(o.c_str());
  std::vector<Ort::Value> result =
      s.Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), values.size(), outNames.data(), outNames.size());
  for (size_t i = 0; i < feeds.size(); ++i) feeds[i].second = std::move(values[i]);  // inputs stay reusable
  return result;
}

bool sameOutputs(const std::vector<Ort::Value>& a, const std::vector<Ort::Value>& b, std::string& why) {
  if (a.size() != b.size()) return why = "output counts differ", false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!test::sameValue(a[i], b[i], why)) return why = "output " + std::to_string(i) + ": " + why, false;
  return true;
}

// Compares the original's outputs with the data set's expected outputs. Not the rebuild's concern,
// but it shows that the inputs were decoded and fed as the test meant them.
void checkAgainstReference(const fs::path& model, const std::vector<Ort::Value>& outputs, Tally& t) {
  const fs::path set = model.parent_path() / "test_data_set_0";
  std::string why;
  for (size_t i = 0; i < outputs.size(); ++i) {
    auto want = decodeFile(set / ("output_" + std::to_string(i) + ".pb"), why);
    if (!want || !outputs[i].IsTensor()) {
      ++t.noReference;
      return;
    }
    const int32_t got = int32_t(outputs[i].GetTensorTypeAndShapeInfo().GetElementType());
    if (want->dataType == onnx::kUint16 && (got == onnx::kBfloat16 || got == onnx::kFloat16)) want->dataType = got;
    if (!test::matchesReference(outputs[i], *want, why)) {
      ++t.referenceDiffers;
      t.skipped.push_back(testName(model) + ": output " + std::to_string(i) + " differs from the reference (" +
                          why + ")");
      return;
    }
  }
  ++t.referenceMatched;
}

void checkModel(const fs::path& path, Tally& t) {
  SCOPED_TRACE(path.string());
  ++t.models;
  const std::vector<uint8_t> model = readBytes(path);
  try {
    const test::WalkStats s = test::walkModel(model);
    EXPECT_GT(s.nodes, 0u);
    ++t.walked;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "walk: " << e.what();
    return;
  }
  for (const fs::path& in : inputFiles(path)) {
    const std::vector<uint8_t> bytes = readBytes(in);
    EXPECT_NO_THROW(test::walkModel(bytes, 0)) << in;  // any protobuf message walks at top level
  }

  std::vector<uint8_t> rebuilt;
  gsRebuild(model, {}, rebuilt);
  EXPECT_EQ(rebuilt, test::expectedEmptyRebuild(model));
  t.identical += rebuilt == model;

  auto skip = [&](size_t& counter, const std::string& why) {
    ++counter;
    t.skipped.push_back(testName(path) + ": " + why);
  };
  std::optional<Ort::Session> original;
  try {
    original.emplace(test::openSession(model));
  } catch (const Ort::Exception& e) {
    return skip(t.ortRefused, std::string("ORT refuses the model: ") + e.what());
  }
  std::optional<Ort::Session> copy;
  try {
    copy.emplace(test::openSession(rebuilt));
  } catch (const Ort::Exception& e) {
    ADD_FAILURE() << "ORT loads the original but not the rebuilt model: " << e.what();
    return;
  }
  ++t.loaded;
  std::string why;
  auto feeds = feedsFor(*original, path, why);
  if (!feeds) return skip(t.undecodableInputs, "inputs: " + why);
  std::vector<Ort::Value> want;
  try {
    want = runAll(*original, *feeds);
  } catch (const Ort::Exception& e) {
    return skip(t.ortRunFailed, std::string("ORT cannot run it: ") + e.what());
  }
  ++t.ran;
  checkAgainstReference(path, want, t);
  std::vector<Ort::Value> got;
  try {
    got = runAll(*copy, *feeds);
  } catch (const Ort::Exception& e) {
    ADD_FAILURE() << "ORT runs the original but not the rebuilt model: " << e.what();
    return;
  }
  if (sameOutputs(want, got, why)) {
    ++t.equal;
    return;
  }
  if (why.find("cannot compare") != std::string::npos) return skip(t.incomparable, why);
  // Random operators differ from run to run; the original must then differ from itself.
  std::string again;
  if (!sameOutputs(want, runAll(*original, *feeds), again)) return skip(t.nondeterministic, "nondeterministic");
  ADD_FAILURE() << "rebuilt model gives other outputs: " << why;
}

TEST(wireOnnxTestdata, EveryModelWalksAndRebuildsToTheSameModel) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << kCorpus << " missing (package libonnx-testdata)";
  const std::vector<fs::path> models = corpusModels();
  ASSERT_FALSE(models.empty());
  Tally t;
  for (const fs::path& m : models) checkModel(m, t);

  for (const std::string& s : t.skipped) std::printf("[corpus] %s\n", s.substr(0, 300).c_str());
  std::printf(
      "[corpus] models %zu, walked %zu, rebuilt byte-identical %zu, ORT-loaded %zu, ORT-ran %zu, outputs equal %zu\n"
      "[corpus] skipped: ORT refused the model %zu, inputs not decodable %zu, ORT run failed %zu, "
      "nondeterministic %zu, outputs not comparable %zu\n"
      "[corpus] ORT against the data sets' expected outputs: matched %zu, differed %zu, no reference %zu\n",
      t.models, t.walked, t.identical, t.loaded, t.ran, t.equal, t.ortRefused, t.undecodableInputs, t.ortRunFailed,
      t.nondeterministic, t.incomparable, t.referenceMatched, t.referenceDiffers, t.noReference);
  EXPECT_EQ(t.walked, models.size());
  // Guards the harness itself: if decoding or feeding broke, most models would silently skip.
  EXPECT_GE(t.ran * 2, models.size());
  EXPECT_GE(t.referenceMatched * 2, t.ran);
  EXPECT_EQ(t.equal + t.nondeterministic + t.incomparable, t.ran);
}

}  // namespace
}  // namespace qo
