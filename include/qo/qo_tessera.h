/*
 * Teeth-borrow members of a bundle (libqo_core).
 *
 * A bundle that supports the teeth borrow carries four members: the donor bank track, its JSON
 * sidecar, the blend-head weights and the blend-head config. The carriage functions report which
 * of them are present without reading them; the members functions load and cross-check all four.
 *
 *   char err[512];
 *   qo_tessera_members* m = qo_tessera_members_open("avatar", err, sizeof err);
 *   if (!m) { fprintf(stderr, "%s\n", err); return 1; }
 *   printf("%d donors, band %dx%d\n", qo_tessera_members_n_donors(m),
 *          qo_tessera_members_band_w(m), qo_tessera_members_band_h(m));
 *   qo_tessera_members_close(m);
 *
 * Ownership: a handle belongs to the caller until its close function. Pointers and strings a
 * getter returns belong to the handle: arrays stay valid until close, strings until the next call
 * on the same handle or its close.
 * Thread-safety: handles are immutable after open, except for the string the carriage path
 * getter stores; use one handle from one thread at a time. Different handles are independent.
 * Errors: these functions never touch qo_last_error(); the open and reorder functions copy their
 * message into a caller buffer (at most len - 1 characters and a NUL, nothing when the buffer is
 * NULL or len < 1). No C++ exception leaves them.
 *
 * The C++ declarations (namespace qo::tessera) follow the C part when compiled as C++.
 */
#ifndef QO_QO_TESSERA_H
#define QO_QO_TESSERA_H

#include <stddef.h>
#include <stdint.h>

#include "qo/qo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Which members a bundle carries (no content read). Opaque. */
typedef struct qo_tessera_carriage qo_tessera_carriage;
/* The four members loaded and cross-checked. Opaque. */
typedef struct qo_tessera_members qo_tessera_members;

/* Number of member slots: 4. */
QO_API int qo_tessera_slot_count(void);
/* Slot key of slot `index` ("bank_track", "bank_sidecar", "head_weights", "head_config"), a
 * static string; NULL when index < 0 or index >= 4. */
QO_API const char* qo_tessera_slot_key(int index);

/* Looks for the members of `bundle_dir` (a directory or IMX container). Absent members are not
 * an error. Returns a new handle; NULL only for a NULL path or when memory runs out. When the
 * bundle cannot be resolved at all the handle reports all four members missing. */
QO_API qo_tessera_carriage* qo_tessera_carriage_open(const char* bundle_dir);
/* Frees a carriage handle; NULL is ignored. */
QO_API void qo_tessera_carriage_close(qo_tessera_carriage* c);
/* 1 when all four members open, else 0 (0 for NULL). */
QO_API int qo_tessera_carriage_complete(const qo_tessera_carriage* c);
/* 1 when the manifest declares a "tessera" block, else 0 (0 for NULL). */
QO_API int qo_tessera_carriage_declared(const qo_tessera_carriage* c);
/* Resolved path of slot `slot_key`; "" for a NULL argument or an unknown key. The string is
 * stored in the handle and valid until the next call of this function on it or its close. */
QO_API const char* qo_tessera_carriage_path(qo_tessera_carriage* c, const char* slot_key);
/* Number of missing members (0 for NULL). */
QO_API int qo_tessera_carriage_missing_count(const qo_tessera_carriage* c);
/* Slot key of the index-th missing member (slot order), or NULL (NULL handle, index out of range). */
QO_API const char* qo_tessera_carriage_missing(const qo_tessera_carriage* c, int index);

/* Loads the members of `bundle_dir`. Returns a new handle, or NULL with the reason copied into
 * `err` (a missing member, a sidecar/manifest inconsistency, "qo_tessera_members_open: null
 * bundle_dir", "... out of memory"). */
QO_API qo_tessera_members* qo_tessera_members_open(const char* bundle_dir, char* err, int err_len);
/* Frees a members handle; NULL is ignored. */
QO_API void qo_tessera_members_close(qo_tessera_members* m);

