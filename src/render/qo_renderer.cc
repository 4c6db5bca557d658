// qo::Renderer construction and the render path over ONNX Runtime.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/qo_fs.h"
#include "bundle/qo_manifest.h"
#include "compute/qo_pool.h"
#include "render/qo_conv.h"
#include "render/qo_renderer_impl.h"

namespace qo {
namespace {

std::vector<int64_t> inputShape(const Ort::Session& s, size_t i) {
  return s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
}

std::string keypointContractRefusal(const std::string& path, const std::string& input, int64_t rows) {
  std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " \xE2\x80\x94 the graph declares " + input +
                    " with " + std::to_string(rows) + " keypoint rows, and this renderer feeds " +
                    std::to_string(kHostKpRows) + " (qo::kHostKpRows, qo/qo.h). ";
  if (rows == 22)
    msg += "That is the recipe_v4 / kd_v4 shape: row " + std::to_string(kHostKpRows) +
           " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has no width feed "
           "(see qo_a2x_width / qo_a2x_pull_wn in qo/qo_a2x.h, which nothing on this path calls yet), so it cannot "
           "drive this director. ";
  return msg +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
         "host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to prevent "
         "it.";
}

}  // namespace

std::string coremlCacheDir(const std::string& bundleDir) {
  const char* v = OrtGetApiBase()->GetVersionString();
  return bundleDir + "/.coreml_cache/ort" + (v && *v ? v : "unknown");
}

Renderer::Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
                   const std::string& epArg)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.manifest = manifest;
  m.identity = &identity;
  m.modelKey = modelKey;
  m.modelPath = manifest.modelPath(modelKey);
  m.crop = manifest.crop;
  m.pPerFrame = int64_t(m.crop) * m.crop * 3;
  m.threads = threads < 1 ? pool::threads() : threads;

  std::string ep = epArg;
  const char* backendEnv = std::getenv("QO_CONV_BACKEND");
  const bool neon = ep == "neon" || (ep.empty() && backendEnv && std::strcmp(backendEnv, "neon") == 0);
  if (neon) {
    if (!ConvBackend::available()) {
      std::fprintf(stderr, "[qo] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
      ep = "";
    } else if (!ConvBackend::graphSupported(m.modelPath)) {
      std::fprintf(stderr,
                   "[qo] NEON backend refused: %s is not the fused m4b graph (golden/unified director?); using ORT\n",
                   modelKey.c_str());
      ep = "";
    } else {
      if (m.crop != 512) throw std::runtime_error("qo_conv: only crop=512 m4b bundles");
      m.conv = ConvBackend::create(m.modelPath, m.threads);
      m.ep = "neon";
      m.batch = m.conv->batch();
      m.output.assign(size_t(m.batch) * 3 * size_t(m.crop) * size_t(m.crop), 0.0f);
      m.pooledPtrs.assign(size_t(m.batch), nullptr);
      m.pPtrs.assign(size_t(m.batch), nullptr);
      std::fprintf(stderr, "[qo] director ep=neon (native fp16 conv engine, %d threads)\n", m.threads);
      return;
    }
  }
  // An unusable provider is refused before any bundle file is read.
  if (const std::string refusal = refuseEp(ep); !refusal.empty()) throw std::runtime_error(refusal);

  m.runOptions.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  // A missing template is not an error: the graph opener reports the ellipse it keeps.
  if (const std::string path = resolveMember(manifest.dir, "lip_template.v1.json"); fs::canRead(path))
    m.lipContour = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(readText(path), m.crop));

  try {
    m.openDirector(ep);
  } catch (const std::exception& e) {
    if (!isCoreml(ep)) throw;
    std::fprintf(stderr, "[qo] CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP\n", e.what());
    m.session.reset();
    ep = "";
    m.openDirector(ep);
  }
  m.bindDirector();

  m.ep = ep.empty() ? "cpu" : ep;
  std::fprintf(stderr, "[qo] director ep=%s (%s)\n", m.ep.c_str(),
               isCoreml(ep) ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph"
                            : "ORT CPU EP");
}

