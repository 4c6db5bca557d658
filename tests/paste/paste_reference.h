// Scalar reference of the whole paste composite, written per pixel from the compositor's
// definition for clarity rather than speed, sharing no code with the library: its own phase
// tables, Gaussian, mirror padding, blurs, sharpening, fixed-point mapping, sampling and blend.
#pragma once

#include <cstdint>
#include <vector>

namespace qo::ref {

enum class Sampling { kLanczos8 = 0, kBicubic = 1, kBilinear = 2 };

struct PasteSetup {
  int side;
  int ksize;  // taps actually used
  float amount;
  float sigma;
  Sampling sampling;
};

// The three sharpened planes (R, G, B), side x side each, in the 0..255 scale.
std::vector<std::vector<float>> sharpenedPlanes(const PasteSetup& s, const float* crop, float scale);

// Composites crop into the packed RGB W x H frame in place, as qo::Paste::composite defines it.
void pasteComposite(const PasteSetup& s, const std::vector<uint8_t>& mask, const float* crop, float scale,
                    const float* M, uint8_t* frame, int W, int H);

}  // namespace qo::ref
