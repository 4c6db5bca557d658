// The core C family's thread-local last-error text.
#pragma once

#include <exception>
#include <string>

#include "capi/qo_guard.h"

namespace qo::capi {

void clearErr();
void setErr(const char* fn, const char* reason);  // "<fn>: <reason>"
void setErr(const char* fn, const std::exception& e);
const char* lastErr();

// Runs `body` and converts any escaping exception into the last-error text of `fn` and the
// failure value `fail`. No exception crosses the C boundary.
template <class R, class F>
R guarded(const char* fn, R fail, F&& body) noexcept {
  return guardedBy([](const char* f, const char* why) { setErr(f, why); }, fn, fail, body);
}

}  // namespace qo::capi
