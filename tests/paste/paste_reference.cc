#include "paste/paste_reference.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace qo::ref {
namespace {

constexpr double kPi = 3.14159265358979323846;

double sinc(double x) { return std::sin(kPi * x) / (kPi * x); }

// Weight of tap k (0 .. 7, crop offset k - 3) at phase j / 32.
float lanczosWeight(int j, int k) {
  if (j == 0) return k == 3 ? 1.0f : 0.0f;
  const double p = j / 32.0;
  double sum = 0.0, mine = 0.0;
  for (int i = 0; i < 8; ++i) {
    const double t = p + 3 - i;
    const double L = sinc(t) * sinc(t / 4);
    sum += L;
    if (i == k) mine = L;
  }
  return float(mine / sum);
}

float bilinearWeight(int j, int k) {
  const double p = j / 32.0;
  return float(k == 0 ? 1 - p : p);
}

float cubicWeight(int j, int k) {
  const double p = j / 32.0;
  const double w0 = ((-0.75 * (p + 1) + 3.75) * (p + 1) - 6) * (p + 1) + 3;
  const double w1 = (1.25 * p - 2.25) * (p * p) + 1;
  const double w2 = (1.25 * (1 - p) - 2.25) * ((1 - p) * (1 - p)) + 1;
  const double w3 = 1 - w0 - w1 - w2;
  const double w[4] = {w0, w1, w2, w3};
  return float(w[k]);
}

std::vector<float> gaussian(int ksize, float sigma) {
  const double c = (ksize - 1) / 2.0;
  std::vector<double> raw;
  double sum = 0.0;
  for (int i = 0; i < ksize; ++i) {
    const double d = i - c;
    raw.push_back(std::exp(-(d * d) / (2.0 * double(sigma) * double(sigma))));
    sum += raw.back();
  }
  std::vector<float> g;
  for (double v : raw) g.push_back(float(v / sum));
  return g;
}

int reflect(int i, int n) {
  if (i < 0) return -i;
  if (i >= n) return 2 * n - 2 - i;
  return i;
}

float clamp255(float v) { return v < 0.0f ? 0.0f : (v > 255.0f ? 255.0f : v); }

std::vector<float> unsharp(const PasteSetup& s, const std::vector<float>& plane, const std::vector<float>& g) {
  const int n = s.side, K = s.ksize, r = K / 2, P = n + K - 1;
  std::vector<float> pad(size_t(P) * P), blurH(size_t(P) * P, 0.0f), out(plane.size());
  for (int i = 0; i < P; ++i)
    for (int j = 0; j < P; ++j) pad[size_t(i) * P + j] = plane[size_t(reflect(i - r, n)) * n + reflect(j - r, n)];
  for (size_t i = 0; i + size_t(K - 1) < pad.size(); ++i) {
    float acc = 0.0f;
    for (int k = 0; k < K; ++k) acc += g[k] * pad[i + k];
    blurH[i] = acc;
  }
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      float blur = 0.0f;
      for (int k = 0; k < K; ++k) blur += g[k] * blurH[size_t(y + k) * P + x];
      const float v = plane[size_t(y) * n + x];
      out[size_t(y) * n + x] = clamp255(v * (1.0f + s.amount) - blur * s.amount);
    }
  }
  return out;
}

// A filter's weights tabulated for the 32 phases.
struct Sampler {
  int taps;
  int first;  // crop offset of tap 0
  std::vector<float> table;
  float weight(int phase, int tap) const { return table[size_t(phase) * taps + tap]; }
};

Sampler tabulate(int taps, int first, float (*weight)(int phase, int tap)) {
  Sampler f{taps, first, {}};
  for (int j = 0; j < 32; ++j)
    for (int t = 0; t < taps; ++t) f.table.push_back(weight(j, t));
  return f;
}

Sampler samplerFor(Sampling m) {
  switch (m) {
    case Sampling::kBicubic: return tabulate(4, -1, cubicWeight);
    case Sampling::kBilinear: return tabulate(2, 0, bilinearWeight);
    default: return tabulate(8, -3, lanczosWeight);
  }
}

