// Frame functions of the core C API: render a crop from keypoints or the drive tables, paste it
// into its driver frame, and read driver and prior frames as they are.
#include <cstring>
#include <string>

#include "capi/qo_ctx.h"
#include "capi/qo_error.h"

using qo::capi::clearErr;
using qo::capi::guarded;
using qo::capi::setErr;

namespace {

bool validSource(const qo_ctx* ctx, int si) { return ctx && si >= 0 && si < ctx->manifest.NT; }

size_t frameBytes(const qo_ctx* ctx, int channels) {
  return size_t(ctx->manifest.W) * size_t(ctx->manifest.H) * size_t(channels);
}

// Renders one crop for source frame si; failures are reported under `fn`, the function the host
// called.
const float* renderCrop(const char* fn, qo_ctx* ctx, int si, const float* xs, const float* xd) {
  return guarded(fn, static_cast<const float*>(nullptr), [&] {
    const int32_t index = si;
    ctx->last_crop = ctx->renderer->render(&index, xs, xd, 1);
    return ctx->last_crop;
  });
}

// Pastes the context's last crop over driver frame si and expands the frame to RGBA.
int rgbaPaste(const char* fn, qo_ctx* ctx, int si, uint8_t* out, size_t out_cap) {
  if (!out || out_cap < frameBytes(ctx, 4)) {
    setErr(fn, "out buffer too small");
    return 0;
  }
  const uint8_t* rgb = qo_paste_last(ctx, si);
  if (!rgb) return 0;
  const size_t pixels = frameBytes(ctx, 1);
  for (size_t p = 0; p < pixels; ++p) {
    out[4 * p] = rgb[3 * p];
    out[4 * p + 1] = rgb[3 * p + 1];
    out[4 * p + 2] = rgb[3 * p + 2];
    out[4 * p + 3] = 255;
  }
  return 1;
}

}  // namespace

// Bounds on a prior cursor's ring: enough for any real look-ahead, small enough that
// back + ahead + 1 frames of crop^2 x 6 bytes cannot overflow or exhaust memory by accident.
static constexpr int kMaxPriorAhead = 64;
static constexpr int kMaxPriorBack = 256;

struct qo_prior {
  qo::Manifest manifest;
  std::unique_ptr<qo::DriverCursor> cursor;
  std::string backend;
};

