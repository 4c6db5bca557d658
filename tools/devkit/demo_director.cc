#include "tools/devkit/demo_director.h"

#include <cmath>
#include <vector>

#include "tools/devkit/onnx_model_builder.h"

namespace qo::devkit {
namespace {

using namespace qo::onnx;

// Node helpers over one builder; every value gets a readable unique name.
class Graph {
 public:
  ModelBuilder b;

  std::string scalar(const std::string& name, float v) { return b.initializer(name, tensorOf<float>({}, {v})); }
  std::string ints(const std::string& name, std::vector<int64_t> v) {
    return b.initializer(name, tensorOf<int64_t>({int64_t(v.size())}, v));
  }
  std::string op(const std::string& type, std::vector<std::string> in, const std::string& out,
                 std::vector<Attr> attrs = {}) {
    return b.node(type, in, {out}, attrs, {.name = "/" + out});
  }
  std::string add(const std::string& a, const std::string& c, const std::string& out) { return op("Add", {a, c}, out); }
  std::string sub(const std::string& a, const std::string& c, const std::string& out) { return op("Sub", {a, c}, out); }
  std::string mul(const std::string& a, const std::string& c, const std::string& out) { return op("Mul", {a, c}, out); }
  // Channels [from, to) of a [B, C, H, W] tensor.
  std::string channels(const std::string& x, int from, int to, const std::string& out) {
    return op("Slice", {x, ints(out + "_s", {from}), ints(out + "_e", {to}), ints(out + "_a", {1})}, out);
  }
  // Keypoint rows [r0, r1), column c of a [B, 21, 3] input, as [B, rows, 1, 1].
  std::string kp(const std::string& x, int r0, int r1, int c, const std::string& out) {
    const std::string s = op("Slice", {x, ints(out + "_s", {r0, c}), ints(out + "_e", {r1, c + 1}), ints(out + "_a", {1, 2})},
                             out + "_sl");
    return op("Unsqueeze", {s, ints(out + "_ax", {3})}, out);
  }
};

std::vector<float> coordinates(int crop, bool columns) {
  std::vector<float> v(size_t(crop) * crop);
  for (int y = 0; y < crop; ++y)
    for (int x = 0; x < crop; ++x)
      v[size_t(y) * crop + x] = 2.0f * (float(columns ? x : y) + 0.5f) / float(crop) - 1.0f;
  return v;
}

// Second-difference kernels for a depthwise Conv over 3 channels: [3, 1, 3, 3].
std::vector<float> kernel(const float k[9]) {
  std::vector<float> w;
  for (int c = 0; c < 3; ++c) w.insert(w.end(), k, k + 9);
  return w;
}

}  // namespace

void writeDemoDirector(const std::string& path, int crop, int batch) {
  Graph g;
  ModelBuilder& b = g.b;
  const int64_t B = batch, C = crop;
  b.graphName("demo_director");
  b.producer("qo demo");
  b.input("pooled64", kFloat, {B, 64, 32, 32});
  b.input("P_rgb", kFloat, {B, 3, C, C});
  b.input("kp_driving", kFloat, {B, 21, 3});
  b.input("kp_source", kFloat, {B, 21, 3});

  // Source cone: the value and its edge-clamped second differences, per colour.
  const std::string padded = g.op("Pad", {"P_rgb", g.ints("cone_pads", {0, 0, 1, 1, 0, 0, 1, 1})}, "cone/padded",
                                  {attrString("mode", "edge")});
  const float kxx[9] = {0, 0, 0, 1, -2, 1, 0, 0, 0}, kyy[9] = {0, 1, 0, 0, -2, 0, 0, 1, 0};
  const float kxy[9] = {1, -2, 1, -2, 4, -2, 1, -2, 1};
  auto dw = [&](const char* name, const float* k) {
    b.initializer(std::string(name) + "_w", tensorOf<float>({3, 1, 3, 3}, kernel(k)));
    return g.op("Conv", {padded, std::string(name) + "_w"}, name,
                {attrInt("group", 3), attrInts("kernel_shape", {3, 3}), attrInts("pads", {0, 0, 0, 0})});
  };
  const std::string dxx = dw("cone/dxx", kxx), dyy = dw("cone/dyy", kyy), dxxyy = dw("cone/dxxyy", kxy);
  const std::string cone = g.op("Concat", {"P_rgb", dxx, dyy, dxxyy}, "cone/features", {attrInt("axis", 1)});

  // The warp grid: each output pixel samples the source where the lips it shows came from.
  b.initializer("grid/xx", tensorOf<float>({1, 1, C, C}, coordinates(crop, true)));
  b.initializer("grid/yy", tensorOf<float>({1, 1, C, C}, coordinates(crop, false)));
  const std::string kdx = g.kp("kp_driving", 17, 21, 0, "grid/kdx"), kdy = g.kp("kp_driving", 17, 21, 1, "grid/kdy");
  const std::string ksx = g.kp("kp_source", 17, 21, 0, "grid/ksx"), ksy = g.kp("kp_source", 17, 21, 1, "grid/ksy");
  const std::string ddx = g.sub("grid/xx", kdx, "grid/ddx"), ddy = g.sub("grid/yy", kdy, "grid/ddy");
  const std::string d2 = g.add(g.mul(ddx, ddx, "grid/ddx2"), g.mul(ddy, ddy, "grid/ddy2"), "grid/d2");
  const float sigma = 0.08f;
  const std::string w = g.op("Exp", {g.mul(d2, g.scalar("grid/falloff", -1.0f / (2 * sigma * sigma)), "grid/e")}, "grid/w");
  const std::string mx = g.sub(ksx, kdx, "grid/mx"), my = g.sub(ksy, kdy, "grid/my");
  const std::string reduce = g.ints("grid/axis1", {1});
  const std::string dispX = g.op("ReduceSum", {g.mul(w, mx, "grid/wmx"), reduce}, "grid/dispx", {attrInt("keepdims", 1)});
  const std::string dispY = g.op("ReduceSum", {g.mul(w, my, "grid/wmy"), reduce}, "grid/dispy", {attrInt("keepdims", 1)});
  const std::string gx = g.add("grid/xx", dispX, "grid/gx"), gy = g.add("grid/yy", dispY, "grid/gy");
  const std::string grid = g.op("Transpose", {g.op("Concat", {gx, gy}, "grid/gxy", {attrInt("axis", 1)})}, "grid/grid",
                                {attrInts("perm", {0, 2, 3, 1})});

  // Curvature correction weights from the unnormalised grid: q = (1 - t) t / 2, t = frac(pixel).
  auto q = [&](const std::string& gc, const char* axis) {
    const std::string p = std::string("warp/") + axis;
    const std::string pix =
        g.mul(g.sub(g.mul(g.add(gc, g.scalar(p + "_one", 1.0f), p + "_g1"), g.scalar(p + "_size", float(crop)), p + "_gs"),
                    g.scalar(p + "_half1", 1.0f), p + "_gs1"),
              g.scalar(p + "_half", 0.5f), p + "_pix");
    const std::string t = g.sub(pix, g.op("Floor", {pix}, p + "_floor"), p + "_t");
    const std::string omt = g.sub(g.scalar(p + "_one2", 1.0f), t, p + "_omt");
    return g.mul(g.mul(omt, t, p + "_tt"), g.scalar(p + "_halfq", 0.5f), p + "_q");
  };
  const std::string qx = q(gx, "qx"), qy = q(gy, "qy");
  const std::string qxy = g.mul(qx, qy, "warp/qxy");

  // The warp block: one GridSample on the cone, Slices, and the recombination.
  const std::string warped = g.op("GridSample", {cone, grid}, "warp/sampled",
                                  {attrString("mode", "bilinear"), attrString("padding_mode", "border"),
                                   attrInt("align_corners", 0)});
  const std::string v = g.channels(warped, 0, 3, "warp/v"), sxx = g.channels(warped, 3, 6, "warp/dxx");
  const std::string syy = g.channels(warped, 6, 9, "warp/dyy"), sxy = g.channels(warped, 9, 12, "warp/dxxyy");
  const std::string r1 = g.add(v, g.mul(qxy, sxy, "warp/m_xy"), "warp/r1");
  const std::string r2 = g.sub(r1, g.mul(qx, sxx, "warp/m_x"), "warp/r2");
  const std::string face = g.sub(r2, g.mul(qy, syy, "warp/m_y"), "warp/face");
  const std::string faceC = g.op("Clip", {face, g.scalar("clip_lo", 0.0f), g.scalar("clip_hi", 1.0f)}, "warp/face_clip");

  // Mouth interior from the driving lips: a dark opening with a band of teeth under the top lip.
  const std::string l = g.kp("kp_driving", 17, 18, 0, "mouth/left"), r = g.kp("kp_driving", 18, 19, 0, "mouth/right");
  const std::string top = g.kp("kp_driving", 19, 20, 1, "mouth/top"), bot = g.kp("kp_driving", 20, 21, 1, "mouth/bottom");
  const std::string cx = g.mul(g.add(l, r, "mouth/lr"), g.scalar("mouth/half", 0.5f), "mouth/cx");
  const std::string cy = g.mul(g.add(top, bot, "mouth/tb"), g.scalar("mouth/half2", 0.5f), "mouth/cy");
  const std::string rx = g.add(g.mul(g.sub(r, l, "mouth/w"), g.scalar("mouth/rxk", 0.4f), "mouth/rx0"),
                               g.scalar("mouth/rxe", 1e-3f), "mouth/rx");
  const std::string ry = g.add(g.mul(g.sub(bot, top, "mouth/h"), g.scalar("mouth/ryk", 0.42f), "mouth/ry0"),
                               g.scalar("mouth/rye", 1e-3f), "mouth/ry");
  const std::string ux = g.op("Div", {g.sub("grid/xx", cx, "mouth/dx"), rx}, "mouth/ux");
  const std::string uy = g.op("Div", {g.sub("grid/yy", cy, "mouth/dy"), ry}, "mouth/uy");
  const std::string e = g.add(g.mul(ux, ux, "mouth/ux2"), g.mul(uy, uy, "mouth/uy2"), "mouth/e");
  const std::string inside = g.op("Clip", {g.mul(g.sub(g.scalar("mouth/one", 1.0f), e, "mouth/1me"),
                                                 g.scalar("mouth/edge", 4.0f), "mouth/ramp"),
                                           g.scalar("mouth/lo", 0.0f), g.scalar("mouth/hi", 1.0f)},
                                  "mouth/alpha");
  // Teeth where uy < -0.25 (the upper part of the opening).
  const std::string teeth = g.op("Clip", {g.mul(g.sub(g.scalar("mouth/tline", -0.25f), uy, "mouth/tu"),
                                                g.scalar("mouth/tedge", 8.0f), "mouth/tramp"),
                                          g.scalar("mouth/tlo", 0.0f), g.scalar("mouth/thi", 1.0f)},
                                 "mouth/teeth");
  b.initializer("mouth/dark", tensorOf<float>({1, 3, 1, 1}, {0.16f, 0.04f, 0.06f}));
  b.initializer("mouth/enamel_minus_dark", tensorOf<float>({1, 3, 1, 1}, {0.93f - 0.16f, 0.91f - 0.04f, 0.86f - 0.06f}));
  const std::string colour = g.add("mouth/dark", g.mul(teeth, "mouth/enamel_minus_dark", "mouth/tc"), "mouth/colour");
  const std::string keep = g.sub(g.scalar("mouth/one2", 1.0f), inside, "mouth/keep");
  const std::string generated = g.add(g.mul(faceC, keep, "mouth/kept"), g.mul(colour, inside, "mouth/painted"), "gen/face");

  // Head: half-resolution colour path upsampled by a cubic x2 Resize into a Conv, plus detail.
  const std::string pooled = g.op("AveragePool", {generated}, "head/pool",
                                  {attrInts("kernel_shape", {2, 2}), attrInts("strides", {2, 2})});
  b.initializer("head/gain", tensorOf<float>({3, 1, 1}, {1.0f, 1.0f, 1.0f}));
  const std::string gained = g.mul(pooled, "head/gain", "head/gained");
  b.initializer("head/scales", tensorOf<float>({4}, {1, 1, 2, 2}));
  const std::string up = b.node("Resize", {gained, "", "head/scales"}, {"head/up"},
                                {attrString("mode", "cubic"), attrString("coordinate_transformation_mode", "half_pixel")},
                                {.name = "/head/Resize"});
  std::vector<float> id(3 * 3 * 9, 0.0f);
  for (int c = 0; c < 3; ++c) id[size_t(c) * 27 + size_t(c) * 9 + 4] = 1.0f;  // identity per channel
  b.initializer("head/conv_w", tensorOf<float>({3, 3, 3, 3}, id));
  b.initializer("head/conv_b", tensorOf<float>({3}, {0, 0, 0}));
  const std::string low = g.op("Conv", {up, "head/conv_w", "head/conv_b"}, "head/low",
                               {attrInts("kernel_shape", {3, 3}), attrInts("pads", {1, 1, 1, 1})});
  std::vector<float> box(3 * 9, 0.0f);
  for (int c = 0; c < 3; ++c)
    for (int k = 0; k < 9; ++k) box[size_t(c) * 9 + k] = (k == 4 ? 4.0f : (k % 2 ? 2.0f : 1.0f)) / 16.0f;
  b.initializer("head/blur_w", tensorOf<float>({3, 1, 3, 3}, box));
  const std::string blurred = g.op("Conv", {generated, "head/blur_w"}, "head/blur",
                                   {attrInt("group", 3), attrInts("kernel_shape", {3, 3}), attrInts("pads", {1, 1, 1, 1})});
  const std::string x = g.add(low, g.sub(generated, blurred, "head/detail"), "head/x");

  // Compose: the generated mouth region over the warped source.
  std::vector<float> ellipse(size_t(crop) * crop);
  for (int yy = 0; yy < crop; ++yy)
    for (int xx = 0; xx < crop; ++xx) {
      const float nx = 2.0f * (float(xx) + 0.5f) / float(crop) - 1.0f, ny = 2.0f * (float(yy) + 0.5f) / float(crop) - 1.0f;
      const float d = std::sqrt((nx / 0.36f) * (nx / 0.36f) + ((ny - 0.45f) / 0.3f) * ((ny - 0.45f) / 0.3f));
      ellipse[size_t(yy) * crop + xx] = std::fmin(1.0f, std::fmax(0.0f, (1.0f - d) * 5.0f));
    }
  b.initializer("compose/ellipse", tensorOf<float>({1, 1, C, C}, ellipse));
  const std::string a = g.mul("compose/ellipse", g.scalar("compose/gain", 1.0f), "compose/alpha");
  b.initializer("compose/one", tensorOf<float>({1}, {1.0f}));
  const std::string inv = g.sub("compose/one", a, "compose/inv");
  b.node("Add", {g.mul(a, x, "compose/gen"), g.mul(inv, faceC, "compose/src")}, {"rgb"}, {}, {.name = "/compose/out"});
  b.output("rgb", kFloat, {B, 3, C, C});
  b.save(path);
}

}  // namespace qo::devkit
