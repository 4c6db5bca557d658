// The teeth pass: per rendered mouth, retrieve the closest donor mouths of the bank (a pooled
// binary16 ranking of every donor, then an exact per-pixel distance for the short list), fix the
// donor set with hysteresis and a one-frame look-ahead vote, blend the donors with the blend head
// and composite them into the mouth window under the delivered mask.
//
// One pass serves one thread; its loops run on the engine pool. Every buffer is sized at
// construction and reused frame after frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera/qo_tessera.h"

namespace qo::tessera {

// The donor bank as the pass takes it.
struct BankData {
  std::vector<uint8_t> bands;     // n_donors x bandH x bandW x 3, donor order
  std::vector<double> cent;       // 2 per donor: x, y
  std::vector<double> c_canon;    // x, y
  std::vector<double> aperture;   // 1 per donor
  GeometryStamp stamp;
  int32_t n_donors = 0;
};

// One frame waiting for the next one's donors.
struct Pending {
  int32_t frame = 0;
  std::vector<uint8_t> rgb;   // canvas RGB24 copy
  std::vector<uint8_t> mask;  // canvas mask copy
  std::vector<int32_t> donors;
  int32_t ry = 0, rx = 0;
  bool ok = false;
  std::string reason;
};

// One emitted frame. Reused across frames: emit overwrites rgb/skipped/reason/donors, and the
// synthesis statistics only when the frame had delivery pixels.
struct FrameResult {
  std::vector<uint8_t> rgb;  // window_h x window_w x 3 at (window_x0, window_y0); empty when skipped
  bool skipped = false;
  std::string reason;  // "empty-pi" or "shift-out-of-range" when skipped
  int32_t donors = 0;
  float synth_mean = -1.0f, synth_max = -1.0f;

  // Back to the state of a new result (keeps rgb's capacity).
  void reset() {
    rgb.clear();
    skipped = false;
    reason.clear();
    donors = 0;
    synth_mean = synth_max = -1.0f;
  }
};

// Running statistics over frames with delivery pixels.
struct PassStats {
  int64_t frames = 0;
  int64_t pixels = 0;
  double synth_mean_sum = 0.0;
  double synth_max = 0.0;
};

class TeethPass {
 public:
  // Throws std::runtime_error ("teeth: ...") for an incoherent stamp, a band buffer or sidecar
  // array of the wrong size, head weights of the wrong shapes, or an odd window side.
  TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config);
  virtual ~TeethPass() = default;
  TeethPass(const TeethPass&) = delete;
  TeethPass& operator=(const TeethPass&) = delete;

  // Offers a frame (canvas_h x canvas_w x 3 bytes, canvas_h x canvas_w mask bytes); shift is
  // (row, column) or null to derive it from the mask. True when `result` received the previous
  // frame.
  bool push(int32_t frameIndex, const uint8_t* canvasRgb, const uint8_t* canvasMask, const int32_t* shift,
            FrameResult& result);
  // Emits the held frame; false when nothing was held.
  bool flush(FrameResult& result);

  const GeometryStamp& stamp() const { return stamp_; }
  const ServeConfig& config() const { return config_; }
  const PassStats& stats() const { return stats_; }
  int32_t nDonors() const { return n_; }

  // --- the steps, public for tests and benchmarks ---

  // 65,536 per-channel distances of two bytes: entry p * 256 + q = |h(h(q/255) - h(p/255))|.
  static const float* dTable();
  // Donor d's window with no frame shift: 3 binary16 planes of H x W (0 outside its band).
  void canonicalWindowF16(int32_t d, uint16_t* out) const;
  void canonicalWindowF16Rows(int32_t d, uint16_t* out, int32_t rowBegin, int32_t rowEnd) const;
  // Windows of `donors` moved by the frame shift, H x W x 3 bytes each, into candU8().
  void gatherWindowsU8(const std::vector<int32_t>& donors, int32_t ry, int32_t rx);
  bool deriveShift(const uint8_t* mask, const int32_t* shift, int32_t& ry, int32_t& rx, std::string& reason) const;
  // Shifted frame window, teeth weights (carried over frames), pooled window and weights.
  void retrievePrepare(const uint8_t* canvasRgb, const uint8_t* canvasMask, int32_t ry, int32_t rx);
  // From pooled distances of every donor and exact distances of the short list, the K donors.
  void retrieveSelect(const std::vector<float>& pooled, const std::vector<float>& exact,
                      std::vector<int32_t>& out) const;
  void retrieve(const uint8_t* canvasRgb, const uint8_t* canvasMask, int32_t ry, int32_t rx,
                std::vector<int32_t>& out);
  // Exact distance term of donor d against the prepared frame window (not divided by the total).
  float exactTermFromBand(int32_t d) const;
  // Emits one held frame with the next frame's donors (or null) as the look-ahead list.
  void emit(const Pending& p, const std::vector<int32_t>* lookahead, FrameResult& result);
  // cands: n x 3 x H x W, frameWin: 3 x H x W, delivery: H x W; blended: 3 x H x W;
  // weights: (n + 1) x H x W, the last plane the synthesis plane (all 0). n <= K.
  void headForward(const float* cands, int32_t n, const float* frameWin, const uint8_t* delivery, float* blended,
                   float* weights);

