// The demo bundle's director graph: a designed, untrained network with the structure real
// directors have, so the engine's load-time rewrites have a realistic target.
//
//   P_rgb ─ Pad(edge) ─ depthwise Convs ─┐
//   P_rgb ──────────────────────────────Concat (V, Dxx, Dyy, Dxxyy: 12 ch)   ← the source cone
//   kp_driving, kp_source → grid (lip keypoint motion, Gaussian weighted) → qx, qy
//   GridSample(bilinear, border, align_corners 0) → Slices → qx·qy·Dxxyy + V − qx·Dxx − qy·Dyy
//   → Clip → mouth interior from the driving lips (dark opening, band of teeth)
//   → head: AveragePool, per-channel gain [3,1,1], cubic x2 Resize, Conv (+ detail)
//   → out = a·X + (1 − a)·Clip(warped), a = mouth-region ellipse [1,1,crop,crop] initializer
//
// Inputs: pooled64 [B,64,32,32], P_rgb [B,3,C,C], kp_driving / kp_source [B,21,3];
// output "rgb" [B,3,C,C] in [0,1]. Keypoint rows 17..20 are the lips.
#pragma once

#include <string>

namespace qo::devkit {

void writeDemoDirector(const std::string& path, int crop, int batch);

}  // namespace qo::devkit
