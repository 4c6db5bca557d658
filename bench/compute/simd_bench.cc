// qo::simd kernels on the dispatched target against plain C++ loops (vectoriser off, and
// -O3 -march=native), at the sizes the engine runs them. Prints the speed-up of each kernel
// over both after the runs, and for the sampling kernels the time per output pixel against the
// memory-bandwidth bound of a memcpy moving the same bytes in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compute/plain_kernels.h"
#include "compute/qo_convf16.h"
#include "qo/qo_simd.h"

namespace {

namespace plain = qo::plain;

// ---- Fixtures -----------------------------------------------------------------------------

struct Conversions {
  static constexpr size_t kCount = 3 * 512 * 512;  // one planar crop
  std::vector<float> floats;
  std::vector<uint16_t> halves;
  std::vector<uint8_t> rgb;  // 512 x 512 interleaved
  Conversions() : floats(kCount), halves(kCount), rgb(kCount) {
    std::mt19937 rng(1);
    for (float& f : floats) f = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
    for (size_t i = 0; i < kCount; ++i) halves[i] = qo::f32ToF16(floats[i]);
    for (uint8_t& b : rgb) b = uint8_t(rng());
  }
};

struct YuvFrame {
  static constexpr int kWidth = 1920, kHeight = 1080;
  std::vector<uint8_t> y, u, v, rgb;
  YuvFrame()
      : y(size_t(kWidth) * kHeight), u(size_t(kWidth / 2) * (kHeight / 2)), v(u.size()), rgb(3 * y.size()) {
    std::mt19937 rng(2);
    for (uint8_t& b : y) b = uint8_t(16 + rng() % 220);
    for (uint8_t& b : u) b = uint8_t(16 + rng() % 225);
    for (uint8_t& b : v) b = uint8_t(16 + rng() % 225);
  }
};

// A 512 crop pasted over a ~520-pixel footprint with a slight rotation; the mask is full over
// the face ellipse, feathered at its edge and empty outside.
struct PasteRow {
  static constexpr int kSide = 512, kFrameWidth = 600, kX0 = 40, kX1 = 559;
  std::vector<float> crop, lanczos, bilin;
  std::vector<uint8_t> mask, frame;
  std::vector<int> mapX, mapY;
  int offX = 0, offY = 0;
  PasteRow() : crop(size_t(kSide) * kSide * 4), lanczos(32 * 8), bilin(32 * 2), mask(size_t(kSide) * kSide) {
    std::mt19937 rng(3);
    for (float& f : crop) f = std::uniform_real_distribution<float>(0.0f, 255.0f)(rng);
    const auto sinc = [](double x) { return x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); };
    for (int p = 0; p < 32; ++p) {
      double w[8], sum = 0.0;
      for (int t = 0; t < 8; ++t) {
        const double d = double(t - 3) - p / 32.0;
        w[t] = std::fabs(d) < 4.0 ? sinc(d) * sinc(d / 4.0) : 0.0;
        sum += w[t];
      }
      for (int t = 0; t < 8; ++t) lanczos[8 * p + t] = float(w[t] / sum);
      bilin[2 * p] = 1.0f - p / 32.0f;
      bilin[2 * p + 1] = p / 32.0f;
    }
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        const double r = std::hypot((x - 256.0) / 250.0, (y - 256.0) / 250.0);
        mask[size_t(y) * kSide + x] = r < 0.9 ? 255 : r < 1.0 ? uint8_t(255 * (1.0 - r) / 0.1) : 0;
      }
    }
    frame.resize(3 * kFrameWidth);
    for (uint8_t& b : frame) b = uint8_t(rng());
    // Frame row 300 of a paste at (44, 40), scale 512/520, rotated by 0.05 rad.
    const double scale = 512.0 / 520.0, c = std::cos(0.05) * scale, s = std::sin(0.05) * scale;
    const int frameY = 300;
    for (int x = kX0; x <= kX1; ++x) {
      mapX.push_back(int(std::lround(1024.0 * (c * (x - 44)))));
      mapY.push_back(int(std::lround(1024.0 * (s * (x - 44)))));
    }
    offX = int(std::lround(1024.0 * (-s * (frameY - 40)))) + 16;
    offY = int(std::lround(1024.0 * (c * (frameY - 40)))) + 16;
  }
};

