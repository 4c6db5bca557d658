// The motion model's pose arithmetic: source motion rows, angles from bins, rotations, the
// per-frame keypoints before stitching, and the prepared motion row of a frame. Pure functions.
#pragma once

#include <array>

namespace qo::audio {

// Offsets in a 328-float motion description.
inline constexpr int kDescExp = 0, kDescKp = 63, kDescPitch = 126, kDescRoll = 192, kDescScale = 258, kDescT = 259,
                     kDescYaw = 262;
// Offsets in a 265-float motion row.
inline constexpr int kRowScale = 0, kRowPitch = 1, kRowYaw = 67, kRowRoll = 133, kRowT = 199, kRowExp = 202;
inline constexpr int kAngleBins = 66;
inline constexpr std::array<int, 6> kLipKeypoints = {6, 12, 14, 17, 19, 20};

using Rotation = std::array<float, 9>;  // row-major

// The 265-float row of a description: scale - 1, pitch, yaw, roll bins, translation, expression.
void sourceMotionRow(const float* desc, float* row);

// Degrees from 66 bins: 3 E - 97.5 with E the softmax expectation of the bin index.
float binAngle(const float* bins);

// R(pitch, yaw, roll) in degrees, rows (cy cr, cy sr, -sy), (-sr cp + sp sy cr, cp cr + sp sy sr,
// sp cy), (sp sr + cp sy cr, -cr sp + cp sy sr, cp cy).
Rotation rotation(float pitch, float yaw, float roll);

// x_s and x_d (63 each) of source description `q` with driving expression `expD` (63):
// (k R + exp) scale + (t0, t1, 0), with Rs for x_s and Rd (pitch + deltaPitch) for x_d.
void frameKeypoints(const float* q, const float* expD, float deltaPitch, float* xs, float* xd);

// Driving expression: the lips of q's expression move by ratio (e - e0); the rest is q's.
void drivingExpression(const float* qExp, const float* e, const float* e0, float ratio, float* expD);

// Motion row f made ready for emission from `rows` (count rows of 265): values [0, 202) averaged
// over rows f - 1, f, f + 1 (indices clamped to the rows present), then all clamped to vMinMax (265
// minima, 265 maxima).
void prepareRow(const float* rows, int count, int f, const float* vMinMax, float* out);

}  // namespace qo::audio
