#include "audio/qo_speech_frontend.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include "audio/qo_ort_setup.h"
#include "bundle/qo_fs.h"
#include "qo/qo_pool.h"

namespace qo::audio {
namespace {

const char* const kInputValues[] = {"input_values"};
const char* const kLegacyOut[] = {"audio_emb"};
const char* const kHeadIn[] = {"x"};
const char* const kHeadOut[] = {"emb"};

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + "]";
}

Ort::Value inputTensor(const Ort::MemoryInfo& mem, const float* data, size_t count, const int64_t* shape, size_t rank) {
  // ONNX Runtime only reads its inputs; the const_cast is its API's.
  return Ort::Value::CreateTensor<float>(mem, const_cast<float*>(data), count, shape, rank);
}

int resolvedThreads(int threads) { return threads >= 1 ? threads : pool::threads(); }

}  // namespace

SpeechFrontend::SpeechFrontend() : mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {}

SpeechFrontend::~SpeechFrontend() = default;

SpeechFrontend& SpeechFrontend::shared() {
  static SpeechFrontend* const frontend = new SpeechFrontend();  // never freed: sessions outlive every instance
  return *frontend;
}

Ort::Env& SpeechFrontend::env() {
  if (!env_) env_ = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "qo_a2x_w2v");
  return *env_;
}

Ort::Session* SpeechFrontend::legacySession(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (legacy_) return legacy_.get();
  auto setup = makeSessionSetup(resolvedThreads(threads));
  applyCudaRule(setup->options, "w2v");
  legacy_ = openWithGeluFallback(env(), path, *setup);
  legacyPath_ = path;
  return legacy_.get();
}

bool SpeechFrontend::legacyLoaded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return legacy_ != nullptr;
}

std::string SpeechFrontend::legacyPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return legacyPath_;
}

bool SpeechFrontend::tryShortWindow(int threads, const std::string& w2vPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (trunk_ && head_) return true;
  if (winTried_) return false;
  winTried_ = true;

  std::string trunkPath, headPath;
  const char* envTrunk = std::getenv("QO_A2X_W2V_WIN_ONNX");
  const char* envHead = std::getenv("QO_A2X_W2V_HEAD_ONNX");
  if (envTrunk && *envTrunk && envHead && *envHead) {
    trunkPath = envTrunk;
    headPath = envHead;
  } else {
    const size_t slash = w2vPath.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : w2vPath.substr(0, slash);
    static const std::pair<const char*, const char*> kPairs[] = {
        {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
        {"w2v_trunk32.onnx", "w2v_head32.onnx"},
    };
    for (const auto& [t, h] : kPairs) {
      if (fs::canRead(dir + "/" + t) && fs::canRead(dir + "/" + h)) {
        trunkPath = dir + "/" + t;
        headPath = dir + "/" + h;
        break;
      }
    }
    if (trunkPath.empty()) {
      std::fprintf(stderr,
                   "[qo_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                   "QO_A2X_W2V_WIN_ONNX/QO_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                   "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
                   "the LEGACY 8s window — same reference quality, 2.8-3.9x the audio hop cost. Ship the pair "
                   "beside the encoder (tools/export_w2v_window).\n",
                   w2vPath.c_str());
      return false;
    }
  }

  try {
    auto setup = makeSessionSetup(resolvedThreads(threads));
    applyCudaRule(setup->options, "w2v");
    trunk_ = openWithGeluFallback(env(), trunkPath, *setup);
    head_ = openWithGeluFallback(env(), headPath, *setup);
    trunkOutName_ = outputName(*trunk_, 0);
    const std::vector<int64_t> shape = outputShape(*trunk_, 0);
    const int lt = shape.size() == 3 && shape[2] >= 1 ? int(shape[2]) : 0;
    trunkLength_.store(lt, std::memory_order_release);
    const std::string ltText = lt > 0 ? std::to_string(lt) : std::string("from-first-run");
    std::fprintf(stderr, "[qo_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                 ltText.c_str(), trunkPath.c_str(), fileSize(trunkPath), headPath.c_str(), fileSize(headPath));
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[qo_a2x] short-window w2v load FAILED (%s) — legacy 8s path\n", e.what());
    trunk_.reset();
    head_.reset();
    return false;
  }
}

Ort::Value SpeechFrontend::runLegacy(const float* window) const {
  if (!legacy_) throw std::runtime_error("w2v: legacy frontend not loaded");
  const int64_t shape[2] = {1, kLegacySamples};
  Ort::Value in = inputTensor(mem_, window, kLegacySamples, shape, 2);
  std::vector<Ort::Value> out = legacy_->Run(Ort::RunOptions{nullptr}, kInputValues, &in, 1, kLegacyOut, 1);
  const Ort::TensorTypeAndShapeInfo info = out[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ||
      info.GetElementCount() != size_t(kFeatureLayers) * kLegacyFrames * kFeatureWidth)
    throw std::runtime_error("w2v: audio_emb is " + shapeText(info.GetShape()) +
                             ", expected 12 x 200 x 768 float32");
  return std::move(out[0]);
}

Ort::Value SpeechFrontend::runTrunk(const float* window) {
  const int64_t shape[2] = {1, kTrunkSamples};
  Ort::Value in = inputTensor(mem_, window, kTrunkSamples, shape, 2);
  const char* outName[] = {trunkOutName_.c_str()};
  std::vector<Ort::Value> out = trunk_->Run(Ort::RunOptions{nullptr}, kInputValues, &in, 1, outName, 1);
  const Ort::TensorTypeAndShapeInfo info = out[0].GetTensorTypeAndShapeInfo();
  const std::vector<int64_t> got = info.GetShape();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16 || got.size() != 3 || got[0] != 1 ||
      got[1] != kTrunkChannels || got[2] < 1 || got[2] > (1 << 30))
    throw std::runtime_error("w2v_win: trunk output is " + shapeText(got) + ", expected float16 [1, 640, LT]");
  // Instances run the trunk at once: the first run to see the length fixes it for all.
  int expected = 0;
  trunkLength_.compare_exchange_strong(expected, int(got[2]), std::memory_order_acq_rel);
  const int lt = trunkLength_.load(std::memory_order_acquire);
  if (got[2] != lt)
    throw std::runtime_error("w2v_win: trunk output has " + std::to_string(got[2]) + " columns, LT is " +
                             std::to_string(lt));
  return std::move(out[0]);
}

Ort::Value SpeechFrontend::runHead(const float* x) const {
  const int64_t shape[2] = {kBlockFrames, kTrunkChannels};
  Ort::Value in = inputTensor(mem_, x, size_t(kBlockFrames) * kTrunkChannels, shape, 2);
  std::vector<Ort::Value> out = head_->Run(Ort::RunOptions{nullptr}, kHeadIn, &in, 1, kHeadOut, 1);
  const Ort::TensorTypeAndShapeInfo info = out[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ||
      info.GetElementCount() != size_t(kBlockFrames) * kFeatureRow)
    throw std::runtime_error("w2v_win: head emb is " + shapeText(info.GetShape()) + ", expected 8 x 9216 float32");
  return std::move(out[0]);
}

const std::vector<float>& SpeechFrontend::silenceFeatures() {
  std::lock_guard<std::mutex> lock(silenceMutex_);
  if (silence_.empty()) {
    const std::vector<float> zeros(kLegacySamples, 0.0f);  // normalisation leaves silence at zero
    Ort::Value emb = runLegacy(zeros.data());
    const float* p = emb.GetTensorData<float>();
    silence_.assign(p, p + size_t(kLegacyFrames) * kFeatureRow);
  }
  return silence_;
}

}  // namespace qo::audio
