// The a2x_meta.json reader and the raw float members of a qo_a2x bundle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qo::audio {

// Keys of a2x_meta.json. Each is found as an object key (strings stepped over whole; a top-level
// key before a nested one), then a decimal integer after optional blanks; a missing key (or one
// without an integer) keeps its default here. No range checks: creation validates.
struct A2xMeta {
  int64_t h = 256;
  int64_t window = -1;  // required
  int64_t left = -1;    // required
  int64_t layers = 6;
  int64_t width = 0;    // "true" 1, "false" 0, or the integer given
  int64_t silencePrime = 0;
};

A2xMeta parseA2xMeta(const std::string& text);

// The integer under `key`; false when the key, its ':' or the integer is missing.
bool metaInteger(const std::string& text, const char* key, int64_t* out);

// The file read whole in 4096-byte reads; "" when it cannot be opened.
std::string readMetaText(const std::string& path);

// The file as native little-endian float32 (size / 4 floats); empty when it cannot be opened or
// reads short.
std::vector<float> readFloatFile(const std::string& path);

}  // namespace qo::audio
