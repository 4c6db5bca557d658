// Seed corpora are written by the fuzzers themselves: run one with QO_FUZZ_SEEDS=DIR and it
// writes its seeds there and exits.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qo::fuzz {

// Writes each seed as DIR/seed_<i> when QO_FUZZ_SEEDS is set, then ends the process.
inline void writeSeedsIfAsked(const std::vector<std::string>& seeds) {
  const char* dir = std::getenv("QO_FUZZ_SEEDS");
  if (!dir || !*dir) return;
  for (size_t i = 0; i < seeds.size(); ++i) {
    std::string path = std::string(dir) + "/seed_" + std::to_string(i);
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
      std::fclose(f);
    }
  }
  std::exit(0);
}

}  // namespace qo::fuzz
