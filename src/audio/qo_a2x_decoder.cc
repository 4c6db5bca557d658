#include "audio/qo_a2x_decoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "audio/qo_ort_setup.h"

namespace qo::audio {
namespace {

const char* const kInputs[] = {"ctx_t", "prev", "h"};
const char* const kOutputs[] = {"m", "h_out"};

// Output index of `name`, or throws.
size_t outputIndex(const Ort::Session& s, const std::string& path, const char* name) {
  for (size_t i = 0; i < s.GetOutputCount(); ++i)
    if (outputName(s, i) == name) return i;
  throw std::runtime_error(path + ": the decoder has no output \"" + name + "\"");
}

// The declared shape, its unknown dimensions resolved so that it holds `count` values (the first
// one takes what is left, the others 1); throws when the declared dimensions cannot hold them.
std::vector<int64_t> boundShape(const Ort::Session& s, const std::string& path, const char* name, int64_t count,
                                const std::string& what) {
  std::vector<int64_t> shape = outputShape(s, outputIndex(s, path, name));
  if (shape.empty()) return {1, count};
  int64_t known = 1;
  int64_t* open = nullptr;
  for (int64_t& d : shape) {
    if (d >= 0) {
      known *= d;
    } else if (!open) {
      open = &d;
    } else {
      d = 1;
    }
  }
  const bool fits = open ? known > 0 && count % known == 0 : known == count;
  if (!fits)
    throw std::runtime_error(path + ": the decoder's \"" + name + "\" is declared with " + std::to_string(known) +
                             " values but " + what);
  if (open) *open = count / known;
  return shape;
}

}  // namespace

StepDecoder::StepDecoder(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options, int h)
    : session_(std::make_unique<Ort::Session>(env, path.c_str(), options)),
      mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)),
      h_(h),
      ctxIn_(size_t(h)),
      prevIn_(63),
      hiddenIn_(size_t(h)),
      mOut_(63),
      hOut_(size_t(h)) {
  for (const char* in : kInputs)
    if (!hasInput(*session_, in)) throw std::runtime_error(path + ": the decoder has no input \"" + in + "\"");
  const std::vector<int64_t> mShape = boundShape(*session_, path, "m", 63, "a keypoint delta is 63");
  const std::vector<int64_t> hShape =
      boundShape(*session_, path, "h_out", h, "a2x_meta.json gives h = " + std::to_string(h));
  const int64_t ctxShape[2] = {1, h}, prevShape[2] = {1, 63}, hiddenShape[3] = {1, 1, h};
  inputs_.push_back(Ort::Value::CreateTensor<float>(mem_, ctxIn_.data(), ctxIn_.size(), ctxShape, 2));
  inputs_.push_back(Ort::Value::CreateTensor<float>(mem_, prevIn_.data(), prevIn_.size(), prevShape, 2));
  inputs_.push_back(Ort::Value::CreateTensor<float>(mem_, hiddenIn_.data(), hiddenIn_.size(), hiddenShape, 3));
  outputs_.push_back(Ort::Value::CreateTensor<float>(mem_, mOut_.data(), mOut_.size(), mShape.data(), mShape.size()));
  outputs_.push_back(Ort::Value::CreateTensor<float>(mem_, hOut_.data(), hOut_.size(), hShape.data(), hShape.size()));
}

StepDecoder::~StepDecoder() = default;

void StepDecoder::step(const float* ctx, const float* prev, float* hidden, float* m) {
  std::memcpy(ctxIn_.data(), ctx, size_t(h_) * sizeof(float));
  std::memcpy(prevIn_.data(), prev, 63 * sizeof(float));
  std::memcpy(hiddenIn_.data(), hidden, size_t(h_) * sizeof(float));
  session_->Run(Ort::RunOptions{nullptr}, kInputs, inputs_.data(), 3, kOutputs, outputs_.data(), 2);
  std::memcpy(m, mOut_.data(), 63 * sizeof(float));
  std::memcpy(hidden, hOut_.data(), size_t(h_) * sizeof(float));
}

}  // namespace qo::audio
