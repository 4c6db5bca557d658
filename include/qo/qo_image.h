// Still-image helpers of libqo_core (packed RGB, row stride w x 3).
#pragma once

#include <cstdint>
#include <string>

#include "qo/qo_export.h"

namespace qo {

// Writes packed RGB as PNG; throws "png write failed: <path>".
QO_API void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

// Writes packed RGB as JPEG (quality 1..100); throws "jpg write failed: <path>".
QO_API void writeJPG(const std::string& path, const uint8_t* rgb, int w, int h, int quality = 92);

}  // namespace qo
