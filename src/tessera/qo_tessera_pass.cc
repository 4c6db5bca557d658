// Teeth pass: construction, the pooled bank index, the mouth shift, donor retrieval and the
// one-frame delay of push/flush.
#include "tessera/qo_tessera_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "qo/qo_conv_f23.h"
#include "qo/qo_pool.h"
#include "qo/qo_simd.h"

namespace qo::tessera {
namespace {

float roundHalf(float v) { return halfToFloat(f32ToF16(v)); }

void requireSize(const std::vector<float>& v, size_t n, const char* name) {
  if (v.size() != n)
    throw std::runtime_error(std::string("teeth: head weights ") + name + " hold " + std::to_string(v.size()) +
                             " values, the blend head needs " + std::to_string(n));
}

}  // namespace

TeethPass::TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config)
    : stamp_(bank.stamp), config_(config), head_(head), n_(bank.n_donors) {
  stamp_.validate();
  BH_ = stamp_.bandH();
  BW_ = stamp_.bandW();
  const uint64_t required = uint64_t(std::max(n_, 0)) * uint64_t(BH_) * uint64_t(BW_) * 3u;
  if (n_ < 0 || bank.bands.size() != required)
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank.bands.size()) +
                             " bytes, the stamp requires " + std::to_string(required) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format "
                             "would land here");
  if (bank.aperture.size() != size_t(n_) || bank.cent.size() != 2 * size_t(n_) || bank.c_canon.size() < 2)
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  if (n_ < 1) throw std::runtime_error("teeth: the bank holds no donor");
  H_ = stamp_.window_h;
  W_ = stamp_.window_w;
  // The head runs at half resolution and upsamples by 2: an odd side would leave its last row or
  // column without a logit.
  if (H_ % 2 != 0 || W_ % 2 != 0)
    throw std::runtime_error("teeth: window " + std::to_string(W_) + "x" + std::to_string(H_) +
                             " has an odd side — the blend head upsamples by 2 and covers only even windows");
  if (config_.K < 1 || config_.kshort < 1 || config_.cut < 1 || config_.hysteresis < 0 || config_.lookahead < 0)
    throw std::runtime_error("teeth: serve config leaves the retrieval without donors");
  requireSize(head_.cand0_w, 16 * 7 * 9, "cand.0.weight");
  requireSize(head_.cand0_b, 16, "cand.0.bias");
  requireSize(head_.cand2_w, 16 * 16 * 9, "cand.2.weight");
  requireSize(head_.cand2_b, 16, "cand.2.bias");
  requireSize(head_.cand4_w, 16 * 9, "cand.4.weight");
  requireSize(head_.cand4_b, 1, "cand.4.bias");

  bands_ = bank.bands;
  aperture_ = bank.aperture;
  c_canon_[0] = bank.c_canon[0];
  c_canon_[1] = bank.c_canon[1];
  dy_.resize(size_t(n_));
  dx_.resize(size_t(n_));
  // Centres far off the canvas only clamp the donor's window origin; limiting them keeps the
  // integer conversion defined for hostile sidecars.
  auto offset = [](double v) {
    if (!std::isfinite(v)) throw std::runtime_error("teeth: bank sidecar holds a non-finite centre");
    return int32_t(std::nearbyint(std::clamp(v, -1e6, 1e6)));  // half to even (default rounding mode)
  };
  offset(c_canon_[0]);
  offset(c_canon_[1]);
  for (int32_t d = 0; d < n_; ++d) {
    dx_[size_t(d)] = offset(bank.cent[2 * size_t(d)] - c_canon_[0]);
    dy_[size_t(d)] = offset(bank.cent[2 * size_t(d) + 1] - c_canon_[1]);
  }
  H4_ = H_ / 4;
  W4_ = W_ / 4;
  const size_t hw = size_t(H_) * W_, hw4 = size_t(H4_) * W4_;
  band_mask_.assign(hw, 0);
  for (int32_t i = stamp_.band_r0; i < stamp_.band_r1; ++i)
    for (int32_t j = stamp_.band_c0; j < stamp_.band_c1; ++j) band_mask_[size_t(i) * W_ + j] = 1;

  prev_w_.assign(hw, 0.0f);
  const size_t canvas = size_t(stamp_.canvas_w) * stamp_.canvas_h;
  for (Pending* p : {&held_, &next_}) {
    p->rgb.resize(canvas * 3);
    p->mask.resize(canvas);
    p->donors.reserve(size_t(config_.K));
  }
  win_u8_.resize(hw * 3);
  cols_.resize(size_t(W_));
  tw_.resize(hw);
  win_f_.resize(hw * 3);
  pool_f_.resize(hw4 * 3);
  pooled_win_.resize(hw4 * 3);
  pooled_w_.resize(hw4);
  dist_pooled_.resize(size_t(n_));
  dist_exact_.resize(size_t(n_));
  order_.resize(size_t(n_));
  short_.reserve(size_t(n_));

  const size_t K = size_t(config_.K), hw2 = size_t(H_ / 2) * size_t(W_ / 2);
  set_.reserve(K + size_t(config_.lookahead) + size_t(config_.hysteresis));
  tmp_set_.reserve(set_.capacity());
  held_set_.reserve(K);
  cand_u8_.resize(K * hw * 3);
  cands_.resize(K * hw * 3);
  frame_win_.resize(hw * 3);
  delivery_.resize(hw);
  blended_.resize(hw * 3);
  weights_.resize((K + 1) * hw);
  mass_.resize(K);
  origin_.resize(2 * K);
  pool2_.resize((K + 1) * 3 * hw2);
  const size_t slots = size_t(pool::threads());  // one per part of the head's candidate split
  in7_.resize(slots * 7 * hw2);
  act1_.resize(slots * 16 * hw2);
  act2_.resize(slots * 16 * hw2);
  logits_.resize(K * hw2);
  u0_.resize(simd::conv3x3F23WeightFloats(7, 16));
  u2_.resize(simd::conv3x3F23WeightFloats(16, 16));
  simd::conv3x3F23Weights(head_.cand0_w.data(), 7, 16, u0_.data());
  simd::conv3x3F23Weights(head_.cand2_w.data(), 16, 16, u2_.data());
  up_rows_.resize(K * size_t(H_ / 2) * size_t(W_));
  up_x_.resize(2 * size_t(W_));
  up_fx_.resize(size_t(W_));
  for (int32_t j = 0; j < W_; ++j) {  // half-pixel centres, as the rows below
    const float x = std::max(0.0f, (float(j) + 0.5f) * 0.5f - 0.5f);
    const int32_t x0 = int32_t(std::floor(x));
    up_x_[2 * size_t(j)] = x0;
    up_x_[2 * size_t(j) + 1] = std::min(x0 + 1, W_ / 2 - 1);
    up_fx_[size_t(j)] = x - float(x0);
  }

  buildIndex();
}

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(65536);
    float v[256];
    for (int k = 0; k < 256; ++k) v[k] = roundHalf(float(k) / 255.0f);
    for (int p = 0; p < 256; ++p)
      for (int q = 0; q < 256; ++q) t[size_t(p) * 256 + q] = std::fabs(roundHalf(v[q] - v[p]));
    return t;
  }();
  return table.data();
}

