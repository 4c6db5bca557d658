#include "audio/qo_a2x_error.h"

#include <utility>

namespace qo::audio {
namespace {
thread_local std::string tError;
}

void setA2xError(std::string text) { tError = std::move(text); }

const char* a2xLastError() { return tError.c_str(); }

}  // namespace qo::audio
