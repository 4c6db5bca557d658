// The native fp16 conv engine: weights from the graph file, the network of qo_conv.h, and the
// engine's own workers. Every layer runs as one parallel phase over row bands of all frames, so
// that a single frame still keeps every thread busy.
#include "render/qo_conv.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <time.h>

#include "compute/qo_convf16.h"
#include "hwy/aligned_allocator.h"
#include "hwy/targets.h"
#include "qo/qo_pool.h"
#include "qo/qo_simd.h"
#include "render/qo_conv_init.h"

namespace qo {
namespace {

constexpr int kCrop = 512, kHalf = 256, kTileH = 256, kTileW = 208, kTiles = 6, kRows = 21;
constexpr int kTileX[3] = {0, 152, 304};
constexpr size_t kBasisCols = 196608;  // 3 x 256 x 256
constexpr int kBasisJobs = 48, kCoefs = 64;
constexpr size_t kPlane512 = size_t(kCrop) * kCrop, kPlane256 = size_t(kHalf) * kHalf;

using Dims = std::vector<int64_t>;

struct Fixed {
  const char* name;
  Dims dims;
};

const std::vector<Fixed>& fixedSet() {
  static const std::vector<Fixed> f = {
      {"s.e0.conv.weight", {96, 96, 3, 3}},    {"s.e0.conv.bias", {96}},
      {"s.e1.conv.weight", {144, 96, 3, 3}},   {"s.e1.conv.bias", {144}},
      {"s.e2.conv.weight", {192, 144, 3, 3}},  {"s.e2.conv.bias", {192}},
      {"s.d1.conv.weight", {144, 336, 3, 3}},  {"s.d1.conv.bias", {144}},
      {"s.d0.conv.weight", {96, 240, 3, 3}},   {"s.d0.conv.bias", {96}},
      {"s.ref.conv.weight", {48, 96, 3, 3}},   {"s.ref.conv.bias", {48}},
      {"s.mask.weight", {22, 48, 3, 3}},       {"s.mask.bias", {22}},
      {"s.occ.weight", {1, 48, 3, 3}},         {"s.occ.bias", {1}},
      {"s.corr.0.conv.weight", {24, 7, 3, 3}}, {"s.corr.0.conv.bias", {24}},
      {"s.corr.1.conv.weight", {24, 24, 3, 3}}, {"s.corr.1.conv.bias", {24}},
      {"s.corr.2.weight", {12, 24, 3, 3}},     {"s.corr.2.bias", {12}},
      {"s.tile.0.conv.weight", {32, 7, 3, 3}}, {"s.tile.0.conv.bias", {32}},
      {"s.tile.1.conv.weight", {32, 32, 3, 3}}, {"s.tile.1.conv.bias", {32}},
      {"s.tile.2.conv.weight", {32, 32, 3, 3}}, {"s.tile.2.conv.bias", {32}},
      {"s.tile.3.weight", {3, 32, 3, 3}},      {"s.tile.3.bias", {3}},
      {"s.grid64", {64, 64, 2}},               {"s.feather", {1, 1, 256, 208}},
      {"s.wmlp.0.weight", {128, 255}},         {"s.wmlp.0.bias", {128}},
      {"s.wmlp.2.weight", {64, 128}},          {"s.wmlp.2.bias", {64}},
  };
  return f;
}

std::string shapeText(const Dims& d) {
  std::string s = "(";
  for (size_t i = 0; i < d.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(d[i]);
  }
  s += ')';
  return s;
}

// Names of the initializers found by shape.
struct Drifting {
  std::string preWeight, preBias, grid32, basis;
};

// "" when every initializer resolves; otherwise the reason.
std::string resolve(const std::vector<OnnxInitializer>& inits, Drifting& out) {
  const auto byName = [&](const std::string& n) -> const OnnxInitializer* {
    for (const OnnxInitializer& t : inits)
      if (t.name == n) return &t;
    return nullptr;
  };
  const auto unique = [&](const Dims& d) -> const OnnxInitializer* {
    const OnnxInitializer* hit = nullptr;
    for (const OnnxInitializer& t : inits) {
      if (t.dims != d) continue;
      if (hit) return nullptr;
      hit = &t;
    }
    return hit;
  };
  for (const Fixed& f : fixedSet()) {
    const OnnxInitializer* t = byName(f.name);
    if (!t || t->dims != f.dims) return std::string(f.name) + " absent or not " + shapeText(f.dims);
  }
  const OnnxInitializer* pw = unique({96, 85, 1, 1});
  if (!pw) return "pre weight (96,85,1,1) absent or ambiguous";
  size_t digits = 0;
  while (digits < pw->name.size() && std::isdigit(uint8_t(pw->name[pw->name.size() - 1 - digits]))) ++digits;
  if (digits == 0 || digits > 18) return "pre weight name carries no SSA counter";
  const std::string stem = pw->name.substr(0, pw->name.size() - digits);
  std::string counter = std::to_string(std::stoll(pw->name.substr(stem.size())) + 1);
  if (counter.size() < digits) counter.insert(0, digits - counter.size(), '0');
  const std::string biasName = stem + counter;
  const OnnxInitializer* pb = byName(biasName);
  if (!pb || pb->dims != Dims{96}) return "pre bias " + biasName + " absent or not (96)";
  const OnnxInitializer* g32 = unique({1, 1, 32, 32, 2});
  if (!g32) return "grid32 (1,1,32,32,2) absent or ambiguous";
  const OnnxInitializer* basis = unique({64, int64_t(kBasisCols)});
  if (!basis) return "basis (64,196608) absent or ambiguous";
  out = {pw->name, biasName, g32->name, basis->name};
  return "";
}

bool readFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    error = "qo_conv: cannot open " + path;
    return false;
  }
  const std::streamsize size = in.tellg();
  bytes.assign(size > 0 ? size_t(size) : 0, 0);
  in.seekg(0);
  if (size < 0 || !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
    error = "qo_conv: short read " + path;
    return false;
  }
  return true;
}