void Renderer::Impl::bindDirector() {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t inputs = session->GetInputCount();
  std::vector<std::string> names;
  for (size_t i = 0; i < inputs; ++i) names.push_back(session->GetInputNameAllocated(i, alloc).get());
  auto find = [&](const std::string& n) -> int {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == n) return int(i);
    return -1;
  };
  featSynth = find("fs_red") >= 0;
  const std::string pooledName = featSynth ? "pooled" : "pooled64";
  batch = 0;
  if (int i = find(pooledName); i >= 0) {
    const std::vector<int64_t> shape = inputShape(*session, size_t(i));
    if (shape.size() == 4 && shape[0] >= 1) batch = int32_t(shape[0]);
  }
  if (batch < 1) throw std::runtime_error(pooledName + " input not found / bad shape");

  const std::string kdName = featSynth ? "kd" : "kp_driving", ksName = featSynth ? "ks" : "kp_source";
  for (const std::string& kp : {kdName, ksName}) {
    if (int i = find(kp); i >= 0) {
      const std::vector<int64_t> shape = inputShape(*session, size_t(i));
      if (shape.size() == 3 && shape[1] >= 1 && shape[1] != kHostKpRows)
        throw std::runtime_error(keypointContractRefusal(modelPath, kp, shape[1]));
    }
  }

  const size_t b = size_t(batch), c = size_t(crop);
  pooled.assign(b * kPooledPerFrame, 0.0f);
  kpDriving.assign(b * 63, 0.0f);
  kpSource.assign(b * 63, 0.0f);
  output.assign(b * 3 * c * c, 0.0f);
  if (featSynth) fsRed.assign(b * kFsRedPerFrame, 0.0f);
  else prior.assign(b * size_t(pPerFrame), 0.0f);

  if (featSynth) {
    if (!identity->hasFsRed()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
  } else if (!identity->hasMappedPrior() && identity->hevcPath().empty()) {
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
        "P_hevc.mov to play in place is present, so qo::Identity mapped NOTHING and Identity::P(si) would be an "
        "offset from a null pointer \xE2\x80\x94 a SEGFAULT on the first frame, not a refusal. REFUSING to create a "
        "session.");
  }

  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  binding = std::make_unique<Ort::IoBinding>(*session);
  const int64_t B = batch, C = crop;
  auto bindIn = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape) {
    bound.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    binding->BindInput(name, bound.back());
  };
  bound.reserve(7);
  if (featSynth) {
    bindIn("fs_red", fsRed, {B, 64, 64, 64});
    bindIn("pooled", pooled, {B, 64, 32, 32});
    bindIn("kd", kpDriving, {B, kHostKpRows, 3});
    bindIn("ks", kpSource, {B, kHostKpRows, 3});
  } else {
    bindIn("pooled64", pooled, {B, 64, 32, 32});
    // Hoisted, "P_rgb" feeds the prep graph; the director reads a ring slot's boundary instead.
    if (prepSession) startPrep();
    else bindIn("P_rgb", prior, {B, 3, C, C});
    bindIn("kp_driving", kpDriving, {B, kHostKpRows, 3});
    bindIn("kp_source", kpSource, {B, kHostKpRows, 3});
    if (lipBound) {
      lipDelivery.assign(b * c * c, 1.0f);
      bindIn("lip_delivery", lipDelivery, {B, 1, C, C});
    }
  }
  const int64_t outShape[4] = {B, 3, C, C};
  bound.push_back(Ort::Value::CreateTensor<float>(mem, output.data(), output.size(), outShape, 4));
  binding->BindOutput("rgb", bound.back());
}

void Renderer::Impl::runDirector() {
  const auto t0 = std::chrono::steady_clock::now();
  session->Run(holdArena && !releaseNext ? keepOptions : runOptions, *binding);
  releaseNext = false;
  runMsTotal += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runCount;
}

