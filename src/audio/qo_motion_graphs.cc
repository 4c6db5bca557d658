#include "audio/qo_motion_graphs.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qo::audio {
namespace {

int64_t count(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

}  // namespace

std::string motionComputeUnits(const std::string& ep) {
  const std::string suffix = ep.size() > 7 ? ep.substr(7) : "";
  if (suffix == "cpu") return "CPUOnly";
  if (suffix == "gpu") return "CPUAndGPU";
  if (suffix == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

Ort::SessionOptions motionSessionOptions(int threads, const std::string& ep, const std::string& dir) {
  if (!ep.empty() && ep.rfind("coreml", 0) != 0) throw std::runtime_error("qo_motion: unknown ep '" + ep + "'");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  const char* spin = std::getenv("QO_ORT_SPIN");
  o.AddConfigEntry("session.intra_op.allow_spinning", spin && std::strcmp(spin, "1") == 0 ? "1" : "0");
  if (!ep.empty()) {
    // The compiled models depend on the runtime that compiled them.
    const char* v = OrtGetApiBase()->GetVersionString();
    o.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                         {"MLComputeUnits", motionComputeUnits(ep)},
                                         {"ModelCacheDirectory", dir + "/.coreml_cache/motion-ort" + (v && *v ? v : "unknown")}});
  }
  return o;
}

MotionGraph::MotionGraph(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options,
                         const std::vector<std::vector<int64_t>>& inputs, const std::vector<int64_t>& output)
    : path_(path) {
  session_ = std::make_unique<Ort::Session>(env, path.c_str(), options);
  if (session_->GetInputCount() != inputs.size() || session_->GetOutputCount() < 1)
    throw std::runtime_error(path + ": the graph declares " + std::to_string(session_->GetInputCount()) + " inputs and " +
                             std::to_string(session_->GetOutputCount()) + " outputs; the motion model feeds " +
                             std::to_string(inputs.size()) + " inputs and reads one output");
  Ort::AllocatorWithDefaultOptions alloc;
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  for (size_t i = 0; i < inputs.size(); ++i) {
    inNames_.push_back(session_->GetInputNameAllocated(i, alloc).get());
    inputs_.emplace_back(size_t(count(inputs[i])), 0.0f);
  }
  outNames_.push_back(session_->GetOutputNameAllocated(0, alloc).get());
  output_.assign(size_t(count(output)), 0.0f);
  for (size_t i = 0; i < inputs.size(); ++i) {
    inPtrs_.push_back(inNames_[i].c_str());
    inValues_.push_back(Ort::Value::CreateTensor<float>(mem, inputs_[i].data(), inputs_[i].size(), inputs[i].data(),
                                                        inputs[i].size()));
  }
  outPtrs_.push_back(outNames_[0].c_str());
  outValues_.push_back(Ort::Value::CreateTensor<float>(mem, output_.data(), output_.size(), output.data(), output.size()));
}

void MotionGraph::run() {
  try {
    session_->Run(Ort::RunOptions{nullptr}, inPtrs_.data(), inValues_.data(), inValues_.size(), outPtrs_.data(),
                  outValues_.data(), outValues_.size());
  } catch (const Ort::Exception& e) {
    throw std::runtime_error(path_ + ": " + e.what());
  }
}

}  // namespace qo::audio
