#include "tools/devkit/demo_audio.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bundle/qo_fs.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/onnx_model_builder.h"

namespace qo::devkit {
namespace {

using onnx::attrInt;
using onnx::attrInts;
using onnx::attrTensor;
using onnx::kFloat;
using onnx::kFloat16;
using onnx::ModelBuilder;
using onnx::tensorOf;

constexpr double kPi = 3.14159265358979323846;
constexpr int kChannels = 640;    // 320 frequencies x (cosine, sine)
constexpr int kSupport = 160;     // samples under one column (10 ms)
constexpr int kHop = 80;          // samples between columns
constexpr int kBands = 16;
constexpr int kFeatures = 9216;   // 12 layers x 768
constexpr int kVoicingFeature = 16;  // layer 0, value 16: the voicing tilt
// Band edges in 25 Hz frequency bins (0 .. 320 = 8 kHz); bands 1..11 span 100 Hz .. 2.8 kHz,
// bands 12..15 2.8 .. 8 kHz.
constexpr std::array<int, kBands + 1> kBandEdges = {0, 4, 8, 12, 16, 22, 28, 36, 46, 58, 72, 90, 112, 140, 176, 224, 320};
constexpr int kVoicedFirst = 1, kVoicedLast = 11, kHighFirst = 12, kHighLast = 15;
// The voicing tilt is near 0 for silence and white noise (a flat spectrum; the windows are
// normalised, so loudness alone cannot tell noise from speech), about 1.5 for voiced speech and
// negative for fricatives. The encoder shifts it by this much, so a silent frame sits well below
// the decoder's zero state.
constexpr float kVoicingShift = -0.6f;

void writeBytes(const std::string& path, const void* data, size_t bytes) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!f || std::fwrite(data, 1, bytes, f.get()) != bytes) throw std::runtime_error("cannot write " + path);
  if (std::fclose(f.release()) != 0) throw std::runtime_error("cannot write " + path);
}

void writeFloats(const std::string& path, const std::vector<float>& v) {
  writeBytes(path, v.data(), v.size() * sizeof(float));
}

std::string scalar(ModelBuilder& b, const std::string& name, float v) {
  return b.initializer(name, tensorOf<float>({1}, {v}));
}

std::string ints(ModelBuilder& b, const std::string& name, const std::vector<int64_t>& v) {
  return b.initializer(name, tensorOf<int64_t>({int64_t(v.size())}, v));
}

// Hann-windowed cosine and sine at 25 Hz steps, scaled so a unit-variance tone gives energies
// near 1 (the half-precision output stays far from overflow).
std::vector<float> spectralBasis() {
  std::vector<float> w(size_t(kChannels) * kSupport);
  for (int k = 0; k < kChannels / 2; ++k)
    for (int n = 0; n < kSupport; ++n) {
      const double hann = 0.5 - 0.5 * std::cos(2 * kPi * (n + 0.5) / kSupport);
      const double phase = 2 * kPi * k * 25.0 * n / 16000.0;
      w[size_t(2 * k) * kSupport + n] = float(hann * std::cos(phase) / 40.0);
      w[size_t(2 * k + 1) * kSupport + n] = float(hann * std::sin(phase) / 40.0);
    }
  return w;
}

// [1, samples] -> [1, 640, columns] half-precision smoothed energies.
std::string spectralColumns(ModelBuilder& b, const std::string& input) {
  const std::string x = b.node("Unsqueeze", {input, ints(b, "cols_axis", {1})}, {"cols_x"});
  b.initializer("cols_basis", tensorOf<float>({kChannels, 1, kSupport}, spectralBasis()));
  const std::string c = b.node("Conv", {x, "cols_basis"}, {"cols_conv"},
                               {attrInts("kernel_shape", {kSupport}), attrInts("strides", {kHop})});
  const std::string sq = b.node("Mul", {c, c}, {"cols_energy"});
  const std::string sm = b.node("AveragePool", {sq}, {"cols_smooth"},
                                {attrInts("kernel_shape", {5}), attrInts("strides", {1}), attrInts("pads", {2, 2}),
                                 attrInt("count_include_pad", 1)});
  return b.node("Cast", {sm}, {"cols_f16"}, {attrInt("to", kFloat16)});
}

