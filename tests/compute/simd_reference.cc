#include "compute/simd_reference.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace qo::ref {
namespace {

// Nearest integer to a non-negative double that holds at most 53 significant bits, ties to even.
double roundHalfEven(double q) {
  const double lower = std::floor(q);
  const double frac = q - lower;  // exact
  if (frac > 0.5) return lower + 1.0;
  if (frac < 0.5) return lower;
  return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

float halfBitsValue(uint16_t h) { return f16ToF32(h); }

// One axis of a grid-sample point: the fraction and the two border-clamped tap indices.
struct SampleAxis {
  float frac;
  int i0, i1;
};

SampleAxis gridSampleAxis(float g, int size) {
  float p = ((g + 1.0f) * 0.5f) * float(size) - 0.5f;
  if (std::isnan(p)) p = -1.0f;
  const float fl = std::floor(p);
  SampleAxis a{p - fl, 0, 0};
  if (fl >= 0.0f) {
    const float last = float(size - 1);
    a.i0 = int(std::min(fl, last));
    a.i1 = int(std::min(fl + 1.0f, last));
  }
  return a;
}

// One axis of a warp point: the correction weight q, then as above.
struct WarpAxis {
  float q;
  SampleAxis taps;
};

WarpAxis warpAxis(float g, int size) {
  float p = ((g + 1.0f) * float(size) - 1.0f) * 0.5f;
  if (std::isnan(p)) p = -1.0f;
  const float t = p - std::floor(p);
  WarpAxis a{((1.0f - t) * t) * 0.5f, {0.0f, 0, 0}};
  if (p >= 0.0f) {
    const float c = std::min(p, float(size - 1));
    const float x0 = std::floor(c);
    a.taps = {c - x0, int(x0), std::min(int(x0) + 1, size - 1)};
  }
  return a;
}

float secondDifference(float a, float b, float c) { return (a - 2.0f * b) + c; }

}  // namespace

uint16_t f32ToF16(float f) {
  const uint32_t bits = std::bit_cast<uint32_t>(f);
  const uint16_t sign = (bits >> 31) ? 0x8000 : 0;
  if (std::isnan(f)) return uint16_t(sign | 0x7C00 | 0x0200 | ((bits >> 13) & 0x03FF));
  const double a = std::fabs(double(f));
  // 65504 is the largest half and 65520 the midpoint to the next power of two: ties go to the
  // even significand, which is the overflow.
  if (a >= 65520.0) return uint16_t(sign | 0x7C00);
  if (a < 0x1p-14) {
    // Subnormal range: a whole number of 2^-24 units; 1024 units is the smallest normal.
    return uint16_t(sign | uint16_t(roundHalfEven(std::ldexp(a, 24))));
  }
  int e = 0;
  std::frexp(a, &e);  // a = m 2^e, m in [0.5, 1)
  int exponent = e - 1;
  double significand = roundHalfEven(std::ldexp(a, 10 - exponent));  // in [1024, 2048]
  if (significand == 2048.0) {
    significand = 1024.0;
    ++exponent;
  }
  return uint16_t(sign | ((exponent + 15) << 10) | (int(significand) - 1024));
}

float f16ToF32(uint16_t h) {
  const bool negative = (h & 0x8000) != 0;
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  if (exponent == 0x1F) {
    // Infinity or NaN: all exponent bits set, the payload moved to the top of the mantissa.
    const uint32_t bits = (negative ? 0x80000000u : 0u) | 0x7F800000u | (uint32_t(mantissa) << 13);
    return std::bit_cast<float>(bits);
  }
  const double magnitude = exponent == 0 ? std::ldexp(double(mantissa), -24)
                                         : std::ldexp(double(1024 + mantissa), exponent - 25);
  return float(negative ? -magnitude : magnitude);
}

float roundToHalf(float x) { return f16ToF32(f32ToF16(x)); }

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb) {
  const auto clamp = [](int value) { return uint8_t(std::clamp(value, 0, 255)); };
  for (int i = 0; i < width; ++i) {
    const int Y = y[i];
    const int U = u[chromaStep * (i / 2)];
    const int V = v[chromaStep * (i / 2)];
    const int C = 298 * (Y - 16) + 128;
    const int D = U - 128;
    const int E = V - 128;
    rgb[3 * i] = clamp((C + 409 * E) >> 8);
    rgb[3 * i + 1] = clamp((C - 208 * E - 100 * D) >> 8);
    rgb[3 * i + 2] = clamp((C + 516 * D) >> 8);
  }
}

