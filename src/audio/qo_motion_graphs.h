// The motion model's three ONNX graphs on their own ONNX Runtime environment: session options
// (threads, spinning, execution provider) and one runner per graph with its tensors allocated
// once over instance buffers. Inputs are bound in the graph's declared order.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qo::audio {

// intra-op `threads`, one inter-op thread, all optimisations, no spinning unless QO_ORT_SPIN is
// "1". `ep` "" is the CPU; "coreml[-SUFFIX]" appends CoreML (MLProgram; SUFFIX cpu / gpu / ane,
// anything else all units) with its compiled-model cache under `dir`; anything else throws
// "qo_motion: unknown ep 'EP'".
Ort::SessionOptions motionSessionOptions(int threads, const std::string& ep, const std::string& dir);

// Compute units for an ep's suffix (after its seventh character).
std::string motionComputeUnits(const std::string& ep);

class MotionGraph {
 public:
  // `inputs`: the shapes of the graph's inputs in declared order; `output`: the shape of its
  // first output. Throws naming the path when the graph declares another number of inputs.
  MotionGraph(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options,
              const std::vector<std::vector<int64_t>>& inputs, const std::vector<int64_t>& output);

  float* input(size_t i) { return inputs_[i].data(); }
  const float* output() const { return output_.data(); }
  float* output() { return output_.data(); }  // valid until the next run
  size_t inputSize(size_t i) const { return inputs_[i].size(); }
  size_t outputSize() const { return output_.size(); }
  void run();

 private:
  std::string path_;
  std::unique_ptr<Ort::Session> session_;
  std::vector<std::string> inNames_, outNames_;
  std::vector<const char*> inPtrs_, outPtrs_;
  std::vector<std::vector<float>> inputs_;
  std::vector<float> output_;
  std::vector<Ort::Value> inValues_, outValues_;
};

}  // namespace qo::audio
