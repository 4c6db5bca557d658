#include "tools/devkit/demo_m4b.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "tools/devkit/onnx_model_builder.h"

namespace qo::devkit {
namespace {

using namespace qo::onnx;

constexpr int kTileX[3] = {0, 152, 304};

class Net {
 public:
  explicit Net(const M4bOptions& o) : rng_(o.seed) {}

  ModelBuilder b;
  NamedTensors inits;

  std::string ints(const std::string& out, std::vector<int64_t> v) {
    return b.constant(out, tensorOf<int64_t>({int64_t(v.size())}, v), {.name = "/" + out});
  }
  std::string floats(const std::string& out, std::vector<float> v) {
    return b.constant(out, tensorOf<float>({int64_t(v.size())}, v), {.name = "/" + out});
  }
  std::string op(const std::string& type, std::vector<std::string> in, const std::string& out,
                 std::vector<Attr> attrs = {}) {
    return b.node(type, in, {out}, attrs, {.name = "/" + out});
  }
  std::string weight(const std::string& name, std::vector<int64_t> dims, std::vector<float> v) {
    inits.emplace_back(name, tensorOf<float>(std::move(dims), v));
    return name;
  }
  std::vector<float> normal(size_t n, float sd, float mean = 0.0f) {
    std::normal_distribution<float> dist(mean, sd);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng_);
    return v;
  }
  // A 3x3 (or 1x1) conv with He-scaled weights times `gain`, optional ReLU; returns its output.
  std::string conv(const std::string& x, const std::string& w, const std::string& bname, int cin, int cout, int k,
                   float gain, float bias, const std::string& out, bool relu) {
    weight(w, {cout, cin, k, k}, normal(size_t(cout) * cin * k * k, gain * std::sqrt(2.0f / float(cin * k * k))));
    weight(bname, {cout}, std::vector<float>(size_t(cout), bias));
    std::vector<Attr> attrs;
    if (k == 3) attrs.push_back(attrInts("pads", {1, 1, 1, 1}));
    const std::string c = op("Conv", {x, w, bname}, relu ? out + "_conv" : out, attrs);
    return relu ? op("Relu", {c}, out) : c;
  }
  std::string resize(const std::string& x, float s, bool linear, const std::string& out) {
    std::vector<Attr> a = {attrString("mode", linear ? "linear" : "nearest"),
                           attrString("coordinate_transformation_mode", linear ? "half_pixel" : "asymmetric")};
    if (!linear) a.push_back(attrString("nearest_mode", "floor"));
    return op("Resize", {x, "", floats(out + "_scales", {1, 1, s, s})}, out, a);
  }
  std::string pool(const std::string& type, const std::string& x, const std::string& out) {
    return op(type, {x}, out, {attrInts("kernel_shape", {2, 2}), attrInts("strides", {2, 2})});
  }
  std::string slice(const std::string& x, std::vector<int64_t> s, std::vector<int64_t> e, std::vector<int64_t> a,
                    const std::string& out) {
    return op("Slice", {x, ints(out + "_s", s), ints(out + "_e", e), ints(out + "_a", a)}, out);
  }

 private:
  std::mt19937 rng_;
};

}  // namespace

const std::vector<std::string>& m4bIntermediateNames() {
  static const std::vector<std::string> names = {
      "pre_relu", "e0_relu",  "e1_relu",    "e2_relu",    "d1_relu",    "d0_relu",    "ref_relu",
      "mask_conv", "occ_sig", "grid_add",   "basisimg",   "occ512",     "warped",     "corr0_relu",
      "corr1_relu", "corr2_conv", "refined", "tile2_relu", "tile3_conv", "rgb"};
  return names;
}