struct RetrievalWindow {
  static constexpr size_t kN = 64 * 80;
  std::vector<uint16_t> a, b, wHalf;
  std::vector<float> w;
  RetrievalWindow() : a(3 * kN), b(3 * kN), wHalf(kN), w(kN) {
    std::mt19937 rng(4);
    for (size_t i = 0; i < 3 * kN; ++i) {
      a[i] = qo::f32ToF16(float(rng() % 256) / 255.0f);
      b[i] = qo::f32ToF16(float(rng() % 256) / 255.0f);
    }
    // A mouth-shaped weight mask: an ellipse of weights inside the window, zeros around it.
    for (size_t i = 0; i < kN; ++i) {
      const double x = double(i % 80) - 40.0, y = double(i / 80) - 32.0;
      const double r = std::hypot(x / 38.0, y / 28.0);
      w[i] = r < 1.0 ? float(1.0 - 0.5 * r) : 0.0f;
      wHalf[i] = qo::f32ToF16(w[i]);
    }
  }
};

struct ConvLayer {
  static constexpr int kH = 256, kW = 256, kC = 16;
  std::vector<float> in, weights, bias, out;
  ConvLayer() : in(size_t(kC) * kH * kW), weights(size_t(kC) * kC * 9), bias(kC), out(in.size()) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (float& f : in) f = value(rng);
    for (float& f : weights) f = value(rng);
    for (float& f : bias) f = value(rng);
  }
};

// An image, a smooth grid (the identity rotated by 0.05 rad and scaled by 0.95, as a head
// alignment warps) and a uniformly random grid, both covering the image; the output; and two
// buffers for a memcpy moving as many bytes as a kernel reads and writes.
struct SamplingImage {
  int C, H, W;
  std::vector<float> x, smooth, random, y;
  std::vector<char> copyFrom, copyTo;
  SamplingImage(int c, int h, int w)
      : C(c), H(h), W(w), x(size_t(c) * h * w), smooth(size_t(h) * w * 2), random(smooth.size()), y(x.size()) {
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> value(0.0f, 1.0f), coordinate(-1.0f, 1.0f);
    for (float& f : x) f = value(rng);
    for (float& f : random) f = coordinate(rng);
    const double cs = 0.95 * std::cos(0.05), sn = 0.95 * std::sin(0.05);
    for (int i = 0; i < h; ++i) {
      for (int j = 0; j < w; ++j) {
        const double u = (2.0 * j + 1.0) / w - 1.0, v = (2.0 * i + 1.0) / h - 1.0;
        smooth[(size_t(i) * w + j) * 2] = float(cs * u - sn * v + 0.01);
        smooth[(size_t(i) * w + j) * 2 + 1] = float(sn * u + cs * v - 0.02);
      }
    }
    copyFrom.assign(bytes() / 2, 1);
    copyTo.assign(bytes() / 2, 0);
    std::fill(y.begin(), y.end(), 0.0f);
  }
  // Read X and the grid, write Y.
  size_t bytes() const { return sizeof(float) * (x.size() + smooth.size() + y.size()); }
};

struct SamplingShape {
  int C, H, W;
  const char* name;
};
constexpr SamplingShape kSamplingShapes[] = {{3, 512, 512, "3x512x512"}, {12, 512, 512, "12x512x512"},
                                             {3, 1080, 1920, "3x1080x1920"}};

SamplingImage& samplingImage(const SamplingShape& s) {
  static std::map<std::string, std::unique_ptr<SamplingImage>> images;
  auto& image = images[s.name];
  if (!image) image = std::make_unique<SamplingImage>(s.C, s.H, s.W);
  return *image;
}

