// The lip contour: a baked outline deformed onto each frame's lip keypoints, filled with integer
// arithmetic (so every platform fills the same pixels) and feathered outward by a chamfer distance.
// All work stays inside the contour's box; the scratch buffers only ever grow.
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

const std::string kName = "lip_template.v1.json";

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(kName + ": " + what); }

std::string intText(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.0f", std::trunc(v));
  return b;
}

inline float smooth(float u) { return (3.0f - 2.0f * u) * u * u; }

int64_t floorDiv16(int64_t v) { return v >= 0 ? v / 65536 : -((-v + 65535) / 65536); }
int64_t ceilDiv16(int64_t v) { return -floorDiv16(-v); }

template <class T>
void grow(std::vector<T>& v, size_t n) {
  if (v.size() < n) v.resize(n);
}

Box clipBox(const Box& b, int32_t canvas) {
  Box c{std::max(b.x0, 0), std::max(b.y0, 0), std::min(b.x1, canvas), std::min(b.y1, canvas)};
  c.x1 = std::max(c.x1, c.x0);
  c.y1 = std::max(c.y1, c.y0);
  return c;
}

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int32_t canvas) {
  const char* b = text.data();
  const char* e = b + text.size();
  while (b < e && (*b == ' ' || *b == '\t' || *b == '\n' || *b == '\r')) ++b;
  JVal root;
  try {
    json::JParser p(b, e);
    root = p.val();
  } catch (const std::exception& ex) {
    refuse(std::string("is not parseable JSON (") + ex.what() + ")");
  }
  if (!root.isObject()) refuse("is not a JSON object");

  const JVal* format = root.find("format");
  if (!format || !format->isString()) refuse("carries no string `format`");
  if (format->str != "lip-template-v1")
    refuse("declares format '" + format->str + "', not 'lip-template-v1' \xE2\x80\x94 this runtime cannot read it");

  if (const JVal* edge = root.find("edge")) {
    const std::string v = edge->isString() ? edge->str : std::string();
    if (!edge->isString() || v == "outward")
      refuse("declares edge '" + v +
             "', and the contour feather is OUTWARD \xE2\x80\x94 refusing to serve a mask this runtime does not "
             "compute");
  }

  const JVal* cv = root.find("canvas");
  if (!cv || !cv->isNumber()) refuse("carries no numeric `canvas`");
  int32_t baked = 0;
  if (!json::toInt32(cv->num, &baked) || baked != canvas)
    refuse("was baked on a " + intText(cv->num) + " canvas but this bundle composes on " + std::to_string(canvas) +
           " \xE2\x80\x94 refusing to deform a polygon onto a canvas it does not name");

  const JVal* fp = root.find("feather_px");
  if (!fp || !fp->isNumber()) refuse("carries no numeric `feather_px`");
  if (!(fp->num > 0)) {
    char t[64];
    std::snprintf(t, sizeof t, "%f", fp->num);
    refuse(std::string("declares feather_px ") + t + ", which is not positive");
  }

  const JVal* uc = root.find("u_canon");
  if (!uc || !uc->isArray() || uc->arr.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> uv;
  for (size_t i = 0; i < uc->arr.size(); ++i) {
    const JVal& r = uc->arr[i];
    if (!r.isArray() || r.arr.size() != 2 || !r.arr[0].isNumber() || !r.arr[1].isNumber())
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector \xE2\x80\x94 this is not an nv x 2 template");
    uv.push_back(r.arr[0].num);
    uv.push_back(r.arr[1].num);
  }

  std::vector<int32_t> rows;
  if (const JVal* li = root.find("lip_idx")) {
    if (!li->isArray() || li->arr.empty()) refuse("carries a `lip_idx` that is not a non-empty array");
    for (const JVal& v : li->arr) {
      int32_t r = -1;
      if (!v.isNumber() || !json::toInt32(v.num, &r) || r < 0 || r >= kKeypointRows)
        refuse("lip_idx names keypoint row " + (v.isNumber() ? intText(v.num) : std::string("?")) +
               ", and a kd row is 0..20");
      rows.push_back(r);
    }
  } else {
    rows = {17, 18, 19, 20};
  }
  return LipContour(canvas, float(fp->num), uv.data(), int32_t(uc->arr.size()), rows.data(), int32_t(rows.size()));
}

LipContour::LipContour(int32_t canvas, float feather_px, const double* u_canon, int32_t nv, const int32_t* lip_idx,
                       int32_t nLip)
    : canvas_(canvas), feather_px_(feather_px), nv_(nv) {
  if (canvas < 0 || !(feather_px > 0) || nv < 1 || !u_canon || nLip < 1 || !lip_idx)
    throw std::runtime_error("lip contour: needs a canvas, a positive feather, at least one vertex and one lip row");
  for (int32_t i = 0; i < nLip; ++i)
    if (lip_idx[i] < 0 || lip_idx[i] >= kKeypointRows)
      throw std::runtime_error("lip contour: lip row " + std::to_string(lip_idx[i]) + " is outside 0..20");
  u_canon_.assign(u_canon, u_canon + 2 * size_t(nv));
  lip_idx_.assign(lip_idx, lip_idx + nLip);
}

void LipContour::polygon(const float* kp, std::vector<double>* out) const {
  // Every row takes part: the fit needs only the mean and the extents, whatever their count.
  const size_t n = lip_idx_.size();
  double gx = 0, gy = 0;
  for (int32_t r : lip_idx_) {
    gx += (double(kp[r * 3]) + 1) * canvas_ * 0.5;
    gy += (double(kp[r * 3 + 1]) + 1) * canvas_ * 0.5;
  }
  gx /= double(n);
  gy /= double(n);
  double ex = 0, ey = 0;
  for (int32_t r : lip_idx_) {
    ex = std::max(ex, std::fabs((double(kp[r * 3]) + 1) * canvas_ * 0.5 - gx));
    ey = std::max(ey, std::fabs((double(kp[r * 3 + 1]) + 1) * canvas_ * 0.5 - gy));
  }
  if (ex < 1e-6) ex = 1e-6;
  if (ey < 1e-6) ey = 1e-6;
  out->resize(2 * size_t(nv_));
  for (int32_t k = 0; k < nv_; ++k) {
    (*out)[2 * size_t(k)] = ex * u_canon_[2 * size_t(k)] + gx;
    (*out)[2 * size_t(k) + 1] = ey * u_canon_[2 * size_t(k) + 1] + gy;
  }
}

Box LipContour::box(const std::vector<double>& poly) const {
  double xmin = poly[0], xmax = poly[0], ymin = poly[1], ymax = poly[1];
  for (size_t k = 1; 2 * k + 1 < poly.size(); ++k) {
    xmin = std::min(xmin, poly[2 * k]), xmax = std::max(xmax, poly[2 * k]);
    ymin = std::min(ymin, poly[2 * k + 1]), ymax = std::max(ymax, poly[2 * k + 1]);
  }
  const double h = double(feather_px_) + 2;
  const double c = canvas_;
  // Comparisons written so that NaN lands on the clamp instead of an undefined conversion.
  auto lo = [c](double v) { return v > 0 ? (v < c ? int32_t(v) : int32_t(c)) : 0; };
  auto hi = [c](double v) { return v < c ? (v > 0 ? int32_t(v) : 0) : int32_t(c); };
  Box b;
  b.y0 = lo(std::floor(ymin - h));
  b.x0 = lo(std::floor(xmin - h));
  b.y1 = hi(std::ceil(ymax + h) + 1);
  b.x1 = hi(std::ceil(xmax + h) + 1);
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

void LipContour::fillScanline(const std::vector<double>& poly, const Box& box, uint8_t* out) const {
  if (box.empty()) return;
  const int64_t W = box.x1 - box.x0, H = box.y1 - box.y0;
  std::fill(out, out + size_t(W * H), uint8_t(0));
  const size_t nv = poly.size() / 2;
  // Vertices far off the canvas are pulled in to a bound the 16.16 arithmetic and the line walk
  // can carry; a vertex that is not a number fills nothing.
  constexpr double kFar = 1 << 20;
  grow(verts_, 2 * nv);
  for (size_t k = 0; k < 2 * nv; ++k) {
    if (!std::isfinite(poly[k])) return;
    verts_[k] = int64_t(roundHalfEven(std::clamp(poly[k], -kFar, kFar))) - (k % 2 ? box.y0 : box.x0);
  }
  auto set = [&](int64_t x, int64_t y) {
    if (x >= 0 && x < W && y >= 0 && y < H) out[y * W + x] = 255;
  };
  spans_.clear();
  for (size_t k = 0; k < nv; ++k) {
    const size_t j = (k + 1) % nv;
    int64_t x0 = verts_[2 * k], y0 = verts_[2 * k + 1], x1 = verts_[2 * j], y1 = verts_[2 * j + 1];
    if (y0 != y1) {
      const bool down = y0 < y1;
      const int64_t tx = down ? x0 : x1, ty = down ? y0 : y1, bx = down ? x1 : x0, by = down ? y1 : y0;
      spans_.push_back({ty, by, tx * 65536, (bx - tx) * 65536 / (by - ty)});
    }
    if (x1 < x0) std::swap(x0, x1), std::swap(y0, y1);
    const int64_t dx = x1 - x0, ady = std::abs(y1 - y0), sy = y1 > y0 ? 1 : (y1 < y0 ? -1 : 0);
    const int64_t M = std::max(dx, ady), m = std::min(dx, ady);
    int64_t e = M - 2 * m, x = x0, y = y0;
    for (int64_t s = 0; s <= M; ++s) {
      set(x, y);
      if (dx >= ady) {
        ++x;
        if (e < 0) y += sy;
      } else {
        y += sy;
        if (e < 0) ++x;
      }
      if (e < 0) e += 2 * M;
      e -= 2 * m;
    }
  }
  if (spans_.empty()) return;
  int64_t top = spans_[0].top, bottom = spans_[0].bottom;
  for (const Span& s : spans_) top = std::min(top, s.top), bottom = std::max(bottom, s.bottom);
  for (int64_t row = std::max<int64_t>(0, top); row < std::min(H, bottom); ++row) {
    cross_.clear();
    for (const Span& s : spans_)
      if (s.top <= row && row < s.bottom) cross_.push_back(s.x + s.slope * (row - s.top));
    std::sort(cross_.begin(), cross_.end());
    uint8_t* line = out + row * W;
    for (size_t i = 0; i + 1 < cross_.size(); i += 2) {
      const int64_t a = std::max<int64_t>(0, ceilDiv16(cross_[i])), b = std::min(W - 1, floorDiv16(cross_[i + 1]));
      for (int64_t x = a; x <= b; ++x) line[x] = 255;
    }
  }
}

void LipContour::contourF32(const std::vector<double>& poly, const Box& box, float* out) {
  if (box.empty()) return;
  const size_t W = size_t(box.x1 - box.x0), H = size_t(box.y1 - box.y0);
  grow(fill_, W * H);
  grow(dist_, W * H);
  fillScanline(poly, box, fill_.data());
  constexpr float kAxial = 0.955f, kDiagonal = 1.3693f;
  float* d = dist_.data();
  for (size_t i = 0; i < W * H; ++i) d[i] = fill_[i] ? 0.0f : 1e10f;
  for (size_t y = 0; y < H; ++y)
    for (size_t x = 0; x < W; ++x) {
      float v = d[y * W + x];
      if (y > 0) {
        const float* up = d + (y - 1) * W;
        v = std::min(v, up[x] + kAxial);
        if (x > 0) v = std::min(v, up[x - 1] + kDiagonal);
        if (x + 1 < W) v = std::min(v, up[x + 1] + kDiagonal);
      }
      if (x > 0) v = std::min(v, d[y * W + x - 1] + kAxial);
      d[y * W + x] = v;
    }
  for (size_t y = H; y-- > 0;)
    for (size_t x = W; x-- > 0;) {
      float v = d[y * W + x];
      if (y + 1 < H) {
        const float* dn = d + (y + 1) * W;
        v = std::min(v, dn[x] + kAxial);
        if (x + 1 < W) v = std::min(v, dn[x + 1] + kDiagonal);
        if (x > 0) v = std::min(v, dn[x - 1] + kDiagonal);
      }
      if (x + 1 < W) v = std::min(v, d[y * W + x + 1] + kAxial);
      d[y * W + x] = v;
    }
  for (size_t y = 0; y < H; ++y) {
    float* row = out + (size_t(box.y0) + y) * size_t(canvas_) + size_t(box.x0);
    for (size_t x = 0; x < W; ++x) {
      const float t = 1.0f - d[y * W + x] / feather_px_;
      row[x] = t <= 0.0f ? 0.0f : smooth(std::min(t, 1.0f));
    }
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  polygon(kp, &poly_);
  const Box b = box(poly_);
  std::fill(out, out + size_t(canvas_) * canvas_, 0.0f);
  contourF32(poly_, b, out);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  if (pi.canvas != canvas_)
    throw std::runtime_error("lip contour: the pi mask and the contour name different canvases");
  polygon(kp, &poly_);
  const Box b = box(poly_);
  if (b.empty()) {
    std::fill(out, out + size_t(canvas_) * canvas_, uint8_t(0));
    return;
  }
  grow(plane_, size_t(canvas_) * canvas_);
  contourF32(poly_, b, plane_.data());
  pi.piU8ShrunkBy(kp, plane_.data(), b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask) {
  const Box g = clipBox(box, canvas_);
  polygon(kp, &poly_);
  const Box c = this->box(poly_);
  Box in{std::max(g.x0, c.x0), std::max(g.y0, c.y0), std::min(g.x1, c.x1), std::min(g.y1, c.y1)};
  auto clearRows = [&](int32_t y0, int32_t y1) {
    for (int32_t y = y0; y < y1; ++y)
      std::fill(mask + size_t(y) * canvas_ + g.x0, mask + size_t(y) * canvas_ + g.x1, uint8_t(0));
  };
  if (c.empty() || in.empty()) {
    clearRows(g.y0, g.y1);
    return false;
  }
  grow(plane_, size_t(canvas_) * canvas_);
  contourF32(poly_, c, plane_.data());
  clearRows(g.y0, in.y0);
  clearRows(in.y1, g.y1);
  bool any = false;
  for (int32_t y = in.y0; y < in.y1; ++y) {
    uint8_t* row = mask + size_t(y) * canvas_;
    const float* a = plane_.data() + size_t(y) * canvas_;
    std::fill(row + g.x0, row + in.x0, uint8_t(0));
    std::fill(row + in.x1, row + g.x1, uint8_t(0));
    for (int32_t x = in.x0; x < in.x1; ++x) {
      row[x] = std::min(row[x], maskByte(a[x]));
      any = any || row[x] != 0;
    }
  }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double ref[2], uint8_t* out,
                                     int32_t* rowShift, int32_t* colShift) {
  if (pi.canvas != canvas_)
    throw std::runtime_error("lip contour: the pi mask and the contour name different canvases");
  const bool placed = pi.piU8AndShift(kp, ref, out, rowShift, colShift);
  const bool kept = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return placed && kept;
}

}  // namespace qo::tessera
