#include "audio/qo_fca.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "audio/qo_fca_features.h"
#include "audio/qo_speech_frontend.h"
#include "compute/qo_pool.h"

namespace qo::audio {
namespace {

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

Ort::Value tensorOver(const Ort::MemoryInfo& mem, std::vector<float>& v, std::vector<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape.data(), shape.size());
}

}  // namespace

Fca::Fca(const std::string& w2vPath, const std::string& fcaPath, int threads)
    : mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)),
      window_(size_t(kLegacySamples)),
      cond_(size_t(kFcaCond)),
      prev_(size_t(kFcaDeltas)),
      h_(size_t(kFcaState)),
      m_(size_t(kFcaDeltas)),
      hn_(size_t(kFcaState)) {
  env_ = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "qo_fca");
  options_.SetIntraOpNumThreads(threads < 1 ? qo::pool::threads() : threads);
  options_.SetInterOpNumThreads(1);
  options_.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  frontend_ = std::make_unique<Ort::Session>(*env_, w2vPath.c_str(), options_);
  stream_ = std::make_unique<Ort::Session>(*env_, fcaPath.c_str(), options_);
}

Fca::~Fca() = default;

int Fca::frames(int n) { return n < 1 ? 0 : int((int64_t(n) + kFrameSamples - 1) / kFrameSamples); }

void Fca::deltas(const float* audio, int n, float* out) {
  const int N = frames(n);
  if (N == 0) return;
  features(audio, n, N);
  speechNormalise(feats_.data(), N, kFcaWidth);
  stream(N, out);
}

void Fca::features(const float* audio, int n, int N) {
  feats_.assign(size_t(N) * kFcaWidth, 0.0f);
  const int64_t inShape[] = {1, kLegacySamples};
  static const char* const kIn[] = {"input_values"};
  static const char* const kOut[] = {"audio_emb"};
  int filled = 0;  // frames 0 .. filled - 1 hold their feature
  for (int o = 0; filled < N; o += kLegacyHop) {
    std::fill(window_.begin(), window_.end(), 0.0f);
    const int64_t from = int64_t(o) * kFrameSamples;
    const int64_t take = std::clamp<int64_t>(int64_t(n) - from, 0, kLegacySamples);
    if (take > 0) std::memcpy(window_.data(), audio + from, sizeof(float) * size_t(take));
    normaliseWindowSingle(window_.data(), window_.size());
    Ort::Value in = Ort::Value::CreateTensor<float>(mem_, window_.data(), window_.size(), inShape, 2);
    std::vector<Ort::Value> res = frontend_->Run(run_, kIn, &in, 1, kOut, 1);
    const auto info = res[0].GetTensorTypeAndShapeInfo();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ||
        info.GetElementCount() != size_t(kFeatureLayers) * kLegacyFrames * kFeatureWidth)
      throw std::runtime_error("frontend output \"audio_emb\" is " + shapeText(info.GetShape()) +
                               "; qo_fca needs 12 x 200 x 768 float32 (layer-major)");
    const float* emb = res[0].GetTensorData<float>();
    const int first = o == 0 ? 0 : 50;
    for (int i = first; i < kLegacyFrames; ++i) {
      const int t = o + i;
      if (t < filled) continue;
      if (t >= N) break;
      float* f = feats_.data() + size_t(t) * kFcaWidth;
      for (int layer : kFcaLayers) {
        const float* src = emb + (size_t(layer) * kLegacyFrames + size_t(i)) * kFeatureWidth;
        for (int j = 0; j < kFcaWidth; ++j) f[j] += src[j];
      }
      for (int j = 0; j < kFcaWidth; ++j) f[j] /= float(std::size(kFcaLayers));
      filled = t + 1;
    }
  }
}

void Fca::stream(int N, float* out) {
  static const char* const kIn[] = {"cond", "prev", "h"};
  static const char* const kOut[] = {"m", "hn"};
  std::fill(prev_.begin(), prev_.end(), 0.0f);
  std::fill(h_.begin(), h_.end(), 0.0f);
  Ort::Value inputs[] = {tensorOver(mem_, cond_, {1, kFcaCond}), tensorOver(mem_, prev_, {1, kFcaDeltas}),
                         tensorOver(mem_, h_, {1, 1, kFcaState})};
  Ort::Value outputs[] = {tensorOver(mem_, m_, {1, kFcaDeltas}), tensorOver(mem_, hn_, {1, 1, kFcaState})};
  for (int t = 0; t < N; ++t) {
    contextOf(feats_.data(), N, kFcaWidth, t, cond_.data());
    stream_->Run(run_, kIn, inputs, 3, kOut, outputs, 2);
    std::memcpy(out + size_t(t) * kFcaDeltas, m_.data(), sizeof(float) * kFcaDeltas);
    std::copy(m_.begin(), m_.end(), prev_.begin());  // the bound input buffers stay in place
    std::copy(hn_.begin(), hn_.end(), h_.begin());
  }
}

}  // namespace qo::audio
