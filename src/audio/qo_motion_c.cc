// The qo_motion_* C functions: argument checks, the family's thread-local last-error text, and
// every exception turned into the function's failure value.
#include <exception>
#include <memory>
#include <string>

#include "audio/qo_motion.h"
#include "capi/qo_guard.h"
#include "qo/qo_motion.h"

struct qo_motion {
  std::unique_ptr<qo::audio::Motion> model;
};

namespace {

thread_local std::string tError;

void fail(const char* fn, const char* reason) { tError = std::string(fn) + ": " + reason; }

template <class R, class F>
R guarded(const char* fn, R failure, F&& body) noexcept {
  return qo::capi::guardedBy([](const char* f, const char* why) { fail(f, why); }, fn, failure, body);
}

}  // namespace

extern "C" {

QO_API qo_motion* qo_motion_create(const char* dir, int threads, const char* ep) {
  tError.clear();
  if (!dir) {
    fail("qo_motion_create", "NULL motion_dir");
    return nullptr;
  }
  return guarded("qo_motion_create", static_cast<qo_motion*>(nullptr),
                 [&] { return new qo_motion{qo::audio::Motion::create(dir, threads, ep ? ep : "")}; });
}

QO_API void qo_motion_destroy(qo_motion* m) { delete m; }

QO_API const char* qo_motion_last_error(void) { return tError.c_str(); }

QO_API int qo_motion_push(qo_motion* m, const float* samples, int n) {
  tError.clear();
  if (!m || !samples || n < 0) {
    fail("qo_motion_push", "bad args / already finished");
    return 0;
  }
  return guarded("qo_motion_push", 0, [&] {
    if (m->model->push(samples, n)) return 1;
    fail("qo_motion_push", "bad args / already finished");
    return 0;
  });
}

QO_API void qo_motion_finish(qo_motion* m) {
  if (m) m->model->finish();
}

QO_API int qo_motion_total(qo_motion* m) { return m ? m->model->total() : -1; }

QO_API int qo_motion_avail(qo_motion* m) {
  if (!m) {
    fail("qo_motion_avail", "NULL instance");
    return -1;
  }
  return guarded("qo_motion_avail", -1, [&] { return m->model->avail(); });
}

QO_API int qo_motion_pull(qo_motion* m, int* rows, float* xs, float* xd, int max) {
  tError.clear();
  if (!m || !rows || !xs || !xd || max < 1) {
    fail("qo_motion_pull", "bad args");
    return 0;
  }
  return guarded("qo_motion_pull", 0, [&] { return m->model->pull(rows, xs, xd, max); });
}

QO_API void qo_motion_reset(qo_motion* m, int start, int dir, int loop) {
  if (m) m->model->reset(start, dir, loop);
}

QO_API void qo_motion_set_eager(qo_motion* m, int eager) {
  if (m) m->model->setEager(eager);
}

QO_API int qo_motion_nt(qo_motion* m) { return m ? m->model->nt() : 0; }

}  // extern "C"
