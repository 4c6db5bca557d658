#include "audio/audio_fixtures.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qo::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

double formantGain(double f) {
  auto peak = [](double f, double c, double w) { return std::exp(-0.5 * (f - c) * (f - c) / (w * w)); };
  return 0.15 + peak(f, 550, 180) + 0.6 * peak(f, 1500, 300);
}

}  // namespace

std::vector<float> voiced(double seconds, double f0, double amp, double syllable) {
  const size_t n = size_t(seconds * kRate);
  std::vector<float> s(n);
  double phase = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i) / kRate;
    const double f = f0 * (1.0 + 0.03 * std::sin(2 * kPi * 5.0 * t));
    phase += 2 * kPi * f / kRate;
    double v = 0;
    for (int k = 1; k * f0 < 3800; ++k) v += formantGain(k * f0) / k * std::sin(k * phase);
    const double u = std::fmod(t, syllable) / syllable;
    const double env = 0.5 - 0.5 * std::cos(2 * kPi * u);
    s[i] = float(amp * env * v);
  }
  return s;
}

std::vector<float> silence(double seconds) { return std::vector<float>(size_t(seconds * kRate), 0.0f); }

std::vector<float> noise(double seconds, double amp, uint32_t seed) {
  std::vector<float> s(size_t(seconds * kRate));
  uint32_t x = seed * 2654435761u + 1;
  for (float& v : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    v = float(amp * (double(x) / 4294967296.0 * 2.0 - 1.0));
  }
  return s;
}

std::vector<float> speechLike(double seconds, uint32_t seed) {
  std::vector<float> out;
  uint32_t x = seed * 747796405u + 2891336453u;
  auto next = [&] {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    return double(x) / 4294967296.0;
  };
  while (out.size() < size_t(seconds * kRate)) {
    const double syl = 0.15 + 0.15 * next();
    const int count = 1 + int(4 * next());
    const std::vector<float> v = voiced(syl * count, 110 + 110 * next(), 0.2 + 0.2 * next(), syl);
    out.insert(out.end(), v.begin(), v.end());
    const std::vector<float> p = silence(0.08 + 0.4 * next());
    out.insert(out.end(), p.begin(), p.end());
  }
  out.resize(size_t(seconds * kRate));
  return out;
}

std::vector<float> concat(const std::vector<std::vector<float>>& parts) {
  std::vector<float> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

AudioRig::AudioRig(const devkit::DemoAudioOptions& options) : frontend_(std::make_unique<audio::SpeechFrontend>()) {
  devkit::writeDemoAudioModels(dir_.path(), options);
}

std::unique_ptr<audio::A2x> AudioRig::create(int threads) {
  ScopedEnv w2v("W2V_ONNX", frontendPath().c_str());
  return audio::A2x::create(dir(), threads, *frontend_);
}

void Frames::append(const int* r, const float* b, const float* k, const float* w, int n) {
  rows.insert(rows.end(), r, r + n);
  base.insert(base.end(), b, b + size_t(n) * 63);
  kp.insert(kp.end(), k, k + size_t(n) * 63);
  wn.insert(wn.end(), w, w + n);
}

float Frames::gap(int frame) const { return kp[size_t(frame) * 63 + 20 * 3 + 1] - kp[size_t(frame) * 63 + 19 * 3 + 1]; }

void drain(audio::A2x& a, Frames& into, int pullMax) {
  std::vector<int> rows(static_cast<size_t>(pullMax));
  std::vector<float> base(static_cast<size_t>(pullMax) * 63), kp(static_cast<size_t>(pullMax) * 63), wn(static_cast<size_t>(pullMax));
  while (a.avail() > 0) {
    const int n = a.pull(rows.data(), base.data(), kp.data(), wn.data(), pullMax);
    if (n <= 0) break;
    into.append(rows.data(), base.data(), kp.data(), wn.data(), n);
  }
}

Frames streamAll(audio::A2x& a, const std::vector<float>& audio, int pushSize, int pollEvery, int pullMax) {
  Frames f;
  int pushes = 0;
  for (size_t at = 0; at < audio.size(); at += size_t(pushSize)) {
    const int n = int(std::min(audio.size() - at, size_t(pushSize)));
    a.push(audio.data() + at, n);
    if (++pushes % pollEvery == 0) drain(a, f, pullMax);
  }
  a.finish();
  drain(a, f, pullMax);
  return f;
}

int computedAfterPolling(audio::A2x& a) {
  int last = -1;
  while (a.decoded() != last) {
    last = a.decoded();
    a.avail();
  }
  return a.decoded();
}

void writeFloats(const std::string& path, const std::vector<float>& v) {
  writeFile(path, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float)));
}

std::vector<float> readFloats(const std::string& path) {
  const std::string bytes = readFile(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

}  // namespace qo::test
