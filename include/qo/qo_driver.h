// Frame sources and the look-ahead cursor: the driver video (the idle loop the face is pasted
// into) and the movie-backed warp prior, decoded one frame at a time.
//
//   auto cursor = qo::DriverCursor::open(manifest, /*ahead=*/2, /*back=*/11);
//   int si;
//   const uint8_t* rgb = cursor->pull(&si);        // frames 0, 1, ... NT-1, 0, ... in order
//   const uint8_t* again = cursor->pullAt(si, &si);  // served from history, no decode
//
// A cursor owns one decoder thread that keeps `ahead` frames decoded and the last `back` + 1
// frames resident; a request outside that window makes the source seek. Decoder failures are
// stored and rethrown to the consumer as std::runtime_error. Consumer calls are serialised
// internally; a pointer from a zero-copy pull stays valid for `back` further sequential pulls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qo/qo_export.h"

namespace qo {

struct Manifest;

namespace driver {

// A sequence of equally sized frames decoded strictly one at a time into caller buffers. Used by
// one thread at a time.
class QO_API Source {
 public:
  virtual ~Source();
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes of one decoded frame; packed RGB (W x H x 3) unless the source says otherwise.
  virtual size_t frameBytes() const;
  // Decodes the frame at the current position into dst and advances; false (nothing written)
  // at or past NT(). Throws on a decode failure without advancing.
  virtual bool next(uint8_t* dst) = 0;
  virtual void rewind() = 0;
  // The next `next` yields frame i; throws "qo_driver: seek outside the member" outside [0, NT).
  virtual void seek(int i) = 0;
  virtual std::string name() const = 0;
  // Memory the source itself holds for decoding.
  virtual size_t residentBytes() const = 0;
};

// frame_000000.jpg, frame_000001.jpg, ... in `dir`, each exactly W x H. Touches no file until
// the first next().
QO_API std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);

// An H.264 (4:2:0) movie of NT frames of W x H, decoded to packed RGB. Throws when the file
// cannot be opened or disagrees with NT, W or H.
QO_API std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);

// An HEVC 4:4:4 movie of side x side crops, decoded to three binary16 planes (R, G, B) in [0, 1].
QO_API std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side);

}  // namespace driver

// Decodes any image stb_image reads into packed RGB; throws "decode failed: <path>".
QO_API std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// "libavcodec <version built against> / <configuration>".
QO_API std::string movieDecoderBuild();

// Look-ahead frame server over a Source, looping after the last frame.
class QO_API DriverCursor {
 public:
  DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int back);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int ahead, int back);
  // The bundle's driver video: its populated JPEG directory, else its MP4 (QO_DRIVER_PREFER_MP4=1
  // prefers the movie).
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int ahead, int back);
  // The bundle's warp-prior movie ("P_hevc.mov" or the manifest's "P_hevc").
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int ahead, int back);

  // Serve the frame at position(): copy it into dst (frameBytes() bytes) and return its index.
  int pull(uint8_t* dst);
  // Zero-copy: a pointer into the ring; the index is stored through si.
  const uint8_t* pull(int* si);
  // Zero-copy and writable; such a frame is never served again from history.
  uint8_t* pullMut(int* si);
  // seek(si), then serve; the copying form returns si.
  int pullAt(int si, uint8_t* dst);
  const uint8_t* pullAt(int si, int* got);
  uint8_t* pullMutAt(int si, int* got);
  // Make si the next frame served (from history when resident, else by a source seek).
  void seek(int si);

  int position() const;
  size_t residentBytes() const;
  uint64_t seeks() const;

  int NT() const { return nt_; }
  int W() const { return w_; }
  int H() const { return h_; }
  size_t frameBytes() const { return frameBytes_; }
  const std::string& name() const { return name_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int nt_, w_, h_;
  size_t frameBytes_;
  std::string name_;
};

}  // namespace qo
