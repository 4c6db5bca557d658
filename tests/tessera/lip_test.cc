// The lip contour: template texts, the fill against an independent point-in-polygon count, the
// outward feather (also clipped at the canvas edge), and the cuts of the pi mask.
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

namespace qo::tessera {
namespace {

using ::testing::HasSubstr;
using Kp = std::array<float, kKeypointFloats>;

Kp lips(float cx, float cy, float ex, float ey) {
  Kp k{};
  k[17 * 3] = cx - ex, k[17 * 3 + 1] = cy;
  k[18 * 3] = cx + ex, k[18 * 3 + 1] = cy;
  k[19 * 3] = cx, k[19 * 3 + 1] = cy - ey;
  k[20 * 3] = cx, k[20 * 3 + 1] = cy + ey;
  return k;
}

std::string templ(const std::string& extra, const std::string& feather = "2", int canvas = 64) {
  return "  {\"format\": \"lip-template-v1\", \"canvas\": " + std::to_string(canvas) + ", \"feather_px\": " + feather +
         ", \"u_canon\": [[-1, 0], [0, -1], [1, 0], [0, 1]]" + extra + "}";
}

std::string refusal(const std::string& text) {
  try {
    LipContour::fromTemplateJson(text, 64);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(TesseraLip, TemplateTexts) {
  const std::string p = "lip_template.v1.json: ";
  EXPECT_EQ(refusal(templ("")), "accepted");
  EXPECT_EQ(refusal(templ(", \"edge\": \"inward\"")), "accepted");
  EXPECT_THAT(refusal(templ(", \"edge\": \"outward\"")),
              HasSubstr(p + "declares edge 'outward', and the contour feather is OUTWARD"));
  EXPECT_THAT(refusal(templ(", \"edge\": 1")), HasSubstr(p + "declares edge ''"));
  EXPECT_THAT(refusal("{"), HasSubstr(p + "is not parseable JSON ("));
  EXPECT_EQ(refusal("[1]"), p + "is not a JSON object");
  EXPECT_EQ(refusal("{\"format\": 1}"), p + "carries no string `format`");
  EXPECT_THAT(refusal("{\"format\": \"lip-template-v2\"}"),
              HasSubstr(p + "declares format 'lip-template-v2', not 'lip-template-v1'"));
  EXPECT_EQ(refusal("{\"format\": \"lip-template-v1\"}"), p + "carries no numeric `canvas`");
  EXPECT_THAT(refusal(templ("", "2", 512)), HasSubstr(p + "was baked on a 512 canvas but this bundle composes on 64"));
  EXPECT_EQ(refusal(templ("", "\"2\"")), p + "carries no numeric `feather_px`");
  EXPECT_EQ(refusal(templ("", "0")), p + "declares feather_px 0.000000, which is not positive");
  EXPECT_EQ(refusal("{\"format\": \"lip-template-v1\", \"canvas\": 64, \"feather_px\": 1, \"u_canon\": []}"),
            p + "carries no non-empty `u_canon` array");
  EXPECT_THAT(refusal("{\"format\": \"lip-template-v1\", \"canvas\": 64, \"feather_px\": 1, "
                      "\"u_canon\": [[0, 0], [1]]}"),
              HasSubstr(p + "u_canon row 1 is not a 2-vector"));
  EXPECT_EQ(refusal(templ(", \"lip_idx\": {}")), p + "carries a `lip_idx` that is not a non-empty array");
  EXPECT_EQ(refusal(templ(", \"lip_idx\": [17, 21]")), p + "lip_idx names keypoint row 21, and a kd row is 0..20");
  EXPECT_EQ(refusal(templ(", \"lip_idx\": [-1]")), p + "lip_idx names keypoint row -1, and a kd row is 0..20");
  const LipContour c = LipContour::fromTemplateJson(templ(""), 64);
  EXPECT_EQ(c.vertexCount(), 4);
  EXPECT_EQ(c.featherPx(), 2.0f);
}

// Even-odd rule at the pixel centre (x, y), with the polygon's vertices as given.
bool inside(const std::vector<double>& p, double x, double y) {
  bool in = false;
  for (size_t i = 0, n = p.size() / 2, j = n - 1; i < n; j = i++)
    if ((p[2 * i + 1] > y) != (p[2 * j + 1] > y) &&
        x < (p[2 * j] - p[2 * i]) * (y - p[2 * i + 1]) / (p[2 * j + 1] - p[2 * i + 1]) + p[2 * i])
      in = !in;
  return in;
}

double edgeDistance(const std::vector<double>& p, double x, double y) {
  double best = 1e30;
  for (size_t i = 0, n = p.size() / 2; i < n; ++i) {
    const size_t j = (i + 1) % n;
    const double ax = p[2 * i], ay = p[2 * i + 1], dx = p[2 * j] - ax, dy = p[2 * j + 1] - ay;
    const double t = std::clamp(((x - ax) * dx + (y - ay) * dy) / std::max(1e-12, dx * dx + dy * dy), 0.0, 1.0);
    best = std::min(best, std::hypot(x - ax - t * dx, y - ay - t * dy));
  }
  return best;
}

TEST(TesseraLip, FillMatchesPointInPolygon) {
  // A concave outline (an arrow with a notch) with integer vertices, so rounding leaves it as is.
  const double u[] = {-1, -0.4, 0.2, -0.4, 0.2, -1, 1, 0, 0.2, 1, 0.2, 0.4, -1, 0.4, -0.5, 0};
  const int32_t rows[] = {17, 18, 19, 20};
  LipContour c(64, 3.0f, u, 8, rows, 4);
  const Kp kp = lips(0, 0, 0.625f, 0.625f);  // centre 32, extents 20
  std::vector<double> poly;
  c.polygon(kp.data(), &poly);
  ASSERT_EQ(poly.size(), 16u);
  EXPECT_DOUBLE_EQ(poly[0], 12.0);  // 20 * -1 + 32
  EXPECT_DOUBLE_EQ(poly[11], 40.0);  // 20 * 0.4 + 32
  const Box b = c.box(poly);
  EXPECT_EQ((std::array<int32_t, 4>{b.x0, b.y0, b.x1, b.y1}), (std::array<int32_t, 4>{7, 7, 58, 58}));
  const int W = b.x1 - b.x0, H = b.y1 - b.y0;
  std::vector<uint8_t> fill(size_t(W) * H, 9);
  c.fillScanline(poly, b, fill.data());
  int filled = 0, ref = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const uint8_t v = fill[size_t(y) * W + x];
      ASSERT_TRUE(v == 0 || v == 255);
      const double px = x + b.x0, py = y + b.y0, e = edgeDistance(poly, px, py);
      const bool in = inside(poly, px, py);
      filled += v != 0, ref += in;
      if (e > 0.75) {  // away from the outline: the rule decides
        ASSERT_EQ(v != 0, in) << px << "," << py;
      }
      if (e < 1e-9) {  // on it: the outline is drawn
        ASSERT_EQ(v, 255) << px << "," << py;
      }
    }
  // Shaft 1.2 x 0.8 less the notch 0.2, head 0.8: 1.56 x 20 x 20 = 624 px. The fill adds the
  // outline pixels on top of the rule's count, at most about one per outline pixel.
  EXPECT_NEAR(ref, 624, 30);
  EXPECT_GT(filled, ref);
  EXPECT_LT(filled - ref, 200);
}

TEST(TesseraLip, FeatherIsMonotoneOutwardAndClipped) {
  const double u[] = {-1, 0, 0, -1, 1, 0, 0, 1};
  const int32_t rows[] = {17, 18, 19, 20};
  LipContour c(64, 6.0f, u, 4, rows, 4);
  std::vector<float> a(64 * 64, -1);
  const Kp kp = lips(0, 0, 0.25f, 0.125f);  // diamond, half-axes 8 x 4 px around (32, 32)
  c.contourF32Canvas(kp.data(), a.data());
  EXPECT_EQ(a[32 * 64 + 32], 1.0f);
  EXPECT_EQ(a[0], 0.0f);  // cleared outside the box
  for (int step = 0; step < 20; ++step) {
    const int x = 40 + step;
    EXPECT_LE(a[32 * 64 + x + 1], a[32 * 64 + x]) << x;
    EXPECT_LE(a[(32 + step + 1) * 64 + 32], a[(32 + step) * 64 + 32]);
    EXPECT_LE(a[(32 + step) * 64 + 32 + step + 1], a[(32 + step) * 64 + 32 + step]);  // diagonal
  }
  EXPECT_GT(a[32 * 64 + 43], 0.0f);  // 3 px out: inside the feather
  EXPECT_EQ(a[32 * 64 + 48], 0.0f);  // 8 px out: past it
  for (float v : a) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);

  // Box clipped at the right edge: the plane is written only inside it, and the alpha still falls
  // away from the polygon toward the edge.
  const Kp edge = lips(0.9f, 0, 0.25f, 0.125f);
  std::vector<double> poly;
  c.polygon(edge.data(), &poly);
  const Box b = c.box(poly);
  EXPECT_EQ(b.x1, 64);
  std::vector<float> p(64 * 64, -1);
  c.contourF32(poly, b, p.data());
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      if (x < b.x0 || y < b.y0 || y >= b.y1) {
        ASSERT_EQ(p[size_t(y) * 64 + x], -1.0f);
      }
  const int peak = int(std::lround(poly[0] + poly[4]) / 2);
  for (int x = peak; x + 1 < 64; ++x) EXPECT_LE(p[32 * 64 + x + 1], p[32 * 64 + x]) << x;
  for (int x = b.x0; x + 1 < peak; ++x) EXPECT_LE(p[32 * 64 + x], p[32 * 64 + x + 1]) << x;

  // Collapsed lips: one filled pixel and a round feather.
  const Kp dot = lips(0, 0, 0, 0);
  c.contourF32Canvas(dot.data(), a.data());
  EXPECT_EQ(a[32 * 64 + 32], 1.0f);
  EXPECT_LT(a[32 * 64 + 33], 1.0f);
  for (int d = 1; d < 7; ++d) {
    EXPECT_EQ(a[32 * 64 + 32 + d], a[32 * 64 + 32 - d]);
    EXPECT_EQ(a[32 * 64 + 32 + d], a[(32 + d) * 64 + 32]);
  }
  // Scratch reuse: a small box after a larger one, then the larger again, give fresh results.
  std::vector<float> big1(64 * 64), big2(64 * 64), small1(64 * 64), small2(64 * 64);
  LipContour fresh(64, 6.0f, u, 4, rows, 4);
  fresh.contourF32Canvas(dot.data(), small1.data());
  c.contourF32Canvas(kp.data(), big1.data());
  c.contourF32Canvas(dot.data(), small2.data());
  c.contourF32Canvas(kp.data(), big2.data());
  EXPECT_EQ(small1, small2);
  EXPECT_EQ(big1, big2);
  // Lip rows beyond eight: the fit takes them all (the same rows three times fit the same).
  const int32_t many[] = {17, 18, 19, 20, 17, 18, 19, 20, 17, 18, 19, 20};
  LipContour twelve(64, 6.0f, u, 4, many, 12);
  std::vector<double> p12;
  twelve.polygon(kp.data(), &p12);
  c.polygon(kp.data(), &poly);
  EXPECT_EQ(p12, poly);
}

TEST(TesseraLip, CutsOfThePiMask) {
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      "{\"unified\": {\"pi\": {\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [17, 18, 19, 20], "
      "\"lip_geom_params\": [0.10, 0.08, 0.074]}}}",
      64);
  const double u[] = {-1, 0, -0.5, -1, 0.5, -1, 1, 0, 0.5, 1, -0.5, 1};
  const int32_t rows[] = {17, 18, 19, 20};
  LipContour c(64, 4.0f, u, 6, rows, 4);
  const Kp kp = lips(0, 0.2f, 0.3f, 0.06f);
  std::vector<uint8_t> whole(64 * 64), del(64 * 64, 9);
  std::vector<float> alpha(64 * 64);
  pi.piU8(kp.data(), whole.data());
  c.contourF32Canvas(kp.data(), alpha.data());
  c.deliveredU8(kp.data(), pi, del.data());
  int kept = 0;
  for (size_t i = 0; i < del.size(); ++i) {
    ASSERT_LE(del[i], whole[i]);
    if (alpha[i] <= 0) {
      ASSERT_EQ(del[i], 0) << i;
    }
    if (alpha[i] == 1.0f) {
      ASSERT_EQ(del[i], whole[i]) << i;
    }
    kept += del[i] != 0;
  }
  EXPECT_GT(kept, 100);

