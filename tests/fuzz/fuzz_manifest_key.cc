// Fuzzes the manifest key scanner, the loader and the drive tables it sizes over arbitrary text.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "bundle/qo_fs.h"
#include "bundle/qo_manifest_key.h"
#include "qo/qo_bundle.h"
#include "qo/qo_identity.h"
#include "tests/fuzz/fuzz_seeds.h"

namespace {
std::string gDir;
const char* const kKeys[] = {"NT", "frame_count", "W", "H", "crop", "sigma", "format", "agent", "M_src_w"};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qo::fuzz::writeSeedsIfAsked({
      "{\"format\": \"qo-bundle-v0\", \"agent\": \"a\", \"NT\": 4, \"W\": 96, \"H\": 64, \"crop\": 32, "
      "\"M_src_w\": 96, \"M_src_h\": 64, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13, \"frames\": 4}",
      "{\"NT\": 1, \"x\": {\"NT\": 2}, \"y\": [{\"sigma\": 1}, {\"sigma\": 2}]}",
      "{\"s\": \"a \\\"NT\\\": 3 \\\\\", \"NT\" :\n 5e300, \"crop\": nan}",
      "{\"format\": \"qo-bundle-v0\", \"NT\": -1e300, \"frame_count\": 2",
      "{\"format\": 7, \"qo-bundle-v0\": 0, \"agent\": null, \"x\": \"demo\"}",
      "{\"format\": \"qo-bundle-v0\", \"agent\": \"a\", \"NT\": 4, \"W\": 96, \"H\": 64, \"crop\": 32, "
      "\"M_src_w\": 96, \"M_src_h\": 64, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13, \"frames\": 200000000}",
  });
  char templ[] = "/tmp/qo_fuzz_manifest_XXXXXX";
  if (!::mkdtemp(templ)) std::abort();
  gDir = templ;
  // Empty drive tables: whatever "frames" a manifest declares is checked against them.
  qo::fs::mkdirs(gDir + "/drive");
  for (const char* name : {"/drive/xs.f32", "/drive/xd.f32", "/drive/si.i32"})
    if (FILE* f = std::fopen((gDir + name).c_str(), "wb")) std::fclose(f);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) {
    for (const auto& hit : qo::manifest_key::keyHits(text, key))
      if (hit.pos > text.size()) std::abort();
    try {
      uint64_t pos = qo::manifest_key::scalarValuePos(text, key);
      if (pos != qo::manifest_key::kNotFound && pos >= text.size()) std::abort();
      std::string s;
      qo::manifest_key::optStr(text, key, s);
      // A string field is read at its own value, never from a later string in the text.
      bool quoted = pos != qo::manifest_key::kNotFound && text[pos] == '"';
      try {
        qo::manifest_key::strField(text, key);
      } catch (const std::runtime_error&) {
        quoted = true;
      }
      if (!quoted) std::abort();
    } catch (const std::runtime_error&) {
    }
  }
  if (FILE* f = std::fopen((gDir + "/manifest.json").c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  try {
    qo::Manifest m = qo::loadManifest(gDir);
    if (m.NT < 1 || m.W < 1 || m.H < 1 || m.crop < 1 || m.M_src_w < 1 || m.M_src_h < 1) std::abort();
    // A declared table size is refused by the files' sizes, never allocated first.
    qo::Drive d = qo::loadDrive(m);
    if (d.frames > 0) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