template <class T>
struct Buf {
  hwy::AlignedFreeUniquePtr<T[]> p;
  size_t n = 0;
  void alloc(size_t count) {
    p = hwy::AllocateAligned<T>(count);
    if (!p) throw std::bad_alloc();
    n = count;
    std::memset(p.get(), 0, count * sizeof(T));
  }
  T* get() const { return p.get(); }
};

// A channel-last fp16 map with a one-pixel zero border.
struct Map {
  Buf<uint16_t> b;
  int h = 0, w = 0, c = 0;
  void alloc(int height, int width, int channels) {
    h = height, w = width, c = channels;
    b.alloc(size_t(h + 2) * size_t(w + 2) * size_t(c));
  }
  uint16_t* at(int y, int x) const { return b.get() + (size_t(y + 1) * size_t(w + 2) + size_t(x + 1)) * size_t(c); }
};

struct Layer {
  std::string name;
  int taps = 9, cin = 0, cout = 0, cinStored = 0, coutStored = 0;
  bool relu = true;
  std::vector<uint16_t> w16, b16;  // fp16 weights [taps][cinStored][coutStored] and bias
  Buf<float> w, b;                 // the same values widened
  Buf<float> u;                    // 3x3 only: the widened weights in Winograd form
  bool winogradFits(int width, int y0, int y1) const { return taps == 9 && width % 4 == 0 && (y1 - y0) % 4 == 0; }
  // Twice the multiply-adds that rows() runs for the band.
  double flops(int width, int y0, int y1) const {
    const double px = double(width) * (y1 - y0), ch = double(cinStored) * coutStored;
    return 2 * ch * (winogradFits(width, y0, y1) ? px / 16 * 36 : px * taps);
  }
  // Output rows [y0, y1) of a map `width` wide: Winograd where the band and width allow it.
  void rows(const uint16_t* in, uint16_t* out, int width, int y0, int y1, float* stage) const {
    if (winogradFits(width, y0, y1))
      simd::winogradRows({taps, cinStored, coutStored, u.get(), b.get(), relu}, {in, out, width}, y0, y1, stage);
    else
      simd::convF16Rows({taps, cinStored, coutStored, w.get(), b.get(), relu}, {in, out, width}, y0, y1, stage);
  }
};

int roundUp8(int v) { return (v + 7) / 8 * 8; }

// Packs ONNX [cout][cin][k][k] weights (several tensors stacked along cout) to fp16.
void pack(Layer& L, const std::string& name, int taps, int cin, int cout, bool relu, const std::vector<float>& w,
          const std::vector<float>& b) {
  const size_t needW = size_t(cout) * cin * taps, needB = size_t(cout);
  if (w.size() != needW || b.size() != needB)
    throw std::runtime_error("qo_conv: layer " + name + " needs " + std::to_string(needW) + " weights / " +
                             std::to_string(needB) + " bias but the graph supplies " + std::to_string(w.size()) +
                             " / " + std::to_string(b.size()) +
                             " \xE2\x80\x94 refusing to pack (graph is not the m4b this kernel implements)");
  L.name = name;
  L.taps = taps, L.cin = cin, L.cout = cout, L.relu = relu;
  L.cinStored = roundUp8(cin), L.coutStored = roundUp8(cout);
  L.w16.assign(size_t(taps) * L.cinStored * L.coutStored, 0);
  L.b16.assign(size_t(L.coutStored), 0);
  for (int co = 0; co < cout; ++co) {
    L.b16[size_t(co)] = f32ToF16(b[size_t(co)]);
    for (int ci = 0; ci < cin; ++ci)
      for (int t = 0; t < taps; ++t)
        L.w16[(size_t(t) * L.cinStored + ci) * L.coutStored + co] = f32ToF16(w[(size_t(co) * cin + ci) * taps + t]);
  }
  L.w.alloc(L.w16.size());
  L.b.alloc(L.b16.size());
  for (size_t i = 0; i < L.w16.size(); ++i) L.w.get()[i] = halfToFloat(L.w16[i]);
  for (size_t i = 0; i < L.b16.size(); ++i) L.b.get()[i] = halfToFloat(L.b16[i]);
  if (taps == 9) {
    L.u.alloc(simd::winogradWeightFloats(L.cinStored, L.coutStored));
    simd::winogradWeights(L.w.get(), L.cinStored, L.coutStored, L.u.get());
  }
}

// Everything one frame's render writes.
struct Frame {
  Map x85, pre, e0, p0, e1, p1, e2, c1, d1, c0, d0, u0, ref, mo;
  Map x7, k0, k1, k2;
  Map tin[kTiles], ta[kTiles], tb[kTiles], tout[kTiles];
  Buf<float> grid, occ64, coef, pf, occ512, warped, basisimg, refined;
};

}  // namespace

struct ConvBackend::Impl {
  int threads = 1, batchSize = 1;
  Layer pre, e0, e1, e2, d1, d0, ref, maskocc, corr0, corr1, corr2, tile0, tile1, tile2, tile3;
  std::vector<float> grid64, feather, wmlp0w, wmlp0b, wmlp2w, wmlp2b, grid32;
  std::vector<float> basis;  // in blocks of 8 columns, as basisColumns reads it
  std::string dumpDir;
  std::vector<std::unique_ptr<Frame>> frames;
  std::vector<Frame*> framePtrs;
  std::vector<Buf<float>> stage;  // per participant (0 = the calling thread)
  std::vector<float> coef16;      // frames rounded up to 4 x 64 coefficients, fp16 values

