// The pi compose mask: hand-computed small canvases, the byte rounding, the boxed and shrunk
// forms against the whole-canvas mask, the manifest refusals, and the corpus identification.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/qo_tessera_pi.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_pi.h"
#include "tools/devkit/demo_tessera.h"

namespace qo::tessera {
namespace {

using ::testing::HasSubstr;
using Kp = std::array<float, kKeypointFloats>;

std::string manifest(const std::string& pi, const std::string& extra = "") {
  return "{\"unified\": {\"pi\": {" + pi + "}" + extra + "}}";
}
std::string piBody(const std::string& geom = "[0.01, 0.25, 0]", const std::string& more = "") {
  return "\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [17, 18, 19, 20], \"lip_geom_params\": " + geom +
         more;
}

// Lips around (cx, cy): corners at cx -+ ex, top and bottom at cy -+ ey.
Kp lips(float cx, float cy, float ex, float ey) {
  Kp k{};
  k[17 * 3] = cx - ex, k[17 * 3 + 1] = cy;
  k[18 * 3] = cx + ex, k[18 * 3 + 1] = cy;
  k[19 * 3] = cx, k[19 * 3 + 1] = cy - ey;
  k[20 * 3] = cx, k[20 * 3 + 1] = cy + ey;
  return k;
}

std::string refusal(const std::string& text, int32_t canvas = 9) {
  try {
    UnifiedPi::fromManifestJson(text, canvas);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(TesseraPi, HandComputedNineByNine) {
  // Grid step 0.25; rx = ry = 0.26, k = 66.56, centre (0.25, 0) = pixel (5, 4). The four axial
  // neighbours sit at d = 0.25 / 0.26: t = 0.256, s(t) = 0.16305, 41.58 -> 42; the rest at d >= 1.
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBody()), 9);
  EXPECT_FLOAT_EQ(pi.gx[3], -0.25f);
  EXPECT_EQ(pi.gy, pi.gx);
  const Kp kp = lips(0.25f, 0, 0.25f, 0.01f);
  std::vector<uint8_t> m(81, 7);
  pi.piU8(kp.data(), m.data());
  std::vector<uint8_t> want(81, 0);
  want[4 * 9 + 5] = 255;
  want[4 * 9 + 4] = want[4 * 9 + 6] = want[3 * 9 + 5] = want[5 * 9 + 5] = 42;
  EXPECT_EQ(m, want);
  double cx = 0, cy = 0;
  ASSERT_TRUE(pi.piU8Centroid(m.data(), &cx, &cy));
  EXPECT_EQ(cx, 5.0);
  EXPECT_EQ(cy, 4.0);
  // h = 4: x0 = floor(0.99 * 4) - 1 = 2, x1 = ceil(1.51 * 4) + 2 = 9, y0 = 1, y1 = ceil(1.26 * 4) + 2 = 8.
  const Box b = pi.ellBox(pi.lipParams(kp.data()));
  EXPECT_EQ((std::array<int32_t, 4>{b.x0, b.y0, b.x1, b.y1}), (std::array<int32_t, 4>{2, 1, 9, 8}));

  // Shifts round half to even: 5 - 3.5 = 1.5 -> 2, 4 - 1.5 = 2.5 -> 2; 0.5 -> 0, 1.5 -> 2.
  int32_t rs = 9, cs = 9;
  const double ref1[2] = {3.5, 1.5}, ref2[2] = {4.5, 2.5};
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), ref1, m.data(), &rs, &cs));
  EXPECT_EQ(m, want);
  EXPECT_EQ(rs, 2);
  EXPECT_EQ(cs, 2);
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), ref2, m.data(), &rs, &cs));
  EXPECT_EQ(rs, 2);
  EXPECT_EQ(cs, 0);
  // Lips off the canvas: nothing to measure, the shifts stay.
  const Kp away = lips(5, 5, 0.25f, 0.01f);
  EXPECT_FALSE(pi.piU8AndShift(away.data(), ref1, m.data(), &rs, &cs));
  EXPECT_EQ(rs, 2);
  EXPECT_EQ(std::vector<uint8_t>(81, 0), m);
  EXPECT_THAT(refusal("x"), HasSubstr("teeth: manifest.json is not readable JSON"));
  try {
    pi.canonicalCentroid(away.data(), 1, &cx, &cy);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("teeth-pi: pi is empty on every source frame"));
  }

  // Corner recovery: dmax = 0.25 / 0.26, 5 / k0 = 5 / 66.56, so the radii grow by 1.03663.
  const UnifiedPi cr =
      UnifiedPi::fromManifestJson(manifest(piBody("[0.01, 0.25, 0]", ", \"corner_recovery\": true")), 9);
  EXPECT_NEAR(cr.lipParams(kp.data()).rx, 0.26 * (5 / 66.56 + 0.25 / 0.26), 1e-5);
  EXPECT_FLOAT_EQ(pi.lipParams(kp.data()).rx, 0.26f);
}

