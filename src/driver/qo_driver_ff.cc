// Movie frame sources: the H.264 driver video to packed RGB, the HEVC 4:4:4 warp prior to
// binary16 planes.
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/qo_moviedec_ff.h"
#include "qo/qo_driver.h"
#include "qo/qo_simd.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qo {
namespace driver {
namespace {

enum class Mode : uint32_t { kDriver = 0, kPrior = 1 };

class FfSource final : public Source {
 public:
  FfSource(Mode mode, std::string path, int nt, int w, int h)
      : mode_(mode), path_(std::move(path)), nt_(nt), w_(w), h_(h) {
    if (mode_ == Mode::kPrior)
      for (int v = 0; v < 256; ++v) level_[v] = f32ToF16(float(v) / 255.0f);
    decoder_ = std::make_unique<MovieDecoder>(path_, nt, w, h, mode_ == Mode::kDriver);
    label_ = std::string(mode_ == Mode::kPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") + ff::builtVersion() +
             " " + decoder_->decoderName();
  }

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  size_t frameBytes() const override { return pixels() * 3 * (mode_ == Mode::kPrior ? 2 : 1); }

  bool next(uint8_t* dst) override {
    AVFrame* f = decoder_->receive();
    if (!f) return false;
    checkSize(f);
    if (mode_ == Mode::kDriver) toRgb(f, dst);
    else toPlanes(f, reinterpret_cast<uint16_t*>(dst));
    decoder_->frameDone();
    return true;
  }

  void rewind() override { decoder_->restart(); }

  // Forward seeks decode and drop frames without converting them.
  void seek(int i) override {
    if (i < 0 || i >= nt_) throw std::runtime_error("qo_driver: seek outside the member");
    if (i < decoder_->decoded()) decoder_->restart();
    while (decoder_->decoded() < i) {
      AVFrame* f = decoder_->receive();
      if (!f)
        throw std::runtime_error("qo_driver: " + path_ + " ended at frame " + std::to_string(decoder_->decoded()) +
                                 " while seeking to " + std::to_string(i));
      checkSize(f);
      decoder_->frameDone();
    }
  }

  std::string name() const override { return label_; }

  size_t residentBytes() const override {
    const size_t b = mode_ == Mode::kPrior ? pixels() * 3 : pixels() * 3 / 2;
    const int t = decoder_->threadCount();
    return (t <= 0 ? b * 6 : b * size_t(t + 5)) + size_t(decoder_->maxPacket());
  }

 private:
  size_t pixels() const { return size_t(w_) * size_t(h_); }

  void checkSize(const AVFrame* f) const {
    if (f->width != w_ || f->height != h_)
      throw std::runtime_error("qo_driver: " + path_ + " changed size mid-stream \xE2\x80\x94 refusing");
  }

  static std::string formatName(int fmt) {
    const char* n = av_get_pix_fmt_name(AVPixelFormat(fmt));
    return n ? n : "?";
  }

  void toRgb(const AVFrame* f, uint8_t* dst) const {
    const bool planar = f->format == AV_PIX_FMT_YUV420P;
    if (!planar && f->format != AV_PIX_FMT_NV12)
      throw std::runtime_error("qo_driver: " + path_ + " decoded to " + formatName(f->format) +
                               ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) "
                               "\xE2\x80\x94 refusing rather than pasting onto a different pixel domain");
    for (int y = 0; y < h_; ++y) {
      const uint8_t* luma = f->data[0] + ptrdiff_t(y) * f->linesize[0];
      uint8_t* row = dst + size_t(y) * size_t(w_) * 3;
      if (planar) {
        const uint8_t* u = f->data[1] + ptrdiff_t(y / 2) * f->linesize[1];
        const uint8_t* v = f->data[2] + ptrdiff_t(y / 2) * f->linesize[2];
        simd::yuv420RowToRgb24(luma, u, v, w_, 1, row);
      } else {
        const uint8_t* uv = f->data[1] + ptrdiff_t(y / 2) * f->linesize[1];
        simd::yuv420RowToRgb24(luma, uv, uv + 1, w_, 2, row);
      }
    }
  }

  // Integer BT.601 limited range to 8-bit levels, then the level table to binary16. The integer
  // pass is a plain loop over a row so the compiler vectorises it; the table pass is three loads.
  void toPlanes(const AVFrame* f, uint16_t* dst) {
    if (f->format != AV_PIX_FMT_YUV444P)
      throw std::runtime_error("qo_driver: " + path_ + " decoded to " + formatName(f->format) +
                               ", not the yuv444p a warp prior is authored in \xE2\x80\x94 a subsampled prior is a "
                               "different mouth, refusing");
    const size_t plane = pixels();
    levels_.resize(size_t(w_) * 3);
    uint8_t* lr = levels_.data();
    uint8_t* lg = lr + w_;
    uint8_t* lb = lg + w_;
    for (int y = 0; y < h_; ++y) {
      const uint8_t* py = f->data[0] + ptrdiff_t(y) * f->linesize[0];
      const uint8_t* pu = f->data[1] + ptrdiff_t(y) * f->linesize[1];
      const uint8_t* pv = f->data[2] + ptrdiff_t(y) * f->linesize[2];
      for (int x = 0; x < w_; ++x) {
        const int n = 76312 * (py[x] - 16), cb = pu[x] - 128, cr = pv[x] - 128;
        lr[x] = clamp8((n + 104600 * cr + 32768) >> 16);
        lg[x] = clamp8((n - 53280 * cr - 25672 * cb + 32768) >> 16);
        lb[x] = clamp8((n + 132200 * cb + 32768) >> 16);
      }
      uint16_t* r = dst + size_t(y) * size_t(w_);
      uint16_t* g = r + plane;
      uint16_t* b = g + plane;
      for (int x = 0; x < w_; ++x) {
        r[x] = level_[lr[x]];
        g[x] = level_[lg[x]];
        b[x] = level_[lb[x]];
      }
    }
  }

  static uint8_t clamp8(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

  Mode mode_;
  std::string path_;
  int32_t nt_, w_, h_;
  uint16_t level_[256] = {};
  std::vector<uint8_t> levels_;  // one row of 8-bit R, G, B levels, grown once
  std::unique_ptr<MovieDecoder> decoder_;
  std::string label_;
};

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return std::make_unique<FfSource>(Mode::kDriver, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side) {
  return std::make_unique<FfSource>(Mode::kPrior, path, NT, side, side);
}

}  // namespace driver

std::string movieDecoderBuild() { return "libavcodec " + ff::builtVersion() + " / " + avcodec_configuration(); }

}  // namespace qo