// Mean energy per band: 640 x 16.
std::vector<float> bandMatrix() {
  std::vector<float> w(size_t(kChannels) * kBands, 0.0f);
  for (int band = 0; band < kBands; ++band) {
    const int lo = kBandEdges[size_t(band)], hi = kBandEdges[size_t(band) + 1];
    for (int k = lo; k < hi; ++k) {
      w[size_t(2 * k) * kBands + band] = 1.0f / float(hi - lo);
      w[size_t(2 * k + 1) * kBands + band] = 1.0f / float(hi - lo);
    }
  }
  return w;
}

// 16 log band energies -> 9216 features: layer 0 starts with the bands themselves and the voicing
// tilt (mean of the voiced bands minus mean of the high bands); everything else is a fixed
// pseudo-random mix.
std::vector<float> mixMatrix() {
  std::vector<float> w(size_t(kBands) * kFeatures);
  Noise noise(0xA2F0u);
  for (int f = 0; f < kFeatures; ++f)
    for (int band = 0; band < kBands; ++band) {
      float v = 0.25f * noise.next();
      if (f < kBands) v = band == f ? 1.0f : 0.0f;
      if (f == kVoicingFeature) {
        v = 0.0f;
        if (band >= kVoicedFirst && band <= kVoicedLast) v = 1.0f / float(kVoicedLast - kVoicedFirst + 1);
        if (band >= kHighFirst && band <= kHighLast) v = -1.0f / float(kHighLast - kHighFirst + 1);
      }
      w[size_t(band) * kFeatures + f] = v;
    }
  return w;
}

// [N, 640] energies -> [N, 9216] features.
std::string headLayers(ModelBuilder& b, const std::string& x) {
  b.initializer("head_bands", tensorOf<float>({kChannels, kBands}, bandMatrix()));
  b.initializer("head_mix", tensorOf<float>({kBands, kFeatures}, mixMatrix()));
  const std::string e = b.node("MatMul", {x, "head_bands"}, {"head_energy"});
  const std::string floor = b.node("Add", {e, scalar(b, "head_floor", 1e-4f)}, {"head_floored"});
  const std::string log = b.node("Log", {floor}, {"head_log"});
  const std::string scaled = b.node("Mul", {log, scalar(b, "head_scale", 0.25f)}, {"head_bandlog"});
  return b.node("MatMul", {scaled, "head_mix"}, {"head_features"});
}

std::vector<float> positionTable(int npos, int h) {
  std::vector<float> p(size_t(npos) * h, 0.0f);
  for (int j = 1; j < h; ++j) {
    const double period = 4.0 + 60.0 * double(j - 1) / std::max(1, h - 2);
    const double phase = 0.37 * j;
    for (int i = 0; i < npos; ++i) p[size_t(i) * h + j] = float(0.7 * std::sin(2 * kPi * i / period + phase));
  }
  return p;
}

}  // namespace

std::vector<float> demoFeatureMix() { return mixMatrix(); }

std::string demoFrontendPath(const std::string& dir) { return dir + "/audio_encoder_fp16.onnx"; }
std::string demoTrunkPath(const std::string& dir) { return dir + "/audio_encoder_fp16_window_trunk.onnx"; }
std::string demoHeadPath(const std::string& dir) { return dir + "/audio_encoder_fp16_window_head.onnx"; }

