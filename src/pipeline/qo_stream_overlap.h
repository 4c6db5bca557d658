// The stream runner's two-thread frame loop: a render thread fills a ring of four crops while the
// calling thread pastes them in order and delivers each frame.
#pragma once

#include <cstddef>
#include <functional>

namespace qo::pipeline {

inline constexpr int kStreamRing = 4;

struct OverlapSteps {
  // Renders frame k on the render thread; the crop (crop floats) must stay valid until the next
  // call. nullptr stops the run as failed.
  std::function<const float*(int k)> render;
  // Pastes frame k's crop (a copy in the ring) on the calling thread; false stops the run as
  // failed, and the render thread is woken and stopped rather than left waiting for a free slot.
  std::function<bool(int k, const float* crop)> paste;
  // Delivers frame k on the calling thread after its slot was handed back to the render thread.
  std::function<void(int k)> deliver;
};

struct OverlapResult {
  int delivered = 0;
  bool failed = false;
};

// Runs frames 0 .. frames - 1 and returns once the render thread has been joined.
OverlapResult runOverlapped(int frames, size_t cropFloats, const OverlapSteps& steps);

}  // namespace qo::pipeline