/* Getters: 0, NULL or "" for a NULL handle (and NULL for an empty array). */
QO_API int32_t qo_tessera_members_n_donors(const qo_tessera_members* m);
QO_API const double* qo_tessera_members_cent(const qo_tessera_members* m);      /* 2 x n_donors: x, y */
QO_API const double* qo_tessera_members_c_canon(const qo_tessera_members* m);   /* 2 */
QO_API const double* qo_tessera_members_aperture(const qo_tessera_members* m);  /* n_donors */
/* The twelve stamp values: canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad,
 * band_r0, band_r1, band_c0, band_c1, shift_margin. */
QO_API const int32_t* qo_tessera_members_stamp(const qo_tessera_members* m);
QO_API const uint8_t* qo_tessera_members_head_pt(const qo_tessera_members* m);
QO_API uint32_t qo_tessera_members_head_pt_len(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_head_json(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_manifest_json(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_lip_template_json(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_bank_track_path(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_bank_container(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_bank_codec(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_bank_pix_fmt(const qo_tessera_members* m);
QO_API const char* qo_tessera_members_bank_packing(const qo_tessera_members* m);
QO_API int32_t qo_tessera_members_band_w(const qo_tessera_members* m);
QO_API int32_t qo_tessera_members_band_h(const qo_tessera_members* m);
/* n_donors x band_h x band_w x 3: the size of a band buffer. */
QO_API uint64_t qo_tessera_members_band_bytes(const qo_tessera_members* m);

/* Copies a band buffer in track order (as decoded) into donor order; both buffers hold
 * qo_tessera_members_band_bytes bytes and must not overlap. Returns 0, or 1 with the reason in
 * `err` ("qo_tessera_members_reorder: null argument", ...). */
QO_API int qo_tessera_members_reorder(const qo_tessera_members* m, const uint8_t* track_bands, uint8_t* donor_bands,
                                      char* err, int err_len);

/* Runs the teeth pass over a whole clip, without an utterance instance.
 *   bands        n_donors x band_h x band_w x 3 bytes, donor order (qo_tessera_members_reorder)
 *   cent         2 x n_donors (x, y); c_canon 2; aperture n_donors; stamp the twelve values
 *   head_pt      the head-weights member (head_pt_len bytes); head_json the head-config text
 *   canvases     n_frames x canvas_h x canvas_w x 3 bytes (RGB24), back to back
 *   masks        n_frames x canvas_h x canvas_w bytes: the delivered mouth mask of each frame
 *   shifts       n_frames x (row, column) mouth shifts, or NULL; a row of -10000 derives that
 *                frame's shift from its mask
 *   out_windows  n_frames x window_h x window_w x 3 bytes; a skipped frame's window is not written
 *   out_flags    n_frames values: 1 when the frame was passed through without a borrow, else 0
 * Returns 0, or non-zero with the reason in `err`. Thread-safe (no shared state); runs on the
 * engine pool. */
QO_API int qo_tessera_run_shift(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                                const char* head_json, const uint8_t* canvases, const uint8_t* masks,
                                const int32_t* shifts, int n_frames, uint8_t* out_windows, uint32_t* out_flags,
                                char* err, int err_len);
/* qo_tessera_run_shift with every shift derived from its mask. */
QO_API int qo_tessera_run(const uint8_t* bands, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                          const char* head_json, const uint8_t* canvases, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, uint32_t* out_flags, char* err, int err_len);

#ifdef __cplusplus
}  // extern "C"

#include <string>
#include <vector>

namespace qo::tessera {

// Decodes the bank track (the whole member in memory) into n x h x w x 3 RGB24 bytes in donor
// order: track frame k lands in donor slot track_order[k]. Refuses, by std::runtime_error, a track
// whose size, frame count or decoded pixel format (FFmpeg's name, e.g. "gbrp") differs from the
// stamp and sidecar. Thread-safe; allocates only its own decoder.
QO_API std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int w, int h,
                                            const std::vector<int32_t>& track_order, const std::string& pix_fmt);

// "libavcodec <version built against> / <the library's configuration string>".
QO_API std::string bankDecoderBuild();

}  // namespace qo::tessera
#endif

#endif /* QO_QO_TESSERA_H */
