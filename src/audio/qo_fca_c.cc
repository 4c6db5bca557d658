// The qo_fca_* C functions: argument checks, the family's last-error text, and every exception
// turned into the function's failure value.
#include <exception>
#include <memory>
#include <string>

#include "audio/qo_fca.h"
#include "capi/qo_guard.h"
#include "qo/qo_fca.h"

struct qo_fca {
  std::unique_ptr<qo::audio::Fca> model;
};

namespace {

thread_local std::string tFcaError;

void fail(const char* fn, const std::string& reason) { tFcaError = std::string(fn) + ": " + reason; }

template <class R, class F>
R guarded(const char* fn, R failure, F&& body) noexcept {
  return qo::capi::guardedBy([](const char* f, const char* why) { fail(f, why); }, fn, failure, body);
}

}  // namespace

extern "C" {

QO_API qo_fca* qo_fca_create(const char* w2v_path, const char* fca_path, int threads) {
  tFcaError.clear();
  if (!w2v_path || !fca_path) {
    fail("qo_fca_create", "bad args");
    return nullptr;
  }
  return guarded("qo_fca_create", static_cast<qo_fca*>(nullptr), [&] {
    auto f = std::make_unique<qo_fca>();
    f->model = std::make_unique<qo::audio::Fca>(w2v_path, fca_path, threads);
    return f.release();
  });
}

QO_API void qo_fca_destroy(qo_fca* f) { delete f; }

QO_API const char* qo_fca_last_error(void) { return tFcaError.c_str(); }

QO_API int qo_fca_deltas(qo_fca* f, const float* audio, int n, float* out, int cap) {
  tFcaError.clear();
  if (!f) {
    fail("qo_fca_deltas", "bad args");
    return -1;
  }
  const int frames = qo::audio::Fca::frames(n);
  if (frames == 0) return 0;
  if (!audio || !out) {
    fail("qo_fca_deltas", "bad args");
    return -1;
  }
  if (cap < frames) {
    fail("qo_fca_deltas", "cap " + std::to_string(cap) + " < " + std::to_string(frames) + " frames");
    return -1;
  }
  return guarded("qo_fca_deltas", -1, [&] {
    f->model->deltas(audio, n, out);
    return frames;
  });
}

}  // extern "C"
