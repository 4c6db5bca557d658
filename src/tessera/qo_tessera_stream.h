// The teeth pass as a streaming stage: each rendered crop (planar float or RGBA) comes in with its
// keypoints, the stage derives the delivered mouth mask and its shift itself (the pi mask, cut by
// the lip contour when the bundle has one), and the borrowed mouth window of the previous frame
// comes back to be written into that frame's crop.
//
// One thread drives a StreamBorrow at a time; its parallel loops use the engine pool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessera/qo_tessera_pass.h"
#include "tessera/qo_tessera_pi.h"

namespace qo::tessera {

class StreamBorrow : public TeethPass {
 public:
  // Throws std::runtime_error ("teeth stream: ...") for a non-square stamp canvas or a pi canvas the
  // stamp does not name, besides the pass's own refusals. An empty lipTemplateText serves the pi
  // ellipse (and says so on stderr).
  StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lipTemplateText);

  // planarRgb: three N x N float planes in 0..1. True when `result` holds the previous frame.
  bool push(const float* planarRgb, const float* keypoints, FrameResult& result);
  // rgba: N x N x 4 bytes (alpha ignored).
  bool pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult& result);
  // The common tail: mask, shift and the pass over the canvas already in place.
  bool pushSynth(const float* keypoints, FrameResult& result);
  bool flush(FrameResult& result) { return TeethPass::flush(result); }

  // Writes an emitted window back into the crop it was borrowed for, keeping the float canvas's
  // sub-byte remainder. Nothing for a skipped result; throws for a window of the wrong size.
  static void writeWindowDelta(float* planarRgb, int N, const FrameResult& result, const GeometryStamp& stamp);
  // The RGBA form: every alpha becomes 255 (also for a skipped result).
  static void writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& result, const GeometryStamp& stamp);

  int hostSplit(void* /*out*/) const { return 0; }
  const char* backend() const { return "cpu"; }

  int32_t canvas() const { return N_; }
  bool hasContour() const { return contour_ != nullptr; }
  int32_t frameCounter() const { return frame_; }
  const std::vector<uint8_t>& canvasRgb() const { return rgb_; }
  const std::vector<uint8_t>& canvasMask() const { return mask_; }

  // The byte a canvas value becomes: min(v, 1) x 255 rounded to nearest, ties to even; 0 for v <= 0
  // (and NaN). Adding and removing 1.5 x 2^23 rounds in the current (nearest-even) mode without a
  // library call, so the conversion loop vectorises.
  static uint8_t quantise(float v) {
    if (!(v > 0.0f)) return 0;
    constexpr float kRound = 12582912.0f;
    const float x = (v < 1.0f ? v : 1.0f) * 255.0f;
    return uint8_t(int((x + kRound) - kRound));
  }

 private:
  UnifiedPi pi_;
  std::unique_ptr<LipContour> contour_;
  double ref_[2] = {0, 0};
  int32_t N_ = 0;
  std::vector<uint8_t> rgb_;   // N x N x 3
  std::vector<uint8_t> mask_;  // N x N
  int32_t frame_ = 0;
};

}  // namespace qo::tessera
