#include "capi/qo_ctx.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qo::capi {

std::vector<uint8_t> readMask(const Manifest& m) {
  const size_t bytes = size_t(m.crop) * size_t(m.crop);
  std::vector<uint8_t> mask(bytes, 0);
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(resolveMember(m.dir, "mask_512.u8").c_str(), "rb"), std::fclose);
  if (!f || std::fread(mask.data(), 1, bytes, f.get()) != bytes) throw std::runtime_error("mask read failed");
  return mask;
}

}  // namespace qo::capi

qo_ctx::qo_ctx(const std::string& bundleDir, const std::string& modelKey, int threads_, const std::string& ep_)
    : manifest(qo::loadManifest(bundleDir)),
      identity(manifest),
      drive(qo::loadDrive(manifest)),
      threads(threads_),
      ep(ep_) {
  renderer = std::make_unique<qo::Renderer>(manifest, identity, modelKey, threads, ep);
  paste = std::make_unique<qo::Paste>(qo::capi::readMask(manifest), manifest.crop, manifest.unsharp);
  cursor = qo::DriverCursor::open(manifest, 2, 11);
  frame.resize(size_t(manifest.W) * size_t(manifest.H) * 3);
}