void TeethPass::windowOrigin(int32_t d, int32_t ry, int32_t rx, int32_t& sy, int32_t& sx) const {
  const int32_t P = stamp_.pad;
  sy = std::clamp(P + dy_[size_t(d)] - ry, 0, 2 * P);
  sx = std::clamp(P + dx_[size_t(d)] - rx, 0, 2 * P);
}

const uint8_t* TeethPass::bandPixel(int32_t d, int32_t sy, int32_t sx, int32_t i, int32_t j) const {
  const int32_t by = i + sy + stamp_.shift_margin - stamp_.pad - stamp_.band_r0;
  const int32_t bx = j + sx + stamp_.shift_margin - stamp_.pad - stamp_.band_c0;
  if (by < 0 || by >= BH_ || bx < 0 || bx >= BW_) return nullptr;
  return bands_.data() + ((size_t(d) * BH_ + by) * BW_ + bx) * 3;
}

void TeethPass::canonicalWindowF16Rows(int32_t d, uint16_t* out, int32_t rowBegin, int32_t rowEnd) const {
  const size_t plane = size_t(H_) * W_;
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, H_);
  int32_t sy, sx;
  windowOrigin(d, 0, 0, sy, sx);
  const int32_t colOff = sx + stamp_.shift_margin - stamp_.pad - stamp_.band_c0;
  const int32_t j0 = std::max(0, -colOff), j1 = std::min(W_, BW_ - colOff);
  for (int32_t i = rowBegin; i < rowEnd; ++i) {
    for (int c = 0; c < 3; ++c) std::memset(out + c * plane + size_t(i) * W_, 0, size_t(W_) * sizeof(uint16_t));
    const uint8_t* px = j1 > j0 ? bandPixel(d, sy, sx, i, j0) : nullptr;
    if (px) simd::rgb8ToPlanarF16(px, out + size_t(i) * W_ + j0, plane, size_t(j1 - j0));
  }
}

