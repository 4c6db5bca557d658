/*
 * libqo_core — audio-to-motion model (qo_motion): 16 kHz mono float speech in, per 40 ms video
 * frame a driver row and two 63-float keypoint sets (21 rows x 3) out. Three graphs in a motion
 * directory: a speech-feature student over log-mel frames computed here, a motion generator
 * (80 frames per run, hop 70) and a stitching graph.
 *
 * Usage (C):
 *
 *   qo_motion* m = qo_motion_create("avatars/anna/motion", 0, NULL);
 *   if (!m) { fprintf(stderr, "%s\n", qo_motion_last_error()); return 1; }
 *   int rows[8]; float xs[8 * 63], xd[8 * 63];
 *   while (have_audio()) {
 *     qo_motion_push(m, pcm, n);                   // any push size
 *     int got = qo_motion_pull(m, rows, xs, xd, 8);
 *     render(rows, xs, xd, got);                   // xs: the row's target keypoints
 *   }
 *   qo_motion_finish(m);
 *   ...pull until the frames handed out reach qo_motion_total(m)...
 *   qo_motion_reset(m, next_row, 1, 1);            // next utterance
 *   qo_motion_destroy(m);
 *
 * Latency: while the utterance is open a frame is served once the generator chunk that holds it
 * has run on real audio (up to 80 frames of audio), unless the eager step is on
 * (qo_motion_set_eager): then each time the audio has advanced by min(eager, 8) frames, the
 * incomplete audio windows and the next generator chunk run speculatively (missing audio as
 * zeros), and frames up to the last one the audio touches can be served at once. Frames once
 * pulled are never revised; speculative rows not yet pulled are recomputed from the real audio.
 * With eager off the frames depend only on the audio, not on push sizes or polling.
 *
 * Environment: QO_ORT_SPIN=1 lets ONNX Runtime's intra-op threads spin; QO_MOTION_DUMP=DIR writes
 * the first window's, chunk's and frame's intermediate arrays into DIR as raw float32 (mel0.bin,
 * feat0.bin, cond.bin, lmdm0_kp.bin, lmdm0_aud.bin, lmdm0_pred.bin, res_post.bin, xs.bin, xd.bin,
 * final.bin).
 *
 * Error convention: a failing function sets the calling thread's last-error text of this family
 * to "<function>: <reason>" and returns its failure value as stated below; create, push and pull
 * clear the text on entry. No C++ exception ever leaves these functions.
 *
 * Thread-safety: an instance is not locked; call the functions of one instance from one thread
 * at a time. Different instances may run on different threads at once.
 */
#ifndef QO_QO_MOTION_H
#define QO_QO_MOTION_H

#include "qo/qo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One audio-to-motion model over a motion directory. Opaque; made by qo_motion_create, freed by
 * qo_motion_destroy. */
typedef struct qo_motion qo_motion;

/* Loads the model of motion directory `dir`: meta.json, the float members (each must hold its
 * exact count), xs_target.bin, hubert_student.onnx, lmdm.onnx and stitch.onnx. `threads` < 1
 * means the engine's thread count. `ep` NULL or "" runs on the CPU; otherwise it must begin with
 * "coreml" ("coreml-cpu", "coreml-gpu", "coreml-ane", anything else: all compute units). Returns
 * a new instance owned by the caller (rows start at 0, forward, looping), or NULL with the last
 * error set ("qo_motion_create: NULL motion_dir", "qo_motion_create: <reason>"). */
QO_API qo_motion* qo_motion_create(const char* dir, int threads, const char* ep);

/* Frees an instance. NULL is ignored. */
QO_API void qo_motion_destroy(qo_motion* m);

/* The calling thread's last-error text of this family: "" when none, never NULL. Valid until
 * this thread's next qo_motion call. */
QO_API const char* qo_motion_last_error(void);

/* Appends `n` samples (16 kHz mono float; copied). Returns 1 (also for n = 0), or 0 with
 * "qo_motion_push: bad args / already finished" for a NULL instance or samples, n < 0, or a
 * finished utterance. */
QO_API int qo_motion_push(qo_motion* m, const float* samples, int n);

/* Marks the end of the utterance's audio; the total becomes ceil(samples / 640). NULL is
 * ignored. */
QO_API void qo_motion_finish(qo_motion* m);

/* Frames of the utterance after qo_motion_finish; -1 before it or for NULL. */
QO_API int qo_motion_total(qo_motion* m);

/* Frames ready to pull, after computing what the audio allows. Negative on failure, with the last
 * error "qo_motion_avail: <reason>" (what was computed before the failure is kept). */
QO_API int qo_motion_avail(qo_motion* m);

/* Hands out up to `max` frames. Per frame i: rows[i] the driver row, xs[63 i ...] that row's
 * target keypoints (the renderer's source keypoints), xd[63 i ...] the driving keypoints. The
 * caller owns the arrays (rows: max ints; xs, xd: 63 max floats). Returns the frames written
 * (0 .. max); 0 with "qo_motion_pull: bad args" for a NULL instance or array or max < 1, or with
 * "qo_motion_pull: <reason>" on a computation failure. */
QO_API int qo_motion_pull(qo_motion* m, int* rows, float* xs, float* xd, int max);

/* Starts a new utterance: drops the audio and everything computed. Rows start at `start`
 * (clamped to 0 .. nt - 1), run backwards when dir < 0, and wrap when `loop` is non-zero
 * (otherwise bounce between the first and last row). NULL is ignored. */
QO_API void qo_motion_reset(qo_motion* m, int start, int dir, int loop);

/* Eager step interval in frames of audio (capped at 8); 0 or less turns the eager step off (the
 * initial state). NULL is ignored. */
QO_API void qo_motion_set_eager(qo_motion* m, int eager);

/* Rows of the target keypoint table and of the driver ("nt"); 0 for NULL. */
QO_API int qo_motion_nt(qo_motion* m);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QO_QO_MOTION_H */
