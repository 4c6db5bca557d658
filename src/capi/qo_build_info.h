#pragma once
#include <string>

namespace qo {
// One line naming the dependency versions this library runs with (ONNX Runtime, libavcodec,
// Highway), for the tool's reports and bug reports.
std::string buildInfo();
}  // namespace qo