  // Phase protocol: the caller publishes (job function, count) under mu and wakes the workers;
  // everyone claims indices from `ticket`, which carries the phase number beside the next index, so
  // that a worker waking after its phase ended claims nothing. The caller waits for the jobs, not
  // for the workers: a phase the caller finishes alone does not wait for a thread to be scheduled.
  std::mutex mu;
  std::condition_variable wake, done;
  // The published job: a type-erased reference to the phase's callable (no allocation per phase).
  struct Job {
    void (*call)(const void*, int, int) = nullptr;
    const void* ctx = nullptr;
    void operator()(int j, int who) const { call(ctx, j, who); }
  } job;
  int jobs = 0;
  uint32_t phase = 0;
  bool stop = false;
  std::atomic<uint64_t> ticket{0};  // phase << 32 | next index
  std::atomic<int> finished{0};     // jobs of the current phase done
  std::string error;  // first failure of a phase
  std::vector<std::thread> workers;

  bool profiling = false;
  std::vector<ConvBackend::LayerProfile> profiled;
  ConvBackend::LayerProfile& entry(const std::string& name, int taps) {
    auto it = std::find_if(profiled.begin(), profiled.end(), [&](const auto& p) { return p.name == name; });
    if (it != profiled.end()) return *it;
    profiled.push_back({name, taps, taps == 9, 0, 0, 0, 0});
    return profiled.back();
  }
  // parallel(count, f), timed into `e` when profiling.
  template <class Fn, class Entry>
  void timed(int count, const Fn& f, const Entry& e) {
    if (!profiling) return parallel(count, f);
    const auto cpuNow = [] {
      timespec t;
      clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
      return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
    };
    const double c0 = cpuNow();
    const auto t0 = std::chrono::steady_clock::now();
    parallel(count, f);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuNow() - c0;
    ConvBackend::LayerProfile& p = e();
    p.wallSeconds += wall, p.cpuSeconds += cpu, ++p.calls;
  }
  // One of the rest of the frame's phases (no convolution), by name.
  template <class Fn>
  void phaseNamed(const char* name, int count, const Fn& f) {
    timed(count, f, [&]() -> ConvBackend::LayerProfile& { return entry(name, 0); });
  }
  // One layer's phase; `band` gives each job's (width, y0, y1).
  template <class Fn, class Band>
  void layerPhase(const Layer& L, int count, const Band& band, const Fn& f) {
    timed(count, f, [&]() -> ConvBackend::LayerProfile& {
      ConvBackend::LayerProfile& p = entry(L.name, L.taps);
      for (int j = 0; j < count; ++j) {
        int w, y0, y1;
        band(j, w, y0, y1);
        p.executedFlops += L.flops(w, y0, y1);
        p.winograd = p.winograd && L.winogradFits(w, y0, y1);
      }
      return p;
    });
  }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stop = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
  }

  void take(const Job& fn, int count, int who, uint32_t ph) {
    for (uint64_t t = ticket.load(std::memory_order_acquire);;) {
      if (uint32_t(t >> 32) != ph || int(uint32_t(t)) >= count) return;
      if (!ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel, std::memory_order_acquire)) continue;
      try {
        fn(int(uint32_t(t)), who);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mu);
        if (error.empty()) error = e.what();
      }
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
        std::lock_guard<std::mutex> lock(mu);  // the caller tests `finished` under mu: no lost wake-up
        done.notify_one();
      }
      t = ticket.load(std::memory_order_acquire);
    }
  }

  void workerLoop(int who) {
    uint32_t seen = 0;
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      wake.wait(lock, [&] { return stop || phase != seen; });
      if (stop) return;
      seen = phase;
      const Job fn = job;
      const int count = jobs;
      lock.unlock();
      take(fn, count, who, seen);
      lock.lock();
    }
  }

  template <class Fn>
  void parallel(int count, const Fn& f) {
    if (count <= 0) return;
    const Job fn{[](const void* c, int j, int who) { (*static_cast<const Fn*>(c))(j, who); }, &f};
    uint32_t ph;
    {
      std::lock_guard<std::mutex> lock(mu);
      job = fn;
      jobs = count;
      ph = ++phase;
      if (ph == 0) ph = ++phase;  // 0 is what a new worker has seen
      finished.store(0, std::memory_order_relaxed);
      ticket.store(uint64_t(ph) << 32, std::memory_order_release);
    }
    if (!workers.empty()) wake.notify_all();
    take(fn, count, 0, ph);
    std::unique_lock<std::mutex> lock(mu);
    done.wait(lock, [&] { return finished.load(std::memory_order_acquire) == count; });
    if (!error.empty()) {
      const std::string e = std::move(error);
      error.clear();
      throw std::runtime_error(e);
    }
  }

  // One convolution over n frames, in row bands.
  void conv(const Layer& L, Map Frame::*in, Map Frame::*out, int n) {
    const Map& m0 = (*frames[0]).*out;
    // Bands of a multiple of 4 rows, so that every band takes the Winograd path. Maps under 64
    // rows go as one band per thread (at most two): there each band streams the whole weight set.
    const int split = threads > 1 ? 2 : 1;
    const int rows = m0.h >= 64 ? ((m0.h + 15) / 16 + 3) / 4 * 4 : std::max(4, m0.h / split / 4 * 4);
    const int bands = (m0.h + rows - 1) / rows;
    const auto band = [&](int j, int& w, int& y0, int& y1) {
      w = m0.w, y0 = (j % bands) * rows, y1 = std::min(m0.h, y0 + rows);
    };
    layerPhase(L, n * bands, band, [&](int j, int who) {
      Frame& f = *frames[size_t(j / bands)];
      const int y0 = (j % bands) * rows, y1 = std::min(m0.h, y0 + rows);
      L.rows(((f).*in).b.get(), ((f).*out).b.get(), m0.w, y0, y1, stage[size_t(who)].get());
    });
  }

  // The tile layers: n frames x 6 windows x 8 bands of 32 rows.
  void tileConv(const Layer& L, Map (Frame::*in)[kTiles], Map (Frame::*out)[kTiles], int n) {
    constexpr int bands = 8, rows = kTileH / bands;
    const auto band = [&](int j, int& w, int& y0, int& y1) { w = kTileW, y0 = (j % bands) * rows, y1 = y0 + rows; };
    layerPhase(L, n * kTiles * bands, band, [&](int j, int who) {
      Frame& f = *frames[size_t(j / (kTiles * bands))];
      const int t = (j / bands) % kTiles, y0 = (j % bands) * rows;
      L.rows(((f).*in)[t].b.get(), ((f).*out)[t].b.get(), kTileW, y0, y0 + rows, stage[size_t(who)].get());
    });
  }

  // The warp grid and occlusion of grid rows [y0, y1), and the keypoint MLP: separate jobs, so
  // that one frame's heads spread over the workers.
  void perFrameGrid(Frame& f, const float* ks, const float* kd, int y0, int y1);
  void perFrameMlp(Frame& f, const float* ks, const float* kd);
  // `scratch` is the participant's stage (at least 2 x 512 x 8 floats).
  void warpBand(Frame& f, int y0, int y1, float* scratch);
  void refineBand(Frame& f, int y0, int y1, float* scratch);
  void blendBand(const Frame& f, float* out, int y0, int y1) const;
  void dump(int n, const float* out) const;
};

