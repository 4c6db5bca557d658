#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numeric>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qo/qo_bundle.h"
#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "support/test_support.h"
#include "tests/render/director_graphs.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kCrop = 16, kNT = 5;

class RendererTest : public ::testing::Test {
 protected:
  test::ScopedEnv noBackend{"QO_CONV_BACKEND", nullptr};
  test::ScopedEnv noProfile{"QO_ORT_PROFILE", nullptr};
  test::ScopedEnv noGsFast{"QO_GS_FAST", nullptr};
  test::TempDir t;
  std::unique_ptr<Manifest> manifest;
  std::unique_ptr<Identity> identity;

  void makeBundle(bool fsRed = false, bool priorMovie = false) {
    devkit::DemoOptions o;
    o.width = 48;
    o.height = 32;
    o.crop = kCrop;
    o.nt = kNT;
    o.fsRed = fsRed;
    o.priorMovie = priorMovie;
    devkit::writeDemoBundle(t.path(), o);
    manifest = std::make_unique<Manifest>(loadManifest(t.path()));
    identity = std::make_unique<Identity>(*manifest);
  }
  void director(const std::string& key, const test::DirectorShape& s) {
    test::writeTestDirector(t / ("model_" + key + ".onnx"), s);
  }
  std::string errorOf(const std::function<void()>& f) {
    try {
      testing::internal::CaptureStderr();
      f();
    } catch (const std::runtime_error& e) {
      testing::internal::GetCapturedStderr();
      return e.what();
    }
    testing::internal::GetCapturedStderr();
    return "";
  }

  // Keypoint set k: row 0 x = 0.01 k (read by the graph through kd), row 0 y = 0.002 k (ks).
  static std::vector<float> keypoints(int n, float scale) {
    std::vector<float> kp(size_t(n) * 63);
    for (int k = 0; k < n; ++k) {
      kp[size_t(k) * 63 + 0] = scale * float(k + 1);
      kp[size_t(k) * 63 + 1] = 2 * scale * float(k + 1);
    }
    return kp;
  }
  float pooledMean(int si) const {
    std::vector<float> v(65536);
    halfToFloat(identity->pooled64(si), v.data(), v.size());
    return float(std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()));
  }
};

TEST_F(RendererTest, StandardDirectorSlotsFillersAndKeypointOrder) {
  makeBundle();
  director("b4", {.batch = 4, .crop = kCrop});
  testing::internal::CaptureStderr();
  Renderer r(*manifest, *identity, "b4", 1, "");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("[qo] !!! compose alpha: ELLIPSE (b4) \xE2\x80\x94 this bundle carries no "
                             "lip_template.v1.json"));
  EXPECT_THAT(log, HasSubstr("[qo] director ep=cpu (ORT CPU EP)\n"));
  EXPECT_EQ(r.batch(), 4);
  EXPECT_STREQ(r.ep(), "cpu");
  EXPECT_STREQ(r.backend(), "ort");
  EXPECT_STREQ(r.directorNote(), "");

  const int32_t si[2] = {3, 1};
  const std::vector<float> ks = keypoints(2, 0.001f), kd = keypoints(2, 0.01f);
  const float* out = r.render(si, ks.data(), kd.data(), 2);
  const size_t plane = size_t(kCrop) * kCrop, frame = plane * 3;
  for (int slot = 0; slot < 4; ++slot) {
    const int j = slot < 2 ? slot : 1;  // slots 2 and 3 repeat frame 1
    std::vector<float> prior(frame);
    halfToFloat(identity->P(si[j]), prior.data(), frame);
    const float offset = 10 * kd[size_t(j) * 63] + 100 * ks[size_t(j) * 63 + 1] + pooledMean(si[j]);
    for (size_t i = 0; i < frame; i += 37)
      ASSERT_NEAR(out[size_t(slot) * frame + i], prior[i] + offset, 1e-4) << "slot " << slot << " element " << i;
  }
  EXPECT_THROW(r.render(si, ks.data(), kd.data(), 0), std::runtime_error);
  EXPECT_EQ(errorOf([&] { r.render(si, ks.data(), kd.data(), 5); }), "render: bad n");
  const int32_t bad[1] = {kNT};
  EXPECT_EQ(errorOf([&] { r.render(bad, ks.data(), kd.data(), 1); }), "render: source frame 5 outside [0,5)");
}

TEST_F(RendererTest, FeatSynthDirector) {
  makeBundle(/*fsRed=*/true);
  director("fs", {.batch = 1, .crop = kCrop, .featSynth = true});
  testing::internal::CaptureStderr();
  Renderer r(*manifest, *identity, "fs", 1, "");
  testing::internal::GetCapturedStderr();
  const int32_t si = 2;
  const std::vector<float> ks = keypoints(1, 0.001f), kd = keypoints(1, 0.01f);
  const float* out = r.render(&si, ks.data(), kd.data(), 1);
  std::vector<float> fs(262144);
  halfToFloat(identity->fsRed(si), fs.data(), fs.size());
  const double fsMean = std::accumulate(fs.begin(), fs.end(), 0.0) / double(fs.size());
  EXPECT_NEAR(out[0], fsMean + 10 * kd[0] + 100 * ks[1] + pooledMean(si), 1e-4);
  EXPECT_NEAR(out[3 * kCrop * kCrop - 1], out[0], 1e-6);

  std::remove((t / "fs_red.f16").c_str());
  Identity withoutFsRed(*manifest);
  EXPECT_EQ(errorOf([&] { Renderer r2(*manifest, withoutFsRed, "fs", 1, ""); }),
            "FeatSynth graph but bundle lacks fs_red.f16");
}