void writeDemoFrontend(const std::string& path) {
  constexpr int kSamples = 128000, kColumns = (kSamples - kSupport) / kHop + 1, kFrames = 200;  // 1599 columns
  ModelBuilder b;
  b.input("input_values", kFloat, {1, kSamples});
  const std::string half = spectralColumns(b, "input_values");
  const std::string cols = b.node("Cast", {half}, {"cols_f32"}, {attrInt("to", kFloat)});
  // Frame a takes column a x 1598/199, linearly between its two neighbours.
  std::vector<int64_t> k0(kFrames), k1(kFrames);
  std::vector<float> w0(kFrames), w1(kFrames);
  for (int a = 0; a < kFrames; ++a) {
    const double p = a * 1598.0 / 199.0;
    const int k = int(std::floor(p));
    k0[size_t(a)] = k;
    k1[size_t(a)] = std::min(k + 1, kColumns - 1);
    w1[size_t(a)] = float(p - k);
    w0[size_t(a)] = float(1.0 - (p - k));
  }
  b.initializer("interp_k0", tensorOf<int64_t>({kFrames}, k0));
  b.initializer("interp_k1", tensorOf<int64_t>({kFrames}, k1));
  b.initializer("interp_w0", tensorOf<float>({kFrames}, w0));
  b.initializer("interp_w1", tensorOf<float>({kFrames}, w1));
  const std::string g0 = b.node("Gather", {cols, "interp_k0"}, {"interp_g0"}, {attrInt("axis", 2)});
  const std::string g1 = b.node("Gather", {cols, "interp_k1"}, {"interp_g1"}, {attrInt("axis", 2)});
  const std::string p0 = b.node("Mul", {g0, "interp_w0"}, {"interp_p0"});
  const std::string p1 = b.node("Mul", {g1, "interp_w1"}, {"interp_p1"});
  const std::string framed = b.node("Add", {p0, p1}, {"interp_frames"});  // [1, 640, 200]
  const std::string flat = b.node("Reshape", {framed, ints(b, "frames_shape", {kChannels, kFrames})}, {"frames_cf"});
  const std::string rows = b.node("Transpose", {flat}, {"frames_fc"}, {attrInts("perm", {1, 0})});
  const std::string feat = headLayers(b, rows);  // [200, 9216]
  const std::string split = b.node("Reshape", {feat, ints(b, "emb_shape", {kFrames, 12, 768})}, {"emb_split"});
  b.node("Transpose", {split}, {"audio_emb"}, {attrInts("perm", {1, 0, 2})});
  b.output("audio_emb", kFloat, {12, kFrames, 768});
  b.save(path);
}

void writeDemoTrunk(const std::string& path, bool declareLT) {
  ModelBuilder b;
  // Without a declared length the input length is left open too, or ONNX Runtime would infer it.
  if (declareLT)
    b.input("input_values", kFloat, {1, 32000});
  else
    b.input("input_values", kFloat, {1, "samples"});
  const std::string half = spectralColumns(b, "input_values");
  b.node("Identity", {half}, {"trunk_out"});
  if (declareLT)
    b.output("trunk_out", kFloat16, {1, kChannels, kDemoTrunkColumns});
  else
    b.output("trunk_out", kFloat16, {1, kChannels, "LT"});
  b.save(path);
}

void writeDemoHead(const std::string& path) {
  ModelBuilder b;
  b.input("x", kFloat, {8, kChannels});
  const std::string feat = headLayers(b, "x");
  b.node("Identity", {feat}, {"emb"});
  b.output("emb", kFloat, {8, kFeatures});
  b.save(path);
}

