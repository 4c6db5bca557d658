// Exact-size reads of raw little-endian member files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qo {

// Reads exactly `count` elements of T and requires the end of the file right after them.
// Throws "cannot open <path>" / "size mismatch <path>".
template <class T>
std::vector<T> readRaw(const std::string& path, uint64_t count);

extern template std::vector<float> readRaw<float>(const std::string&, uint64_t);
extern template std::vector<int32_t> readRaw<int32_t>(const std::string&, uint64_t);

}  // namespace qo
