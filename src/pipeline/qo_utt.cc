// Utterance instance: configuration, lifecycle, model loading and dispatch, host-side calls.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/qo_raw.h"
#include "pipeline/qo_utt_impl.h"
#include "qo/qo_bundle.h"

namespace qo::utt {

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Config Config::from(const qo_ctx& ctx, const qo_utt_opts& opts) {
  Config c;
  if (!opts.motion_dir || !*opts.motion_dir) throw std::runtime_error("opts.motion_dir required");
  c.motionDir = opts.motion_dir;
  c.threads = opts.threads >= 1 ? opts.threads : ctx.threads;
  c.motionEp = opts.motion_ep ? opts.motion_ep : "";
  if (opts.steady_model && *opts.steady_model) c.steadyModel = opts.steady_model;
  if (const char* env = std::getenv("QO_STEADY_MODEL")) c.steadyModel = env;
  c.eager = opts.eager >= 1 ? opts.eager : -1;
  const char* hybrid = std::getenv("QO_UTT_HYBRID");
  c.hybrid = opts.eager == -2 || (opts.eager < 1 && hybrid && *hybrid && std::strcmp(hybrid, "0") != 0);
  c.silenceMs = opts.silence_s == 0 ? 600.0 : opts.silence_s < 0 ? -1.0 : opts.silence_s * 1000.0;
  c.rampEnd = opts.ramp_end >= 1 ? opts.ramp_end : 6;
  c.rampInterrupt = opts.ramp_interrupt >= 1 ? opts.ramp_interrupt : 4;
  c.isA2x = holdsA2x(c.motionDir);
  c.pipelinePaste = c.isA2x;
  if (const char* env = std::getenv("QO_UTT_PIPELINE_PASTE")) c.pipelinePaste = std::strtol(env, nullptr, 10) != 0;
  return c;
}

namespace {

std::vector<float> readTarget(const std::string& dir, int nt) {
  try {
    const std::string path = resolveMember(dir, "xs_target.bin");
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    std::fseek(f, 0, SEEK_END);
    const long bytes = std::ftell(f);
    std::fclose(f);
    if (bytes != long(nt) * 63 * 4) return {};  // ramps need exactly one row per driver frame
    return readRaw<float>(path, uint64_t(nt) * 63);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

Utterance::Utterance(qo_ctx* ctx, const qo_utt_opts& opts)
    : ctx_(ctx),
      cfg_(Config::from(*ctx, opts)),
      target_(readTarget(cfg_.motionDir, ctx->manifest.NT)),
      nt_(ctx->manifest.NT),
      frameBytes_(size_t(ctx->manifest.W) * size_t(ctx->manifest.H) * 3),
      cropFloats_(size_t(ctx->manifest.crop) * size_t(ctx->manifest.crop) * 3) {
  mail_.rows.resize(kBatch);
  mail_.base.resize(size_t(kBatch) * 63);
  mail_.kp.resize(size_t(kBatch) * 63);
  batchRows_.resize(kBatch);
  batchBase_.resize(size_t(kBatch) * 63);
  batchKp_.resize(size_t(kBatch) * 63);
  for (FrameSlot& s : ring_) s.pixels.resize(frameBytes_);
  runThread_ = std::thread([this] { run(); });
  warmThread_ = std::thread([this] { warm(); });
  dispatchThread_ = std::thread([this] { dispatchLoop(); });
  if (cfg_.pipelinePaste) pasteThread_ = std::thread([this] { pasteLoop(); });
}

Utterance::~Utterance() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    pasteStop_ = true;
    tessStop_ = true;
  }
  cvMain_.notify_all();
  cvTess_.notify_all();
  cvPaste_.notify_all();
  if (tessThread_.joinable()) tessThread_.join();
  if (pasteThread_.joinable()) pasteThread_.join();
  runThread_.join();
  warmThread_.join();
  {
    std::lock_guard<std::mutex> lock(mail_.mu);
    mail_.stop = true;
  }
  mail_.cv.notify_all();
  dispatchThread_.join();
  // The context's renderer goes back to handing its arena back after every run.
  if (ctx_->renderer) ctx_->renderer->holdArenaBetweenRuns(false);
  motion_.reset();
  if (std::getenv("QO_UTT_STAGE_REPORT")) printStageReport();
}

void Utterance::warm() {
  std::string error;
  std::unique_ptr<MotionModel> model = loadMotionModel(cfg_.motionDir, cfg_.isA2x, cfg_.threads, cfg_.motionEp, &error);
  if (model && model->nt() != nt_) {
    // Rows past the identity's source frames would index its tables out of bounds.
    error = "qo_utt: the motion model's target table has " + std::to_string(model->nt()) +
            " rows but the bundle's identity has NT=" + std::to_string(nt_) +
            " source frames \xE2\x80\x94 refusing a model whose rows are not this bundle's driver frames";
    model.reset();
  }
  if (!model) {
    std::lock_guard<std::mutex> lock(mu_);
    loadFailed_ = true;
    loadError_ = error;
    cvMain_.notify_all();
    return;
  }
  model->setEager(cfg_.hybrid ? 3 : cfg_.eager);

  std::unique_ptr<Renderer> chunk;
  if (cfg_.steadyModel != "-") {
    try {
      chunk = std::make_unique<Renderer>(ctx_->manifest, ctx_->identity, cfg_.steadyModel, ctx_->threads, ctx_->ep);
    } catch (const std::exception&) {
      chunk.reset();
    }
    if (chunk && std::strncmp(ctx_->renderer->ep(), "coreml-native", 13) == 0 &&
        std::strncmp(chunk->ep(), "coreml-native", 13) != 0) {
      std::fprintf(stderr,
                   "[qo_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on ep=%s "
                   "while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML director "
                   "costs MORE per frame than the per-frame path it was meant to amortize, and letting timing choose "
                   "between two runtimes makes the delivered pixels depend on scheduling.\n",
                   cfg_.steadyModel.c_str(), ctx_->renderer->ep(), chunk->ep());
      chunk.reset();
    }
  }
  if (ctx_->drive.frames >= 1) {
    try {
      const int32_t si = ctx_->drive.si[0];
      const float* xs = ctx_->drive.xs.data();
      // Speech and ramp frames come in bursts: the arena is kept through a burst and handed back
      // after its last frame (and after this warm-up), not after every frame.
      for (Renderer* r : {ctx_->renderer.get(), chunk.get()}) {
        if (!r) continue;
        r->holdArenaBetweenRuns(true);
        r->releaseArenaAfterNextRun();
        r->render(&si, xs, xs, 1);
      }
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what(), false);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  chunk_ = std::move(chunk);
  motion_ = std::move(model);
  cvMain_.notify_all();
}

void Utterance::dispatchLoop() {
  std::unique_lock<std::mutex> lock(mail_.mu);
  for (;;) {
    mail_.cv.wait(lock, [&] { return mail_.request || mail_.stop; });
    if (mail_.stop) return;
    mail_.request = false;
    std::vector<float> audio = std::move(mail_.audio);
    const bool reset = mail_.reset, finish = mail_.finish;
    const int start = mail_.resetStart, dir = mail_.resetDir, eager = mail_.eager, maxFrames = mail_.maxFrames;
    MotionModel* model = mail_.model;
    lock.unlock();
    int pulled = 0, n = 0, total = -1;
    if (model) {
      if (reset) model->reset(start, dir, 1);
      if (eager != 0) model->setEager(eager);
      if (!audio.empty()) model->push(audio.data(), int(audio.size()));
      if (finish) model->finish();
      n = model->avail();
      if (maxFrames > 0 && n > 0 && !(model->negativeAvailIsFailure() && n < 0))
        pulled = model->pull(mail_.rows.data(), mail_.base.data(), mail_.kp.data(), std::min(maxFrames, n));
      total = model->total();
    }
    lock.lock();
    mail_.pulled = pulled;
    mail_.remaining = n - pulled;
    mail_.total = total;
    mail_.done = true;
    lock.unlock();
    cvMain_.notify_all();
    mail_.cv.notify_all();
    lock.lock();
  }
}

void Utterance::noteRenderFail(const char* stage, const std::string& text, bool fatal) {
  std::lock_guard<std::mutex> lock(mu_);
  ++renderFailures_;
  renderMessage_ = std::string("ep=") + (ctx_->renderer ? ctx_->renderer->ep() : "unknown") + " " + stage + ": " +
                   (text.empty() ? "unknown failure" : text);
  if (fatal) renderFatal_ = true;
}

int Utterance::ready(std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (loadFailed_) {
    *error = loadError_;
    return -1;
  }
  return motion_ ? 1 : 0;
}

void Utterance::pushAudio(const int16_t* pcm, int n) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int i = 0; i < n; ++i) audio_.push_back(float(pcm[i]) * (1.0f / 32768.0f));
    lastPushMs_ = nowMs();
    if (!havePush_) {
      havePush_ = true;
      firstPushMs_ = lastPushMs_;
    }
  }
  cvMain_.notify_all();
  cvPaste_.notify_all();
}

