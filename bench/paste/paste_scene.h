// The benchmark scene: a 512 crop pasted into a 1920 x 1080 frame the way a talking head sits in
// it (scale 1.15, a 3 degree tilt), with a feathered face-shaped mask.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace qo::bench {

struct PasteScene {
  static constexpr int kSide = 512, kW = 1920, kH = 1080;
  std::vector<float> crop;    // 3 planes in [0, 1], like the renderer's output
  std::vector<uint8_t> mask;  // side x side
  std::vector<uint8_t> frame; // packed RGB
  float M[6];

  PasteScene() : crop(size_t(kSide) * kSide * 3), mask(size_t(kSide) * kSide), frame(size_t(kW) * kH * 3) {
    std::mt19937 rng(42);
    // Smooth image content plus a little noise, so sharpening and resampling see real edges.
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
          crop[(size_t(c) * kSide + y) * kSide + x] =
              0.5f + 0.3f * std::sin(0.05f * x + c) * std::cos(0.07f * y) + float(rng() % 64) / 1024.0f;
    // Elliptical face region: full inside, feathered over the last 15 %, empty at the corners.
    const double h = (kSide - 1) / 2.0;
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const double r = std::hypot((x - h) / (0.46 * kSide), (y - h) / (0.5 * kSide));
        mask[size_t(y) * kSide + x] = r < 0.85 ? 255 : r < 1.0 ? uint8_t(255 * (1.0 - r) / 0.15) : 0;
      }
    for (uint8_t& b : frame) b = uint8_t(rng());
    const float scale = 1.15f, angle = 0.052f;
    M[0] = scale * std::cos(angle), M[1] = -scale * std::sin(angle), M[2] = 700.0f;
    M[3] = scale * std::sin(angle), M[4] = scale * std::cos(angle), M[5] = 180.0f;
  }
};

}  // namespace qo::bench
