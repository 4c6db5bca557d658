// Movies and frame directories whose decoded frames are known exactly: lossless YUV with a
// frame index stamped into every plane, plus the reference conversions they decode to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "qo/qo_driver.h"

namespace qo::test {

struct YuvFrame {
  int w = 0, h = 0, cw = 0, ch = 0;
  std::vector<uint8_t> y, u, v;
};

// Frame i of a pattern that differs in every frame and spans the whole luma/chroma range.
YuvFrame patternFrame(int i, int w, int h, bool chroma444);

// Lossless H.264 (4:2:0) or HEVC (4:4:4) movie of `frames` pattern frames.
void writePatternMovie(const std::string& path, int frames, int w, int h, bool hevc444);

// What the engine's conversions must produce, written from the BT.601 integer formulas.
std::vector<uint8_t> referenceRgb(const YuvFrame& f);
std::vector<uint16_t> referencePriorPlanes(const YuvFrame& f);

// A JPEG directory target_frames/ of flat frames whose red level is 20 * i.
void writeJpgFrames(const std::string& dir, int frames, int w, int h);
int redLevel(const uint8_t* rgb);  // the red level of a flat frame's first pixel

// A Source over nothing: frame i is frameBytes bytes all equal to (i * 7 + 1) mod 256, with
// counters of what the cursor asked for. `length` frames really exist (a short source when
// length < NT).
class FakeSource : public driver::Source {
 public:
  struct Stats {
    std::atomic<int> nexts{0}, seeks{0}, rewinds{0};
  };
  FakeSource(int nt, int length, int w, int h, Stats* stats) : nt_(nt), length_(length), w_(w), h_(h), stats_(stats) {}
  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  bool next(uint8_t* dst) override;
  void rewind() override;
  void seek(int i) override;
  std::string name() const override { return "fake"; }
  size_t residentBytes() const override { return 1234; }
  static uint8_t byteOf(int i) { return uint8_t(i * 7 + 1); }

 private:
  int nt_, length_, w_, h_;
  Stats* stats_;
  int pos_ = 0;
};

}  // namespace qo::test
