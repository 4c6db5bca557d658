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

#ifdef __cplusplus
} /* extern "C" */

namespace qo {
// Keypoint rows per keypoint set fed to the director; a set is kHostKpRows x 3 floats.
inline constexpr int kHostKpRows = 21;
}  // namespace qo

#include "qo/qo_bundle.h"
#endif

#endif /* QO_QO_H */
