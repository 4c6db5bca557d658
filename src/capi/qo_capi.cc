// Core C entry points: context lifecycle and getters.
#include <memory>

#include "capi/qo_ctx.h"
#include "capi/qo_error.h"
#include "compute/qo_pool.h"

using qo::capi::clearErr;
using qo::capi::guarded;
using qo::capi::setErr;

extern "C" {

QO_API qo_ctx* qo_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  clearErr();
  if (!bundle_dir || !model_key) {
    setErr("qo_create", "NULL bundle_dir/model_key");
    return nullptr;
  }
  return guarded("qo_create", static_cast<qo_ctx*>(nullptr), [&] {
    int n = threads < 1 ? qo::pool::threads() : threads;
    return std::make_unique<qo_ctx>(bundle_dir, model_key, n, ep ? ep : "").release();
  });
}

QO_API void qo_destroy(qo_ctx* ctx) { delete ctx; }

QO_API int qo_host_kp_rows(void) { return qo::kHostKpRows; }

QO_API int qo_nt(const qo_ctx* ctx) { return ctx ? ctx->manifest.NT : 0; }
QO_API int qo_width(const qo_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
QO_API int qo_height(const qo_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
QO_API int qo_crop(const qo_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
QO_API int qo_drive_frames(const qo_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }

}  // extern "C"