// The conv engine's warp of a 512 crop: a smooth 64 x 64 grid (a gentle zoom and shift, partly
// outside the image) resized per row and sampled from three planes, every row of the frame.
struct ConvWarpFrame {
  static constexpr int kSide = 512;
  std::vector<float> grid, planes, occ, out, occOut, colDa, colDb;
  std::vector<int> colA, colB;
  ConvWarpFrame()
      : grid(64 * 64 * 2), planes(3 * size_t(kSide) * kSide), occ(64 * 64), out(planes.size()),
        occOut(size_t(kSide) * kSide), colDa(kSide), colDb(kSide), colA(kSide), colB(kSide) {
    std::mt19937 rng(7);
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        grid[size_t(y * 64 + x) * 2] = 1.05f * ((float(x) + 0.5f) / 32.0f - 1.0f) + 0.01f * std::sin(float(y));
        grid[size_t(y * 64 + x) * 2 + 1] = 1.05f * ((float(y) + 0.5f) / 32.0f - 1.0f) + 0.01f * std::cos(float(x));
      }
    for (float& v : planes) v = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
    for (float& v : occ) v = std::uniform_real_distribution<float>(0.5f, 1.0f)(rng);
    for (int x = 0; x < kSide; ++x) {
      const float sx = std::min(std::max((float(x) + 0.5f) / 8.0f - 0.5f, 0.0f), 63.0f);
      colA[size_t(x)] = int(sx), colB[size_t(x)] = std::min(colA[size_t(x)] + 1, 63);
      colDa[size_t(x)] = colA[size_t(x)] == colB[size_t(x)] ? 0.5f : sx - float(colA[size_t(x)]);
      colDb[size_t(x)] = colA[size_t(x)] == colB[size_t(x)] ? 0.5f : float(colB[size_t(x)]) - sx;
    }
  }
};

template <class T>
T& fixture() {
  static T instance;
  return instance;
}

// ---- Benchmarks ---------------------------------------------------------------------------

template <class Fn>
void BM_F16ToF32(benchmark::State& state, Fn fn) {
  auto& f = fixture<Conversions>();
  std::vector<float> out(f.kCount);
  for (auto _ : state) {
    fn(f.halves.data(), out.data(), f.kCount);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.kCount));
}

template <class Fn>
void BM_F32ToF16(benchmark::State& state, Fn fn) {
  auto& f = fixture<Conversions>();
  std::vector<uint16_t> out(f.kCount);
  for (auto _ : state) {
    fn(f.floats.data(), out.data(), f.kCount);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.kCount));
}

template <class Fn>
void BM_Rgb8ToPlanarF16(benchmark::State& state, Fn fn) {
  auto& f = fixture<Conversions>();
  const size_t pixels = f.kCount / 3;
  std::vector<uint16_t> planes(f.kCount);
  for (auto _ : state) {
    fn(f.rgb.data(), planes.data(), pixels, pixels);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(pixels));
}

template <class Fn>
void BM_PlanarF32ToRgb8(benchmark::State& state, Fn fn) {
  auto& f = fixture<Conversions>();
  const size_t pixels = f.kCount / 3;
  std::vector<uint8_t> rgb(f.kCount);
  for (auto _ : state) {
    fn(f.floats.data(), pixels, rgb.data(), pixels);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(pixels));
}

