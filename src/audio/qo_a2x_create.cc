// Building a qo_a2x instance: meta file, tables, shared frontend, encoder and decoder, and the
// silence-primed decoder state.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "audio/qo_a2x_impl.h"
#include "audio/qo_a2x_meta.h"
#include "qo/qo_bundle.h"
#include "qo/qo_pool.h"

namespace qo::audio {
namespace {

// $QO_A2X_W2V_RIGHT: frames of audio the frontend needs past a frame (negative: 0), default 12.
int frontendRight() {
  const char* v = std::getenv("QO_A2X_W2V_RIGHT");
  if (!v) return 12;
  char* end = nullptr;
  const long long r = std::strtoll(v, &end, 10);
  if (end == v) return 12;
  return int(std::clamp<long long>(r, 0, 1 << 20));
}

// $QO_A2X_SILENCE_PRIME when set, else the meta's "silence_prime".
int64_t primeFrames(const A2xMeta& meta) {
  const char* v = std::getenv("QO_A2X_SILENCE_PRIME");
  return v ? std::strtoll(v, nullptr, 10) : meta.silencePrime;
}

void requireInt32(int64_t v, const char* what) {
  if (v > INT32_MAX) throw std::runtime_error(std::string("a2x_meta.json ") + what + " = " + std::to_string(v) + " is too large");
}

}  // namespace

A2x::A2x(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
A2x::~A2x() = default;

std::unique_ptr<A2x> A2x::create(const std::string& bundle, int threads, SpeechFrontend& frontend) {
  auto s = std::make_unique<Impl>(frontend);
  const int nthreads = threads > 0 && threads < pool::threads() ? threads : pool::threads();
  s->env = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "qo_a2x");
  s->setup = makeSessionSetup(nthreads);
  applyCudaRule(s->setup->options, "enc/dec");

  static std::once_flag cadenceOnce;
  std::call_once(cadenceOnce, [&] {
    std::fprintf(stderr, "[qo_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, threads=%d\n",
                 kBlockFrames * 40, kBlockFrames, nthreads);  // 40 ms per frame
  });

  const std::string dir = resolveBundlePath(bundle);
  const std::string metaText = readMetaText(dir + "/a2x_meta.json");
  if (metaText.empty()) throw std::runtime_error("a2x_meta.json missing in " + dir);
  const A2xMeta meta = parseA2xMeta(metaText);
  if (meta.window < 0 || meta.left < 0) throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  // h divides the positional table and sizes every context row; layers multiplies the
  // look-back: both must be positive or the chunk arithmetic reads outside its buffers.
  if (meta.h < 1)
    throw std::runtime_error("a2x_meta.json \"h\" is " + std::to_string(meta.h) +
                             ": the context width must be at least 1");
  if (meta.layers < 1)
    throw std::runtime_error("a2x_meta.json \"layers\" is " + std::to_string(meta.layers) +
                             ": the encoder must have at least 1 layer");
  requireInt32(meta.h, "\"h\"");
  requireInt32(meta.window, "\"window\"");
  requireInt32(meta.left, "\"left\"");
  requireInt32(meta.layers, "\"layers\"");
  requireInt32(meta.window * meta.layers, "\"window\" x \"layers\"");
  requireInt32(meta.left * meta.layers, "\"left\" x \"layers\"");
  s->h = int(meta.h);
  s->window = int(meta.window);
  s->left = int(meta.left);
  s->leftTotal = int(meta.left * meta.layers);
  s->aheadTotal = int(meta.window * meta.layers);
  s->right = frontendRight();

  std::vector<float> pos = readFloatFile(dir + "/a2x_pos.f32");
  std::vector<float> norm = readFloatFile(dir + "/a2x_norm.f32");
  s->target = readFloatFile(resolveMember(dir, "xs_target.bin"));
  if (int64_t(pos.size()) < 2 * meta.h || norm.size() < 126 || s->target.empty())
    throw std::runtime_error("pos/norm/xs_target read failed");
  if (s->target.size() < size_t(kKp))
    throw std::runtime_error("xs_target.bin holds " + std::to_string(s->target.size()) +
                             " floats, fewer than one keypoint set of 63");
  if (pos.size() / size_t(s->h) > size_t(INT32_MAX) || s->target.size() / kKp > size_t(INT32_MAX))
    throw std::runtime_error("a2x_pos.f32 or xs_target.bin is too large");
  s->NT = int(s->target.size() / kKp);
  s->pos.h = s->h;
  s->pos.npos = int(pos.size() / size_t(s->h));
  s->pos.rows = std::move(pos);
  s->mean.assign(norm.begin(), norm.begin() + kKp);
  s->std.assign(norm.begin() + kKp, norm.begin() + 2 * kKp);

  const char* w2vPath = std::getenv("W2V_ONNX");
  if (!w2vPath || !*w2vPath) throw std::runtime_error("$W2V_ONNX not set");
  s->w2v = frontend.legacySession(w2vPath, nthreads);
  if (!s->w2v) throw std::runtime_error("shared w2v load failed");
  if (frontend.tryShortWindow(nthreads, w2vPath)) {
    s->shortWindow = true;
    s->blockRight = s->right;
    s->right = s->right + kBlockFrames;
  }
  s->features = std::make_unique<FeatureStream>(frontend, s->shortWindow, s->right, s->blockRight);

  s->enc = std::make_unique<StreamEncoder>(*s->env, resolveMember(dir, "a2x_enc_stream.onnx"), s->setup->options, s->h);
  s->hasWn = s->enc->hasWn();
  if ((meta.width != 0) != s->hasWn)
    std::fprintf(stderr,
                 "[qo_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) — serving the GRAPH "
                 "(width=%d). Repackage this bundle.\n",
                 int(meta.width), s->enc->outputCount(), int(s->hasWn));
  s->dec = std::make_unique<StepDecoder>(*s->env, resolveMember(dir, "a2x_dec.onnx"), s->setup->options, s->h);

  const int64_t prime = primeFrames(meta);
  if (prime > 0) s->primeWithSilence(int(std::min<int64_t>(prime, kLegacyFrames)));
  s->resetUtterance(0, 1, 1);
  return std::unique_ptr<A2x>(new A2x(std::move(s)));
}

void A2x::Impl::primeWithSilence(int frames) {
  if (frames < 1) return;
  try {
    const std::vector<float>& silence = frontend.silenceFeatures();
    const int k = std::min(frames, kLegacyFrames);
    std::vector<float> rows(size_t(k) * kFeatureRow);
    for (int j = 0; j < k; ++j) legacyFrameRow(silence.data(), j, &rows[size_t(j) * kFeatureRow]);
    std::vector<float> context(size_t(k) * h);
    enc->run(rows.data(), 0, k, 0, k, pos, window, left, context.data(), nullptr);
    std::vector<float> p(kKp, 0.0f), state(size_t(h), 0.0f);
    for (int t = 0; t < k; ++t) dec->step(&context[size_t(t) * h], p.data(), state.data(), p.data());
    primedPrev = std::move(p);
    primedHidden = std::move(state);
    std::fprintf(stderr, "[qo_a2x] silence-primed AR state cached (%d frames)\n", k);
  } catch (const std::exception& e) {
    primedPrev.clear();
    primedHidden.clear();
    std::fprintf(stderr, "[qo_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

}  // namespace qo::audio