void writeDemoEncoder(const std::string& path, const DemoAudioOptions& o) {
  if (o.h < 2 || o.layers < 1) throw std::runtime_error("demo encoder: h >= 2 and layers >= 1 required");
  const int h = o.h;
  ModelBuilder b;
  b.input("feat", kFloat, {1, "T", 12, 768});
  b.input("pos_window", kFloat, {1, "T", h});
  b.input("attn", kFloat, {1, 1, "T", "T"});

  // Projection: value 0 is the shifted voicing tilt, the others small fixed mixes plus position.
  std::vector<float> proj(size_t(kFeatures) * h, 0.0f);
  Noise noise(0xE7C0u);
  for (int f = 0; f < kFeatures; ++f)
    for (int j = 1; j < h; ++j) proj[size_t(f) * h + j] = 0.01f * noise.next();
  proj[size_t(kVoicingFeature) * h + 0] = 1.0f;
  std::vector<float> posGain(size_t(h), 0.5f), bias(size_t(h), 0.0f);
  posGain[0] = 0.0f;
  bias[0] = kVoicingShift;
  b.initializer("enc_proj", tensorOf<float>({kFeatures, h}, proj));
  b.initializer("enc_pos_gain", tensorOf<float>({h}, posGain));
  b.initializer("enc_bias", tensorOf<float>({h}, bias));
  const std::string flat = b.node("Reshape", {"feat", ints(b, "enc_flat_shape", {1, -1, kFeatures})}, {"enc_flat"});
  const std::string proj0 = b.node("MatMul", {flat, "enc_proj"}, {"enc_proj0"});
  const std::string x0 = b.node("Add", {proj0, "enc_bias"}, {"enc_x0"});
  const std::string posPart = b.node("Mul", {"pos_window", "enc_pos_gain"}, {"enc_pos_part"});
  std::string x = b.node("Add", {x0, posPart}, {"enc_x"});

  // Shared by the layers: positional similarity, the mask as [1, T, T], and a ones column.
  const std::string posT = b.node("Transpose", {"pos_window"}, {"enc_posT"}, {attrInts("perm", {0, 2, 1})});
  const std::string sim = b.node("MatMul", {"pos_window", posT}, {"enc_possim"});
  const std::string simScaled = b.node("Mul", {sim, scalar(b, "enc_pos_temp", 0.3f)}, {"enc_possim_scaled"});
  const std::string mask = b.node("Squeeze", {"attn", ints(b, "enc_axis1", {1})}, {"enc_mask"});
  const std::string shape = b.node("Shape", {x}, {"enc_shape"});
  const std::string bt = b.node("Slice", {shape, ints(b, "enc_s0", {0}), ints(b, "enc_s2", {2})}, {"enc_bt"});
  const std::string onesShape = b.node("Concat", {bt, ints(b, "enc_one", {1})}, {"enc_ones_shape"}, {attrInt("axis", 0)});
  const std::string ones = b.node("ConstantOfShape", {onesShape}, {"enc_ones"},
                                  {attrTensor("value", tensorOf<float>({1}, {1.0f}))});

  for (int layer = 0; layer < o.layers; ++layer) {
    const std::string p = "enc_l" + std::to_string(layer) + "_";
    std::vector<float> wq(size_t(h) * h), wk(size_t(h) * h);
    for (float& v : wq) v = 0.05f * noise.next();
    for (float& v : wk) v = 0.05f * noise.next();
    b.initializer(p + "wq", tensorOf<float>({h, h}, wq));
    b.initializer(p + "wk", tensorOf<float>({h, h}, wk));
    const std::string q = b.node("MatMul", {x, p + "wq"}, {p + "q"});
    const std::string k = b.node("MatMul", {x, p + "wk"}, {p + "k"});
    const std::string kT = b.node("Transpose", {k}, {p + "kT"}, {attrInts("perm", {0, 2, 1})});
    const std::string content = b.node("MatMul", {q, kT}, {p + "content"});
    const std::string scores = b.node("Add", {simScaled, content}, {p + "scores"});
    const std::string masked = b.node("Add", {scores, mask}, {p + "masked"});
    // Unnormalised weights; masked keys weigh exactly 0. Numerator and denominator come from one
    // product so each frame's sum runs over its keys in order, whatever the window's extent.
    const std::string weights = b.node("Exp", {masked}, {p + "weights"});
    const std::string values = b.node("Concat", {x, ones}, {p + "values"}, {attrInt("axis", 2)});
    const std::string sums = b.node("MatMul", {weights, values}, {p + "sums"});
    const std::string num = b.node("Slice", {sums, ints(b, p + "n0", {0}), ints(b, p + "n1", {h}), ints(b, p + "ax", {2})},
                                   {p + "num"});
    const std::string den =
        b.node("Slice", {sums, ints(b, p + "d0", {h}), ints(b, p + "d1", {h + 1}), ints(b, p + "dax", {2})}, {p + "den"});
    const std::string mean = b.node("Div", {num, den}, {p + "mean"});
    const std::string keep = b.node("Mul", {x, scalar(b, p + "keep", 0.5f)}, {p + "kept"});
    const std::string move = b.node("Mul", {mean, scalar(b, p + "move", 0.5f)}, {p + "moved"});
    x = b.node("Add", {keep, move}, {layer + 1 == o.layers ? std::string("ctx") : p + "out"});
  }
  b.output("ctx", kFloat, {1, "T", h});
  if (o.wn) {
    const std::string e =
        b.node("Slice", {x, ints(b, "wn_s0", {0}), ints(b, "wn_s1", {1}), ints(b, "wn_ax", {2})}, {"wn_energy"});
    const std::string z = b.node("Mul", {e, scalar(b, "wn_gain", 2.0f)}, {"wn_z"});
    const std::string s = b.node("Sigmoid", {z}, {"wn_sig"});
    b.node("Squeeze", {s, ints(b, "wn_axis2", {2})}, {"wn"});
    b.output("wn", kFloat, {1, "T"});
  }
  b.save(path);
}

