// The demo avatar's audio models: a speech frontend, streaming encoder and decoder designed (not
// trained) so that the mouth opens on voiced sound and closes in silence.
//
//   qo::devkit::DemoAudioOptions a;                     // h 32, window 1, left 4, layers 2
//   qo::devkit::writeDemoAudioModels("demo", a);        // next to the bundle's other members
//   setenv("W2V_ONNX", qo::devkit::demoFrontendPath("demo").c_str(), 1);
//
// Design, end to end:
//  - frontend: each 80-sample column is the energy of 320 windowed cosine/sine pairs (25 Hz
//    apart) over 10 ms, smoothed over five columns (30 ms) and rounded through half precision;
//    frames take the columns at a x 1598/199 (the legacy graph interpolates them itself, the
//    short-window trunk leaves it to the engine). The head turns the 640 energies of a frame into
//    16 log band energies, and the 9216 features are fixed linear mixes of them; feature 16 of
//    layer 0 is the voicing tilt: mean log energy of the voiced bands (100 Hz to 2.8 kHz) minus
//    that of the high bands (2.8 to 8 kHz), near 0 for silence and white noise, ~1.5 for voiced
//    speech.
//  - encoder: projects a frame's features to h values (value 0 = the tilt - 0.6), then per
//    layer attends with weights exp(positional similarity + content term + mask) and moves
//    halfway to the weighted mean. The mask is really used: a wrong one changes the context.
//    The optional "wn" output is sigmoid(2 x value 0).
//  - decoder: a leaky recurrent state (0.6 old, 0.4 new context); the mouth opening is
//    sigmoid(4 x state 0), eased with the previous output (0.35 of it kept); the normalised delta
//    moves the lips apart (rows 19 and 20, y) and the corners inward (rows 17 and 18, x). From the
//    zero state the mouth starts half open; silence priming starts it closed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qo::devkit {

// Deterministic uniform numbers in [-1, 1) (splitmix64), so every run writes the same models.
class Noise {
 public:
  explicit Noise(uint64_t seed) : s_(seed) {}
  float next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return float(double(z >> 11) / double(1ull << 53) * 2.0 - 1.0);
  }

 private:
  uint64_t s_;
};

struct DemoAudioOptions {
  int h = 32;                 // context width and decoder state
  int window = 1;             // attention look-ahead per encoder layer
  int left = 4;               // attention look-back per encoder layer
  int layers = 2;             // encoder layers (the graph has exactly this many)
  int npos = 512;             // rows of the positional table (>= 2)
  bool wn = true;             // encoder with the second "wn" output
  int metaWidth = -1;         // "width" written to the meta: -1 = as the encoder, else 0 / 1
  int silencePrime = 0;       // "silence_prime" of the meta (0: key not written)
  bool frontend = true;       // the legacy frontend graph (audio_encoder_fp16.onnx)
  bool shortWindow = true;    // the trunk/head pair beside it
  bool trunkDeclaresLT = true;  // the trunk output's time axis is fixed (399) rather than symbolic
  int targetRows = 100;       // rows of xs_target.bin when the directory has none
};

// Writes into `dir` (created if needed): a2x_meta.json, a2x_pos.f32, a2x_norm.f32,
// a2x_enc_stream.onnx, a2x_dec.onnx, the frontend graphs as the options ask, and xs_target.bin
// (neutral face rows) unless the directory already holds one. Throws std::runtime_error on I/O
// failure or bad options.
void writeDemoAudioModels(const std::string& dir, const DemoAudioOptions& options);

// Paths of the frontend graphs inside `dir`: the legacy graph ($W2V_ONNX) and the pair beside it.
std::string demoFrontendPath(const std::string& dir);
std::string demoTrunkPath(const std::string& dir);
std::string demoHeadPath(const std::string& dir);

// The single graphs and tables, for fixtures that mix them.
void writeDemoFrontend(const std::string& path);                     // "input_values" -> "audio_emb"
void writeDemoTrunk(const std::string& path, bool declareLT);         // "input_values" -> f16 [1, 640, LT]
void writeDemoHead(const std::string& path);                          // "x" [8, 640] -> "emb" [8, 9216]
void writeDemoEncoder(const std::string& path, const DemoAudioOptions& options);
void writeDemoDecoder(const std::string& path, int h);
void writeDemoPositions(const std::string& path, int npos, int h);
void writeDemoNorm(const std::string& path);
std::string demoMetaText(const DemoAudioOptions& options);

// The frontend's last mix: feature f of a frame is sum over bands b of mix[b * 9216 + f] times
// 0.25 x the log energy of band b (16 bands), for models that read the energy back.
std::vector<float> demoFeatureMix();

// Trunk columns per 2 s window (one per 80 samples, 160-sample support).
inline constexpr int kDemoTrunkColumns = 399;

}  // namespace qo::devkit
