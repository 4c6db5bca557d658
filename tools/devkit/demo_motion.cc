#include "tools/devkit/demo_motion.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bundle/qo_fs.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo::devkit {
namespace {

using onnx::attrInt;
using onnx::attrInts;
using onnx::kFloat;
using onnx::ModelBuilder;
using onnx::tensorOf;

constexpr double kPi = 3.14159265358979323846;
constexpr int kBands = 80, kBins = 257, kFft = 512, kWidth = 1024, kRow = 265, kCond = 1103, kDesc = 328;
constexpr int kRowExp = 202, kDescKp = 63, kDescPitch = 126, kDescRoll = 192, kDescScale = 258, kDescYaw = 262;
constexpr float kLoudGain = 1.5f, kLoudShift = 0.5f;
constexpr float kStitchKeep = 0.9f;  // share of x_d in the stitched keypoints
constexpr float kFullOpen = 0.13f;   // lip travel of faceKeypoints(1) from faceKeypoints(0)
constexpr int kTopLipY = 19 * 3 + 1, kBottomLipY = 20 * 3 + 1;

void writeFloats(const std::string& path, const std::vector<float>& v) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!f || std::fwrite(v.data(), sizeof(float), v.size(), f.get()) != v.size()) throw std::runtime_error("cannot write " + path);
  if (std::fclose(f.release()) != 0) throw std::runtime_error("cannot write " + path);
}

std::string scalar(ModelBuilder& b, const std::string& name, float v) { return b.initializer(name, tensorOf<float>({1}, {v})); }
std::string ints(ModelBuilder& b, const std::string& name, const std::vector<int64_t>& v) {
  return b.initializer(name, tensorOf<int64_t>({int64_t(v.size())}, v));
}

std::vector<float> hannWindow() {
  std::vector<float> w(kFft);
  for (int n = 0; n < kFft; ++n) w[size_t(n)] = float(0.5 - 0.5 * std::cos(2 * kPi * n / kFft));
  return w;
}

double hzToMel(double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); }
double melToHz(double mel) { return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0); }

// 257 x 80, bin-major: triangles between neighbouring mel centres.
std::vector<float> melMatrix() {
  std::vector<double> edges(kBands + 2);
  for (int i = 0; i < kBands + 2; ++i) edges[size_t(i)] = melToHz(hzToMel(8000.0) * i / (kBands + 1));
  std::vector<float> m(size_t(kBins) * kBands, 0.0f);
  for (int k = 0; k < kBins; ++k) {
    const double hz = 16000.0 * k / kFft;
    for (int b = 0; b < kBands; ++b) {
      const double lo = edges[size_t(b)], mid = edges[size_t(b) + 1], hi = edges[size_t(b) + 2];
      double v = 0;
      if (hz > lo && hz <= mid) v = (hz - lo) / (mid - lo);
      else if (hz > mid && hz < hi) v = (hi - hz) / (hi - mid);
      m[size_t(k) * kBands + b] = float(v);
    }
  }
  return m;
}

// Lip offsets of the expression at full loudness, in the motion row's expression.
float lipTravel(float sBridge) { return kFullOpen / (sBridge * kStitchKeep); }

// Bins whose softmax expectation sits at `degrees` (3 E - 97.5), a smooth bump.
void angleBins(float degrees, float* bins) {
  const double centre = (degrees + 97.5) / 3.0;
  for (int i = 0; i < 66; ++i) bins[i] = float(-0.5 * (i - centre) * (i - centre) / 4.0);
}

void description(float yaw, float pitch, float* d) {
  const std::array<float, 63> neutral = faceKeypoints(0.0f);
  for (int j = 0; j < 63; ++j) {
    d[j] = 0.0f;                       // expression
    d[kDescKp + j] = neutral[size_t(j)];  // canonical keypoints
  }
  angleBins(pitch, d + kDescPitch);
  angleBins(0.0f, d + kDescRoll);
  angleBins(yaw, d + kDescYaw);
  d[kDescScale] = 1.0f;
  d[kDescScale + 1] = d[kDescScale + 2] = d[kDescScale + 3] = 0.0f;
}

}  // namespace

