// Opening the director graph: session options, execution provider, and the load-time handling
// of the graph bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "render/int8conv_vnni.h"
#include "render/qo_custom_ops.h"
#include "render/qo_graph_rewrites.h"
#include "render/qo_source_cone.h"
#include "render/qo_renderer_impl.h"

namespace qo {
namespace {

bool envStartsWith(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

std::vector<uint8_t> readGraph(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("Renderer: cannot open " + path);
  const std::streamsize size = in.tellg();
  std::vector<uint8_t> bytes(size > 0 ? size_t(size) : 0);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

const char* computeUnits(const std::string& units) {
  if (units == "cpu") return "CPUOnly";
  if (units == "gpu") return "CPUAndGPU";
  if (units == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

}  // namespace

bool isCoreml(const std::string& ep) { return ep.rfind("coreml", 0) == 0; }

std::string refuseEp(const std::string& ep) {
  if (ep.empty() || isCoreml(ep)) return "";
  if (ep.rfind("xnnpack", 0) == 0)
    return "Renderer: ep '" + ep +
           "' is REFUSED. This renderer rewrites its graph to Corvanta custom-domain nodes "
           "(com.corvanta::GridSampleFast, and com.corvanta::WarpDirector wherever QO_WARP_NODE is on), and ORT's "
           "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them \xE2\x80\x94 measured "
           "2026-09-15 on a published ostrel2-android AAR, null deref inside libonnxruntime.so at session create, on "
           "both a door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so it "
           "cannot be caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on "
           "the same bytes.";
  return "Renderer: unknown ep '" + ep + "'";
}

void Renderer::Impl::openDirector(const std::string& ep) {
  session.reset();
  prepSession.reset();
  boundaryName.clear();
  boundaryElements = 0;
  options = Ort::SessionOptions();
  options.SetIntraOpNumThreads(threads);
  options.SetInterOpNumThreads(1);
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  if (!envStartsWith("QO_ORT_SPIN", '1')) options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  options.AddConfigEntry("mlas.disable_kleidiai", "1");
  if (const char* prefix = std::getenv("QO_ORT_PROFILE"); prefix && *prefix) {
    options.EnableProfiling(prefix);
    profiling = true;
  }

  const std::string refusal = refuseEp(ep);
  if (!refusal.empty()) throw std::runtime_error(refusal);
  const bool coreml = isCoreml(ep);
  if (coreml) {
    const std::string units = ep.size() >= 8 ? ep.substr(7) : "all";
    options.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                               {"MLComputeUnits", computeUnits(units)},
                                               {"ModelCacheDirectory", coremlCacheDir(manifest.dir)}});
  }

  bool gsRewrite = false;
  if (envStartsWith("QO_GS_FAST", '0')) {
    bool baked = false;
    try {
      baked = graphHasBakedGridSampleFast(readGraph(modelPath));
    } catch (const std::exception&) {
    }
    if (baked)
      throw std::runtime_error(
          "Renderer: QO_GS_FAST=0 (or CORVANTA_OSTREL2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " +
          modelPath +
          " has com.corvanta::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so "
          "there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a "
          "registered function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact itself "
          "is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
          "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.");
    registerInt8ConvVNNI(options);  // quantised convolutions still need their kernel
  } else {
    gsRewrite = !envStartsWith("QO_GS_REWRITE", '0');
    if (!gsRewrite && !coreml)
      std::fprintf(stderr,
                   "[qo] QO_GS_REWRITE=0: load-time std GridSample -> com.corvanta::GridSampleFast rewrite DISABLED "
                   "(%s); the custom op is still registered, so a baked bundle loads and runs its baked kernel. A "
                   "standard bundle now runs ORT's own GridSample.\n",
                   modelKey.c_str());
    registerGridSampleFast(options);  // the one domain carries WarpDirector too; adding it twice fails
    registerInt8ConvVNNI(options);
  }

  // The bytes are read even when nothing rewrites them: a missing or short member is refused
  // here, with its path, rather than inside ORT.
  std::vector<uint8_t> bytes = readGraph(modelPath);

  const char* warpEnv = std::getenv("QO_WARP_NODE");
  const bool warpOn = warpEnv && *warpEnv && *warpEnv != '0';
  size_t warpRemoved = 0;
  if (warpOn && !coreml) {
    std::string reason;
    // Without the custom domain the node would have no kernel: the session could not open.
    if (envStartsWith("QO_GS_FAST", '0')) reason = "QO_GS_FAST=0 registers no com.corvanta kernel to run it";
    else warpRemoved = rewriteWarpBlockToCustomOp(bytes, reason);
    if (warpRemoved)
      std::fprintf(stderr, "[qo] director warp -> com.corvanta::WarpDirector (%zu nodes removed, the source cone with them)\n",
                   warpRemoved);
    else
      std::fprintf(stderr,
                   "[qo] director warp NOT moved to one node (%s) \xE2\x80\x94 the graph loads exactly as it did before\n",
                   reason.empty() ? "no reason given" : reason.c_str());
  }

  // On CoreML the standard GridSample stays in the graph.
  const size_t gridSamples = !coreml && gsRewrite ? rewriteGridSampleToFast(bytes) : 0;
  const size_t blends = normaliseStudentBlend(bytes);
  const size_t heads = rewriteHeadCubicResize(bytes);

  if (lipTemplate)
    std::fprintf(stderr,
                 "[qo] !!! lip contour NOT bound to the compose alpha (%s): %s \xE2\x80\x94 this session serves the "
                 "graph's own ELLIPSE\n",
                 modelKey.c_str(), "this build has no lip-contour rasteriser");
  else
    std::fprintf(stderr,
                 "[qo] !!! compose alpha: ELLIPSE (%s) \xE2\x80\x94 this bundle carries no %s, so the director generates "
                 "the over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/ostrel-2/tools/carry_lip_template_fleet\n",
                 modelKey.c_str(), "lip_template.v1.json");
  lipBound = false;

  // Rewritten graphs keep initializers no node reads any more (the Resize's scales, the hoisted
  // cone's weights); ORT's warning for each says nothing about the bundle.
  const bool rewritten = warpRemoved || gridSamples || blends || heads || lipBound;
  bool hoisted = false;
  const std::string units = ep.size() >= 8 ? ep.substr(7) : "all";
  if (coreml && (units == "all" || units == "gpu")) {
    std::fprintf(stderr,
                 "[qo] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU and "
                 "the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) "
                 "\xE2\x80\x94 the cone stays in the graph\n",
                 modelKey.c_str(), units.c_str());
  } else if (warpRemoved) {
    std::fprintf(stderr,
                 "[qo] source-cone hoist SKIPPED (%s): the warp node subsumes the cone \xE2\x80\x94 there is nothing "
                 "left to hoist\n",
                 modelKey.c_str());
  } else if ((identity->hasMappedPrior() || !identity->hevcPath().empty()) && !bytes.empty()) {
    std::string reason;
    options.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
    hoisted = tryHoist(bytes, reason);
    if (!hoisted)
      std::fprintf(stderr, "[qo] source-cone hoist NOT applied (%s): %s\n", modelKey.c_str(), reason.c_str());
  }

  if (gridSamples)
    std::fprintf(stderr, "[qo] std GridSample -> com.corvanta::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 gridSamples, modelKey.c_str());
  if (blends)
    std::fprintf(stderr,
                 "[qo] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) \xE2\x80\x94 a "
                 "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit "
                 "that includes the GPU\n",
                 blends, modelKey.c_str());
  if (heads)
    std::fprintf(stderr,
                 "[qo] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
                 "(%s) \xE2\x80\x94 the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every "
                 "CPU-class EP and no CoreML/NNAPI EP can claim it\n",
                 heads, modelKey.c_str());

  // The hoist opened the per-frame graph; untouched bytes are left to ORT to read from the file.
  if (hoisted) return;
  options.SetLogSeverityLevel(rewritten ? ORT_LOGGING_LEVEL_ERROR : ORT_LOGGING_LEVEL_WARNING);
  if (rewritten)
    session = std::make_unique<Ort::Session>(env, bytes.data(), bytes.size(), options);
  else
    session = std::make_unique<Ort::Session>(env, modelPath.c_str(), options);
}

}  // namespace qo