namespace {

// 2x2 max pool of a map into the next (both fp16; the maximum needs no rounding).
void maxPool(const Map& in, Map& out) {
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x) {
      uint16_t* o = out.at(y, x);
      const uint16_t* a[4] = {in.at(2 * y, 2 * x), in.at(2 * y, 2 * x + 1), in.at(2 * y + 1, 2 * x),
                              in.at(2 * y + 1, 2 * x + 1)};
      for (int c = 0; c < out.c; ++c) {
        float m = halfToFloat(a[0][c]);
        uint16_t best = a[0][c];
        for (int k = 1; k < 4; ++k)
          if (halfToFloat(a[k][c]) > m) m = halfToFloat(a[k][c]), best = a[k][c];
        o[c] = best;
      }
    }
}

// Nearest 2x upsample of `in` into channels [at, at + in.c) of `out`.
void up2Into(const Map& in, Map& out, int at) {
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x) std::memcpy(out.at(y, x) + at, in.at(y / 2, x / 2), size_t(in.c) * 2);
}

void copyInto(const Map& in, Map& out, int at) {
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x) std::memcpy(out.at(y, x) + at, in.at(y, x), size_t(in.c) * 2);
}

float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

}  // namespace

void ConvBackend::Impl::perFrameGrid(Frame& f, const float* ks, const float* kd, int y0, int y1) {
  // Warp grid: softmax over the 22 mask channels, 21 keypoint displacements, the fixed grids.
  float disp[kRows][2];
  for (int k = 0; k < kRows; ++k) {
    disp[k][0] = ks[k * 3] - kd[k * 3];
    disp[k][1] = ks[k * 3 + 1] - kd[k * 3 + 1];
  }
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < 64; ++x) {
      const uint16_t* m = f.mo.at(y, x);
      float v[22], mx = halfToFloat(m[0]);
      for (int c = 0; c < 22; ++c) mx = std::max(mx, v[c] = halfToFloat(m[c]));
      float sum = 0.0f;
      for (int c = 0; c < 22; ++c) sum += v[c] = std::exp(v[c] - mx);
      float gx = 0.0f, gy = 0.0f;
      for (int k = 0; k < kRows; ++k) {
        const float p = v[k] / sum;
        gx += p * disp[k][0];
        gy += p * disp[k][1];
      }
      const size_t i = size_t(y) * 64 + x, j = (size_t(y / 2) * 32 + size_t(x / 2)) * 2;
      f.grid.get()[2 * i] = (gx + grid64[2 * i]) + grid32[j];
      f.grid.get()[2 * i + 1] = (gy + grid64[2 * i + 1]) + grid32[j + 1];
      f.occ64.get()[i] = sigmoid(halfToFloat(m[22]));
    }
}

void ConvBackend::Impl::perFrameMlp(Frame& f, const float* ks, const float* kd) {
  // Keypoint MLP over the pooled bottleneck and the keypoint motion.
  float in[255], h[128];
  for (int c = 0; c < 192; ++c) {
    float s = 0.0f;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) s += halfToFloat(f.e2.at(y, x)[c]);
    in[c] = s / 64.0f;
  }
  for (int i = 0; i < 63; ++i) in[192 + i] = kd[i] - ks[i];
  for (int o = 0; o < 128; ++o) {
    float s = 0.0f;
    for (int i = 0; i < 255; ++i) s += in[i] * wmlp0w[size_t(o) * 255 + i];
    h[o] = std::max(0.0f, s + wmlp0b[size_t(o)]);
  }
  for (int o = 0; o < kCoefs; ++o) {
    float s = 0.0f;
    for (int i = 0; i < 128; ++i) s += h[i] * wmlp2w[size_t(o) * 128 + i];
    f.coef.get()[o] = s + wmlp2b[size_t(o)];
  }
}