extern "C" {

QO_API const float* qo_render_kp_crop(qo_ctx* ctx, int si, const float* xs, const float* xd) {
  clearErr();
  if (!validSource(ctx, si) || !xs || !xd) {
    setErr("qo_render_kp_crop", "bad args");
    return nullptr;
  }
  return renderCrop("qo_render_kp_crop", ctx, si, xs, xd);
}

// The drive tables were checked at load (every si in [0, NT)), so only i needs a check here.
QO_API const float* qo_render_drive_crop(qo_ctx* ctx, int i) {
  clearErr();
  if (!ctx || i < 0 || i >= ctx->drive.frames) {
    setErr("qo_render_drive_crop", "bad frame index");
    return nullptr;
  }
  return renderCrop("qo_render_drive_crop", ctx, ctx->drive.si[size_t(i)], ctx->drive.xs.data() + size_t(i) * 63,
                    ctx->drive.xd.data() + size_t(i) * 63);
}

QO_API int qo_paste_crop(qo_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_cap) {
  clearErr();
  if (!validSource(ctx, si) || !crop || !out || out_cap < frameBytes(ctx, 3)) {
    setErr("qo_paste_crop", "bad args / out too small");
    return 0;
  }
  return guarded("qo_paste_crop", 0, [&] {
    ctx->cursor->pullAt(si, out);
    ctx->paste->composite(crop, 255.0f, ctx->identity.M(si), out, ctx->manifest.W, ctx->manifest.H);
    return 1;
  });
}

QO_API const uint8_t* qo_paste_last(qo_ctx* ctx, int si) {
  clearErr();
  if (!validSource(ctx, si) || !ctx->last_crop) {
    setErr("qo_paste_last", "bad args / no prior render");
    return nullptr;
  }
  return guarded("qo_paste_last", static_cast<const uint8_t*>(nullptr), [&] {
    ctx->cursor->pullAt(si, ctx->frame.data());
    ctx->paste->composite(ctx->last_crop, 255.0f, ctx->identity.M(si), ctx->frame.data(), ctx->manifest.W,
                          ctx->manifest.H);
    return static_cast<const uint8_t*>(ctx->frame.data());
  });
}

QO_API int qo_render_kp_rgba(qo_ctx* ctx, int si, const float* xs, const float* xd, uint8_t* out, size_t out_cap) {
  if (!qo_render_kp_crop(ctx, si, xs, xd)) return 0;
  return rgbaPaste("qo_render_kp_rgba", ctx, si, out, out_cap);
}

QO_API int qo_render_drive_rgba(qo_ctx* ctx, int i, uint8_t* out, size_t out_cap) {
  if (!qo_render_drive_crop(ctx, i)) return 0;
  return rgbaPaste("qo_render_drive_rgba", ctx, ctx->drive.si[size_t(i)], out, out_cap);
}

QO_API const uint8_t* qo_target_frame(qo_ctx* ctx, int si) {
  clearErr();
  if (!validSource(ctx, si)) {
    setErr("qo_target_frame", "bad args");
    return nullptr;
  }
  return guarded("qo_target_frame", static_cast<const uint8_t*>(nullptr), [&] {
    int got = -1;
    const uint8_t* frame = ctx->cursor->pullAt(si, &got);
    if (got != si)
      throw std::runtime_error("qo_driver: cursor yielded frame " + std::to_string(got) + " for si=" + std::to_string(si));
    return frame;
  });
}

QO_API qo_prior* qo_prior_open(const char* bundle_dir, int ahead, int back) {
  clearErr();
  if (!bundle_dir) {
    setErr("qo_prior_open", "NULL bundle_dir");
    return nullptr;
  }
  if (ahead < 1) ahead = 2;
  if (back < 0) back = 0;
  if (ahead > kMaxPriorAhead || back > kMaxPriorBack) {
    setErr("qo_prior_open", ("ahead/back too large (ahead <= " + std::to_string(kMaxPriorAhead) +
                             ", back <= " + std::to_string(kMaxPriorBack) + ")")
                                .c_str());
    return nullptr;
  }
  return guarded("qo_prior_open", static_cast<qo_prior*>(nullptr), [&] {
    auto h = std::make_unique<qo_prior>();
    h->manifest = qo::loadManifest(bundle_dir);
    h->cursor = qo::DriverCursor::openPrior(h->manifest, ahead, back);
    h->backend = h->cursor->name();
    return h.release();
  });
}

QO_API size_t qo_prior_row_bytes(const qo_prior* h) {
  return h ? size_t(h->manifest.crop) * size_t(h->manifest.crop) * 3 * 2 : 0;
}

QO_API int qo_prior_row(qo_prior* h, int si, uint8_t* out, size_t out_cap) {
  clearErr();
  if (!h || !out) {
    setErr("qo_prior_row", "NULL prior/out");
    return 0;
  }
  const size_t bytes = qo_prior_row_bytes(h);
  if (out_cap < bytes) {
    setErr("qo_prior_row", ("cap " + std::to_string(out_cap) + " < row bytes " + std::to_string(bytes)).c_str());
    return 0;
  }
  return guarded("qo_prior_row", 0, [&] {
    h->cursor->pullAt(si, out);
    return 1;
  });
}

QO_API const char* qo_prior_backend(const qo_prior* h) { return h ? h->backend.c_str() : ""; }

QO_API void qo_prior_close(qo_prior* h) { delete h; }

}  // extern "C"
