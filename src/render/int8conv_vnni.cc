// com.corvanta.int8::Int8ConvVNNI: quantise X, sum exactly in int32, dequantise with the
// border-aware weight sums. Three pool phases run one after another (range, quantisation, rows);
// each job writes disjoint outputs. Within a phase the threads claim jobs one at a time, so a
// thread that loses its core to another process does not hold the phase up.
#include "render/int8conv_vnni.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo/qo_pool.h"
#include "qo/qo_simd.h"

namespace qo {
namespace {

constexpr const char* kName = "com.corvanta.int8::Int8ConvVNNI";
constexpr size_t kRangeChunk = 4096;
constexpr size_t kQuantGrain = 512;  // pixels
// Largest C * KH * KW whose sums of 255 * 128 products stay inside int32.
constexpr int64_t kMaxTerms = int64_t(INT32_MAX) / (255 * 128);

std::atomic<size_t> gPrepacks{0};

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

struct Attrs {
  int64_t strideH = 1, strideW = 1, padT = 0, padL = 0, padB = 0, padR = 0, dilH = 1, dilW = 1, group = 1;
};

// A list attribute; absent, or shorter than `want`, gives {} (the default).
std::vector<int64_t> listAttr(const Ort::ConstKernelInfo& info, const char* name, size_t want) {
  try {
    std::vector<int64_t> v = info.GetAttributes<int64_t>(name);
    return v.size() >= want ? v : std::vector<int64_t>{};
  } catch (const Ort::Exception&) {
    return {};
  }
}

Attrs readAttrs(const Ort::ConstKernelInfo& info) {
  Attrs a;
  if (auto s = listAttr(info, "strides", 2); !s.empty()) a.strideH = s[0], a.strideW = s[1];
  if (auto p = listAttr(info, "pads", 4); !p.empty()) a.padT = p[0], a.padL = p[1], a.padB = p[2], a.padR = p[3];
  if (auto d = listAttr(info, "dilations", 2); !d.empty()) a.dilH = d[0], a.dilW = d[1];
  try {
    a.group = info.GetAttribute<int64_t>("group");
  } catch (const Ort::Exception&) {
  }
  const std::string got = " (strides [" + std::to_string(a.strideH) + ", " + std::to_string(a.strideW) + "], pads [" +
                          std::to_string(a.padT) + ", " + std::to_string(a.padL) + ", " + std::to_string(a.padB) +
                          ", " + std::to_string(a.padR) + "], dilations [" + std::to_string(a.dilH) + ", " +
                          std::to_string(a.dilW) + "])";
  if (a.group != 1)
    throw std::runtime_error(std::string(kName) + ": group " + std::to_string(a.group) +
                             " is not served: this kernel computes ungrouped convolutions only (group 1); write a "
                             "grouped convolution as one dense weight tensor or keep it a float Conv");
  constexpr int64_t kBig = int64_t(1) << 20;
  if (a.strideH < 1 || a.strideW < 1 || a.dilH < 1 || a.dilW < 1 || a.strideH > kBig || a.strideW > kBig ||
      a.dilH > kBig || a.dilW > kBig)
    throw std::runtime_error(std::string(kName) + ": strides and dilations must be 1 to 2^20" + got);
  if (a.padT < 0 || a.padL < 0 || a.padB < 0 || a.padR < 0 || a.padT > kBig || a.padL > kBig || a.padB > kBig ||
      a.padR > kBig)
    throw std::runtime_error(std::string(kName) + ": pads must be 0 to 2^20" + got);
  return a;
}

// What the first run packs from W.
struct Packed {
  int M = 0, C = 0, KH = 0, KW = 0, Cp = 0;
  std::vector<int16_t> weights;
  std::vector<int32_t> tapSums;    // [KH * KW][M]: sum over c of W[m][c][kh][kw]
  std::vector<int32_t> wholeSums;  // [M]: over every tap
};

// Per-thread buffers, grown to the largest run and reused.
struct RunBuffers {
  std::vector<uint8_t> q;
  std::vector<float> lo, hi;
  std::vector<uint8_t> finite;
  std::vector<int32_t> zpWhole;
  std::vector<float> k;
};
struct RowBuffers {
  std::vector<int16_t> scratch;
  std::vector<int32_t> acc, rowSums, sums;
};
thread_local RunBuffers tRun;
thread_local RowBuffers tRow;

template <class T>
T* sized(std::vector<T>& v, size_t n) {
  if (v.size() < n) v.resize(n);
  return v.data();
}

struct Int8ConvKernel {
  Attrs a;
  std::once_flag once;
  Packed pk;