  // In place over a box: min(byte, alpha byte) inside, cleared elsewhere in the box, untouched outside.
  std::vector<uint8_t> m(64 * 64, 200);
  const Box box{20, 30, 50, 50};
  EXPECT_TRUE(c.shrinkU8InPlace(kp.data(), box, m.data()));
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      const size_t i = size_t(y) * 64 + x;
      const bool in = x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1;
      const uint8_t q = alpha[i] <= 0 ? 0 : uint8_t(std::nearbyint(std::min(alpha[i], 1.0f) * 255.0f));
      ASSERT_EQ(m[i], in ? std::min<uint8_t>(200, q) : 200) << x << "," << y;
    }
  // A box that misses the contour: cleared, false.
  std::vector<uint8_t> n(64 * 64, 200);
  EXPECT_FALSE(c.shrinkU8InPlace(kp.data(), Box{0, 0, 10, 10}, n.data()));
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(n[size_t(y) * 64 + x], x < 10 && y < 10 ? 0 : 200);

  // With the shift: the shifts of the unshrunk mask, the bytes of the shrunk one inside the support box.
  std::vector<uint8_t> s1(64 * 64), s2(64 * 64);
  const double ref[2] = {30, 30};
  int32_t r1 = 0, c1 = 0, r2 = 0, c2 = 0;
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), ref, s1.data(), &r1, &c1));
  ASSERT_TRUE(c.deliveredU8AndShift(kp.data(), pi, ref, s2.data(), &r2, &c2));
  EXPECT_EQ(r1, r2);
  EXPECT_EQ(c1, c2);
  EXPECT_EQ(s2, del);
}

