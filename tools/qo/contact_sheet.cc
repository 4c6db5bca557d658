#include "tools/qo/contact_sheet.h"

#include <algorithm>

#include "qo/qo_image.h"

namespace qo::tool {

ContactSheet::ContactSheet(int frameW, int frameH, int slots)
    : w_(frameW), h_(frameH), slots_(std::max(slots, 1)), cols_(std::min(slots_, 3)), rows_((slots_ + 2) / 3) {
  const int scale = std::max(1, frameW / 640);  // tiles of about 640 pixels
  tileW_ = frameW / scale;
  tileH_ = frameH / scale;
  sheet_.assign(size_t(tileW_) * cols_ * size_t(tileH_) * rows_ * 3, 0);
}

void ContactSheet::offer(int k, int total, const uint8_t* rgb) {
  for (int s = 0; s < slots_; ++s) {
    const int pick = slots_ == 1 ? 0 : int((long long)s * (total - 1) / (slots_ - 1));
    if (pick != k) continue;
    const int ox = (s % cols_) * tileW_, oy = (s / cols_) * tileH_;
    const int sheetW = tileW_ * cols_;
    for (int y = 0; y < tileH_; ++y)
      for (int x = 0; x < tileW_; ++x) {
        const int sx = x * w_ / tileW_, sy = y * h_ / tileH_;
        const uint8_t* p = rgb + (size_t(sy) * w_ + sx) * 3;
        uint8_t* q = &sheet_[(size_t(oy + y) * sheetW + ox + x) * 3];
        q[0] = p[0], q[1] = p[1], q[2] = p[2];
      }
  }
}

void ContactSheet::save(const std::string& path) const { writePNG(path, sheet_.data(), tileW_ * cols_, tileH_ * rows_); }

}  // namespace qo::tool
