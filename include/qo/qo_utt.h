/*
 * Utterance instances: a host pushes speech audio and pulls finished full-size frames of the
 * avatar speaking, with idle frames between utterances and a short ramp back to idle after each.
 *
 *   qo_utt_opts opts = {0};
 *   opts.motion_dir = "avatar.qobundle";          // holds the audio-to-motion members
 *   qo_utt* u = qo_utt_create(ctx, &opts);
 *   while (qo_utt_ready(u) == 0) sleep_ms(10);     // the model loads in the background
 *   for (;;) {
 *     qo_utt_push_audio(u, pcm, n);                // 16 kHz mono, as it arrives
 *     qo_utt_frame_info info;
 *     if (qo_utt_pull_frame(u, rgb, rgb_cap, &info)) present(rgb, &info);   // at 25 fps
 *   }
 *   qo_utt_destroy(u);
 *
 * Threads: creation starts the instance's worker threads (run, warm-up, dispatch, paste); every
 * function may be called from any host thread. Pull from one consumer thread. qo_utt_destroy must
 * not race with other calls on the same instance. The context must outlive the instance and must
 * not be used for frame functions while an instance runs on it.
 *
 * Errors: this family keeps its own thread-local text (qo_utt_last_error). qo_utt_create clears it
 * on entry; the other functions only set it on failure.
 */
#ifndef QO_QO_UTT_H
#define QO_QO_UTT_H

#include <stddef.h>
#include <stdint.h>

#include "qo/qo.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qo_utt qo_utt;

/* Options, read only during qo_utt_create. Zero / NULL fields take the defaults in brackets. */
typedef struct qo_utt_opts {
  const char* motion_dir;   /* directory of the audio-to-motion model (required) */
  int32_t threads;          /* intra-op threads for the motion model [context's threads] */
  const char* motion_ep;    /* execution provider of the motion model, where it has one [""] */
  const char* steady_model; /* model key of the chunk renderer; "-" disables it ["b24_fp32"] */
  int32_t eager;            /* eager value handed to the model (>= 1); -2 selects hybrid mode [-1] */
  double silence_s;         /* silence that ends an utterance; negative: only an explicit end [0.6] */
  int32_t ramp_end;         /* ramp frames after a natural end [6] */
  int32_t ramp_interrupt;   /* ramp frames after an interrupt [4] */
} qo_utt_opts;

/* What a pulled frame is. */
typedef struct qo_utt_frame_info {
  int64_t frame_no;   /* running number of the frame in this instance (gaps only after interrupts) */
  int32_t kind;       /* 0 idle, 1 speech, 2 ramp */
  int32_t driver_idx; /* driver-video frame underneath */
  int32_t seq;        /* speech frame number within its utterance; -1 for idle and ramp frames */
} qo_utt_frame_info;

typedef struct qo_utt_stats {
  int64_t frames;        /* frames pulled by the host */
  int64_t speech_frames; /* of those, speech frames */
  int64_t utterances;    /* utterances whose first speech frame reached the ring */
  double first_frame_ms; /* latest utterance: first pushed audio to first speech frame in the ring */
  double render_ms;      /* moving average of the per-frame speech render time */
  int32_t state;         /* 0 idle, 1 speech starting, 2 speaking, 3 ramping */
  int32_t reserved;      /* 0 */
} qo_utt_stats;

/* Creates an instance on ctx (not owned). Returns NULL with the last-error text set
 * ("qo_utt_create: NULL ctx/opts", "qo_utt_create: opts.motion_dir required", ...). */
QO_API qo_utt* qo_utt_create(qo_ctx* ctx, const qo_utt_opts* opts);
/* qo_utt_create with default options and the given motion directory. */
QO_API qo_utt* qo_utt_open(qo_ctx* ctx, const char* motion_dir);
/* Stops and joins the instance's threads and frees it; NULL is ignored. */
QO_API void qo_utt_destroy(qo_utt* u);
/* The calling thread's last-error text of this family; never NULL. */
QO_API const char* qo_utt_last_error(void);