void writeDemoDecoder(const std::string& path, int h) {
  if (h < 1) throw std::runtime_error("demo decoder: h >= 1 required");
  ModelBuilder b;
  b.input("ctx_t", kFloat, {1, h});
  b.input("prev", kFloat, {1, 63});
  b.input("h", kFloat, {1, 1, h});
  std::vector<float> dir(63, 0.0f);
  dir[17 * 3 + 0] = 1.0f;   // left corner inward
  dir[18 * 3 + 0] = -1.0f;  // right corner inward
  dir[19 * 3 + 1] = -1.0f;  // top lip up
  dir[20 * 3 + 1] = 1.0f;   // bottom lip down
  b.initializer("dec_dir", tensorOf<float>({1, 63}, dir));
  const std::string hs = b.node("Reshape", {"h", ints(b, "dec_state_shape", {1, h})}, {"dec_state"});
  const std::string old = b.node("Mul", {hs, scalar(b, "dec_keep", 0.6f)}, {"dec_old"});
  const std::string add = b.node("Mul", {"ctx_t", scalar(b, "dec_take", 0.4f)}, {"dec_new"});
  const std::string hn = b.node("Add", {old, add}, {"dec_hn"});
  b.node("Reshape", {hn, ints(b, "dec_out_shape", {1, 1, h})}, {"h_out"});
  const std::string e = b.node("Slice", {hn, ints(b, "dec_s0", {0}), ints(b, "dec_s1", {1}), ints(b, "dec_ax", {1})}, {"dec_e"});
  const std::string z = b.node("Mul", {e, scalar(b, "dec_gain", 4.0f)}, {"dec_z"});
  const std::string open = b.node("Sigmoid", {z}, {"dec_open"});
  const std::string goal = b.node("Mul", {open, "dec_dir"}, {"dec_goal"});
  const std::string carry = b.node("Mul", {"prev", scalar(b, "dec_carry", 0.35f)}, {"dec_carried"});
  const std::string pull = b.node("Mul", {goal, scalar(b, "dec_pull", 0.65f)}, {"dec_pulled"});
  b.node("Add", {carry, pull}, {"m"});
  b.output("m", kFloat, {1, 63});
  b.output("h_out", kFloat, {1, 1, h});
  b.save(path);
}

void writeDemoPositions(const std::string& path, int npos, int h) { writeFloats(path, positionTable(npos, h)); }

void writeDemoNorm(const std::string& path) {
  std::vector<float> norm(126, 0.0f);
  for (int j = 0; j < 63; ++j) norm[size_t(63 + j)] = 0.01f;
  norm[63 + 17 * 3 + 0] = norm[63 + 18 * 3 + 0] = 0.03f;
  norm[63 + 19 * 3 + 1] = norm[63 + 20 * 3 + 1] = 0.13f;  // a full opening, as faceKeypoints(1)
  writeFloats(path, norm);
}

std::string demoMetaText(const DemoAudioOptions& o) {
  const bool width = o.metaWidth < 0 ? o.wn : o.metaWidth != 0;
  std::string t = "{\n  \"h\": " + std::to_string(o.h) + ",\n  \"window\": " + std::to_string(o.window) +
                  ",\n  \"left\": " + std::to_string(o.left) + ",\n  \"layers\": " + std::to_string(o.layers) +
                  ",\n  \"width\": " + (width ? "true" : "false");
  if (o.silencePrime > 0) t += ",\n  \"silence_prime\": " + std::to_string(o.silencePrime);
  return t + "\n}\n";
}

void writeDemoAudioModels(const std::string& dir, const DemoAudioOptions& o) {
  if (o.npos < 2 || o.targetRows < 1) throw std::runtime_error("demo audio: npos >= 2 and targetRows >= 1 required");
  if (!fs::mkdirs(dir)) throw std::runtime_error("cannot create " + dir);
  const std::string meta = demoMetaText(o);
  writeBytes(dir + "/a2x_meta.json", meta.data(), meta.size());
  writeDemoPositions(dir + "/a2x_pos.f32", o.npos, o.h);
  writeDemoNorm(dir + "/a2x_norm.f32");
  writeDemoEncoder(dir + "/a2x_enc_stream.onnx", o);
  writeDemoDecoder(dir + "/a2x_dec.onnx", o.h);
  if (o.frontend) writeDemoFrontend(demoFrontendPath(dir));
  if (o.shortWindow) {
    writeDemoTrunk(demoTrunkPath(dir), o.trunkDeclaresLT);
    writeDemoHead(demoHeadPath(dir));
  }
  if (!fs::canRead(dir + "/xs_target.bin")) {
    const std::array<float, 63> neutral = faceKeypoints(0.0f);
    std::vector<float> target;
    for (int i = 0; i < o.targetRows; ++i) target.insert(target.end(), neutral.begin(), neutral.end());
    writeFloats(dir + "/xs_target.bin", target);
  }
}

}  // namespace qo::devkit