template <class Fn>
void BM_YuvRow(benchmark::State& state, Fn fn) {
  auto& f = fixture<YuvFrame>();
  const int row = 540;
  const size_t chroma = size_t(row / 2) * (f.kWidth / 2);
  for (auto _ : state) {
    fn(&f.y[size_t(row) * f.kWidth], &f.u[chroma], &f.v[chroma], f.kWidth, 1, &f.rgb[size_t(row) * 3 * f.kWidth]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * f.kWidth);
}

template <class Fn>
void BM_YuvFrame(benchmark::State& state, Fn fn) {
  auto& f = fixture<YuvFrame>();
  for (auto _ : state) {
    for (int row = 0; row < f.kHeight; ++row) {
      const size_t chroma = size_t(row / 2) * (f.kWidth / 2);
      fn(&f.y[size_t(row) * f.kWidth], &f.u[chroma], &f.v[chroma], f.kWidth, 1,
         &f.rgb[size_t(row) * 3 * f.kWidth]);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * f.kWidth * f.kHeight);
}

template <class Fn>
void BM_PasteRow(benchmark::State& state, Fn fn) {
  auto& f = fixture<PasteRow>();
  std::vector<uint8_t> row = f.frame;
  for (auto _ : state) {
    fn(f.crop.data(), f.kSide, f.mask.data(), f.lanczos.data(), f.bilin.data(), f.mapX.data(), f.mapY.data(), f.offX,
       f.offY, f.kX0, f.kX1, row.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * (f.kX1 - f.kX0 + 1));
}

template <class Fn>
void BM_RetrievePooled(benchmark::State& state, Fn fn) {
  auto& f = fixture<RetrievalWindow>();
  for (auto _ : state) benchmark::DoNotOptimize(fn(f.a.data(), f.b.data(), f.wHalf.data(), f.kN));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.kN));
}

template <class Fn>
void BM_RetrieveExact(benchmark::State& state, Fn fn) {
  auto& f = fixture<RetrievalWindow>();
  for (auto _ : state) benchmark::DoNotOptimize(fn(f.a.data(), f.b.data(), f.w.data(), f.kN));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.kN));
}

template <class Fn>
void BM_Conv3x3(benchmark::State& state, Fn fn) {
  auto& f = fixture<ConvLayer>();
  for (auto _ : state) {
    fn(f.in.data(), 1, f.kC, f.kH, f.kW, f.weights.data(), f.bias.data(), f.kC, f.out.data(), 0, f.kC);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * f.kC * f.kH * f.kW);
}

