// Generated inputs of the compositor tests: crops, masks, transforms and frames with guard
// bytes around them.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "paste/paste_reference.h"
#include "qo/qo_bundle.h"

namespace qo::test {

// 3 planes of side x side floats, mostly in [0, 1] with some over- and undershoot so the
// sharpened values clamp at both ends.
std::vector<float> randomCrop(int side, std::mt19937& rng);

// A feathered disc (full inside, ramping to 0), one empty corner and random bytes at the rim.
std::vector<uint8_t> featheredMask(int side, std::mt19937& rng);

// Crop-to-frame transform: scale, rotation (radians) about the crop's origin, translation.
struct Affine {
  float m[6];
};
Affine similarity(float scale, float angle, float tx, float ty);
Affine identity();

// A random transform for a W x H frame: rotation, scale 0.8..1.4, a little shear now and
// then, placed so the footprint is sometimes partly or wholly outside the frame.
Affine randomAffine(int side, int W, int H, std::mt19937& rng);

// A packed RGB frame of random bytes between two guard zones of a known pattern.
class GuardedFrame {
 public:
  GuardedFrame(int W, int H, std::mt19937& rng);
  uint8_t* data() { return bytes_.data() + kGuard; }
  const uint8_t* data() const { return bytes_.data() + kGuard; }
  std::vector<uint8_t> pixels() const;  // a copy of the frame proper
  bool guardsIntact() const;
  int W, H;

 private:
  static constexpr size_t kGuard = 4096;
  std::vector<uint8_t> bytes_;
};

// "" when equal, else the first differing pixel and channel with both values.
std::string firstDifference(const std::vector<uint8_t>& want, const uint8_t* got, int W);

ref::PasteSetup setupOf(int side, const Unsharp& u, ref::Sampling sampling);

}  // namespace qo::test
