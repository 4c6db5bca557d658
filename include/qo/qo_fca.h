/*
 * libqo_core — whole-utterance audio-to-keypoint model (qo_fca): a complete utterance of 16 kHz
 * mono float speech in, 63 keypoint deltas (21 rows x 3) per 40 ms video frame out, in one call.
 *
 * Usage (C):
 *
 *   qo_fca* f = qo_fca_create("/models/audio_encoder_fp16.onnx", "avatar/fca_stream.onnx", 0);
 *   if (!f) { fprintf(stderr, "%s\n", qo_fca_last_error()); return 1; }
 *   int frames = (n + 639) / 640;
 *   float* deltas = malloc(sizeof(float) * 63 * frames);
 *   if (qo_fca_deltas(f, audio, n, deltas, frames) != frames) fprintf(stderr, "%s\n", qo_fca_last_error());
 *   qo_fca_destroy(f);
 *
 * The speech frontend (the legacy 8 s window graph: "input_values" [1, 128000] -> "audio_emb"
 * 12 x 200 x 768) runs on a session of the instance's own, apart from the one qo_a2x shares.
 *
 * Error convention: every function that can fail clears the calling thread's last-error text of
 * this family on entry and, on failure, sets it to "<function>: <reason>" ("bad args" for NULL
 * arguments) and returns its failure value (NULL or -1). No C++ exception leaves these functions.
 *
 * Thread-safety: an instance serves one thread at a time; different instances are independent.
 */
#ifndef QO_QO_FCA_H
#define QO_QO_FCA_H

#include "qo/qo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One model over a frontend graph and a stream graph. Opaque; made by qo_fca_create, freed by
 * qo_fca_destroy. */
typedef struct qo_fca qo_fca;

/* Loads the frontend graph at `w2v_path` and the recurrent stream graph at `fca_path`
 * ("cond" [1, 5376], "prev" [1, 63], "h" [1, 1, 384] -> "m" [1, 63], "hn" [1, 1, 384]), each on
 * `threads` intra-op threads (< 1: the engine's thread count). Returns a new instance owned by the
 * caller, or NULL ("qo_fca_create: bad args" for a NULL path, else "qo_fca_create: <reason>"). */
QO_API qo_fca* qo_fca_create(const char* w2v_path, const char* fca_path, int threads);

/* Frees an instance; NULL is ignored. Does not touch the last-error text. */
QO_API void qo_fca_destroy(qo_fca* f);

/* The calling thread's last-error text of this family: "" when the last call succeeded, never
 * NULL. Valid until this thread's next qo_fca call. */
QO_API const char* qo_fca_last_error(void);

/* Converts n samples into N = ceil(n / 640) rows of 63 deltas written to out (row t = frame t,
 * samples 640 t .. 640 t + 639). Returns N; 0 when n < 1 (nothing written); -1 when cap < N
 * ("qo_fca_deltas: cap ... < ... frames", nothing written), for a NULL instance, audio or out
 * ("qo_fca_deltas: bad args"), or on a model failure ("qo_fca_deltas: <reason>"; out may then
 * hold some rows). */
QO_API int qo_fca_deltas(qo_fca* f, const float* audio, int n, float* out, int cap);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QO_QO_FCA_H */
