// The pi compose mask on the CPU: the same soft lip ellipse and teeth gate the director graph
// composes through, rasterised from a manifest's description, and the corpus geometry a bank was
// baked with, identified from where that mask lands.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"
#include "tessera/qo_tessera_pi.h"
#include "tessera/qo_tessera_pi_internal.h"

namespace qo::tessera {
namespace {

using json::JVal;

struct LipStats {
  float mx = 0, my = 0, ex = 0, ey = 0;
  bool any = false;
};

LipStats lipStats(const float* kp, const std::vector<int32_t>& idx) {
  LipStats s;
  if (idx.empty()) {
    s.mx = s.my = std::nanf("");
    return s;
  }
  float sx = 0, sy = 0;
  for (int32_t r : idx) sx += kp[r * 3], sy += kp[r * 3 + 1];
  s.mx = sx / float(idx.size());
  s.my = sy / float(idx.size());
  for (int32_t r : idx) {
    s.ex = std::max(s.ex, std::fabs(kp[r * 3] - s.mx));
    s.ey = std::max(s.ey, std::fabs(kp[r * 3 + 1] - s.my));
  }
  s.any = true;
  return s;
}

inline float smooth(float u) { return (3.0f - 2.0f * u) * u * u; }

inline float ellValue(const EllParams& p, float gx, float gy) {
  const float dx = (gx - p.cx) / p.rx, dy = (gy - p.cy) / p.ry;
  const float d = std::sqrt(dx * dx + dy * dy);
  const float t = (1.0f - d) * p.k / 10.0f;
  if (t < 0.0f) return 0.0f;
  return smooth(std::min(t, 1.0f));
}

float gateFactor(const LipStats& s) {
  if (!s.any) return 0.0f;
  return smooth(std::clamp((s.ey - 0.02f) / 0.01f, 0.0f, 1.0f));
}

// Both radii from the extents, pads and floors; the scale applies after the floor.
EllParams ellipse(const LipStats& s, float padX, float padY, float minRx, float minRy, float scale, float down) {
  EllParams p;
  p.rx = std::max(padX != 0.0f ? s.ex + padX : s.ex, minRx);
  p.ry = std::max(padY != 0.0f ? s.ey + padY : s.ey, minRy);
  if (scale != 1.0f) p.rx *= scale, p.ry *= scale;
  p.cx = s.mx;
  p.cy = s.my + down;
  p.k = std::sqrt(p.rx * p.ry) * 256.0f;
  return p;
}

Box clipBox(const Box& b, int32_t canvas) {
  Box c{std::max(b.x0, 0), std::max(b.y0, 0), std::min(b.x1, canvas), std::min(b.y1, canvas)};
  c.x1 = std::max(c.x1, c.x0);
  c.y1 = std::max(c.y1, c.y0);
  return c;
}

Box intersect(const Box& a, const Box& b) {
  Box c{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  c.x1 = std::max(c.x1, c.x0);
  c.y1 = std::max(c.y1, c.y0);
  return c;
}

// floor/ceil results as pixel bounds; NaN and overflow land on the clamp.
int32_t lowBound(double v, int32_t canvas) { return v > 0 ? (v < canvas ? int32_t(v) : canvas) : 0; }
int32_t highBound(double v, int32_t canvas) { return v < canvas ? (v > 0 ? int32_t(v) : 0) : canvas; }

std::string fmt2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

struct Corpus {
  const char* name;
  float pad_x, pad_y, down;
};
constexpr Corpus kCorpus[3] = {
    {"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.10f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}};

}  // namespace

uint8_t maskByte(float v) {
  if (!(v > 0.0f)) return 0;  // below 0, and NaN
  const float q = std::min(v, 1.0f) * 255.0f;
  float f = std::floor(q);
  const float frac = q - f;
  if (frac > 0.5f || (frac == 0.5f && std::fmod(f, 2.0f) != 0.0f)) f += 1.0f;
  return uint8_t(f);
}

int32_t roundHalfEven(double v) {
  if (!(v == v)) return 0;
  v = std::clamp(v, -2147483648.0, 2147483647.0);
  double f = std::floor(v);
  const double frac = v - f;
  if (frac > 0.5 || (frac == 0.5 && std::fmod(f, 2.0) != 0.0)) f += 1.0;
  return int32_t(std::min(f, 2147483647.0));
}

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifestText, int32_t canvas) {
  const JVal root = json::parseJson(manifestText, "manifest.json");
  const JVal* unified = root.find("unified");
  if (!unified)
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block \xE2\x80\x94 this bundle predates the unified compose and cannot "
        "state the pi geometry it was baked with; refusing to guess one");
  const JVal& pi = unified->req("pi");
  UnifiedPi u;
  u.canvas = canvas;

  const JVal& mode = pi.req("mode");
  if (!mode.isString()) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.str +
                             "' is a compose-mask geometry this port cannot name \xE2\x80\x94 fail loud, never adapt "
                             "(the stamped-geometry rule)");
  u.mode = mode.str;

