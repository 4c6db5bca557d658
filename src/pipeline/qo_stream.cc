// The qo_stream_* C functions: the runner's creation from a bundle, and a run that computes the
// deltas of a whole utterance and overlaps rendering with pasting.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "capi/qo_ctx.h"
#include "capi/qo_guard.h"
#include "pipeline/qo_stream_overlap.h"
#include "qo/qo.h"
#include "qo/qo_bundle.h"
#include "qo/qo_fca.h"
#include "qo/qo_stream.h"

namespace {

constexpr int kKp = 63;

struct CtxFree {
  void operator()(qo_ctx* c) const { qo_destroy(c); }
};
struct FcaFree {
  void operator()(qo_fca* f) const { qo_fca_destroy(f); }
};

thread_local std::string tStreamError;

void fail(const std::string& text) { tStreamError = text; }

template <class R, class F>
R guarded(const char* fn, R failure, F&& body) noexcept {
  return qo::capi::guardedBy([](const char* f, const char* why) { fail(std::string(f) + ": " + why); }, fn, failure,
                         body);
}

// NT x 63 floats; more are allowed (rows past NT are never used), fewer are not.
bool readTarget(const std::string& path, int nt, std::vector<float>& out) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return false;
  out.assign(size_t(nt) * kKp, 0.0f);
  return std::fread(out.data(), sizeof(float), out.size(), f.get()) == out.size();
}

}  // namespace

struct qo_stream {
  std::unique_ptr<qo_ctx, CtxFree> ctx;
  std::unique_ptr<qo_fca, FcaFree> fca;
  std::vector<float> target;  // NT x 63
  int nt = 0, W = 0, H = 0, crop = 0;
  int32_t skip = 0;
  float scale = 1.0f;
};

extern "C" {

QO_API qo_stream* qo_stream_create(const char* bundle, const char* w2v_path, int threads, int skip, float scale) {
  tStreamError.clear();
  if (!bundle || !w2v_path) {
    fail("qo_stream_create: bad args");
    return nullptr;
  }
  if (skip < 0) {
    fail("qo_stream_create: negative skip " + std::to_string(skip) +
         " (frames before the utterance's first do not exist; 0 delivers every frame)");
    return nullptr;
  }
  return guarded("qo_stream_create", static_cast<qo_stream*>(nullptr), [&]() -> qo_stream* {
    auto s = std::make_unique<qo_stream>();
    s->ctx.reset(qo_create(bundle, "render", threads, ""));
    if (!s->ctx) {
      fail(qo_last_error());  // already "qo_create: <reason>"
      return nullptr;
    }
    s->nt = qo_nt(s->ctx.get());
    s->W = qo_width(s->ctx.get());
    s->H = qo_height(s->ctx.get());
    s->crop = qo_crop(s->ctx.get());
    // The context knows where the bundle really is: an IMX container's members live in its
    // unwrap directory, not beside the container path the host gave.
    const std::string& dir = s->ctx->manifest.dir;
    s->fca.reset(qo_fca_create(w2v_path, qo::resolveMember(dir, "fca_stream.onnx").c_str(), threads));
    if (!s->fca) {
      fail(qo_fca_last_error());  // already "qo_fca_create: <reason>"
      return nullptr;
    }
    if (!readTarget(qo::resolveMember(dir, "xs_target.bin"), s->nt, s->target)) {
      fail("qo_stream_create: cannot read xs_target.bin (NT*63 f32)");
      return nullptr;
    }
    s->skip = skip;
    s->scale = scale;
    return s.release();
  });
}

QO_API void qo_stream_destroy(qo_stream* s) { delete s; }

QO_API const char* qo_stream_last_error(void) { return tStreamError.c_str(); }

QO_API int qo_stream_width(const qo_stream* s) { return s ? s->W : 0; }
QO_API int qo_stream_height(const qo_stream* s) { return s ? s->H : 0; }

QO_API int qo_stream_run(qo_stream* s, const float* audio, int n, qo_stream_frame_fn cb, void* user) {
  tStreamError.clear();
  if (!s || (n >= 1 && !audio)) {
    fail("qo_stream_run: bad args");
    return -1;
  }
  return guarded("qo_stream_run", -1, [&]() -> int {
    const int N = n < 1 ? 0 : int((int64_t(n) + 639) / 640);
    std::vector<float> deltas(size_t(N) * kKp);
    if (qo_fca_deltas(s->fca.get(), audio, n, deltas.data(), N) != N) {
      fail(qo_fca_last_error());  // already "qo_fca_deltas: <reason>"
      return -1;
    }
    const int M = N - s->skip;
    if (M < 1) return 0;

    qo_ctx* ctx = s->ctx.get();
    const size_t frameBytes = size_t(s->W) * size_t(s->H) * 3;
    std::vector<uint8_t> frame(frameBytes);
    std::vector<float> xd(kKp);  // the render thread's
    std::string renderCause, pasteCause;  // the failing calls' texts, one per thread; read after the join
    auto rowOf = [&](int k) { return s->nt <= 1 ? 0 : (s->skip + k) % s->nt; };

    qo::pipeline::OverlapSteps steps;
    steps.render = [&](int k) {
      const int i = s->skip + k, row = rowOf(k);
      const float* xs = s->target.data() + size_t(row) * kKp;
      const float* d = deltas.data() + size_t(i) * kKp;
      for (int j = 0; j < kKp; ++j) xd[size_t(j)] = xs[j] + s->scale * d[j];
      const float* crop = qo_render_kp_crop(ctx, row, xs, xd.data());
      if (!crop) renderCause = qo_last_error();
      return crop;
    };
    steps.paste = [&](int k, const float* crop) {
      if (qo_paste_crop(ctx, rowOf(k), crop, frame.data(), frameBytes) == 1) return true;
      pasteCause = qo_last_error();
      return false;
    };
    steps.deliver = [&](int k) {
      if (cb) cb(user, k, frame.data(), s->W, s->H);
    };
    const qo::pipeline::OverlapResult r =
        qo::pipeline::runOverlapped(M, size_t(s->crop) * size_t(s->crop) * 3, steps);
    if (r.failed) {
      const std::string& cause = pasteCause.empty() ? renderCause : pasteCause;
      fail("qo_stream_run: render/paste failed" + (cause.empty() ? std::string() : " (" + cause + ")"));
      return -1;
    }
    return r.delivered;
  });
}

}  // extern "C"