void ConvBackend::Impl::warpBand(Frame& f, int y0, int y1, float* scratch) {
  const float* g = f.grid.get();
  const float* P = f.pf.get();
  // Linear 8x resize of the grid, half-pixel centres, clamped to the map; the column taps are the
  // same on every row.
  int colA[kCrop], colB[kCrop];
  float colDa[kCrop], colDb[kCrop];
  for (int x = 0; x < kCrop; ++x) {
    const float sx = std::min(std::max((float(x) + 0.5f) / 8.0f - 0.5f, 0.0f), 63.0f);
    colA[x] = int(sx), colB[x] = std::min(colA[x] + 1, 63);
    colDa[x] = colA[x] == colB[x] ? 0.5f : sx - float(colA[x]);
    colDb[x] = colA[x] == colB[x] ? 0.5f : float(colB[x]) - sx;
  }
  for (int y = y0; y < y1; ++y) {
    const float sy = std::min(std::max((float(y) + 0.5f) / 8.0f - 0.5f, 0.0f), 63.0f);
    const int ya = int(sy), yb = std::min(ya + 1, 63);
    simd::ConvWarpRowArgs w;
    w.gridA = g + size_t(ya) * 64 * 2, w.gridB = g + size_t(yb) * 64 * 2;
    w.dya = ya == yb ? 0.5f : sy - float(ya), w.dyb = ya == yb ? 0.5f : float(yb) - sy;
    w.colA = colA, w.colB = colB, w.colDa = colDa, w.colDb = colDb;
    w.planes = P, w.occRow = f.occ64.get() + size_t(y / 8) * 64, w.side = kCrop;
    w.out = f.warped.get() + size_t(y) * kCrop, w.occOut = f.occ512.get() + size_t(y) * kCrop;
    simd::convWarpRow(w);
  }
  // The correction path's input rows under this band, assembled in float and stored in one go.
  for (int y = y0 / 2; y < y1 / 2; ++y) {
    for (int x = 0; x < kHalf; ++x) {
      float* o = scratch + size_t(x) * 8;
      const size_t a = size_t(2 * y) * kCrop + size_t(2 * x), b = a + kCrop;
      const auto avg = [&](const float* p) { return (((p[a] + p[a + 1]) + p[b]) + p[b + 1]) / 4.0f; };
      for (int c = 0; c < 3; ++c) {
        o[c] = avg(f.warped.get() + size_t(c) * kPlane512);
        o[3 + c] = f.basisimg.get()[size_t(c) * kPlane256 + size_t(y) * kHalf + x];
      }
      o[6] = avg(f.occ512.get());
      o[7] = 0.0f;
    }
    simd::f32ToF16(scratch, f.x7.at(y, 0), size_t(kHalf) * 8);
  }
}

void ConvBackend::Impl::refineBand(Frame& f, int y0, int y1, float* scratch) {
  uint16_t* const row = reinterpret_cast<uint16_t*>(scratch);  // [512][8] fp16: refined, warped, occ512, 0
  for (int y = y0; y < y1; ++y) {
    const size_t at = size_t(y) * kCrop;
    simd::ConvRefineRowArgs a;
    a.k2 = f.k2.at(y / 2, 0), a.phase = y % 2, a.occ = f.occ512.get() + at, a.row8 = row, a.side = kCrop;
    for (int c = 0; c < 3; ++c) {
      a.warped[c] = f.warped.get() + size_t(c) * kPlane512 + at;
      a.refined[c] = f.refined.get() + size_t(c) * kPlane512 + at;
    }
    simd::convRefineRow(a);
    const int ty = y / kTileH, ly = y % kTileH;
    for (int tx = 0; tx < 3; ++tx)
      std::memcpy(f.tin[ty * 3 + tx].at(ly, 0), row + size_t(kTileX[tx]) * 8, size_t(kTileW) * 8 * sizeof(uint16_t));
  }
}

void ConvBackend::Impl::blendBand(const Frame& f, float* out, int y0, int y1) const {
  for (int y = y0; y < y1; ++y) {
    const int ty = y / kTileH, ly = y % kTileH;
    const size_t rowAt = size_t(y) * kCrop;
    const float* fe = feather.data() + size_t(ly) * kTileW;
    for (int c = 0; c < 3; ++c) {
      float* o = out + c * kPlane512 + rowAt;
      std::memcpy(o, f.refined.get() + c * kPlane512 + rowAt, kCrop * sizeof(float));
      for (int tx = 0; tx < 3; ++tx) simd::convFeatherRow(f.tout[ty * 3 + tx].at(ly, 0), c, fe, o + kTileX[tx], kTileW);
    }
  }
}

