#include "render/qo_band_op.h"

#include <climits>
#include <stdexcept>
#include <vector>

namespace qo {
namespace {

constexpr int64_t kBandRows = 16;

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

struct Image {
  BandFn band;
  const float* x;
  const float* grid;
  float* y;
  int C, H, W, Hg, Wg;
};

void runBand(void* data, size_t k) {
  const Image& im = *static_cast<const Image*>(data);
  const int first = int(int64_t(k) * kBandRows);
  im.band(im.x, im.grid, im.y, im.C, im.H, im.W, im.Hg, im.Wg, first, int(std::min<int64_t>(first + kBandRows, im.Hg)));
}

}  // namespace

void runBandOp(OrtKernelContext* context, const char* op, BandFn band, int channels,
               std::string (*refuseChannels)(long long c)) {
  Ort::KernelContext ctx(context);
  const Ort::ConstValue x = ctx.GetInput(0), grid = ctx.GetInput(1);
  const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
  const std::vector<int64_t> gs = grid.GetTensorTypeAndShapeInfo().GetShape();
  const std::string name = std::string("com.corvanta::") + op;
  if (xs.size() != 4) throw std::runtime_error(name + ": X must be [N, C, H, W], got " + shapeText(xs));
  if (gs.size() != 4 || gs[0] != xs[0] || gs[3] != 2)
    throw std::runtime_error(name + ": the grid must be [N, Hg, Wg, 2] with X's N = " + std::to_string(xs[0]) +
                             ", got " + shapeText(gs) + " for X " + shapeText(xs));
  const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], Hg = gs[1], Wg = gs[2];
  // The kernels index a plane with int32 and hold coordinates exactly in float.
  constexpr int64_t kSide = int64_t(1) << 23, kPlane = int64_t(1) << 31;
  if (H >= kSide || W >= kSide || H * W >= kPlane || Hg >= kPlane || Wg >= kPlane || Hg * Wg >= kPlane || C > INT_MAX)
    throw std::runtime_error(name + ": X " + shapeText(xs) + " or grid " + shapeText(gs) +
                             " is larger than the kernel serves (sides below 2^23, planes below 2^31 pixels)");
  if ((H == 0 || W == 0) && Hg > 0 && Wg > 0 && N > 0 && C > 0)
    throw std::runtime_error(name + ": X " + shapeText(xs) + " has no pixels to sample");

  Ort::UnownedValue y = ctx.GetOutput(0, {N, C, Hg, Wg});
  if (channels > 0 && C != channels) throw std::runtime_error(refuseChannels(C));
  if (N == 0 || C == 0 || Hg == 0 || Wg == 0) return;

  const float* xp = x.GetTensorData<float>();
  const float* gp = grid.GetTensorData<float>();
  float* yp = y.GetTensorMutableData<float>();
  const size_t inPlane = size_t(C) * size_t(H) * size_t(W), gridPlane = size_t(Hg) * size_t(Wg) * 2,
               outPlane = size_t(C) * size_t(Hg) * size_t(Wg);
  const size_t bands = size_t((Hg + kBandRows - 1) / kBandRows);
  for (int64_t n = 0; n < N; ++n) {
    Image im{band, xp + size_t(n) * inPlane, gp + size_t(n) * gridPlane, yp + size_t(n) * outPlane,
             int(C), int(H), int(W), int(Hg), int(Wg)};
    if (bands == 1) runBand(&im, 0);
    else ctx.ParallelFor(runBand, bands, 0, &im);
  }
}

OrtStatusPtr inferBandOpShape(Ort::ShapeInferContext& ctx) {
  if (ctx.GetInputCount() < 2) return nullptr;
  const Ort::ShapeInferContext::Shape& x = ctx.GetInputShape(0);
  const Ort::ShapeInferContext::Shape& g = ctx.GetInputShape(1);
  if (x.size() != 4 || g.size() != 4) return nullptr;
  Ort::Status s = ctx.SetOutputShape(0, {x[0], x[1], g[1], g[2]});
  return s.release();
}

}  // namespace qo
