#include "tools/devkit/demo_fca.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_director.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo::devkit {
namespace {

using onnx::kFloat;
using onnx::ModelBuilder;
using onnx::tensorOf;

constexpr int kBands = 16, kFeatures = 9216, kWidth = 768, kContext = 7, kState = 384;
constexpr int kLayerFirst = 4, kLayerLast = 9;
// Sigmoid gain and centre on the smoothed state: the normalised mean log energy (x 0.25) sits
// near 0 over speech and well below over pauses.
constexpr float kGain = 8.0f, kCentre = -0.1f;

// Solves the k x k system a x = b in place (Gaussian elimination with partial pivoting).
std::vector<double> solve(std::vector<double> a, std::vector<double> b, int k) {
  for (int c = 0; c < k; ++c) {
    int p = c;
    for (int r = c + 1; r < k; ++r)
      if (std::fabs(a[size_t(r) * k + c]) > std::fabs(a[size_t(p) * k + c])) p = r;
    if (std::fabs(a[size_t(p) * k + c]) < 1e-12) throw std::runtime_error("demo fca: singular band mix");
    for (int j = 0; j < k; ++j) std::swap(a[size_t(c) * k + j], a[size_t(p) * k + j]);
    std::swap(b[size_t(c)], b[size_t(p)]);
    for (int r = c + 1; r < k; ++r) {
      const double f = a[size_t(r) * k + c] / a[size_t(c) * k + c];
      for (int j = c; j < k; ++j) a[size_t(r) * k + j] -= f * a[size_t(c) * k + j];
      b[size_t(r)] -= f * b[size_t(c)];
    }
  }
  std::vector<double> x(static_cast<size_t>(k));
  for (int r = k - 1; r >= 0; --r) {
    double v = b[size_t(r)];
    for (int j = r + 1; j < k; ++j) v -= a[size_t(r) * k + j] * x[size_t(j)];
    x[size_t(r)] = v / a[size_t(r) * k + r];
  }
  return x;
}

// w (768) with sum_j A[b][j] w[j] = 1/16 for every band b, A the layer-mean mix: w = A^T (A A^T)^-1 u.
std::vector<double> energyReadout() {
  const std::vector<float> mix = demoFeatureMix();
  std::vector<double> A(size_t(kBands) * kWidth, 0.0);
  for (int b = 0; b < kBands; ++b)
    for (int l = kLayerFirst; l <= kLayerLast; ++l)
      for (int j = 0; j < kWidth; ++j)
        A[size_t(b) * kWidth + j] += mix[size_t(b) * kFeatures + size_t(l) * kWidth + j] / (kLayerLast - kLayerFirst + 1);
  std::vector<double> AAt(size_t(kBands) * kBands, 0.0);
  for (int r = 0; r < kBands; ++r)
    for (int c = 0; c < kBands; ++c)
      for (int j = 0; j < kWidth; ++j) AAt[size_t(r) * kBands + c] += A[size_t(r) * kWidth + j] * A[size_t(c) * kWidth + j];
  const std::vector<double> y = solve(AAt, std::vector<double>(kBands, 1.0 / kBands), kBands);
  std::vector<double> w(kWidth, 0.0);
  for (int j = 0; j < kWidth; ++j)
    for (int b = 0; b < kBands; ++b) w[size_t(j)] += A[size_t(b) * kWidth + j] * y[size_t(b)];
  return w;
}

std::string scalar(ModelBuilder& b, const std::string& name, float v) {
  return b.initializer(name, tensorOf<float>({1}, {v}));
}

}  // namespace

void writeDemoFcaStream(const std::string& path) {
  ModelBuilder b;
  b.input("cond", kFloat, {1, kContext * kWidth});
  b.input("prev", kFloat, {1, 63});
  b.input("h", kFloat, {1, 1, kState});

  const std::vector<double> w = energyReadout();
  static const double kTaps[kContext] = {0.25, 0.5, 0.25, 0, 0, 0, 0};  // offsets -1 .. 5
  std::vector<float> readout(size_t(kContext) * kWidth);
  for (int k = 0; k < kContext; ++k)
    for (int j = 0; j < kWidth; ++j) readout[size_t(k) * kWidth + j] = float(kTaps[k] * w[size_t(j)]);
  b.initializer("fca_readout", tensorOf<float>({kContext * kWidth, 1}, readout));
  const std::string energy = b.node("MatMul", {"cond", "fca_readout"}, {"fca_energy"});  // [1, 1]
  // Only state slot 0 carries the energy; the others stay 0.
  std::vector<float> slot(kState, 0.0f);
  slot[0] = 0.5f;
  b.initializer("fca_take", tensorOf<float>({1, kState}, slot));
  b.initializer("fca_state_shape", tensorOf<int64_t>({2}, {1, kState}));
  const std::string state = b.node("Reshape", {"h", "fca_state_shape"}, {"fca_state"});
  const std::string kept = b.node("Mul", {state, scalar(b, "fca_keep", 0.5f)}, {"fca_kept"});
  const std::string taken = b.node("Mul", {energy, "fca_take"}, {"fca_taken"});
  const std::string next = b.node("Add", {kept, taken}, {"fca_next"});
  b.initializer("fca_out_shape", tensorOf<int64_t>({3}, {1, 1, kState}));
  b.node("Reshape", {next, "fca_out_shape"}, {"hn"});

  b.initializer("fca_s0", tensorOf<int64_t>({1}, {0}));
  b.initializer("fca_s1", tensorOf<int64_t>({1}, {1}));
  const std::string e0 = b.node("Slice", {next, "fca_s0", "fca_s1", "fca_s1"}, {"fca_e0"});
  const std::string centred = b.node("Sub", {e0, scalar(b, "fca_centre", kCentre)}, {"fca_centred"});
  const std::string z = b.node("Mul", {centred, scalar(b, "fca_gain", kGain)}, {"fca_z"});
  const std::string open = b.node("Sigmoid", {z}, {"fca_open"});
  std::vector<float> dir(63, 0.0f);
  dir[17 * 3 + 0] = 0.03f;   // left corner inward
  dir[18 * 3 + 0] = -0.03f;  // right corner inward
  dir[19 * 3 + 1] = -0.13f;  // top lip up
  dir[20 * 3 + 1] = 0.13f;   // bottom lip down
  b.initializer("fca_dir", tensorOf<float>({1, 63}, dir));
  const std::string goal = b.node("Mul", {open, "fca_dir"}, {"fca_goal"});
  const std::string carry = b.node("Mul", {"prev", scalar(b, "fca_carry", 0.3f)}, {"fca_carry_part"});
  const std::string pull = b.node("Mul", {goal, scalar(b, "fca_pull", 0.7f)}, {"fca_pull_part"});
  b.node("Add", {carry, pull}, {"m"});
  b.output("m", kFloat, {1, 63});
  b.output("hn", kFloat, {1, 1, kState});
  b.save(path);
}

void writeDemoStreamAssets(const std::string& dir, int crop) {
  writeDemoFcaStream(dir + "/fca_stream.onnx");
  writeDemoDirector(dir + "/model_render.onnx", crop, 1);
}

}  // namespace qo::devkit
