// What a user would otherwise write with OpenCV for the same paste: the same unsharp mask
// (GaussianBlur 13 x 13, sigma 2, mirrored border), warpAffine with INTER_LANCZOS4 into the
// footprint rectangle only, the mask warped bilinearly, and a per-pixel blend. Two variants:
// warping the float crop (the compositor's precision) and warping it after conversion to bytes.
// BM_PasteAgainstOpenCv runs the compositor and the float variant alternately and reports the
// ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "paste/paste_scene.h"
#include "paste/qo_paste.h"
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

// The OpenCV pipeline with its buffers, made once and reused like the compositor's.
class OpenCvPaste {
 public:
  OpenCvPaste(qo::bench::PasteScene& scene, bool warpBytes)
      : scene_(scene),
        warpBytes_(warpBytes),
        frame_(scene.kH, scene.kW, CV_8UC3, scene.frame.data()),
        mask_(scene.kSide, scene.kSide, CV_8UC1, scene.mask.data()),
        rect_(footprint(scene.M, scene.kSide, scene.kW, scene.kH)),
        // The same transform, relative to the footprint's corner.
        M_((cv::Mat_<double>(2, 3) << scene.M[0], scene.M[1], scene.M[2] - rect_.x, scene.M[3], scene.M[4],
            scene.M[5] - rect_.y)) {}

  void run() {
    const int n = scene_.kSide;
    for (int c = 0; c < 3; ++c) {
      cv::Mat(n, n, CV_32FC1, scene_.crop.data() + size_t(c) * n * n).convertTo(planes_[c], CV_32F, 255.0);
    }
    cv::merge(planes_, 3, rgb_);
    cv::GaussianBlur(rgb_, blur_, cv::Size(kKsize, kKsize), kSigma, kSigma, cv::BORDER_REFLECT_101);
    cv::addWeighted(rgb_, 1.0 + kAmount, blur_, -kAmount, 0.0, sharp_);
    cv::Mat roi = frame_(rect_);
    if (warpBytes_) {
      sharp_.convertTo(sharp8_, CV_8U);  // saturates to 0..255
      cv::warpAffine(sharp8_, warped8_, M_, rect_.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    } else {
      sharp_ = cv::min(cv::max(sharp_, 0.0), 255.0);
      cv::warpAffine(sharp_, warped_, M_, rect_.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
      warped_.convertTo(warped8_, CV_8U);
    }
    cv::warpAffine(mask_, maskWarped_, M_, rect_.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    maskWarped_.convertTo(alpha_, CV_32F, 1.0 / 255.0);
    cv::subtract(1.0, alpha_, keep_);
    cv::blendLinear(warped8_, roi, alpha_, keep_, roi);
  }

 private:
  qo::bench::PasteScene& scene_;
  const bool warpBytes_;
  cv::Mat frame_, mask_;
  const cv::Rect rect_;
  const cv::Mat M_;
  cv::Mat planes_[3], rgb_, blur_, sharp_, sharp8_, warped_, warped8_, maskWarped_, alpha_, keep_;
};

void BM_OpenCvPaste(benchmark::State& state) {
  const bool warpBytes = state.range(0) == 1;
  cv::setNumThreads(qo::pool::threads());
  qo::bench::PasteScene scene;
  OpenCvPaste opencv(scene, warpBytes);
  for (auto _ : state) {
    opencv.run();
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string(warpBytes ? "warp 8-bit" : "warp float") + " threads=" +
                 std::to_string(cv::getNumThreads()));
}
BENCHMARK(BM_OpenCvPaste)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// The compositor (Lanczos) and the OpenCV pipeline (float warp) one after the other in every
// iteration, so that both see the same machine: on shared cores the load drifts between two
// separate benchmarks. Reports each side's mean and fastest time and the ratio of the means.
void BM_PasteAgainstOpenCv(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  cv::setNumThreads(qo::pool::threads());
  qo::bench::PasteScene ours, theirs;
  setenv("QO_PASTE_FAST", "0", 1);
  qo::Paste paste(ours.mask, ours.kSide, qo::Unsharp{});
  unsetenv("QO_PASTE_FAST");
  OpenCvPaste opencv(theirs, false);
  const auto composite = [&] { paste.composite(ours.crop.data(), 255.0f, ours.M, ours.frame.data(), ours.kW, ours.kH); };
  composite();  // warm
  opencv.run();
  double oursSum = 0, theirsSum = 0, oursMin = 1e30, theirsMin = 1e30;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    composite();
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    opencv.run();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double a = std::chrono::duration<double, std::milli>(t1 - t0).count();
    const double b = std::chrono::duration<double, std::milli>(t2 - t1).count();
    oursSum += a, theirsSum += b, oursMin = std::min(oursMin, a), theirsMin = std::min(theirsMin, b);
  }
  const double n = double(state.iterations());
  state.counters["qo_ms"] = oursSum / n;
  state.counters["opencv_ms"] = theirsSum / n;
  state.counters["qo_min_ms"] = oursMin;
  state.counters["opencv_min_ms"] = theirsMin;
  state.counters["x"] = theirsSum / oursSum;
  state.SetLabel("lanczos8 vs warp float, threads=" + std::to_string(qo::pool::threads()));
}
BENCHMARK(BM_PasteAgainstOpenCv)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