void ConvBackend::Impl::dump(int n, const float* out) const {
  const auto write = [&](const char* name, const std::vector<float>& v) {
    const std::string path = dumpDir + "/" + name + ".f32";
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) {
      std::fprintf(stderr, "[qo] QO_CONV_DUMP: cannot write %s\n", path.c_str());
      return;
    }
    std::fwrite(v.data(), sizeof(float), v.size(), fp);
    std::fclose(fp);
  };
  // fp16 maps widened, planar [C, H, W] per frame, channels [0, channels) from `from`.
  const auto maps = [&](const char* name, Map Frame::*m, int from, int channels) {
    std::vector<float> v;
    for (int j = 0; j < n; ++j) {
      const Map& mp = (*frames[size_t(j)]).*m;
      for (int c = from; c < from + channels; ++c)
        for (int y = 0; y < mp.h; ++y)
          for (int x = 0; x < mp.w; ++x) v.push_back(halfToFloat(mp.at(y, x)[c]));
    }
    write(name, v);
  };
  const auto tiles = [&](const char* name, Map (Frame::*m)[kTiles], int channels) {
    std::vector<float> v;
    for (int j = 0; j < n; ++j)
      for (int t = 0; t < kTiles; ++t) {
        const Map& mp = ((*frames[size_t(j)]).*m)[t];
        for (int c = 0; c < channels; ++c)
          for (int y = 0; y < mp.h; ++y)
            for (int x = 0; x < mp.w; ++x) v.push_back(halfToFloat(mp.at(y, x)[c]));
      }
    write(name, v);
  };
  const auto floats = [&](const char* name, Buf<float> Frame::*b, size_t count) {
    std::vector<float> v;
    for (int j = 0; j < n; ++j) {
      const float* p = ((*frames[size_t(j)]).*b).get();
      v.insert(v.end(), p, p + count);
    }
    write(name, v);
  };
  maps("pre_relu", &Frame::pre, 0, 96);
  maps("e0_relu", &Frame::e0, 0, 96);
  maps("e1_relu", &Frame::e1, 0, 144);
  maps("e2_relu", &Frame::e2, 0, 192);
  maps("d1_relu", &Frame::d1, 0, 144);
  maps("d0_relu", &Frame::d0, 0, 96);
  maps("ref_relu", &Frame::ref, 0, 48);
  maps("mask_conv", &Frame::mo, 0, 22);
  floats("occ_sig", &Frame::occ64, 4096);
  floats("grid_add", &Frame::grid, 8192);
  floats("basisimg", &Frame::basisimg, kBasisCols);
  floats("occ512", &Frame::occ512, kPlane512);
  floats("warped", &Frame::warped, 3 * kPlane512);
  maps("corr0_relu", &Frame::k0, 0, 24);
  maps("corr1_relu", &Frame::k1, 0, 24);
  maps("corr2_conv", &Frame::k2, 0, 12);
  floats("refined", &Frame::refined, 3 * kPlane512);
  tiles("tile2_relu", &Frame::ta, 32);
  tiles("tile3_conv", &Frame::tout, 3);
  write("rgb", std::vector<float>(out, out + size_t(n) * 3 * kPlane512));
}

bool ConvBackend::available() { return !hwy::SupportedAndGeneratedTargets().empty(); }

bool ConvBackend::graphSupported(const std::string& path, std::string* reason) {
  std::vector<uint8_t> bytes;
  std::string why;
  bool ok = readFile(path, bytes, why);
  if (ok) {
    try {
      Drifting d;
      why = resolve(onnxInitializers(bytes), d);
      ok = why.empty();
    } catch (const std::exception& e) {
      why = e.what();
      ok = false;
    }
  }
  if (reason) *reason = why;
  return ok;
}

