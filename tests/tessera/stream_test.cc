// StreamBorrow: the stream gives the batch runner's windows on the same crops, masks and shifts;
// the quantisation and write-back arithmetic; an empty mouth mask; construction refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo/qo_tessera.h"
#include "tessera/qo_tessera_stream.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_pi.h"
#include "tools/devkit/demo_tessera.h"

namespace qo::tessera {
namespace {

using ::testing::HasSubstr;

constexpr int kCrop = 32;

struct Demo {
  devkit::DemoBank bank = devkit::demoBank(kCrop, 24);
  std::string head = devkit::demoHeadPt();
  std::string config = devkit::demoHeadConfig();
  std::string manifest = "{\"unified\": " + devkit::demoUnifiedManifestBlock(kCrop) + "}";
  std::string lip = devkit::demoLipTemplateJson(kCrop);

  BankData data(std::array<int32_t, 12> stamp = devkit::demoTesseraStamp(kCrop)) const {
    BankData d;
    d.stamp = GeometryStamp::fromValues(stamp);
    d.n_donors = bank.n;
    d.bands = bank.donorBands;
    d.cent = bank.cent;
    d.c_canon = {bank.c_canon[0], bank.c_canon[1]};
    d.aperture = bank.aperture;
    return d;
  }
  std::unique_ptr<StreamBorrow> borrow(bool withLip = true) const {
    return std::make_unique<StreamBorrow>(data(), loadHeadPt(reinterpret_cast<const uint8_t*>(head.data()), head.size()),
                                          ServeConfig::fromHeadMemberJson(config),
                                          UnifiedPi::fromManifestJson(manifest, kCrop), withLip ? lip : "");
  }
};

std::vector<float> crop(float open) {
  std::vector<float> planes(size_t(3) * kCrop * kCrop);
  devkit::renderCrop(kCrop, open, planes.data());
  return planes;
}

TEST(TesseraStream, QuantisesTiesToEven) {
  // The float whose product with 255 is exactly k + 0.5.
  auto tie = [](float k) {
    float v = (k + 0.5f) / 255.0f;
    for (int i = 0; i < 64 && v * 255.0f != k + 0.5f; ++i) v = std::nextafter(v, v * 255.0f < k + 0.5f ? 1.0f : 0.0f);
    EXPECT_EQ(v * 255.0f, k + 0.5f);
    return v;
  };
  EXPECT_EQ(StreamBorrow::quantise(tie(2)), 2);
  EXPECT_EQ(StreamBorrow::quantise(tie(3)), 4);
  EXPECT_EQ(StreamBorrow::quantise(-0.2f), 0);
  EXPECT_EQ(StreamBorrow::quantise(std::nanf("")), 0);
  EXPECT_EQ(StreamBorrow::quantise(7.0f), 255);
}

// Every window the stream releases equals the batch runner's for the same frames, masks and shifts.
TEST(TesseraStream, MatchesTheBatchRunner) {
  const Demo demo;
  testing::internal::CaptureStderr();
  auto b = demo.borrow();
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("[borrow] delivery mask: LIP CONTOUR ("));
  const UnifiedPi pi = UnifiedPi::fromManifestJson(demo.manifest, kCrop);
  LipContour contour = LipContour::fromTemplateJson(demo.lip, kCrop);

  const int frames = 7;
  const size_t canvas = size_t(kCrop) * kCrop;
  std::vector<uint8_t> rgb(frames * canvas * 3), masks(frames * canvas);
  std::vector<int32_t> shifts(2 * frames);
  std::vector<FrameResult> got;
  FrameResult r;
  for (int k = 0; k < frames; ++k) {
    const float open = 0.1f + 0.08f * float(k);
    const std::vector<float> c = crop(open);
    const auto kp = devkit::faceKeypoints(open);
    if (b->push(c.data(), kp.data(), r)) got.push_back(r);
    // The reference canvas, mask and shift, built independently.
    for (size_t p = 0; p < canvas; ++p)
      for (int ch = 0; ch < 3; ++ch) {
        const float v = c[ch * canvas + p];
        rgb[(k * canvas + p) * 3 + ch] = v > 0 ? uint8_t(std::nearbyint(std::min(v, 1.0f) * 255.0f)) : 0;
      }
    EXPECT_EQ(0, std::memcmp(b->canvasRgb().data(), &rgb[k * canvas * 3], canvas * 3)) << k;
    const double ref[2] = {demo.bank.c_canon[0], demo.bank.c_canon[1]};
    int32_t ry = 0, rx = 0;
    const bool ok = contour.deliveredU8AndShift(kp.data(), pi, ref, &masks[k * canvas], &ry, &rx);
    shifts[2 * k] = ok ? ry : -10000;
    shifts[2 * k + 1] = ok ? rx : 0;
  }
  if (b->flush(r)) got.push_back(r);
  ASSERT_EQ(int(got.size()), frames);