  void prepack(const int8_t* w, int M, int C, int KH, int KW) {
    pk.M = M, pk.C = C, pk.KH = KH, pk.KW = KW, pk.Cp = (C + 3) / 4 * 4;
    pk.weights.assign(simd::int8ConvPackedSize(M, pk.Cp, KH, KW), 0);
    simd::int8ConvPack(w, M, C, KH, KW, pk.Cp, pk.weights.data());
    const size_t taps = size_t(KH) * KW;
    pk.tapSums.assign(taps * M, 0);
    pk.wholeSums.assign(size_t(M), 0);
    for (int m = 0; m < M; ++m)
      for (int c = 0; c < C; ++c)
        for (size_t t = 0; t < taps; ++t) pk.tapSums[t * M + m] += w[(size_t(m) * C + c) * taps + t];
    for (size_t t = 0; t < taps; ++t)
      for (int m = 0; m < M; ++m) pk.wholeSums[size_t(m)] += pk.tapSums[t * M + m];
    gPrepacks.fetch_add(1, std::memory_order_relaxed);
  }

  void run(OrtKernelContext* context);

  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    try {
      run(context);
      return nullptr;
    } catch (const std::exception& e) {
      return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
    }
  }
};

void Int8ConvKernel::run(OrtKernelContext* context) {
  Ort::KernelContext ctx(context);
  const Ort::ConstValue x = ctx.GetInput(0), w = ctx.GetInput(1), ws = ctx.GetInput(2), bias = ctx.GetInput(3);
  const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
  const std::vector<int64_t> wsh = w.GetTensorTypeAndShapeInfo().GetShape();
  const size_t scaleCount = ws.GetTensorTypeAndShapeInfo().GetElementCount();
  const size_t biasCount = bias.GetTensorTypeAndShapeInfo().GetElementCount();
  const std::string shapes = "X " + shapeText(xs) + ", W " + shapeText(wsh);
  if (xs.size() != 4 || wsh.size() != 4)
    throw std::runtime_error(std::string(kName) + ": X must be [N, C, H, W] and W [M, C, KH, KW]; got " + shapes);
  const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], M = wsh[0], KH = wsh[2], KW = wsh[3];
  if (wsh[1] != C)
    throw std::runtime_error(std::string(kName) + ": W's input channels (" + std::to_string(wsh[1]) +
                             ") differ from X's (" + std::to_string(C) + "); " + shapes);
  if (int64_t(scaleCount) != M || int64_t(biasCount) != M)
    throw std::runtime_error(std::string(kName) + ": the weight scale and the bias must hold M = " + std::to_string(M) +
                             " values, one per output channel; they hold " + std::to_string(scaleCount) + " and " +
                             std::to_string(biasCount) + " for " + shapes);
  if (KH < 1 || KW < 1 || KH > simd::kInt8ConvMaxKernel || KW > (1 << 20))
    throw std::runtime_error(std::string(kName) + ": kernel " + std::to_string(KH) + "x" + std::to_string(KW) +
                             " is not served (1 to " + std::to_string(simd::kInt8ConvMaxKernel) + " rows); " + shapes);
  if (C * KH * KW > kMaxTerms)
    throw std::runtime_error(std::string(kName) + ": C x KH x KW = " + std::to_string(C * KH * KW) +
                             " products per output would overflow the int32 sums (at most " +
                             std::to_string(kMaxTerms) + "); " + shapes);
  constexpr int64_t kSide = int64_t(1) << 24;
  if (N < 0 || M < 0 || H < 1 || W < 1 || H > kSide || W > kSide || C > kSide || M > kSide || N > kSide)
    throw std::runtime_error(std::string(kName) + ": " + shapes + " is outside what the kernel serves (H and W 1 to "
                             "2^24, C, M and N at most 2^24)");
  const int64_t spanH = H + a.padT + a.padB - a.dilH * (KH - 1) - 1, spanW = W + a.padL + a.padR - a.dilW * (KW - 1) - 1;
  if (spanH < 0 || spanW < 0)
    throw std::runtime_error(std::string(kName) + ": the kernel " + std::to_string(KH) + "x" + std::to_string(KW) +
                             " with dilations [" + std::to_string(a.dilH) + ", " + std::to_string(a.dilW) +
                             "] does not fit the padded input of " + shapes +
                             ": the output would have no rows or columns (OH, OW below 1)");
  const int64_t OH = spanH / a.strideH + 1, OW = spanW / a.strideW + 1;
  Ort::UnownedValue y = ctx.GetOutput(0, {N, M, OH, OW});
  if (N == 0 || M == 0) return;