ConvBackend::ConvBackend(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ConvBackend::~ConvBackend() = default;

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string& path, int threads) {
  if (!available()) throw std::runtime_error("qo_conv: fp16 NEON not supported on this CPU");
  auto m = std::make_unique<Impl>();
  m->threads = threads < 1 ? pool::threads() : threads;

  std::vector<uint8_t> bytes;
  std::string error;
  if (!readFile(path, bytes, error)) throw std::runtime_error(error);
  const std::vector<OnnxInitializer> inits = onnxInitializers(bytes);
  std::map<std::string, std::vector<float>> values;
  for (const OnnxInitializer& t : inits) values.emplace(t.name, onnxInitializerFloats(t));
  std::vector<int64_t> pooledDims;
  if (!onnxGraphInputDims(bytes, "pooled64", pooledDims) || pooledDims.empty() || pooledDims[0] < 1)
    throw std::runtime_error("qo_conv: pooled64 input not found");
  m->batchSize = int(pooledDims[0]);

  Drifting d;
  if (const std::string reason = resolve(inits, d); !reason.empty())
    throw std::runtime_error("qo_conv: this graph is not the fused m4b topology this kernel implements (" + reason +
                             ") \xE2\x80\x94 use ORT for it");
  const auto get = [&](const std::string& name) -> const std::vector<float>& {
    auto it = values.find(name);
    if (it == values.end()) throw std::runtime_error("onnx: missing initializer " + name);
    return it->second;
  };
  const auto conv = [&](Layer& L, const std::string& name, const std::string& w, const std::string& b, int cin,
                        int cout, bool relu) { pack(L, name, 9, cin, cout, relu, get(w), get(b)); };
  pack(m->pre, "pre", 1, 85, 96, true, get(d.preWeight), get(d.preBias));
  conv(m->e0, "e0", "s.e0.conv.weight", "s.e0.conv.bias", 96, 96, true);
  conv(m->e1, "e1", "s.e1.conv.weight", "s.e1.conv.bias", 96, 144, true);
  conv(m->e2, "e2", "s.e2.conv.weight", "s.e2.conv.bias", 144, 192, true);
  conv(m->d1, "d1", "s.d1.conv.weight", "s.d1.conv.bias", 336, 144, true);
  conv(m->d0, "d0", "s.d0.conv.weight", "s.d0.conv.bias", 240, 96, true);
  conv(m->ref, "ref", "s.ref.conv.weight", "s.ref.conv.bias", 96, 48, true);
  {
    std::vector<float> w = get("s.mask.weight"), b = get("s.mask.bias");
    const std::vector<float>&ow = get("s.occ.weight"), &ob = get("s.occ.bias");
    w.insert(w.end(), ow.begin(), ow.end());
    b.insert(b.end(), ob.begin(), ob.end());
    pack(m->maskocc, "maskocc", 9, 48, 23, false, w, b);
  }
  conv(m->corr0, "corr0", "s.corr.0.conv.weight", "s.corr.0.conv.bias", 7, 24, true);
  conv(m->corr1, "corr1", "s.corr.1.conv.weight", "s.corr.1.conv.bias", 24, 24, true);
  conv(m->corr2, "corr2", "s.corr.2.weight", "s.corr.2.bias", 24, 12, false);
  conv(m->tile0, "tile0", "s.tile.0.conv.weight", "s.tile.0.conv.bias", 7, 32, true);
  conv(m->tile1, "tile1", "s.tile.1.conv.weight", "s.tile.1.conv.bias", 32, 32, true);
  conv(m->tile2, "tile2", "s.tile.2.conv.weight", "s.tile.2.conv.bias", 32, 32, true);
  conv(m->tile3, "tile3", "s.tile.3.weight", "s.tile.3.bias", 32, 3, false);

  m->grid64 = get("s.grid64");
  m->feather = get("s.feather");
  m->wmlp0w = get("s.wmlp.0.weight");
  m->wmlp0b = get("s.wmlp.0.bias");
  m->wmlp2w = get("s.wmlp.2.weight");
  m->wmlp2b = get("s.wmlp.2.bias");
  m->grid32 = get(d.grid32);
  {  // [64][columns] to blocks of 8 columns, [columns / 8][64][8]
    const std::vector<float>& b = values[d.basis];
    m->basis.resize(b.size());
    for (size_t j = 0; j < size_t(kCoefs); ++j)
      for (size_t c = 0; c < kBasisCols; ++c) m->basis[(c / 8 * kCoefs + j) * 8 + c % 8] = b[j * kBasisCols + c];
  }
  values.clear();

  if (const char* dir = std::getenv("QO_CONV_DUMP"); dir && *dir) m->dumpDir = dir;

  for (int j = 0; j < m->batchSize; ++j) {
    auto f = std::make_unique<Frame>();
    f->x85.alloc(32, 32, 88), f->pre.alloc(32, 32, 96), f->e0.alloc(32, 32, 96), f->p0.alloc(16, 16, 96);
    f->e1.alloc(16, 16, 144), f->p1.alloc(8, 8, 144), f->e2.alloc(8, 8, 192), f->c1.alloc(16, 16, 336);
    f->d1.alloc(16, 16, 144), f->c0.alloc(32, 32, 240), f->d0.alloc(32, 32, 96), f->u0.alloc(64, 64, 96);
    f->ref.alloc(64, 64, 48), f->mo.alloc(64, 64, 24);
    f->x7.alloc(kHalf, kHalf, 8), f->k0.alloc(kHalf, kHalf, 24), f->k1.alloc(kHalf, kHalf, 24);
    f->k2.alloc(kHalf, kHalf, 16);
    for (int t = 0; t < kTiles; ++t) {
      f->tin[t].alloc(kTileH, kTileW, 8), f->ta[t].alloc(kTileH, kTileW, 32), f->tb[t].alloc(kTileH, kTileW, 32);
      f->tout[t].alloc(kTileH, kTileW, 8);
    }
    f->grid.alloc(8192), f->occ64.alloc(4096), f->coef.alloc(kCoefs), f->pf.alloc(3 * kPlane512);
    f->occ512.alloc(kPlane512), f->warped.alloc(3 * kPlane512), f->basisimg.alloc(kBasisCols);
    f->refined.alloc(3 * kPlane512);
    m->framePtrs.push_back(f.get());
    m->frames.push_back(std::move(f));
  }
  size_t stageFloats = 0;
  for (const Map* mp : {&m->frames[0]->x85, &m->frames[0]->pre, &m->frames[0]->e0, &m->frames[0]->p0,
                        &m->frames[0]->p1, &m->frames[0]->c1, &m->frames[0]->c0, &m->frames[0]->u0,
                        &m->frames[0]->ref, &m->frames[0]->x7, &m->frames[0]->k0, &m->frames[0]->k1,
                        &m->frames[0]->tin[0], &m->frames[0]->ta[0]})
    stageFloats = std::max({stageFloats, simd::convF16StageFloats(mp->w, mp->c),
                            simd::winogradStageFloats(mp->w, mp->c, 192), size_t(2) * kCrop * 8});
  m->stage.resize(size_t(m->threads));
  for (Buf<float>& s : m->stage) s.alloc(stageFloats);
  m->coef16.assign(size_t((m->batchSize + 3) / 4 * 4) * kCoefs, 0.0f);

  Impl* raw = m.get();
  for (int i = 1; i < m->threads; ++i) m->workers.emplace_back([raw, i] { raw->workerLoop(i); });
  return std::unique_ptr<ConvBackend>(new ConvBackend(std::move(m)));
}

int ConvBackend::batch() const { return impl_->batchSize; }

void ConvBackend::setProfiling(bool on) {
  impl_->profiling = on;
  if (on) impl_->profiled.clear();
}

std::vector<ConvBackend::LayerProfile> ConvBackend::profile() const { return impl_->profiled; }

