// The renderer's source-cone hoist and warp node on the demo director, the source predictor,
// and what a failing prep graph does to rendering and teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "qo/qo_bundle.h"
#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "qo/qo_simd.h"
#include "render/qo_source_predictor.h"
#include "support/test_support.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using namespace qo::onnx;

TEST(sourcePredictor, DirectionWrapAndReflection) {
  auto run = [](std::initializer_list<int32_t> seq, int32_t frames, SourcePredictor p = {}) {
    int32_t guess = -1;
    for (int32_t s : seq) guess = p.next(s, frames);
    return guess;
  };
  EXPECT_EQ(run({0, 1, 2}, 5), 3);
  EXPECT_EQ(run({3, 4}, 5), 3);     // back and forth: reflect at the end, still stepping +1
  EXPECT_EQ(run({3, 4, 3}, 5), 2);  // the step turns once 3 is actually asked for
  EXPECT_EQ(run({1, 0}, 5), 1);
  EXPECT_EQ(run({3, 4, 0}, 5), 1);  // a loop
  EXPECT_EQ(run({3, 4, 0, 1, 2, 3, 4}, 5), 0);
  EXPECT_EQ(run({7, 2}, 10), 3);  // a jump keeps the step
  EXPECT_EQ(run({5, 4, 7, 2}, 10), 1);
  EXPECT_EQ(run({0, 0}, 1), 0);
}

constexpr int kCrop = 16, kNT = 5;

class HoistTest : public ::testing::Test {
 protected:
  test::ScopedEnv noBackend{"QO_CONV_BACKEND", nullptr};
  test::ScopedEnv noGsFast{"QO_GS_FAST", nullptr};
  test::ScopedEnv noWarp{"QO_WARP_NODE", nullptr};
  test::TempDir t;
  std::unique_ptr<Manifest> manifest;
  std::unique_ptr<Identity> identity;

  void SetUp() override {
    devkit::DemoOptions o;
    o.width = 48;
    o.height = 32;
    o.crop = kCrop;
    o.nt = kNT;
    o.audio = false;
    o.directorBatches = {1, 4};
    devkit::writeDemoBundle(t.path(), o);
    manifest = std::make_unique<Manifest>(loadManifest(t.path()));
    identity = std::make_unique<Identity>(*manifest);
  }
  std::unique_ptr<Renderer> renderer(const std::string& key, std::string& log) {
    testing::internal::CaptureStderr();
    auto r = std::make_unique<Renderer>(*manifest, *identity, key, 1, "");
    log = testing::internal::GetCapturedStderr();
    return r;
  }
};

std::vector<float> keypoints(int k) {
  std::vector<float> kp(63);
  for (int i = 0; i < 63; ++i) kp[size_t(i)] = 0.3f * std::sin(0.7f * float(i) + 0.2f * float(k));
  return kp;
}

// Hoisted (batch 1), warp node (batch 1) and neither (the batch-4 graph, which the hoist
// refuses) over a sequence that steps, wraps, reverses and jumps.
TEST_F(HoistTest, DemoDirectorThreeWaysRendersTheSameCrops) {
  std::string log;
  auto hoisted = renderer("b1", log);
  EXPECT_THAT(log, HasSubstr("[qo] source-cone hoist: 'cone/features' [1,12,16,16] leaves the per-frame graph and is "
                             "prefetched per SOURCE FRAME on one spare core (b1)\n"));
  auto plain = renderer("b4", log);
  EXPECT_THAT(log, HasSubstr("[qo] source-cone hoist NOT applied (b4): batch-1 lever; this graph declares batch 4\n"));
  std::unique_ptr<Renderer> warp;
  {
    test::ScopedEnv on("QO_WARP_NODE", "1");
    warp = renderer("b1", log);
  }
  EXPECT_THAT(log, HasSubstr("[qo] director warp -> com.corvanta::WarpDirector ("));
  EXPECT_THAT(log, HasSubstr("[qo] source-cone hoist SKIPPED (b1): the warp node subsumes the cone"));

  const size_t frame = size_t(3) * kCrop * kCrop;
  const int32_t sequence[] = {0, 1, 2, 3, 4, 0, 1, 2, 1, 0, 3, 3, 2};
  for (size_t k = 0; k < std::size(sequence); ++k) {
    const int32_t si = sequence[k];
    const std::vector<float> ks = keypoints(0), kd = keypoints(int(k) + 1);
    std::vector<float> a(frame), b(frame);
    const float* h = hoisted->render(&si, ks.data(), kd.data(), 1);
    a.assign(h, h + frame);
    const float* w = warp->render(&si, ks.data(), kd.data(), 1);
    b.assign(w, w + frame);
    const float* p = plain->render(&si, ks.data(), kd.data(), 1);
    float worstHoist = 0, worstWarp = 0;
    for (size_t i = 0; i < frame; ++i) {
      worstHoist = std::max(worstHoist, std::fabs(a[i] - p[i]));
      worstWarp = std::max(worstWarp, std::fabs(b[i] - p[i]));
    }
    EXPECT_LE(worstHoist, 1e-4f) << "frame " << k << " (source " << si << ")";
    EXPECT_LE(worstWarp, 1e-4f) << "frame " << k << " (source " << si << ")";
  }
  testing::internal::CaptureStderr();
  hoisted.reset();  // a prefetch may be in flight
  warp.reset();
  plain.reset();
  testing::internal::GetCapturedStderr();
}

