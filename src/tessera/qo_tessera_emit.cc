// Teeth pass, emit step: the donor set (hysteresis, look-ahead vote), the blend head's per-pixel
// softmax over the shifted donors, the delivery-mask mix and the composite into the mouth window.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "qo/qo_conv_f23.h"
#include "qo/qo_pool.h"
#include "qo/qo_simd.h"
#include "qo/qo_softmax.h"
#include "tessera/qo_tessera_pass.h"

namespace qo::tessera {
namespace {

bool contains(const std::vector<int32_t>& v, size_t n, int32_t x) {
  return std::find(v.begin(), v.begin() + std::ptrdiff_t(std::min(n, v.size())), x) !=
         v.begin() + std::ptrdiff_t(std::min(n, v.size()));
}

// 3x3 convolution of one image, optional ReLU.
void conv3x3Relu(const float* in, int cin, int h, int w, const std::vector<float>& wt, const std::vector<float>& bias,
                 int cout, float* out, bool relu) {
  simd::conv3x3Range(in, 1, cin, h, w, wt.data(), bias.data(), cout, out, 0, cout);
  if (relu)
    for (float* p = out; p < out + size_t(cout) * h * w; ++p) *p = std::max(*p, 0.0f);
}

}  // namespace

void TeethPass::gatherWindowsU8(const std::vector<int32_t>& donors, int32_t ry, int32_t rx) {
  const size_t hw3 = size_t(H_) * W_ * 3;
  pool::parallelRange(donors.size(), 1, [&](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
      const int32_t d = donors[k];
      int32_t sy, sx;
      windowOrigin(d, ry, rx, sy, sx);
      uint8_t* out = cand_u8_.data() + k * hw3;
      // Columns [j0, j1) of every row the band covers are one contiguous run of the band row.
      const int32_t colOff = sx + stamp_.shift_margin - stamp_.pad - stamp_.band_c0;
      const int32_t j0 = std::max(0, -colOff), j1 = std::min(W_, BW_ - colOff);
      for (int32_t i = 0; i < H_; ++i) {
        uint8_t* o = out + size_t(i) * W_ * 3;
        std::memset(o, 0, size_t(W_) * 3);
        const uint8_t* px = j1 > j0 ? bandPixel(d, sy, sx, i, j0) : nullptr;
        if (px) std::memcpy(o + size_t(j0) * 3, px, size_t(j1 - j0) * 3);
      }
    }
  });
}

