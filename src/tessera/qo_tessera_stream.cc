// StreamBorrow: crop conversion, mask and shift per frame, and the window write-back.
#include "tessera/qo_tessera_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "qo/qo_pool.h"
#include "qo/qo_simd.h"

namespace qo::tessera {
namespace {

constexpr float kInv255 = 0.003921569f;
constexpr size_t kGrain = 4096;

void checkWindow(const FrameResult& r, int N, const GeometryStamp& s) {
  const size_t want = size_t(s.window_w) * size_t(s.window_h) * 3;
  if (r.rgb.size() != want)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.rgb.size()) +
                             " bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
                             std::to_string(s.window_w) + " \xE2\x80\x94 refusing to write back");
  if (s.window_x0 < 0 || s.window_y0 < 0 || s.window_x0 + s.window_w > N || s.window_y0 + s.window_h > N)
    throw std::runtime_error("teeth stream: the stamp window " + s.text() + " leaves the " + std::to_string(N) +
                             "x" + std::to_string(N) + " crop \xE2\x80\x94 refusing to write back");
}

// The borrowed byte replaces the one v quantises to; v's sub-byte remainder stays.
inline float delta(uint8_t borrowed, float v) {
  const float q = float(StreamBorrow::quantise(v));
  return std::clamp(float(borrowed) * kInv255 - q * kInv255 + v, 0.0f, 1.0f);
}

}  // namespace

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lipTemplateText)
    : TeethPass(bank, head, config), pi_(pi) {
  const GeometryStamp& s = stamp();
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " \xE2\x80\x94 qo_core renders a square crop");
  if (pi_.canvas != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " \xE2\x80\x94 refusing to compose a mouth on a canvas the stamp does not name");
  N_ = s.canvas_w;
  ref_[0] = bank.c_canon.at(0);
  ref_[1] = bank.c_canon.at(1);
  if (lipTemplateText.empty()) {
    std::fprintf(stderr,
                 "[borrow] !!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no %s, so it serves the "
                 "over-covering elliptical mask the contour replaces. BACKFILL IT: "
                 "models/ostrel-2/tools/bake_lip_templates\n",
                 "lip_template.v1.json");
  } else {
    contour_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplateText, N_));
    std::fprintf(stderr,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) \xE2\x80\x94 the ellipse is not "
                 "reachable in this session\n",
                 contour_->vertexCount(), double(contour_->featherPx()));
  }
  rgb_.resize(size_t(N_) * size_t(N_) * 3);
  mask_.resize(size_t(N_) * size_t(N_));
}

bool StreamBorrow::push(const float* planarRgb, const float* keypoints, FrameResult& result) {
  const size_t plane = size_t(N_) * size_t(N_);
  uint8_t* out = rgb_.data();
  pool::parallelRange(plane, kGrain,
                      [&](size_t b, size_t e) { simd::planarF32ToRgb8(planarRgb + b, plane, out + 3 * b, e - b); });
  return pushSynth(keypoints, result);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult& result) {
  const size_t plane = size_t(N_) * size_t(N_);
  for (size_t p = 0; p < plane; ++p)
    for (size_t c = 0; c < 3; ++c) rgb_[p * 3 + c] = rgba[p * 4 + c];
  return pushSynth(keypoints, result);
}

bool StreamBorrow::pushSynth(const float* keypoints, FrameResult& result) {
  int32_t shift[2] = {0, 0};
  const bool ok = contour_ ? contour_->deliveredU8AndShift(keypoints, pi_, ref_, mask_.data(), &shift[0], &shift[1])
                           : pi_.piU8AndShift(keypoints, ref_, mask_.data(), &shift[0], &shift[1]);
  const bool emitted = TeethPass::push(frame_, rgb_.data(), mask_.data(), ok ? shift : nullptr, result);
  ++frame_;
  return emitted;
}

void StreamBorrow::writeWindowDelta(float* planarRgb, int N, const FrameResult& result, const GeometryStamp& s) {
  if (result.skipped) return;
  checkWindow(result, N, s);
  const size_t plane = size_t(N) * size_t(N);
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < s.window_w; ++j) {
      const size_t p = size_t(s.window_y0 + i) * size_t(N) + size_t(s.window_x0 + j);
      const uint8_t* w = result.rgb.data() + (size_t(i) * size_t(s.window_w) + size_t(j)) * 3;
      for (int c = 0; c < 3; ++c) {
        float& v = planarRgb[size_t(c) * plane + p];
        v = delta(w[c], v);
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& result, const GeometryStamp& s) {
  const size_t plane = size_t(N) * size_t(N);
  for (size_t p = 0; p < plane; ++p) rgba[p * 4 + 3] = 255;
  if (result.skipped) return;
  checkWindow(result, N, s);
  for (int i = 0; i < s.window_h; ++i)
    for (int j = 0; j < s.window_w; ++j) {
      uint8_t* px = rgba + (size_t(s.window_y0 + i) * size_t(N) + size_t(s.window_x0 + j)) * 4;
      const uint8_t* w = result.rgb.data() + (size_t(i) * size_t(s.window_w) + size_t(j)) * 3;
      for (int c = 0; c < 3; ++c) {
        const float value = delta(w[c], float(px[c]) * kInv255);
        px[c] = value <= 0.0f ? 0 : value >= 1.0f ? 255 : uint8_t(std::rint(value * 255.0f));
      }
    }
}

}  // namespace qo::tessera