TEST_F(RendererTest, MoviePriorFeedsTheSameBuffers) {
  makeBundle(false, /*priorMovie=*/true);
  director("b1", {.batch = 1, .crop = kCrop});
  testing::internal::CaptureStderr();
  Renderer r(*manifest, *identity, "b1", 1, "");
  testing::internal::GetCapturedStderr();
  const std::vector<float> ks = keypoints(1, 0.0f), kd = keypoints(1, 0.0f);
  for (int32_t si : {0, 1, 4}) {
    std::vector<float> prior(3 * kCrop * kCrop);
    halfToFloat(identity->P(si), prior.data(), prior.size());
    const float* out = r.render(&si, ks.data(), kd.data(), 1);
    EXPECT_NEAR(out[100], prior[100] + pooledMean(si), 1e-4);
  }
}

TEST_F(RendererTest, KeypointContractAndBatchRefusals) {
  makeBundle();
  director("k22", {.kpRows = 22, .crop = kCrop});
  EXPECT_EQ(errorOf([&] { Renderer r(*manifest, *identity, "k22", 1, ""); }),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + (t / "model_k22.onnx") +
                " \xE2\x80\x94 the graph declares kp_driving with 22 keypoint rows, and this renderer feeds 21 "
                "(qo::kHostKpRows, qo/qo.h). That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, "
                "0), fed from the a2x encoder's second output. This engine has no width feed (see qo_a2x_width / "
                "qo_a2x_pull_wn in qo/qo_a2x.h, which nothing on this path calls yet), so it cannot drive this "
                "director. REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have "
                "been published to a host that links this renderer: training/recipe/host_kp_contract is the publish "
                "gate that exists to prevent it.");
  director("k20", {.kpRows = 20, .crop = kCrop});
  const std::string k20 = errorOf([&] { Renderer r(*manifest, *identity, "k20", 1, ""); });
  EXPECT_THAT(k20, HasSubstr("declares kp_driving with 20 keypoint rows"));
  EXPECT_THAT(k20, ::testing::Not(HasSubstr("WIDTH ROW")));
  director("kdyn", {.kpRows = -1, .crop = kCrop});
  EXPECT_EQ(errorOf([&] { Renderer r(*manifest, *identity, "kdyn", 1, ""); }), "");
  director("pdyn", {.batch = 1, .pooledBatch = -1, .crop = kCrop});
  EXPECT_EQ(errorOf([&] { Renderer r(*manifest, *identity, "pdyn", 1, ""); }),
            "pooled64 input not found / bad shape");
}

TEST_F(RendererTest, NoWarpPriorForAStandardGraph) {
  makeBundle(/*fsRed=*/true);
  director("b1", {.crop = kCrop});
  std::remove((t / "P.f16").c_str());
  Identity fsOnly(*manifest);
  EXPECT_THAT(errorOf([&] { Renderer r(*manifest, fsOnly, "b1", 1, ""); }),
              StartsWith("m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor "
                         "fs_red.f16, nor a P_hevc.mov to play in place is present"));
}

TEST_F(RendererTest, ExecutionProviders) {
  makeBundle();
  director("b1", {.crop = kCrop});
  EXPECT_EQ(errorOf([&] { Renderer r(*manifest, *identity, "b1", 1, "cpu"); }), "Renderer: unknown ep 'cpu'");
  // The XNNPACK refusal comes before any file is read: even a missing model gets it.
  EXPECT_THAT(errorOf([&] { Renderer r(*manifest, *identity, "missing", 1, "xnnpack"); }),
              StartsWith("Renderer: ep 'xnnpack' is REFUSED."));
  EXPECT_EQ(errorOf([&] { Renderer r(*manifest, *identity, "missing", 1, ""); }),
            "Renderer: cannot open " + (t / "model_missing.onnx"));

  testing::internal::CaptureStderr();
  {
    Renderer r(*manifest, *identity, "b1", 1, "coreml:ane");  // this ORT build has no CoreML provider
    EXPECT_STREQ(r.ep(), "cpu");
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("[qo] CoreML EP session refused: "));
  EXPECT_THAT(log, HasSubstr(" \xE2\x80\x94 falling back to the ORT CPU EP\n"));

  testing::internal::CaptureStderr();
  {
    Renderer r(*manifest, *identity, "b1", 1, "neon");
    EXPECT_STREQ(r.ep(), "cpu");
    EXPECT_STREQ(r.backend(), "ort");
  }
  {
    test::ScopedEnv env("QO_CONV_BACKEND", "neon");
    Renderer r(*manifest, *identity, "b1", 1, "");
  }
  log = testing::internal::GetCapturedStderr();
  // This build has the native engine, so the demo director is refused as not being the m4b graph.
  const std::string line = "is not the fused m4b graph (golden/unified director?); using ORT\n";
  EXPECT_EQ(log.find(line) != std::string::npos && log.find(line, log.find(line) + 1) != std::string::npos, true);
  EXPECT_THAT(coremlCacheDir("/b"), StartsWith("/b/.coreml_cache/ort1."));
}