void writeDemoStudent(const std::string& path) {
  ModelBuilder b;
  b.input("mel", kFloat, {1, kBands, 21});
  // Loudness per mel frame: ln of the mean band magnitude.
  const std::string mag = b.node("Exp", {"mel"}, {"st_mag"});
  const std::string mean = b.node("ReduceMean", {mag}, {"st_mean"}, {attrInts("axes", {1}), attrInt("keepdims", 1)});
  const std::string loud = b.node("Log", {mean}, {"st_loud"});                              // [1, 1, 21]
  const std::string loudT = b.node("Transpose", {loud}, {"st_loudT"}, {attrInts("perm", {0, 2, 1})});  // [1, 21, 1]
  std::vector<float> onehot(kWidth, 0.0f), mix(size_t(kBands) * kWidth, 0.0f), bias(kWidth, 0.0f);
  onehot[0] = 1.0f;
  Noise noise(0x5707u);
  for (int m = 0; m < kBands; ++m)
    for (int j = 1; j < kWidth; ++j) mix[size_t(m) * kWidth + j] = 0.02f * noise.next();
  bias[0] = kLoudShift;
  b.initializer("st_onehot", tensorOf<float>({kWidth}, onehot));
  b.initializer("st_mix", tensorOf<float>({kBands, kWidth}, mix));
  b.initializer("st_bias", tensorOf<float>({kWidth}, bias));
  const std::string frames = b.node("Transpose", {"mel"}, {"st_frames"}, {attrInts("perm", {0, 2, 1})});  // [1, 21, 80]
  const std::string mixed = b.node("MatMul", {frames, "st_mix"}, {"st_mixed"});
  const std::string loud0 = b.node("Mul", {loudT, "st_onehot"}, {"st_loud0"});
  const std::string all = b.node("Add", {mixed, loud0}, {"st_all"});
  // 21 mel frames -> 20 feature frames: the mean of neighbours.
  const std::string a = b.node("Slice", {all, ints(b, "st_a0", {0}), ints(b, "st_a1", {20}), ints(b, "st_ax", {1})}, {"st_a"});
  const std::string c = b.node("Slice", {all, ints(b, "st_c0", {1}), ints(b, "st_c1", {21}), ints(b, "st_cx", {1})}, {"st_c"});
  const std::string sum = b.node("Add", {a, c}, {"st_sum"});
  const std::string avg = b.node("Mul", {sum, scalar(b, "st_half", 0.5f)}, {"st_avg"});
  const std::string shifted = b.node("Add", {avg, "st_bias"}, {"st_shifted"});
  const std::string z = b.node("Mul", {shifted, scalar(b, "st_gain", kLoudGain)}, {"st_z"});
  b.node("Sigmoid", {z}, {"feat"});
  b.output("feat", kFloat, {1, 20, kWidth});
  b.save(path);
}

void writeDemoGenerator(const std::string& path, float sBridge) {
  ModelBuilder b;
  b.input("kp", kFloat, {1, kRow});
  b.input("aud", kFloat, {1, 80, kCond});
  b.input("pred", kFloat, {1, 80, kRow});
  const float travel = lipTravel(sBridge);
  std::vector<float> lips(kRow, 0.0f), poseMask(kRow, 0.0f);
  lips[size_t(kRowExp + kTopLipY)] = -travel;
  lips[size_t(kRowExp + kBottomLipY)] = travel;
  for (int j = 0; j < kRow; ++j) poseMask[size_t(j)] = 0.05f;  // a little memory of the previous chunk
  b.initializer("gen_lips", tensorOf<float>({kRow}, lips));
  b.initializer("gen_pose_pull", tensorOf<float>({kRow}, poseMask));
  const std::string open =
      b.node("Slice", {"aud", ints(b, "gen_o0", {0}), ints(b, "gen_o1", {1}), ints(b, "gen_ox", {2})}, {"gen_open"});  // [1, 80, 1]
  const std::string openT = b.node("Transpose", {open}, {"gen_openT"}, {attrInts("perm", {0, 2, 1})});  // [1, 1, 80]
  const std::string smooth = b.node("AveragePool", {openT}, {"gen_smooth"},
                                    {attrInts("kernel_shape", {3}), attrInts("strides", {1}), attrInts("pads", {1, 1}),
                                     attrInt("count_include_pad", 0)});
  const std::string openS = b.node("Transpose", {smooth}, {"gen_openS"}, {attrInts("perm", {0, 2, 1})});  // [1, 80, 1]
  const std::string lipMove = b.node("Mul", {openS, "gen_lips"}, {"gen_lip_move"});                     // [1, 80, 265]
  const std::string towards = b.node("Sub", {"pred", "kp"}, {"gen_towards"});
  const std::string pull = b.node("Mul", {towards, "gen_pose_pull"}, {"gen_pull"});
  const std::string base = b.node("Add", {pull, "kp"}, {"gen_base"});
  b.node("Add", {base, lipMove}, {"motion"});
  b.output("motion", kFloat, {1, 80, kRow});
  b.save(path);
}

