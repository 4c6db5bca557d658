// The autoregressive decoder step of qo_a2x: context, previous output and recurrent state in,
// the normalised 63-value delta and the next state out.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <memory>
#include <string>
#include <vector>

namespace qo::audio {

class StepDecoder {
 public:
  // Opens the graph and checks its interface: inputs "ctx_t", "prev", "h"; outputs "m" of 63
  // values and "h_out" of h where the graph declares them. Throws std::runtime_error.
  StepDecoder(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options, int h);
  ~StepDecoder();

  // One step: reads ctx (h), prev (63) and hidden (h); writes m (63) and replaces hidden with
  // the next state. Tensors are bound once at construction; nothing is allocated here.
  void step(const float* ctx, const float* prev, float* hidden, float* m);

 private:
  std::unique_ptr<Ort::Session> session_;
  Ort::MemoryInfo mem_;
  int h_;
  std::vector<float> ctxIn_, prevIn_, hiddenIn_, mOut_, hOut_;
  std::vector<Ort::Value> inputs_, outputs_;
};

}  // namespace qo::audio