  if (const JVal* cr = pi.find("corner_recovery")) {
    if (cr->kind == JVal::Kind::kBool)
      u.corner_recovery = cr->b;
    else if (cr->isString() && cr->str == "lip_landmark_half")
      u.corner_recovery = true;
    else
      throw std::runtime_error(
          "teeth-pi: unknown unified.pi.corner_recovery \xE2\x80\x94 a compose-mask geometry a consumer cannot name "
          "must never be guessed");
  }

  const JVal& gate = pi.req("prop_gate_scale");
  if (!gate.isNumber()) throw std::runtime_error("teeth-pi: unified.pi.prop_gate_scale is not a number");
  u.prop_gate_scale = float(gate.num);

  const JVal& idx = pi.req("lip_idx");
  if (!idx.isArray() || idx.arr.empty())
    throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (size_t i = 0; i < idx.arr.size(); ++i) {
    const JVal& e = idx.arr[i];
    int32_t row = -1;
    // The rows index a 21-row keypoint set: anything else would read past it.
    if (!e.isNumber() || !json::toInt32(e.num, &row) || row < 0 || row >= kKeypointRows) {
      char b[64];
      std::snprintf(b, sizeof b, "%g", e.isNumber() ? e.num : 0.0);
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx entry " + std::to_string(i) + " (" +
                               (e.isNumber() ? std::string(b) : std::string("not a number")) +
                               ") is not a keypoint row 0..20");
    }
    u.lip_idx.push_back(row);
  }

  const JVal& geom = pi.req("lip_geom_params");
  if (!geom.isArray() || geom.arr.size() != 3 || !geom.arr[0].isNumber() || !geom.arr[1].isNumber() ||
      !geom.arr[2].isNumber())
    throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  u.pad_x = float(geom.arr[0].num);
  u.pad_y = float(geom.arr[1].num);
  u.down = float(geom.arr[2].num);

  if (const JVal* crop = unified->find("crop"))
    if (const JVal* cc = crop->find("canvas")) {
      int32_t v = 0;
      if (!cc->isNumber() || !json::toInt32(cc->num, &v) || v != canvas) {
        char b[64];
        std::snprintf(b, sizeof b, "%.0f", cc->isNumber() ? std::trunc(cc->num) : 0.0);
        throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                                 " but unified.crop.canvas is " + (cc->isNumber() ? b : "not a number"));
      }
    }