void writeDemoStitch(const std::string& path) {
  ModelBuilder b;
  b.input("x_s", kFloat, {1, 63});
  b.input("x_d", kFloat, {1, 63});
  const std::string s = b.node("Mul", {"x_s", scalar(b, "stitch_s", 1.0f - kStitchKeep)}, {"stitch_ws"});
  const std::string d = b.node("Mul", {"x_d", scalar(b, "stitch_d", kStitchKeep)}, {"stitch_wd"});
  const std::string y = b.node("Add", {s, d}, {"stitch_y"});
  b.node("Reshape", {y, ints(b, "stitch_shape", {1, 21, 3})}, {"kp_out"});
  b.output("kp_out", kFloat, {1, 21, 3});
  b.save(path);
}

void writeDemoMotion(const std::string& dir, const DemoMotionOptions& o) {
  const int nSrc = o.nSrc < 0 ? o.nt : o.nSrc;
  if (o.nt < 1 || nSrc < 1 || o.nEmo < 1 || !(o.sBridge > 0))
    throw std::runtime_error("demo motion: nt, n_src and n_emo >= 1 and s_bridge > 0 required");
  if (!fs::mkdirs(dir)) throw std::runtime_error("cannot create " + dir);
  char meta[256];
  std::snprintf(meta, sizeof meta, "{\n  \"nt\": %d,\n  \"n_src\": %d,\n  \"n_emo\": %d,\n  \"s_bridge\": %.9g", o.nt, nSrc,
                o.nEmo, double(o.sBridge));
  std::string text = meta;
  if (o.deltaPitch != 0.0f) {
    std::snprintf(meta, sizeof meta, ",\n  \"delta_pitch\": %.9g", double(o.deltaPitch));
    text += meta;
  }
  text += "\n}\n";
  {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen((dir + "/meta.json").c_str(), "wb"), std::fclose);
    if (!f || std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) throw std::runtime_error("cannot write " + dir + "/meta.json");
  }
  writeFloats(dir + "/hubert_stft_window.bin", hannWindow());
  writeFloats(dir + "/hubert_stft_binmat.bin", melMatrix());
  std::vector<float> fmean(kWidth), fstd(kWidth);
  Noise noise(0xF0F0u);
  for (int j = 0; j < kWidth; ++j) {
    fmean[size_t(j)] = j == 0 ? 0.0f : 0.1f * noise.next();
    fstd[size_t(j)] = j == 0 ? 1.0f : 0.5f + 0.25f * noise.next();
  }
  writeFloats(dir + "/hubert_fmean.bin", fmean);
  writeFloats(dir + "/hubert_fstd.bin", fstd);
  std::vector<float> emo(size_t(o.nEmo) * 8, 0.0f);
  for (int e = 0; e < o.nEmo; ++e) emo[size_t(e) * 8 + size_t(e % 8)] = 1.0f;
  writeFloats(dir + "/emo.bin", emo);
  std::vector<float> ch(kDesc);
  description(0.0f, 0.0f, ch.data());
  writeFloats(dir + "/ch_xs_info.bin", ch);
  const std::array<float, 63> neutral = faceKeypoints(0.0f);
  writeFloats(dir + "/ch_sc.bin", std::vector<float>(neutral.begin(), neutral.end()));
  writeFloats(dir + "/ch_eye_open.bin", {0.3f, 0.3f});
  writeFloats(dir + "/ch_eye_ball.bin", std::vector<float>(6, 0.0f));
  // Limits: the lips between closed and fully open, the rest generous.
  std::vector<float> limits(2 * kRow);
  for (int j = 0; j < kRow; ++j) {
    limits[size_t(j)] = -100.0f;
    limits[size_t(kRow + j)] = 100.0f;
  }
  const float travel = lipTravel(o.sBridge);
  limits[size_t(kRowExp + kTopLipY)] = -travel;
  limits[size_t(kRow + kRowExp + kTopLipY)] = 0.0f;
  limits[size_t(kRowExp + kBottomLipY)] = 0.0f;
  limits[size_t(kRow + kRowExp + kBottomLipY)] = travel;
  writeFloats(dir + "/v_min_max.bin", limits);
  std::vector<float> src(size_t(nSrc) * kDesc);
  for (int i = 0; i < nSrc; ++i) {
    const float t = float(i) / float(nSrc);
    description(6.0f * float(std::sin(2 * kPi * t)), 3.0f * float(std::sin(4 * kPi * t)), &src[size_t(i) * kDesc]);
  }
  writeFloats(dir + "/src_xs_info.bin", src);
  writeDemoStudent(dir + "/hubert_student.onnx");
  writeDemoGenerator(dir + "/lmdm.onnx", o.sBridge);
  writeDemoStitch(dir + "/stitch.onnx");
  if (!fs::canRead(dir + "/xs_target.bin")) {
    std::vector<float> target;
    for (int i = 0; i < o.nt; ++i) target.insert(target.end(), neutral.begin(), neutral.end());
    writeFloats(dir + "/xs_target.bin", target);
  }
}

}  // namespace qo::devkit