TEST_F(RendererTest, TeardownReportsRunTime) {
  makeBundle();
  director("b1", {.crop = kCrop});
  testing::internal::CaptureStderr();
  {
    Renderer r(*manifest, *identity, "b1", 1, "");
    const int32_t si = 0;
    const std::vector<float> kp(63);
    r.render(&si, kp.data(), kp.data(), 1);
    r.render(&si, kp.data(), kp.data(), 1);
  }
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              ::testing::ContainsRegex("\\[qo-director-ort\\] 2 frames: [0-9]+\\.[0-9][0-9] ms/frame in Session::Run"));
}

TEST_F(RendererTest, BakedGridSampleFastIsRefusedWithoutItsKernel) {
  makeBundle();
  onnx::ModelBuilder b;
  b.opset("com.corvanta", 1);
  b.input("x", onnx::kFloat, {1, 3, 4, 4});
  b.input("g", onnx::kFloat, {1, 4, 4, 2});
  b.node("GridSampleFast", {"x", "g"}, {"y"}, {}, {.domain = "com.corvanta"});
  b.output("y", onnx::kFloat, {1, 3, 4, 4});
  b.save(t / "model_baked.onnx");
  test::ScopedEnv env("QO_GS_FAST", "0");
  EXPECT_THAT(errorOf([&] { Renderer r(*manifest, *identity, "baked", 1, ""); }),
              StartsWith("Renderer: QO_GS_FAST=0 (or CORVANTA_OSTREL2_GRIDSAMPLE_FAST=0, which sets it) was asked for, "
                         "but " + (t / "model_baked.onnx") + " has com.corvanta::GridSampleFast BAKED INTO THE GRAPH."));
}


// The demo director carries a standard GridSample and the cubic head: both rewrites apply, and
// the crops agree with ORT's own operators.
TEST_F(RendererTest, DemoDirectorRewritesKeepTheCrops) {
  makeBundle();
  test::ScopedEnv noRewriteSwitch("QO_GS_REWRITE", nullptr);
  std::vector<float> ks(63), kd(63);
  for (int i = 0; i < 63; ++i) {
    ks[size_t(i)] = 0.3f * std::sin(0.7f * float(i));
    kd[size_t(i)] = ks[size_t(i)] + 0.05f * std::cos(1.3f * float(i));
  }
  const size_t frame = size_t(3) * kCrop * kCrop;
  auto render = [&](std::string& log) {
    testing::internal::CaptureStderr();
    std::vector<float> crop;
    {
      Renderer r(*manifest, *identity, "b1", 1, "");
      const int32_t si = 2;
      const float* out = r.render(&si, ks.data(), kd.data(), 1);
      crop.assign(out, out + frame);
    }
    log = testing::internal::GetCapturedStderr();
    return crop;
  };
  const std::string gsLine = "[qo] std GridSample -> com.corvanta::GridSampleFast load-time rewrite: 1 node(s) (b1)\n";
  const std::string headLine = "[qo] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: "
                               "1 node(s) (b1)";
  std::string log;
  const std::vector<float> fast = render(log);
  EXPECT_THAT(log, HasSubstr(gsLine));
  EXPECT_THAT(log, HasSubstr(headLine));
  std::vector<float> plain;
  {
    test::ScopedEnv off("QO_GS_FAST", "0");
    plain = render(log);
  }
  EXPECT_THAT(log, ::testing::Not(HasSubstr("GridSampleFast load-time rewrite")));
  EXPECT_THAT(log, HasSubstr(headLine));
  {
    test::ScopedEnv off("QO_GS_REWRITE", "0");
    const std::vector<float> unrewritten = render(log);
    EXPECT_EQ(unrewritten, plain);
  }
  EXPECT_THAT(log, HasSubstr("[qo] QO_GS_REWRITE=0: load-time std GridSample -> com.corvanta::GridSampleFast rewrite "
                             "DISABLED (b1); the custom op is still registered"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("GridSampleFast load-time rewrite")));
  float worst = 0;
  for (size_t i = 0; i < frame; ++i) worst = std::max(worst, std::fabs(fast[i] - plain[i]));
  EXPECT_LE(worst, 1e-4f);
  EXPECT_GT(*std::max_element(fast.begin(), fast.end()), 0.1f);  // a face, not an empty crop
}

}  // namespace
}  // namespace qo
