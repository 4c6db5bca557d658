// Director graphs for renderer tests, written with the model builder. Their output is a known
// function of the inputs, so a test can tell which slot received which frame and keypoints:
//   rgb[b][c][y][x] = image[b][c][y][x] + 10 * kd[b][0][0] + 100 * ks[b][0][1] + mean(pooled[b])
// where image is P_rgb (standard interface) or mean(fs_red[b]) broadcast (FeatSynth interface).
#pragma once

#include <cstdint>
#include <string>

namespace qo::test {

struct DirectorShape {
  int64_t batch = 1;
  int64_t pooledBatch = 0;  // 0: same as batch; -1 writes a symbolic dimension
  int64_t kpRows = 21;      // -1 writes a symbolic dimension
  int64_t crop = 16;
  bool featSynth = false;
};

void writeTestDirector(const std::string& path, const DirectorShape& shape);

}  // namespace qo::test