// Tap rows summed left to right, then weighted top to bottom; taps outside the crop add
// nothing and the weights stay as they are.
float sample(const Sampler& f, const std::vector<float>& plane, int n, int ix, int iy, int fx, int fy) {
  float acc = 0.0f;
  for (int s = 0; s < f.taps; ++s) {
    const int row = iy + f.first + s;
    if (row < 0 || row >= n) continue;
    float r = 0.0f;
    for (int t = 0; t < f.taps; ++t) {
      const int col = ix + f.first + t;
      if (col < 0 || col >= n) continue;
      r += plane[size_t(row) * n + col] * f.weight(fx, t);
    }
    acc += r * f.weight(fy, s);
  }
  return acc;
}

float maskAt(const std::vector<uint8_t>& mask, int n, int x, int y) {
  if (x < 0 || y < 0 || x >= n || y >= n) return 0.0f;
  return mask[size_t(y) * n + x];
}

}  // namespace

std::vector<std::vector<float>> sharpenedPlanes(const PasteSetup& s, const float* crop, float scale) {
  const size_t area = size_t(s.side) * s.side;
  const std::vector<float> g = gaussian(s.ksize, s.sigma);
  std::vector<std::vector<float>> planes;
  for (int c = 0; c < 3; ++c) {
    std::vector<float> plane(area);
    for (size_t i = 0; i < area; ++i) plane[i] = crop[c * area + i] * scale;
    planes.push_back(unsharp(s, plane, g));
  }
  return planes;
}

void pasteComposite(const PasteSetup& s, const std::vector<uint8_t>& mask, const float* crop, float scale,
                    const float* M, uint8_t* frame, int W, int H) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  if (det == 0) return;

  const int n = s.side;
  const float cx[4] = {-4.0f, n + 3.0f, -4.0f, n + 3.0f}, cy[4] = {-4.0f, -4.0f, n + 3.0f, n + 3.0f};
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const float X = M[0] * cx[i] + M[1] * cy[i] + M[2], Y = M[3] * cx[i] + M[4] * cy[i] + M[5];
    minX = std::min(minX, X), maxX = std::max(maxX, X), minY = std::min(minY, Y), maxY = std::max(maxY, Y);
  }
  const long x0 = std::max(long(std::floor(minX)), 0L), x1 = std::min(long(std::ceil(maxX)), long(W - 1));
  const long y0 = std::max(long(std::floor(minY)), 0L), y1 = std::min(long(std::ceil(maxY)), long(H - 1));
  if (x0 > x1 || y0 > y1) return;

  const std::vector<std::vector<float>> planes = sharpenedPlanes(s, crop, scale);
  const Sampler filter = samplerFor(s.sampling);
  const Sampler coverage = samplerFor(Sampling::kBilinear);
  const double inv = 1 / det;
  const double dudy = -b * inv, dvdy = a * inv;
  const double u0 = -(c * (e * inv) + f * (-b * inv)), v0 = -(c * (-d * inv) + f * (a * inv));
  for (long Y = y0; Y <= y1; ++Y) {
    const long offX = long(std::rint((Y * dudy + u0) * 1024)) + 16;
    const long offY = long(std::rint((Y * dvdy + v0) * 1024)) + 16;
    for (long X = x0; X <= x1; ++X) {
      const long px = long(std::rint(X * (e * inv) * 1024)) + offX;
      const long py = long(std::rint(X * (-d * inv) * 1024)) + offY;
      const long ix = px >> 10, iy = py >> 10;
      if (!(px >= -1024 && ix < n && py >= -1024 && iy < n)) continue;
      const int fx = int((px & 1023) >> 5), fy = int((py & 1023) >> 5);
      const float a0 = coverage.weight(fx, 0), a1 = coverage.weight(fx, 1);
      const float b0 = coverage.weight(fy, 0), b1 = coverage.weight(fy, 1);
      const int i = int(ix), j = int(iy);
      const float m = (a0 * maskAt(mask, n, i, j) + a1 * maskAt(mask, n, i + 1, j)) * b0 +
                      (a0 * maskAt(mask, n, i, j + 1) + a1 * maskAt(mask, n, i + 1, j + 1)) * b1;
      const float alpha = std::rint(m) / 255.0f;
      if (alpha <= 0) continue;
      uint8_t* out = frame + (size_t(Y) * W + X) * 3;
      for (int ch = 0; ch < 3; ++ch) {
        const float o = out[ch] * (1 - alpha) + alpha * sample(filter, planes[ch], n, i, j, fx, fy);
        out[ch] = o < 0 ? 0 : o > 255 ? 255 : uint8_t(o);
      }
    }
  }
}

}  // namespace qo::ref
