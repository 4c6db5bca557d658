// The renderer's "neon" mode: delegation to the native engine, fall-backs and refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <dirent.h>
#include <functional>
#include <string>
#include <vector>

#include "qo/qo_bundle.h"
#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "render/qo_conv.h"
#include "support/test_support.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_m4b.h"

namespace qo {
namespace {

using ::testing::HasSubstr;
using devkit::M4bOptions;
using devkit::NamedTensors;

const char* kRefusedLine =
    "[qo] NEON backend refused: m4b is not the fused m4b graph (golden/unified director?); using ORT\n";

class RendererNeonTest : public ::testing::Test {
 protected:
  test::ScopedEnv noBackend{"QO_CONV_BACKEND", nullptr};
  test::ScopedEnv noDump{"QO_CONV_DUMP", nullptr};
  test::TempDir t;
  std::unique_ptr<Manifest> manifest;
  std::unique_ptr<Identity> identity;

  void makeBundle(int crop, const M4bOptions& o = {}) {
    devkit::DemoOptions d;
    d.width = 640, d.height = 576, d.crop = crop, d.nt = 2;
    d.audio = false;
    devkit::writeDemoBundle(t.path(), d);
    devkit::writeM4bDirector(t / "model_m4b.onnx", o);
    manifest = std::make_unique<Manifest>(loadManifest(t.path()));
    identity = std::make_unique<Identity>(*manifest);
  }
  // Builds the renderer, returning what it wrote to stderr.
  std::string build(const std::string& ep, std::unique_ptr<Renderer>& r) {
    testing::internal::CaptureStderr();
    try {
      r = std::make_unique<Renderer>(*manifest, *identity, "m4b", 2, ep);
    } catch (...) {
      testing::internal::GetCapturedStderr();
      throw;
    }
    return testing::internal::GetCapturedStderr();
  }
  size_t filesIn(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
      closedir(d);
    }
    return n;
  }
};

TEST_F(RendererNeonTest, NeonModeRendersWhatOrtRendersAndDumpsNothingUnasked) {
  makeBundle(512);
  const size_t before = filesIn(t.path());
  std::unique_ptr<Renderer> neon, ort;
  build("neon", neon);
  EXPECT_STREQ(neon->ep(), "neon");
  EXPECT_STREQ(neon->backend(), "neon");
  EXPECT_EQ(neon->batch(), 1);
  build("", ort);
  EXPECT_STREQ(ort->backend(), "ort");

  const Drive drive = loadDrive(*manifest);  // source and driving sets of drive frame 1
  const std::vector<float>& xs = drive.xs;
  const std::vector<float>& xd = drive.xd;
  const int32_t si = 1;
  const float* a = neon->render(&si, xs.data() + 63, xd.data() + 63, 1);
  const std::vector<float> engine(a, a + 3 * 512 * 512);
  const float* b = ort->render(&si, xs.data() + 63, xd.data() + 63, 1);
  float worst = 0.0f, peak = 0.0f;
  for (size_t i = 0; i < engine.size(); ++i) {
    worst = std::max(worst, std::fabs(engine[i] - b[i]));
    peak = std::max(peak, std::fabs(b[i]));
  }
  EXPECT_GT(peak, 0.1f);
  EXPECT_LE(worst, 8.0f / 2048.0f * peak);  // the engine test's fp16 bound
  EXPECT_EQ(filesIn(t.path()), before) << "QO_CONV_DUMP unset, yet files appeared";
  EXPECT_THAT([&] { neon->render(&si, xs.data(), xd.data(), 2); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("render: bad n")));
}

TEST_F(RendererNeonTest, EnvironmentSelectsNeonOnlyWithAnEmptyProvider) {
  makeBundle(512);
  test::ScopedEnv env("QO_CONV_BACKEND", "neon");
  std::unique_ptr<Renderer> r;
  build("", r);
  EXPECT_STREQ(r->ep(), "neon");
}

struct Refusal {
  const char* what;
  std::function<void(M4bOptions&)> graph;
  const char* reason;
};

TEST_F(RendererNeonTest, UnsupportedGraphsFallBackToOrtWithTheirLine) {
  const std::vector<Refusal> cases = {
      {"ambiguous basis",
       [](M4bOptions& o) {
         o.editInitializers = [](NamedTensors& v) {
           for (size_t i = 0; i < v.size(); ++i)
             if (v[i].first == "onnx::MatMul_338") {
               v.emplace_back("onnx::MatMul_339", v[i].second);
               break;
             }
         };
       },
       "basis (64,196608) absent or ambiguous"},
      {"pre weight without counter", [](M4bOptions& o) { o.preWeight = "onnx::Conv_pre"; },
       "pre weight name carries no SSA counter"},
      {"pre bias missing", [](M4bOptions& o) { o.preBias = "onnx::Conv_399"; },
       "pre bias onnx::Conv_314 absent or not (96)"},
      {"fixed initializer misshaped",
       [](M4bOptions& o) {
         o.editInitializers = [](NamedTensors& v) {
           for (auto& [name, t] : v)
             if (name == "s.grid64") t.dims = {1, 64, 64, 2};  // still broadcasts for ORT
         };
       },
       "s.grid64 absent or not (64,64,2)"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    M4bOptions o;
    c.graph(o);
    makeBundle(512, o);
    std::string reason;
    EXPECT_FALSE(ConvBackend::graphSupported(t / "model_m4b.onnx", &reason));
    EXPECT_EQ(reason, c.reason);
    EXPECT_THAT([&] { ConvBackend::create(t / "model_m4b.onnx", 1); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(
                    std::string("qo_conv: this graph is not the fused m4b topology this kernel implements (") +
                    c.reason + ") \xE2\x80\x94 use ORT for it")));
    std::unique_ptr<Renderer> r;
    EXPECT_THAT(build("neon", r), HasSubstr(kRefusedLine));
    EXPECT_STREQ(r->ep(), "cpu");
    EXPECT_STREQ(r->backend(), "ort");
  }
}

TEST_F(RendererNeonTest, RefusesCropOtherThan512AndBadTensorData) {
  makeBundle(256);
  std::unique_ptr<Renderer> r;
  EXPECT_THAT([&] { build("neon", r); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("qo_conv: only crop=512 m4b bundles")));

  // Raw data one float short of, or one float past, the declared shape.
  for (int delta : {-4, 4}) {
    M4bOptions o;
    o.editInitializers = [delta](NamedTensors& v) {
      for (auto& [name, t] : v)
        if (name == "s.e1.conv.weight") t.raw.resize(size_t(long(t.raw.size()) + delta));
    };
    devkit::writeM4bDirector(t / "bad.onnx", o);
    EXPECT_TRUE(ConvBackend::graphSupported(t / "bad.onnx"));  // shapes alone are right
    EXPECT_THAT([&] { ConvBackend::create(t / "bad.onnx", 1); },
                ::testing::ThrowsMessage<std::runtime_error>(
                    ::testing::StrEq("onnx: raw size mismatch s.e1.conv.weight")));
  }
  EXPECT_FALSE(ConvBackend::graphSupported(t / "missing.onnx"));
  EXPECT_THAT([&] { ConvBackend::create(t / "missing.onnx", 1); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("qo_conv: cannot open " + t / "missing.onnx")));
}

}  // namespace
}  // namespace qo
