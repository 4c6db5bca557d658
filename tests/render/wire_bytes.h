// Hand encoding of protobuf fields for the reader tests, written independently of the writer
// under test so that a fault in one cannot hide a fault in the other.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace qo::test::pb {

using Bytes = std::vector<uint8_t>;

inline Bytes varint(uint64_t v) {
  Bytes b;
  do {
    uint8_t byte = v & 0x7f;
    v >>= 7;
    if (v) byte |= 0x80;
    b.push_back(byte);
  } while (v);
  return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes tag(uint32_t field, uint32_t wire) { return varint((uint64_t(field) << 3) | wire); }
inline Bytes vint(uint32_t field, uint64_t v) { return cat({tag(field, 0), varint(v)}); }
inline Bytes len(uint32_t field, const Bytes& payload) {
  return cat({tag(field, 2), varint(payload.size()), payload});
}
inline Bytes len(uint32_t field, const std::string& payload) { return len(field, str(payload)); }

inline Bytes le32(float f) {
  Bytes b(4);
  std::memcpy(b.data(), &f, 4);
  return b;
}
inline Bytes fixed32(uint32_t field, float f) { return cat({tag(field, 5), le32(f)}); }
inline Bytes floats(std::initializer_list<float> fs) {
  Bytes b;
  for (float f : fs) {
    Bytes one = le32(f);
    b.insert(b.end(), one.begin(), one.end());
  }
  return b;
}

}  // namespace qo::test::pb
