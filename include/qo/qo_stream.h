/*
 * libqo_core — offline stream runner (qo_stream): a whole utterance of 16 kHz mono float speech
 * in, one full-size packed RGB frame per 640 samples out, handed to a callback in order.
 *
 * Usage (C):
 *
 *   static void on_frame(void* user, int i, const uint8_t* rgb, int w, int h) { encode(user, rgb); }
 *   qo_stream* s = qo_stream_create("avatar.imx", "/models/audio_encoder_fp16.onnx", 0, 0, 1.0f);
 *   if (!s) { fprintf(stderr, "%s\n", qo_stream_last_error()); return 1; }
 *   int got = qo_stream_run(s, audio, n, on_frame, movie);   // frames delivered, or -1
 *   qo_stream_destroy(s);
 *
 * The runner owns an engine context over the bundle's "render" director and a qo_fca model over
 * the bundle's "fca_stream.onnx". Frame i uses target row i mod NT of "xs_target.bin": the
 * source keypoints are that row, the driving ones the row plus scale x the frame's deltas. While
 * the calling thread pastes (and runs the callback for) one frame, a render thread of the run
 * renders the next ones, up to four crops ahead.
 *
 * Error convention: every function that can fail clears the calling thread's last-error text of
 * this family on entry and, on failure, sets it ("qo_stream_create: ...", "qo_create: ...",
 * "qo_fca_create: ...", "qo_fca_deltas: ...", "qo_stream_run: ...") and returns its failure value
 * (NULL or -1). No C++ exception leaves these functions.
 *
 * Thread-safety: a runner serves one run at a time; the callback runs on the thread that called
 * qo_stream_run. Different runners are independent.
 */
#ifndef QO_QO_STREAM_H
#define QO_QO_STREAM_H

#include <stdint.h>

#include "qo/qo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A runner over one bundle. Opaque; made by qo_stream_create, freed by qo_stream_destroy. */
typedef struct qo_stream qo_stream;

/* Receives delivered frame i (0, 1, ... in order, once each): W x H x 3 bytes of packed RGB,
 * valid until the callback returns. */
typedef void (*qo_stream_frame_fn)(void* user, int i, const uint8_t* rgb, int w, int h);

/* Loads bundle `bundle` (directory or IMX container) with director key "render" on `threads`
 * threads (< 1: the engine's count), the speech frontend graph `w2v_path` and the bundle's
 * "fca_stream.onnx", and reads NT x 63 floats of "xs_target.bin". `skip` leading frames are
 * computed but not delivered (must be >= 0); `scale` multiplies the deltas. Returns a new runner
 * owned by the caller, or NULL with the last error set ("qo_stream_create: bad args" for a NULL
 * path, "qo_stream_create: negative skip ...", "qo_create: ...", "qo_fca_create: ...",
 * "qo_stream_create: cannot read xs_target.bin (NT*63 f32)"). Nothing stays allocated after a
 * failure. */
QO_API qo_stream* qo_stream_create(const char* bundle, const char* w2v_path, int threads, int skip, float scale);

/* Frees a runner (its model and engine context); NULL is ignored. */
QO_API void qo_stream_destroy(qo_stream* s);

/* The calling thread's last-error text of this family: "" when the last call succeeded, never
 * NULL. Valid until this thread's next qo_stream call. */
QO_API const char* qo_stream_last_error(void);

/* Full-frame width and height; 0 for NULL. Never touch the last-error text. */
QO_API int qo_stream_width(const qo_stream* s);
QO_API int qo_stream_height(const qo_stream* s);

/* Renders n samples: N = ceil(n / 640) frames, of which frames skip .. N - 1 are delivered (as
 * i = 0 .. N - skip - 1) to `cb` when it is not NULL. Returns the number delivered (0 when
 * N <= skip, without rendering), or -1: "qo_stream_run: bad args" (NULL runner, or NULL audio
 * with n >= 1), "qo_fca_deltas: ...", or "qo_stream_run: render/paste failed (<the failing call's
 * text>)" (the frames before the failing one were delivered). Returns only after the run's render
 * thread has ended, also when a paste fails while it waits for a free ring slot. */
QO_API int qo_stream_run(qo_stream* s, const float* audio, int n, qo_stream_frame_fn cb, void* user);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QO_QO_STREAM_H */
