// A live fragmented MP4 (H.264 + AAC) for Media Source Extensions: frames and the audio under each
// go in, bytes come out through a callback (the init segment first, then one moof+mdat fragment
// per `fragmentFrames` frames). Video and audio share one timeline: frame k starts at k x 40 ms
// and carries exactly the 640 samples that play under it, so lip sync is fixed by construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qo::tool {

class LiveMp4 {
 public:
  using Sink = std::function<void(const uint8_t* data, size_t size)>;

  // Frames of width x height are streamed at outWidth x outHeight (even sizes; scaled in the same
  // pass that converts them to YUV). Opens libx264 (ultrafast, zero latency, a key frame every
  // `gop` frames) and FFmpeg's AAC encoder at 16 kHz mono. Throws std::runtime_error when an
  // encoder or the muxer refuses.
  LiveMp4(int width, int height, int outWidth, int outHeight, int fragmentFrames, int gop, Sink sink);
  ~LiveMp4();
  LiveMp4(const LiveMp4&) = delete;
  LiveMp4& operator=(const LiveMp4&) = delete;

  // One frame of packed RGB (width x height x 3) and its 640 samples of 16 kHz audio.
  void add(const uint8_t* rgb, const int16_t* pcm640);
  // The RFC 6381 codecs parameter of the stream, e.g. "avc1.42c01f,mp4a.40.2".
  const std::string& codecs() const;
  int64_t frames() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo::tool
