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

void planarF32ToRgb8(const float* planes, size_t planeStride, uint8_t* rgb, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    for (size_t c = 0; c < 3; ++c) {
      const float v = planes[c * planeStride + i];
      rgb[3 * i + c] = v > 0.0f ? uint8_t(std::nearbyint(std::min(v, 1.0f) * 255.0f)) : 0;
    }
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

void gridSampleRows(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg, int rowBegin,
                    int rowEnd) {
  const size_t plane = size_t(H) * W, outPlane = size_t(Hg) * Wg;
  const float lastX = float(W - 1), lastY = float(H - 1);
  for (int i = std::max(rowBegin, 0); i < std::min(rowEnd, Hg); ++i) {
    for (int j = 0; j < Wg; ++j) {
      const size_t o = size_t(i) * Wg + j;
      float px = ((grid[2 * o] + 1.0f) * 0.5f) * float(W) - 0.5f;
      float py = ((grid[2 * o + 1] + 1.0f) * 0.5f) * float(H) - 0.5f;
      if (std::isnan(px)) px = -1.0f;
      if (std::isnan(py)) py = -1.0f;
      const float flx = std::floor(px), fly = std::floor(py);
      const float fx = px - flx, fy = py - fly;
      int c0 = 0, c1 = 0, r0 = 0, r1 = 0;
      if (flx >= 0.0f) {
        c0 = int(std::min(flx, lastX));
        c1 = int(std::min(flx + 1.0f, lastX));
      }
      if (fly >= 0.0f) {
        r0 = int(std::min(fly, lastY));
        r1 = int(std::min(fly + 1.0f, lastY));
      }
      const float w00 = (1.0f - fx) * (1.0f - fy), w01 = fx * (1.0f - fy), w10 = (1.0f - fx) * fy, w11 = fx * fy;
      const size_t t00 = size_t(r0) * W + c0, t01 = size_t(r0) * W + c1;
      const size_t t10 = size_t(r1) * W + c0, t11 = size_t(r1) * W + c1;
      for (int c = 0; c < C; ++c) {
        const float* X = x + c * plane;
        y[c * outPlane + o] = ((w00 * X[t00] + w01 * X[t01]) + w10 * X[t10]) + w11 * X[t11];
      }
    }
  }
}

void warpDirectorRows(const float* x, const float* grid, float* y, int H, int W, int Hg, int Wg, int rowBegin,
                      int rowEnd) {
  const size_t plane = size_t(H) * W, outPlane = size_t(Hg) * Wg;
  const auto axis = [](float g, int size, float& q, float& frac, int& t0, int& t1) {
    float p = ((g + 1.0f) * float(size) - 1.0f) * 0.5f;
    if (std::isnan(p)) p = -1.0f;
    const float t = p - std::floor(p);
    q = ((1.0f - t) * t) * 0.5f;
    frac = 0.0f;
    t0 = t1 = 0;
    if (p >= 0.0f) {
      const float c = std::min(p, float(size - 1));
      const float f = std::floor(c);
      frac = c - f;
      t0 = int(f);
      t1 = std::min(t0 + 1, size - 1);
    }
  };
  const auto second = [](float a, float b, float c) { return (a - 2.0f * b) + c; };
  for (int i = std::max(rowBegin, 0); i < std::min(rowEnd, Hg); ++i) {
    for (int j = 0; j < Wg; ++j) {
      const size_t o = size_t(i) * Wg + j;
      float qx, qy, fx, fy;
      int x0, x1, y0, y1;
      axis(grid[2 * o], W, qx, fx, x0, x1);
      axis(grid[2 * o + 1], H, qy, fy, y0, y1);
      const float w[4] = {(1.0f - fx) * (1.0f - fy), fx * (1.0f - fy), (1.0f - fx) * fy, fx * fy};
      const int rows[4] = {y0, y0, y1, y1}, cols[4] = {x0, x1, x0, x1};
      for (int c = 0; c < 3; ++c) {
        const float* X = x + c * plane;
        float v[4], dxx[4], dyy[4], dxxyy[4];
        for (int t = 0; t < 4; ++t) {
          float p[3][3];
          for (int dr = 0; dr < 3; ++dr) {
            const int r = std::clamp(rows[t] + dr - 1, 0, H - 1);
            for (int dq = 0; dq < 3; ++dq) p[dr][dq] = X[size_t(r) * W + std::clamp(cols[t] + dq - 1, 0, W - 1)];
          }
          v[t] = p[1][1];
          dxx[t] = second(p[1][0], p[1][1], p[1][2]);
          dyy[t] = second(p[0][1], p[1][1], p[2][1]);
          dxxyy[t] = second(second(p[0][0], p[1][0], p[2][0]), second(p[0][1], p[1][1], p[2][1]),
                            second(p[0][2], p[1][2], p[2][2]));
        }
        const auto lerp = [&](const float* a) { return ((w[0] * a[0] + w[1] * a[1]) + w[2] * a[2]) + w[3] * a[3]; };
        y[c * outPlane + o] = ((qx * qy) * lerp(dxxyy)) + ((lerp(v) - qx * lerp(dxx)) - qy * lerp(dyy));
      }
    }
  }
}

void convWarpRow(const qo::simd::ConvWarpRowArgs& a) {
  const int side = a.side;
  const size_t plane = size_t(side) * size_t(side);
  for (int x = 0; x < side; ++x) {
    const int xa = a.colA[x], xb = a.colB[x];
    const float dxa = a.colDa[x], dxb = a.colDb[x], dya = a.dya, dyb = a.dyb;
    float q[2];
    for (int c = 0; c < 2; ++c)
      q[c] = dxb * dyb * a.gridA[2 * xa + c] + dxa * dyb * a.gridA[2 * xb + c] + dxb * dya * a.gridB[2 * xa + c] +
             dxa * dya * a.gridB[2 * xb + c];
    const float ix = ((q[0] + 1.0f) * float(side) - 1.0f) / 2.0f, iy = ((q[1] + 1.0f) * float(side) - 1.0f) / 2.0f;
    const float fx = std::floor(ix), fy = std::floor(iy);
    const int x0 = int(fx), y0 = int(fy);
    const float wx1 = ix - fx, wx0 = 1.0f - wx1, wy1 = iy - fy, wy0 = 1.0f - wy1;
    const float occ = a.occRow[x / 8];
    a.occOut[x] = occ;
    for (int c = 0; c < 3; ++c) {
      const float* p = a.planes + size_t(c) * plane;
      const auto at = [&](int yy, int xx) {
        return yy >= 0 && yy < side && xx >= 0 && xx < side ? p[size_t(yy) * side + xx] : 0.0f;
      };
      const float s =
          wy0 * (wx0 * at(y0, x0) + wx1 * at(y0, x0 + 1)) + wy1 * (wx0 * at(y0 + 1, x0) + wx1 * at(y0 + 1, x0 + 1));
      a.out[size_t(c) * plane + x] = s * occ;
    }
  }
}

}  // namespace qo::plain::QO_PLAIN_NS
