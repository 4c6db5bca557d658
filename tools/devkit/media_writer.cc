#include "tools/devkit/media_writer.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "driver/qo_ff.h"

extern "C" {
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace qo::devkit {
namespace {

[[noreturn]] void fail(const std::string& what, int err = 0) {
  throw std::runtime_error("movie writer: " + what + (err ? " (" + ff::errorText(err) + ")" : ""));
}

struct OutputCloser {
  void operator()(AVFormatContext* c) const {
    if (c->pb && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct SwsCloser {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

}  // namespace

struct MovieWriter::Impl {
  MovieOptions opt;
  std::string path;
  std::unique_ptr<AVFormatContext, OutputCloser> out;
  ff::CodecPtr video, audio;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  ff::FramePtr frame, audioFrame;
  ff::PacketPtr packet;
  std::unique_ptr<SwsContext, SwsCloser> toYuv;
  std::vector<float> pendingAudio;
  int64_t audioPts = 0;
  int frames = 0;
  bool finished = false;

  void openVideo() {
    const AVCodec* codec = nullptr;
    AVPixelFormat fmt = AV_PIX_FMT_YUV420P;
    if (opt.codec == VideoCodec::kHevc444) {
      codec = avcodec_find_encoder_by_name("libx265");
      fmt = AV_PIX_FMT_YUV444P;
      if (!codec) fail("this FFmpeg has no libx265 encoder");
    } else {
      codec = avcodec_find_encoder_by_name("libx264");
      if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
      if (!codec) fail("this FFmpeg has neither libx264 nor mpeg4");
    }
    video.reset(avcodec_alloc_context3(codec));
    if (!video) fail("out of memory");
    video->width = opt.width;
    video->height = opt.height;
    video->pix_fmt = fmt;
    video->time_base = AVRational{1, opt.fps};
    video->framerate = AVRational{opt.fps, 1};
    video->gop_size = 50;
    if (out->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const std::string name = codec->name;
    if (name == "libx264") {
      av_opt_set(video->priv_data, "preset", opt.live ? "superfast" : "veryfast", 0);
      if (opt.live) av_opt_set(video->priv_data, "tune", "zerolatency", 0);
      if (opt.lossless) av_opt_set(video->priv_data, "qp", "0", 0);
      else av_opt_set(video->priv_data, "crf", std::to_string(opt.crf).c_str(), 0);
    } else if (name == "libx265") {
      // x265 3.5's faster presets are not lossless on inter frames even with lossless=1.
      av_opt_set(video->priv_data, "preset", opt.lossless ? "medium" : "fast", 0);
      // No B-frames: x265's frame threads sometimes reorder a short clip into a pts/dts pair the
      // MP4/MOV muxer refuses.
      std::string params = "log-level=error:bframes=0";
      params += opt.lossless ? ":lossless=1" : ":crf=" + std::to_string(opt.crf);
#if defined(__aarch64__)
      // x265 3.5 on arm64, with or without its assembly, leaves a few pixels of lossless inter
      // frames a few levels off (the stream itself: x86's decoder reads the same values); its
      // intra frames stay exact, so lossless movies are intra-only there.
      if (opt.lossless) params += ":keyint=1";
#endif
      av_opt_set(video->priv_data, "x265-params", params.c_str(), 0);
    } else {
      video->bit_rate = int64_t(opt.width) * opt.height * opt.fps / 2;
      if (opt.lossless) video->global_quality = FF_QP2LAMBDA;  // mpeg4 cannot be exact; closest it gets
    }
    int err = avcodec_open2(video.get(), codec, nullptr);
    if (err < 0) fail("cannot open the " + name + " encoder", err);
    videoStream = avformat_new_stream(out.get(), nullptr);
    if (!videoStream) fail("out of memory");
    videoStream->time_base = video->time_base;
    if ((err = avcodec_parameters_from_context(videoStream->codecpar, video.get())) < 0) fail("stream parameters", err);

    frame.reset(av_frame_alloc());
    if (!frame) fail("out of memory");
    frame->format = fmt;
    frame->width = opt.width;
    frame->height = opt.height;
    if ((err = av_frame_get_buffer(frame.get(), 0)) < 0) fail("frame buffer", err);
    toYuv.reset(sws_getContext(opt.width, opt.height, AV_PIX_FMT_RGB24, opt.width, opt.height, fmt, SWS_BICUBIC,
                               nullptr, nullptr, nullptr));
    if (!toYuv) fail("no RGB to YUV conversion");
  }

  void openAudio() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) fail("this FFmpeg has no AAC encoder");
    audio.reset(avcodec_alloc_context3(codec));
    if (!audio) fail("out of memory");
    audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio->sample_rate = opt.audioRate;
    av_channel_layout_default(&audio->ch_layout, 1);
    audio->bit_rate = 64000;
    audio->time_base = AVRational{1, opt.audioRate};
    if (out->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int err = avcodec_open2(audio.get(), codec, nullptr);
    if (err < 0) fail("cannot open the AAC encoder", err);
    audioStream = avformat_new_stream(out.get(), nullptr);
    if (!audioStream) fail("out of memory");
    audioStream->time_base = audio->time_base;
    if ((err = avcodec_parameters_from_context(audioStream->codecpar, audio.get())) < 0) fail("stream parameters", err);
    audioFrame.reset(av_frame_alloc());
    if (!audioFrame) fail("out of memory");
    audioFrame->format = AV_SAMPLE_FMT_FLTP;
    audioFrame->sample_rate = opt.audioRate;
    av_channel_layout_default(&audioFrame->ch_layout, 1);
    audioFrame->nb_samples = audio->frame_size;
    if ((err = av_frame_get_buffer(audioFrame.get(), 0)) < 0) fail("audio frame buffer", err);
  }

  // Sends one frame (or the flush, for nullptr) and writes every packet it yields.
  void encode(AVCodecContext* codec, AVStream* stream, AVFrame* f) {
    int err = avcodec_send_frame(codec, f);
    if (err < 0) fail("encoder refused a frame", err);
    for (;;) {
      err = avcodec_receive_packet(codec, packet.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      if (err < 0) fail("encoder fault", err);
      // The muxer's edit list ends at the last packet's end: a zero duration would cut that frame.
      if (packet->duration == 0 && codec->codec_type == AVMEDIA_TYPE_VIDEO) packet->duration = 1;
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      err = av_interleaved_write_frame(out.get(), packet.get());
      if (err < 0) fail("cannot write " + path, err);
    }
  }

  void pushVideo() {
    frame->pts = frames++;
    encode(video.get(), videoStream, frame.get());
  }

  void drainAudio(bool all) {
    const size_t n = size_t(audio->frame_size);
    size_t at = 0;
    while (pendingAudio.size() - at >= n || (all && at < pendingAudio.size())) {
      int err = av_frame_make_writable(audioFrame.get());
      if (err < 0) fail("audio frame", err);
      const size_t take = std::min(n, pendingAudio.size() - at);
      float* dst = reinterpret_cast<float*>(audioFrame->data[0]);
      std::memcpy(dst, pendingAudio.data() + at, take * sizeof(float));
      std::fill(dst + take, dst + n, 0.0f);
      audioFrame->pts = audioPts;
      audioPts += int64_t(n);
      encode(audio.get(), audioStream, audioFrame.get());
      at += take;
    }
    pendingAudio.erase(pendingAudio.begin(), pendingAudio.begin() + ptrdiff_t(at));
  }
};

MovieWriter::MovieWriter(const std::string& path, const MovieOptions& options) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.opt = options;
  m.path = path;
  // The encoders chat at info level (x264 prints its whole configuration); keep warnings only.
  if (av_log_get_level() > AV_LOG_WARNING) av_log_set_level(AV_LOG_WARNING);
  if (options.width < 1 || options.height < 1 || options.fps < 1) fail("bad frame size or rate");
  AVFormatContext* ctx = nullptr;
  int err = avformat_alloc_output_context2(&ctx, nullptr, nullptr, path.c_str());
  if (err < 0 || !ctx) fail("no container format for " + path, err);
  m.out.reset(ctx);
  m.openVideo();
  if (options.audioRate > 0) m.openAudio();
  if (!(ctx->oformat->flags & AVFMT_NOFILE) && (err = avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
    fail("cannot open " + path, err);
  if ((err = avformat_write_header(ctx, nullptr)) < 0) fail("cannot write the header of " + path, err);
  m.packet.reset(av_packet_alloc());
  if (!m.packet) fail("out of memory");
}

MovieWriter::~MovieWriter() {
  if (impl_ && !impl_->finished) {
    try {
      finish();
    } catch (const std::exception&) {
    }
  }
}

void MovieWriter::addRgb(const uint8_t* rgb) {
  Impl& m = *impl_;
  int err = av_frame_make_writable(m.frame.get());
  if (err < 0) fail("frame", err);
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {m.opt.width * 3};
  sws_scale(m.toYuv.get(), src, stride, 0, m.opt.height, m.frame->data, m.frame->linesize);
  m.pushVideo();
}

void MovieWriter::addYuv(const uint8_t* y, const uint8_t* u, const uint8_t* v) {
  Impl& m = *impl_;
  int err = av_frame_make_writable(m.frame.get());
  if (err < 0) fail("frame", err);
  const bool full = m.opt.codec == VideoCodec::kHevc444;
  const int cw = full ? m.opt.width : (m.opt.width + 1) / 2, ch = full ? m.opt.height : (m.opt.height + 1) / 2;
  const uint8_t* planes[3] = {y, u, v};
  for (int p = 0; p < 3; ++p) {
    const int w = p == 0 ? m.opt.width : cw, h = p == 0 ? m.opt.height : ch;
    for (int r = 0; r < h; ++r)
      std::memcpy(m.frame->data[p] + ptrdiff_t(r) * m.frame->linesize[p], planes[p] + size_t(r) * size_t(w), size_t(w));
  }
  m.pushVideo();
}

void MovieWriter::addAudio(const int16_t* pcm, size_t count) {
  Impl& m = *impl_;
  if (!m.audio) fail("this movie has no audio track");
  for (size_t i = 0; i < count; ++i) m.pendingAudio.push_back(float(pcm[i]) / 32768.0f);
  m.drainAudio(false);
}

void MovieWriter::finish() {
  Impl& m = *impl_;
  if (m.finished) return;
  m.finished = true;
  m.encode(m.video.get(), m.videoStream, nullptr);
  if (m.audio) {
    m.drainAudio(true);
    m.encode(m.audio.get(), m.audioStream, nullptr);
  }
  int err = av_write_trailer(m.out.get());
  if (err < 0) fail("cannot finish " + m.path, err);
  if (m.out->pb) avio_closep(&m.out->pb);
}

const char* MovieWriter::videoEncoder() const { return impl_->video->codec->name; }

int MovieWriter::framesWritten() const { return impl_->frames; }

}  // namespace qo::devkit
