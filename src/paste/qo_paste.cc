#include "paste/qo_paste.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "paste/qo_paste_impl.h"
#include "paste/qo_paste_settings.h"
#include "paste/qo_paste_spans.h"
#include "paste/qo_paste_tables.h"
#include "qo/qo_pool.h"

namespace qo {
namespace {

// Crop positions stay within int32 as long as each of the column term and the row term is
// below 2^29 in fixed point: their sum, plus the half phase, then stays below 2^31.
constexpr double kFixedLimit = double(1 << 29);
constexpr double kOne = double(1 << paste::kFracBits);

// Frame rectangle covered by the crop grown by 4 pixels (the Lanczos reach), clipped.
struct Footprint {
  int x0, x1, y0, y1;
};

bool footprintOf(const float* M, int side, int W, int H, Footprint* out) {
  if (W < 1 || H < 1) return false;
  const float lo = -4.0f, hi = float(side) + 3.0f;
  const float xs[4] = {lo, hi, lo, hi}, ys[4] = {lo, lo, hi, hi};
  float minX = 0, maxX = 0, minY = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    const float X = M[0] * xs[i] + M[1] * ys[i] + M[2];
    const float Y = M[3] * xs[i] + M[4] * ys[i] + M[5];
    if (!std::isfinite(X) || !std::isfinite(Y)) return false;
    minX = i == 0 ? X : std::min(minX, X);
    maxX = i == 0 ? X : std::max(maxX, X);
    minY = i == 0 ? Y : std::min(minY, Y);
    maxY = i == 0 ? Y : std::max(maxY, Y);
  }
  // Clip in double: W - 1 need not be a float, and the corners need not fit an int.
  const double x0 = std::max(double(std::floor(minX)), 0.0), x1 = std::min(double(std::ceil(maxX)), double(W - 1));
  const double y0 = std::max(double(std::floor(minY)), 0.0), y1 = std::min(double(std::ceil(maxY)), double(H - 1));
  if (x0 > x1 || y0 > y1) return false;
  *out = {int(x0), int(x1), int(y0), int(y1)};
  return true;
}

bool fitsFixedPoint(double v) { return std::fabs(v) < kFixedLimit; }

void announceExecutorOnce(int side, int ksize) {
  static std::once_flag once;
  std::call_once(once, [side, ksize] {
    std::fprintf(stderr, "[qo-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p composite\n", "cpu",
                 side, ksize, qo::pool::threads());
  });
}

}  // namespace

Paste::Impl::Impl(std::vector<uint8_t> maskBytes, int sideIn, const Unsharp& u)
    : side(sideIn),
      ksize(u.ksize),
      padded(0),
      amount(u.amount),
      fast(0),
      mask(std::move(maskBytes)),
      bands(1),
      ringStride(0) {
  paste::checkSettings(side, mask.size(), u);
  fast = paste::sampleModeFrom(std::getenv("QO_PASTE_FAST"));
  ksize = paste::ksizeFrom(std::getenv("QO_PASTE_KSIZE"), u.ksize);
  padded = side + ksize - 1;
  gauss = paste::gaussianWeights(ksize, u.sigma);
  lanczos = paste::lanczosTable();
  bilinear = paste::bilinearTable();
  cubic = paste::cubicTable();
  // Zero-filled here so every page is touched once at construction, not during a frame.
  const size_t plane = size_t(side) * size_t(side);
  crop4.assign(plane * 4, 0.0f);
  // Bands several kernels tall, or re-blurring the ksize - 1 rows a band shares with its
  // neighbour costs more than the split gains; a few per pool part, so that a part held up
  // elsewhere can be covered for.
  bands = std::max(1, side / std::max(2 * int(paste::kGrain), 8 * ksize));
  ringStride = (size_t(side) + 15) / 16 * 16 + 16;
  rings.resize(size_t(pool::parts(size_t(bands), 1)));
  for (Ring& r : rings) {
    r.pad.assign(3 * size_t(padded), 0.0f);
    r.rows.assign(3 * size_t(ksize) * ringStride, 0.0f);
    r.order.assign(3 * size_t(ksize), nullptr);
  }
  const size_t stride = size_t(side) + 2;
  maskBordered.assign(stride * stride, 0);
  for (size_t y = 0; y < size_t(side); ++y)
    std::copy_n(mask.data() + y * size_t(side), size_t(side), maskBordered.data() + (y + 1) * stride + 1);
  paste::readSpans(mask.data(), side, ksize, &readLo, &readHi, &blurLo, &blurHi);
}

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& u)
    : impl_(std::make_unique<Impl>(std::move(mask), side, u)) {}
Paste::~Paste() = default;
Paste::Paste(Paste&&) noexcept = default;
Paste& Paste::operator=(Paste&&) noexcept = default;

int Paste::side() const { return impl_->side; }
int Paste::ksize() const { return impl_->ksize; }
int Paste::fast() const { return impl_->fast; }

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  Impl& p = *impl_;
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  if (det == 0.0) return;
  Footprint fp;
  if (!footprintOf(M, p.side, W, H, &fp)) return;

  const double inv = 1.0 / det;
  const double dudx = e * inv, dvdx = -d * inv, dudy = -b * inv, dvdy = a * inv;
  const double u0 = -(c * dudx + f * dudy), v0 = -(c * dvdx + f * dvdy);
  // A nearly singular M maps the footprint far outside the crop; its positions would wrap in
  // 32-bit fixed point, so it is treated like a singular one. The terms are linear, so the
  // footprint's ends bound them.
  for (double X : {double(fp.x0), double(fp.x1)}) {
    if (!fitsFixedPoint(X * dudx * kOne) || !fitsFixedPoint(X * dvdx * kOne)) return;
  }
  for (double Y : {double(fp.y0), double(fp.y1)}) {
    if (!fitsFixedPoint((Y * dudy + u0) * kOne) || !fitsFixedPoint((Y * dvdy + v0) * kOne)) return;
  }

  const size_t columns = size_t(fp.x1 - fp.x0) + 1;
  if (p.mapX.size() < columns) {  // grows to the widest footprint, then never again
    p.mapX.resize(columns);
    p.mapY.resize(columns);
  }
  for (size_t k = 0; k < columns; ++k) {
    const double X = double(fp.x0) + double(k);
    p.mapX[k] = int32_t(std::rint(X * dudx * kOne));
    p.mapY[k] = int32_t(std::rint(X * dvdx * kOne));
  }

  announceExecutorOnce(p.side, p.ksize);
  p.sharpenCrop(crop, scale);
  p.compositeTail(frame, W, fp.x0, fp.x1, fp.y0, fp.y1, dudy, dvdy, u0, v0);
}

}  // namespace qo
