// Fuzzes the qo tool's WAV reader: any bytes must decode or fail with an exception, in bounded
// time (fuzz.sh runs with a per-input timeout, so a chunk walk that never ends is a finding) and
// to a bounded length (at most two 16 kHz samples per input byte, the 8 kHz, 8-bit case).
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tests/fuzz/fuzz_seeds.h"
#include "tools/qo/speech_audio.h"

namespace {

std::string gPath;

std::string le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(char(v >> (8 * i)));
  return s;
}

std::string wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits, const std::string& data) {
  const std::string fmt = "fmt " + le(16, 4) + le(format, 2) + le(channels, 2) + le(rate, 4) +
                          le(rate * channels * bits / 8, 4) + le(channels * bits / 8, 2) + le(bits, 2);
  const std::string body = "WAVE" + fmt + "data" + le(uint32_t(data.size()), 4) + data;
  return "RIFF" + le(uint32_t(body.size()), 4) + body;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qo::fuzz::writeSeedsIfAsked({
      wav(1, 1, 16000, 16, std::string(64, '\1')),
      wav(1, 2, 8000, 8, std::string(64, '\x80')),
      wav(3, 1, 48000, 32, std::string(64, '\0')),
      wav(0xFFFE, 1, 22050, 24, std::string(60, '\7')),
      "RIFF" + le(20, 4) + "WAVE" + "junk" + le(0xFFFFFFF8u, 4) + std::string(8, '\0'),
  });
  char templ[] = "/tmp/qo_fuzz_wav_XXXXXX";
  if (!::mkdtemp(templ)) std::abort();
  gPath = std::string(templ) + "/in.wav";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (FILE* f = std::fopen(gPath.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  try {
    if (qo::tool::readWav16k(gPath).size() > 2 * size + 2) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
