// The native conv engine against ONNX Runtime running the same m4b graph, its refusals, and
// its dump switch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_simd.h"
#include "render/ort_harness.h"
#include "render/qo_conv.h"
#include "support/test_support.h"
#include "tools/devkit/demo_m4b.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using devkit::M4bOptions;
using devkit::NamedTensors;

constexpr size_t kPooled = 65536, kP = 3 * 512 * 512;

// Inputs for `frames` frames, already on the fp16 grid so that both sides see the same values.
struct Inputs {
  std::vector<uint16_t> pooled16, p16;
  test::FloatArray pooled, p, ks, kd;
  explicit Inputs(int frames) {
    const int64_t B = frames;
    pooled = {{B, 64, 32, 32}, std::vector<float>(size_t(B) * kPooled)};
    p = {{B, 3, 512, 512}, std::vector<float>(size_t(B) * kP)};
    for (size_t i = 0; i < pooled.data.size(); ++i)
      pooled.data[i] = 0.25f * std::sin(float(i % 1024) * 0.013f + float(i / 1024) * 0.7f);
    for (size_t i = 0; i < p.data.size(); ++i) {  // a smooth blob with some texture, per channel
      const float y = float((i / 512) % 512) / 512.0f - 0.5f, x = float(i % 512) / 512.0f - 0.5f;
      const float c = float(i / (512 * 512));
      p.data[i] = 0.5f + 0.35f * std::exp(-8.0f * (x * x + y * y)) * (1.0f - 0.2f * c) + 0.05f * std::sin(40 * x + 9 * y);
    }
    pooled16.resize(pooled.data.size());
    p16.resize(p.data.size());
    simd::f32ToF16(pooled.data.data(), pooled16.data(), pooled16.size());
    simd::f32ToF16(p.data.data(), p16.data(), p16.size());
    simd::f16ToF32(pooled16.data(), pooled.data.data(), pooled16.size());
    simd::f16ToF32(p16.data(), p.data.data(), p16.size());
    ks = test::randomArray({B, 21, 3}, 7, -0.6f, 0.6f);
    kd = ks;
    const test::FloatArray jitter = test::randomArray({B, 21, 3}, 8, -0.05f, 0.05f);
    for (size_t i = 0; i < kd.data.size(); ++i) kd.data[i] += jitter.data[i];
  }
  std::vector<const uint16_t*> pooledPtrs(int n) const {
    std::vector<const uint16_t*> v;
    for (int j = 0; j < n; ++j) v.push_back(pooled16.data() + size_t(j) * kPooled);
    return v;
  }
  std::vector<const uint16_t*> pPtrs(int n) const {
    std::vector<const uint16_t*> v;
    for (int j = 0; j < n; ++j) v.push_back(p16.data() + size_t(j) * kP);
    return v;
  }
};

std::vector<float> readF32(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<float> v(size_t(in.tellg()) / 4);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(v.data()), std::streamsize(v.size() * 4));
  return v;
}

class ConvBackendTest : public ::testing::Test {
 protected:
  test::TempDir t;
  std::string graph(const std::string& name, M4bOptions o) {
    const std::string path = t / name;
    devkit::writeM4bDirector(path, o);
    return path;
  }
  static std::function<void(NamedTensors&)> edit(std::function<void(NamedTensors&)> f) { return f; }
};

// The ORT run over the same graph with every intermediate as an output, frame-major.
std::vector<test::FloatArray> ortReference(const std::vector<uint8_t>& model, const Inputs& in) {
  Ort::Session s = test::openSession(model);
  return test::runFloats(s, {{"pooled64", in.pooled}, {"P_rgb", in.p}, {"kp_driving", in.kd}, {"kp_source", in.ks}},
                         devkit::m4bIntermediateNames());
}

// The engine stores weights and every feature map in fp16, each store within 2^-11 of the value
// (relative), where ORT keeps float. The deepest chain of stored maps before a dumped tensor is
// ten (x85 to the mask); with layer gains near 1 the roundings add at worst linearly and, having
// random signs, in practice like their square root (about 3). The bound is 8 roundings of the
// tensor's largest magnitude. Float-only steps (softmax, grid, warp) add float error only, and the
// warp turns a grid error into a colour error of at most the image gradient (< 1 per pixel here).
constexpr float kTolerance = 8.0f / 2048.0f;

