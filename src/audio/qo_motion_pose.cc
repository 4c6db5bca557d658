#include "audio/qo_motion_pose.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qo::audio {

void sourceMotionRow(const float* desc, float* row) {
  row[kRowScale] = desc[kDescScale] - 1.0f;
  std::memcpy(row + kRowPitch, desc + kDescPitch, sizeof(float) * kAngleBins);
  std::memcpy(row + kRowYaw, desc + kDescYaw, sizeof(float) * kAngleBins);
  std::memcpy(row + kRowRoll, desc + kDescRoll, sizeof(float) * kAngleBins);
  std::memcpy(row + kRowT, desc + kDescT, sizeof(float) * 3);
  std::memcpy(row + kRowExp, desc + kDescExp, sizeof(float) * 63);
}

float binAngle(const float* bins) {
  float hi = bins[0];
  for (int i = 1; i < kAngleBins; ++i) hi = std::max(hi, bins[i]);
  double sum = 0, weighted = 0;
  for (int i = 0; i < kAngleBins; ++i) {
    const double e = std::exp(double(bins[i]) - hi);  // shifted: no overflow for large logits
    sum += e;
    weighted += e * i;
  }
  return float(3.0 * (weighted / sum) - 97.5);
}

Rotation rotation(float pitch, float yaw, float roll) {
  constexpr double kRad = 3.14159265358979323846 / 180.0;
  const double p = pitch * kRad, y = yaw * kRad, r = roll * kRad;
  const double sp = std::sin(p), cp = std::cos(p), sy = std::sin(y), cy = std::cos(y), sr = std::sin(r),
               cr = std::cos(r);
  return {float(cy * cr),           float(cy * sr),           float(-sy),
          float(-sr * cp + sp * sy * cr), float(cp * cr + sp * sy * sr), float(sp * cy),
          float(sp * sr + cp * sy * cr),  float(-cr * sp + cp * sy * sr), float(cp * cy)};
}

void frameKeypoints(const float* q, const float* expD, float deltaPitch, float* xs, float* xd) {
  const float pitch = binAngle(q + kDescPitch), yaw = binAngle(q + kDescYaw), roll = binAngle(q + kDescRoll);
  const Rotation rs = rotation(pitch, yaw, roll), rd = rotation(pitch + deltaPitch, yaw, roll);
  const float scale = q[kDescScale], t0 = q[kDescT], t1 = q[kDescT + 1];
  for (int i = 0; i < 21; ++i) {
    const float* k = q + kDescKp + 3 * i;
    for (int c = 0; c < 3; ++c) {
      const float ks = k[0] * rs[size_t(c)] + k[1] * rs[size_t(3 + c)] + k[2] * rs[size_t(6 + c)];
      const float kd = k[0] * rd[size_t(c)] + k[1] * rd[size_t(3 + c)] + k[2] * rd[size_t(6 + c)];
      const float shift = c == 0 ? t0 : c == 1 ? t1 : 0.0f;
      xs[3 * i + c] = (ks + q[kDescExp + 3 * i + c]) * scale + shift;
      xd[3 * i + c] = (kd + expD[3 * i + c]) * scale + shift;
    }
  }
}

void drivingExpression(const float* qExp, const float* e, const float* e0, float ratio, float* expD) {
  std::memcpy(expD, qExp, sizeof(float) * 63);
  for (int k : kLipKeypoints)
    for (int c = 0; c < 3; ++c) {
      const int j = 3 * k + c;
      expD[j] = qExp[j] + ratio * (e[j] - e0[j]);
    }
}

void prepareRow(const float* rows, int count, int f, const float* vMinMax, float* out) {
  const float* row = rows + size_t(f) * 265;
  std::memcpy(out, row, sizeof(float) * 265);
  // Neighbour indices are clamped, so the edge rows count twice in their own mean.
  const float* prev = rows + size_t(std::max(0, f - 1)) * 265;
  const float* next = rows + size_t(std::min(count - 1, f + 1)) * 265;
  for (int j = 0; j < kRowExp; ++j) out[j] = (prev[j] + row[j] + next[j]) / 3.0f;
  for (int j = 0; j < 265; ++j) out[j] = std::min(std::max(out[j], vMinMax[j]), vMinMax[265 + j]);
}

}  // namespace qo::audio
