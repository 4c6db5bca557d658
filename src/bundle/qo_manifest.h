// Internal helpers of the manifest loader.
#pragma once

#include <string>

namespace qo {

// The whole file as a string; throws "cannot open <path>" / "short read <path>".
std::string readFile(const std::string& path);

// The same, read in 8,192-byte chunks (for files whose size cannot be known up front).
std::string readText(const std::string& path);

}  // namespace qo
