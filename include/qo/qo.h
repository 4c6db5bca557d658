/*
 * libqo_core — real-time talking-head video engine.
 *
 * Usage (C):
 *
 *   qo_ctx* ctx = qo_create("avatar.imx", "b1", 0, NULL);
 *   if (!ctx) { fprintf(stderr, "%s\n", qo_last_error()); return 1; }
 *   printf("%dx%d, crop %d, %d source frames\n",
 *          qo_width(ctx), qo_height(ctx), qo_crop(ctx), qo_nt(ctx));
 *   qo_destroy(ctx);
 *
 * Error convention: every function that can fail clears the calling thread's last-error text on
 * entry and, on failure, sets it to "<function>: <reason>" and returns its failure value (NULL, 0
 * or -1 as stated per function). The text is per thread; qo_last_error() never returns NULL. No
 * C++ exception ever leaves these functions.
 *
 * Thread-safety: a qo_ctx is not internally locked; call the functions of one context from one
 * thread at a time. Different contexts are independent.
 *
 * The C++ declarations (namespace qo) follow the C part when compiled as C++.
 */
#ifndef QO_QO_H
#define QO_QO_H

#include <stddef.h>
#include <stdint.h>

#include "qo/qo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One loaded avatar bundle: manifest, identity assets, drive tables, renderer, compositor and the
 * driver-video cursor. Opaque; made by qo_create, freed by qo_destroy. */
typedef struct qo_ctx qo_ctx;

/* Loads a bundle. `bundle_dir` is a bundle directory, an IMX container, or a path whose ".imx"
 * sibling is one (containers are unpacked once into an unwrap directory and reused afterwards).
 * `model_key` selects the director member "model_<key>.onnx". `threads` < 1 means the engine's
 * default thread count. `ep` is the execution provider ("" or NULL for the CPU provider).
 * Returns a new context owned by the caller, or NULL with the last-error text set
 * ("qo_create: ..."). Nothing stays allocated after a failure. */
QO_API qo_ctx* qo_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);

/* Frees a context and everything it owns (joins its threads). NULL is ignored. Does not touch
 * the last-error text. */
QO_API void qo_destroy(qo_ctx* ctx);

/* The calling thread's last-error text: empty when the last core call succeeded, never NULL.
 * Valid until this thread's next core call. */
QO_API const char* qo_last_error(void);

/* Keypoint rows per keypoint set the host feeds the director (21; each row is 3 floats). */
QO_API int qo_host_kp_rows(void);

/* Getters; each returns 0 for a NULL context and never touches the last-error text. */
QO_API int qo_nt(const qo_ctx* ctx);           /* source frames of the identity */
QO_API int qo_width(const qo_ctx* ctx);        /* full-frame width in pixels */
QO_API int qo_height(const qo_ctx* ctx);       /* full-frame height in pixels */
QO_API int qo_crop(const qo_ctx* ctx);         /* side of the square face crop */
QO_API int qo_drive_frames(const qo_ctx* ctx); /* frames in the keypoint drive tables */

/* Resolves `bundle` (directory or container; a container is unpacked) and copies the bundle
 * directory, NUL-terminated, into `out`. Returns 1, or -1: with no message when an argument is
 * NULL or `out_cap` is 0; otherwise with `out` set to "" and the last-error text set
 * ("qo_bundle_resolve_handle: buffer too small" or "qo_bundle_resolve_handle: <reason>"). */
QO_API int qo_bundle_resolve_handle(const char* bundle, char* out, size_t out_cap);

/* Resolves member `member` (current or legacy name) inside bundle `bundle` and copies its path,
 * NUL-terminated, into `out`. Returns 1 when a readable file is there, 0 when the path was
 * copied but no file can be opened, -1 on bad arguments, a too-small buffer or a container that
 * cannot be unpacked (`out` set to "" where it has room). Never touches the last-error text. */
QO_API int qo_bundle_resolve_member(const char* bundle, const char* member, char* out, size_t out_cap);