/* 1 once the motion model is loaded, 0 while it loads, -1 for NULL or when loading failed (the
 * last-error text then holds the load error). Audio pushed before 1 is discarded. */
QO_API int qo_utt_ready(qo_utt* u);
/* Appends n mono 16 kHz samples (each / 32768). Returns 1, or 0 ("qo_utt_push_audio: bad args")
 * for a NULL instance or pcm or n < 0; n = 0 only refreshes the push time. */
QO_API int qo_utt_push_audio(qo_utt* u, const int16_t* pcm, int n);
/* Ends the current utterance: remaining speech frames and the ramp still follow. */
QO_API void qo_utt_end_utterance(qo_utt* u);
/* Drops pushed audio and every undelivered frame at once, then ramps back to idle. */
QO_API void qo_utt_interrupt(qo_utt* u);
/* Finished frames waiting (0..8); 0 for NULL. */
QO_API int qo_utt_frames_available(qo_utt* u);
/* Copies the oldest finished frame (W x H x 3 packed RGB) into dst and describes it in info (may
 * be NULL). Returns 1, or 0: empty ring (no error), "qo_utt_pull_frame: bad args", or
 * "qo_utt_pull_frame: buffer too small" (the frame stays for the next pull). */
QO_API int qo_utt_pull_frame(qo_utt* u, uint8_t* dst, size_t cap, qo_utt_frame_info* info);
/* Copies the statistics; nothing happens when either pointer is NULL. */
QO_API void qo_utt_get_stats(qo_utt* u, qo_utt_stats* out);
/* -1 when a fatal render failure was recorded, else 0 (also for NULL). failures (if not NULL)
 * receives the number of failures; msg (if not NULL and cap > 0) the latest text, truncated. */
QO_API int qo_utt_render_status(qo_utt* u, char* msg, int cap, int64_t* failures);

/* Teeth borrow. Attaches a donor bank to a running instance: from then on every rendered crop
 * passes through the borrow one frame late and leaves with the borrowed mouth window written in.
 * The arrays are those of a qo_tessera_members record (qo/qo_tessera.h) with the bands decoded
 * into donor order; they are copied, the caller keeps ownership. Any host thread may call these
 * functions while the instance runs (they take the instance's lock); not concurrently with
 * qo_utt_destroy. A borrow that fails on a frame is marked degraded (reported by
 * qo_utt_tessera_stats until the next attach) and frames go on without it.
 *
 * qo_utt_tessera_attach: bands (n_donors x band_h x band_w x 3), cent (2 x n_donors), c_canon (2),
 * aperture (n_donors), stamp (12 values), head weights (head_pt_len bytes), head config and
 * manifest texts. Returns 0, or non-zero with the message (at most err_len - 1 characters and a
 * NUL) in err; the instance then keeps its previous borrow. An attach replaces an earlier borrow
 * and resets its counts. n_donors is capped at 1,024 as in the member carriage. */
QO_API int qo_utt_tessera_attach(qo_utt* u, const uint8_t* bands, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len);
/* 0 when no borrow is attached (also for NULL), 1 when attached and never degraded, -1 when
 * degraded. written / skipped (each may be NULL) receive the frames delivered with and without the
 * borrow; reason (if not NULL and reason_len > 0) the last degradation reason, truncated. */
QO_API int qo_utt_tessera_stats(qo_utt* u, int64_t* written, int64_t* skipped, char* reason, int reason_len);
/* 1 when a borrow is attached and at least one frame had delivery pixels, else 0. mean receives the
 * mean of the per-frame synthesis means, max their maximum, frames the frame count (each may be
 * NULL); the three come from one consistent snapshot. */
QO_API int qo_utt_tessera_synth_w(qo_utt* u, double* mean, double* max, int64_t* frames);
/* Copies the corpus geometry name chosen at attach ("v1", "v2" or "v3"; empty before) into buf.
 * 1 when a borrow is attached; 0 otherwise, for NULL, for a NULL buf or a len below 1. */
QO_API int qo_utt_tessera_geometry(qo_utt* u, char* buf, int len);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QO_QO_UTT_H */
