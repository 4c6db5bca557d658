// Fuzzes the teeth members' JSON reader and what is read from its trees: stamps and serve config.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tessera/qo_tessera.h"
#include "tests/fuzz/fuzz_seeds.h"
#include "tools/devkit/demo_tessera.h"

using qo::tessera::GeometryStamp;
using qo::tessera::ServeConfig;
namespace json = qo::tessera::json;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qo::fuzz::writeSeedsIfAsked({
      qo::devkit::demoHeadConfig(),
      qo::devkit::demoTesseraManifestBlock(512),
      "{\"retrieval\": {\"kshort\": 1e9, \"aperture_tol\": -0, \"cut\": 1, \"K\": \"x\"}, \"temporal\": {}}",
      "[[[[[[[[[[[[[[[[[[[[\"\\u12",
      "{\"a\": {\"b\": [1, 2, {\"c\": \"\\\\\"}]}, \"a\": 2}",
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so a read past the end is caught by the sanitizer.
  char* text = static_cast<char*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(text, data, size);
  try {
    json::JParser p(text, text + size);
    const json::JVal v = p.val();
    if (p.cursor() > text + size) std::abort();
    if (v.isNumber() && !(v.num == v.num)) std::abort();
    if (v.isObject()) {
      try {
        GeometryStamp::fromJson(v, "fuzz").validate();
      } catch (const std::runtime_error&) {
      }
    }
  } catch (const std::runtime_error&) {
  }
  try {
    const ServeConfig c = ServeConfig::fromHeadMemberJson(std::string(text, size));
    if (c.kshort < 1 || c.cut < 1 || c.K < 1 || c.hysteresis < 0 || c.lookahead < 0) std::abort();
  } catch (const std::runtime_error&) {
  }
  std::free(text);
  return 0;
}
