#include "capi/qo_ctx.h"

qo_ctx::qo_ctx(const std::string& bundleDir, const std::string& modelKey, int threads_, const std::string& ep_)
    : manifest(qo::loadManifest(bundleDir)), threads(threads_), ep(ep_) {
  (void)modelKey;  // selects the director once the renderer joins the context
  frame.resize(size_t(manifest.W) * size_t(manifest.H) * 3);
}
