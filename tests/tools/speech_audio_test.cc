#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tools/qo/speech_audio.h"

namespace qo::tool {
namespace {

std::string le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(char(v >> (8 * i)));
  return s;
}

// A RIFF/WAVE file of 16-bit mono PCM at `rate`, with `extra` chunks after "fmt ".
std::string wav(uint32_t rate, const std::string& samples, const std::string& extra = "",
                uint32_t dataSize = ~uint32_t{0}) {
  const std::string fmt = "fmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(rate, 4) + le(rate * 2, 4) + le(2, 2) + le(16, 2);
  const std::string data = "data" + le(dataSize == ~uint32_t{0} ? uint32_t(samples.size()) : dataSize, 4) + samples;
  const std::string body = "WAVE" + fmt + extra + data;
  return "RIFF" + le(uint32_t(body.size()), 4) + body;
}

std::string errorOf(const std::string& bytes, test::TempDir& t) {
  test::writeFile(t / "in.wav", bytes);
  try {
    readWav16k(t / "in.wav");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(WavReader, ChunkWalkEndsOnEveryFile) {
  test::TempDir t;
  ::alarm(30);  // a walk that never ends fails here instead of hanging the suite
  // A 28-byte file whose chunk size wraps a 32-bit position back onto the same chunk.
  const std::string wraps = "RIFF" + le(20, 4) + "WAVE" + "junk" + le(0xFFFFFFF8u, 4) + std::string(8, '\0');
  ASSERT_EQ(wraps.size(), 28u);
  EXPECT_EQ(errorOf(wraps, t), (t / "in.wav") + " has no PCM data");
  // A chunk running past the end is the last one; a data chunk cut short still plays what is there.
  const std::string samples = le(1000, 2) + le(2000, 2) + le(3000, 2) + le(4000, 2);
  EXPECT_EQ(errorOf(wav(16000, samples, "LIST" + le(0xFFFFFF00u, 4)), t), (t / "in.wav") + " has no PCM data");
  test::writeFile(t / "in.wav", wav(16000, samples, "", 1 << 20));
  const std::vector<int16_t> pcm = readWav16k(t / "in.wav");
  EXPECT_EQ(pcm, (std::vector<int16_t>{1000, 2000, 3000, 4000}));
  ::alarm(0);
}

// Rates the resampler serves are 8 to 48 kHz; 1 Hz would turn 1 KB into 1,000 s of audio.
TEST(WavReader, SampleRatesOutsideTheResamplersRangeAreRefused) {
  test::TempDir t;
  const std::string samples(1000, '\0');
  for (uint32_t rate : {1u, 7999u, 48001u, 0x80000000u})
    EXPECT_EQ(errorOf(wav(rate, samples), t), (t / "in.wav") + ": sample rate " + std::to_string(rate) +
                                                  " Hz is outside 8000 to 48000 Hz, the rates resampled to 16 kHz")
        << rate;
  test::writeFile(t / "in.wav", wav(8000, samples));
  EXPECT_EQ(readWav16k(t / "in.wav").size(), 1000u);  // 500 samples at 8 kHz are 1,000 at 16 kHz
  test::writeFile(t / "in.wav", wav(48000, samples));
  EXPECT_EQ(readWav16k(t / "in.wav").size(), 166u);
}

}  // namespace
}  // namespace qo::tool
