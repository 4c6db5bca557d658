// Frame file naming of a JPEG driver directory.
#pragma once

#include <string>

namespace qo::driver {

// dir + "/frame_%06d.jpg" for frame i, at any length of dir.
std::string jpgFramePath(const std::string& dir, int i);

}  // namespace qo::driver
