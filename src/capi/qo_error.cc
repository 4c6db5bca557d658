#include "capi/qo_error.h"

#include "qo/qo.h"

namespace qo::capi {
namespace {
thread_local std::string tError;
}

void clearErr() { tError.clear(); }

void setErr(const char* fn, const char* reason) {
  tError = fn;
  tError += ": ";
  tError += reason;
}

void setErr(const char* fn, const std::exception& e) { setErr(fn, e.what()); }

const char* lastErr() { return tError.c_str(); }

}  // namespace qo::capi

extern "C" QO_API const char* qo_last_error(void) { return qo::capi::lastErr(); }
