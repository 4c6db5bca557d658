// The qo_a2x_* C functions: argument checks, and every exception turned into the family's
// last-error text and the function's failure value.
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "audio/qo_a2x.h"
#include "audio/qo_a2x_error.h"
#include "capi/qo_guard.h"
#include "qo/qo_a2x.h"
#include "qo/qo_pool.h"

struct qo_a2x {
  std::unique_ptr<qo::audio::A2x> model;
};

namespace {

using qo::audio::setA2xError;

void fail(const char* fn, const char* reason) { setA2xError(std::string(fn) + ": " + reason); }

template <class R, class F>
R guarded(const char* fn, R failure, F&& body) noexcept {
  return qo::capi::guardedBy([](const char* f, const char* why) { fail(f, why); }, fn, failure, body);
}

}  // namespace

extern "C" {

QO_API qo_a2x* qo_a2x_create(const char* bundle, int threads) {
  if (!bundle) {
    fail("qo_a2x_create", "NULL bundle");
    return nullptr;
  }
  return guarded("qo_a2x_create", static_cast<qo_a2x*>(nullptr), [&] {
    auto model = qo::audio::A2x::create(bundle, threads, qo::audio::SpeechFrontend::shared());
    return new qo_a2x{std::move(model)};
  });
}

QO_API void qo_a2x_destroy(qo_a2x* a) { delete a; }

QO_API const char* qo_a2x_last_error(void) { return qo::audio::a2xLastError(); }

QO_API int qo_a2x_preload_w2v(const char* path) {
  std::string p = path ? path : "";
  if (p.empty()) {
    const char* env = std::getenv("W2V_ONNX");
    if (env) p = env;
  }
  if (p.empty()) {
    fail("qo_a2x_preload_w2v", "no path and $W2V_ONNX unset");
    return 0;
  }
  return guarded("qo_a2x_preload_w2v", 0, [&] {
    return qo::audio::SpeechFrontend::shared().legacySession(p, qo::pool::threads()) ? 1 : 0;
  });
}

QO_API int qo_a2x_push(qo_a2x* a, const float* samples, int n) {
  if (!a) {
    fail("qo_a2x_push", "NULL instance");
    return 0;
  }
  if (n < 1) return 1;
  if (!samples) {
    fail("qo_a2x_push", "NULL samples");
    return 0;
  }
  return guarded("qo_a2x_push", 0, [&] {
    a->model->push(samples, n);
    return 1;
  });
}

QO_API void qo_a2x_finish(qo_a2x* a) {
  if (a) a->model->finish();
}

QO_API int qo_a2x_total(qo_a2x* a) { return a ? a->model->total() : -1; }

QO_API int qo_a2x_avail(qo_a2x* a) {
  if (!a) {
    fail("qo_a2x_avail", "NULL instance");
    return -1;
  }
  return guarded("qo_a2x_avail", -1, [&] { return a->model->avail(); });
}

static int pullFrames(const char* fn, qo_a2x* a, int* rows, float* base, float* kp, float* wn, int max) {
  if (!a || !rows || !base || !kp) {
    fail(fn, "NULL instance or output array");
    return 0;
  }
  return guarded(fn, 0, [&] { return a->model->pull(rows, base, kp, wn, max); });
}

QO_API int qo_a2x_pull(qo_a2x* a, int* rows, float* base, float* kp, int max) {
  return pullFrames("qo_a2x_pull", a, rows, base, kp, nullptr, max);
}

QO_API int qo_a2x_pull_wn(qo_a2x* a, int* rows, float* base, float* kp, float* wn, int max) {
  return pullFrames("qo_a2x_pull_wn", a, rows, base, kp, wn, max);
}

static int convert(const char* fn, qo_a2x* a, const float* audio, int n, float* out, float* wn, int cap) {
  if (!a) {
    fail(fn, "NULL instance");
    return -1;
  }
  if (n < 1) return 0;
  if (!audio || !out) {
    fail(fn, "NULL audio or output array");
    return -1;
  }
  return guarded(fn, -1, [&] { return a->model->deltas(audio, n, out, wn, cap); });
}

QO_API int qo_a2x_deltas(qo_a2x* a, const float* audio, int n, float* out, int cap) {
  return convert("qo_a2x_deltas", a, audio, n, out, nullptr, cap);
}

QO_API int qo_a2x_deltas_wn(qo_a2x* a, const float* audio, int n, float* out, float* wn, int cap) {
  if (a && !a->model->hasWn()) {
    fail("qo_a2x_deltas_wn", "encoder declares no wn output");
    return -3;
  }
  return convert("qo_a2x_deltas_wn", a, audio, n, out, wn, cap);
}

QO_API void qo_a2x_reset(qo_a2x* a, int start, int dir, int loop) {
  if (a) a->model->reset(start, dir, loop);
}

QO_API void qo_a2x_set_eager(qo_a2x* a, int eager) {
  if (a) a->model->setEager(eager);
}

QO_API int qo_a2x_nt(qo_a2x* a) { return a ? a->model->nt() : 0; }

QO_API int qo_a2x_width(qo_a2x* a) { return a && a->model->hasWn() ? 1 : 0; }

}  // extern "C"