  const int8_t* wp = w.GetTensorData<int8_t>();
  std::call_once(once, [&] { prepack(wp, int(M), int(C), int(KH), int(KW)); });
  if (pk.M != M || pk.C != C || pk.KH != KH || pk.KW != KW)
    throw std::runtime_error(std::string(kName) + ": W " + shapeText(wsh) + " differs from the [" +
                             std::to_string(pk.M) + ", " + std::to_string(pk.C) + ", " + std::to_string(pk.KH) + ", " +
                             std::to_string(pk.KW) + "] this node packed on its first run");

  // Range, both ends starting at 0.
  const float* xp = x.GetTensorData<float>();
  const size_t count = size_t(N) * size_t(C) * size_t(H) * size_t(W);
  float lo = 0, hi = 0;
  bool finite = true;
  if (pool::parts(count, kRangeChunk) >= 2) {
    const size_t chunks = (count + kRangeChunk - 1) / kRangeChunk;
    float* los = sized(tRun.lo, chunks);
    float* his = sized(tRun.hi, chunks);
    uint8_t* ok = sized(tRun.finite, chunks);
    pool::parallelClaim(chunks, [&](size_t k) {
      const size_t first = k * kRangeChunk;
      ok[k] = simd::int8Range(xp + first, std::min(kRangeChunk, count - first), &los[k], &his[k]);
    });
    for (size_t k = 0; k < chunks; ++k) {
      finite = finite && ok[k];
      lo = std::min(lo, los[k]);
      hi = std::max(hi, his[k]);
    }
  } else {
    finite = simd::int8Range(xp, count, &lo, &hi);
  }
  float scale = (hi - lo) / 255.0f;
  if (!finite || !std::isfinite(scale))
    throw std::runtime_error(std::string(kName) + ": X " + shapeText(xs) +
                             (finite ? " spans a range too wide for float (max - min overflows)"
                                     : " holds a NaN or an infinity") +
                             "; there is no quantisation scale for it, so the run is refused rather than writing NaN");
  int zp;
  if (scale <= 0) {
    scale = 1;
    zp = int(std::clamp(std::nearbyint(-lo), 0.0f, 255.0f));
  } else {
    zp = int(std::clamp(std::nearbyint(-lo / scale), 0.0f, 255.0f));
  }

  // Quantise into per-pixel rows.
  const int Cp = pk.Cp;
  const size_t plane = size_t(H) * size_t(W), pixels = size_t(N) * plane;
  uint8_t* q = sized(tRun.q, pixels * size_t(Cp));
  pool::parallelClaim((pixels + kQuantGrain - 1) / kQuantGrain, [&](size_t job) {
    size_t b = job * kQuantGrain;
    const size_t e = std::min(pixels, b + kQuantGrain);
    while (b < e) {
      const size_t n = b / plane, p0 = b - n * plane, p1 = std::min(plane, p0 + (e - b));
      simd::int8QuantizeNhwc(xp + n * size_t(C) * plane, plane, int(C), p0, p1, scale, zp, q + n * plane * Cp, Cp);
      b += p1 - p0;
    }
  });