  if (canvas > 0) {
    u.gx.resize(size_t(canvas));
    for (int32_t i = 0; i < canvas; ++i)
      u.gx[size_t(i)] = canvas == 1 ? -1.0f : float(2.0 * i / double(canvas - 1) - 1.0);
    u.gy = u.gx;
  }
  return u;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifestText, int32_t canvas, const float* xsTarget,
                                            int nFrames, const double cCanon[2], std::string* nameOut) {
  if (!xsTarget || nFrames < 1)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied \xE2\x80\x94 "
        "refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  const UnifiedPi base = fromManifestJson(manifestText, canvas);
  struct Cand {
    int table;
    double dist;
  };
  Cand c[3];
  for (int i = 0; i < 3; ++i) {
    UnifiedPi v = base;
    v.pad_x = kCorpus[i].pad_x, v.pad_y = kCorpus[i].pad_y, v.down = kCorpus[i].down;
    double cx = 0, cy = 0;
    v.canonicalCentroid(xsTarget, nFrames, &cx, &cy);
    c[i] = {i, std::hypot(cx - cCanon[0], cy - cCanon[1])};
  }
  std::stable_sort(c, c + 3, [](const Cand& a, const Cand& b) { return a.dist < b.dist; });
  std::string report;
  for (const Cand& k : c) report += std::string(" ") + kCorpus[k.table].name + "=" + fmt2(k.dist) + "px";
  constexpr double kMatchPx = 8.0, kAmbiguousPx = 3.0;
  if (!(c[0].dist <= kMatchPx))
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fmt2(cCanon[0]) + "," +
                             fmt2(cCanon[1]) + ") within " + fmt2(kMatchPx) + "px \xE2\x80\x94" + report +
                             " \xE2\x80\x94 the bank's pi frame is unknown and donors will NOT be placed against a "
                             "frame nobody can name");
  if (c[1].dist - c[0].dist < kAmbiguousPx)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " + fmt2(kAmbiguousPx) +
                             "px) \xE2\x80\x94" + report + " \xE2\x80\x94 refusing to guess the bank frame");
  UnifiedPi out = base;
  const Corpus& best = kCorpus[c[0].table];
  out.pad_x = best.pad_x, out.pad_y = best.pad_y, out.down = best.down;
  if (nameOut) *nameOut = best.name;
  return out;
}

void UnifiedPi::ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float down,
                        float* out) const {
  if (canvas <= 0) return;
  const EllParams p = ellipse(lipStats(kp, lip_idx), padX, padY, minRx, minRy, scale, down);
  for (int32_t y = 0; y < canvas; ++y)
    for (int32_t x = 0; x < canvas; ++x) out[size_t(y) * canvas + x] = ellValue(p, gx[size_t(x)], gy[size_t(y)]);
}

EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats s = lipStats(kp, lip_idx);
  float scale = 1.0f;
  if (corner_recovery) {
    // Widen the ellipse until the lip corners sit inside its solid part.
    const EllParams u = ellipse(s, pad_x, pad_y, 0.1f, 0.1f, 1.0f, down);
    const float k0 = std::sqrt(std::max(s.ey + pad_y, 0.1f) * std::max(s.ex + pad_x, 0.1f)) * 256.0f;
    float dmax = 0.0f;
    for (int32_t r : lip_idx) {
      const float dx = (kp[r * 3] - u.cx) / u.rx, dy = (kp[r * 3 + 1] - u.cy) / u.ry;
      dmax = std::max(dmax, std::sqrt(dx * dx + dy * dy));
    }
    scale = std::max(1.0f, 5.0f / k0 + dmax);
  }
  return ellipse(s, pad_x, pad_y, 0.1f, 0.1f, scale, down);
}

EllParams UnifiedPi::gateParams(const float* kp, float* gateOut) const {
  const LipStats s = lipStats(kp, lip_idx);
  if (gateOut) *gateOut = gateFactor(s);
  return ellipse(s, 0.0f, 0.0f, 0.004f, 0.004f, prop_gate_scale, 0.0f);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  if (canvas <= 0) return;
  const EllParams p = lipParams(kp);
  for (int32_t y = 0; y < canvas; ++y)
    for (int32_t x = 0; x < canvas; ++x) out[size_t(y) * canvas + x] = ellValue(p, gx[size_t(x)], gy[size_t(y)]);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  if (canvas <= 0) return;
  ellMask(kp, 0.0f, 0.0f, 0.004f, 0.004f, prop_gate_scale, 0.0f, out);
  const float g = gateFactor(lipStats(kp, lip_idx));
  for (size_t i = 0, n = size_t(canvas) * canvas; i < n; ++i) out[i] *= g;
}