TEST(TesseraLip, HostileKeypointsStayInside) {
  // NaN and far-off lips: no write leaves the planes, and nothing is delivered.
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      "{\"unified\": {\"pi\": {\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [17, 18, 19, 20], "
      "\"lip_geom_params\": [0.10, 0.08, 0.074]}}}",
      32);
  const double u[] = {-1e6, 0, 0, -1, 1e6, 0, 0, 1};
  const int32_t rows[] = {17, 18, 19, 20};
  LipContour c(32, 2.0f, u, 4, rows, 4);
  for (const Kp& kp : {lips(std::nanf(""), 0, 0.1f, 0.1f), lips(1e30f, -1e30f, 1e30f, 1e30f)}) {
    std::vector<float> a(32 * 32, -1);
    std::vector<uint8_t> m(32 * 32, 9);
    c.contourF32Canvas(kp.data(), a.data());
    for (float v : a) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
    c.deliveredU8(kp.data(), pi, m.data());
    EXPECT_EQ(m, std::vector<uint8_t>(32 * 32, 0));
    int32_t rs = 0, cs = 0;
    const double ref[2] = {0, 0};
    EXPECT_FALSE(c.deliveredU8AndShift(kp.data(), pi, ref, m.data(), &rs, &cs));
  }
}

TEST(TesseraLip, DemoTemplateCoversTheFaceLips) {
  // The baked template at its own opening reproduces the face's lip ellipse in pixels.
  const int crop = 128;
  LipContour c = LipContour::fromTemplateJson(devkit::demoLipTemplateJson(crop), crop);
  const Kp kp = devkit::faceKeypoints(devkit::kDemoLipTemplateOpen);
  std::vector<double> poly;
  c.polygon(kp.data(), &poly);
  const std::array<float, 4> le = devkit::faceLipEllipse(devkit::kDemoLipTemplateOpen);
  EXPECT_NEAR(poly[0], (le[0] + le[2] + 1) * crop / 2, 1e-3);  // vertex 0: the right end
  EXPECT_NEAR(poly[1], (le[1] + 1) * crop / 2, 1e-3);
  double top = 1e9;
  for (size_t k = 1; k < poly.size(); k += 2) top = std::min(top, poly[k]);
  EXPECT_NEAR(top, (le[1] - le[3] + 1) * crop / 2, 0.05);
}

}  // namespace
}  // namespace qo::tessera
