#include "paste/qo_paste_settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace qo::paste {
namespace {

// Base-10 leading digits, as strtol reads them; nullptr reads as absent.
bool parseLong(const char* value, long* out) {
  if (value == nullptr) return false;
  *out = std::strtol(value, nullptr, 10);
  return true;
}

std::string shortFloat(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", double(v));
  return buf;
}

}  // namespace

void checkSettings(int side, size_t maskBytes, const Unsharp& u) {
  if (side < 1) throw std::runtime_error("paste: side < 1");
  if (side > kMaxSide) throw std::runtime_error("paste: side > 1024");
  if (maskBytes != size_t(side) * size_t(side)) throw std::runtime_error("paste: mask size");
  if (u.ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  // A zero, negative or NaN sigma makes every Gaussian weight NaN and blackens the face; a
  // kernel half-width of side or more would mirror-pad past the far edge of the plane.
  const long maxKsize = 2L * side - 1;
  const bool sigmaOk = std::isfinite(u.sigma) && u.sigma > 0.0f;
  const bool ksizeOk = u.ksize >= 1 && u.ksize <= maxKsize;
  const bool amountOk = std::isfinite(u.amount);
  if (!sigmaOk || !ksizeOk || !amountOk) {
    throw std::runtime_error("paste: bad unsharp (sigma must be > 0, ksize odd in 1.." + std::to_string(maxKsize) +
                             " for a crop of side " + std::to_string(side) + ", amount finite; got sigma " +
                             shortFloat(u.sigma) + ", ksize " + std::to_string(u.ksize) + ", amount " +
                             shortFloat(u.amount) + ")");
  }
}

int sampleModeFrom(const char* value) {
  long v = 0;
  if (!parseLong(value, &v)) return 0;
  return v == 1 || v == 2 ? int(v) : 0;
}

int ksizeFrom(const char* value, int manifestKsize) {
  long v = 0;
  if (!parseLong(value, &v)) return manifestKsize;
  return v > 2 && v % 2 != 0 && v <= manifestKsize ? int(v) : manifestKsize;
}

}  // namespace qo::paste
