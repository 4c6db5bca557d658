#include "audio/qo_audio_norm.h"

#include <cmath>

namespace qo::audio {

void normaliseWindow(float* x, size_t count) {
  if (count == 0) return;
  double sum = 0.0;
  for (size_t i = 0; i < count; ++i) sum += x[i];
  const double mean = sum / double(count);
  double sq = 0.0;
  for (size_t i = 0; i < count; ++i) {
    const double d = double(x[i]) - mean;
    sq += d * d;
  }
  const double var = sq / double(count);
  const double inv = 1.0 / double(std::sqrt(float(var + 1e-7)));
  for (size_t i = 0; i < count; ++i) x[i] = float((double(x[i]) - mean) * inv);
}

}  // namespace qo::audio