void ConvBackend::render(const uint16_t* const* pooled64, const uint16_t* const* p, const float* kpSource,
                         const float* kpDriving, int n, float* out) {
  Impl& m = *impl_;
  if (n < 1 || n > m.batchSize) throw std::runtime_error("qo_conv: bad n");
  if (!pooled64 || !p || !kpSource || !kpDriving || !out)
    throw std::runtime_error(std::string("qo_conv: render was given a null ") +
                             (!pooled64 ? "pooled64 table array" : !p ? "P table array" :
                              !kpSource ? "source keypoint array" : !kpDriving ? "driving keypoint array" :
                              "output buffer"));
  for (int j = 0; j < n; ++j)
    if (!pooled64[j] || !p[j])
      throw std::runtime_error("qo_conv: render was given a null " + std::string(!pooled64[j] ? "pooled64" : "P") +
                               " table for frame " + std::to_string(j));
  Frame* const* F = m.framePtrs.data();

  // Per-frame path: the 32x32 encoder-decoder, the heads and the keypoint MLP.
  m.phaseNamed("input", n * 4, [&](int j, int) {
    Frame& f = *F[j / 4];
    const int part = j % 4;
    const float* ks = kpSource + (j / 4) * 63;
    const float* kd = kpDriving + (j / 4) * 63;
    if (part == 0) {
      uint16_t motion[kRows];  // the same at every pixel
      for (int k = 0; k < kRows; ++k) motion[k] = f32ToF16(kd[k * 3] - ks[k * 3]);
      for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
          uint16_t* o = f.x85.at(y, x);
          for (int c = 0; c < 64; ++c) o[c] = pooled64[j / 4][size_t(c) * 1024 + size_t(y) * 32 + x];
          std::memcpy(o + 64, motion, sizeof motion);
        }
    } else {  // widen P for the warp, in three parts
      const size_t span = 3 * kPlane512 / 3, at = size_t(part - 1) * span;
      simd::f16ToF32(p[j / 4] + at, f.pf.get() + at, span);
    }
  });
  m.conv(m.pre, &Frame::x85, &Frame::pre, n);
  m.conv(m.e0, &Frame::pre, &Frame::e0, n);
  m.parallel(n, [&](int j, int) { maxPool(F[j]->e0, F[j]->p0); });
  m.conv(m.e1, &Frame::p0, &Frame::e1, n);
  m.parallel(n, [&](int j, int) {
    maxPool(F[j]->e1, F[j]->p1);
    copyInto(F[j]->e1, F[j]->c1, 192);
  });
  m.conv(m.e2, &Frame::p1, &Frame::e2, n);
  m.parallel(n, [&](int j, int) {
    up2Into(F[j]->e2, F[j]->c1, 0);
    copyInto(F[j]->e0, F[j]->c0, 144);
  });
  m.conv(m.d1, &Frame::c1, &Frame::d1, n);
  m.parallel(n, [&](int j, int) { up2Into(F[j]->d1, F[j]->c0, 0); });
  m.conv(m.d0, &Frame::c0, &Frame::d0, n);
  m.parallel(n, [&](int j, int) { up2Into(F[j]->d0, F[j]->u0, 0); });
  m.conv(m.ref, &Frame::u0, &Frame::ref, n);
  m.conv(m.maskocc, &Frame::ref, &Frame::mo, n);
  constexpr int kGridJobs = 4;  // per frame, and one for the MLP
  m.phaseNamed("heads", n * (kGridJobs + 1), [&](int j, int) {
    const int frame = j / (kGridJobs + 1), part = j % (kGridJobs + 1);
    const float *ks = kpSource + frame * 63, *kd = kpDriving + frame * 63;
    if (part == kGridJobs) m.perFrameMlp(*F[frame], ks, kd);
    else m.perFrameGrid(*F[frame], ks, kd, part * (64 / kGridJobs), (part + 1) * (64 / kGridJobs));
  });

  // Basis: every frame's fp16 coefficients against the shared basis, in 48 column jobs.
  std::fill(m.coef16.begin(), m.coef16.end(), 0.0f);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < kCoefs; ++k) m.coef16[size_t(j) * kCoefs + k] = halfToFloat(f32ToF16(F[j]->coef.get()[k]));
  const int groups = (n + 3) / 4;
  m.phaseNamed("basis", kBasisJobs, [&](int j, int) {
    const size_t c0 = kBasisCols / kBasisJobs * size_t(j), c1 = c0 + kBasisCols / kBasisJobs;
    for (int g = 0; g < groups; ++g) {
      const int frames = std::min(4, n - 4 * g);
      float* rows[4] = {};
      for (int f = 0; f < frames; ++f) rows[f] = F[g * 4 + f]->basisimg.get();
      simd::basisColumns(m.coef16.data() + size_t(g) * 4 * kCoefs, kCoefs, m.basis.data(), c0, c1, rows,
                         frames);
    }
  });

  // Image path at 512 x 512.
  constexpr int bands = 32, rows = kCrop / bands;
  m.phaseNamed("warp", n * bands, [&](int j, int who) {
    m.warpBand(*F[j / bands], (j % bands) * rows, (j % bands + 1) * rows, m.stage[size_t(who)].get());
  });
  m.conv(m.corr0, &Frame::x7, &Frame::k0, n);
  m.conv(m.corr1, &Frame::k0, &Frame::k1, n);
  m.conv(m.corr2, &Frame::k1, &Frame::k2, n);
  m.phaseNamed("refine", n * bands, [&](int j, int who) {
    m.refineBand(*F[j / bands], (j % bands) * rows, (j % bands + 1) * rows, m.stage[size_t(who)].get());
  });
  m.tileConv(m.tile0, &Frame::tin, &Frame::ta, n);
  m.tileConv(m.tile1, &Frame::ta, &Frame::tb, n);
  m.tileConv(m.tile2, &Frame::tb, &Frame::ta, n);
  m.tileConv(m.tile3, &Frame::ta, &Frame::tout, n);
  m.phaseNamed("blend", n * bands, [&](int j, int) {
    m.blendBand(*F[j / bands], out + size_t(j / bands) * 3 * kPlane512, (j % bands) * rows, (j % bands + 1) * rows);
  });
  if (!m.dumpDir.empty()) m.dump(n, out);
}

}  // namespace qo
