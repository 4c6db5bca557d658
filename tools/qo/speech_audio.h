// Speech audio for qo say: 16-bit mono WAV files at any rate, resampled to the engine's 16 kHz,
// and a built-in sentence when none is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qo::tool {

// Sample rates a WAV may have.
inline constexpr uint32_t kMinWavRate = 8000, kMaxWavRate = 48000;

// Reads a PCM WAV (8/16/24/32-bit integer or 32-bit float, any channel count, a rate from 8 to
// 48 kHz) as 16 kHz mono 16-bit samples. Throws std::runtime_error naming the file.
std::vector<int16_t> readWav16k(const std::string& path);

// Writes 16 kHz mono 16-bit samples as a WAV file.
void writeWav16k(const std::string& path, const std::vector<int16_t>& pcm);

// A spoken sentence: synthesised with espeak-ng when it is installed, else a built-in
// speech-like signal (voiced syllables with pauses). `how` receives which one.
std::vector<int16_t> builtInSentence(std::string* how);

// Resamples mono float audio with a windowed-sinc low-pass (for rates other than 16 kHz).
std::vector<float> resample(const std::vector<float>& in, int fromRate, int toRate);

}  // namespace qo::tool
