// The utterance family of the C API, with its own thread-local last-error text.
#include <cstring>
#include <memory>
#include <string>

#include "pipeline/qo_utt_impl.h"
#include "qo/qo_utt.h"

namespace {

thread_local std::string tUttError;

void setErr(const std::string& text) { tUttError = text; }

}  // namespace

extern "C" {

QO_API const char* qo_utt_last_error(void) { return tUttError.c_str(); }

QO_API qo_utt* qo_utt_create(qo_ctx* ctx, const qo_utt_opts* opts) {
  tUttError.clear();
  if (!ctx || !opts) {
    setErr("qo_utt_create: NULL ctx/opts");
    return nullptr;
  }
  try {
    auto u = std::make_unique<qo_utt>(ctx, *opts);
    if (const char* note = ctx->renderer->directorNote(); note && *note)
      u->impl.noteRenderFail("director load", note, false);
    return u.release();
  } catch (const std::exception& e) {
    setErr(std::string("qo_utt_create: ") + e.what());
  } catch (...) {
    setErr("qo_utt_create: unknown exception");
  }
  return nullptr;
}

QO_API qo_utt* qo_utt_open(qo_ctx* ctx, const char* motion_dir) {
  qo_utt_opts opts;
  std::memset(&opts, 0, sizeof opts);
  opts.motion_dir = motion_dir;
  return qo_utt_create(ctx, &opts);
}

QO_API void qo_utt_destroy(qo_utt* u) { delete u; }

QO_API int qo_utt_ready(qo_utt* u) {
  if (!u) return -1;
  std::string error;
  const int r = u->impl.ready(&error);
  if (r < 0) setErr(error);
  return r;
}

QO_API int qo_utt_push_audio(qo_utt* u, const int16_t* pcm, int n) {
  if (!u || !pcm || n < 0) {
    setErr("qo_utt_push_audio: bad args");
    return 0;
  }
  try {
    u->impl.pushAudio(pcm, n);
    return 1;
  } catch (const std::exception& e) {
    setErr(std::string("qo_utt_push_audio: ") + e.what());
    return 0;
  }
}

QO_API void qo_utt_end_utterance(qo_utt* u) {
  if (u) u->impl.endUtterance();
}

QO_API void qo_utt_interrupt(qo_utt* u) {
  if (u) u->impl.interrupt();
}

QO_API int qo_utt_frames_available(qo_utt* u) { return u ? u->impl.framesAvailable() : 0; }

QO_API int qo_utt_pull_frame(qo_utt* u, uint8_t* dst, size_t cap, qo_utt_frame_info* info) {
  if (!u || !dst) {
    setErr("qo_utt_pull_frame: bad args");
    return 0;
  }
  bool tooSmall = false;
  const int r = u->impl.pullFrame(dst, cap, info, &tooSmall);
  if (tooSmall) setErr("qo_utt_pull_frame: buffer too small");
  return r;
}

QO_API void qo_utt_get_stats(qo_utt* u, qo_utt_stats* out) {
  if (u && out) u->impl.stats(out);
}

QO_API int qo_utt_render_status(qo_utt* u, char* msg, int cap, int64_t* failures) {
  if (!u) {
    if (failures) *failures = 0;
    if (msg && cap > 0) msg[0] = '\0';
    return 0;
  }
  return u->impl.renderStatus(msg, cap, failures);
}

}  // extern "C"