  // Rows: exact sums, then dequantisation with the weight sums of the in-image taps.
  const simd::Int8ConvGeometry g{int(H), int(W), Cp, int(KH), int(KW), int(a.strideH), int(a.strideW), int(a.dilH),
                                 int(a.dilW), int(a.padT), int(a.padL), int(OW),
                                 int((OW - 1) * a.strideW + (KW - 1) * a.dilW + 1),
                                 int((M + simd::kInt8ConvChannelBlock - 1) / simd::kInt8ConvChannelBlock)};
  const size_t mp = size_t(g.blocks) * simd::kInt8ConvChannelBlock;
  const float* wsp = ws.GetTensorData<float>();
  const float* bp = bias.GetTensorData<float>();
  float* yp = y.GetTensorMutableData<float>();
  const int m = int(M);
  // Interior outputs take zp times the whole-kernel sums, subtracted while dequantising; outputs
  // with taps outside the image first get the difference to their own in-image sums.
  int32_t* zpWhole = sized(tRun.zpWhole, size_t(m));
  float* k = sized(tRun.k, size_t(m));
  for (int c = 0; c < m; ++c) zpWhole[c] = zp * pk.wholeSums[size_t(c)], k[c] = scale * wsp[c];
  pool::parallelClaim(size_t(N) * size_t(OH), [&](size_t job) {
    int16_t* scratch = sized(tRow.scratch, simd::int8ConvScratchSize(g));
    int32_t* acc = sized(tRow.acc, size_t(OW) * mp);
    int32_t* rowSums = sized(tRow.rowSums, size_t(KW) * m);  // [kw][m] over the in-image tap rows
    int32_t* sums = sized(tRow.sums, size_t(m));
    {
      const int64_t n = int64_t(job) / OH, oh = int64_t(job) % OH;
      simd::int8ConvRow(g, q + size_t(n) * plane * Cp, pk.weights.data(), int(oh), scratch, acc);
      bool rowInside = true;
      std::fill(rowSums, rowSums + size_t(KW) * m, 0);
      for (int64_t kh = 0; kh < KH; ++kh) {
        const int64_t ih = oh * a.strideH + kh * a.dilH - a.padT;
        if (ih < 0 || ih >= H) {
          rowInside = false;
          continue;
        }
        for (int64_t kw = 0; kw < KW; ++kw)
          for (int c = 0; c < m; ++c) rowSums[kw * m + c] += pk.tapSums[size_t(kh * KW + kw) * m + c];
      }
      for (int64_t ow = 0; ow < OW; ++ow) {
        const int64_t iw0 = ow * a.strideW - a.padL, iwLast = iw0 + (KW - 1) * a.dilW;
        if (rowInside && iw0 >= 0 && iwLast < W) continue;
        std::fill(sums, sums + m, 0);
        for (int64_t kw = 0; kw < KW; ++kw) {
          const int64_t iw = iw0 + kw * a.dilW;
          if (iw < 0 || iw >= W) continue;
          for (int c = 0; c < m; ++c) sums[c] += rowSums[kw * m + c];
        }
        // Wrapping arithmetic: only the final difference is known to fit.
        int32_t* at = acc + size_t(ow) * mp;
        for (int c = 0; c < m; ++c)
          at[c] = int32_t(uint32_t(at[c]) - uint32_t(zp * sums[c]) + uint32_t(zpWhole[c]));
      }
      simd::int8Dequantize(acc, mp, int(OW), m, zpWhole, k, bp,
                           yp + size_t(n) * m * size_t(OH) * size_t(OW) + size_t(oh) * size_t(OW),
                           size_t(OH) * size_t(OW));
    }
  });
}

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, true> {
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const {
    *kernel = nullptr;
    try {
      const Attrs a = readAttrs(Ort::ConstKernelInfo(info));
      Int8ConvKernel* k = new (std::nothrow) Int8ConvKernel();
      if (!k) return api.CreateStatus(ORT_FAIL, "out of memory creating a com.corvanta.int8 kernel");
      k->a = a;
      *kernel = k;
      return nullptr;
    } catch (const std::exception& e) {
      return api.CreateStatus(ORT_INVALID_ARGUMENT, e.what());
    }
  }
};

}  // namespace

Ort::CustomOpDomain& domainInt8() {
  // Sessions keep a pointer to the domain: it lives until process exit, past every session.
  static const Int8ConvOp op;
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.corvanta.int8");
    d.Add(&op);
    return d;
  }();
  return domain;
}

void registerInt8ConvVNNI(Ort::SessionOptions& options) { options.Add(domainInt8()); }

size_t int8ConvPrepacks() { return gPrepacks.load(std::memory_order_relaxed); }

}  // namespace qo
