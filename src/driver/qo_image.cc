// Still images: JPEG/PNG decoding for the driver directory and PNG writing for hosts and tools.
#include <stdexcept>
#include <string>
#include <vector>

#include "qo/qo_driver.h"
#include "qo/qo_image.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
#include <stb_image.h>
#include <stb_image_write.h>

namespace qo {

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  int channels = 0;
  stbi_uc* pixels = stbi_load(path.c_str(), w, h, &channels, 3);
  if (!pixels) throw std::runtime_error("decode failed: " + path);
  std::vector<uint8_t> out(pixels, pixels + size_t(*w) * size_t(*h) * 3);
  stbi_image_free(pixels);
  return out;
}

void writePNG(const std::string& path, const uint8_t* rgb, int w, int h) {
  if (!stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3)) throw std::runtime_error("png write failed: " + path);
}

void writeJPG(const std::string& path, const uint8_t* rgb, int w, int h, int quality) {
  if (!stbi_write_jpg(path.c_str(), w, h, 3, rgb, quality)) throw std::runtime_error("jpg write failed: " + path);
}

}  // namespace qo
