// The engine context behind the opaque qo_ctx handle: everything one loaded bundle owns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_driver.h"
#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "paste/qo_paste.h"

// Members are declared in construction order, so a throw from any step destroys exactly the
// members already built, in reverse order, and qo_destroy tears down in that same reverse order
// (frame, cursor, ep, compositor, renderer, drive tables, identity, manifest).
struct qo_ctx {
  qo_ctx(const std::string& bundleDir, const std::string& modelKey, int threads, const std::string& ep);

  qo::Manifest manifest;
  qo::Identity identity;
  qo::Drive drive;
  std::unique_ptr<qo::Renderer> renderer;  // built once threads and ep are stored
  std::unique_ptr<qo::Paste> paste;
  int32_t threads;  // resolved renderer thread count, at least 1
  std::string ep;   // execution provider as the host gave it ("" for NULL)
  std::unique_ptr<qo::DriverCursor> cursor;
  std::vector<uint8_t> frame;         // W x H x 3 packed RGB
  const float* last_crop = nullptr;   // most recent render's crop (renderer-owned storage)
};
// After construction only two groups of members change, and qo_render_kp_crop and qo_paste_crop
// may run at once on two threads because each touches one group only:
//   render side: renderer (with the identity's prior, which only the renderer reads), last_crop;
//   paste side:  cursor, paste (qo_paste_crop writes into the caller's buffer, never `frame`).
// manifest, identity.M, drive, threads and ep are read-only. Keep it so: a member written by
// both sides would need a lock, and the stream runner's overlap would race on it.

namespace qo::capi {
// Reads the paste mask member, which must hold exactly crop x crop bytes: "mask read failed" when
// it is missing or shorter, an explanatory refusal when it is longer.
std::vector<uint8_t> readMask(const Manifest& m);
}  // namespace qo::capi