std::vector<uint8_t> m4bDirectorBytes(const M4bOptions& o) {
  Net g(o);
  ModelBuilder& b = g.b;
  const int64_t B = o.batch;
  b.input("pooled64", kFloat, {B, 64, 32, 32});
  b.input("P_rgb", kFloat, {B, 3, 512, 512});
  b.input("kp_driving", kFloat, {B, 21, 3});
  b.input("kp_source", kFloat, {B, 21, 3});

  // 32x32 encoder-decoder over the pooled features and the horizontal keypoint motion.
  const std::string kdiff = g.op("Sub", {"kp_driving", "kp_source"}, "kdiff");
  const std::string dx = g.op("Unsqueeze", {g.slice(kdiff, {0}, {1}, {2}, "dx3"), g.ints("dx_ax", {3})}, "dx4");
  const std::string dxe = g.op("Expand", {dx, g.ints("dx_shape", {B, 21, 32, 32})}, "dx");
  const std::string x85 = g.op("Concat", {"pooled64", dxe}, "x85", {attrInt("axis", 1)});
  const std::string pre = g.conv(x85, o.preWeight, o.preBias, 85, 96, 1, 1.0f, 0.02f, "pre_relu", true);
  const std::string e0 = g.conv(pre, "s.e0.conv.weight", "s.e0.conv.bias", 96, 96, 3, 0.9f, 0.01f, "e0_relu", true);
  const std::string e1 = g.conv(g.pool("MaxPool", e0, "p0"), "s.e1.conv.weight", "s.e1.conv.bias", 96, 144, 3, 0.9f,
                                0.01f, "e1_relu", true);
  const std::string e2 = g.conv(g.pool("MaxPool", e1, "p1"), "s.e2.conv.weight", "s.e2.conv.bias", 144, 192, 3, 0.9f,
                                0.01f, "e2_relu", true);
  const std::string c1 = g.op("Concat", {g.resize(e2, 2, false, "up_e2"), e1}, "c1", {attrInt("axis", 1)});
  const std::string d1 = g.conv(c1, "s.d1.conv.weight", "s.d1.conv.bias", 336, 144, 3, 0.9f, 0.01f, "d1_relu", true);
  const std::string c0 = g.op("Concat", {g.resize(d1, 2, false, "up_d1"), e0}, "c0", {attrInt("axis", 1)});
  const std::string d0 = g.conv(c0, "s.d0.conv.weight", "s.d0.conv.bias", 240, 96, 3, 0.9f, 0.01f, "d0_relu", true);
  const std::string ref = g.conv(g.resize(d0, 2, false, "up_d0"), "s.ref.conv.weight", "s.ref.conv.bias", 96, 48, 3,
                                 0.9f, 0.01f, "ref_relu", true);

  // Heads. The mask keeps most weight on the background channel (21), so the keypoint motion
  // moves the face gently; occlusion stays near 1.
  const std::string mask = g.conv(ref, "s.mask.weight", "s.mask.bias", 48, 22, 3, 0.05f, 0.0f, "mask_conv", false);
  for (auto& [name, t] : g.inits)
    if (name == "s.mask.bias") {
      std::vector<float> bias(22, -1.0f);
      bias[21] = 1.0f;
      t = tensorOf<float>({22}, bias);
    }
  const std::string occ = g.op("Sigmoid", {g.conv(ref, "s.occ.weight", "s.occ.bias", 48, 1, 3, 0.02f, 3.0f, "occ", false)},
                               "occ_sig");
  const std::string sm = g.op("Softmax", {mask}, "mask_sm", {attrInt("axis", 1)});
  const std::string smt = g.op("Transpose", {g.op("Reshape", {g.slice(sm, {0}, {21}, {1}, "mask_k"),
                                                             g.ints("mask_shape", {B, 21, 4096})}, "mask_r")},
                               "mask_t", {attrInts("perm", {0, 2, 1})});
  const std::string disp = g.slice(g.op("Sub", {"kp_source", "kp_driving"}, "kneg"), {0}, {2}, {2}, "disp");
  const std::string flow = g.op("Reshape", {g.op("MatMul", {smt, disp}, "flow_m"), g.ints("flow_shape", {B, 64, 64, 2})},
                                "flow");
  std::vector<float> grid64(64 * 64 * 2), grid32(32 * 32 * 2);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      grid64[size_t(y * 64 + x) * 2] = 2.0f * (float(x) + 0.5f) / 64.0f - 1.0f;
      grid64[size_t(y * 64 + x) * 2 + 1] = 2.0f * (float(y) + 0.5f) / 64.0f - 1.0f;
    }
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {  // a slow sway of a third of a pixel
      grid32[size_t(y * 32 + x) * 2] = 0.0015f * std::sin(float(y) * 0.2f);
      grid32[size_t(y * 32 + x) * 2 + 1] = 0.0015f * std::cos(float(x) * 0.2f);
    }
  g.weight("s.grid64", {64, 64, 2}, grid64);
  g.weight("onnx::Sub_316", {1, 1, 32, 32, 2}, grid32);
  const std::string g32 = g.op(
      "Transpose",
      {g.resize(g.op("Transpose", {g.op("Reshape", {"onnx::Sub_316", g.ints("g32_shape", {1, 32, 32, 2})}, "g32_r")},
                     "g32_t", {attrInts("perm", {0, 3, 1, 2})}),
                2, false, "g32_up")},
      "g32", {attrInts("perm", {0, 2, 3, 1})});
  const std::string gridAdd = g.op("Add", {g.op("Add", {flow, "s.grid64"}, "grid_flow"), g32}, "grid_add");

  // Keypoint MLP -> 64 basis coefficients -> a low-frequency shading image.
  const std::string gap = g.op("Flatten", {g.op("GlobalAveragePool", {e2}, "gap4")}, "gap");
  const std::string mlpIn =
      g.op("Concat", {gap, g.op("Reshape", {kdiff, g.ints("kd_shape", {B, 63})}, "kdf")}, "mlp_in", {attrInt("axis", 1)});
  g.weight("s.wmlp.0.weight", {128, 255}, g.normal(128 * 255, 0.06f));
  g.weight("s.wmlp.0.bias", {128}, g.normal(128, 0.05f));
  g.weight("s.wmlp.2.weight", {64, 128}, g.normal(64 * 128, 0.08f));
  g.weight("s.wmlp.2.bias", {64}, g.normal(64, 0.1f));
  const std::string h = g.op("Relu", {g.op("Gemm", {mlpIn, "s.wmlp.0.weight", "s.wmlp.0.bias"}, "mlp_h0",
                                           {attrInt("transB", 1)})},
                             "mlp_h");
  const std::string coef = g.op("Gemm", {h, "s.wmlp.2.weight", "s.wmlp.2.bias"}, "coef", {attrInt("transB", 1)});
  {
    std::vector<float> basis(size_t(64) * 196608);
    for (int k = 0; k < 64; ++k) {
      const float fy = float(k % 4), fx = float((k / 4) % 4);
      const int ch = k / 16 < 3 ? k / 16 : k % 3;
      for (int y = 0; y < 256; ++y) {
        const float cy = std::cos(3.14159265f * fy * (float(y) + 0.5f) / 256.0f);
        for (int x = 0; x < 256; ++x)
          basis[size_t(k) * 196608 + size_t(ch) * 65536 + size_t(y) * 256 + x] =
              0.01f * cy * std::cos(3.14159265f * fx * (float(x) + 0.5f) / 256.0f);
      }
    }
    g.weight("onnx::MatMul_338", {64, 196608}, basis);
  }
  const std::string basisimg =
      g.op("Reshape", {g.op("MatMul", {coef, "onnx::MatMul_338"}, "basis_flat"), g.ints("bi_shape", {B, 3, 256, 256})},
           "basisimg");

  // The warped source at 512, its correction at 256, and the refined image.
  const std::string grid512 =
      g.op("Transpose",
           {g.resize(g.op("Transpose", {gridAdd}, "grid_t", {attrInts("perm", {0, 3, 1, 2})}), 8, true, "grid_up")},
           "grid512", {attrInts("perm", {0, 2, 3, 1})});
  const std::string sampled = g.op("GridSample", {"P_rgb", grid512}, "sampled",
                                   {attrString("mode", "bilinear"), attrString("padding_mode", "zeros"),
                                    attrInt("align_corners", 0)});
  const std::string occ512 = g.resize(occ, 8, false, "occ512");
  const std::string warped = g.op("Mul", {sampled, occ512}, "warped");
  const std::string x7 = g.op("Concat", {g.pool("AveragePool", warped, "warped_half"), basisimg,
                                         g.pool("AveragePool", occ512, "occ_half")},
                              "x7", {attrInt("axis", 1)});
  const std::string k0 = g.conv(x7, "s.corr.0.conv.weight", "s.corr.0.conv.bias", 7, 24, 3, 0.5f, 0.0f, "corr0_relu", true);
  const std::string k1 = g.conv(k0, "s.corr.1.conv.weight", "s.corr.1.conv.bias", 24, 24, 3, 0.9f, 0.0f, "corr1_relu", true);
  const std::string k2 = g.conv(k1, "s.corr.2.weight", "s.corr.2.bias", 24, 12, 3, 0.03f, 0.0f, "corr2_conv", false);
  const std::string refined =
      g.op("Add", {warped, g.op("DepthToSpace", {k2}, "corr_up", {attrInt("blocksize", 2), attrString("mode", "CRD")})},
           "refined");

  // Six 256x208 windows, convolved as one batch, feathered back onto the refined image.
  const std::string y7 = g.op("Concat", {refined, warped, occ512}, "y7", {attrInt("axis", 1)});
  std::vector<std::string> windows;
  for (int t = 0; t < 6; ++t) {
    const int64_t ty = (t / 3) * 256, tx = kTileX[t % 3];
    windows.push_back(g.slice(y7, {ty, tx}, {ty + 256, tx + 208}, {2, 3}, "win" + std::to_string(t)));
  }
  const std::string tin = g.op("Concat", windows, "tiles_in", {attrInt("axis", 0)});
  const std::string t0 = g.conv(tin, "s.tile.0.conv.weight", "s.tile.0.conv.bias", 7, 32, 3, 0.5f, 0.0f, "tile0_relu", true);
  const std::string t1 = g.conv(t0, "s.tile.1.conv.weight", "s.tile.1.conv.bias", 32, 32, 3, 0.9f, 0.0f, "tile1_relu", true);
  const std::string t2 = g.conv(t1, "s.tile.2.conv.weight", "s.tile.2.conv.bias", 32, 32, 3, 0.9f, 0.0f, "tile2_relu", true);
  const std::string t3 = g.conv(t2, "s.tile.3.weight", "s.tile.3.bias", 32, 3, 3, 0.03f, 0.0f, "tile3_conv", false);
  std::vector<float> feather(256 * 208);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 208; ++x)  // ramps over the 56-column overlaps: neighbours sum to 1
      feather[size_t(y) * 208 + x] = std::min({1.0f, (float(x) + 0.5f) / 56.0f, (float(207 - x) + 0.5f) / 56.0f});
  g.weight("s.feather", {1, 1, 256, 208}, feather);
  const std::string tf = g.op("Mul", {t3, "s.feather"}, "tiles_feathered");
  std::vector<std::string> sum = {refined};
  for (int t = 0; t < 6; ++t) {
    const int64_t ty = (t / 3) * 256, tx = kTileX[t % 3];
    const std::string s = g.slice(tf, {t * B}, {(t + 1) * B}, {0}, "tile" + std::to_string(t));
    sum.push_back(g.op("Pad", {s, g.ints(s + "_pads", {0, 0, ty, tx, 0, 0, 256 - ty, 512 - 208 - tx})},
                       s + "_placed"));
  }
  g.op("Sum", sum, "rgb");
  b.output("rgb", kFloat, {B, 3, 512, 512});
  if (o.intermediates) {
    for (const std::string& n : m4bIntermediateNames())
      if (n != "rgb") b.output(n, kFloat);
  }
  if (o.editInitializers) o.editInitializers(g.inits);
  for (const auto& [name, t] : g.inits) b.initializer(name, t);
  return b.bytes();
}

void writeM4bDirector(const std::string& path, const M4bOptions& options) {
  const std::vector<uint8_t> bytes = m4bDirectorBytes(options);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace qo::devkit
