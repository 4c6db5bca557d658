#include "capi/qo_ctx.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qo::capi {

std::vector<uint8_t> readMask(const Manifest& m) {
  const size_t bytes = size_t(m.crop) * size_t(m.crop);
  const std::string path = resolveMember(m.dir, "mask_512.u8");
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  struct stat st;
  if (!f || ::fstat(::fileno(f.get()), &st) != 0 || uint64_t(st.st_size) < bytes)
    throw std::runtime_error("mask read failed");
  // A longer mask is laid out for another crop: its rows would be read at the wrong stride.
  if (uint64_t(st.st_size) != bytes)
    throw std::runtime_error("the paste mask " + path + " holds " + std::to_string((long long)st.st_size) +
                             " bytes but crop " + std::to_string(m.crop) + " needs exactly " + std::to_string(bytes) +
                             " (crop x crop) \xE2\x80\x94 a mask laid out for another crop would be misread. "
                             "REFUSING to create a session.");
  std::vector<uint8_t> mask(bytes, 0);
  if (std::fread(mask.data(), 1, bytes, f.get()) != bytes) throw std::runtime_error("mask read failed");
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