// A director whose cone gathers one pixel at an index read off the frame's brightest value:
// bright source frames make the gather run out of range, a failure only a run can show.
void writeFragileDirector(const std::string& path, bool twoConcats) {
  ModelBuilder b;
  const int64_t C = kCrop;
  b.input("pooled64", kFloat, {1, 64, 32, 32});
  b.input("P_rgb", kFloat, {1, 3, C, C});
  b.input("kp_driving", kFloat, {1, 21, 3});
  b.input("kp_source", kFloat, {1, 21, 3});
  b.node("Flatten", {"P_rgb"}, {"flat"}, {attrInt("axis", 1)});
  b.node("ReduceMax", {"P_rgb"}, {"max"}, {attrInt("keepdims", 0)});
  b.initializer("scale", tensorOf<float>({}, {2000.0f}));
  b.node("Mul", {"max", "scale"}, {"scaled"});
  b.node("Cast", {"scaled"}, {"index"}, {attrInt("to", kInt64)});
  b.node("Gather", {"flat", "index"}, {"picked"}, {attrInt("axis", 1)});
  b.initializer("shape", tensorOf<int64_t>({4}, {1, 1, 1, 1}));
  b.node("Reshape", {"picked", "shape"}, {"picked4"});
  b.initializer("zeros", tensorOf<float>({1, 1, C, C}, std::vector<float>(size_t(C * C), 0.0f)));
  b.node("Mul", {"picked4", "zeros"}, {"extra"});
  b.node("Concat", {"P_rgb", "extra"}, {"cone"}, {attrInt("axis", 1)});
  if (twoConcats) b.node("Concat", {"P_rgb", "extra"}, {"cone2"}, {attrInt("axis", 1)});
  b.initializer("b0", tensorOf<int64_t>({1}, {0}));
  b.initializer("b3", tensorOf<int64_t>({1}, {3}));
  b.initializer("ax", tensorOf<int64_t>({1}, {1}));
  b.node("Slice", {"cone", "b0", "b3", "ax"}, {"rgb0"});
  b.node("ReduceMean", {"pooled64"}, {"pm"}, {attrInts("axes", {1, 2, 3}), attrInt("keepdims", 1)});
  b.node("Add", {"rgb0", "pm"}, {"rgb"});
  b.output("rgb", kFloat, {1, 3, C, C});
  b.save(path);
}

TEST_F(HoistTest, PrepFailureSurfacesOnTheNextRenderAndEveryOneAfter) {
  // Source frame k holds the value k / 10 everywhere: frame 4 gathers index 800 of 768.
  std::vector<uint16_t> prior(size_t(kNT) * 3 * kCrop * kCrop);
  for (int k = 0; k < kNT; ++k)
    std::fill_n(prior.begin() + ptrdiff_t(k) * 3 * kCrop * kCrop, 3 * kCrop * kCrop, f32ToF16(0.1f * float(k)));
  test::writeFile(t / "P.f16", std::string(reinterpret_cast<const char*>(prior.data()), prior.size() * 2));
  identity = std::make_unique<Identity>(*manifest);

  writeFragileDirector(t / "model_two.onnx", true);
  std::string log;
  renderer("two", log);
  EXPECT_THAT(log, HasSubstr("[qo] source-cone hoist NOT applied (two): expected exactly one Concat consuming P_rgb, "
                             "found 2\n"));

  writeFragileDirector(t / "model_fragile.onnx", false);
  auto r = renderer("fragile", log);
  ASSERT_THAT(log, HasSubstr("[qo] source-cone hoist: 'cone' [1,4,16,16]"));
  const std::vector<float> kp(63, 0.0f);
  for (int32_t si : {2, 3}) {  // after 2, 3 the prep thread prefetches 4 and fails
    const float* out = r->render(&si, kp.data(), kp.data(), 1);
    EXPECT_NEAR(out[0] - out[3 * kCrop * kCrop - 1], 0.0f, 1e-6f);
  }
  auto errorOf = [&](int32_t si) {
    try {
      r->render(&si, kp.data(), kp.data(), 1);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::string first = errorOf(4);
  EXPECT_THAT(first, ::testing::StartsWith("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 "));
  EXPECT_THAT(first, HasSubstr("Gather"));
  EXPECT_EQ(errorOf(0), first);  // frame 0 would prepare, but the stored error stays
  testing::internal::CaptureStderr();
  r.reset();
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace qo