void lanczosSample(const float* crop, int side, const float* lanczosTab, int ix, int iy, int fx, int fy,
                   float out[3]) {
  const float* wx = lanczosTab + 8 * fx;
  const float* wy = lanczosTab + 8 * fy;
  for (int c = 0; c < 3; ++c) {
    float acc = 0.0f;
    for (int s = 0; s < 8; ++s) {
      const int row = iy - 3 + s;
      if (row < 0 || row >= side) continue;
      float r = 0.0f;
      for (int t = 0; t < 8; ++t) {
        const int col = ix - 3 + t;
        if (col < 0 || col >= side) continue;
        r += crop[(size_t(row) * side + col) * 4 + c] * wx[t];
      }
      acc += r * wy[s];
    }
    out[c] = acc;
  }
}

void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab,
                      const float* bilinTab, const int* mapX, const int* mapY, int offX, int offY, int x0, int x1,
                      uint8_t* outRow) {
  const auto maskAt = [&](int cx, int cy) {
    return (cx < 0 || cx >= side || cy < 0 || cy >= side) ? 0.0f : float(mask[size_t(cy) * side + cx]);
  };
  for (int x = x0; x <= x1; ++x) {
    const int k = x - x0;
    const int px = mapX[k] + offX;
    const int py = mapY[k] + offY;
    const int ix = px >> 10;
    const int iy = py >> 10;
    const int fx = (px & 1023) >> 5;
    const int fy = (py & 1023) >> 5;
    if (!(px >= -1024 && ix < side && py >= -1024 && iy < side)) continue;

    const float a0 = bilinTab[2 * fx], a1 = bilinTab[2 * fx + 1];
    const float b0 = bilinTab[2 * fy], b1 = bilinTab[2 * fy + 1];
    const float top = (a1 * maskAt(ix + 1, iy) + a0 * maskAt(ix, iy)) * b0;
    const float m = (a1 * maskAt(ix + 1, iy + 1) + a0 * maskAt(ix, iy + 1)) * b1 + top;
    const float alpha = std::nearbyint(m) / 255.0f;
    if (alpha <= 0.0f) continue;

    float acc[3];
    lanczosSample(crop, side, lanczosTab, ix, iy, fx, fy, acc);
    for (int c = 0; c < 3; ++c) {
      const float old = outRow[3 * x + c];
      const float o = old * (1.0f - alpha) + acc[c] * alpha;
      uint8_t byte;
      if (std::isnan(o) || o < 0.0f) {
        byte = 0;
      } else if (o > 255.0f) {
        byte = 255;
      } else {
        byte = uint8_t(std::trunc(o));
      }
      outRow[3 * x + c] = byte;
    }
  }
}

float channelDistance(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float d[3];
  for (size_t c = 0; c < 3; ++c) {
    d[c] = std::fabs(roundToHalf(halfBitsValue(a[c * n + i]) - halfBitsValue(b[c * n + i])));
  }
  float s = d[0];
  s += d[1];
  s += d[2];
  return roundToHalf(s / 3.0f);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += roundToHalf(halfBitsValue(w[i]) * channelDistance(a, b, n, i));
  return sum;
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                             size_t end) {
  float sum = 0.0f;
  for (size_t i = begin; i < end; ++i) {
    if (w[i] == 0.0f) continue;
    sum += w[i] * channelDistance(a, b, n, i);
  }
  return sum;
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int lo, int hi) {
  (void)N;
  if (Cout < 1) return;
  const size_t plane = size_t(H) * W;
  for (int k = lo; k < hi; ++k) {
    const int nb = k / Cout;
    const int oc = k % Cout;
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        float acc = 0.0f;
        for (int ky = 0; ky < 3; ++ky) {
          const int row = y + ky - 1;
          if (row < 0 || row >= H) continue;
          for (int kx = 0; kx < 3; ++kx) {
            const int col = x + kx - 1;
            if (col < 0 || col >= W) continue;
            for (int ci = 0; ci < Cin; ++ci) {
              acc += weights[((size_t(oc) * Cin + ci) * 3 + ky) * 3 + kx] *
                     in[(size_t(nb) * Cin + ci) * plane + size_t(row) * W + col];
            }
          }
        }
        out[size_t(k) * plane + size_t(y) * W + x] = bias[oc] + acc;
      }
    }
  }
}