void TeethPass::canonicalWindowF16(int32_t d, uint16_t* out) const { canonicalWindowF16Rows(d, out, 0, H_); }

void TeethPass::avgPool(const float* in, int32_t C, int32_t H, int32_t W, int32_t s, float* out) {
  const int32_t ho = H / s, wo = W / s;
  const float scale = 1.0f / float(s * s);
  if (s == 2) {  // the blend head's pooling: the same sums, unrolled
    for (int32_t c = 0; c < C; ++c)
      for (int32_t y = 0; y < ho; ++y) {
        const float* r0 = in + (size_t(c) * H + size_t(2 * y)) * W;
        const float* r1 = r0 + W;
        float* dst = out + (size_t(c) * ho + y) * wo;
        for (int32_t x = 0; x < wo; ++x) {
          float sum = 0.0f;
          sum += r0[2 * x];
          sum += r0[2 * x + 1];
          sum += r1[2 * x];
          sum += r1[2 * x + 1];
          dst[x] = sum * scale;
        }
      }
    return;
  }
  for (int32_t c = 0; c < C; ++c) {
    const float* src = in + size_t(c) * H * W;
    float* dst = out + size_t(c) * ho * wo;
    for (int32_t y = 0; y < ho; ++y)
      for (int32_t x = 0; x < wo; ++x) {
        float sum = 0.0f;
        for (int32_t by = 0; by < s; ++by)
          for (int32_t bx = 0; bx < s; ++bx) sum += src[size_t(y * s + by) * W + x * s + bx];
        dst[size_t(y) * wo + x] = sum * scale;
      }
  }
}

void TeethPass::buildIndex() {
  const size_t hw = size_t(H_) * W_, hw4 = size_t(H4_) * W4_;
  index_.assign(size_t(n_) * 3 * hw4, 0);
  pool::parallelRange(size_t(n_), 1, [&](size_t b, size_t e) {
    std::vector<uint16_t> h16(hw * 3);
    std::vector<float> f(hw * 3), pooled(hw4 * 3);
    for (size_t d = b; d < e; ++d) {
      canonicalWindowF16(int32_t(d), h16.data());
      simd::f16ToF32(h16.data(), f.data(), f.size());
      avgPool(f.data(), 3, H_, W_, 4, pooled.data());
      simd::f32ToF16(pooled.data(), index_.data() + d * 3 * hw4, pooled.size());
    }
  });
}

bool TeethPass::deriveShift(const uint8_t* mask, const int32_t* shift, int32_t& ry, int32_t& rx,
                            std::string& reason) const {
  if (shift) {
    ry = shift[0];
    rx = shift[1];
  } else {
    double sr = 0, sc = 0;
    int64_t count = 0;
    for (int32_t y = 0; y < stamp_.canvas_h; ++y) {
      const uint8_t* row = mask + size_t(y) * stamp_.canvas_w;
      for (int32_t x = 0; x < stamp_.canvas_w; ++x)
        if (row[x] >= 128) {
          sr += y;
          sc += x;
          ++count;
        }
    }
    if (count == 0) {
      reason = "empty-pi";
      return false;
    }
    ry = int32_t(std::nearbyint(std::clamp(sr / double(count) - c_canon_[1], -1e6, 1e6)));
    rx = int32_t(std::nearbyint(std::clamp(sc / double(count) - c_canon_[0], -1e6, 1e6)));
  }
  // 64-bit: a caller's shift of INT32_MIN must not overflow the magnitude test.
  if (std::llabs(int64_t(ry)) > stamp_.pad || std::llabs(int64_t(rx)) > stamp_.pad) {
    reason = "shift-out-of-range";
    return false;
  }
  return true;
}