const float* Renderer::render(const int32_t* si, const float* kpSource, const float* kpDriving, int n) {
  Impl& m = *impl_;
  if (n < 1 || n > m.batch) throw std::runtime_error("render: bad n");
  const int nt = m.identity->NT();
  for (int j = 0; j < n; ++j)
    if (si[j] < 0 || si[j] >= nt)
      throw std::runtime_error("render: source frame " + std::to_string(si[j]) + " outside [0," + std::to_string(nt) +
                               ")");

  const size_t pooledN = size_t(Impl::kPooledPerFrame);
  if (m.conv) {
    const bool staged = !m.identity->hasMappedPrior() && !m.identity->hevcPath().empty();
    if (staged) m.pStaging.resize(size_t(n) * size_t(m.pPerFrame));
    for (int j = 0; j < n; ++j) {
      m.pooledPtrs[size_t(j)] = m.identity->pooled64(si[j]);
      const uint16_t* p = m.identity->P(si[j]);
      if (staged && p) {
        uint16_t* slot = m.pStaging.data() + size_t(j) * size_t(m.pPerFrame);
        std::memcpy(slot, p, size_t(m.pPerFrame) * sizeof(uint16_t));
        p = slot;
      }
      m.pPtrs[size_t(j)] = p;
    }
    m.conv->render(m.pooledPtrs.data(), m.pPtrs.data(), kpSource, kpDriving, n, m.output.data());
    return m.output.data();
  }
  if (m.prepSession) {  // the hoist requires batch 1: exactly one frame
    const int slot = m.acquire(si[0]);
    m.binding->BindInput(m.boundaryName.c_str(), m.ring[size_t(slot)]->value);
    halfToFloat(m.identity->pooled64(si[0]), m.pooled.data(), pooledN);
    std::memcpy(m.kpSource.data(), kpSource, 63 * sizeof(float));
    std::memcpy(m.kpDriving.data(), kpDriving, 63 * sizeof(float));
    if (m.lipBound) m.lipContour->contourF32Canvas(kpDriving, m.lipDelivery.data());
    m.prefetch(si[0]);
    m.runDirector();
    return m.output.data();
  }
  const size_t priorN = m.featSynth ? size_t(Impl::kFsRedPerFrame) : size_t(m.pPerFrame);
  float* priorBuf = m.featSynth ? m.fsRed.data() : m.prior.data();
  const size_t lipN = size_t(m.crop) * size_t(m.crop);
  for (int j = 0; j < m.batch; ++j) {
    const size_t src = size_t(j < n ? j : n - 1);
    float* pooledSlot = m.pooled.data() + size_t(j) * pooledN;
    float* priorSlot = priorBuf + size_t(j) * priorN;
    if (j < n) {
      halfToFloat(m.identity->pooled64(si[j]), pooledSlot, pooledN);
      halfToFloat(m.featSynth ? m.identity->fsRed(si[j]) : m.identity->P(si[j]), priorSlot, priorN);
    } else {  // filler slots repeat the last real frame
      std::memcpy(pooledSlot, m.pooled.data() + src * pooledN, pooledN * sizeof(float));
      std::memcpy(priorSlot, priorBuf + src * priorN, priorN * sizeof(float));
    }
    std::memcpy(m.kpSource.data() + size_t(j) * 63, kpSource + src * 63, 63 * sizeof(float));
    std::memcpy(m.kpDriving.data() + size_t(j) * 63, kpDriving + src * 63, 63 * sizeof(float));
    if (m.lipBound) {
      float* lip = m.lipDelivery.data() + size_t(j) * lipN;
      if (j < n) m.lipContour->contourF32Canvas(kpDriving + src * 63, lip);
      else std::memcpy(lip, m.lipDelivery.data() + src * lipN, lipN * sizeof(float));
    }
  }
  m.runDirector();
  return m.output.data();
}

Renderer::Impl::~Impl() {
  if (runCount > 0)
    std::fprintf(stderr,
                 "[qo-director-ort] %ld frames: %.2f ms/frame in Session::Run (the director this plane serves today; "
                 "its Adreno counterpart prints the same line)\n",
                 long(runCount), runMsTotal / double(runCount));
  if (prepThread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(ringMutex);
      stop = true;
    }
    ringCv.notify_all();
    prepThread.join();  // a prep run in flight ends first: the thread checks stop after it
  }
  if (profiling && session) {
    try {
      Ort::AllocatorWithDefaultOptions alloc;
      Ort::AllocatedStringPtr file = session->EndProfilingAllocated(alloc);
      std::fprintf(stderr, "[qo_ort_profile] %s\n", file.get());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[qo_ort_profile] FAILED: %s\n", e.what());
    }
  }
}

Renderer::~Renderer() = default;

void Renderer::holdArenaBetweenRuns(bool hold) { impl_->holdArena = hold; }
void Renderer::releaseArenaAfterNextRun() { impl_->releaseNext = true; }

int Renderer::batch() const { return impl_->batch; }
const char* Renderer::ep() const { return impl_->ep.c_str(); }
const char* Renderer::backend() const { return impl_->conv ? "neon" : "ort"; }
const char* Renderer::directorNote() const { return impl_->directorNote.c_str(); }

}  // namespace qo
