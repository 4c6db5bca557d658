#include "tools/devkit/demo_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "bundle/qo_fs.h"
#include "tessera/qo_tessera_pi.h"
#include "tools/devkit/demo_face.h"

namespace qo::devkit {
namespace {

constexpr int kOutlineVertices = 32;

std::string num(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.6f", v);
  return b;
}

}  // namespace

std::string demoUnifiedManifestBlock(int crop) {
  return "{\"pi\": {\"mode\": \"prop\", \"corner_recovery\": false, \"prop_gate_scale\": 1.0, "
         "\"lip_idx\": [17, 18, 19, 20], \"lip_geom_params\": [0.05, 0.08, 0.015]}, \"crop\": {\"canvas\": " +
         std::to_string(crop) + "}}";
}

std::string demoLipTemplateJson(int crop) {
  // The contour maps the template through the lip rows' mean and extents, so the outline is stated
  // relative to them (a ratio, the same at every canvas).
  const std::array<float, 63> kp = faceKeypoints(kDemoLipTemplateOpen);
  double mx = 0, my = 0, ex = 0, ey = 0;
  for (int r = 17; r <= 20; ++r) mx += kp[size_t(r) * 3] / 4.0, my += kp[size_t(r) * 3 + 1] / 4.0;
  for (int r = 17; r <= 20; ++r) {
    ex = std::max(ex, std::fabs(kp[size_t(r) * 3] - mx));
    ey = std::max(ey, std::fabs(kp[size_t(r) * 3 + 1] - my));
  }
  const std::array<float, 4> le = faceLipEllipse(kDemoLipTemplateOpen);
  std::string t = "{\n  \"format\": \"lip-template-v1\",\n  \"canvas\": " + std::to_string(crop) +
                  ",\n  \"feather_px\": " + num(std::max(1.0, crop / 128.0)) + ",\n  \"lip_idx\": [17, 18, 19, 20],\n" +
                  "  \"u_canon\": [";
  for (int k = 0; k < kOutlineVertices; ++k) {
    const double a = 2.0 * M_PI * k / kOutlineVertices;
    const double u = (le[0] + le[2] * std::cos(a) - mx) / ex, v = (le[1] + le[3] * std::sin(a) - my) / ey;
    t += std::string(k ? ", " : "") + "[" + num(u) + ", " + num(v) + "]";
  }
  return t + "]\n}\n";
}

std::array<double, 2> demoPiCentroid(int crop) {
  const tessera::UnifiedPi pi =
      tessera::UnifiedPi::fromManifestJson("{\"unified\": " + demoUnifiedManifestBlock(crop) + "}", crop);
  const std::array<float, 63> target = faceKeypoints(0.0f);
  std::array<double, 2> c{};
  pi.canonicalCentroid(target.data(), 1, &c[0], &c[1]);
  return c;
}

void writeDemoPi(const std::string& dir, int crop) {
  const std::string text = demoLipTemplateJson(crop), path = dir + "/lip_template.v1.json";
  fs::mkdirs(dir);
  fs::File f(std::fopen(path.c_str(), "wb"));
  if (!f || std::fwrite(text.data(), 1, text.size(), f.get()) != text.size())
    throw std::runtime_error("cannot write " + path);
}

}  // namespace qo::devkit
