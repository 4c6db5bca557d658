// Compose geometry of the teeth borrow: the "pi" mouth mask the director composes through
// (a soft lip ellipse plus a teeth-gate ellipse on the square compose canvas), and the lip contour
// that cuts it down to the lips from a baked outline template.
//
// Keypoints are 21 rows of (x, y, unused) floats in the canvas's normalised coordinates (-1 at the
// first pixel, +1 at the last); a sequence of frames is such sets back to back (63 floats each).
// Masks are canvas x canvas planes, row-major.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qo::tessera {

inline constexpr int kKeypointRows = 21;
inline constexpr int kKeypointFloats = kKeypointRows * 3;

struct EllParams {
  float cx = 0, cy = 0, rx = 0, ry = 0, k = 0;
};

// Columns [x0, x1), rows [y0, y1).
struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// The pi mask description of a manifest's "unified.pi" block. Immutable after construction, so
// one instance may serve several threads.
class UnifiedPi {
 public:
  int32_t canvas = 0;
  std::string mode;  // "prop"
  bool corner_recovery = false;
  float prop_gate_scale = 1.0f;
  std::vector<int32_t> lip_idx;  // rows 0..20 (checked when read)
  float pad_x = 0, pad_y = 0, down = 0;
  std::vector<float> gx, gy;  // column and row grids, `canvas` entries each

  // Reads "unified.pi" of a manifest; throws std::runtime_error with the "teeth-pi: ..." texts.
  static UnifiedPi fromManifestJson(const std::string& manifestText, int32_t canvas);
  // As fromManifestJson, with the lip geometry identified from the bundle's own target keypoints
  // (xsTarget: nFrames x 63 floats) against the bank's canonical centroid cCanon (x, y pixels).
  // nameOut (may be null) receives "v1", "v2" or "v3".
  static UnifiedPi corpusFromManifestJson(const std::string& manifestText, int32_t canvas, const float* xsTarget,
                                          int nFrames, const double cCanon[2], std::string* nameOut);

  // Float masks: canvas x canvas values in [0, 1].
  void ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float down,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float* gateOut) const;
  Box ellBox(const EllParams& p) const;
  Box supportBox(const float* kp) const;

  // Byte masks: canvas x canvas bytes.
  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  bool piU8Centroid(const uint8_t* mask, double* cx, double* cy) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double* cx, double* cy) const;
  // min(pi, other) inside box ∩ support box where other > 0; 0 elsewhere. other: canvas x canvas.
  void piU8ShrunkBy(const float* kp, const float* other, const Box& box, uint8_t* out) const;
  // piU8Boxed, and the offset of its centroid from ref (x, y): false (shifts untouched) when empty.
  bool piU8AndShift(const float* kp, const double ref[2], uint8_t* out, int32_t* rowShift, int32_t* colShift) const;
  // Mean pi centroid over frames (nFrames x 63 floats); throws when no frame has one.
  void canonicalCentroid(const float* frames, int nFrames, double* cx, double* cy) const;
};

// The lip outline of "lip_template.v1.json" deformed onto each frame's lip keypoints, filled and
// feathered outward. Keeps scratch buffers between calls: one instance serves one thread at a time.
class LipContour {
 public:
  static LipContour fromTemplateJson(const std::string& text, int32_t canvas);
  LipContour(int32_t canvas, float feather_px, const double* u_canon, int32_t nv, const int32_t* lip_idx,
             int32_t nLip);

  int32_t canvas() const { return canvas_; }
  float featherPx() const { return feather_px_; }
  int32_t vertexCount() const { return nv_; }

  // nv (x, y) pairs in canvas pixels.
  void polygon(const float* kp, std::vector<double>* out) const;
  Box box(const std::vector<double>& poly) const;
  // (x1 - x0) x (y1 - y0) bytes of the box, 0 or 255.
  void fillScanline(const std::vector<double>& poly, const Box& box, uint8_t* out) const;
  // Feathered alpha over the box into a canvas x canvas plane (only the box is written).
  void contourF32(const std::vector<double>& poly, const Box& box, float* out);
  // Zeroes a canvas x canvas plane and writes the contour alpha of one keypoint set.
  void contourF32Canvas(const float* kp, float* out);
  // The pi mask cut down by the contour (canvas x canvas bytes).
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double ref[2], uint8_t* out,
                           int32_t* rowShift, int32_t* colShift);

 private:
  int32_t canvas_ = 0;
  float feather_px_ = 0;
  int32_t nv_ = 0;
  std::vector<double> u_canon_;  // nv (u, v) pairs
  std::vector<int32_t> lip_idx_;
  std::vector<uint8_t> fill_;  // scratch: last box's fill
  std::vector<float> dist_;    // scratch: last box's distance map
  std::vector<float> plane_;   // scratch: canvas x canvas alpha
  std::vector<double> poly_;   // scratch: the polygon of the last keypoint set
  struct Span {
    int64_t top, bottom, x, slope;  // rows [top, bottom), x at top and per-row step in 16.16
  };
  mutable std::vector<Span> spans_;      // scratch of fillScanline
  mutable std::vector<int64_t> cross_;   // scratch of fillScanline: one row's crossings
  mutable std::vector<int64_t> verts_;   // scratch of fillScanline: rounded box-relative vertices
};

}  // namespace qo::tessera
