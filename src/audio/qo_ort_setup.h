// Session options and session opening shared by the speech frontend and qo_a2x.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qo::audio {

// Session options together with the optimisation level they currently carry (ONNX Runtime has
// no getter for it, and the Gelu fall-back lowers it for good).
struct SessionSetup {
  Ort::SessionOptions options;
  GraphOptimizationLevel level = ORT_ENABLE_ALL;

  void setLevel(GraphOptimizationLevel l);
};

// `threads` intra-op threads, one inter-op thread, no intra-op spinning (idle instances must not
// keep a core busy), all graph optimisations.
std::unique_ptr<SessionSetup> makeSessionSetup(int threads);

// Appends the CUDA provider when QO_A2X_CUDA is "1" (any tag but "w2v" only when QO_A2X_CUDA_ALL
// is "1" as well). A failed append prints the fall-back line and leaves the options on the CPU.
void applyCudaRule(Ort::SessionOptions& options, const char* tag);

// Opens a session; when that fails on a float16 com.microsoft.Gelu produced by level-2 fusion,
// prints the reopen line, lowers `setup` to basic optimisation and opens once more. Any other
// failure propagates.
using SessionOpener = std::function<std::unique_ptr<Ort::Session>(const Ort::SessionOptions&)>;
std::unique_ptr<Ort::Session> openWithGeluFallback(const std::string& path, SessionSetup& setup,
                                                   const SessionOpener& open);
std::unique_ptr<Ort::Session> openWithGeluFallback(Ort::Env& env, const std::string& path, SessionSetup& setup);

// Graph interface helpers.
std::string outputName(const Ort::Session& session, size_t index);
std::vector<int64_t> outputShape(const Ort::Session& session, size_t index);  // -1 for unknown dims
bool hasInput(const Ort::Session& session, const char* name);

// File size in bytes, -1 when it cannot be determined.
long long fileSize(const std::string& path);

}  // namespace qo::audio
