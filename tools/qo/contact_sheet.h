// A contact sheet: up to `slots` frames picked evenly over a run, shrunk and tiled into one PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qo::tool {

class ContactSheet {
 public:
  ContactSheet(int frameW, int frameH, int slots);
  // Frame k of `total`: kept when it is one of the evenly spaced picks.
  void offer(int k, int total, const uint8_t* rgb);
  void save(const std::string& path) const;

 private:
  int w_, h_, slots_, cols_, rows_, tileW_, tileH_;
  std::vector<uint8_t> sheet_;
};

}  // namespace qo::tool
