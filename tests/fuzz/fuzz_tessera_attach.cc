// Fuzzes the teeth members' load-time checks: the input is a bank sidecar (first byte even) or a
// manifest (odd) placed beside the devkit's other members.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/qo_bundle_tessera.h"
#include "tests/fuzz/fuzz_seeds.h"
#include "tools/devkit/demo_tessera.h"

namespace {
std::string gDir, gSidecar, gManifest;

std::string slurp(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

void put(const std::string& path, const char* data, size_t size) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char templ[] = "/tmp/qo_fuzz_tessera_XXXXXX";
  if (!::mkdtemp(templ)) std::abort();
  gDir = templ;
  qo::devkit::writeDemoTessera(gDir, 32, 6);
  gSidecar = slurp(gDir + "/tessera_bank.v1.json");
  gManifest = "{\"format\": \"qo-bundle-v0\", \"tessera\": " + qo::devkit::demoTesseraManifestBlock(32) + "}";
  put(gDir + "/manifest.json", gManifest.data(), gManifest.size());
  std::string noGeo = gManifest;
  noGeo.replace(noGeo.find("\"geometry\""), 10, "\"geometrx\"");
  qo::fuzz::writeSeedsIfAsked({std::string("\x00", 1) + gSidecar, "\x01" + gManifest, "\x01" + noGeo});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool manifest = data[0] & 1;
  const char* text = reinterpret_cast<const char*>(data + 1);
  put(gDir + "/tessera_bank.v1.json", manifest ? gSidecar.data() : text, manifest ? gSidecar.size() : size - 1);
  put(gDir + "/manifest.json", manifest ? text : gManifest.data(), manifest ? size - 1 : gManifest.size());
  try {
    const qo::TesseraAttachInputs in = qo::loadTesseraMembers(gDir);
    const size_t n = size_t(in.n_donors);
    if (in.n_donors < 1 || in.n_donors > 1024) std::abort();
    if (in.track_order.size() != n || in.cent.size() != 2 * n || in.aperture.size() != n) std::abort();
    std::vector<bool> seen(n, false);
    for (int32_t d : in.track_order) {
      if (d < 0 || size_t(d) >= n || seen[size_t(d)]) std::abort();
      seen[size_t(d)] = true;
    }
    if (in.band_w < 1 || in.band_h < 1 || in.bank_pix_fmt.empty()) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
