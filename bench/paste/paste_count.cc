// Runs Paste::composite of the benchmark scene a fixed number of times, for instruction counts
// that do not depend on the machine's load:
//
//   valgrind --tool=callgrind build/bench/qo_paste_count [composites]
//
// Divide the kernel's inclusive count by composites x the live pixels this prints.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "paste/paste_scene.h"
#include "paste/qo_paste.h"

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 4;
  qo::bench::PasteScene scene;
  const std::vector<uint8_t> before = scene.frame;
  qo::Paste paste(scene.mask, scene.kSide, qo::Unsharp{});
  for (int i = 0; i < n; ++i) paste.composite(scene.crop.data(), 255.0f, scene.M, scene.frame.data(), scene.kW, scene.kH);
  // Pixels the blend can have changed: those that differ after the first composite are a lower
  // bound, close enough for a per-pixel figure.
  size_t changed = 0;
  for (size_t i = 0; i < before.size(); i += 3)
    changed += before[i] != scene.frame[i] || before[i + 1] != scene.frame[i + 1] || before[i + 2] != scene.frame[i + 2];
  std::printf("composites=%d changed_pixels=%zu\n", n, changed);
  return 0;
}
