// Forward-only movie decoding over libavformat/libavcodec: opens a member, checks it against the
// manifest, picks the decoder (an optional hardware decoder, else software with frame threads)
// and hands out decoded frames one by one.
#pragma once

#include <cstdint>
#include <string>

#include "driver/qo_ff.h"

namespace qo::driver {

class MovieDecoder {
 public:
  // Opens `path` and checks W x H and (when declared) NT. `tryHardware` allows h264_cuvid for
  // H.264 streams. Throws std::runtime_error with the member at fault.
  MovieDecoder(std::string path, int NT, int W, int H, bool tryHardware);

  // The next decoded frame (valid until the next call), or nullptr at the end of the stream.
  // The caller counts it with frameDone() once it has used it, so a frame that fails to convert
  // leaves decoded() unchanged.
  AVFrame* receive();
  void frameDone() { ++decoded_; }
  // Back to frame 0: a seek to timestamp 0, or a reopen when the demuxer cannot seek.
  void restart();

  const std::string& path() const { return path_; }
  const char* decoderName() const;
  int threadCount() const;
  int maxPacket() const { return maxPacket_; }
  // Frames completed since the last open or restart: the index of the next frame.
  int decoded() const { return decoded_; }

 private:
  void open();
  bool openHardware();
  void openSoftware();

  std::string path_;
  int nt_, w_, h_;
  bool tryHardware_;
  ff::InputPtr format_;
  ff::CodecPtr codec_;
  ff::PacketPtr packet_;
  ff::FramePtr frame_;
  int stream_ = -1;
  bool eofSent_ = false;
  int decoded_ = 0;
  int maxPacket_ = 0;
};

}  // namespace qo::driver