void gridSampleRows(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg, int rowBegin,
                    int rowEnd) {
  const size_t plane = size_t(H) * W, outPlane = size_t(Hg) * Wg;
  for (int i = std::max(rowBegin, 0); i < std::min(rowEnd, Hg); ++i) {
    for (int j = 0; j < Wg; ++j) {
      const size_t o = size_t(i) * Wg + j;
      const SampleAxis ax = gridSampleAxis(grid[2 * o], W);
      const SampleAxis ay = gridSampleAxis(grid[2 * o + 1], H);
      const float w00 = (1.0f - ax.frac) * (1.0f - ay.frac);
      const float w01 = ax.frac * (1.0f - ay.frac);
      const float w10 = (1.0f - ax.frac) * ay.frac;
      const float w11 = ax.frac * ay.frac;
      for (int c = 0; c < C; ++c) {
        const float* X = x + c * plane;
        const auto at = [&](int r, int q) { return X[size_t(r) * W + q]; };
        y[c * outPlane + o] = ((w00 * at(ay.i0, ax.i0) + w01 * at(ay.i0, ax.i1)) + w10 * at(ay.i1, ax.i0)) +
                              w11 * at(ay.i1, ax.i1);
      }
    }
  }
}

void warpDirectorRows(const float* x, const float* grid, float* y, int H, int W, int Hg, int Wg, int rowBegin,
                      int rowEnd) {
  const size_t plane = size_t(H) * W, outPlane = size_t(Hg) * Wg;
  for (int i = std::max(rowBegin, 0); i < std::min(rowEnd, Hg); ++i) {
    for (int j = 0; j < Wg; ++j) {
      const size_t o = size_t(i) * Wg + j;
      const WarpAxis ax = warpAxis(grid[2 * o], W);
      const WarpAxis ay = warpAxis(grid[2 * o + 1], H);
      const float fx = ax.taps.frac, fy = ay.taps.frac;
      const float w[4] = {(1.0f - fx) * (1.0f - fy), fx * (1.0f - fy), (1.0f - fx) * fy, fx * fy};
      const int rows[4] = {ay.taps.i0, ay.taps.i0, ay.taps.i1, ay.taps.i1};
      const int cols[4] = {ax.taps.i0, ax.taps.i1, ax.taps.i0, ax.taps.i1};
      const auto interpolate = [&](const float a[4]) {
        return ((w[0] * a[0] + w[1] * a[1]) + w[2] * a[2]) + w[3] * a[3];
      };
      for (int c = 0; c < 3; ++c) {
        const float* X = x + c * plane;
        float v[4], dxx[4], dyy[4], dxxyy[4];
        for (int t = 0; t < 4; ++t) {
          // p(dr, dq): the edge-clamped neighbour of tap t.
          const auto p = [&](int dr, int dq) {
            const int r = std::clamp(rows[t] + dr, 0, H - 1), q = std::clamp(cols[t] + dq, 0, W - 1);
            return X[size_t(r) * W + q];
          };
          const auto column = [&](int dq) { return secondDifference(p(-1, dq), p(0, dq), p(1, dq)); };
          v[t] = p(0, 0);
          dxx[t] = secondDifference(p(0, -1), p(0, 0), p(0, 1));
          dyy[t] = secondDifference(p(-1, 0), p(0, 0), p(1, 0));
          dxxyy[t] = secondDifference(column(-1), column(0), column(1));
        }
        const float V = interpolate(v), Dxx = interpolate(dxx), Dyy = interpolate(dyy), Dxxyy = interpolate(dxxyy);
        y[c * outPlane + o] = ((ax.q * ay.q) * Dxxyy) + ((V - ax.q * Dxx) - ay.q * Dyy);
      }
    }
  }
}

}  // namespace qo::ref