void TeethPass::retrievePrepare(const uint8_t* canvasRgb, const uint8_t* canvasMask, int32_t ry, int32_t rx) {
  const size_t hw = size_t(H_) * W_;
  const int32_t cw = stamp_.canvas_w, ch = stamp_.canvas_h;
  // The window moved by the shift can pass the canvas edge when the window sits at it; reads
  // clamp to the edge pixel so none leaves the canvas.
  std::vector<int32_t>& cols = cols_;
  for (int32_t j = 0; j < W_; ++j) cols[size_t(j)] = std::clamp(stamp_.window_x0 + rx + j, 0, cw - 1);
  const float lumaFloor = float(config_.luma_floor), rgTol = float(config_.rg_tol);
  float sum = 0.0f;
  for (int32_t i = 0; i < H_; ++i) {
    const int32_t y = std::clamp(stamp_.window_y0 + ry + i, 0, ch - 1);
    for (int32_t j = 0; j < W_; ++j) {
      const size_t cpx = size_t(y) * cw + cols[size_t(j)];
      const uint8_t* s = canvasRgb + cpx * 3;
      uint8_t* d = win_u8_.data() + (size_t(i) * W_ + j) * 3;
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      const float m = float(canvasMask[cpx]) / 255.0f;
      const float R = s[0], G = s[1], B = s[2];
      const float luma = 0.299f * R + 0.587f * G + 0.114f * B;
      const float w = (m > 0.5f && luma >= lumaFloor && std::fabs(G - R) < rgTol) ? 1.0f : 0.0f;
      tw_[size_t(i) * W_ + j] = w;
      sum += w;
    }
  }
  if (sum < float(config_.min_teeth_px)) {
    // Too few teeth pixels to match on: the whole delivered mouth decides.
    for (int32_t i = 0; i < H_; ++i) {
      const int32_t y = std::clamp(stamp_.window_y0 + ry + i, 0, ch - 1);
      for (int32_t j = 0; j < W_; ++j)
        tw_[size_t(i) * W_ + j] = float(canvasMask[size_t(y) * cw + cols[size_t(j)]]) / 255.0f > 0.5f ? 1.0f : 0.0f;
    }
  }
  if (has_prev_w_) {
    const float carry = float(config_.weight_carry);
    for (size_t p = 0; p < hw; ++p) tw_[p] = std::max(tw_[p], carry * prev_w_[p]);
  }
  std::copy(tw_.begin(), tw_.end(), prev_w_.begin());
  has_prev_w_ = true;
  sum = 0.0f;
  row_first_ = H_;
  row_last_ = -1;
  for (int32_t i = 0; i < H_; ++i)
    for (int32_t j = 0; j < W_; ++j) {
      const float w = tw_[size_t(i) * W_ + j];
      sum += w;
      if (w != 0.0f) {
        row_first_ = std::min(row_first_, i);
        row_last_ = i;
      }
    }
  total_w_ = sum < 1.0f ? 1.0f : sum;

  for (size_t p = 0; p < hw; ++p)
    for (int c = 0; c < 3; ++c) win_f_[c * hw + p] = float(win_u8_[p * 3 + c]) / 255.0f;
  avgPool(win_f_.data(), 3, H_, W_, 4, pool_f_.data());
  simd::f32ToF16(pool_f_.data(), pooled_win_.data(), pooled_win_.size());
  avgPool(tw_.data(), 1, H_, W_, 4, pool_f_.data());
  simd::f32ToF16(pool_f_.data(), pooled_w_.data(), pooled_w_.size());
  float pt = 0.0f;
  for (uint16_t h : pooled_w_) pt += halfToFloat(h);
  pooled_total_ = pt < 1e-4f ? 1e-4f : pt;
}

