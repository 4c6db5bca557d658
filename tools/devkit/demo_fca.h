// The demo bundle's whole-utterance keypoint graph and the director key the stream runner uses.
//
//   qo::devkit::writeDemoFcaStream("demo/fca_stream.onnx");
//   qo::devkit::writeDemoStreamAssets("demo", 512);   // fca_stream.onnx and model_render.onnx
//
// Design of fca_stream.onnx (designed, not trained): the demo frontend's features are fixed
// linear mixes of 16 log band energies, so one projection (the minimum-norm solution of "mix x w
// = the band mean", over the mean of layers 4..9) reads a frame's mean log energy back from its
// speech-normalised feature. The context weighs frames t - 1, t and t + 1 by 1/4, 1/2 and 1/4;
// the recurrent state keeps half of its old value; the mouth opening is a sigmoid of the state,
// eased with the previous output, and moves the lips apart and the corners inward as the demo
// face's keypoints do for a full opening.
#pragma once

#include <string>

namespace qo::devkit {

// "cond" [1, 5376], "prev" [1, 63], "h" [1, 1, 384] -> "m" [1, 63], "hn" [1, 1, 384].
void writeDemoFcaStream(const std::string& path);

// Writes fca_stream.onnx and the director as model_render.onnx (batch 1) into `dir`.
void writeDemoStreamAssets(const std::string& dir, int crop);

}  // namespace qo::devkit