void TeethPass::headForward(const float* cands, int32_t n, const float* frameWin, const uint8_t* delivery,
                            float* blended, float* weights) {
  const int32_t h = H_ / 2, w = W_ / 2;
  const size_t hw = size_t(H_) * W_, hw2 = size_t(h) * w;
  float* framePool = pool2_.data();
  avgPool(frameWin, 3, H_, W_, 2, framePool);
  // One candidate at a time from pooling to its upsampled logits, so that its activations stay in
  // the core's cache; the candidates are independent. Each part of the split owns one slot of
  // activations, reused by all its candidates (fresh buffers per candidate would miss every time).
  const auto candidate = [&](size_t k, float* in, float* a1, float* a2) {
    avgPool(cands + k * 3 * hw, 3, H_, W_, 2, in);
    std::memcpy(in + 3 * hw2, framePool, 3 * hw2 * sizeof(float));
    for (size_t p = 0; p < hw2; ++p)
      in[6 * hw2 + p] = (std::fabs(in[p] - framePool[p]) + std::fabs(in[hw2 + p] - framePool[hw2 + p]) +
                         std::fabs(in[2 * hw2 + p] - framePool[2 * hw2 + p])) /
                        3.0f;
    float* logit = logits_.data() + k * hw2;
    // The two 16-channel layers by the minimal-filtering transform (2.25x fewer products), ReLU
    // fused into their stores; the one-plane logit layer stays direct.
    simd::conv3x3F23(in, 7, h, w, u0_.data(), head_.cand0_b.data(), 16, true, a1);
    simd::conv3x3F23(a1, 16, h, w, u2_.data(), head_.cand2_b.data(), 16, true, a2);
    conv3x3Relu(a2, 16, h, w, head_.cand4_w, head_.cand4_b, 1, logit, false);

    // Bilinear 2x upsampling with half-pixel centres into weight plane k: each logit row along
    // the columns first (top and bottom are such rows), then the rows between them.
    const int32_t* xs = up_x_.data();
    const float* fx = up_fx_.data();
    float* rows = up_rows_.data() + k * size_t(h) * W_;
    for (int32_t r = 0; r < h; ++r) {
      const float* src = logit + size_t(r) * w;
      float* dst = rows + size_t(r) * W_;
      for (int32_t j = 0; j < W_; ++j) {
        const float a0 = src[xs[2 * j]], a1v = src[xs[2 * j + 1]];
        dst[j] = a0 + (a1v - a0) * fx[j];
      }
    }
    float* out = weights + k * hw;
    for (int32_t i = 0; i < H_; ++i) {
      const float y = std::max(0.0f, (float(i) + 0.5f) * 0.5f - 0.5f);
      const int32_t y0 = int32_t(std::floor(y)), y1 = std::min(y0 + 1, h - 1);
      const float fy = y - float(y0);
      const float* top = rows + size_t(y0) * W_;
      const float* bottom = rows + size_t(y1) * W_;
      float* o = out + size_t(i) * W_;
      for (int32_t j = 0; j < W_; ++j) o[j] = (bottom[j] - top[j]) * fy + top[j];
    }
  };
  const size_t parts = size_t(pool::parts(size_t(n), 1));
  pool::parallelRange(parts, 1, [&](size_t pb, size_t pe) {
    for (size_t part = pb; part < pe; ++part)
      for (size_t k = part * size_t(n) / parts; k < (part + 1) * size_t(n) / parts; ++k)
        candidate(k, in7_.data() + part * 7 * hw2, act1_.data() + part * 16 * hw2, act2_.data() + part * 16 * hw2);
  });

  // Softmax over the candidates per pixel (each pixel sums its candidates in candidate order); the
  // synthesis plane is all 0 in this head.
  constexpr size_t kBlock = 256;
  pool::parallelRange(hw, kBlock, [&](size_t b, size_t e) {
    simd::softmaxPlanes(weights, size_t(n), hw, b, e);
    std::fill(weights + size_t(n) * hw + b, weights + size_t(n) * hw + e, 0.0f);
  });
  pool::parallelRange(hw, kBlock, [&](size_t b, size_t e) {
    for (int c = 0; c < 3; ++c) {
      float* __restrict acc = blended + c * hw;
      std::fill(acc + b, acc + e, 0.0f);
      for (int32_t k = 0; k < n; ++k) {
        const float* __restrict wk = weights + size_t(k) * hw;
        const float* __restrict ck = cands + (size_t(k) * 3 + c) * hw;
        for (size_t p = b; p < e; ++p) acc[p] += wk[p] * ck[p];
      }
      const float* f = frameWin + c * hw;
      for (size_t p = b; p < e; ++p)
        if (!delivery[p]) acc[p] = f[p];
    }
  });
}

