#include "paste/qo_paste_tables.h"

#include <cmath>

namespace qo::paste {
namespace {

constexpr int kLanczosTaps = 8;
constexpr int kLanczosTapsBefore = 3;

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); }

double phaseOf(int j) { return double(j) / kPhases; }

}  // namespace

std::vector<float> lanczosTable() {
  std::vector<float> tab(size_t(kPhases) * kLanczosTaps, 0.0f);
  // sin(pi k) is not exactly 0 in double, so phase 0 is set rather than computed.
  tab[kLanczosTapsBefore] = 1.0f;
  for (int j = 1; j < kPhases; ++j) {
    const double p = phaseOf(j);
    double w[kLanczosTaps], sum = 0.0;
    for (int k = 0; k < kLanczosTaps; ++k) {
      const double t = p + kLanczosTapsBefore - k;
      w[k] = sinc(t) * sinc(t / 4.0);
      sum += w[k];
    }
    for (int k = 0; k < kLanczosTaps; ++k) tab[size_t(j) * kLanczosTaps + k] = float(w[k] / sum);
  }
  return tab;
}

std::vector<float> bilinearTable() {
  std::vector<float> tab(size_t(kPhases) * 2);
  for (int j = 0; j < kPhases; ++j) {
    const double p = phaseOf(j);
    tab[2 * size_t(j)] = float(1.0 - p);
    tab[2 * size_t(j) + 1] = float(p);
  }
  return tab;
}

std::vector<float> cubicTable() {
  std::vector<float> tab(size_t(kPhases) * 4);
  for (int j = 0; j < kPhases; ++j) {
    const double p = phaseOf(j), q = 1.0 - p;
    const double w0 = ((-0.75 * (p + 1.0) + 3.75) * (p + 1.0) - 6.0) * (p + 1.0) + 3.0;
    const double w1 = (1.25 * p - 2.25) * (p * p) + 1.0;
    const double w2 = (1.25 * q - 2.25) * (q * q) + 1.0;
    const double w3 = 1.0 - w0 - w1 - w2;
    float* row = tab.data() + 4 * size_t(j);
    row[0] = float(w0);
    row[1] = float(w1);
    row[2] = float(w2);
    row[3] = float(w3);
  }
  return tab;
}

std::vector<float> gaussianWeights(int ksize, float sigma) {
  std::vector<double> g(static_cast<size_t>(ksize));
  const double c = (ksize - 1) / 2.0, s = sigma;
  double sum = 0.0;
  for (int i = 0; i < ksize; ++i) {
    g[size_t(i)] = std::exp(-((i - c) * (i - c)) / (2.0 * s * s));
    sum += g[size_t(i)];
  }
  std::vector<float> out(static_cast<size_t>(ksize));
  for (int i = 0; i < ksize; ++i) out[size_t(i)] = float(g[size_t(i)] / sum);
  return out;
}

}  // namespace qo::paste
