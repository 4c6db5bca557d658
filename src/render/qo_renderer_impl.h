// Private state of qo::Renderer, shared by its construction, graph opener and render path.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_bundle.h"
#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "render/qo_conv.h"
#include "render/qo_source_predictor.h"

namespace qo {

struct Renderer::Impl {
  Impl() : env(ORT_LOGGING_LEVEL_WARNING, "qo") {}
  ~Impl();

  std::string ep;  // the provider finally in use: "cpu", the CoreML string, or "neon"
  Ort::Env env;
  Ort::SessionOptions options{nullptr};
  Ort::RunOptions runOptions;   // hands the arena back after the run
  Ort::RunOptions keepOptions;  // keeps it (a stream between its first and last frame)
  bool holdArena = false, releaseNext = false;
  bool profiling = false;
  double runMsTotal = 0;
  int64_t runCount = 0;

  Manifest manifest;
  Identity* identity = nullptr;
  std::string modelKey, modelPath;
  int threads = 1;
  int32_t batch = 0;
  int32_t crop = 0;
  static constexpr int64_t kPooledPerFrame = 65536;  // 64 x 32 x 32
  static constexpr int64_t kFsRedPerFrame = 262144;  // 64 x 64 x 64
  int64_t pPerFrame = 0;                             // crop x crop x 3
  bool featSynth = false;
  bool lipTemplate = false;  // the bundle carries a lip template
  bool lipBound = false;     // "lip_delivery" is fed (the graph was rewritten to read it)
  std::string directorNote;

  std::vector<float> pooled, prior, fsRed, kpDriving, kpSource, output, lipDelivery;

  // Declared after the buffers they point into and before nothing that outlives them, so
  // tensors and bindings are released first.
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  std::vector<Ort::Value> bound;

  // "neon" mode: the native engine renders; per-frame fp16 sources are handed to it by pointer,
  // P through a staging copy when it comes from a movie (the decoder reuses its buffer).
  std::unique_ptr<ConvBackend> conv;
  std::vector<const uint16_t*> pooledPtrs, pPtrs;
  std::vector<uint16_t> pStaging;

  // ---- source-cone hoist: the cone runs per source frame on the prep thread ----
  struct Slot {
    int32_t si = -1;  // -1: empty, being filled, or a failed fill
    std::vector<float> boundary;
    Ort::Value value{nullptr};
  };
  std::unique_ptr<Ort::Session> prepSession;
  std::unique_ptr<Ort::IoBinding> prepBinding;
  Ort::Value prepInput{nullptr};
  std::string boundaryName;
  std::vector<int64_t> boundaryDims;
  int64_t boundaryElements = 0;
  std::vector<std::unique_ptr<Slot>> ring;
  std::thread prepThread;
  std::mutex ringMutex;  // guards everything below and the slots' si
  std::condition_variable ringCv;
  int32_t requestSi = -1, requestSlot = -1, busySlot = -1;
  bool stop = false;
  std::string prepError;
  SourcePredictor predictor;

  // Opens the director graph for `ep` (may run twice: CoreML falls back to the CPU provider).
  void openDirector(const std::string& ep);
  // Discovers the interface, enforces the contracts and binds every tensor once.
  void bindDirector();
  void runDirector();

  // Hoist: the graph opener's decision, the ring and its thread, and the per-frame calls.
  bool tryHoist(const std::vector<uint8_t>& bytes, std::string& reason);
  void startPrep();
  int acquire(int32_t si);
  void runPrepL(int32_t si, int slot, std::unique_lock<std::mutex>& lock);
  void prefetch(int32_t si);
  void prepLoop();
};

// "" when ep is acceptable to the graph opener, else the refusal text.
std::string refuseEp(const std::string& ep);
bool isCoreml(const std::string& ep);

}  // namespace qo
