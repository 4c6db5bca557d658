// The qo_a2x family's thread-local last-error text. Successful calls leave it alone.
#pragma once

#include <string>

namespace qo::audio {

void setA2xError(std::string text);
const char* a2xLastError();

}  // namespace qo::audio
