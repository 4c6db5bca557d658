// The demo avatar, drawn procedurally: a face in crop coordinates and the full driver frame
// with the same face placed by the frame's paste transform, so a pasted crop lands exactly on it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace qo::devkit {

// Colour of the face at normalised crop position (x, y) in [-1, 1] (y down), as RGB in [0, 1],
// with the mouth opened by `open` (0 = closed lips, 1 = wide open) and coverage alpha (0 outside
// the head). Pure: used for the prior, the driver frames and the demo director's own design.
struct FaceSample {
  float r, g, b, alpha;
};
FaceSample faceAt(float x, float y, float open);

// The pose of source frame si of nt: the 2 x 3 paste transform (crop pixels -> frame pixels).
std::array<float, 6> demoTransform(int si, int nt, int w, int h, int crop);

// The 21 keypoints (x, y, z in normalised crop coordinates) of the face with the mouth opened by
// `open`. Rows 17..20 are the lips: left corner, right corner, top, bottom.
std::array<float, 63> faceKeypoints(float open);

// The outer lip outline faceAt draws: centre x, y and half-axes, normalised crop coordinates.
std::array<float, 4> faceLipEllipse(float open);

// Renders the crop (3 planes of crop x crop, R, G, B in [0, 1]).
void renderCrop(int crop, float open, float* planes);

// Renders driver frame si: background, body and the head placed by demoTransform (packed RGB8).
void renderFrame(int si, int nt, int w, int h, int crop, uint8_t* rgb);

// The feathered paste mask (crop x crop bytes, 255 over the face, fading to 0 before the edge).
std::vector<uint8_t> faceMask(int crop);

}  // namespace qo::devkit
