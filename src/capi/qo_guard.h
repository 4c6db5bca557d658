// The exception barrier every C family's entry points share; each family keeps its own
// thread-local last-error text and passes its setter.
#pragma once

#include <exception>

namespace qo::capi {

// Runs `body`; an escaping exception is reported as set(fn, what) and the call returns `failure`.
// No exception crosses the C boundary.
template <class R, class Set, class F>
R guardedBy(Set&& set, const char* fn, R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    set(fn, e.what());
  } catch (...) {
    set(fn, "unknown exception");
  }
  return failure;
}

}  // namespace qo::capi
