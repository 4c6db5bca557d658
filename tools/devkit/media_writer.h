// Writes movies with libavcodec/libavformat: H.264 MP4s of RGB frames (the driver videos of demo
// bundles, the tool's output videos, with the speech audio muxed in) and HEVC 4:4:4 movies of
// warp priors. Test fixtures use the lossless modes so decoded frames are known exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qo::devkit {

enum class VideoCodec {
  kH264,     // yuv420p; libx264 when this FFmpeg has it, else FFmpeg's mpeg4 encoder
  kHevc444,  // yuv444p through libx265
};

struct MovieOptions {
  int width = 0, height = 0;
  int fps = 25;
  VideoCodec codec = VideoCodec::kH264;
  bool lossless = false;  // exact YUV round trip (x264 qp 0, x265 lossless)
  int crf = 20;           // quality when not lossless
  int audioRate = 0;      // > 0: a mono AAC track at this sample rate, fed by addAudio
  bool live = false;      // encode at stream pace: x264's "superfast" preset, no look-ahead
};

class MovieWriter {
 public:
  // Opens `path` for writing (the container follows the extension: .mp4, .mov, .mkv).
  MovieWriter(const std::string& path, const MovieOptions& options);
  // Finishes the file if finish() was not called (errors are then swallowed).
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // One frame of packed RGB (width x height x 3), converted with BT.601 limited range.
  void addRgb(const uint8_t* rgb);
  // One frame given as YUV planes in the codec's layout (4:2:0 or 4:4:4), tightly packed.
  void addYuv(const uint8_t* y, const uint8_t* u, const uint8_t* v);
  // Mono 16-bit PCM at audioRate; buffered into encoder frames.
  void addAudio(const int16_t* pcm, size_t count);
  // Flushes the encoders and writes the trailer. Throws on failure.
  void finish();

  // The video encoder actually used ("libx264", "mpeg4", "libx265").
  const char* videoEncoder() const;
  int framesWritten() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo::devkit
