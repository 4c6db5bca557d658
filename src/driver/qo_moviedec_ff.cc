#include "driver/qo_moviedec_ff.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qo::driver {
namespace {

constexpr const char* kHardwareDecoder = "h264_cuvid";

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("qo_driver: " + what); }

ff::CodecPtr contextFor(const AVCodec* codec, const AVCodecParameters* par) {
  ff::CodecPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) fail("avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(ctx.get(), par) < 0) fail("avcodec_parameters_to_context failed");
  return ctx;
}

}  // namespace

MovieDecoder::MovieDecoder(std::string path, int NT, int W, int H, bool tryHardware)
    : path_(std::move(path)), nt_(NT), w_(W), h_(H), tryHardware_(tryHardware) {
  open();
}

void MovieDecoder::open() {
  frame_.reset();
  packet_.reset();
  codec_.reset();
  format_.reset();
  stream_ = -1;

  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path_.c_str(), nullptr, nullptr) < 0)
    fail(path_ + " is not a readable container");
  format_.reset(fmt);
  if (avformat_find_stream_info(fmt, nullptr) < 0) fail(path_ + " carries no stream info");
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream_ = int(i);
      break;
    }
  }
  if (stream_ < 0) fail(path_ + " has no video stream");

  const AVStream* st = fmt->streams[stream_];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != w_ || par->height != h_)
    fail(path_ + " is " + std::to_string(par->width) + "x" + std::to_string(par->height) + ", the manifest says " +
         std::to_string(w_) + "x" + std::to_string(h_) + " \xE2\x80\x94 refusing to rescale the driver");
  if (st->nb_frames >= 1 && st->nb_frames != nt_)
    fail(path_ + " carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" +
         std::to_string(nt_) + " \xE2\x80\x94 member/manifest mismatch, refusing");

  const char* hw = std::getenv("QO_DRIVER_HWDEC");
  if (hw && std::strcmp(hw, "0") == 0) {
    std::fprintf(stderr,
                 "[qo-driver] QO_DRIVER_HWDEC=0 \xE2\x80\x94 %s not attempted; the software decoder is the one "
                 "decoder on this fleet (same samples)\n",
                 kHardwareDecoder);
    openSoftware();
  } else if (!(tryHardware_ && par->codec_id == AV_CODEC_ID_H264 && openHardware())) {
    openSoftware();
  }

  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) fail("out of memory");
  eofSent_ = false;
  decoded_ = 0;
}

bool MovieDecoder::openHardware() {
  const AVCodec* codec = avcodec_find_decoder_by_name(kHardwareDecoder);
  if (!codec) return false;
  ff::CodecPtr ctx = contextFor(codec, format_->streams[stream_]->codecpar);
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
    std::fprintf(stderr,
                 "[qo-driver] %s refused %s \xE2\x80\x94 falling back to the software h264 decoder (same samples, "
                 "more CPU)\n",
                 kHardwareDecoder, path_.c_str());
    return false;
  }
  codec_ = std::move(ctx);
  return true;
}

void MovieDecoder::openSoftware() {
  const AVCodecParameters* par = format_->streams[stream_]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) fail("no decoder for " + path_ + " (codec id " + std::to_string(int(par->codec_id)) + ")");
  ff::CodecPtr ctx = contextFor(codec, par);
  ctx->thread_count = 4;
  ctx->thread_type = FF_THREAD_FRAME;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) fail("could not open the decoder for " + path_);
  codec_ = std::move(ctx);
}

AVFrame* MovieDecoder::receive() {
  av_frame_unref(frame_.get());
  for (;;) {
    int r = avcodec_receive_frame(codec_.get(), frame_.get());
    if (r == 0) return frame_.get();
    if (r == AVERROR_EOF) return nullptr;
    if (r != AVERROR(EAGAIN))
      fail(path_ + " decode fault at frame " + std::to_string(decoded_) + " (" + ff::errorText(r) + ")");
    if (eofSent_) return nullptr;
    for (;;) {
      int rr = av_read_frame(format_.get(), packet_.get());
      if (rr == AVERROR_EOF) {
        eofSent_ = true;
        avcodec_send_packet(codec_.get(), nullptr);
        break;
      }
      if (rr < 0) fail(path_ + " read fault (" + ff::errorText(rr) + ")");
      if (packet_->stream_index != stream_) {
        av_packet_unref(packet_.get());
        continue;
      }
      if (packet_->size > maxPacket_) maxPacket_ = packet_->size;
      int s = avcodec_send_packet(codec_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (s < 0 && s != AVERROR(EAGAIN)) fail(path_ + " packet refused (" + ff::errorText(s) + ")");
      break;
    }
  }
}

void MovieDecoder::restart() {
  av_frame_unref(frame_.get());
  if (av_seek_frame(format_.get(), stream_, 0, AVSEEK_FLAG_BACKWARD) < 0) {
    open();
  } else {
    avcodec_flush_buffers(codec_.get());
    eofSent_ = false;
  }
  decoded_ = 0;
}

const char* MovieDecoder::decoderName() const { return codec_ && codec_->codec ? codec_->codec->name : "?"; }

int MovieDecoder::threadCount() const { return codec_ ? codec_->thread_count : 0; }

}  // namespace qo::driver
