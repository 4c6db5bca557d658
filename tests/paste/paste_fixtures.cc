#include "paste/paste_fixtures.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace qo::test {
namespace {

constexpr uint8_t kGuardByte = 0xA5;

float uniform(std::mt19937& rng, float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }

}  // namespace

std::vector<float> randomCrop(int side, std::mt19937& rng) {
  std::vector<float> crop(size_t(side) * side * 3);
  for (float& v : crop) v = uniform(rng, -0.05f, 1.05f);
  return crop;
}

std::vector<uint8_t> featheredMask(int side, std::mt19937& rng) {
  std::vector<uint8_t> mask(size_t(side) * side);
  const double c = (side - 1) / 2.0;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const double r = std::hypot(x - c, y - c) / (side / 2.0);
      uint8_t m = r < 0.55 ? 255 : r < 0.9 ? uint8_t(255 * (0.9 - r) / 0.35) : uint8_t(rng() % 256);
      if (x < side / 6 && y < side / 6) m = 0;
      mask[size_t(y) * side + x] = m;
    }
  }
  return mask;
}

Affine similarity(float scale, float angle, float tx, float ty) {
  const float c = std::cos(angle) * scale, s = std::sin(angle) * scale;
  return {{c, -s, tx, s, c, ty}};
}

Affine identity() { return {{1, 0, 0, 0, 1, 0}}; }

Affine randomAffine(int side, int W, int H, std::mt19937& rng) {
  const float scale = uniform(rng, 0.8f, 1.4f);
  const float angle = rng() % 3 == 0 ? uniform(rng, -3.2f, 3.2f) : uniform(rng, -0.3f, 0.3f);
  // Centre the crop somewhere from well off the left/top edge to well off the right/bottom.
  const float centreX = uniform(rng, -0.4f * side, W + 0.4f * side);
  const float centreY = uniform(rng, -0.4f * side, H + 0.4f * side);
  Affine a = similarity(scale, angle, 0, 0);
  if (rng() % 4 == 0) {
    a.m[1] += uniform(rng, -0.2f, 0.2f);
    a.m[3] += uniform(rng, -0.2f, 0.2f);
  }
  const float h = (side - 1) / 2.0f;
  a.m[2] = centreX - (a.m[0] * h + a.m[1] * h);
  a.m[5] = centreY - (a.m[3] * h + a.m[4] * h);
  return a;
}

ref::PasteSetup setupOf(int side, const Unsharp& u, ref::Sampling sampling) {
  return {side, u.ksize, u.amount, u.sigma, sampling};
}

GuardedFrame::GuardedFrame(int w, int h, std::mt19937& rng)
    : W(w), H(h), bytes_(kGuard + size_t(w) * h * 3 + kGuard, kGuardByte) {
  for (size_t i = 0; i < size_t(w) * h * 3; ++i) data()[i] = uint8_t(rng());
}

std::vector<uint8_t> GuardedFrame::pixels() const { return {data(), data() + size_t(W) * H * 3}; }

bool GuardedFrame::guardsIntact() const {
  const auto isGuard = [](uint8_t b) { return b == kGuardByte; };
  return std::all_of(bytes_.begin(), bytes_.begin() + kGuard, isGuard) &&
         std::all_of(bytes_.end() - kGuard, bytes_.end(), isGuard);
}

std::string firstDifference(const std::vector<uint8_t>& want, const uint8_t* got, int W) {
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] != got[i]) {
      std::ostringstream s;
      const size_t px = i / 3;
      s << "pixel (" << px % W << ", " << px / W << ") channel " << i % 3 << ": want " << int(want[i]) << ", got "
        << int(got[i]);
      return s.str();
    }
  }
  return "";
}

}  // namespace qo::test