Box UnifiedPi::ellBox(const EllParams& p) const {
  if (canvas < 2) return {0, 0, canvas, canvas};
  const double h = (canvas - 1) / 2.0;
  Box b;
  b.y0 = lowBound(std::floor((double(p.cy) - p.ry + 1) * h) - 1, canvas);
  b.x0 = lowBound(std::floor((double(p.cx) - p.rx + 1) * h) - 1, canvas);
  b.y1 = highBound(std::ceil((double(p.cy) + p.ry + 1) * h) + 2, canvas);
  b.x1 = highBound(std::ceil((double(p.cx) + p.rx + 1) * h) + 2, canvas);
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp)), b = ellBox(gateParams(kp, nullptr));
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  if (canvas <= 0) return;
  float g = 0;
  const EllParams lip = lipParams(kp), gate = gateParams(kp, &g);
  for (int32_t y = 0; y < canvas; ++y)
    for (int32_t x = 0; x < canvas; ++x) {
      const float gxv = gx[size_t(x)], gyv = gy[size_t(y)];
      out[size_t(y) * canvas + x] = maskByte(std::max(ellValue(lip, gxv, gyv), ellValue(gate, gxv, gyv) * g));
    }
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  if (canvas <= 0) return;
  std::fill(out, out + size_t(canvas) * canvas, uint8_t(0));
  float g = 0;
  const EllParams lip = lipParams(kp), gate = gateParams(kp, &g);
  const Box b = supportBox(kp);
  for (int32_t y = b.y0; y < b.y1; ++y) {
    uint8_t* row = out + size_t(y) * canvas;
    const float gyv = gy[size_t(y)];
    for (int32_t x = b.x0; x < b.x1; ++x)
      row[x] = maskByte(std::max(ellValue(lip, gx[size_t(x)], gyv), g * ellValue(gate, gx[size_t(x)], gyv)));
  }
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* other, const Box& box, uint8_t* out) const {
  if (canvas <= 0) return;
  std::fill(out, out + size_t(canvas) * canvas, uint8_t(0));
  float g = 0;
  const EllParams lip = lipParams(kp), gate = gateParams(kp, &g);
  const Box b = intersect(supportBox(kp), clipBox(box, canvas));
  for (int32_t y = b.y0; y < b.y1; ++y) {
    const size_t o = size_t(y) * canvas;
    const float gyv = gy[size_t(y)];
    for (int32_t x = b.x0; x < b.x1; ++x) {
      const float v = other[o + x];
      if (!(v > 0.0f)) continue;
      const float pi = std::max(g * ellValue(gate, gx[size_t(x)], gyv), ellValue(lip, gx[size_t(x)], gyv));
      out[o + x] = maskByte(std::min(v, pi));
    }
  }
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double* cx, double* cy) const {
  return piU8Centroid(mask, Box{0, 0, canvas, canvas}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double* cx, double* cy) const {
  const Box b = clipBox(box, canvas);
  double sx = 0, sy = 0;
  size_t n = 0;
  for (int32_t y = b.y0; y < b.y1; ++y) {
    const uint8_t* row = mask + size_t(y) * canvas;
    for (int32_t x = b.x0; x < b.x1; ++x)
      if (row[x] >= 128) sx += x, sy += y, ++n;
  }
  if (n == 0) return false;
  *cx = sx / double(n);
  *cy = sy / double(n);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double ref[2], uint8_t* out, int32_t* rowShift,
                             int32_t* colShift) const {
  piU8Boxed(kp, out);
  double cx = 0, cy = 0;
  if (!piU8Centroid(out, supportBox(kp), &cx, &cy)) return false;
  *rowShift = roundHalfEven(cy - ref[1]);
  *colShift = roundHalfEven(cx - ref[0]);
  return true;
}

void UnifiedPi::canonicalCentroid(const float* frames, int nFrames, double* cx, double* cy) const {
  std::vector<uint8_t> mask(canvas > 0 ? size_t(canvas) * canvas : 0);
  double sx = 0, sy = 0;
  int n = 0;
  for (int f = 0; f < nFrames && canvas > 0; ++f) {
    piU8(frames + size_t(f) * kKeypointFloats, mask.data());
    double x = 0, y = 0;
    if (piU8Centroid(mask.data(), &x, &y)) sx += x, sy += y, ++n;
  }
  if (n == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame \xE2\x80\x94 cannot derive the canonical centroid this bundle's "
        "frame is identified by");
  *cx = sx / n;
  *cy = sy / n;
}

}  // namespace qo::tessera
