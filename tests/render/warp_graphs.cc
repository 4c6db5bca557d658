#include "render/warp_graphs.h"

#include <utility>
#include <vector>

namespace qo::test {

using namespace qo::onnx;

void addSecondDifferences(ModelBuilder& b, const std::string& padded, const std::string& dxx, const std::string& dyy,
                          const std::string& dxy) {
  const float kxx[9] = {0, 0, 0, 1, -2, 1, 0, 0, 0}, kyy[9] = {0, 1, 0, 0, -2, 0, 0, 1, 0};
  const float kxy[9] = {1, -2, 1, -2, 4, -2, 1, -2, 1};
  for (auto [name, k] : {std::pair{&dxx, kxx}, {&dyy, kyy}, {&dxy, kxy}}) {
    std::vector<float> w;
    for (int c = 0; c < 3; ++c) w.insert(w.end(), k, k + 9);
    b.initializer(*name + "_w", tensorOf<float>({3, 1, 3, 3}, w));
    b.node("Conv", {padded, *name + "_w"}, {*name}, {attrInt("group", 3), attrInts("kernel_shape", {3, 3})});
  }
}

void addWarpBlock(ModelBuilder& b, const std::string& cone, const std::string& grid, const std::string& qx,
                  const std::string& qy, const std::string& out, bool alignCorners, bool constantStarts) {
  b.node("GridSample", {cone, grid}, {"s"},
         {attrString("mode", "bilinear"), attrString("padding_mode", "border"),
          attrInt("align_corners", alignCorners ? 1 : 0)});
  b.initializer("axis", tensorOf<int64_t>({1}, {1}));
  for (int k = 0; k < 4; ++k) {
    const std::string n = "s" + std::to_string(k);
    const Tensor start = tensorOf<int64_t>({1}, {3 * k});
    if (constantStarts) b.constant(n + "_b", start);
    else b.initializer(n + "_b", start);
    b.initializer(n + "_e", tensorOf<int64_t>({1}, {3 * k + 3}));
    b.node("Slice", {"s", n + "_b", n + "_e", "axis"}, {n});
  }
  b.node("Mul", {qx, qy}, {"qxy"});
  b.node("Mul", {"qxy", "s3"}, {"m3"});
  b.node("Mul", {qx, "s1"}, {"m1"});
  b.node("Mul", {qy, "s2"}, {"m2"});
  b.node("Sub", {"s0", "m1"}, {"r1"});
  b.node("Sub", {"r1", "m2"}, {"r2"});
  b.node("Add", {"m3", "r2"}, {out});
}

}  // namespace qo::test
