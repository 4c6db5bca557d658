// Fuzzes the container reader and unwrap: any bytes under a container name must either unpack
// inside the unwrap directory or fail with an exception, never crash or write elsewhere.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "bundle/qo_fs.h"
#include "bundle/qo_imx.h"
#include "qo/qo_bundle.h"
#include "tests/fuzz/fuzz_seeds.h"

namespace {

std::string gWork;

std::string le(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(char(v >> (8 * i)));
  return s;
}

std::string container(const std::vector<std::pair<std::string, std::string>>& members, uint16_t version = 2) {
  std::string head = std::string("IMX\0", 4) + le(version, 2) + le(members.size(), 2);
  uint64_t offset = 8;
  for (const auto& m : members) offset += 2 + m.first.size() + 16;
  std::string payload;
  for (const auto& m : members) {
    head += le(m.first.size(), 2) + m.first + le(offset, 8) + le(m.second.size(), 8);
    offset += m.second.size();
    payload += m.second;
  }
  return head + payload;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qo::fuzz::writeSeedsIfAsked({
      container({}),
      container({{"manifest.json", "{\"format\": \"qo-bundle-v0\"}"}, {"drive/xs.f32", std::string(24, '\1')}}),
      container({{"manifest.json", "{\"_imx_synthetic_manifest\": 1}"}, {"a", "b"}}),
      container({{"../x", "evil"}}),
      container({{"m", "x"}}, 1),
  });
  char templ[] = "/tmp/qo_fuzz_imx_XXXXXX";
  if (!::mkdtemp(templ)) std::abort();
  gWork = templ;
  ::setenv("QO_IMX_UNWRAP_ROOT", (gWork + "/root").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string c = gWork + "/c.imx";
  if (FILE* f = std::fopen(c.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  (void)qo::isImxV2File(c);
  try {
    std::string dir = qo::resolveBundlePath(c);
    if (dir != c && dir != gWork + "/root/c.qobundle") std::abort();  // unpacked somewhere else
  } catch (const std::runtime_error&) {
  }
  qo::fs::rmTree(gWork + "/root");
  // Nothing may land beside the container except what the unwrap root holds.
  if (qo::fs::exists(gWork + "/x")) std::abort();
  return 0;
}