/* ---- Frames -------------------------------------------------------------------------------
 * A keypoint set is 21 x 3 floats (qo_host_kp_rows() rows). A crop is 3 planes (R, G, B) of crop x crop floats in
 * [0, 1], owned by the context and valid until its next render. Full frames are packed RGB (W x H x 3, stride 3 W) or
 * RGBA (alpha 255). Source indices si are driver-video frame indices, 0 <= si < qo_nt(ctx). These functions must not
 * run concurrently on one context, except qo_render_kp_crop on one thread with qo_paste_crop of a crop copied out of
 * the context on another: they share no mutable state (renderer and last crop / driver cursor and compositor). */

/* Renders one crop of source frame si from source keypoints xs and driving keypoints xd.
 * Returns the crop, or NULL ("qo_render_kp_crop: bad args" or the renderer's failure). */
QO_API const float* qo_render_kp_crop(qo_ctx* ctx, int si, const float* xs, const float* xd);

/* Renders drive-table frame i (0 <= i < qo_drive_frames(ctx)); NULL on failure
 * ("qo_render_drive_crop: bad frame index"). */
QO_API const float* qo_render_drive_crop(qo_ctx* ctx, int i);

/* Copies driver frame si into out (out_cap >= W x H x 3) and composites crop over it. Returns 1,
 * or 0 with out untouched on bad arguments ("qo_paste_crop: bad args / out too small"). */
QO_API int qo_paste_crop(qo_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_cap);

/* Composites the context's last rendered crop over driver frame si into the context's own frame
 * buffer and returns it (valid until the next call that writes it), or NULL
 * ("qo_paste_last: bad args / no prior render"). */
QO_API const uint8_t* qo_paste_last(qo_ctx* ctx, int si);

/* qo_render_kp_crop / qo_render_drive_crop, then the paste, expanded to RGBA into out
 * (out_cap >= W x H x 4, else "qo_render_*_rgba: out buffer too small"). Returns 1 or 0. */
QO_API int qo_render_kp_rgba(qo_ctx* ctx, int si, const float* xs, const float* xd, uint8_t* out, size_t out_cap);
QO_API int qo_render_drive_rgba(qo_ctx* ctx, int i, uint8_t* out, size_t out_cap);

/* Driver frame si as decoded (packed RGB), without a copy: valid while the driver cursor keeps
 * it (at least until the next frame call). NULL on failure ("qo_target_frame: bad args"). */
QO_API const uint8_t* qo_target_frame(qo_ctx* ctx, int si);

/* ---- Warp prior without an engine ------------------------------------------------------------
 * Reads a bundle's HEVC warp prior frame by frame: each row is three binary16 planes (R, G, B)
 * of crop x crop. A qo_prior owns one decoder thread and serves one caller at a time. */
typedef struct qo_prior qo_prior;

/* Opens the prior of bundle_dir with `ahead` frames of look-ahead (< 1 means 2) and `back`
 * frames of history (< 0 means 0); ahead above 64 or back above 256 are refused. Returns a handle
 * owned by the caller (qo_prior_close), or NULL with the last-error text set. */
QO_API qo_prior* qo_prior_open(const char* bundle_dir, int ahead, int back);
/* Bytes of one prior row (crop x crop x 3 x 2); 0 for NULL. */
QO_API size_t qo_prior_row_bytes(const qo_prior* h);
/* Copies prior frame si into out. Returns 1, or 0 ("qo_prior_row: NULL prior/out",
 * "qo_prior_row: cap N < row bytes M", or the decoder's failure). */
QO_API int qo_prior_row(qo_prior* h, int si, uint8_t* out, size_t out_cap);
/* The decoder backend's description; "" for NULL. Owned by the handle. */
QO_API const char* qo_prior_backend(const qo_prior* h);
/* Closes the handle (joins its decoder thread); NULL is ignored. */
QO_API void qo_prior_close(qo_prior* h);

#ifdef __cplusplus
} /* extern "C" */

namespace qo {
// Keypoint rows per keypoint set fed to the director; a set is kHostKpRows x 3 floats.
inline constexpr int kHostKpRows = 21;
}  // namespace qo

#include "qo/qo_bundle.h"
#endif

#endif /* QO_QO_H */
