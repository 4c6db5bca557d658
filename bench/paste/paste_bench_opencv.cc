// What a user would otherwise write with OpenCV for the same paste: the same unsharp mask
// (GaussianBlur 13 x 13, sigma 2, mirrored border), warpAffine with INTER_LANCZOS4 into the
// footprint rectangle only, the mask warped bilinearly, and a per-pixel blend. Two variants:
// warping the float crop (the compositor's precision) and warping it after conversion to bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "paste/paste_scene.h"
#include "qo/qo_pool.h"

namespace {

constexpr float kAmount = 1.3f;
constexpr double kSigma = 2.0;
constexpr int kKsize = 13;

// The crop's transformed square grown by 4 pixels, clipped to the frame.
cv::Rect footprint(const float* M, int side, int W, int H) {
  const float lo = -4.0f, hi = side + 3.0f;
  const float xs[4] = {lo, hi, lo, hi}, ys[4] = {lo, lo, hi, hi};
  float minX = 1e30f, maxX = -1e30f, minY = 1e30f, maxY = -1e30f;
  for (int i = 0; i < 4; ++i) {
    const float X = M[0] * xs[i] + M[1] * ys[i] + M[2], Y = M[3] * xs[i] + M[4] * ys[i] + M[5];
    minX = std::min(minX, X), maxX = std::max(maxX, X), minY = std::min(minY, Y), maxY = std::max(maxY, Y);
  }
  const int x0 = std::max(int(std::floor(minX)), 0), x1 = std::min(int(std::ceil(maxX)), W - 1);
  const int y0 = std::max(int(std::floor(minY)), 0), y1 = std::min(int(std::ceil(maxY)), H - 1);
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

void BM_OpenCvPaste(benchmark::State& state) {
  const bool warpBytes = state.range(0) == 1;
  cv::setNumThreads(qo::pool::threads());
  qo::bench::PasteScene scene;
  const int n = scene.kSide;
  cv::Mat frame(scene.kH, scene.kW, CV_8UC3, scene.frame.data());
  const cv::Mat mask(n, n, CV_8UC1, scene.mask.data());
  const cv::Rect rect = footprint(scene.M, n, scene.kW, scene.kH);
  // The same transform, relative to the footprint's corner.
  const cv::Mat M = (cv::Mat_<double>(2, 3) << scene.M[0], scene.M[1], scene.M[2] - rect.x, scene.M[3], scene.M[4],
                     scene.M[5] - rect.y);
  cv::Mat planes[3], rgb, blur, sharp, sharp8, warped, warped8, maskWarped, alpha, keep;
  for (auto _ : state) {
    for (int c = 0; c < 3; ++c) {
      cv::Mat(n, n, CV_32FC1, scene.crop.data() + size_t(c) * n * n).convertTo(planes[c], CV_32F, 255.0);
    }
    cv::merge(planes, 3, rgb);
    cv::GaussianBlur(rgb, blur, cv::Size(kKsize, kKsize), kSigma, kSigma, cv::BORDER_REFLECT_101);
    cv::addWeighted(rgb, 1.0 + kAmount, blur, -kAmount, 0.0, sharp);
    cv::Mat roi = frame(rect);
    if (warpBytes) {
      sharp.convertTo(sharp8, CV_8U);  // saturates to 0..255
      cv::warpAffine(sharp8, warped8, M, rect.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    } else {
      sharp = cv::min(cv::max(sharp, 0.0), 255.0);
      cv::warpAffine(sharp, warped, M, rect.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
      warped.convertTo(warped8, CV_8U);
    }
    cv::warpAffine(mask, maskWarped, M, rect.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    maskWarped.convertTo(alpha, CV_32F, 1.0 / 255.0);
    cv::subtract(1.0, alpha, keep);
    cv::blendLinear(warped8, roi, alpha, keep, roi);
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string(warpBytes ? "warp 8-bit" : "warp float") + " threads=" +
                 std::to_string(cv::getNumThreads()));
}
BENCHMARK(BM_OpenCvPaste)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace
