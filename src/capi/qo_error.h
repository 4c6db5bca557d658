// The core C family's thread-local last-error text.
#pragma once

#include <exception>
#include <string>

namespace qo::capi {

void clearErr();
void setErr(const char* fn, const char* reason);  // "<fn>: <reason>"
void setErr(const char* fn, const std::exception& e);
const char* lastErr();

// Runs `body` and converts any escaping exception into the last-error text of `fn` and the
// failure value `fail`. No exception crosses the C boundary.
template <class R, class F>
R guarded(const char* fn, R fail, F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    setErr(fn, e);
  } catch (...) {
    setErr(fn, "unknown exception");
  }
  return fail;
}

}  // namespace qo::capi
