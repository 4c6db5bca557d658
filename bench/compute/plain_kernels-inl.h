// Bodies of the plain kernels; included by plain_scalar.cc and plain_native.cc with
// QO_PLAIN_NS naming the namespace, each compiled with its own flags.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "compute/plain_kernels.h"

namespace qo::plain::QO_PLAIN_NS {
namespace {

uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// The usual round-to-nearest-even bit conversion.
uint16_t toHalf(float f) {
  const uint32_t x = bitsOf(f);
  const uint32_t sign = (x >> 16) & 0x8000u;
  const uint32_t mag = x & 0x7FFFFFFFu;
  if (mag > 0x7F800000u) return uint16_t(sign | 0x7E00u | ((mag >> 13) & 0x3FFu));
  if (mag >= 0x477FF000u) return uint16_t(sign | 0x7C00u);
  if (mag >= 0x38800000u) return uint16_t(sign | ((mag - 0x38000000u + 0xFFFu + ((mag >> 13) & 1u)) >> 13));
  const uint32_t e = mag >> 23;
  if (e < 101) return uint16_t(sign);
  const uint32_t shift = 126 - e;
  const uint32_t m = (mag & 0x7FFFFFu) | 0x800000u;
  return uint16_t(sign | ((m + (1u << (shift - 1)) - 1u + ((m >> shift) & 1u)) >> shift));
}

float fromHalf(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000u) << 16;
  const uint32_t mag = h & 0x7FFFu;
  if (mag >= 0x7C00u) return floatOf(sign | 0x7F800000u | ((mag & 0x3FFu) << 13));
  if (mag >= 0x0400u) return floatOf(sign | ((mag << 13) + 0x38000000u));
  const float sub = float(mag) * (1.0f / 16777216.0f);
  return sign ? -sub : sub;
}

float roundToHalf(float x) { return fromHalf(toHalf(x)); }

uint8_t clampByte(int v) { return uint8_t(std::clamp(v, 0, 255)); }

float distance(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  const float d0 = std::fabs(roundToHalf(fromHalf(a[i]) - fromHalf(b[i])));
  const float d1 = std::fabs(roundToHalf(fromHalf(a[n + i]) - fromHalf(b[n + i])));
  const float d2 = std::fabs(roundToHalf(fromHalf(a[2 * n + i]) - fromHalf(b[2 * n + i])));
  return roundToHalf((d0 + d1 + d2) / 3.0f);
}

}  // namespace

void f16ToF32(const uint16_t* src, float* dst, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = fromHalf(src[i]);
}

void f32ToF16(const float* src, uint16_t* dst, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = toHalf(src[i]);
}

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* planes, size_t planeStride, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    for (size_t c = 0; c < 3; ++c) planes[c * planeStride + i] = toHalf(float(rgb[3 * i + c]) / 255.0f);
  }
}

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb) {
  for (int i = 0; i < width; ++i) {
    const int C = 298 * (y[i] - 16) + 128;
    const int D = u[chromaStep * (i / 2)] - 128;
    const int E = v[chromaStep * (i / 2)] - 128;
    rgb[3 * i] = clampByte((C + 409 * E) >> 8);
    rgb[3 * i + 1] = clampByte((C - 208 * E - 100 * D) >> 8);
    rgb[3 * i + 2] = clampByte((C + 516 * D) >> 8);
  }
}

void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab,
                      const float* bilinTab, const int* mapX, const int* mapY, int offX, int offY, int x0, int x1,
                      uint8_t* outRow) {
  const auto maskAt = [&](int cx, int cy) {
    return (cx < 0 || cx >= side || cy < 0 || cy >= side) ? 0.0f : float(mask[cy * side + cx]);
  };
  for (int x = x0; x <= x1; ++x) {
    const int px = mapX[x - x0] + offX, py = mapY[x - x0] + offY;
    const int ix = px >> 10, iy = py >> 10;
    if (!(px >= -1024 && ix < side && py >= -1024 && iy < side)) continue;
    const int fx = (px & 1023) >> 5, fy = (py & 1023) >> 5;
    const float a0 = bilinTab[2 * fx], a1 = bilinTab[2 * fx + 1];
    const float b0 = bilinTab[2 * fy], b1 = bilinTab[2 * fy + 1];
    const float top = (a1 * maskAt(ix + 1, iy) + a0 * maskAt(ix, iy)) * b0;
    const float m = (a1 * maskAt(ix + 1, iy + 1) + a0 * maskAt(ix, iy + 1)) * b1 + top;
    const float alpha = std::rint(m) / 255.0f;
    if (alpha <= 0.0f) continue;
    const float* wx = lanczosTab + 8 * fx;
    const float* wy = lanczosTab + 8 * fy;
    float acc[3] = {0.0f, 0.0f, 0.0f};
    for (int s = 0; s < 8; ++s) {
      const int row = iy - 3 + s;
      if (row < 0 || row >= side) continue;
      float r[3] = {0.0f, 0.0f, 0.0f};
      for (int t = 0; t < 8; ++t) {
        const int col = ix - 3 + t;
        if (col < 0 || col >= side) continue;
        const float* p = crop + (row * side + col) * 4;
        for (int c = 0; c < 3; ++c) r[c] += p[c] * wx[t];
      }
      for (int c = 0; c < 3; ++c) acc[c] += r[c] * wy[s];
    }
    for (int c = 0; c < 3; ++c) {
      const float o = outRow[3 * x + c] * (1.0f - alpha) + acc[c] * alpha;
      outRow[3 * x + c] = !(o >= 0.0f) ? 0 : o > 255.0f ? 255 : uint8_t(o);
    }
  }
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += roundToHalf(fromHalf(w[i]) * distance(a, b, n, i));
  return sum;
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    if (w[i] != 0.0f) sum += w[i] * distance(a, b, n, i);
  }
  return sum;
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int lo, int hi) {
  const size_t plane = size_t(H) * W;
  for (int k = lo; k < hi; ++k) {
    const int nb = k / Cout, oc = k % Cout;
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
              acc += weights[((oc * Cin + ci) * 3 + ky) * 3 + kx] * in[(nb * Cin + ci) * plane + row * W + col];
            }
          }
        }
        out[k * plane + y * W + x] = bias[oc] + acc;
      }
    }
  }
}

void conv3x3RangeRowwise(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias,
                         int Cout, float* out, int lo, int hi) {
  const size_t plane = size_t(H) * W;
  std::vector<float> acc(static_cast<size_t>(W));
  for (int k = lo; k < hi; ++k) {
    const int nb = k / Cout, oc = k % Cout;
    for (int y = 0; y < H; ++y) {
      std::fill(acc.begin(), acc.end(), 0.0f);
      for (int ky = 0; ky < 3; ++ky) {
        const int row = y + ky - 1;
        if (row < 0 || row >= H) continue;
        for (int kx = 0; kx < 3; ++kx) {
          // Columns whose tap column is inside the plane.
          const int first = kx == 0 ? 1 : 0, last = kx == 2 ? W - 1 : W;
          for (int ci = 0; ci < Cin; ++ci) {
            const float w = weights[((oc * Cin + ci) * 3 + ky) * 3 + kx];
            const float* src = in + (nb * Cin + ci) * plane + row * W + (kx - 1);
            for (int x = first; x < last; ++x) acc[x] += w * src[x];
          }
        }
      }
      float* dst = out + k * plane + y * W;
      for (int x = 0; x < W; ++x) dst[x] = bias[oc] + acc[x];
    }
  }
}

}  // namespace qo::plain::QO_PLAIN_NS
