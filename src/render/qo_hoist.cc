// The source-cone hoist: the part of the director that depends only on the source frame runs as
// its own prep graph, once per source frame, on a prep thread that fills a two-slot ring ahead of
// need; the per-frame director reads the boundary tensor from the slot of its frame.
#include <cstdio>
#include <stdexcept>

#include "render/qo_renderer_impl.h"
#include "render/qo_source_cone.h"

namespace qo {

bool Renderer::Impl::tryHoist(const std::vector<uint8_t>& bytes, std::string& reason) {
  std::string boundary;
  const size_t concats = findSourceConeBoundary(bytes, boundary);
  if (concats != 1) {
    reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(concats);
    return false;
  }
  std::vector<uint8_t> prep;
  if (!buildSourceConePrep(bytes, boundary, prep, reason)) return false;
  try {
    Ort::SessionOptions o;
    o.SetIntraOpNumThreads(1);
    o.SetInterOpNumThreads(1);
    o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    o.AddConfigEntry("session.intra_op.allow_spinning", "0");
    o.AddConfigEntry("mlas.disable_kleidiai", "1");
    // The prep graph keeps every initializer of the director, most of them unused here: ORT's
    // warning for each would say nothing about the bundle.
    o.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
    prepSession = std::make_unique<Ort::Session>(env, prep.data(), prep.size(), o);
    const std::vector<int64_t> in = prepSession->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (in.size() != 4 || in[0] != 1)
      throw std::runtime_error("batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]));
    const std::vector<int64_t> out = prepSession->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    int64_t elements = out.size() == 4 ? 1 : 0;
    for (int64_t d : out) elements = d < 0 ? 0 : elements * d;
    if (elements == 0) throw std::runtime_error("boundary shape is not static");
    std::vector<uint8_t> perFrame;
    if (!buildSourceConePerFrame(bytes, boundary, out.data(), out.size(), perFrame, reason)) {
      prepSession.reset();
      return false;
    }
    session = std::make_unique<Ort::Session>(env, perFrame.data(), perFrame.size(), options);
    boundaryName = boundary;
    boundaryDims = out;
    boundaryElements = elements;
  } catch (const std::exception& e) {
    reason = e.what();
    prepSession.reset();
    session.reset();
    return false;
  }
  std::fprintf(stderr,
               "[qo] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched per "
               "SOURCE FRAME on one spare core (%s)\n",
               boundaryName.c_str(), (long long)boundaryDims[0], (long long)boundaryDims[1],
               (long long)boundaryDims[2], (long long)boundaryDims[3], modelKey.c_str());
  return true;
}

void Renderer::Impl::startPrep() {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  // Each slot takes the boundary's own shape, whatever spatial size the cone produces.
  for (int i = 0; i < 2; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->boundary.assign(size_t(boundaryElements), 0.0f);
    slot->value = Ort::Value::CreateTensor<float>(mem, slot->boundary.data(), slot->boundary.size(),
                                                  boundaryDims.data(), boundaryDims.size());
    ring.push_back(std::move(slot));
  }
  const int64_t shape[4] = {batch, 3, crop, crop};
  prepInput = Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), shape, 4);
  prepBinding = std::make_unique<Ort::IoBinding>(*prepSession);
  prepBinding->BindInput("P_rgb", prepInput);
  prepThread = std::thread([this] { prepLoop(); });
}

void Renderer::Impl::runPrepL(int32_t si, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string error;
  try {
    halfToFloat(identity->P(si), prior.data(), size_t(pPerFrame));
    prepBinding->BindOutput(boundaryName.c_str(), ring[size_t(slot)]->value);
    prepSession->Run(Ort::RunOptions(), *prepBinding);
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  }
  lock.lock();
  if (!error.empty()) {
    if (prepError.empty()) prepError = error;  // the first failure is the one worth reading
  } else {
    ring[size_t(slot)]->si = si;
  }
}

void Renderer::Impl::prepLoop() {
  std::unique_lock<std::mutex> lock(ringMutex);
  for (;;) {
    if (stop) return;
    if (requestSi < 0) {
      ringCv.wait(lock);
      continue;
    }
    runPrepL(requestSi, requestSlot, lock);
    requestSi = -1;
    ringCv.notify_all();
  }
}

int Renderer::Impl::acquire(int32_t si) {
  std::unique_lock<std::mutex> lock(ringMutex);
  busySlot = -1;
  for (;;) {
    if (!prepError.empty()) throw std::runtime_error("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 " + prepError);
    for (size_t i = 0; i < ring.size(); ++i)
      if (ring[i]->si == si) return busySlot = int(i);
    if (requestSi < 0) {
      int free = -1;
      for (size_t i = 0; i < ring.size() && free < 0; ++i)
        if (int(i) != busySlot && ring[i]->si != si) free = int(i);  // empty slots hold -1
      if (free < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
      ring[size_t(free)]->si = -1;
      runPrepL(si, free, lock);
      continue;
    }
    ringCv.wait(lock);  // a prefetch is in flight
  }
}

void Renderer::Impl::prefetch(int32_t s) {
  const int32_t p = predictor.next(s, identity ? identity->NT() : 0);
  std::lock_guard<std::mutex> lock(ringMutex);
  if (requestSi >= 0 || !prepError.empty() || ring.empty()) return;
  for (const auto& slot : ring)
    if (slot->si == p) return;
  for (size_t i = 0; i < ring.size(); ++i) {
    if (int(i) == busySlot || ring[i]->si == p) continue;
    ring[i]->si = -1;
    requestSi = p;
    requestSlot = int(i);
    ringCv.notify_one();
    return;
  }
}

}  // namespace qo
