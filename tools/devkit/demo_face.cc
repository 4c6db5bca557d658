#include "tools/devkit/demo_face.h"

#include <algorithm>
#include <cmath>

#include "qo/qo_pool.h"

namespace qo::devkit {
namespace {

constexpr float kPi = 3.14159265f;

float smooth(float edge0, float edge1, float v) {
  float t = std::clamp((v - edge0) / (edge1 - edge0), 0.0f, 1.0f);
  return t * t * (3 - 2 * t);
}

// Signed "inside" measure of an ellipse: < 1 inside.
float ellipse(float x, float y, float cx, float cy, float rx, float ry) {
  const float dx = (x - cx) / rx, dy = (y - cy) / ry;
  return std::sqrt(dx * dx + dy * dy);
}

struct Rgb {
  float r, g, b;
};

Rgb mix(Rgb a, Rgb b, float t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

constexpr float kMouthY = 0.45f, kMouthHalfWidth = 0.2f;

}  // namespace

std::array<float, 4> faceLipEllipse(float open) {
  const float gap = 0.01f + 0.13f * std::clamp(open, 0.0f, 1.2f);
  return {0.0f, kMouthY, kMouthHalfWidth + 0.02f, 0.045f + gap * 0.6f};
}

FaceSample faceAt(float x, float y, float open) {
  const float aa = 0.015f;  // edge softness in normalised units
  const float head = ellipse(x, y, 0.0f, 0.04f, 0.62f, 0.82f);
  const float alpha = 1.0f - smooth(1.0f - aa, 1.0f + aa, head);
  if (alpha <= 0.0f) return {0, 0, 0, 0};

  // Skin with gentle shading toward the rim; a highlight on the forehead.
  Rgb c{0.86f, 0.67f, 0.56f};
  c = mix(c, Rgb{0.70f, 0.50f, 0.42f}, smooth(0.55f, 1.0f, head) * 0.6f);
  c = mix(c, Rgb{0.93f, 0.78f, 0.68f}, (1.0f - smooth(0.0f, 0.35f, ellipse(x, y, 0.0f, -0.45f, 0.45f, 0.25f))) * 0.4f);

  // Hair over the top of the head.
  const float hairLine = -0.42f + 0.08f * std::cos(x * 3.0f);
  c = mix(c, Rgb{0.22f, 0.14f, 0.09f}, 1.0f - smooth(hairLine - aa, hairLine + aa, y));

  // Eyebrows, eyes (white, iris, pupil).
  for (float side : {-1.0f, 1.0f}) {
    const float ex = 0.24f * side, ey = -0.12f;
    const float brow = ellipse(x, y, ex, ey - 0.12f, 0.13f, 0.025f);
    c = mix(c, Rgb{0.28f, 0.18f, 0.12f}, 1.0f - smooth(1.0f - 0.3f, 1.0f, brow));
    const float eye = ellipse(x, y, ex, ey, 0.11f, 0.055f);
    c = mix(c, Rgb{0.95f, 0.95f, 0.93f}, 1.0f - smooth(1.0f - 0.2f, 1.0f, eye));
    const float iris = ellipse(x, y, ex, ey, 0.045f, 0.045f);
    c = mix(c, Rgb{0.25f, 0.40f, 0.55f}, (1.0f - smooth(0.8f, 1.0f, iris)) * (eye < 1.0f));
    c = mix(c, Rgb{0.05f, 0.05f, 0.06f}, 1.0f - smooth(0.35f, 0.5f, iris));
  }

  // Nose: a soft shadow line and the nostrils.
  c = mix(c, Rgb{0.72f, 0.52f, 0.44f}, (1.0f - smooth(0.0f, 1.0f, ellipse(x, y, 0.03f, 0.12f, 0.03f, 0.16f))) * 0.5f);
  c = mix(c, Rgb{0.55f, 0.38f, 0.33f}, (1.0f - smooth(0.7f, 1.0f, ellipse(x, y, 0.0f, 0.26f, 0.09f, 0.035f))) * 0.6f);

  // Mouth: lips around an opening whose height follows `open`; inside, dark with a band of teeth.
  const float gap = 0.01f + 0.13f * std::clamp(open, 0.0f, 1.2f);
  const std::array<float, 4> le = faceLipEllipse(open);
  const float lips = ellipse(x, y, le[0], le[1], le[2], le[3]);
  c = mix(c, Rgb{0.70f, 0.33f, 0.36f}, 1.0f - smooth(1.0f - 0.12f, 1.0f, lips));
  const float hole = ellipse(x, y, 0.0f, kMouthY, kMouthHalfWidth * (0.75f + 0.25f * std::min(open, 1.0f)), gap);
  const float inside = 1.0f - smooth(0.85f, 1.0f, hole);
  if (inside > 0.0f) {
    Rgb mouth{0.16f, 0.04f, 0.06f};
    const float teethTop = kMouthY - gap, teethBottom = kMouthY - gap + std::min(0.06f, gap * 0.9f);
    if (y > teethTop && y < teethBottom) mouth = Rgb{0.93f, 0.91f, 0.86f};
    c = mix(c, mouth, inside);
  }
  return {c.r, c.g, c.b, alpha};
}

std::array<float, 6> demoTransform(int si, int nt, int w, int h, int crop) {
  const float phase = 2.0f * kPi * float(si) / float(std::max(nt, 1));
  const float theta = 0.035f * std::sin(phase);
  const float s = 0.52f * float(h) / float(crop) * (1.0f + 0.015f * std::sin(2.0f * phase));
  const float cx = 0.5f * float(w) + 0.01f * float(w) * std::sin(phase + 0.7f);
  const float cy = 0.40f * float(h) + 0.006f * float(h) * std::cos(phase);
  const float a = s * std::cos(theta), b = -s * std::sin(theta), d = s * std::sin(theta), e = s * std::cos(theta);
  const float c0 = 0.5f * float(crop);
  return {a, b, cx - (a * c0 + b * c0), d, e, cy - (d * c0 + e * c0)};
}

std::array<float, 63> faceKeypoints(float open) {
  std::array<float, 63> kp{};
  auto put = [&](int row, float x, float y) {
    kp[size_t(row) * 3] = x;
    kp[size_t(row) * 3 + 1] = y;
    kp[size_t(row) * 3 + 2] = 0.0f;
  };
  // Rows 0..10: the face contour from the left temple over the chin to the right temple.
  for (int i = 0; i <= 10; ++i) {
    const float t = kPi * (0.1f + 0.8f * float(i) / 10.0f);
    put(i, -0.62f * std::cos(t), 0.04f + 0.82f * std::sin(t) * 0.9f);
  }
  put(11, -0.24f, -0.12f);  // eyes
  put(12, 0.24f, -0.12f);
  put(13, -0.24f, -0.24f);  // brows
  put(14, 0.24f, -0.24f);
  put(15, 0.0f, 0.12f);  // nose bridge and tip
  put(16, 0.0f, 0.26f);
  const float gap = 0.01f + 0.13f * open;
  put(17, -kMouthHalfWidth, kMouthY);
  put(18, kMouthHalfWidth, kMouthY);
  put(19, 0.0f, kMouthY - gap);
  put(20, 0.0f, kMouthY + gap);
  return kp;
}

void renderCrop(int crop, float open, float* planes) {
  const size_t n = size_t(crop) * size_t(crop);
  pool::parallelRange(size_t(crop), 8, [&](size_t y0, size_t y1) {
    for (size_t y = y0; y < y1; ++y)
      for (int x = 0; x < crop; ++x) {
        const float nx = (2.0f * (float(x) + 0.5f) / float(crop)) - 1.0f;
        const float ny = (2.0f * (float(y) + 0.5f) / float(crop)) - 1.0f;
        FaceSample f = faceAt(nx, ny, open);
        // Outside the head the crop shows the background colour the frames have there.
        const float bg = 0.35f;
        const size_t i = y * size_t(crop) + size_t(x);
        planes[i] = f.r * f.alpha + bg * (1 - f.alpha);
        planes[n + i] = f.g * f.alpha + bg * (1 - f.alpha);
        planes[2 * n + i] = f.b * f.alpha + (bg + 0.05f) * (1 - f.alpha);
      }
  });
}

void renderFrame(int si, int nt, int w, int h, int crop, uint8_t* rgb) {
  const std::array<float, 6> M = demoTransform(si, nt, w, h, crop);
  const double det = double(M[0]) * M[4] - double(M[1]) * M[3];
  const double ia = M[4] / det, ib = -M[1] / det, id = -M[3] / det, ie = M[0] / det;
  auto to8 = [](float v) { return uint8_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
  pool::parallelRange(size_t(h), 8, [&](size_t y0, size_t y1) {
    for (size_t y = y0; y < y1; ++y)
      for (int x = 0; x < w; ++x) {
        const float fx = float(x) / float(w), fy = float(y) / float(h);
        // A warm wall with a soft vignette, then the shoulders.
        Rgb c{0.30f + 0.15f * fy, 0.33f + 0.10f * fx, 0.40f - 0.1f * fy};
        const float vign = 1.0f - 0.35f * ((fx - 0.5f) * (fx - 0.5f) + (fy - 0.45f) * (fy - 0.45f));
        c = {c.r * vign, c.g * vign, c.b * vign};
        const float neckX = std::fabs(float(x) - 0.5f * float(w)) / (0.07f * float(h));
        if (fy > 0.5f && fy < 0.8f) c = mix(c, Rgb{0.74f, 0.55f, 0.46f}, 1.0f - smooth(0.95f, 1.05f, neckX));
        const float body = ellipse(fx, fy, 0.5f, 1.02f, 0.36f, 0.34f);
        c = mix(c, Rgb{0.15f, 0.24f, 0.38f}, 1.0f - smooth(0.98f, 1.02f, body));
        // The head, through the inverse paste transform into crop coordinates.
        const double dx = x - M[2], dy = double(y) - M[5];
        const float u = float(ia * dx + ib * dy), v = float(id * dx + ie * dy);
        const float nx = 2.0f * (u + 0.5f) / float(crop) - 1.0f, ny = 2.0f * (v + 0.5f) / float(crop) - 1.0f;
        if (std::fabs(nx) < 1.0f && std::fabs(ny) < 1.0f) {
          FaceSample f = faceAt(nx, ny, 0.0f);
          c = mix(c, Rgb{f.r, f.g, f.b}, f.alpha);
        }
        uint8_t* p = rgb + (y * size_t(w) + size_t(x)) * 3;
        p[0] = to8(c.r);
        p[1] = to8(c.g);
        p[2] = to8(c.b);
      }
  });
}

std::vector<uint8_t> faceMask(int crop) {
  std::vector<uint8_t> mask(size_t(crop) * size_t(crop));
  for (int y = 0; y < crop; ++y)
    for (int x = 0; x < crop; ++x) {
      const float nx = 2.0f * (float(x) + 0.5f) / float(crop) - 1.0f, ny = 2.0f * (float(y) + 0.5f) / float(crop) - 1.0f;
      const float e = ellipse(nx, ny, 0.0f, 0.08f, 0.56f, 0.72f);
      mask[size_t(y) * crop + x] = uint8_t(std::lround(255.0f * (1.0f - smooth(0.8f, 1.0f, e))));
    }
  return mask;
}

}  // namespace qo::devkit