  const GeometryStamp s = GeometryStamp::fromValues(devkit::demoTesseraStamp(kCrop));
  const size_t window = size_t(s.window_w) * s.window_h * 3;
  std::vector<uint8_t> windows(frames * window);
  std::vector<uint32_t> flags(frames);
  char err[256] = "";
  ASSERT_EQ(0, qo_tessera_run_shift(demo.bank.donorBands.data(), demo.bank.n, demo.bank.cent.data(),
                                    demo.bank.c_canon.data(), demo.bank.aperture.data(), devkit::demoTesseraStamp(kCrop).data(),
                                    reinterpret_cast<const uint8_t*>(demo.head.data()), int(demo.head.size()),
                                    demo.config.c_str(), rgb.data(), masks.data(), shifts.data(), frames,
                                    windows.data(), flags.data(), err, sizeof err))
      << err;
  int borrowed = 0;
  for (int k = 0; k < frames; ++k) {
    ASSERT_EQ(got[k].skipped, flags[k] != 0) << k;
    if (got[k].skipped) continue;
    ++borrowed;
    ASSERT_EQ(got[k].rgb.size(), window);
    EXPECT_EQ(0, std::memcmp(got[k].rgb.data(), &windows[k * window], window)) << k;
  }
  EXPECT_EQ(borrowed, frames);
  EXPECT_EQ(b->frameCounter(), frames);
}

TEST(TesseraStream, WriteBackKeepsTheSubByteRemainder) {
  const GeometryStamp s = GeometryStamp::fromValues(devkit::demoTesseraStamp(kCrop));
  FrameResult r;
  r.rgb.assign(size_t(s.window_w) * s.window_h * 3, 130);
  std::vector<float> planes(size_t(3) * kCrop * kCrop, 0.50196f);
  StreamBorrow::writeWindowDelta(planes.data(), kCrop, r, s);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < kCrop; ++y)
      for (int x = 0; x < kCrop; ++x) {
        const bool inside = x >= s.window_x0 && x < s.window_x0 + s.window_w && y >= s.window_y0 &&
                            y < s.window_y0 + s.window_h;
        const float v = planes[(size_t(c) * kCrop + y) * kCrop + x];
        if (inside) ASSERT_NEAR(v, 0.50196f + 2.0f / 255.0f, 1e-6f);
        else ASSERT_EQ(v, 0.50196f);
      }
  std::vector<uint8_t> rgba(size_t(4) * kCrop * kCrop, 128);
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), kCrop, r, s);
  const size_t in = (size_t(s.window_y0) * kCrop + s.window_x0) * 4;
  EXPECT_EQ(rgba[in], 130);
  EXPECT_EQ(rgba[in + 3], 255);
  EXPECT_EQ(rgba[0], 128);
  EXPECT_EQ(rgba[3], 255);

  r.rgb.resize(r.rgb.size() - 3);
  try {
    StreamBorrow::writeWindowDelta(planes.data(), kCrop, r, s);
    FAIL() << "a short window was written back";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
                                    std::to_string(s.window_w)));
  }
}

// A mouth whose pi mask is empty comes back skipped; the canvas stays, the alpha still becomes 255.
TEST(TesseraStream, EmptyPiIsSkippedAndLeavesTheCanvas) {
  const Demo demo;
  testing::internal::CaptureStderr();
  auto b = demo.borrow(false);
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("[borrow] !!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no lip_template.v1.json"));
  std::array<float, 63> away;
  away.fill(9.0f);  // every keypoint far off the canvas
  const std::vector<float> c = crop(0.3f);
  FrameResult r;
  EXPECT_FALSE(b->push(c.data(), away.data(), r));
  EXPECT_TRUE(b->push(c.data(), devkit::faceKeypoints(0.3f).data(), r));
  EXPECT_TRUE(r.skipped);
  EXPECT_EQ(r.reason, "empty-pi");
  std::vector<float> planes = c;
  StreamBorrow::writeWindowDelta(planes.data(), kCrop, r, b->stamp());
  EXPECT_EQ(planes, c);
  std::vector<uint8_t> rgba(size_t(4) * kCrop * kCrop, 7), want = rgba;
  for (size_t p = 3; p < want.size(); p += 4) want[p] = 255;
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), kCrop, r, b->stamp());
  EXPECT_EQ(rgba, want);
  // The RGBA push sees the same canvas as the float one.
  for (size_t p = 0; p < size_t(kCrop) * kCrop; ++p)
    for (int ch = 0; ch < 3; ++ch) rgba[p * 4 + ch] = uint8_t(p * 3 + ch);
  b->pushRgba(rgba.data(), away.data(), r);
  EXPECT_EQ(b->canvasRgb()[5], 5);
  EXPECT_EQ(b->canvasRgb()[3 * 100 + 2], uint8_t(302));
}

TEST(TesseraStream, RefusesCanvasesTheStampDoesNotName) {
  const Demo demo;
  const HeadWeights head = loadHeadPt(reinterpret_cast<const uint8_t*>(demo.head.data()), demo.head.size());
  const ServeConfig config = ServeConfig::fromHeadMemberJson(demo.config);
  auto fault = [&](const BankData& bank, const UnifiedPi& pi) -> std::string {
    try {
      StreamBorrow b(bank, head, config, pi, "");
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  };
  std::array<int32_t, 12> tall = devkit::demoTesseraStamp(kCrop);
  tall[1] = kCrop + 8;
  testing::internal::CaptureStderr();
  EXPECT_THAT(fault(demo.data(tall), UnifiedPi::fromManifestJson(demo.manifest, kCrop)),
              HasSubstr("teeth stream: non-square compose canvas 32x40"));
  UnifiedPi wide = UnifiedPi::fromManifestJson(demo.manifest, kCrop);
  wide.canvas = 64;
  EXPECT_THAT(fault(demo.data(), wide),
              HasSubstr("teeth stream: manifest pi canvas 64 != bank compose canvas 32"));
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace qo::tessera
