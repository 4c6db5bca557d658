#include "tools/qo/serve_stream.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace qo::tool {
namespace {

constexpr int kRate = 16000, kFrameSamples = 640;

[[noreturn]] void fail(const std::string& what, int err = 0) {
  char text[AV_ERROR_MAX_STRING_SIZE] = "";
  if (err) av_strerror(err, text, sizeof text);
  throw std::runtime_error("live stream: " + what + (err ? std::string(" (") + text + ")" : ""));
}

struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FormatFree {
  void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct IoFree {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// profile, constraint flags and level from the SPS in avcC or Annex B extradata.
std::string avcCodec(const uint8_t* x, int n) {
  const uint8_t* sps = nullptr;
  if (n >= 4 && x[0] == 1) sps = x + 1;  // avcC: version, then profile, constraints, level
  for (int i = 0; !sps && i + 4 < n; ++i)
    if (x[i] == 0 && x[i + 1] == 0 && x[i + 2] == 1 && (x[i + 3] & 0x1f) == 7 && i + 6 < n) sps = x + i + 4;
  if (!sps) return "avc1.42e01f";
  char s[32];
  std::snprintf(s, sizeof s, "avc1.%02x%02x%02x", sps[0], sps[1], sps[2]);
  return s;
}

}  // namespace

struct LiveMp4::Impl {
  int width = 0, height = 0, fragmentFrames = 1;
  Sink sink;
  std::unique_ptr<AVFormatContext, FormatFree> out;
  std::unique_ptr<AVIOContext, IoFree> io;
  std::unique_ptr<AVCodecContext, CodecFree> video, audio;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  std::unique_ptr<AVFrame, FrameFree> frame, audioFrame;
  std::unique_ptr<AVPacket, PacketFree> packet;
  std::unique_ptr<SwsContext, SwsFree> toYuv;
  std::vector<float> pendingAudio;
  int64_t frames = 0, audioPts = 0;
  size_t skipAudio = 0;
  std::string codecs;

  static int write(void* opaque, uint8_t* buf, int size) {
    static_cast<Impl*>(opaque)->sink(buf, size_t(size));
    return size;
  }

  void encode(AVCodecContext* codec, AVStream* stream, AVFrame* f) {
    int err = avcodec_send_frame(codec, f);
    if (err < 0) fail("encoder refused a frame", err);
    for (;;) {
      err = avcodec_receive_packet(codec, packet.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      if (err < 0) fail("encoder fault", err);
      if (packet->duration == 0) packet->duration = codec->codec_type == AVMEDIA_TYPE_VIDEO ? 1 : codec->frame_size;
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      // Not interleaved: each fragment holds whatever both tracks produced since the last one.
      if ((err = av_write_frame(out.get(), packet.get())) < 0) fail("muxer refused a packet", err);
    }
  }
};

LiveMp4::LiveMp4(int width, int height, int outWidth, int outHeight, int fragmentFrames, int gop, Sink sink)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.width = width;
  m.height = height;
  m.fragmentFrames = fragmentFrames < 1 ? 1 : fragmentFrames;
  m.sink = std::move(sink);
  if (width < 1 || height < 1) fail("bad frame size");
  if (outWidth < 2 || outHeight < 2 || (outWidth | outHeight) & 1) fail("stream size must be even");
  if (av_log_get_level() > AV_LOG_WARNING) av_log_set_level(AV_LOG_WARNING);

  AVFormatContext* fc = nullptr;
  int err = avformat_alloc_output_context2(&fc, nullptr, "mp4", nullptr);
  if (err < 0 || !fc) fail("no mp4 muxer", err);
  m.out.reset(fc);
  const int ioSize = 1 << 16;
  auto* ioBuf = static_cast<unsigned char*>(av_malloc(ioSize));
  if (!ioBuf) fail("out of memory");
  m.io.reset(avio_alloc_context(ioBuf, ioSize, 1, &m, nullptr, &Impl::write, nullptr));
  if (!m.io) {
    av_free(ioBuf);
    fail("out of memory");
  }
  fc->pb = m.io.get();
  fc->flags |= AVFMT_FLAG_CUSTOM_IO;

  const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
  if (!h264) fail("this FFmpeg has no libx264 encoder");
  m.video.reset(avcodec_alloc_context3(h264));
  if (!m.video) fail("out of memory");
  AVCodecContext* v = m.video.get();
  v->width = outWidth;
  v->height = outHeight;
  v->pix_fmt = AV_PIX_FMT_YUV420P;
  v->time_base = AVRational{1, 25};
  v->framerate = AVRational{25, 1};
  v->gop_size = gop;
  v->max_b_frames = 0;
  v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(v->priv_data, "preset", "ultrafast", 0);
  av_opt_set(v->priv_data, "tune", "zerolatency", 0);
  av_opt_set(v->priv_data, "profile", "baseline", 0);
  av_opt_set(v->priv_data, "crf", "23", 0);
  if ((err = avcodec_open2(v, h264, nullptr)) < 0) fail("cannot open libx264", err);
  m.videoStream = avformat_new_stream(fc, nullptr);
  if (!m.videoStream) fail("out of memory");
  m.videoStream->time_base = v->time_base;
  if ((err = avcodec_parameters_from_context(m.videoStream->codecpar, v)) < 0) fail("video parameters", err);
  m.codecs = avcCodec(v->extradata, v->extradata_size) + ",mp4a.40.2";

  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!aac) fail("this FFmpeg has no AAC encoder");
  m.audio.reset(avcodec_alloc_context3(aac));
  if (!m.audio) fail("out of memory");
  AVCodecContext* a = m.audio.get();
  a->sample_fmt = AV_SAMPLE_FMT_FLTP;
  a->sample_rate = kRate;
  av_channel_layout_default(&a->ch_layout, 1);
  a->bit_rate = 48000;
  a->time_base = AVRational{1, kRate};
  a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if ((err = avcodec_open2(a, aac, nullptr)) < 0) fail("cannot open the AAC encoder", err);
  m.audioStream = avformat_new_stream(fc, nullptr);
  if (!m.audioStream) fail("out of memory");
  m.audioStream->time_base = a->time_base;
  if ((err = avcodec_parameters_from_context(m.audioStream->codecpar, a)) < 0) fail("audio parameters", err);

  m.frame.reset(av_frame_alloc());
  m.audioFrame.reset(av_frame_alloc());
  m.packet.reset(av_packet_alloc());
  if (!m.frame || !m.audioFrame || !m.packet) fail("out of memory");
  m.frame->format = AV_PIX_FMT_YUV420P;
  m.frame->width = outWidth;
  m.frame->height = outHeight;
  if ((err = av_frame_get_buffer(m.frame.get(), 0)) < 0) fail("frame buffer", err);
  m.audioFrame->format = AV_SAMPLE_FMT_FLTP;
  m.audioFrame->sample_rate = kRate;
  av_channel_layout_default(&m.audioFrame->ch_layout, 1);
  m.audioFrame->nb_samples = a->frame_size;
  // The encoder's packets start initial_padding samples before their input. Starting the input
  // that far into the timeline (its first samples are idle silence, dropped) puts the first
  // packet at 0, so no player has to honour a negative start or an edit list for lip sync.
  m.audioPts = a->initial_padding;
  m.skipAudio = size_t(a->initial_padding);
  if ((err = av_frame_get_buffer(m.audioFrame.get(), 0)) < 0) fail("audio frame buffer", err);
  m.toYuv.reset(sws_getContext(width, height, AV_PIX_FMT_RGB24, outWidth, outHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                               nullptr, nullptr, nullptr));
  if (!m.toYuv) fail("no RGB to YUV conversion");

  // Fragments are cut by hand (a null packet) so each holds a fixed number of frames, key frame
  // or not; the moov carries no samples, as MSE wants.
  AVDictionary* mux = nullptr;
  av_dict_set(&mux, "movflags", "frag_custom+empty_moov+default_base_moof+omit_tfhd_offset", 0);
  err = avformat_write_header(fc, &mux);
  av_dict_free(&mux);
  if (err < 0) fail("cannot write the init segment", err);
  avio_flush(fc->pb);
}

LiveMp4::~LiveMp4() = default;

void LiveMp4::add(const uint8_t* rgb, const int16_t* pcm640) {
  Impl& m = *impl_;
  int err = av_frame_make_writable(m.frame.get());
  if (err < 0) fail("frame", err);
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {m.width * 3};
  sws_scale(m.toYuv.get(), src, stride, 0, m.height, m.frame->data, m.frame->linesize);
  m.frame->pts = m.frames++;
  m.encode(m.video.get(), m.videoStream, m.frame.get());

  for (int i = 0; i < kFrameSamples; ++i) {
    if (m.skipAudio) --m.skipAudio;
    else m.pendingAudio.push_back(float(pcm640[i]) / 32768.0f);
  }
  const size_t n = size_t(m.audio->frame_size);
  size_t at = 0;
  for (; m.pendingAudio.size() - at >= n; at += n) {
    if ((err = av_frame_make_writable(m.audioFrame.get())) < 0) fail("audio frame", err);
    std::memcpy(m.audioFrame->data[0], m.pendingAudio.data() + at, n * sizeof(float));
    m.audioFrame->pts = m.audioPts;
    m.audioPts += int64_t(n);
    m.encode(m.audio.get(), m.audioStream, m.audioFrame.get());
  }
  m.pendingAudio.erase(m.pendingAudio.begin(), m.pendingAudio.begin() + ptrdiff_t(at));

  if (m.frames % m.fragmentFrames == 0) {
    if ((err = av_write_frame(m.out.get(), nullptr)) < 0) fail("cannot cut a fragment", err);
    avio_flush(m.out->pb);
  }
}

const std::string& LiveMp4::codecs() const { return impl_->codecs; }
int64_t LiveMp4::frames() const { return impl_->frames; }

}  // namespace qo::tool