TEST(TesseraPi, CentroidThresholdAndBox) {
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBody()), 4);
  const std::vector<uint8_t> m = {0, 127, 0, 0,  //
                                  128, 0, 0, 0,  //
                                  0, 0, 0, 255,  //
                                  0, 0, 0, 0};
  double cx = 0, cy = 0;
  ASSERT_TRUE(pi.piU8Centroid(m.data(), &cx, &cy));
  EXPECT_EQ(cx, 1.5);  // (0 + 3) / 2
  EXPECT_EQ(cy, 1.5);  // (1 + 2) / 2
  ASSERT_TRUE(pi.piU8Centroid(m.data(), Box{2, 0, 9, 9}, &cx, &cy));  // clipped to the canvas
  EXPECT_EQ(cx, 3.0);
  EXPECT_FALSE(pi.piU8Centroid(m.data(), Box{0, 0, 2, 1}, &cx, &cy));  // only the 127
}

TEST(TesseraPi, GateFactorAndClosedLips) {
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBody("[0.05, 0.08, 0.015]")), 48);
  float g = -1;
  const Kp closed = lips(0, 0, 0.3f, 0.02f), half = lips(0, 0, 0.3f, 0.025f), open = lips(0, 0, 0.3f, 0.03f);
  pi.gateParams(closed.data(), &g);
  EXPECT_EQ(g, 0.0f);
  pi.gateParams(half.data(), &g);
  EXPECT_NEAR(g, 0.5f, 1e-4);
  pi.gateParams(open.data(), &g);
  EXPECT_EQ(g, 1.0f);
  // Shut gate: the mask is the lip ellipse alone.
  std::vector<float> lip(48 * 48), gate(48 * 48, 1);
  pi.propTeethGate(closed.data(), gate.data());
  EXPECT_EQ(std::vector<float>(48 * 48, 0), gate);
  pi.lipMask(closed.data(), lip.data());
  std::vector<uint8_t> m(48 * 48);
  pi.piU8(closed.data(), m.data());
  for (size_t i = 0; i < m.size(); ++i) ASSERT_EQ(m[i], uint8_t(std::nearbyint(lip[i] * 255))) << i;
}

TEST(TesseraPi, BoxedAndShrunkAgreeWithTheWholeCanvas) {
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      manifest(piBody("[0.10, 0.08, 0.074]", ", \"corner_recovery\": \"lip_landmark_half\", \"prop_gate_scale\": 1.6")),
      96);
  const Kp kp = lips(0.1f, 0.3f, 0.25f, 0.12f);
  std::vector<uint8_t> whole(96 * 96), boxed(96 * 96, 9), shrunk(96 * 96, 9);
  pi.piU8(kp.data(), whole.data());
  pi.piU8Boxed(kp.data(), boxed.data());
  EXPECT_EQ(whole, boxed);
  const Box s = pi.supportBox(kp.data());
  EXPECT_LT((s.x1 - s.x0) * (s.y1 - s.y0), 96 * 96 / 2);

  // min(other, pi) inside box and support where other > 0. A value that scales to exactly 127.5
  // rounds to 128, one at 126.5 to 126 (ties to even); the mask is 255 at the lip centre.
  float v126 = 126.5f / 255.0f;
  for (int i = 0; i < 64 && v126 * 255.0f != 126.5f; ++i) v126 = std::nextafter(v126, i % 2 ? 1.0f : 0.0f);
  ASSERT_EQ(v126 * 255.0f, 126.5f);
  std::vector<float> other(96 * 96, 1.0f);
  const size_t c = size_t(std::lround((0.3 + 0.074 + 1) * 47.5)) * 96 + size_t(std::lround(1.1 * 47.5));
  ASSERT_EQ(whole[c], 255);
  other[c] = 0.5f;
  other[c + 1] = v126;
  other[c + 2] = 0.0f;
  const Box clip{s.x0, s.y0, int32_t(c % 96) + 3, 96};
  pi.piU8ShrunkBy(kp.data(), other.data(), clip, shrunk.data());
  EXPECT_EQ(shrunk[c], 128);
  EXPECT_EQ(shrunk[c + 1], 126);
  EXPECT_EQ(shrunk[c + 2], 0);
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 96; ++x) {
      const size_t i = size_t(y) * 96 + x;
      if (i == c || i == c + 1 || i == c + 2) continue;
      const bool in = x >= clip.x0 && x < clip.x1 && y >= s.y0 && y < s.y1;
      ASSERT_EQ(shrunk[i], in ? whole[i] : 0) << x << "," << y;
    }
}

