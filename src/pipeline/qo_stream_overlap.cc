#include "pipeline/qo_stream_overlap.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace qo::pipeline {

OverlapResult runOverlapped(int frames, size_t cropFloats, const OverlapSteps& steps) {
  OverlapResult result;
  if (frames < 1) return result;
  std::vector<float> ring(cropFloats * kStreamRing);
  std::mutex mu;
  std::condition_variable ready, consumed;
  int rendered = 0, pasted = 0;      // crops made / crops whose slot is free again
  bool renderEnded = false, stop = false, failed = false;

  std::thread renderer([&] {
    for (int k = 0; k < frames; ++k) {
      {
        std::unique_lock<std::mutex> lock(mu);
        consumed.wait(lock, [&] { return stop || rendered - pasted < kStreamRing; });
        if (stop) break;
      }
      const float* crop = nullptr;
      try {
        crop = steps.render(k);
      } catch (...) {
        crop = nullptr;
      }
      if (!crop) {
        std::lock_guard<std::mutex> lock(mu);
        failed = true;
        break;
      }
      // Slot k mod 4 last held crop k - 4, which has been pasted (the wait above).
      std::copy(crop, crop + cropFloats, ring.data() + size_t(k % kStreamRing) * cropFloats);
      {
        std::lock_guard<std::mutex> lock(mu);
        ++rendered;
      }
      ready.notify_one();
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      renderEnded = true;
    }
    ready.notify_one();
  });

  std::exception_ptr deliveryError;
  try {
    for (int k = 0; k < frames; ++k) {
      {
        std::unique_lock<std::mutex> lock(mu);
        ready.wait(lock, [&] { return rendered > k || renderEnded; });
        if (rendered <= k) break;  // the render thread failed
      }
      bool ok = false;
      try {
        ok = steps.paste(k, ring.data() + size_t(k % kStreamRing) * cropFloats);
      } catch (...) {
        ok = false;
      }
      {
        std::lock_guard<std::mutex> lock(mu);
        if (ok) ++pasted;
        else failed = true;
      }
      consumed.notify_one();
      if (!ok) break;
      steps.deliver(k);
      ++result.delivered;
    }
  } catch (...) {
    deliveryError = std::current_exception();
  }
  {
    // However the loop ended, a render thread waiting for a free slot is woken and stops.
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  consumed.notify_one();
  renderer.join();
  if (deliveryError) std::rethrow_exception(deliveryError);
  result.failed = failed;
  return result;
}

}  // namespace qo::pipeline