float TeethPass::exactTermFromBand(int32_t d) const {
  const float* T = dTable();
  int32_t sy, sx;
  windowOrigin(d, 0, 0, sy, sx);
  const int32_t colOff = sx + stamp_.shift_margin - stamp_.pad - stamp_.band_c0;
  float sum = 0.0f;
  for (int32_t i = row_first_; i <= row_last_; ++i) {
    const float* wr = tw_.data() + size_t(i) * W_;
    const uint8_t* fr = win_u8_.data() + size_t(i) * W_ * 3;
    const uint8_t* br = bandPixel(d, sy, sx, i, -colOff);  // band column 0 of this row, or null
    for (int32_t j = 0; j < W_; ++j) {
      const float w = wr[j];
      if (w == 0.0f) continue;
      const int32_t bx = j + colOff;
      const uint8_t* q = (br && bx >= 0 && bx < BW_) ? br + size_t(bx) * 3 : nullptr;
      const uint8_t* p = fr + size_t(j) * 3;
      const float s = T[size_t(p[0]) * 256 + (q ? q[0] : 0)] + T[size_t(p[1]) * 256 + (q ? q[1] : 0)] +
                      T[size_t(p[2]) * 256 + (q ? q[2] : 0)];
      sum += w * roundHalf(s / 3.0f);
    }
  }
  return sum;
}

void TeethPass::retrieveSelect(const std::vector<float>& pooled, const std::vector<float>& exact,
                               std::vector<int32_t>& out) const {
  (void)pooled;  // order_ already holds the pooled ranking
  const size_t nShort = std::min<size_t>(size_t(n_), size_t(config_.kshort));
  short_.assign(order_.begin(), order_.begin() + std::ptrdiff_t(nShort));
  std::stable_sort(short_.begin(), short_.end(),
                   [&](int32_t a, int32_t b) { return exact[size_t(a)] < exact[size_t(b)]; });
  const double c = aperture_[size_t(short_[0])];
  const double tol = std::max(c, 1e-6) * config_.aperture_tol;
  const size_t walk = std::min(short_.size(), size_t(config_.cut)), K = size_t(config_.K);
  out.clear();
  for (size_t i = 0; i < walk && out.size() < K; ++i)
    if (std::fabs(aperture_[size_t(short_[i])] - c) <= tol) out.push_back(short_[i]);
  if (out.empty()) out.push_back(short_[0]);
  while (out.size() < K) out.push_back(out.back());
}

void TeethPass::retrieve(const uint8_t* canvasRgb, const uint8_t* canvasMask, int32_t ry, int32_t rx,
                         std::vector<int32_t>& out) {
  retrievePrepare(canvasRgb, canvasMask, ry, rx);
  const size_t n4 = size_t(H4_) * W4_;
  pool::parallelRange(size_t(n_), 1, [&](size_t b, size_t e) {
    for (size_t d = b; d < e; ++d) {
      const float t = simd::retrieveTermPooled(index_.data() + d * 3 * n4, pooled_win_.data(), pooled_w_.data(), n4);
      dist_pooled_[d] = roundHalf(t) / pooled_total_;
    }
  });
  std::iota(order_.begin(), order_.end(), 0);
  std::stable_sort(order_.begin(), order_.end(),
                   [&](int32_t a, int32_t b) { return dist_pooled_[size_t(a)] < dist_pooled_[size_t(b)]; });
  std::fill(dist_exact_.begin(), dist_exact_.end(), 0.0f);
  const size_t nShort = std::min<size_t>(size_t(n_), size_t(config_.kshort));
  pool::parallelRange(nShort, 1, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      const int32_t d = order_[i];
      dist_exact_[size_t(d)] = exactTermFromBand(d) / total_w_;
    }
  });
  retrieveSelect(dist_pooled_, dist_exact_, out);
}

bool TeethPass::push(int32_t frameIndex, const uint8_t* canvasRgb, const uint8_t* canvasMask, const int32_t* shift,
                     FrameResult& result) {
  Pending& p = next_;
  p.frame = frameIndex;
  std::memcpy(p.rgb.data(), canvasRgb, p.rgb.size());
  std::memcpy(p.mask.data(), canvasMask, p.mask.size());
  p.reason.clear();
  p.donors.clear();
  p.ry = p.rx = 0;
  p.ok = deriveShift(p.mask.data(), shift, p.ry, p.rx, p.reason);
  if (p.ok) retrieve(p.rgb.data(), p.mask.data(), p.ry, p.rx, p.donors);
  const bool emitted = has_held_;
  if (emitted) emit(held_, p.ok ? &p.donors : nullptr, result);
  std::swap(held_, next_);
  has_held_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult& result) {
  if (!has_held_) return false;
  emit(held_, nullptr, result);
  has_held_ = false;
  return true;
}

}  // namespace qo::tessera
