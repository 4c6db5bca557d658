// The demo avatar's audio-to-motion model (a motion directory for qo_motion): student, generator
// and stitching graphs designed (not trained) so that the lips follow the audio's energy.
//
//   qo::devkit::DemoMotionOptions m;          // 100 rows
//   qo::devkit::writeDemoMotion("demo/motion", m);
//
// Design, end to end:
//  - tables: a periodic Hann window, triangular mel filters (HTK mel scale, 0 .. 8 kHz, peak 1).
//  - student: feature 0 of each 20 ms frame is the loudness, sigmoid(1.5 (ln mean_band exp(logmel)
//    + 0.5)) averaged over two mel frames: near 0 for silence and a quiet noise floor, near 1 for
//    speech at a normal level. The other 1023 features are fixed small mixes of the bands; the
//    de-normalisation leaves feature 0 as it is and scales and shifts the others.
//  - generator: every row is the source motion row, with the lips opened by the conditioning's
//    loudness smoothed over three frames (top lip up, bottom lip down), and every value pulled 5%
//    of the way towards its previous prediction. The clamps keep the lips between closed and
//    fully open.
//  - stitching: y = 0.1 x_s + 0.9 x_d, so the driving keypoints move the lips by s_bridge x 0.9
//    x the expression change; the lip offsets are sized so full loudness opens the mouth as far
//    as faceKeypoints(1).
//  - source descriptions: the neutral face as canonical keypoints with a slow yaw and pitch sway
//    per row (it rotates x_s and x_d alike, so it moves nothing without delta_pitch).
#pragma once

#include <string>

namespace qo::devkit {

struct DemoMotionOptions {
  int nt = 100;            // driver rows ("nt" = "n_src")
  int nSrc = -1;           // "n_src" written to the meta (-1: nt), rows of src_xs_info.bin
  int nEmo = 3;            // emotion rows
  float sBridge = 0.8f;
  float deltaPitch = 0.0f;  // written only when non-zero (the key is optional)
};

// Writes meta.json, every .bin member with its exact count, hubert_student.onnx, lmdm.onnx,
// stitch.onnx, and xs_target.bin (neutral face rows) unless `dir` already holds one. Throws
// std::runtime_error on I/O failure or bad options.
void writeDemoMotion(const std::string& dir, const DemoMotionOptions& options);

// The single graphs, for fixtures.
void writeDemoStudent(const std::string& path);
void writeDemoGenerator(const std::string& path, float sBridge);
void writeDemoStitch(const std::string& path);

}  // namespace qo::devkit