TEST(TesseraPi, ManifestRefusalsInOrder) {
  EXPECT_THAT(refusal("{\"crop\": 1}"), HasSubstr("teeth-pi: manifest has no `unified` block"));
  EXPECT_EQ(refusal("{\"unified\": {}}"), "teeth: member JSON lacks key 'pi'");
  EXPECT_EQ(refusal(manifest("\"lip_idx\": []")), "teeth: member JSON lacks key 'mode'");
  EXPECT_EQ(refusal(manifest("\"mode\": 3, \"lip_idx\": []")), "teeth-pi: unified.pi.mode is not a string");
  EXPECT_THAT(refusal(manifest("\"mode\": \"ellipse\", \"lip_idx\": []")),
              HasSubstr("teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name"));
  for (const char* cr : {"false", "true", "\"lip_landmark_half\""})
    EXPECT_EQ(refusal(manifest(piBody("[0, 0, 0]", std::string(", \"corner_recovery\": ") + cr))), "accepted") << cr;
  for (const char* cr : {"1", "\"lip_landmark\""})
    EXPECT_THAT(refusal(manifest(piBody("[0, 0, 0]", std::string(", \"corner_recovery\": ") + cr))),
                HasSubstr("teeth-pi: unknown unified.pi.corner_recovery")) << cr;
  EXPECT_EQ(refusal(manifest("\"mode\": \"prop\", \"lip_idx\": []")), "teeth: member JSON lacks key 'prop_gate_scale'");
  EXPECT_EQ(refusal(manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": []")),
            "teeth-pi: unified.pi.lip_idx is not a non-empty array");
  // A row outside the 21 keypoints is refused when read, naming the entry.
  auto withIdx = [](const std::string& idx) {
    return manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": " + idx +
                    ", \"lip_geom_params\": [0,0,0]");
  };
  EXPECT_THAT(refusal(withIdx("[17, 21]")),
              HasSubstr("teeth-pi: unified.pi.lip_idx entry 1 (21) is not a keypoint row 0..20"));
  EXPECT_THAT(refusal(withIdx("[-1]")), HasSubstr("lip_idx entry 0 (-1)"));
  EXPECT_EQ(refusal(withIdx("[0, 20.9]")), "accepted");  // truncated to 20
  EXPECT_EQ(refusal(manifest(piBody("[1, 2]"))), "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  EXPECT_EQ(refusal(manifest(piBody(), ", \"crop\": {\"canvas\": 512}")),
            "teeth-pi: engine renders at canvas 9 but unified.crop.canvas is 512");
  EXPECT_EQ(refusal(manifest(piBody(), ", \"crop\": {\"canvas\": 9}")), "accepted");
  const UnifiedPi one = UnifiedPi::fromManifestJson(manifest(piBody()), 1);
  EXPECT_EQ(one.gx, std::vector<float>{-1.0f});
  EXPECT_EQ(one.gy, std::vector<float>{-1.0f});
}

// A point at distance r1 from a and r2 from b.
std::array<double, 2> at(const double a[2], const double b[2], double r1, double r2) {
  const double dx = b[0] - a[0], dy = b[1] - a[1], l = std::hypot(dx, dy);
  const double along = (r1 * r1 - r2 * r2 + l * l) / (2 * l), h = std::sqrt(r1 * r1 - along * along);
  return {a[0] + along * dx / l - h * dy / l, a[1] + along * dy / l + h * dx / l};
}