  // Prepared state of the last retrievePrepare.
  const std::vector<uint8_t>& frameWindowU8() const { return win_u8_; }
  const std::vector<float>& teethWeights() const { return tw_; }
  const std::vector<uint16_t>& pooledWindow() const { return pooled_win_; }
  const std::vector<uint16_t>& pooledWeights() const { return pooled_w_; }
  float weightTotal() const { return total_w_; }
  float pooledWeightTotal() const { return pooled_total_; }
  const std::vector<float>& pooledDistances() const { return dist_pooled_; }
  const std::vector<float>& exactDistances() const { return dist_exact_; }
  const std::vector<uint16_t>& index() const { return index_; }
  const std::vector<uint8_t>& candU8() const { return cand_u8_; }
  const std::vector<int32_t>& heldSet() const { return held_set_; }
  const std::vector<int32_t>& lastSet() const { return set_; }
  const std::vector<float>& lastWeights() const { return weights_; }
  const std::vector<uint8_t>& lastDelivery() const { return delivery_; }
  int32_t lastEmitted() const { return last_emitted_; }
  int32_t windowH() const { return H_; }
  int32_t windowW() const { return W_; }
  // Donor d's offset from the canonical centre (rows, columns).
  int32_t dy(int32_t d) const { return dy_[size_t(d)]; }
  int32_t dx(int32_t d) const { return dx_[size_t(d)]; }

  // Average pooling by s of C planes H x W (trailing rows/columns dropped).
  static void avgPool(const float* in, int32_t C, int32_t H, int32_t W, int32_t s, float* out);

 protected:
  void buildIndex();
  // Patch origin of donor d's window under a frame shift.
  void windowOrigin(int32_t d, int32_t ry, int32_t rx, int32_t& sy, int32_t& sx) const;
  // Band pixel of window pixel (i, j) for origin (sy, sx), or null when the band does not cover it.
  const uint8_t* bandPixel(int32_t d, int32_t sy, int32_t sx, int32_t i, int32_t j) const;

  GeometryStamp stamp_;
  ServeConfig config_;
  HeadWeights head_;
  int32_t n_ = 0;
  std::vector<uint8_t> bands_;
  std::vector<int32_t> dy_, dx_;
  std::vector<double> aperture_;
  double c_canon_[2] = {0, 0};
  int32_t H_ = 0, W_ = 0, H4_ = 0, W4_ = 0;
  int32_t BH_ = 0, BW_ = 0;
  std::vector<uint16_t> index_;      // n x 3 x H4 x W4
  std::vector<uint8_t> band_mask_;   // H x W
  std::vector<float> prev_w_;        // H x W
  bool has_prev_w_ = false;
  std::vector<int32_t> held_set_;
  int32_t last_emitted_ = -2;
  Pending held_, next_;
  bool has_held_ = false;
  PassStats stats_;

  // Retrieval scratch.
  std::vector<uint8_t> win_u8_;        // H x W x 3, the shifted frame window
  std::vector<int32_t> cols_;          // W canvas columns of the shifted window
  std::vector<float> tw_;              // H x W teeth weights
  std::vector<float> win_f_;           // 3 x H x W
  std::vector<float> pool_f_;          // 3 x H4 x W4
  std::vector<uint16_t> pooled_win_;   // 3 x H4 x W4
  std::vector<uint16_t> pooled_w_;     // H4 x W4
  float total_w_ = 1.0f, pooled_total_ = 1e-4f;
  int32_t row_first_ = 0, row_last_ = -1;
  std::vector<float> dist_pooled_, dist_exact_;
  mutable std::vector<int32_t> order_, short_;

  // Emit scratch (K candidates at most).
  std::vector<int32_t> set_, tmp_set_;
  std::vector<uint8_t> cand_u8_;   // K x H x W x 3
  std::vector<float> cands_;       // K x 3 x H x W
  std::vector<float> frame_win_;   // 3 x H x W
  std::vector<uint8_t> delivery_;  // H x W
  std::vector<float> blended_;     // 3 x H x W
  std::vector<float> weights_;     // (K + 1) x H x W
  std::vector<float> mass_;        // K
  std::vector<int32_t> origin_;    // 2K: window origins of the set
  std::vector<float> pool2_;       // (K + 1) x 3 x h x w: candidates then the frame
  std::vector<float> in7_, act1_, act2_, logits_;
  std::vector<float> u0_, u2_;      // the first two layers' kernels, transformed for conv3x3F23
  std::vector<float> up_rows_;      // K x h x W: logit rows upsampled along the columns
  std::vector<int32_t> up_x_;       // 2W: the two source columns of each window column
  std::vector<float> up_fx_;        // W: their blend
};

}  // namespace qo::tessera
