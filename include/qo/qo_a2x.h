/*
 * libqo_core — streaming audio-to-expression (qo_a2x): 16 kHz mono float speech in, one
 * 63-float keypoint set (21 rows x 3) per 40 ms video frame out, with a bounded look-ahead.
 *
 * Usage (C):
 *
 *   setenv("W2V_ONNX", "/models/audio_encoder_fp16.onnx", 1);   // the speech frontend
 *   qo_a2x* a = qo_a2x_create("avatars/anna", 0);
 *   if (!a) { fprintf(stderr, "%s\n", qo_a2x_last_error()); return 1; }
 *   int rows[8]; float base[8 * 63], kp[8 * 63];
 *   while (have_audio()) {
 *     qo_a2x_push(a, pcm, n);                     // any push size
 *     while (qo_a2x_avail(a) > 0) {
 *       int got = qo_a2x_pull(a, rows, base, kp, 8);
 *       render(rows, base, kp, got);              // kp = base (target row) + delta
 *     }
 *   }
 *   qo_a2x_finish(a);
 *   ...pull until the frames handed out reach qo_a2x_total(a)...
 *   qo_a2x_reset(a, -1, 1, 1);                    // next utterance continues the rows
 *   qo_a2x_destroy(a);
 *
 * Frames become available in blocks of 8 (320 ms of audio) once the audio reaches the model's
 * look-ahead past them; with the short-window frontend the frames do not depend on push sizes
 * or polling. Rows of the bundle's target keypoint table advance by one per frame.
 *
 * Error convention: a failing function sets the calling thread's last-error text of this
 * family to "<function>: <reason>" (computation failures inside avail and pull: "qo_a2x extend:
 * <reason>") and returns its failure value as stated below. Successful calls do not clear the
 * text. No C++ exception ever leaves these functions.
 *
 * Thread-safety: an instance is not locked; call the functions of one instance from one thread
 * at a time. Different instances may run on different threads at once; they share the process's
 * speech frontend, which is loaded once under a lock.
 */
#ifndef QO_QO_A2X_H
#define QO_QO_A2X_H

#include "qo/qo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One streaming audio-to-expression model over a bundle. Opaque; made by qo_a2x_create, freed by
 * qo_a2x_destroy. */
typedef struct qo_a2x qo_a2x;

/* Loads the model of bundle `bundle` (a directory or an IMX container): a2x_meta.json,
 * a2x_pos.f32, a2x_norm.f32, xs_target.bin, a2x_enc_stream.onnx and a2x_dec.onnx, and the shared
 * speech frontend named by the environment variable W2V_ONNX (with the short-window pair when it
 * is deployed). `threads` is honoured when 0 < threads < the engine's thread count, else that
 * count is used. Returns a new instance owned by the caller (ready: rows start at 0, forward,
 * looping), or NULL with the last error set ("qo_a2x_create: ..."). */
QO_API qo_a2x* qo_a2x_create(const char* bundle, int threads);

/* Frees an instance. NULL is ignored. The shared frontend stays loaded. */
QO_API void qo_a2x_destroy(qo_a2x* a);

/* The calling thread's last-error text of this family: "" until a failure, never NULL. Valid
 * until this thread's next failing qo_a2x call. */
QO_API const char* qo_a2x_last_error(void);

/* Loads the shared speech frontend from `path` ahead of time (NULL or "": $W2V_ONNX); only the
 * first path loaded in the process is ever used. Returns 1 when it is loaded (now or earlier),
 * else 0 with the last error set. Thread-safe. */
QO_API int qo_a2x_preload_w2v(const char* path);

/* Appends `n` samples (16 kHz mono float) to the utterance; n < 1 does nothing. Returns 1, or 0
 * for a NULL instance or NULL samples with n >= 1. The samples are copied. */
QO_API int qo_a2x_push(qo_a2x* a, const float* samples, int n);

/* Marks the end of the utterance's audio: everything pushed becomes computable. NULL is ignored. */
QO_API void qo_a2x_finish(qo_a2x* a);

/* Frames of the utterance (ceil(samples / 640)) after qo_a2x_finish; -1 before it or for NULL. */
QO_API int qo_a2x_total(qo_a2x* a);

/* Frames computed and not yet pulled, after computing at most one step ahead (8 frames with the
 * short-window frontend, 64 with the legacy one). A computation failure sets the last error and
 * reports the frames computed before it. -1 for NULL. */
QO_API int qo_a2x_avail(qo_a2x* a);

/* Hands out up to `max` frames; computes first when every computed frame has been handed out.
 * Per frame i: rows[i] the target row used, base[63 i ...] that row's keypoints, kp[63 i ...]
 * base + delta; with qo_a2x_pull_wn also wn[i] (when `wn` is not NULL), the frame's "wn" value
 * (0 when the encoder has none). The caller owns the arrays: rows max ints, base and kp 63 max
 * floats, wn max floats. Returns the frames written (0 .. max); 0 with the last error set for a
 * NULL instance or array. */
QO_API int qo_a2x_pull(qo_a2x* a, int* rows, float* base, float* kp, int max);
QO_API int qo_a2x_pull_wn(qo_a2x* a, int* rows, float* base, float* kp, float* wn, int max);

/* Whole-utterance conversion of `n` samples with the legacy frontend, independent of the
 * streaming state (the silence-primed decoder state apart): writes 63 deltas per frame to `out`
 * (room for `cap` frames) and returns the frame count ceil(n / 640); 0 when n < 1; -2 when cap is
 * smaller than the frame count (nothing written); -1 on failure (last error set; `out` may be
 * partly written). */
QO_API int qo_a2x_deltas(qo_a2x* a, const float* audio, int n, float* out, int cap);

/* As qo_a2x_deltas, and copies each frame's "wn" value to `wn` (room for `cap` values; may be
 * NULL). Returns -3 ("qo_a2x_deltas_wn: encoder declares no wn output") when the encoder has no
 * "wn" output. */
QO_API int qo_a2x_deltas_wn(qo_a2x* a, const float* audio, int n, float* out, float* wn, int cap);

/* Starts a new utterance: drops the audio and everything computed. Rows start at `start`
 * (start < 0: the row the current mapping gives the next frame, so the new utterance continues
 * where the last stopped), run backwards when dir < 0, and wrap when `loop` is non-zero
 * (otherwise bounce between the first and last row). NULL is ignored. */
QO_API void qo_a2x_reset(qo_a2x* a, int start, int dir, int loop);

/* Stores an eager value; nothing the instance computes depends on it. NULL is ignored. */
QO_API void qo_a2x_set_eager(qo_a2x* a, int eager);

/* Rows of the target keypoint table (0 for NULL). */
QO_API int qo_a2x_nt(qo_a2x* a);

/* 1 when the encoder emits the per-frame "wn" value, else 0 (0 for NULL). */
QO_API int qo_a2x_width(qo_a2x* a);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QO_QO_A2X_H */
