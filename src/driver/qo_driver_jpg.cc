// The simplest frame source: a directory of numbered JPEG files.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "driver/qo_jpg_dir.h"
#include "qo/qo_driver.h"

namespace qo::driver {

Source::~Source() = default;

size_t Source::frameBytes() const { return size_t(W()) * size_t(H()) * 3; }

namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), nt_(nt), w_(w), h_(h) {}

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }

  bool next(uint8_t* dst) override {
    if (pos_ >= nt_) return false;
    const std::string path = jpgFramePath(dir_, pos_);
    int w = 0, h = 0;
    std::vector<uint8_t> rgb = loadImageRGB(path, &w, &h);
    if (w != w_ || h != h_)
      throw std::runtime_error("qo_driver: " + path + " is " + std::to_string(w) + "x" +
                               std::to_string(h) + ", the manifest says " + std::to_string(w_) + "x" +
                               std::to_string(h_) + " \xE2\x80\x94 refusing");
    std::memcpy(dst, rgb.data(), frameBytes());
    ++pos_;
    return true;
  }

  void rewind() override { pos_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= nt_) throw std::runtime_error("qo_driver: seek outside the member");
    pos_ = i;
  }

  std::string name() const override { return "jpg/stb"; }
  size_t residentBytes() const override { return 0; }

 private:
  std::string dir_;
  int32_t nt_, w_, h_;
  int32_t pos_ = 0;
};

}  // namespace

std::string jpgFramePath(const std::string& dir, int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", i);
  return dir + name;
}

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

}  // namespace qo::driver