void Utterance::endUtterance() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    endRequested_ = true;
  }
  cvMain_.notify_all();
}

void Utterance::interrupt() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    audio_.clear();
    endRequested_ = false;
    readIdx_ = writeIdx_;
    for (PasteJob& j : pasteJobs_) spareCrops_.push_back(std::move(j.crop));
    pasteJobs_.clear();
    for (PasteJob& j : tessJobs_) spareCrops_.push_back(std::move(j.crop));
    tessJobs_.clear();
    ++generation_;
  }
  cvMain_.notify_all();
  cvTess_.notify_all();
  cvPaste_.notify_all();
}

int Utterance::framesAvailable() {
  std::lock_guard<std::mutex> lock(mu_);
  return int(writeIdx_ - readIdx_);
}

// The copy and the index advance happen under the lock, so an interrupt during a pull cannot
// drop the slot being read or make the occupancy underflow.
int Utterance::pullFrame(uint8_t* dst, size_t cap, qo_utt_frame_info* info, bool* tooSmall) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (writeIdx_ == readIdx_) return 0;
    if (cap < frameBytes_) {
      *tooSmall = true;
      return 0;
    }
    const FrameSlot& s = ring_[readIdx_ % kRing];
    std::memcpy(dst, s.pixels.data(), frameBytes_);
    if (info) *info = {s.frameNo, s.kind, s.driverIdx, s.seq};
    lastDelivered_ = {s.kind, s.driverIdx, s.seq, s.kp};
    ++stats_.frames;
    if (s.kind == 1) ++stats_.speech_frames;
    ++readIdx_;
  }
  cvMain_.notify_all();
  return 1;
}

void Utterance::stats(qo_utt_stats* out) {
  std::lock_guard<std::mutex> lock(mu_);
  *out = stats_;
  out->state = state_;
  out->reserved = 0;
}

int Utterance::renderStatus(char* msg, int cap, int64_t* failures) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failures) *failures = renderFailures_;
  if (msg && cap > 0) {
    const size_t n = std::min(renderMessage_.size(), size_t(cap - 1));
    std::memcpy(msg, renderMessage_.data(), n);
    msg[n] = '\0';
  }
  return renderFatal_ ? -1 : 0;
}

}  // namespace qo::utt