void TeethPass::emit(const Pending& pend, const std::vector<int32_t>* lookahead, FrameResult& result) {
  if (!pend.ok) {
    result.rgb.clear();
    result.skipped = true;
    result.reason = pend.reason;
    result.donors = 0;
    return;
  }
  const size_t K = size_t(config_.K);
  const std::vector<int32_t>& C = pend.donors;
  const size_t nC = std::min(K, C.size());
  const size_t nL = (lookahead && config_.lookahead_vote) ? std::min(size_t(config_.lookahead), lookahead->size()) : 0;
  tmp_set_.clear();  // D: members of C not in L
  for (size_t i = 0; i < nC; ++i)
    if (!lookahead || !contains(*lookahead, nL, C[i])) tmp_set_.push_back(C[i]);
  set_.clear();
  if (held_set_.empty() || pend.frame != last_emitted_ + 1) {
    for (size_t i = 0; i < nL; ++i) set_.push_back((*lookahead)[i]);
    set_.insert(set_.end(), tmp_set_.begin(), tmp_set_.end());
  } else {
    set_ = held_set_;
    for (size_t i = 0; i < nL; ++i)
      if (!contains(held_set_, held_set_.size(), (*lookahead)[i])) set_.push_back((*lookahead)[i]);
    for (int32_t d : tmp_set_)
      if (!contains(held_set_, held_set_.size(), d)) set_.push_back(d);
  }
  if (set_.size() > K) set_.resize(K);
  const int32_t n = int32_t(set_.size());
  const size_t hw = size_t(H_) * W_;
  const int32_t cw = stamp_.canvas_w;

  gatherWindowsU8(set_, pend.ry, pend.rx);
  pool::parallelRange(size_t(n), 1, [&](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
      const uint8_t* u = cand_u8_.data() + k * hw * 3;
      float* f = cands_.data() + k * 3 * hw;
      for (size_t p = 0; p < hw; ++p)
        for (int c = 0; c < 3; ++c) f[c * hw + p] = float(u[p * 3 + c]) / 255.0f;
    }
  });
  pool::parallelRange(size_t(H_), 8, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      const uint8_t* row = pend.rgb.data() + ((size_t(stamp_.window_y0) + i) * cw + stamp_.window_x0) * 3;
      for (int32_t j = 0; j < W_; ++j)
        for (int c = 0; c < 3; ++c) frame_win_[c * hw + i * W_ + j] = float(row[size_t(j) * 3 + c]) / 255.0f;
    }
  });

  // Delivery: inside the band, where the frame's mask is set and every donor's shifted band covers.
  std::fill(delivery_.begin(), delivery_.end(), 0);
  int32_t* org = origin_.data();
  for (int32_t k = 0; k < n; ++k) windowOrigin(set_[size_t(k)], pend.ry, pend.rx, org[2 * k], org[2 * k + 1]);
  // Each donor's shifted band covers one rectangle of the window: the pixels every donor covers
  // are the intersection of those rectangles with the band's.
  int32_t i0 = stamp_.band_r0, i1 = stamp_.band_r1, j0 = stamp_.band_c0, j1 = stamp_.band_c1;
  for (int32_t k = 0; k < n; ++k) {
    const int32_t offY = org[2 * k] + stamp_.shift_margin - stamp_.pad - stamp_.band_r0;
    const int32_t offX = org[2 * k + 1] + stamp_.shift_margin - stamp_.pad - stamp_.band_c0;
    i0 = std::max(i0, -offY);
    i1 = std::min(i1, BH_ - offY);
    j0 = std::max(j0, -offX);
    j1 = std::min(j1, BW_ - offX);
  }
  int64_t count = 0;
  for (int32_t i = i0; i < i1; ++i) {
    const uint8_t* mrow = pend.mask.data() + (size_t(stamp_.window_y0) + i) * cw + stamp_.window_x0;
    for (int32_t j = j0; j < j1; ++j)
      if (mrow[j]) {
        delivery_[size_t(i) * W_ + j] = 1;
        ++count;
      }
  }

  headForward(cands_.data(), n, frame_win_.data(), delivery_.data(), blended_.data(), weights_.data());

  if (count > 0) {
    const float* syn = weights_.data() + size_t(n) * hw;
    double sum = 0.0, mx = 0.0;
    for (size_t p = 0; p < hw; ++p)
      if (delivery_[p]) {
        sum += syn[p];
        mx = std::max(mx, double(syn[p]));
      }
    const double mean = sum / double(count);
    result.synth_mean = float(mean);
    result.synth_max = float(mx);
    stats_.frames += 1;
    stats_.pixels += count;
    stats_.synth_mean_sum += mean;
    stats_.synth_max = std::max(stats_.synth_max, mx);
  }

  pool::parallelRange(size_t(n), 1, [&](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
      float m = 0.0f;
      for (size_t p = 0; p < hw; ++p) m += weights_[k * hw + p];
      mass_[k] = -m;
    }
  });
  tmp_set_.resize(size_t(n));
  for (int32_t k = 0; k < n; ++k) tmp_set_[size_t(k)] = k;
  std::stable_sort(tmp_set_.begin(), tmp_set_.end(),
                   [&](int32_t a, int32_t b) { return mass_[size_t(a)] < mass_[size_t(b)]; });
  held_set_.clear();
  for (size_t i = 0; i < std::min(size_t(n), size_t(config_.hysteresis)); ++i)
    held_set_.push_back(set_[size_t(tmp_set_[i])]);
  last_emitted_ = pend.frame;

  result.rgb.resize(hw * 3);
  pool::parallelRange(size_t(H_), 4, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      const uint8_t* mrow = pend.mask.data() + (size_t(stamp_.window_y0) + i) * cw + stamp_.window_x0;
      for (int32_t j = 0; j < W_; ++j) {
        const float a = float(mrow[j]) / 255.0f;
        const size_t p = i * W_ + j;
        for (int c = 0; c < 3; ++c) {
          const float v = (1.0f - a) * frame_win_[c * hw + p] + a * blended_[c * hw + p];
          result.rgb[p * 3 + c] = v < 0.0f ? 0 : uint8_t(std::nearbyint(std::min(v, 1.0f) * 255.0f));
        }
      }
    }
  });
  result.donors = n;
  result.skipped = false;
  result.reason.clear();
}

}  // namespace qo::tessera
