// The paste compositor: puts the rendered face crop back into the full driver frame.
//
//   qo::Paste paste(std::move(mask), m.crop, m.unsharp);      // once per context
//   paste.composite(crop, 255.0f, M, rgb, m.W, m.H);          // once per frame, in place
//
// The crop is sharpened with an unsharp mask, then every frame pixel of the crop's footprint is
// mapped back into the crop through the inverse of M, sampled there (8x8 Lanczos by default,
// bicubic or bilinear on request) and blended over the frame with the feathered mask as
// coverage. Heavy loops run on qo::pool. All buffers are made at construction; composite
// allocates nothing once its column tables have grown to the widest footprint seen.
//
// One caller at a time: composite writes the compositor's own buffers and tables.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "qo/qo_bundle.h"
#include "qo/qo_export.h"

namespace qo {

class QO_API Paste {
 public:
  // Takes ownership of the side x side mask (row-major; 0 keeps the frame, 255 takes the crop).
  // Reads QO_PASTE_FAST and QO_PASTE_KSIZE once, here. Throws std::runtime_error on a side
  // outside 1..1024, a mask of the wrong size, an even ksize, or sharpening settings that cannot
  // produce a kernel (sigma not a finite number > 0, ksize outside 1..2 * side - 1, amount not
  // finite).
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& u);
  ~Paste();
  Paste(Paste&&) noexcept;
  Paste& operator=(Paste&&) noexcept;
  Paste(const Paste&) = delete;
  Paste& operator=(const Paste&) = delete;

  // Composites one crop into one frame in place. `crop` is 3 planes (R, G, B) of side x side
  // floats, multiplied by `scale` on entry. `M` is the 6-float transform (a, b, c, d, e, f)
  // taking crop pixel (x, y) to frame pixel (a x + b y + c, d x + e y + f), pixel centres at
  // integers. `frame` is packed RGB, W x H, row stride 3 W. A singular M, a footprint outside
  // the frame or an M whose inverse does not fit the 10-bit fixed point leaves the frame as it
  // was.
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  int side() const;   // crop side in pixels
  int ksize() const;  // Gaussian taps in use (after QO_PASTE_KSIZE)
  int fast() const;   // sampling mode: 0 Lanczos-8, 1 bicubic, 2 bilinear

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo
