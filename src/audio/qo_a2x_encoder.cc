#include "audio/qo_a2x_encoder.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "audio/qo_a2x_position.h"
#include "audio/qo_ort_setup.h"
#include "audio/qo_speech_frontend.h"

namespace qo::audio {

const float* PositionTable::row(int64_t frame) const {
  return rows.data() + size_t(positionRow(frame, npos)) * size_t(h);
}

StreamEncoder::StreamEncoder(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options, int h)
    : session_(std::make_unique<Ort::Session>(env, path.c_str(), options)),
      mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)),
      h_(h) {
  for (const char* in : {"feat", "pos_window", "attn"})
    if (!hasInput(*session_, in))
      throw std::runtime_error(path + ": the encoder has no input \"" + in + "\"");
  outputCount_ = session_->GetOutputCount();
  if (outputCount_ < 1) throw std::runtime_error(path + ": the encoder has no output");
  out0_ = outputName(*session_, 0);
  if (outputCount_ > 1) {
    out1_ = outputName(*session_, 1);
    hasWn_ = true;
  }
  const std::vector<int64_t> shape = outputShape(*session_, 0);
  if (!shape.empty() && shape.back() > 0 && shape.back() != h)
    throw std::runtime_error(path + ": the encoder's output \"" + out0_ + "\" is " + std::to_string(shape.back()) +
                             " wide but a2x_meta.json gives h = " + std::to_string(h));
}

StreamEncoder::~StreamEncoder() = default;

void StreamEncoder::run(const float* features, int a, int e, int c0, int c1, const PositionTable& pos, int window,
                        int left, float* ctx, float* wn) {
  const int64_t T = e - a;
  if (T < 1 || c0 < a || c1 > e || c0 >= c1) throw std::logic_error("encoder chunk out of its window");
  posWindow_.resize(size_t(T) * size_t(h_));
  mask_.resize(size_t(T) * size_t(T));
  for (int64_t i = 0; i < T; ++i) std::memcpy(&posWindow_[size_t(i) * h_], pos.row(a + i), size_t(h_) * sizeof(float));
  const float blocked = -std::numeric_limits<float>::infinity();
  for (int64_t r = 0; r < T; ++r)
    for (int64_t k = 0; k < T; ++k) mask_[size_t(r * T + k)] = (k > r + window || k < r - left) ? blocked : 0.0f;

  const int64_t featShape[4] = {1, T, kFeatureLayers, kFeatureWidth};
  const int64_t posShape[3] = {1, T, h_};
  const int64_t maskShape[4] = {1, 1, T, T};
  Ort::Value inputs[3] = {
      // ONNX Runtime only reads its inputs; the const_cast is its API's.
      Ort::Value::CreateTensor<float>(mem_, const_cast<float*>(features), size_t(T) * kFeatureRow, featShape, 4),
      Ort::Value::CreateTensor<float>(mem_, posWindow_.data(), posWindow_.size(), posShape, 3),
      Ort::Value::CreateTensor<float>(mem_, mask_.data(), mask_.size(), maskShape, 4),
  };
  static const char* const kInputs[] = {"feat", "pos_window", "attn"};
  const char* outputs[2] = {out0_.c_str(), out1_.c_str()};
  std::vector<Ort::Value> out =
      session_->Run(Ort::RunOptions{nullptr}, kInputs, inputs, 3, outputs, hasWn_ ? 2 : 1);

  const Ort::TensorTypeAndShapeInfo info = out[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != size_t(T) * size_t(h_))
    throw std::runtime_error("encoder output \"" + out0_ + "\" holds " + std::to_string(info.GetElementCount()) +
                             " values for " + std::to_string(T) + " frames of width " + std::to_string(h_));
  std::memcpy(ctx, out[0].GetTensorData<float>() + size_t(c0 - a) * h_, size_t(c1 - c0) * h_ * sizeof(float));
  if (hasWn_ && wn) {
    const Ort::TensorTypeAndShapeInfo wi = out[1].GetTensorTypeAndShapeInfo();
    if (wi.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || wi.GetElementCount() != size_t(T))
      throw std::runtime_error("encoder output \"" + out1_ + "\" holds " + std::to_string(wi.GetElementCount()) +
                               " values for " + std::to_string(T) + " frames");
    std::memcpy(wn, out[1].GetTensorData<float>() + (c0 - a), size_t(c1 - c0) * sizeof(float));
  }
}

}  // namespace qo::audio