void expectClose(const std::string& name, const std::vector<float>& engine, const std::vector<float>& ort) {
  ASSERT_EQ(engine.size(), ort.size()) << name;
  float peak = 0.0f, worst = 0.0f;
  for (size_t i = 0; i < ort.size(); ++i) {
    peak = std::max(peak, std::fabs(ort[i]));
    worst = std::max(worst, std::fabs(engine[i] - ort[i]));
  }
  std::printf("  %-11s max |ort| %8.4f  max |engine - ort| %.6f (%.2f fp16 roundings)\n", name.c_str(), peak, worst,
              peak > 0 ? worst / peak * 2048.0f : 0.0f);
  EXPECT_LE(worst, kTolerance * std::max(peak, 1e-3f)) << name;
  EXPECT_GT(peak, 0.0f) << name << " is all zeros";
}

// The tile intermediates are [window x frame] in the graph and [frame x window] in the dump.
std::vector<float> windowsToFrames(const std::vector<float>& v, int frames) {
  const size_t per = v.size() / (6 * size_t(frames));
  std::vector<float> out(v.size());
  for (int t = 0; t < 6; ++t)
    for (int f = 0; f < frames; ++f)
      std::copy_n(v.begin() + long((size_t(t) * frames + f) * per), per, out.begin() + long((size_t(f) * 6 + t) * per));
  return out;
}

TEST_F(ConvBackendTest, MatchesOrtOnEveryIntermediateAtBatchOneAndTwo) {
  ASSERT_TRUE(ConvBackend::available());
  M4bOptions o;
  o.batch = 2;
  o.intermediates = true;
  const std::vector<uint8_t> model = devkit::m4bDirectorBytes(o);
  const std::string path = t / "m4b_b2.onnx";
  {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(model.data()), std::streamsize(model.size()));
  }
  const Inputs in(2);
  const std::vector<test::FloatArray> ref = ortReference(model, in);
  const std::vector<std::string>& names = devkit::m4bIntermediateNames();

  test::ScopedEnv dump("QO_CONV_DUMP", t.path().c_str());
  std::unique_ptr<ConvBackend> engine = ConvBackend::create(path, 2);
  ASSERT_EQ(engine->batch(), 2);
  std::vector<float> out(2 * kP, -1.0f);
  engine->setProfiling(true);
  for (int n : {2, 1}) {
    SCOPED_TRACE("n = " + std::to_string(n));
    engine->render(in.pooledPtrs(n).data(), in.pPtrs(n).data(), in.ks.data.data(), in.kd.data.data(), n, out.data());
    for (size_t i = 0; i < names.size(); ++i) {
      std::vector<float> want = ref[i].data;
      if (names[i] == "tile2_relu" || names[i] == "tile3_conv") want = windowsToFrames(want, 2);
      want.resize(want.size() / 2 * size_t(n));  // frame 0 first, then frame 1
      expectClose(names[i], readF32(t / (names[i] + ".f32")), want);
    }
    std::vector<float> want(ref.back().data.begin(), ref.back().data.begin() + long(size_t(n) * kP));
    expectClose("rgb (out)", std::vector<float>(out.begin(), out.begin() + long(size_t(n) * kP)), want);
  }
  // Every band of every 3x3 layer must take the Winograd path (bands of a multiple of 4 rows).
  int convs = 0;
  for (const ConvBackend::LayerProfile& l : engine->profile()) {
    EXPECT_EQ(l.calls, 2) << l.name;
    EXPECT_EQ(l.winograd, l.taps == 9) << l.name;
    EXPECT_EQ(l.executedFlops > 0, l.taps > 0) << l.name;
    convs += l.taps > 0;
  }
  EXPECT_EQ(convs, 15);
  {  // One thread bands the maps differently; every block's arithmetic, so the output, is the same.
    std::unique_ptr<ConvBackend> single = ConvBackend::create(path, 1);
    std::vector<float> two(2 * kP), one(2 * kP);
    engine->render(in.pooledPtrs(2).data(), in.pPtrs(2).data(), in.ks.data.data(), in.kd.data.data(), 2, two.data());
    single->render(in.pooledPtrs(2).data(), in.pPtrs(2).data(), in.ks.data.data(), in.kd.data.data(), 2, one.data());
    EXPECT_TRUE(one == two) << "1 and 2 threads differ";
  }
  for (int bad : {0, 3}) {
    try {
      engine->render(in.pooledPtrs(2).data(), in.pPtrs(2).data(), in.ks.data.data(), in.kd.data.data(), bad,
                     out.data());
      ADD_FAILURE() << "n = " << bad << " rendered";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "qo_conv: bad n");
    }
  }
  const uint16_t* none[2] = {nullptr, nullptr};
  EXPECT_THAT([&] { engine->render(in.pooledPtrs(2).data(), in.pPtrs(2).data(), nullptr, in.kd.data.data(), 1, out.data()); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("null source keypoint")));
  EXPECT_THAT([&] { engine->render(none, in.pPtrs(2).data(), in.ks.data.data(), in.kd.data.data(), 1, out.data()); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("null pooled64 table for frame 0")));
}

}  // namespace
}  // namespace qo
