// The donor bank track decoded from memory with FFmpeg into donor-ordered RGB24 bands.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/qo_ff.h"
#include "qo/qo_tessera.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace qo::tessera {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

struct MemState {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
};

int memRead(void* opaque, uint8_t* buf, int n) {
  auto* s = static_cast<MemState*>(opaque);
  if (s->pos >= s->size) return AVERROR_EOF;
  const int64_t k = std::min<int64_t>(n, s->size - s->pos);
  std::memcpy(buf, s->data + s->pos, size_t(k));
  s->pos += k;
  return int(k);
}

int64_t memSeek(void* opaque, int64_t offset, int whence) {
  auto* s = static_cast<MemState*>(opaque);
  if (whence & AVSEEK_SIZE) return s->size;
  int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = s->pos + offset; break;
    case SEEK_END: target = s->size + offset; break;
    default: return -1;
  }
  if (target < 0 || target > s->size) return -1;
  s->pos = target;
  return target;
}

struct IoCloser {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct BufCloser {
  void operator()(uint8_t* p) const { av_free(p); }
};
struct SwsCloser {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int w, int h,
                                     const std::vector<int32_t>& track_order, const std::string& pix_fmt) {
  if (!data || size == 0) fail("reference bank track is empty — refusing to serve");
  if (w <= 0 || h <= 0 || n <= 0) fail("reference bank geometry is not positive — refusing to serve");
  if (track_order.size() != size_t(n))
    fail("reference bank sidecar track_order has " + std::to_string(track_order.size()) + " entries, expected " +
         std::to_string(n) + " — sidecar/track mismatch, refusing to serve");

  MemState mem{data, int64_t(size), 0};
  constexpr int kBuf = 65536;
  std::unique_ptr<uint8_t, BufCloser> buf(static_cast<uint8_t*>(av_malloc(kBuf)));
  if (!buf) fail("reference bank decode: out of memory");
  std::unique_ptr<AVIOContext, IoCloser> io(avio_alloc_context(buf.get(), kBuf, 0, &mem, memRead, nullptr, memSeek));
  if (!io) fail("reference bank decode: avio_alloc_context failed");
  buf.release();  // the I/O context owns it now (and may have replaced it)
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) fail("reference bank decode: avformat_alloc_context failed");
  raw->pb = io.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  // avformat_open_input frees the context itself on failure.
  if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0)
    fail("reference bank track is not a readable container — refusing to serve");
  ff::InputPtr fmt(raw);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0)
    fail("reference bank track carries no stream info — refusing to serve");

  int si = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      si = int(i);
      break;
    }
  if (si < 0) fail("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = fmt->streams[si]->codecpar;
  if (par->width != w || par->height != h)
    fail("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
         ", the geometry stamp says " + std::to_string(w) + "x" + std::to_string(h) +
         " — geometry mismatch, refusing to serve");
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    fail("no decoder for the reference bank track — this build must carry the h264 decoder (see "
         "build_ffmpeg_android); refusing to serve");
  ff::CodecPtr dec(avcodec_alloc_context3(codec));
  if (!dec) fail("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec.get(), par) < 0)
    fail("reference bank decode: avcodec_parameters_to_context failed");
  dec->thread_count = 1;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0)
    fail("reference bank decode: could not open the decoder — refusing to serve");
  ff::PacketPtr pkt(av_packet_alloc());
  ff::FramePtr frame(av_frame_alloc());
  if (!pkt || !frame) fail("reference bank decode: out of memory");

  const size_t stride = size_t(w) * size_t(h) * 3;
  std::vector<uint8_t> out(stride * size_t(n));
  std::vector<bool> seen(size_t(n), false);
  for (int32_t d : track_order) {
    if (d < 0 || d >= n) fail("reference bank track_order is out of range — refusing to serve");
    if (seen[size_t(d)]) fail("reference bank track_order is not a permutation — refusing to serve");
    seen[size_t(d)] = true;
  }

  std::unique_ptr<SwsContext, SwsCloser> sws;
  int k = 0;
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      if (frame->width != w || frame->height != h)
        fail("reference bank frame changed size mid-track — refusing to serve");
      // The sidecar names the bank's pixel format; a track in another one would be converted from
      // whatever it is and served as if it were the lossless bank.
      const char* got = av_get_pix_fmt_name(AVPixelFormat(frame->format));
      if (!got || pix_fmt != got)
        fail("reference bank track decodes to pixel format '" + std::string(got ? got : "none") +
             "', the sidecar declares '" + pix_fmt + "' — pixel-format mismatch, refusing to serve");
      if (!sws) {
        sws.reset(sws_getContext(w, h, AVPixelFormat(frame->format), w, h, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                 nullptr, nullptr));
        if (!sws) fail("reference bank decode: no rgb24 conversion — refusing to serve");
      }
      if (k >= n)
        fail("bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to "
             "serve");
      uint8_t* dst[4] = {out.data() + size_t(track_order[size_t(k)]) * stride, nullptr, nullptr, nullptr};
      int dstStride[4] = {w * 3, 0, 0, 0};
      sws_scale(sws.get(), frame->data, frame->linesize, 0, h, dst, dstStride);
      av_frame_unref(frame.get());
      ++k;
    }
  };
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == si) {
      avcodec_send_packet(dec.get(), pkt.get());
      drain();
    }
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  if (k != n)
    fail("bank track decoded to " + std::to_string(k) + " frames, expected " + std::to_string(n) +
         " — geometry/N mismatch, refusing to serve");
  return out;
}

std::string bankDecoderBuild() { return "libavcodec " + ff::builtVersion() + " / " + avcodec_configuration(); }

}  // namespace qo::tessera
