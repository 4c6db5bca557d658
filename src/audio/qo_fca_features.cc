#include "audio/qo_fca_features.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qo::audio {

void normaliseWindowSingle(float* x, size_t count) {
  if (count == 0) return;
  float sum = 0.0f;
  for (size_t i = 0; i < count; ++i) sum += x[i];
  const float mean = sum / float(count);
  float sq = 0.0f;
  for (size_t i = 0; i < count; ++i) {
    const float d = x[i] - mean;
    sq += d * d;
  }
  const float var = sq / float(count);
  const float sd = std::sqrt(var + 1e-7f);
  for (size_t i = 0; i < count; ++i) x[i] = (x[i] - mean) / sd;
}

void speechNormalise(float* rows, int frames, int width) {
  std::vector<double> sorted;  // norms of frames 0..t, ascending
  sorted.reserve(size_t(std::max(frames, 0)));
  std::vector<double> sum(size_t(width), 0.0);
  long counter = 0;
  for (int t = 0; t < frames; ++t) {
    float* f = rows + size_t(t) * size_t(width);
    double sq = 0.0;
    for (int j = 0; j < width; ++j) sq += double(f[j]) * double(f[j]);
    const double norm = std::sqrt(sq);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), norm), norm);
    double threshold = 0.0;
    if (t > 6) {
      const double p = 0.2 * double(t);
      const size_t lo = size_t(std::floor(p)), hi = size_t(std::ceil(p));
      threshold = sorted[lo] + (sorted[hi] - sorted[lo]) * (p - std::floor(p));
    }
    if (norm > threshold) {
      for (int j = 0; j < width; ++j) sum[size_t(j)] += f[j];
      ++counter;
    }
    const double div = double(std::max(counter, 1L));
    for (int j = 0; j < width; ++j) f[j] = float(double(f[j]) - sum[size_t(j)] / div);
  }
}

void contextOf(const float* rows, int frames, int width, int t, float* cond) {
  for (int k = 0; k < kFcaContext; ++k) {
    const int src = std::clamp(t + kFcaOffsets[k], 0, frames - 1);
    std::memcpy(cond + size_t(k) * size_t(width), rows + size_t(src) * size_t(width), sizeof(float) * size_t(width));
  }
}

}  // namespace qo::audio
