#include "tests/driver/movie_fixtures.h"

#include <cstring>
#include <stdexcept>

#include "qo/qo_image.h"
#include "qo/qo_simd.h"
#include "tools/devkit/media_writer.h"

namespace qo::test {

YuvFrame patternFrame(int i, int w, int h, bool chroma444) {
  YuvFrame f;
  f.w = w;
  f.h = h;
  f.cw = chroma444 ? w : (w + 1) / 2;
  f.ch = chroma444 ? h : (h + 1) / 2;
  f.y.resize(size_t(w) * h);
  f.u.resize(size_t(f.cw) * f.ch);
  f.v.resize(f.u.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) f.y[size_t(y) * w + x] = uint8_t((x * 5 + y * 3 + i * 37) % 256);
  for (int y = 0; y < f.ch; ++y)
    for (int x = 0; x < f.cw; ++x) {
      f.u[size_t(y) * f.cw + x] = uint8_t((x * 11 + y * 2 + i * 13) % 256);
      f.v[size_t(y) * f.cw + x] = uint8_t((x * 3 + y * 9 + i * 29 + 128) % 256);
    }
  return f;
}

void writePatternMovie(const std::string& path, int frames, int w, int h, bool hevc444) {
  devkit::MovieOptions o;
  o.width = w;
  o.height = h;
  o.codec = hevc444 ? devkit::VideoCodec::kHevc444 : devkit::VideoCodec::kH264;
  o.lossless = true;
  devkit::MovieWriter writer(path, o);
  for (int i = 0; i < frames; ++i) {
    YuvFrame f = patternFrame(i, w, h, hevc444);
    writer.addYuv(f.y.data(), f.u.data(), f.v.data());
  }
  writer.finish();
}

namespace {
int clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
}  // namespace

std::vector<uint8_t> referenceRgb(const YuvFrame& f) {
  std::vector<uint8_t> rgb(size_t(f.w) * f.h * 3);
  for (int y = 0; y < f.h; ++y)
    for (int x = 0; x < f.w; ++x) {
      const int Y = f.y[size_t(y) * f.w + x];
      const int U = f.u[size_t(y / 2) * f.cw + x / 2], V = f.v[size_t(y / 2) * f.cw + x / 2];
      const int c = 298 * (Y - 16) + 128, d = U - 128, e = V - 128;
      uint8_t* p = &rgb[(size_t(y) * f.w + x) * 3];
      p[0] = uint8_t(clamp8((c + 409 * e) >> 8));
      p[1] = uint8_t(clamp8((c - 208 * e - 100 * d) >> 8));
      p[2] = uint8_t(clamp8((c + 516 * d) >> 8));
    }
  return rgb;
}

std::vector<uint16_t> referencePriorPlanes(const YuvFrame& f) {
  const size_t n = size_t(f.w) * f.h;
  std::vector<uint16_t> planes(n * 3);
  for (size_t i = 0; i < n; ++i) {
    const int Y = f.y[i], cb = f.u[i] - 128, cr = f.v[i] - 128;
    const int base = 76312 * (Y - 16);
    const int rgb[3] = {clamp8((base + 104600 * cr + 32768) >> 16),
                        clamp8((base - 53280 * cr - 25672 * cb + 32768) >> 16),
                        clamp8((base + 132200 * cb + 32768) >> 16)};
    for (int c = 0; c < 3; ++c) planes[c * n + i] = f32ToF16(float(rgb[c]) / 255.0f);
  }
  return planes;
}

void writeJpgFrames(const std::string& dir, int frames, int w, int h) {
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int i = 0; i < frames; ++i) {
    for (size_t p = 0; p < rgb.size(); p += 3) {
      rgb[p] = uint8_t(20 * i);
      rgb[p + 1] = 100;
      rgb[p + 2] = 200;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
    writeJPG(dir + name, rgb.data(), w, h, 100);
  }
}

int redLevel(const uint8_t* rgb) { return rgb[0]; }

bool FakeSource::next(uint8_t* dst) {
  if (pos_ >= nt_ || pos_ >= length_) return false;
  std::memset(dst, byteOf(pos_), frameBytes());
  ++pos_;
  if (stats_) ++stats_->nexts;
  return true;
}

void FakeSource::rewind() {
  pos_ = 0;
  if (stats_) ++stats_->rewinds;
}

void FakeSource::seek(int i) {
  if (i < 0 || i >= nt_) throw std::runtime_error("qo_driver: seek outside the member");
  pos_ = i;
  if (stats_) ++stats_->seeks;
}

}  // namespace qo::test
