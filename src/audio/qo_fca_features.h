// The numeric steps of qo_fca between the frontend and the stream graph: window normalisation in
// single precision, the running speech-normalisation and the 7-frame context.
#pragma once

#include <cstddef>
#include <vector>

namespace qo::audio {

inline constexpr int kFcaLayers[] = {4, 5, 6, 7, 8, 9};          // frontend layers averaged per frame
inline constexpr int kFcaOffsets[] = {-1, 0, 1, 2, 3, 4, 5};     // context frames around frame t
inline constexpr int kFcaContext = 7;
inline constexpr int kFcaWidth = 768;                            // feature values per frame
inline constexpr int kFcaCond = kFcaContext * kFcaWidth;         // 5376
inline constexpr int kFcaDeltas = 63;
inline constexpr int kFcaState = 384;

// (x - mean) / sqrt(variance + 1e-7) over all `count` values, mean and variance accumulated in
// single precision in index order (the stream graph was fitted on features of windows normalised
// this way, not with the double-precision sums qo_a2x uses).
void normaliseWindowSingle(float* x, size_t count);

// Speech-normalises `frames` rows of `width` floats in place, in frame order: the norm of each
// row joins the history; the threshold is 0 up to frame 6, then the 20th percentile of the norms
// of frames 0..t (linear between the two nearest ranks); a row whose norm exceeds it joins the
// running mean, and every row becomes itself minus that mean (taken after the row joined).
void speechNormalise(float* rows, int frames, int width);

// The stream graph's "cond" for frame t: the rows of frames t + kFcaOffsets[k], each clamped to
// 0 .. frames - 1, back to back (kFcaContext x width floats).
void contextOf(const float* rows, int frames, int width, int t, float* cond);

}  // namespace qo::audio