std::string corpus(const std::string& text, const float* xs, const std::array<double, 2>& c) {
  std::string name;
  try {
    UnifiedPi::corpusFromManifestJson(text, 1024, xs, 1, c.data(), &name);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return name;
}

TEST(TesseraPi, CorpusGeometryIdentified) {
  // A wide gate over narrow lips, so the lip width moves the centroid: at canvas 1024 v2 and v3
  // land 3.6 px apart and v1 about 20 px from both.
  const std::string text =
      manifest("\"mode\": \"prop\", \"prop_gate_scale\": 3, \"lip_idx\": [17, 18, 19, 20], "
               "\"lip_geom_params\": [0, 0, 0]");
  const Kp kp = lips(0, 0, 0.05f, 0.03f);
  const UnifiedPi base = UnifiedPi::fromManifestJson(text, 1024);
  const float table[3][3] = {{0.05f, 0.08f, 0.015f}, {0.10f, 0.08f, 0.074f}, {0.14f, 0.08f, 0.074f}};
  double c[3][2];
  for (int i = 0; i < 3; ++i) {
    UnifiedPi v = base;
    v.pad_x = table[i][0], v.pad_y = table[i][1], v.down = table[i][2];
    v.canonicalCentroid(kp.data(), 1, &c[i][0], &c[i][1]);
  }
  const double l23 = std::hypot(c[1][0] - c[2][0], c[1][1] - c[2][1]);
  ASSERT_GT(l23, 3.02);  // room for the points below
  ASSERT_LT(l23, 4.49);
  ASSERT_GT(std::hypot(c[0][0] - c[1][0], c[0][1] - c[1][1]), 12.0);

  EXPECT_EQ(corpus(text, kp.data(), {c[0][0], c[0][1]}), "v1");
  EXPECT_EQ(corpus(text, kp.data(), at(c[1], c[2], 1.00, 4.01)), "v2");  // 3.01 px apart
  EXPECT_EQ(corpus(text, kp.data(), at(c[2], c[1], 1.00, 4.01)), "v3");
  // Second best less than 3 px further than the best is refused: 1.00 / 3.50 and 1.00 / 2.99.
  EXPECT_THAT(corpus(text, kp.data(), at(c[1], c[2], 1.00, 3.50)),
              HasSubstr("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) \xE2\x80\x94 v2=1.00px "
                        "v3=3.50px v1="));
  EXPECT_THAT(corpus(text, kp.data(), at(c[1], c[2], 1.00, 2.99)), HasSubstr("v2=1.00px v3=2.99px"));
  // Best at 8.01 px (straight up from v1, away from the others).
  const std::string far = corpus(text, kp.data(), {c[0][0], c[0][1] - 8.01});
  EXPECT_THAT(far, HasSubstr("teeth-pi: no corpus pi geometry matches this bank's c_canon ("));
  EXPECT_THAT(far, HasSubstr(") within 8.00px \xE2\x80\x94 v1=8.01px v2="));
  EXPECT_THAT(far, HasSubstr("donors will NOT be placed against a frame nobody can name"));
  const double cc[2] = {0, 0};
  EXPECT_THROW(UnifiedPi::corpusFromManifestJson(text, 1024, nullptr, 1, cc, nullptr), std::runtime_error);
}

TEST(TesseraPi, DemoBankNamesTheDemoGeometry) {
  // The demo bank's c_canon against the demo's target keypoints, as the live borrow will do it.
  const int crop = 512;
  const Kp target = devkit::faceKeypoints(0.0f);
  std::vector<float> xs;
  for (int i = 0; i < 3; ++i) xs.insert(xs.end(), target.begin(), target.end());
  const devkit::DemoBank bank = devkit::demoBank(crop, 2);
  std::string name;
  const std::string text = "{\"unified\": " + devkit::demoUnifiedManifestBlock(crop) + "}";
  const UnifiedPi pi = UnifiedPi::corpusFromManifestJson(text, crop, xs.data(), 3, bank.c_canon.data(), &name);
  EXPECT_EQ(name, "v1");
  EXPECT_EQ(pi.lip_idx, (std::vector<int32_t>{17, 18, 19, 20}));
}

}  // namespace
}  // namespace qo::tessera
