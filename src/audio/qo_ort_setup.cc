#include "audio/qo_ort_setup.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_map>

namespace qo::audio {
namespace {

bool envIs(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

size_t cudaMemoryMiB() {
  const char* v = std::getenv("QO_A2X_CUDA_MEM_MIB");
  if (v && *v) {
    char* end = nullptr;
    const long long mib = std::strtoll(v, &end, 10);
    if (end != v && mib > 0) return size_t(mib);
  }
  return 3072;
}

}  // namespace

void SessionSetup::setLevel(GraphOptimizationLevel l) {
  options.SetGraphOptimizationLevel(l);
  level = l;
}

std::unique_ptr<SessionSetup> makeSessionSetup(int threads) {
  auto s = std::make_unique<SessionSetup>();
  s->options.SetIntraOpNumThreads(threads);
  s->options.SetInterOpNumThreads(1);
  s->options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  s->setLevel(ORT_ENABLE_ALL);
  return s;
}

void applyCudaRule(Ort::SessionOptions& options, const char* tag) {
  if (!envIs("QO_A2X_CUDA", "1")) return;
  if (std::strcmp(tag, "w2v") != 0 && !envIs("QO_A2X_CUDA_ALL", "1")) return;
  const size_t mib = cudaMemoryMiB();
  try {
    Ort::CUDAProviderOptions cuda;
    const std::unordered_map<std::string, std::string> keys = {
        {"device_id", "0"},
        {"arena_extend_strategy", "kSameAsRequested"},
        {"gpu_mem_limit", std::to_string(uint64_t(mib) * 1024u * 1024u)},
        {"cudnn_conv_use_max_workspace", "0"},
        {"use_tf32", "0"},
    };
    cuda.Update(keys);
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    std::fprintf(stderr, "[qo_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[qo_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

std::unique_ptr<Ort::Session> openWithGeluFallback(const std::string& path, SessionSetup& setup,
                                                   const SessionOpener& open) {
  try {
    return open(setup.options);
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (what.find("Gelu") == std::string::npos || what.find("float16") == std::string::npos) throw;
  }
  std::fprintf(stderr,
               "[qo_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no CPU "
               "kernel for; reopening at ORT_ENABLE_BASIC\n",
               path.c_str());
  setup.setLevel(ORT_ENABLE_BASIC);
  return open(setup.options);
}

std::unique_ptr<Ort::Session> openWithGeluFallback(Ort::Env& env, const std::string& path, SessionSetup& setup) {
  return openWithGeluFallback(path, setup, [&](const Ort::SessionOptions& o) {
    return std::make_unique<Ort::Session>(env, path.c_str(), o);
  });
}

std::string outputName(const Ort::Session& session, size_t index) {
  Ort::AllocatorWithDefaultOptions alloc;
  return session.GetOutputNameAllocated(index, alloc).get();
}

std::vector<int64_t> outputShape(const Ort::Session& session, size_t index) {
  const Ort::TypeInfo info = session.GetOutputTypeInfo(index);
  if (info.GetONNXType() != ONNX_TYPE_TENSOR) return {};
  return info.GetTensorTypeAndShapeInfo().GetShape();
}

bool hasInput(const Ort::Session& session, const char* name) {
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < session.GetInputCount(); ++i)
    if (std::strcmp(session.GetInputNameAllocated(i, alloc).get(), name) == 0) return true;
  return false;
}

long long fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

}  // namespace qo::audio