template <class Fn>
void BM_ConvWarp(benchmark::State& state, Fn fn) {
  auto& f = fixture<ConvWarpFrame>();
  constexpr int side = ConvWarpFrame::kSide;
  for (auto _ : state) {
    for (int y = 0; y < side; ++y) {
      const float sy = std::min(std::max((float(y) + 0.5f) / 8.0f - 0.5f, 0.0f), 63.0f);
      const int ya = int(sy), yb = std::min(ya + 1, 63);
      qo::simd::ConvWarpRowArgs a;
      a.gridA = f.grid.data() + size_t(ya) * 128, a.gridB = f.grid.data() + size_t(yb) * 128;
      a.dya = ya == yb ? 0.5f : sy - float(ya), a.dyb = ya == yb ? 0.5f : float(yb) - sy;
      a.colA = f.colA.data(), a.colB = f.colB.data(), a.colDa = f.colDa.data(), a.colDb = f.colDb.data();
      a.planes = f.planes.data(), a.occRow = f.occ.data() + size_t(y / 8) * 64, a.side = side;
      a.out = f.out.data() + size_t(y) * side, a.occOut = f.occOut.data() + size_t(y) * side;
      fn(a);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * side * side);
}

using GridSampleFn = void (*)(const float*, const float*, float*, int, int, int, int, int, int, int);
using WarpFn = void (*)(const float*, const float*, float*, int, int, int, int, int, int);

void BM_GridSample(benchmark::State& state, SamplingShape shape, bool smooth, GridSampleFn fn) {
  SamplingImage& f = samplingImage(shape);
  const float* grid = smooth ? f.smooth.data() : f.random.data();
  for (auto _ : state) {
    fn(f.x.data(), grid, f.y.data(), f.C, f.H, f.W, f.H, f.W, 0, f.H);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * f.H * f.W);
}

void BM_Warp(benchmark::State& state, SamplingShape shape, bool smooth, WarpFn fn) {
  SamplingImage& f = samplingImage(shape);
  const float* grid = smooth ? f.smooth.data() : f.random.data();
  for (auto _ : state) {
    fn(f.x.data(), grid, f.y.data(), f.H, f.W, f.H, f.W, 0, f.H);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * f.H * f.W);
}

// The copy bandwidth of this run: memcpy of half a kernel's traffic, so that the bytes read plus
// the bytes written equal the kernel's.
void BM_Copy(benchmark::State& state, SamplingShape shape) {
  SamplingImage& f = samplingImage(shape);
  for (auto _ : state) {
    std::memcpy(f.copyTo.data(), f.copyFrom.data(), f.copyFrom.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes()));
}

void registerSampling() {
  for (const SamplingShape& shape : kSamplingShapes) {
    const std::string size = shape.name;
    benchmark::RegisterBenchmark(("memcpy/" + size).c_str(), BM_Copy, shape)->Unit(benchmark::kMicrosecond);
    for (bool smooth : {true, false}) {
      const std::string base = size + (smooth ? "/smooth" : "/random");
      const std::pair<const char*, GridSampleFn> gs[] = {{"simd", qo::simd::gridSampleRows},
                                                         {"plain_scalar", plain::scalar::gridSampleRows},
                                                         {"plain_native", plain::native::gridSampleRows}};
      for (const auto& [impl, fn] : gs) {
        benchmark::RegisterBenchmark(("gridSampleRows/" + base + "/" + impl).c_str(), BM_GridSample, shape, smooth, fn)
            ->Unit(benchmark::kMicrosecond);
      }
      if (shape.C != 3) continue;  // the warp is defined on 3 channels
      const std::pair<const char*, WarpFn> warp[] = {{"simd", qo::simd::warpDirectorRows},
                                                     {"plain_scalar", plain::scalar::warpDirectorRows},
                                                     {"plain_native", plain::native::warpDirectorRows}};
      for (const auto& [impl, fn] : warp) {
        benchmark::RegisterBenchmark(("warpDirectorRows/" + base + "/" + impl).c_str(), BM_Warp, shape, smooth, fn)
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
}

#define QO_BENCH_SET(BM, kernel, size)                                                              \
  BENCHMARK_CAPTURE(BM, simd, qo::simd::kernel)->Name(#kernel "/" size "/simd")->Unit(benchmark::kMicrosecond); \
  BENCHMARK_CAPTURE(BM, scalar, plain::scalar::kernel)                                                \
      ->Name(#kernel "/" size "/plain_scalar")                                                       \
      ->Unit(benchmark::kMicrosecond);                                                               \
  BENCHMARK_CAPTURE(BM, native, plain::native::kernel)                                                \
      ->Name(#kernel "/" size "/plain_native")                                                       \
      ->Unit(benchmark::kMicrosecond)

QO_BENCH_SET(BM_F16ToF32, f16ToF32, "786432");
QO_BENCH_SET(BM_F32ToF16, f32ToF16, "786432");
QO_BENCH_SET(BM_Rgb8ToPlanarF16, rgb8ToPlanarF16, "512x512");
QO_BENCH_SET(BM_PlanarF32ToRgb8, planarF32ToRgb8, "512x512");
QO_BENCH_SET(BM_YuvRow, yuv420RowToRgb24, "row1920");
QO_BENCH_SET(BM_YuvFrame, yuv420RowToRgb24, "frame1920x1080");
QO_BENCH_SET(BM_PasteRow, pasteLanczos8Row, "crop512_row520");
QO_BENCH_SET(BM_RetrievePooled, retrieveTermPooled, "64x80");
QO_BENCH_SET(BM_RetrieveExact, retrieveTermExact, "64x80");
QO_BENCH_SET(BM_Conv3x3, conv3x3Range, "256x256x16to16");
QO_BENCH_SET(BM_ConvWarp, convWarpRow, "512x512");
BENCHMARK_CAPTURE(BM_Conv3x3, rowwise, plain::native::conv3x3RangeRowwise)
    ->Name("conv3x3Range/256x256x16to16/plain_native_rowwise")
    ->Unit(benchmark::kMicrosecond);

// ---- Ratio table --------------------------------------------------------------------------

// Console output as usual, plus each run's time per iteration for the table.
// With --benchmark_repetitions the table takes each benchmark's fastest repetition, the one
// least disturbed by whatever else shares the machine, by CPU time (this thread's own).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.run_name.str();
      const double t = run.GetAdjustedCPUTime();
      const auto it = times_.find(name);
      if (it == times_.end() || t < it->second) times_[name] = t;
    }
  }

  void printRatios() const {
    std::printf("\nqo::simd on %s: speed-up over plain C++ (time of plain / time of simd)\n", qo::simd::target());
    std::printf("%-44s %12s %14s %14s %14s\n", "kernel/size", "simd", "vs scalar", "vs native", "vs rowwise");
    for (const auto& entry : times_) {
      const std::string& name = entry.first;
      const double simd = entry.second;
      const std::string suffix = "/simd";
      if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      const std::string base = name.substr(0, name.size() - suffix.size());
      const auto ratio = [&](const char* impl) {
        const auto it = times_.find(base + "/" + impl);
        return it == times_.end() ? std::string("-") : std::to_string(it->second / simd).substr(0, 6) + "x";
      };
      std::printf("%-44s %9.1f us %14s %14s %14s\n", base.c_str(), simd, ratio("plain_scalar").c_str(),
                  ratio("plain_native").c_str(), ratio("plain_native_rowwise").c_str());
    }
  }

  // Per output pixel, with the bound a memcpy of the same traffic sets (1 thread).
  void printSampling() const {
    std::printf("\nSampling kernels, 1 thread: ns per output pixel (ms per image); bound = memcpy of the bytes read "
                "and written\n");
    std::printf("%-34s %18s %18s %7s %18s %7s %9s %8s %9s\n", "kernel/shape/grid", "simd", "plain_scalar", "ratio",
                "plain_native", "ratio", "bound ms", "GB/s", "x bound");
    for (const char* kernel : {"gridSampleRows", "warpDirectorRows"}) {
      for (const SamplingShape& shape : kSamplingShapes) {
        for (const char* grid : {"smooth", "random"}) {
          const std::string base = std::string(kernel) + "/" + shape.name + "/" + grid;
          const auto time = [&](const std::string& name) {
            const auto it = times_.find(name);
            return it == times_.end() ? -1.0 : it->second;
          };
          const double simd = time(base + "/simd"), scalar = time(base + "/plain_scalar");
          const double native = time(base + "/plain_native"), bound = time(std::string("memcpy/") + shape.name);
          if (simd < 0) continue;
          const double pixels = double(shape.H) * shape.W;
          const double bytes = 4.0 * (2.0 * shape.C + 2.0) * pixels;
          const auto cell = [&](double us) {
            char text[32];
            if (us < 0) return std::string("-");
            std::snprintf(text, sizeof text, "%.2f (%.3f)", 1e3 * us / pixels, us / 1e3);
            return std::string(text);
          };
          const auto ratio = [&](double us) {
            return us < 0 ? std::string("-") : std::to_string(us / simd).substr(0, 5) + "x";
          };
          if (bound < 0) {
            std::printf("%-34s %18s %18s %7s %18s %7s %9s %8s %9s\n", base.c_str(), cell(simd).c_str(),
                        cell(scalar).c_str(), ratio(scalar).c_str(), cell(native).c_str(), ratio(native).c_str(), "-",
                        "-", "-");
            continue;
          }
          std::printf("%-34s %18s %18s %7s %18s %7s %9.3f %8.1f %8.2fx\n", base.c_str(), cell(simd).c_str(),
                      cell(scalar).c_str(), ratio(scalar).c_str(), cell(native).c_str(), ratio(native).c_str(),
                      bound / 1e3, bytes / (bound * 1e3), simd / bound);
        }
      }
    }
  }

 private:
  std::map<std::string, double> times_;  // microseconds per iteration
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerSampling();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  reporter.printSampling();
  benchmark::Shutdown();
  return 0;
}
