#include "tools/qo/speech_audio.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace qo::tool {
namespace {

uint32_t le32(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

std::vector<int16_t> toPcm16(const std::vector<float>& v) {
  std::vector<int16_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = int16_t(std::lround(std::fmax(-1.0f, std::fmin(1.0f, v[i])) * 32767.0f));
  return out;
}

}  // namespace

std::vector<float> resample(const std::vector<float>& in, int fromRate, int toRate) {
  if (fromRate == toRate || in.empty()) return in;
  const double ratio = double(toRate) / fromRate;
  const double cutoff = std::min(1.0, ratio) * 0.95;  // of the lower Nyquist
  const int half = 16;                                // taps on each side, in input samples
  const size_t n = size_t(double(in.size()) * ratio);
  std::vector<float> out(n);
  for (size_t j = 0; j < n; ++j) {
    const double center = double(j) / ratio;
    const long c = long(std::floor(center));
    double acc = 0, wsum = 0;
    for (long k = c - half + 1; k <= c + half; ++k) {
      if (k < 0 || k >= long(in.size())) continue;
      const double x = (double(k) - center) * cutoff;
      const double sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
      const double win = 0.5 + 0.5 * std::cos(M_PI * (double(k) - center) / half);
      const double w = sinc * win;
      acc += w * in[size_t(k)];
      wsum += w;
    }
    out[j] = float(wsum != 0 ? acc / wsum : 0);
  }
  return out;
}

std::vector<int16_t> readWav16k(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<unsigned char> bytes;
  unsigned char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) bytes.insert(bytes.end(), buf, buf + got);
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) || std::memcmp(bytes.data() + 8, "WAVE", 4))
    throw std::runtime_error(path + " is not a RIFF/WAVE file");
  int format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  const unsigned char* data = nullptr;
  size_t dataBytes = 0;
  for (uint64_t pos = 12; pos + 8 <= bytes.size();) {
    const uint64_t size = le32(&bytes[pos + 4]);
    const unsigned char* body = &bytes[pos + 8];
    const size_t avail = size_t(std::min<uint64_t>(size, bytes.size() - pos - 8));
    if (!std::memcmp(&bytes[pos], "fmt ", 4) && avail >= 16) {
      format = le16(body);
      channels = le16(body + 2);
      rate = le32(body + 4);
      bits = le16(body + 14);
      if (format == 0xFFFE && avail >= 26) format = le16(body + 24);  // extensible: the sub-format
    } else if (!std::memcmp(&bytes[pos], "data", 4)) {
      data = body;
      dataBytes = avail;
    }
    // Summed in 64 bits: a size near 2^32 must not wrap the walk back onto this chunk. A chunk
    // that runs past the end (a truncated or still-growing file) is the last one.
    pos += 8 + size + (size & 1);
  }
  if (!data || channels < 1 || rate < 1) throw std::runtime_error(path + " has no PCM data");
  // The resampler's taps span 16 input samples each side: above 48 kHz its low-pass has too few
  // zero crossings, and a rate far below speech turns a small file into hours of audio.
  if (rate < kMinWavRate || rate > kMaxWavRate)
    throw std::runtime_error(path + ": sample rate " + std::to_string(rate) + " Hz is outside " +
                             std::to_string(kMinWavRate) + " to " + std::to_string(kMaxWavRate) +
                             " Hz, the rates resampled to 16 kHz");
  const bool isFloat = format == 3 && bits == 32;
  if (!(format == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) && !isFloat)
    throw std::runtime_error(path + ": only integer PCM or 32-bit float WAV is supported");
  const size_t bytesPer = size_t(bits / 8), frames = dataBytes / (bytesPer * size_t(channels));
  std::vector<float> mono(frames);
  for (size_t i = 0; i < frames; ++i) {
    double sum = 0;
    for (int c = 0; c < channels; ++c) {
      const unsigned char* p = data + (i * size_t(channels) + size_t(c)) * bytesPer;
      double v;
      if (isFloat) {
        float fv;
        std::memcpy(&fv, p, 4);
        v = fv;
      } else if (bits == 8) {
        v = (double(p[0]) - 128.0) / 128.0;
      } else if (bits == 16) {
        v = double(int16_t(le16(p))) / 32768.0;
      } else if (bits == 24) {
        int32_t s = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
        v = double(s) / 8388608.0;
      } else {
        v = double(int32_t(le32(p))) / 2147483648.0;
      }
      sum += v;
    }
    mono[i] = float(sum / channels);
  }
  return toPcm16(resample(mono, int(rate), 16000));
}

void writeWav16k(const std::string& path, const std::vector<int16_t>& pcm) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!f) throw std::runtime_error("cannot write " + path);
  auto put32 = [&](uint32_t v) { unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; std::fwrite(b, 1, 4, f.get()); };
  auto put16 = [&](uint16_t v) { unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)}; std::fwrite(b, 1, 2, f.get()); };
  const uint32_t data = uint32_t(pcm.size() * 2);
  std::fwrite("RIFF", 1, 4, f.get());
  put32(36 + data);
  std::fwrite("WAVEfmt ", 1, 8, f.get());
  put32(16);
  put16(1);
  put16(1);
  put32(16000);
  put32(32000);
  put16(2);
  put16(16);
  std::fwrite("data", 1, 4, f.get());
  put32(data);
  std::fwrite(pcm.data(), 2, pcm.size(), f.get());
}

std::vector<int16_t> builtInSentence(std::string* how) {
  const char* sentence = "Hello! I am the demo avatar of this engine. Every frame you see was rendered while I spoke.";
  if (std::system("command -v espeak-ng >/dev/null 2>&1") == 0) {
    char templ[] = "/tmp/qo_say_XXXXXX.wav";
    const int fd = ::mkstemps(templ, 4);
    if (fd >= 0) {
      ::close(fd);
      const std::string cmd = std::string("espeak-ng -s 150 -w ") + templ + " \"" + sentence + "\" >/dev/null 2>&1";
      if (std::system(cmd.c_str()) == 0) {
        try {
          std::vector<int16_t> pcm = readWav16k(templ);
          std::remove(templ);
          if (!pcm.empty()) {
            *how = "espeak-ng";
            return pcm;
          }
        } catch (const std::exception&) {
        }
      }
      std::remove(templ);
    }
  }
  // Voiced syllables of 150-220 Hz with a few harmonics and formant-like emphasis, with pauses.
  *how = "built-in speech-like signal";
  std::vector<float> v;
  const double syllables[] = {0.22, 0.18, 0.25, 0.0, 0.2, 0.3, 0.16, 0.24, 0.0, 0.28, 0.2, 0.22, 0.35};
  uint32_t seed = 7;
  for (double len : syllables) {
    const size_t n = size_t((len > 0 ? len : 0.25) * 16000);
    const double f0 = 150 + double((seed = seed * 1103515245 + 12345) % 70);
    for (size_t i = 0; i < n; ++i) {
      const double t = double(i) / 16000;
      double s = 0;
      if (len > 0) {
        const double env = std::sin(M_PI * t / len);
        for (int k = 1; k <= 12; ++k) {
          const double fk = f0 * k, formant = std::exp(-std::pow((fk - 700) / 400, 2)) + 0.5 * std::exp(-std::pow((fk - 1800) / 500, 2));
          s += (0.2 + formant) * std::sin(2 * M_PI * fk * t) / k;
        }
        s *= 0.25 * env;
      }
      v.push_back(float(s));
    }
    v.insert(v.end(), size_t(0.06 * 16000), 0.0f);
  }
  return toPcm16(v);
}

}  // namespace qo::tool
