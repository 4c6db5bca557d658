// C entry points of the bundle locator.
#include <cstring>
#include <string>

#include "bundle/qo_fs.h"
#include "capi/qo_error.h"
#include "qo/qo.h"

using qo::capi::clearErr;
using qo::capi::setErr;

namespace {

// Copies `s` with its NUL when it fits; otherwise leaves "" in out.
bool copyOut(const std::string& s, char* out, size_t cap) {
  if (cap < s.size() + 1) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

extern "C" {

QO_API int qo_bundle_resolve_handle(const char* bundle, char* out, size_t out_cap) {
  clearErr();
  if (!out || out_cap == 0 || !bundle) return -1;
  try {
    if (!copyOut(qo::resolveBundlePath(bundle), out, out_cap)) {
      setErr("qo_bundle_resolve_handle", "buffer too small");
      return -1;
    }
    return 1;
  } catch (const std::exception& e) {
    out[0] = '\0';
    setErr("qo_bundle_resolve_handle", e);
  } catch (...) {
    out[0] = '\0';
    setErr("qo_bundle_resolve_handle", "unknown exception");
  }
  return -1;
}

// Leaves the last-error text alone by contract, so an unpack failure is only the -1.
QO_API int qo_bundle_resolve_member(const char* bundle, const char* member, char* out, size_t out_cap) {
  if (!bundle || !member || !out || out_cap == 0) return -1;
  try {
    const std::string path = qo::resolveMember(qo::resolveBundlePath(bundle), member);
    if (!copyOut(path, out, out_cap)) return -1;
    return qo::fs::canRead(path) ? 1 : 0;
  } catch (...) {
    out[0] = '\0';
    return -1;
  }
}

}  // extern "C"
