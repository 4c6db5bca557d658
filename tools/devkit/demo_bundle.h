// The demo avatar bundle: every member an engine context needs, generated deterministically from
// the procedural face, at any canvas and crop size (tiny ones for tests).
//
//   qo::devkit::DemoOptions o;            // 1920x1080, crop 512
//   qo::devkit::writeDemoBundle("demo", o);
#pragma once

#include <string>
#include <vector>

namespace qo::devkit {

struct DemoOptions {
  int width = 1920, height = 1080, crop = 512;
  int nt = 100;          // source frames (4 s of idle loop)
  int frames = -1;       // drive-table frames; -1 = nt
  bool priorMovie = false;   // P_hevc.mov instead of P.f16
  bool driverMovie = false;  // target_frames.mp4 instead of a JPEG directory
  bool fsRed = false;        // also write fs_red.f16
  bool audio = true;         // the audio-to-motion members (frontend, encoder, decoder, tables)
  bool motion = true;        // the qo_motion directory motion/ (student, generator, stitching)
  bool tessera = false;      // the teeth-borrow members and the manifest's "tessera" block
  // Director graphs written as model_b<N>.onnx, one per batch size.
  std::vector<int> directorBatches = {1};
  // Canvas the paste transforms are authored on (the stamp); 0 = the frame canvas.
  int stampWidth = 0, stampHeight = 0;

  // The small bundle tests and `qo demo --tiny` use: 96x64, crop 32, 4 source frames.
  static DemoOptions tiny() {
    DemoOptions o;
    o.width = 96;
    o.height = 64;
    o.crop = 32;
    o.nt = 4;
    return o;
  }
};

// Writes the bundle into `dir` (created if needed). Throws std::runtime_error on I/O failure.
void writeDemoBundle(const std::string& dir, const DemoOptions& options);

// The mouth opening of drive frame i (the idle loop's gentle lip motion), 0..1.
float demoIdleOpen(int i);

}  // namespace qo::devkit
